// SPDX-License-Identifier: MIT
#include "sign_bundle.h"

#include "reseal.h"
#include "seal_builder.h"

#include "platform/byteorder/large_buffer.h"
#include "platform/files/fd_io.h"
#include "platform/files/open_limits.h"
#include "platform/files/temporary_file.h"
#include "platform/macho/cms.h"
#include "platform/macho/digest.h"
#include "platform/macho/layout.h"
#include "platform/macho/macho.h"
#include "platform/macho/resign.h"
#include "platform/macho/sign.h"
#include "platform/plist/plist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace codesign {

namespace {

constexpr std::uint32_t kExecute = 2;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

UniqueFd OpenFolderAt(int folder, const std::string& name)
{
    return UniqueFd(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Names in the folder, sorted, so that the plan and its messages do not depend on the disk's order.
std::optional<std::vector<std::string>> Names(int folder)
{
    const int fd = ::dup(folder);
    if (fd < 0) return std::nullopt;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        if (names.size() > kMaxSignedItems) break;
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> Text(const CFDictionaryZorpRef& list, std::string_view key)
{
    const CFObjectZorp* value = list ? list->Find(key) : nullptr;
    if (!value || value->Kind() != CFKind::String) return std::nullopt;
    return std::string(static_cast<const CFStringZorp&>(*value).Text());
}

// Whether an old signature's page hashes no longer match the code. Signing moves no code, so the
// new SHA-256 hashes of 4 KiB pages stand for the old ones but on the first page (where the load
// commands may have changed) and a last partial page; those, and old signatures of another shape,
// are hashed again.
bool CodeChanged(const std::vector<macho::Slice>& before, const std::vector<macho::Slice>& after)
{
    for (std::size_t s = 0; s < before.size() && s < after.size(); ++s) {
        if (!before[s].signature) continue;
        const macho::CodeDirectory* fresh = nullptr;
        for (const macho::CodeDirectory& cd : after[s].signature->codeDirectories)
            if (cd.hashType == macho::kSha256) fresh = &cd;
        for (const macho::CodeDirectory& cd : before[s].signature->codeDirectories) {
            macho::Hasher hasher(cd.hashType);
            const bool alike = fresh && cd.hashType == macho::kSha256 && cd.pageSize == 12;
            const std::uint64_t page = cd.pageSize == 0 ? cd.codeLimit : std::uint64_t(1) << cd.pageSize;
            for (std::uint32_t i = 0; i < cd.nCodeSlots; ++i) {
                const std::uint64_t start = std::uint64_t(i) * page;
                const std::uint64_t length = std::min(page, cd.codeLimit - start);
                const bool same = alike && i > 0 && length == page && i < fresh->nCodeSlots
                                      ? cd.CodeSlot(i) == fresh->CodeSlot(i)
                                      : hasher.Matches(before[s].bytes.substr(start, length), cd.CodeSlot(i));
                if (!same) return true;
            }
        }
    }
    return false;
}

// Where two contents of one size differ, in 64 KiB blocks: a file system that shares blocks keeps
// the rest shared with the old file.
std::vector<ByteRange> Differences(std::string_view before, std::string_view after)
{
    constexpr std::uint64_t kBlock = 64 << 10;
    std::vector<ByteRange> ranges;
    if (before.size() != after.size()) return ranges;
    for (std::uint64_t at = 0; at < after.size(); at += kBlock) {
        const std::uint64_t length = std::min<std::uint64_t>(kBlock, after.size() - at);
        if (before.substr(at, length) == after.substr(at, length)) continue;
        if (!ranges.empty() && ranges.back().offset + ranges.back().length == at)
            ranges.back().length += length;
        else
            ranges.push_back({at, length});
    }
    return ranges;
}

// For contents of different sizes: the 4 KiB blocks of each slice that are as they were, where the
// slice was and where it is now, so that a file system that shares blocks keeps them shared.
std::vector<SharedRange> Unmoved(const std::vector<macho::Slice>& before,
                                 const std::vector<macho::Slice>& after)
{
    constexpr std::uint64_t kBlock = 4096;
    std::vector<SharedRange> ranges;
    if (before.size() != after.size()) return ranges;
    for (std::size_t i = 0; i < after.size(); ++i) {
        const macho::Slice &was = before[i], &is = after[i];
        if (was.offset % kBlock != 0 || is.offset % kBlock != 0) continue;
        const std::uint64_t length = std::min(was.bytes.size(), is.bytes.size());
        for (std::uint64_t at = 0; at + kBlock <= length; at += kBlock) {
            if (was.bytes.substr(at, kBlock) != is.bytes.substr(at, kBlock)) continue;
            if (!ranges.empty() && ranges.back().to + ranges.back().length == is.offset + at &&
                ranges.back().from + ranges.back().length == was.offset + at)
                ranges.back().length += kBlock;
            else
                ranges.push_back({is.offset + at, was.offset + at, kBlock});
        }
    }
    return ranges;
}

struct Code {
    byteorder::LargeBytes bytes;
    FileIdentity read;
    UniqueFd stable;  // open while nobody can change the file (its bytes mapped): -1 when they were read
};

struct Facts {
    macho::NestedSeal seal;
    bool inProcess = false;  // a library or loadable bundle, not a process of its own
};

SealEntry NestedEntry(const std::string& path, const macho::NestedSeal& seal, bool optional)
{
    SealEntry entry;
    entry.kind = SealEntry::Kind::Nested;
    entry.path = path;
    entry.cdhash = seal.cdhash;
    entry.requirement = seal.requirement;
    entry.optional = optional;
    return entry;
}

class Signer {
public:
    Signer(BundlePlan& plan, bool tidy) : mPlan(plan), mTidy(tidy) {}

    // The bundle `name` in `parent`, `shown` below the outermost bundle, `depth` folders down.
    std::optional<Facts> Bundle(int parent, const std::string& name, const std::string& shown,
                                const std::optional<std::string>& infoPlist, std::size_t depth);

private:
    std::optional<Facts> Loose(const SharedFd& folder, const std::string& name, const std::string& shown);
    bool Walk(int folder, const std::string& relative, const std::string& shown, std::size_t depth,
              const std::string& mainExecutable, std::vector<SealEntry>& entries, bool& inProcessCode);
    std::optional<Code> ReadCode(int folder, const std::string& name, const std::string& shown);
    // What the old signature forbids (empty: nothing).
    std::string Refusal(const std::vector<macho::Slice>& slices, bool* libraryValidation);
    std::optional<Facts> Signed(const SharedFd& folder, const std::string& name, const std::string& shown,
                                const Code& code, const std::vector<macho::Slice>& old,
                                const macho::SignRequest& request, bool libraryValidation, bool inProcessCode,
                                byteorder::LargeBytes* keep = nullptr);

    bool Refuse(const std::string& shown, const std::string& why)
    {
        if (mPlan.status == BundlePlan::Status::Ready) {
            mPlan.status = BundlePlan::Status::Refused;
            mPlan.message = shown + ": " + why;
        }
        return false;
    }
    bool Fail(const std::string& shown, int error)
    {
        if (mPlan.status == BundlePlan::Status::Ready) {
            mPlan.status = BundlePlan::Status::Failed;
            mPlan.message = shown;
            mPlan.error = error;
        }
        return false;
    }

    BundlePlan& mPlan;
    const bool mTidy;
    std::size_t mItems = 0;
    std::int64_t mCode = 0;  // bytes of code read so far
};

std::optional<Code> Signer::ReadCode(int folder, const std::string& name, const std::string& shown)
{
    Code code;
    UniqueFd fd = OpenRegularAt(folder, name, false, code.read);
    if (!fd) return Fail(shown, errno), std::nullopt;
    if (code.read.size > kMaxExecutableLength) return Refuse(shown, "too large to sign"), std::nullopt;
    if ((mCode += code.read.size) > kMaxSignedCode)
        return Refuse(shown, "too much code to sign at once"), std::nullopt;
    bool mapped = false;
    std::optional<byteorder::LargeBytes> bytes = ReadLarge(fd.Get(), code.read, &mapped);
    if (!bytes) return Fail(shown, errno), std::nullopt;
    code.bytes = std::move(*bytes);
    if (mapped) code.stable = std::move(fd);
    return code;
}

std::string Signer::Refusal(const std::vector<macho::Slice>& slices, bool* libraryValidation)
{
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const macho::Slice& slice = slices[i];
        if (slice.encrypted) return "encrypted";
        if (!slice.signature) continue;
        const macho::Signature& signature = *slice.signature;
        for (const macho::CodeDirectory& cd : signature.codeDirectories)
            if (cd.platform != 0) return "platform binary";
        const macho::Blob* cms = signature.Find(macho::kCmsSlot);
        if (cms && cms->bytes.size() > 8 &&
            macho::ReadCms(cms->bytes.substr(8), signature.codeDirectories.front()).signer.appleOwn)
            return "signed by Apple";
        for (std::uint32_t type = macho::kFirstConstraintSlot; type <= macho::kLastConstraintSlot; ++type)
            if (signature.Find(type)) return "launch or library constraints";
        if (std::string keys = macho::RestrictedEntitlements(signature); !keys.empty())
            return "restricted entitlements (" + keys + ")";
        const macho::CodeDirectory& primary = signature.codeDirectories.front();
        if (!(primary.flags & macho::kLinkerSigned) &&
            (primary.flags & (macho::kRuntime | macho::kLibraryValidation)) &&
            !macho::DisablesLibraryValidation(signature))
            *libraryValidation = true;
    }
    return {};
}

std::optional<Facts> Signer::Signed(const SharedFd& folder, const std::string& name, const std::string& shown,
                                    const Code& code, const std::vector<macho::Slice>& old,
                                    const macho::SignRequest& request, bool libraryValidation,
                                    bool inProcessCode, byteorder::LargeBytes* keep)
{
    if (libraryValidation && inProcessCode)
        return Refuse(shown, "library validation with other code inside"), std::nullopt;
    macho::Result<macho::SignedCode> signedCode =
        macho::SignAdHoc(code.bytes.View(), request, code.stable ? code.stable.Get() : -1);
    if (!signedCode) return Refuse(shown, macho::Describe(signedCode.error().kind)), std::nullopt;
    const std::string_view before = code.bytes.View(), after = signedCode->bytes.View();
    macho::Result<std::vector<macho::Slice>> slices = macho::ReadMachO(after);
    if (!slices) return Refuse(shown, macho::Describe(slices.error().kind)), std::nullopt;
    if (CodeChanged(old, *slices))
        mPlan.notes.push_back(shown + ": the old signature no longer matched (code changed)");
    Facts facts;
    facts.seal = macho::SealOf(*slices);
    const macho::Result<macho::SliceLayout> layout = macho::ReadLayout(slices->front().bytes, 0);
    facts.inProcess = layout && layout->filetype != kExecute;
    if (after != before) {
        if (keep) mPlan.executableWrite = mPlan.writes.size();
        mPlan.writes.push_back({folder, {}, name, code.read, {}, shown});
        PlannedWrite& write = mPlan.writes.back();
        if (after.size() == before.size())
            write.changed = Differences(before, after);
        else
            write.shared = Unmoved(old, *slices);
        write.large = std::move(signedCode->bytes);
    } else if (keep) {
        *keep = std::move(signedCode->bytes);
    }
    return facts;
}

std::optional<Facts> Signer::Loose(const SharedFd& folder, const std::string& name, const std::string& shown)
{
    std::optional<Code> code = ReadCode(folder.Get(), name, shown);
    if (!code) return std::nullopt;
    macho::Result<std::vector<macho::Slice>> slices = macho::ReadMachO(code->bytes.View());
    if (!slices)
        return Refuse(shown, slices.error().kind == macho::ErrorKind::NotMachO
                                 ? "not code, in a place only code may be"
                                 : macho::Describe(slices.error().kind)),
               std::nullopt;
    bool libraryValidation = false;
    if (std::string why = Refusal(*slices, &libraryValidation); !why.empty())
        return Refuse(shown, why), std::nullopt;
    return Signed(folder, name, shown, *code, *slices,
                  {macho::IdentifierForFile(name), std::nullopt, std::nullopt}, false, false);
}

bool Signer::Walk(int folder, const std::string& relative, const std::string& shown, std::size_t depth,
                  const std::string& mainExecutable, std::vector<SealEntry>& entries, bool& inProcessCode)
{
    if (depth > kMaxSignedDepth) return Refuse(shown, "folders nested too deep");
    // A killed run's temporary files are no part of the bundle.
    if (mTidy) RemoveLeftovers(folder);
    const std::optional<std::vector<std::string>> names = Names(folder);
    if (!names) return Fail(shown, errno);
    SharedFd shared;
    for (const std::string& name : *names) {
        if (++mItems > kMaxSignedItems) return Refuse(shown, "too many files");
        const std::string path = relative.empty() ? name : relative + "/" + name;
        const std::string itemShown = shown + "/" + name;
        if (relative.empty() && Excluded(name)) continue;
        if (path == mainExecutable) continue;
        if (!mTidy && IsTemporaryName(name)) continue;
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Fail(itemShown, errno);
        const Placement placement = Place(path);
        if (placement.role == Placement::Role::Omitted) continue;
        if (S_ISLNK(info.st_mode)) {
            std::string target(std::size_t(info.st_size > 0 && info.st_size < 4096 ? info.st_size : 4096),
                               '\0');
            const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
            if (length < 0) return Fail(itemShown, errno);
            if (std::size_t(length) == target.size() && length >= 4096)
                return Refuse(itemShown, "a link too long");
            target.resize(std::size_t(length));
            // A link is sealed as its text; one that points out of the bundle is refused.
            std::vector<std::string_view> at;
            for (std::size_t start = 0, slash = 0; start <= itemShown.size(); start = slash + 1) {
                slash = std::min(itemShown.find('/', start), itemShown.size());
                at.push_back(std::string_view(itemShown).substr(start, slash - start));
            }
            at.pop_back();  // the link itself
            bool leaves = target.empty() || target.front() == '/';
            for (std::size_t start = 0, slash = 0; !leaves && start <= target.size(); start = slash + 1) {
                slash = std::min(target.find('/', start), target.size());
                const std::string_view part = std::string_view(target).substr(start, slash - start);
                if (part == "..") {
                    at.pop_back();
                    leaves = at.empty();
                } else if (!part.empty() && part != ".") {
                    at.push_back(part);
                }
            }
            if (leaves) return Refuse(itemShown, "a link that leaves the bundle");
            SealEntry entry;
            entry.kind = SealEntry::Kind::Link;
            entry.path = path;
            entry.target = target;
            entry.optional = placement.optional;
            entries.push_back(std::move(entry));
        } else if (S_ISDIR(info.st_mode)) {
            if (NestedCodeAt(path, true) == NestedCode::Bundle) {
                std::optional<Facts> facts = Bundle(folder, name, itemShown, std::nullopt, depth + 1);
                if (!facts) return false;
                inProcessCode |= facts->inProcess;
                entries.push_back(NestedEntry(path, facts->seal, placement.optional));
                continue;
            }
            UniqueFd child = OpenFolderAt(folder, name);
            if (!child) return Fail(itemShown, errno);
            if (!Walk(child.Get(), path, itemShown, depth + 1, mainExecutable, entries, inProcessCode))
                return false;
        } else if (S_ISREG(info.st_mode)) {
            if (NestedCodeAt(path, false) == NestedCode::Loose) {
                if (!shared) shared = SharedFd(UniqueFd(::dup(folder)));
                std::optional<Facts> facts = Loose(shared, name, itemShown);
                if (!facts) return false;
                inProcessCode |= facts->inProcess;
                entries.push_back(NestedEntry(path, facts->seal, placement.optional));
                continue;
            }
            FileIdentity identity;
            UniqueFd fd = OpenRegularAt(folder, name, false, identity);
            if (!fd) return Fail(itemShown, errno);
            if (identity.size > kMaxExecutableLength) return Refuse(itemShown, "too large to seal");
            macho::Hasher sha1(macho::kSha1), sha256(macho::kSha256);
            sha1.Begin();
            sha256.Begin();
            if (!ReadPieces(fd.Get(), [&](std::string_view piece) {
                    sha1.Add(piece);
                    sha256.Add(piece);
                    return true;
                }))
                return Fail(itemShown, errno);
            entries.push_back({SealEntry::Kind::File,
                               path,
                               sha1.Finish(),
                               sha256.Finish(),
                               {},
                               {},
                               {},
                               placement.optional});
        } else {
            return Refuse(itemShown, "neither a file, a folder nor a link");
        }
    }
    return true;
}

std::optional<Facts> Signer::Bundle(int parent, const std::string& name, const std::string& shown,
                                    const std::optional<std::string>& infoPlist, std::size_t depth)
{
    if (depth > kMaxSignedDepth) return Refuse(shown, "folders nested too deep"), std::nullopt;
    UniqueFd bundle = OpenFolderAt(parent, name);
    if (!bundle) return Fail(shown, errno), std::nullopt;
    // The sealed root: Contents/, a framework's current version, or the bundle itself.
    std::string rootShown = shown, listName = "Info.plist", executableFolder;
    UniqueFd root = OpenFolderAt(bundle.Get(), "Contents");
    if (root) {
        rootShown += "/Contents";
        executableFolder = "MacOS";
    } else if (UniqueFd versions = OpenFolderAt(bundle.Get(), "Versions")) {
        char target[256] = {};
        const ssize_t length = ::readlinkat(versions.Get(), "Current", target, sizeof target - 1);
        const std::string current(target, std::size_t(std::max<ssize_t>(length, 0)));
        if (length <= 0 || current.find('/') != std::string::npos || current == "." || current == "..")
            return Refuse(shown + "/Versions/Current", "not a link to a version"), std::nullopt;
        root = OpenFolderAt(versions.Get(), current);
        rootShown += "/Versions/" + current;
        listName = "Resources/Info.plist";
    } else {
        root = UniqueFd(::dup(bundle.Get()));
    }
    if (!root) return Fail(rootShown, errno), std::nullopt;

    std::string list;
    if (infoPlist) {
        list = *infoPlist;
    } else {
        UniqueFd listFolder =
            listName == "Info.plist" ? UniqueFd(::dup(root.Get())) : OpenFolderAt(root.Get(), "Resources");
        std::optional<Code> read = listFolder
                                       ? ReadCode(listFolder.Get(), "Info.plist", rootShown + "/" + listName)
                                       : (Refuse(rootShown, "no Info.plist"), std::nullopt);
        if (!read) return std::nullopt;
        if (read->bytes.size() > std::size_t(kMaxOpenLength))
            return Refuse(rootShown + "/" + listName, "too large"), std::nullopt;
        list = std::string(read->bytes.View());
    }
    const CFDictionaryZorpRef parsed = plist::AsDictionary(plist::Parse(list).root);
    const std::optional<std::string> executable = Text(parsed, "CFBundleExecutable");
    if (!executable || executable->empty() || executable->find('/') != std::string::npos ||
        *executable == "..")
        return Refuse(rootShown + "/" + listName, "names no executable"), std::nullopt;
    std::string identifier =
        Text(parsed, "CFBundleIdentifier").value_or(Text(parsed, "CFBundleName").value_or(""));
    if (identifier.empty()) identifier = name.substr(0, name.rfind('.'));

    SharedFd executableAt(executableFolder.empty() ? UniqueFd(::dup(root.Get()))
                                                   : OpenFolderAt(root.Get(), executableFolder));
    const std::string executableShown =
        rootShown + "/" + (executableFolder.empty() ? "" : executableFolder + "/") + *executable;
    if (!executableAt) return Fail(executableShown, errno), std::nullopt;
    std::optional<Code> code = ReadCode(executableAt.Get(), *executable, executableShown);
    if (!code) return std::nullopt;
    macho::Result<std::vector<macho::Slice>> slices = macho::ReadMachO(code->bytes.View());
    if (!slices) return Refuse(executableShown, macho::Describe(slices.error().kind)), std::nullopt;
    bool libraryValidation = false;
    if (std::string why = Refusal(*slices, &libraryValidation); !why.empty())
        return Refuse(executableShown, why), std::nullopt;

    // Nested code first, each piece signed before its seal is recorded.
    std::vector<SealEntry> entries;
    bool inProcessCode = false;
    const std::string mainPath = (executableFolder.empty() ? "" : executableFolder + "/") + *executable;
    if (!Walk(root.Get(), "", rootShown, depth, mainPath, entries, inProcessCode)) return std::nullopt;
    const std::optional<std::string> seal = WriteSeal(entries, macho::WantsSha1(code->bytes.View()));
    if (depth == 0) mPlan.outerWrites = mPlan.writes.size();
    if (!seal) return Refuse(rootShown, "a name that is not UTF-8"), std::nullopt;

    SharedFd sealFolder(OpenFolderAt(root.Get(), "_CodeSignature"));
    if (sealFolder) {
        struct stat owner {};
        if (mTidy) RemoveLeftovers(sealFolder.Get());
        if (mTidy && ::fstat(root.Get(), &owner) == 0) RemoveOwnMarker(sealFolder.Get(), owner.st_uid);
        FileIdentity read;
        UniqueFd old = OpenRegularAt(sealFolder.Get(), "CodeResources", false, read);
        std::string bytes;
        if (old) {
            if (read.size > kMaxOpenLength || !ReadPieces(old.Get(), [&](std::string_view piece) {
                    return bytes += piece, bytes.size() <= seal->size();
                }))
                bytes.clear();
            if (bytes != *seal)
                mPlan.writes.push_back({sealFolder,
                                        {},
                                        "CodeResources",
                                        read,
                                        *seal,
                                        rootShown + "/_CodeSignature/CodeResources"});
        } else if (errno == ENOENT) {
            mPlan.writes.push_back({sealFolder,
                                    {},
                                    "CodeResources",
                                    std::nullopt,
                                    *seal,
                                    rootShown + "/_CodeSignature/CodeResources"});
        } else {
            return Fail(rootShown + "/_CodeSignature/CodeResources", errno), std::nullopt;
        }
    } else if (errno == ENOENT) {
        mPlan.writes.push_back({SharedFd(UniqueFd(::dup(root.Get()))), "_CodeSignature", "CodeResources",
                                std::nullopt, *seal, rootShown + "/_CodeSignature/CodeResources"});
    } else {
        return Fail(rootShown + "/_CodeSignature", errno), std::nullopt;
    }
    return Signed(executableAt, *executable, executableShown, *code, *slices, {identifier, list, *seal},
                  libraryValidation, inProcessCode, depth == 0 ? &mPlan.executable : nullptr);
}

}  // namespace

BundlePlan PlanSignature(const std::filesystem::path& bundle, const std::optional<std::string>& infoPlist,
                         bool tidy)
{
    BundlePlan plan;
    const std::filesystem::path parent = bundle.has_parent_path() ? bundle.parent_path() : ".";
    UniqueFd folder(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string name = bundle.filename().string();
    if (!folder) {
        plan.status = BundlePlan::Status::Failed;
        plan.message = parent.string();
        plan.error = errno;
        return plan;
    }
    Signer signer(plan, tidy);
    if (!signer.Bundle(folder.Get(), name, name, infoPlist, 0)) plan.writes.clear();
    return plan;
}

std::optional<FileRewrite> Prepare(PlannedWrite write, bool makeFolder)
{
    SharedFd folder = write.folder;
    if (!write.makeFolder.empty() && !makeFolder) {
        write.name = write.makeFolder + "/" + write.name;
    } else if (!write.makeFolder.empty()) {
        if (::mkdirat(write.folder.Get(), write.makeFolder.c_str(), 0755) != 0 && errno != EEXIST)
            return std::nullopt;
        folder = SharedFd(OpenFolderAt(write.folder.Get(), write.makeFolder));
        if (!folder) return std::nullopt;
    }
    FileRewrite rewrite;
    rewrite.folder = folder;
    rewrite.name = write.name;
    rewrite.read = write.read;
    rewrite.bytes = std::move(write.bytes);
    rewrite.large = std::move(write.large);
    rewrite.openLimit = kMaxExecutableLength;
    rewrite.changed = std::move(write.changed);
    rewrite.shared = std::move(write.shared);
    return rewrite;
}

}  // namespace codesign
