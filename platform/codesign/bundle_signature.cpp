// SPDX-License-Identifier: MIT
#include "bundle_signature.h"

#include "messages.h"
#include "resource_seal.h"

#include "platform/files/open_limits.h"
#include "platform/plist/cfobject.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <string_view>
#include <vector>

namespace {

BundleCode Failed(std::string message, FileError cause)
{
    BundleCode code;
    code.status = BundleCode::Status::Failed;
    code.message = std::move(message);
    code.cause = cause;
    return code;
}

// The names in `folder` of `contents`, as many as `most`; none when it is no folder (a link is
// not) or cannot be read. `tooMany` when it holds more.
std::vector<std::string> NamesIn(const OpenFolder& contents, const char* folder, std::size_t most,
                                 bool& tooMany)
{
    std::optional<std::vector<std::string>> names = contents.Child(folder).Names(most);
    tooMany = !names && errno == E2BIG;
    return names ? std::move(*names) : std::vector<std::string>();
}

bool EndsWithAny(std::string_view name, std::initializer_list<std::string_view> endings)
{
    for (std::string_view ending : endings)
        if (name.ends_with(ending)) return true;
    return false;
}

// The file's name as shown: the last component, valid UTF-8.
std::string DisplayName(std::string name)
{
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const std::string last = std::filesystem::path(name).filename().string();
    return plist::WithInvalidUTF8Replaced(last.empty() ? name : last);
}

// Folders holding more than this break their rules whatever the names.
constexpr std::size_t kMostNamesAllowed = 16;

bool Companion(const std::string& name)
{
    return name.starts_with("._");
}

// Only Contents, and the files Finder and software updates leave, none executable. A top folder
// that cannot be listed (searchable, not readable) is not held to this rule.
bool AppRootSealed(const OpenFolder& bundle)
{
    static const std::string_view kFinderFiles[] = {".LSOverride", ".DS_Store", "Icon\r",
                                                    ".SoftwareDepot.tracking"};
    std::optional<std::vector<std::string>> names = bundle.Names(kMostNamesAllowed);
    if (!names) return errno != E2BIG;
    for (const std::string& name : *names) {
        const std::string_view plain = Companion(name) ? std::string_view(name).substr(2) : name;
        const bool finder =
            std::find(std::begin(kFinderFiles), std::end(kFinderFiles), plain) != std::end(kFinderFiles);
        if (plain != "Contents" && !finder) return false;
        const std::optional<OpenFolder::Item> item = bundle.LookUp(name);
        if (!item) return false;
        if (Companion(name)) continue;
        if (finder ? item->kind != OpenFolder::Kind::File || (item->mode & 0111)
                   : item->kind != OpenFolder::Kind::Folder)
            return false;
    }
    return true;
}

// Regular files only, each one the signature uses: CodeResources (whether it is bound, the
// verifier tells) and an empty CodeSignature, which macOS tolerates. The other names there are
// those of a signature kept in files, for code that is no Mach-O file, which is not judged.
bool OnlySignatureFiles(const OpenFolder& signature)
{
    if (!signature) return true;
    std::optional<std::vector<std::string>> names = signature.Names(kMostNamesAllowed);
    if (!names) return errno != E2BIG;
    for (const std::string& name : *names) {
        if (Companion(name)) continue;
        const std::optional<OpenFolder::Item> item = signature.LookUp(name);
        if (!item || item->kind != OpenFolder::Kind::File) return false;
        if (name != "CodeResources" && !(name == "CodeSignature" && item->size == 0)) return false;
    }
    return true;
}

}  // namespace

