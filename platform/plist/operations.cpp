// SPDX-License-Identifier: MIT
#include "plist.h"
#include "unicode.h"

#include <utility>

#ifndef VEILOR_PLIST_VERSION
#error "VEILOR_PLIST_VERSION comes from the build"
#endif

namespace {

CFMutableDictionaryZorpRef Edit(const CFDictionaryZorpRef& dictionary) {
    return dictionary ? dictionary->Edit() : nullptr;
}

void Add(const CFMutableDictionaryZorpRef& dictionary, const CFObjectZorpRef& key, const CFObjectZorpRef& value) {
    if (dictionary && key && value) dictionary->Add(key, value);
}

CFBinaryDataZorpRef XML(const CFObjectZorpRef& object) {
    if (!object) return nullptr;
    std::optional<std::string> text = plist::WriteXML(*object);
    if (!text) return nullptr;
    return std::make_shared<CFBinaryDataZorp>(std::move(*text));
}

std::string Str(const CFBinaryDataZorpRef& data) { return data ? data->Bytes() : std::string(); }

template <typename Function>
plist::Entrypoint Erase(Function* function) {
    return reinterpret_cast<plist::Entrypoint>(function);
}

struct Binding {
    std::string_view declaration;
    plist::Entrypoint entrypoint;
};

// The declarations exactly as the program names them; "folderitem.FinderUpdateZorp as integer"
// belongs to the files layer, which answers for it.
const Binding kBindings[] = {
    {"NewCFBinaryDataZorpStr(s as string) as CFBinaryDataZorp", Erase(&NewCFBinaryDataZorpStr)},
    {"NewCFObjectZorpFromXML(XMLdata as CFBinaryDataZorp) as CFObjectZorp", Erase(&NewCFObjectZorpFromXML)},
    {"CFDictionaryZorp.Edit as CFMutableDictionaryZorp", Erase(&Edit)},
    {"NewCFStringZorp(s as string) as CFStringZorp", Erase(&NewCFStringZorp)},
    {"CFMutableDictionaryZorp.Add(key as CFObjectZorp,value as CFObjectZorp)", Erase(&Add)},
    {"CFObjectZorp.XML as CFBinaryDataZorp", Erase(&XML)},
    {"CFBinaryDataZorp.Str as String", Erase(&Str)},
    {"ZorpPluginVersion as string", Erase(&ZorpPluginVersion)},
};

}  // namespace

CFBinaryDataZorpRef NewCFBinaryDataZorpStr(const std::string& s) { return std::make_shared<CFBinaryDataZorp>(s); }

CFObjectZorpRef NewCFObjectZorpFromXML(const CFBinaryDataZorpRef& data) {
    if (!data) return nullptr;
    return plist::Parse(data->Bytes()).root;
}

CFStringZorpRef NewCFStringZorp(const std::string& s) {
    // Text the framework passes in is raw bytes; a CFString must be valid UTF-8.
    if (!unicode::IsUTF8(s)) return nullptr;
    return std::make_shared<CFStringZorp>(s);
}

std::string ZorpPluginVersion() { return "Veilor property lists " VEILOR_PLIST_VERSION; }

namespace plist {

Entrypoint LookupEntrypoint(std::string_view declaration) {
    for (const Binding& binding : kBindings) {
        if (binding.declaration == declaration) return binding.entrypoint;
    }
    return nullptr;
}

}  // namespace plist
