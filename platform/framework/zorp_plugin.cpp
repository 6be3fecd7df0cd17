// SPDX-License-Identifier: MIT
#include "zorp_plugin.h"

#include "nil_object.h"
#include "plist/plist.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace {

using NewBinaryDataFn = CFBinaryDataZorpRef (*)(const std::string&);
using FromXMLFn = CFObjectZorpRef (*)(const CFBinaryDataZorpRef&);
using EditFn = CFMutableDictionaryZorpRef (*)(const CFDictionaryZorpRef&);
using NewStringFn = CFStringZorpRef (*)(const std::string&);
using AddFn = void (*)(const CFMutableDictionaryZorpRef&, const CFObjectZorpRef&, const CFObjectZorpRef&);
using XMLFn = CFBinaryDataZorpRef (*)(const CFObjectZorpRef&);
using StrFn = std::string (*)(const CFBinaryDataZorpRef&);
using FinderUpdateFn = std::int64_t (*)(const FolderItemRef&);
using VersionFn = std::string (*)();

constexpr std::string_view kNewCFBinaryDataZorpStr = "NewCFBinaryDataZorpStr(s as string) as CFBinaryDataZorp";
constexpr std::string_view kNewCFObjectZorpFromXML = "NewCFObjectZorpFromXML(XMLdata as CFBinaryDataZorp) as CFObjectZorp";
constexpr std::string_view kEdit = "CFDictionaryZorp.Edit as CFMutableDictionaryZorp";
constexpr std::string_view kNewCFStringZorp = "NewCFStringZorp(s as string) as CFStringZorp";
constexpr std::string_view kAdd = "CFMutableDictionaryZorp.Add(key as CFObjectZorp,value as CFObjectZorp)";
constexpr std::string_view kXML = "CFObjectZorp.XML as CFBinaryDataZorp";
constexpr std::string_view kStr = "CFBinaryDataZorp.Str as String";
constexpr std::string_view kFinderUpdateZorp = "folderitem.FinderUpdateZorp as integer";
constexpr std::string_view kZorpPluginVersion = "ZorpPluginVersion as string";

struct Table {
    NewBinaryDataFn newBinaryData = nullptr;
    FromXMLFn fromXML = nullptr;
    EditFn edit = nullptr;
    NewStringFn newString = nullptr;
    AddFn add = nullptr;
    XMLFn xml = nullptr;
    StrFn str = nullptr;
    FinderUpdateFn finderUpdate = nullptr;
    VersionFn version = nullptr;
};

Table gTable;

// An operation that was never bound is a nil object too.
template <class Fn>
Fn Bound(Fn fn)
{
    if (!fn) throw NilObjectException();
    return fn;
}

bool NewerThan(const FolderItem::Location& location, const struct timespec& time)
{
    struct stat info {};
    return location.folder && ::fstatat(location.folder.Get(), location.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           (info.st_mtim.tv_sec > time.tv_sec ||
            (info.st_mtim.tv_sec == time.tv_sec && info.st_mtim.tv_nsec > time.tv_nsec));
}

// Linux file managers and desktop caches re-read an item whose modification time changes; so do
// backup and sync tools. Only an item whose property list changed since the item itself did
// (its Contents/Info.plist or its companion is newer) is worth waking them for.
std::int64_t FinderUpdate(const FolderItemRef& item)
{
    const FolderItem& target = Use(item);
    FolderItem::Location location = target.Locate();
    if (!location.folder) return errno;
    struct stat self {};
    if (::fstatat(location.folder.Get(), location.name.c_str(), &self, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    FolderItemRef contents = S_ISDIR(self.st_mode) ? target.TrueChild("Contents") : nullptr;
    FolderItemRef plist = contents ? contents->TrueChild("Info.plist") : nullptr;
    const FolderItem::Location changed =
        S_ISDIR(self.st_mode) ? (plist ? plist->Locate() : FolderItem::Location{}) : target.Companion();
    if (!NewerThan(changed, self.st_mtim)) return 0;
    if (::utimensat(location.folder.Get(), location.name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    return 0;
}

}  // namespace

PluginEntrypoint RuntimeLookupPluginEntrypoint(std::string_view declaration)
{
    if (declaration == kFinderUpdateZorp) return reinterpret_cast<PluginEntrypoint>(&FinderUpdate);
    return plist::LookupEntrypoint(declaration);
}

std::string BindZorpPlugin()
{
    std::string firstUnknown;
    auto lookUp = [&firstUnknown]<class Fn>(Fn& slot, std::string_view declaration) {
        PluginEntrypoint entry = RuntimeLookupPluginEntrypoint(declaration);
        if (!entry && firstUnknown.empty()) firstUnknown = declaration;
        slot = reinterpret_cast<Fn>(entry);
    };
    lookUp(gTable.newBinaryData, kNewCFBinaryDataZorpStr);
    lookUp(gTable.fromXML, kNewCFObjectZorpFromXML);
    lookUp(gTable.edit, kEdit);
    lookUp(gTable.newString, kNewCFStringZorp);
    lookUp(gTable.add, kAdd);
    lookUp(gTable.xml, kXML);
    lookUp(gTable.str, kStr);
    lookUp(gTable.finderUpdate, kFinderUpdateZorp);
    lookUp(gTable.version, kZorpPluginVersion);
    return firstUnknown;
}

namespace Zorp {

CFBinaryDataZorpRef NewCFBinaryDataZorpStr(const std::string& s)
{
    return Bound(gTable.newBinaryData)(s);
}

CFObjectZorpRef NewCFObjectZorpFromXML(const CFBinaryDataZorpRef& data)
{
    return Bound(gTable.fromXML)(data);
}

CFMutableDictionaryZorpRef Edit(const CFDictionaryZorpRef& dictionary)
{
    Use(dictionary);
    return Bound(gTable.edit)(dictionary);
}

CFStringZorpRef NewCFStringZorp(const std::string& s)
{
    return Bound(gTable.newString)(s);
}

void Add(const CFMutableDictionaryZorpRef& dictionary, const CFObjectZorpRef& key,
         const CFObjectZorpRef& value)
{
    Use(dictionary);
    Use(key);
    Use(value);
    Bound(gTable.add)(dictionary, key, value);
}

CFBinaryDataZorpRef XML(const CFObjectZorpRef& object)
{
    Use(object);
    return Bound(gTable.xml)(object);
}

std::string Str(const CFBinaryDataZorpRef& data)
{
    Use(data);
    return Bound(gTable.str)(data);
}

std::int64_t FinderUpdateZorp(const FolderItemRef& item)
{
    Use(item);
    return Bound(gTable.finderUpdate)(item);
}

std::string ZorpPluginVersion()
{
    return Bound(gTable.version)();
}

}  // namespace Zorp
