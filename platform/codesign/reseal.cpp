// SPDX-License-Identifier: MIT
#include "reseal.h"

#include "seal_builder.h"

#include "platform/byteorder/byteorder.h"
#include "platform/files/fd_io.h"
#include "platform/files/open_limits.h"
#include "platform/files/private_group.h"
#include "platform/macho/digest.h"
#include "platform/macho/macho.h"
#include "platform/macho/resign.h"
#include "platform/macho/sign.h"
#include "platform/macho/slice_check.h"
#include "platform/macho/verify.h"
#include "platform/plist/plist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace codesign {

namespace {

// Enclosing bundles deeper than this are not followed.
constexpr std::size_t kMaxLevels = 16;

UniqueFd OpenFolderAt(int folder, const std::string& name)
{
    return UniqueFd(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

struct File {
    SharedFd folder;
    std::string bytes;
    FileIdentity read;
};

std::optional<File> ReadFile(const SharedFd& folder, const std::string& name, std::int64_t limit)
{
    File file{folder, {}, {}};
    UniqueFd fd = OpenRegularAt(folder.Get(), name, false, file.read);
    if (!fd) return std::nullopt;
    if (file.read.size > limit) return errno = EFBIG, std::nullopt;
    if (!ReadPieces(fd.Get(), [&](std::string_view piece) {
            if (file.bytes.size() + piece.size() > std::size_t(limit)) return errno = EFBIG, false;
            return file.bytes += piece, true;
        }))
        return std::nullopt;
    return file;
}

constexpr char kMarkerName[] = ".veilor-reseal";
constexpr std::string_view kMarkerMagic = "VEILORS1";

// The marker for `seal` in the open folder `sealFolder`; empty when the folder cannot be looked at.
std::string MarkerOf(int sealFolder, std::string_view seal)
{
    struct stat folder {};
    if (::fstat(sealFolder, &folder) != 0) return {};
    std::string marker(kMarkerMagic);
    byteorder::PutBigEndian(marker, folder.st_dev, 8);
    byteorder::PutBigEndian(marker, folder.st_ino, 8);
    return marker += macho::Digest(macho::kSha256, seal);
}

// Whether a marker of ours names `seal` (any seal when none): as the journals' rules say, a lone
// regular file owned by the bundle's owner (or root) in a folder where no one else may make files,
// or a sticky one.
bool MarkedOurs(int sealFolder, uid_t owner, std::optional<std::string_view> seal)
{
    const std::string named = MarkerOf(sealFolder, seal.value_or(""));
    if (named.empty()) return false;
    // Without a seal, only the part that names the folder is compared.
    const std::size_t compared =
        seal ? named.size() : named.size() - macho::Digest(macho::kSha256, "").size();
    const std::string expected = named.substr(0, compared);
    UniqueFd fd(::openat(sealFolder, kMarkerName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat marker {
    }, folder{};
    if (expected.empty() || !fd || ::fstat(fd.Get(), &marker) != 0 || ::fstat(sealFolder, &folder) != 0)
        return false;
    if (!S_ISREG(marker.st_mode) || marker.st_nlink != 1 || (marker.st_uid != owner && marker.st_uid != 0) ||
        marker.st_size != off_t(named.size()))
        return false;
    if (!(folder.st_mode & S_ISVTX) &&
        (!OnlyOwnerWrites(folder.st_mode, owner, folder.st_gid) ||
         (folder.st_uid != 0 && folder.st_uid != owner && folder.st_uid != marker.st_uid)))
        return false;
    std::string bytes;
    if (!ReadPieces(fd.Get(), [&](std::string_view piece) {
            if (bytes.size() + piece.size() > named.size()) return false;
            return bytes += piece, true;
        }))
        return false;
    return bytes.size() == named.size() && bytes.compare(0, compared, expected) == 0;
}

// The seal with the nested entry at `path` recording `seal`; none when it has no such entry.
std::optional<std::string> WithNested(std::string_view codeResources, const std::string& path,
                                      const macho::NestedSeal& seal)
{
    CFMutableDictionaryZorpRef root =
        plist::MutableCopy(plist::AsDictionary(plist::Parse(codeResources).root));
    CFMutableDictionaryZorpRef files2 =
        plist::MutableCopy(plist::AsDictionary(plist::FindRef(root, "files2")));
    CFMutableDictionaryZorpRef entry = plist::MutableCopy(plist::AsDictionary(plist::FindRef(files2, path)));
    if (!entry || !entry->Find("cdhash")) return std::nullopt;
    entry->Set(plist::NewStringZorp("cdhash"), plist::NewBinaryDataZorp(seal.cdhash));
    entry->Set(plist::NewStringZorp("requirement"), plist::NewStringZorp(seal.requirement));
    files2->Set(plist::NewStringZorp(path), entry);
    root->Set(plist::NewStringZorp("files2"), files2);
    return plist::WriteXML(*root);
}

std::string Why(const macho::Examined& examined, const macho::Signature& signature)
{
    for (const macho::Slice& slice : examined.slices)
        if (slice.encrypted) return "encrypted";
    for (const std::optional<macho::SliceCheck>& check : examined.checks)
        if (check && check->appleSigned) return "signed by Apple";
    for (const macho::CodeDirectory& cd : signature.codeDirectories)
        if (cd.platform != 0) return "platform binary";
    for (std::uint32_t type = macho::kFirstConstraintSlot; type <= macho::kLastConstraintSlot; ++type)
        if (signature.Find(type)) return "launch or library constraints";
    if (std::string keys = macho::RestrictedEntitlements(signature); !keys.empty())
        return "restricted entitlements (" + keys + ")";
    return {};
}

}  // namespace

ResealPlan PlanReseal(const std::filesystem::path& bundle, std::string_view innerExecutable,
                      bool allowDeveloper)
{
    std::string_view executable = innerExecutable;
    std::string held;  // an enclosing executable, once the chain has climbed to it
    ResealPlan plan;
    const auto stop = [&](ResealPlan::Status status, const std::filesystem::path& where, std::string why,
                          int error = 0) {
        plan.status = status;
        plan.message = why.empty() ? where.string() : where.string() + ": " + std::move(why);
        plan.error = error;
        plan.writes.clear();
        return plan;
    };
    std::error_code failed;
    std::filesystem::path inner = std::filesystem::absolute(bundle, failed).lexically_normal();
    if (failed) return plan;
    if (inner.filename().empty()) inner = inner.parent_path();
    for (std::size_t level = 0; level < kMaxLevels; ++level) {
        // The nearest Contents/ above with a seal of its own.
        std::filesystem::path contents;
        for (std::filesystem::path up = inner.parent_path(); up != up.parent_path(); up = up.parent_path())
            if (up.filename() == "Contents" &&
                std::filesystem::is_regular_file(
                    std::filesystem::symlink_status(up / "_CodeSignature/CodeResources"))) {
                contents = up;
                break;
            }
        if (contents.empty()) break;
        const std::string path = inner.lexically_relative(contents).generic_string();
        if (Place(path).role != Placement::Role::Nested) break;
        const std::filesystem::path outer = contents.parent_path();

        SharedFd contentsFd(
            UniqueFd(::open(contents.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
        SharedFd sealFd(contentsFd ? OpenFolderAt(contentsFd.Get(), "_CodeSignature") : UniqueFd());
        const std::optional<File> seal =
            sealFd ? ReadFile(sealFd, "CodeResources", kMaxOpenLength) : std::nullopt;
        const std::optional<File> list =
            contentsFd ? ReadFile(contentsFd, "Info.plist", kMaxOpenLength) : std::nullopt;
        // A folder with a seal but no list is no bundle Veilor can sign: the warning stays.
        if (!list && errno == ENOENT) break;
        if (!seal || !list)
            return stop(ResealPlan::Status::Failed,
                        seal ? contents / "Info.plist" : contents / "_CodeSignature/CodeResources", {},
                        errno);
        const macho::Result<std::vector<macho::Slice>> innerSlices = macho::ReadMachO(executable);
        if (!innerSlices) break;
        const macho::NestedSeal nested = macho::SealOf(*innerSlices);
        if (nested.requirement.empty()) break;
        const std::optional<std::string> newSeal = WithNested(seal->bytes, path, nested);
        if (!newSeal) break;

        const CFDictionaryZorpRef parsed = plist::AsDictionary(plist::Parse(list->bytes).root);
        const CFObjectZorp* name = parsed ? parsed->Find("CFBundleExecutable") : nullptr;
        const std::string executableName = name && name->Kind() == CFKind::String
                                               ? std::string(static_cast<const CFStringZorp&>(*name).Text())
                                               : "";
        if (executableName.empty() || executableName.find('/') != std::string::npos)
            return stop(ResealPlan::Status::Refused, outer, "its list names no executable");
        SharedFd macOSFd(OpenFolderAt(contentsFd.Get(), "MacOS"));
        const std::optional<File> code =
            macOSFd ? ReadFile(macOSFd, executableName, kMaxExecutableLength) : std::nullopt;
        if (!code && errno == ENOENT) break;
        if (!code) return stop(ResealPlan::Status::Failed, contents / "MacOS" / executableName, {}, errno);

        // The container must be intact but for the entry that now records the old code; or, after a
        // run cut short, hold exactly the seal this chain writes with only its binding left to renew.
        macho::Result<macho::Examined> examined = macho::Examine({code->bytes, list->bytes, *newSeal});
        // Done only when the seal on disk is the one its executable binds.
        if (examined && examined->verdict.state == macho::State::Valid && *newSeal == seal->bytes) {
            struct stat owner {};
            if (::fstat(contentsFd.Get(), &owner) == 0 && MarkedOurs(sealFd.Get(), owner.st_uid, seal->bytes))
                plan.stale.push_back({sealFd, {}});
            inner = outer;  // this level is done already; the ones above may not be
            held = code->bytes;
            executable = held;
            continue;
        }
        struct stat owner {};
        const bool cutShort =
            examined && *newSeal == seal->bytes && examined->verdict.state == macho::State::Broken &&
            examined->verdict.breaks == macho::kResourcesChanged && ::fstat(contentsFd.Get(), &owner) == 0 &&
            MarkedOurs(sealFd.Get(), owner.st_uid, seal->bytes);
        if (!cutShort) examined = macho::Examine({code->bytes, list->bytes, seal->bytes});
        if (!examined)
            return stop(ResealPlan::Status::Refused, outer, macho::Describe(examined.error().kind));
        const macho::Verdict& verdict = examined->verdict;
        if (verdict.state != macho::State::Valid && !cutShort)
            return stop(
                ResealPlan::Status::Refused, outer,
                "not re-sealed: " + macho::Describe(verdict) +
                    (*newSeal == seal->bytes ? " (its seal was not left so by a run of Veilor's)" : ""));
        const macho::Signature& signature = *examined->slices.front().signature;
        if (std::string why = Why(*examined, signature); !why.empty())
            return stop(ResealPlan::Status::Refused, outer, "not re-sealed: " + why);
        std::string newCode;
        if (verdict.adhoc) {
            std::optional<std::string> resealed = macho::WithSealHash(code->bytes, *newSeal);
            if (!resealed)
                return stop(ResealPlan::Status::Refused, outer, "not re-sealed: its seal is not bound");
            newCode = std::move(*resealed);
        } else {
            if (!allowDeveloper)
                return stop(ResealPlan::Status::Refused, outer, "not re-sealed: signed by a developer");
            const macho::CodeDirectory& primary = signature.codeDirectories.front();
            if ((primary.flags & (macho::kRuntime | macho::kLibraryValidation)) &&
                !macho::DisablesLibraryValidation(signature) &&
                std::filesystem::exists(std::filesystem::symlink_status(contents / "Frameworks")))
                return stop(ResealPlan::Status::Refused, outer,
                            "not re-sealed: library validation with other code inside");
            macho::Result<macho::SignedCode> signedCode =
                macho::SignAdHoc(code->bytes, {primary.identifier, list->bytes, *newSeal});
            if (!signedCode)
                return stop(ResealPlan::Status::Refused, outer, macho::Describe(signedCode.error().kind));
            newCode = std::string(signedCode->bytes.View());
        }
        const std::string shown = outer.filename().string();
        if (*newSeal != seal->bytes)
            plan.writes.push_back({sealFd,
                                   {},
                                   "CodeResources",
                                   seal->read,
                                   *newSeal,
                                   shown + "/Contents/_CodeSignature/CodeResources"});
        plan.writes.push_back({macOSFd,
                               {},
                               executableName,
                               code->read,
                               std::move(newCode),
                               shown + "/Contents/MacOS/" + executableName});
        plan.markers.push_back({sealFd, MarkerOf(sealFd.Get(), *newSeal)});
        if (plan.markers.back().bytes.empty())
            return stop(ResealPlan::Status::Failed, contents / "_CodeSignature", {}, errno);
        ++plan.levels;
        inner = outer;
        executable = plan.writes.back().bytes;
    }
    return plan;
}

bool PlaceMarkers(const std::vector<ResealMarker>& markers)
{
    for (const ResealMarker& marker : markers) {
        // Made afresh, so that it is a lone file of ours whatever held the name.
        if (::unlinkat(marker.folder.Get(), kMarkerName, 0) != 0 && errno != ENOENT) return false;
        UniqueFd fd(::openat(marker.folder.Get(), kMarkerName,
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd || !WriteAllAt(fd.Get(), marker.bytes) || ::fsync(fd.Get()) != 0 ||
            !SyncFolder(marker.folder.Get()))
            return false;
    }
    return true;
}

void RemoveMarkers(const std::vector<ResealMarker>& markers)
{
    for (const ResealMarker& marker : markers) ::unlinkat(marker.folder.Get(), kMarkerName, 0);
}

void RemoveOwnMarker(int sealFolder, uid_t owner)
{
    if (MarkedOurs(sealFolder, owner, std::nullopt)) ::unlinkat(sealFolder, kMarkerName, 0);
}

}  // namespace codesign
