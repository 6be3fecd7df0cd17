// SPDX-License-Identifier: MIT
#include "zorp_plugin.h"

#include "nil_object.h"
#include "platform/plist/plugin_interface.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <tuple>
#include <utility>

namespace {

// Answered here, by the files layer: 0, or the error number.
constexpr plist::Operation<std::int64_t(const FolderItemRef&)> kFinderUpdateZorp{
    "folderitem.FinderUpdateZorp as integer"};

// What binding looked up: the plug-in's operations, and the Finder refresh.
using FinderUpdateFunction = decltype(kFinderUpdateZorp)::Function;
plist::FunctionTable gTable;
FinderUpdateFunction* gFinderUpdate = nullptr;

// An operation that was never bound is a nil object too.
template <class Fn>
Fn Bound(Fn fn)
{
    if (!fn) throw NilObjectException();
    return fn;
}

template <const auto& op>
auto Bound()
{
    return Bound(std::get<plist::PositionOf<op>()>(gTable));
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
    FinderUpdateFunction* const finderUpdate = &FinderUpdate;  // of the type its declaration names
    if (declaration == kFinderUpdateZorp.declaration) return reinterpret_cast<PluginEntrypoint>(finderUpdate);
    return plist::LookupEntrypoint(declaration);
}

namespace {

// Looks the operation up into its slot; the slot's type must be the operation's.
template <class Signature>
void LookUp(Signature*& slot, const plist::Operation<Signature>& operation, std::string& firstUnknown)
{
    PluginEntrypoint entry = RuntimeLookupPluginEntrypoint(operation.declaration);
    if (!entry && firstUnknown.empty()) firstUnknown = operation.declaration;
    slot = plist::Restore(operation, entry);
}

}  // namespace

std::string BindZorpPlugin()
{
    std::string firstUnknown;
    [&]<std::size_t... I>(std::index_sequence<I...>)
    {
        (LookUp(std::get<I>(gTable), std::get<I>(plist::kOperations), firstUnknown), ...);
    }
    (std::make_index_sequence<plist::kOperationCount>{});
    LookUp(gFinderUpdate, kFinderUpdateZorp, firstUnknown);
    return firstUnknown;
}

namespace Zorp {

CFBinaryDataZorpRef NewCFBinaryDataZorpStr(const std::string& s)
{
    return Bound<plist::kNewCFBinaryDataZorpStr>()(s);
}

CFObjectZorpRef NewCFObjectZorpFromXML(const CFBinaryDataZorpRef& data)
{
    return Bound<plist::kNewCFObjectZorpFromXML>()(data);
}

CFMutableDictionaryZorpRef Edit(const CFDictionaryZorpRef& dictionary)
{
    Use(dictionary);
    return Bound<plist::kEdit>()(dictionary);
}

CFStringZorpRef NewCFStringZorp(const std::string& s)
{
    return Bound<plist::kNewCFStringZorp>()(s);
}

void Add(const CFMutableDictionaryZorpRef& dictionary, const CFObjectZorpRef& key,
         const CFObjectZorpRef& value)
{
    Use(dictionary);
    Use(key);
    Use(value);
    Bound<plist::kAdd>()(dictionary, key, value);
}

CFBinaryDataZorpRef XML(const CFObjectZorpRef& object)
{
    Use(object);
    return Bound<plist::kXML>()(object);
}

std::string Str(const CFBinaryDataZorpRef& data)
{
    Use(data);
    return Bound<plist::kStr>()(data);
}

std::int64_t FinderUpdateZorp(const FolderItemRef& item)
{
    Use(item);
    return Bound(gFinderUpdate)(item);
}

std::string ZorpPluginVersion()
{
    return Bound<plist::kZorpPluginVersion>()();
}

}  // namespace Zorp