BundleCode ReadBundleCode(const OpenFolder& bundle, const std::string& executable, bool passOverLeftovers)
try {
    using Kind = OpenFolder::Kind;
    BundleCode code;
    const OpenFolder contents = bundle.Child("Contents");
    // macOS follows a link where a bundle's code lives, which is never followed here: such a
    // signature can be neither judged nor kept.
    for (const char* place : {"MacOS", "_CodeSignature"})
        if (!executable.empty() && contents.KindOf(place) == Kind::Link)
            return Failed(messages::OpenExecutableFailed(DisplayName(executable)), {FileStep::Open, ELOOP});
    const OpenFolder macOS = contents.Child("MacOS");
    if (!OpenFolder::IsName(executable) || !macOS.Holds(executable)) return code;
    code.name = DisplayName(executable);
    if (FileError error = macOS.ReadWhole(executable, kMaxExecutableLength, code.executable))
        return Failed(messages::OpenExecutableFailed(code.name), error);

    const OpenFolder signature = contents.Child("_CodeSignature");
    if (signature.Holds("CodeResources")) {
        FileRewrite seal;
        if (FileError error = signature.ReadWhole("CodeResources", kMaxOpenLength, seal))
            return Failed(messages::kOpenCodeResourcesFailed, error);
        code.codeResources = std::move(seal.bytes);
        SealCheck check = CheckSeal(contents, *code.codeResources, executable, false, passOverLeftovers);
        code.resourcesAsSealed = check.status == SealCheck::Status::Holds;
        code.resourcesUnchecked = std::move(check.reason);
    }
    code.folderBreaks = (AppRootSealed(bundle) ? 0u : unsigned(macho::kAppRootUnsealed)) |
                        (OnlySignatureFiles(signature) ? 0u : unsigned(macho::kSignatureFolderExtra));
    code.status = BundleCode::Status::Read;
    return code;
} catch (const std::bad_alloc&) {
    return Failed(messages::OpenExecutableFailed(DisplayName(executable)), {FileStep::Open, ENOMEM});
}

bool OtherCodeInside(const OpenFolder& contents, const std::string& executable)
{
    // Folders fuller than any real bundle's are taken to hold such code.
    constexpr std::size_t kMost = kMaxSealedItems;
    bool tooMany = false;
    // A framework folder holds libraries, or helpers that load them: either way, code of ours.
    for (const char* folder : {"Frameworks", "SharedFrameworks"})
        if (!NamesIn(contents, folder, kMost, tooMany).empty() || tooMany) return true;
    // App extensions run in processes of their own; any other plug-in loads into this one.
    for (const char* folder : {"PlugIns", "Plug-ins"}) {
        for (const std::string& name : NamesIn(contents, folder, kMost, tooMany))
            if (!name.ends_with(".appex")) return true;
        if (tooMany) return true;
    }
    for (const std::string& name : NamesIn(contents, "MacOS", kMost, tooMany))
        if (name != executable && EndsWithAny(name, {".dylib", ".so", ".bundle", ".plugin"})) return true;
    return tooMany;
}

std::string Unreadable(const macho::Error& error)
{
    return std::string("signature cannot be read (") + macho::Describe(error.kind) + " at offset " +
           std::to_string(error.offset) + ")";
}

SignatureReading ReadSignature(const OpenFolder& bundle, const std::string& infoPlist,
                               const std::string& executable)
{
    using Status = SignatureReading::Status;
    BundleCode code = ReadBundleCode(bundle, executable);
    if (code.status == BundleCode::Status::None) return {};
    if (code.status == BundleCode::Status::Failed) return {Status::Failed, code.message, false, code.cause};
    macho::Result<macho::Verdict> verdict = macho::Verify(code.Files(infoPlist));
    if (!verdict && verdict.error().kind == macho::ErrorKind::NotMachO)
        return {Status::Read, macho::Describe(macho::Verdict{}), true, {}};
    if (!verdict) return {Status::Read, Unreadable(verdict.error()), false, {}};
    return {Status::Read, macho::Describe(*verdict), verdict->state != macho::State::Broken, {}};
}

std::optional<std::filesystem::path> EnclosingSignedBundle(const std::filesystem::path& bundle)
{
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(bundle, error).lexically_normal();
    if (error) return std::nullopt;
    for (std::filesystem::path folder = absolute.parent_path(); folder != folder.parent_path();
         folder = folder.parent_path()) {
        const bool contents = folder.filename() == "Contents";
        const bool version = folder.parent_path().filename() == "Versions";
        if ((contents || version) && OpenFolder::At(folder.parent_path())
                                         .Child(folder.filename())
                                         .Child("_CodeSignature")
                                         .Holds("CodeResources"))
            return contents ? folder.parent_path() : folder.parent_path().parent_path();
    }
    return std::nullopt;
}
