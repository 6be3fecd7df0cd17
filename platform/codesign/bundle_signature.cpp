// SPDX-License-Identifier: MIT
#include "bundle_signature.h"

#include "messages.h"
#include "resource_seal.h"

#include "platform/files/open_limits.h"
#include "platform/plist/cfobject.h"

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

// Whether `name` may be in `folder`: only one known to be absent is not.
bool Holds(const OpenFolder& folder, const std::string& name)
{
    return folder ? folder.Holds(name) : !OpenFolder::Absent(folder.Error());
}

// The file's name as shown: the last component, valid UTF-8.
std::string DisplayName(std::string name)
{
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    const std::string last = std::filesystem::path(name).filename().string();
    return plist::WithInvalidUTF8Replaced(last.empty() ? name : last);
}

}  // namespace

BundleCode ReadBundleCode(const OpenFolder& contents, const std::string& executable)
try {
    using Kind = OpenFolder::Kind;
    BundleCode code;
    // macOS follows a link where a bundle's code lives, which is never followed here: such a
    // signature can be neither judged nor kept.
    for (const char* place : {"MacOS", "_CodeSignature"})
        if (!executable.empty() && contents.KindOf(place) == Kind::Link)
            return Failed(messages::OpenExecutableFailed(DisplayName(executable)), {FileStep::Open, ELOOP});
    const OpenFolder macOS = contents.Child("MacOS");
    if (!OpenFolder::IsName(executable) || !Holds(macOS, executable)) return code;
    code.name = DisplayName(executable);
    if (FileError error = macOS.ReadWhole(executable, kMaxExecutableLength, code.executable))
        return Failed(messages::OpenExecutableFailed(code.name), error);

    const OpenFolder signature = contents.Child("_CodeSignature");
    if (Holds(signature, "CodeResources")) {
        FileRewrite seal;
        if (FileError error = signature.ReadWhole("CodeResources", kMaxOpenLength, seal))
            return Failed(messages::kOpenCodeResourcesFailed, error);
        code.codeResources = std::move(seal.bytes);
        SealCheck check = CheckSeal(contents, *code.codeResources, executable);
        code.resourcesAsSealed = check.status == SealCheck::Status::Holds;
        code.resourcesUnchecked = std::move(check.reason);
    }
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
    BundleCode code = ReadBundleCode(bundle.Child("Contents"), executable);
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
        if ((contents || version) &&
            Holds(OpenFolder::At(folder.parent_path()).Child(folder.filename()).Child("_CodeSignature"),
                  "CodeResources"))
            return contents ? folder.parent_path() : folder.parent_path().parent_path();
    }
    return std::nullopt;
}
