// SPDX-License-Identifier: MIT
#include "zorp_plugin.h"

#include "nil_object.h"
#include "platform/plist/plist.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace {

struct Table {
    plugin::PointerOf<plugin::kNewCFBinaryDataZorpStr> newBinaryData = nullptr;
    plugin::PointerOf<plugin::kNewCFObjectZorpFromXML> fromXML = nullptr;
    plugin::PointerOf<plugin::kEdit> edit = nullptr;
    plugin::PointerOf<plugin::kNewCFStringZorp> newString = nullptr;
    plugin::PointerOf<plugin::kAdd> add = nullptr;
    plugin::PointerOf<plugin::kXML> xml = nullptr;
    plugin::PointerOf<plugin::kStr> str = nullptr;
    plugin::PointerOf<plugin::kFinderUpdateZorp> finderUpdate = nullptr;
    plugin::PointerOf<plugin::kZorpPluginVersion> version = nullptr;
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
    return location.folder &&
           ::fstatat(location.folder.Get(), location.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
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
    if (::fstatat(location.folder.Get(), location.name.c_str(), &self, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    FolderItemRef plist = S_ISDIR(self.st_mode) ? target.BundleInfoPlist() : nullptr;
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
    static const plugin::Binding kFinderUpdate = plugin::Bind<plugin::kFinderUpdateZorp, &FinderUpdate>();
    if (declaration == kFinderUpdate.declaration) return kFinderUpdate.entrypoint;
    return plist::LookupEntrypoint(declaration);
}

namespace {

// Looks the operation up into its slot; the slot's type must be the operation's.
template <class Signature>
void LookUp(Signature*& slot, const plugin::Operation<Signature>& operation, std::string& firstUnknown)
{
    PluginEntrypoint entry = RuntimeLookupPluginEntrypoint(operation.declaration);
    if (!entry && firstUnknown.empty()) firstUnknown = operation.declaration;
    slot = plugin::Restore(operation, entry);
}

}  // namespace

std::string BindZorpPlugin()
{
    std::string firstUnknown;
    LookUp(gTable.newBinaryData, plugin::kNewCFBinaryDataZorpStr, firstUnknown);
    LookUp(gTable.fromXML, plugin::kNewCFObjectZorpFromXML, firstUnknown);
    LookUp(gTable.edit, plugin::kEdit, firstUnknown);
    LookUp(gTable.newString, plugin::kNewCFStringZorp, firstUnknown);
    LookUp(gTable.add, plugin::kAdd, firstUnknown);
    LookUp(gTable.xml, plugin::kXML, firstUnknown);
    LookUp(gTable.str, plugin::kStr, firstUnknown);
    LookUp(gTable.finderUpdate, plugin::kFinderUpdateZorp, firstUnknown);
    LookUp(gTable.version, plugin::kZorpPluginVersion, firstUnknown);
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
