// SPDX-License-Identifier: MIT
#include "plist.h"
#include "unicode.h"

#include <utility>

#ifndef VEILOR_PLIST_VERSION
#error "VEILOR_PLIST_VERSION comes from the build"
#endif

namespace {

CFMutableDictionaryZorpRef Edit(const CFDictionaryZorpRef& dictionary)
{
    return MutableCopy(dictionary);
}

void Add(const CFMutableDictionaryZorpRef& dictionary, const CFObjectZorpRef& key,
         const CFObjectZorpRef& value)
{
    if (dictionary && key && value) dictionary->Add(key, value);
}

CFBinaryDataZorpRef XML(const CFObjectZorpRef& object)
{
    if (!object) return nullptr;
    std::optional<std::string> text = plist::WriteXML(*object);
    if (!text) return nullptr;
    return NewBinaryDataZorp(std::move(*text));
}

std::string Str(const CFBinaryDataZorpRef& data)
{
    return data ? std::string(data->Bytes()) : std::string();
}

// "folderitem.FinderUpdateZorp as integer" belongs to the files layer, which answers for it.
const plugin::Binding kBindings[] = {
    plugin::Bind<plugin::kNewCFBinaryDataZorpStr, &NewCFBinaryDataZorpStr>(),
    plugin::Bind<plugin::kNewCFObjectZorpFromXML, &NewCFObjectZorpFromXML>(),
    plugin::Bind<plugin::kEdit, &Edit>(),
    plugin::Bind<plugin::kNewCFStringZorp, &NewCFStringZorp>(),
    plugin::Bind<plugin::kAdd, &Add>(),
    plugin::Bind<plugin::kXML, &XML>(),
    plugin::Bind<plugin::kStr, &Str>(),
    plugin::Bind<plugin::kZorpPluginVersion, &ZorpPluginVersion>(),
};

}  // namespace

CFBinaryDataZorpRef NewCFBinaryDataZorpStr(const std::string& s)
{
    return NewBinaryDataZorp(s);
}

CFObjectZorpRef NewCFObjectZorpFromXML(const CFBinaryDataZorpRef& data)
{
    if (!data) return nullptr;
    return plist::Parse(data->Bytes()).root;
}

CFStringZorpRef NewCFStringZorp(const std::string& s)
{
    // Text the framework passes in is raw bytes; a CFString must be valid UTF-8.
    if (!unicode::IsUTF8(s)) return nullptr;
    return NewStringZorp(s);
}

std::string ZorpPluginVersion()
{
    return "Veilor property lists " VEILOR_PLIST_VERSION;
}

namespace plist {

plugin::Entrypoint LookupEntrypoint(std::string_view declaration)
{
    for (const plugin::Binding& binding : kBindings) {
        if (binding.declaration == declaration) return binding.entrypoint;
    }
    return nullptr;
}

}  // namespace plist
