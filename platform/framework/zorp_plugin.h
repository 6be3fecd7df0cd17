// SPDX-License-Identifier: MIT
#pragma once
// The property-list plug-in as the program reaches it: every operation looked up once, by its
// declaration string, into one table that all later calls go through.

#include "folder_item.h"
#include "platform/plist/cfobject.h"
#include "platform/plist/plugin_interface.h"

#include <cstdint>
#include <string>
#include <string_view>

using PluginEntrypoint = plist::Entrypoint;

// The entry point for a declaration, or nullptr when the plug-in has none.
PluginEntrypoint RuntimeLookupPluginEntrypoint(std::string_view declaration);

// Binds every operation; returns "" on success, else the declaration that was not found.
std::string BindZorpPlugin();

// Calls through the bound table. A nil receiver, or an operation that was never bound, raises
// NilObjectException. FinderUpdateZorp answers 0, or the error number when the item's
// modification time cannot be set to now.
namespace Zorp {
CFBinaryDataZorpRef NewCFBinaryDataZorpStr(const std::string& s);
CFObjectZorpRef NewCFObjectZorpFromXML(const CFBinaryDataZorpRef& data);
CFMutableDictionaryZorpRef Edit(const CFDictionaryZorpRef& dictionary);
CFStringZorpRef NewCFStringZorp(const std::string& s);
void Add(const CFMutableDictionaryZorpRef& dictionary, const CFObjectZorpRef& key,
         const CFObjectZorpRef& value);
CFBinaryDataZorpRef XML(const CFObjectZorpRef& object);
std::string Str(const CFBinaryDataZorpRef& data);
std::int64_t FinderUpdateZorp(const FolderItemRef& item);
std::string ZorpPluginVersion();
}  // namespace Zorp
