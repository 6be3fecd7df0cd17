// SPDX-License-Identifier: MIT
#include "platform/plist/detail/unicode.h"
#include "platform/plist/plist.h"
#include "platform/plist/plugin_interface.h"

#include <utility>

#ifndef VEILOR_PLIST_VERSION
#error "VEILOR_PLIST_VERSION comes from the build"
#endif

namespace plist {
namespace {

CFBinaryDataZorpRef NewCFBinaryDataZorpStr(const std::string& s)
{
    return NewBinaryDataZorp(s);
}

CFObjectZorpRef NewCFObjectZorpFromXML(const CFBinaryDataZorpRef& data)
{
    if (!data) return nullptr;
    return Parse(data->Bytes()).root;
}

CFMutableDictionaryZorpRef Edit(const CFDictionaryZorpRef& dictionary)
{
    return MutableCopy(dictionary);
}

CFStringZorpRef NewCFStringZorp(const std::string& s)
{
    // Text the program passes in is raw bytes; a CFString must be valid UTF-8.
    if (!detail::IsUTF8(s)) return nullptr;
    return NewStringZorp(s);
}

void Add(const CFMutableDictionaryZorpRef& dictionary, const CFObjectZorpRef& key,
         const CFObjectZorpRef& value)
{
    if (dictionary && key && value) dictionary->Add(key, value);
}

CFBinaryDataZorpRef XML(const CFObjectZorpRef& object)
{
    if (!object) return nullptr;
    std::optional<std::string> text = WriteXML(*object);
    if (!text) return nullptr;
    return NewBinaryDataZorp(std::move(*text));
}

std::string Str(const CFBinaryDataZorpRef& data)
{
    return data ? std::string(data->Bytes()) : std::string();
}

std::string ZorpPluginVersion()
{
    return "Veilor property lists " VEILOR_PLIST_VERSION;
}

// The plug-in's table: a function of the type each operation names, in kOperations' order.
constexpr FunctionTable kFunctions{
    &NewCFBinaryDataZorpStr, &NewCFObjectZorpFromXML, &Edit, &NewCFStringZorp, &Add, &XML, &Str,
    &ZorpPluginVersion};

}  // namespace

Entrypoint LookupEntrypoint(std::string_view declaration)
{
    Entrypoint found = nullptr;
    [&]<std::size_t... I>(std::index_sequence<I...>)
    {
        ((std::get<I>(kOperations).declaration == declaration
              ? found = reinterpret_cast<Entrypoint>(std::get<I>(kFunctions))
              : found),
         ...);
    }
    (std::make_index_sequence<kOperationCount>{});
    return found;
}

}  // namespace plist
