// SPDX-License-Identifier: MIT
#include "bundle_signature.h"

#include "messages.h"
#include "resource_seal.h"

#include "platform/framework/binary_stream.h"

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

std::vector<std::string> NamesIn(const FolderItem& contents, const std::string& folder)
{
    FolderItemRef item = contents.TrueChild(folder);
    return item ? item->ChildNames() : std::vector<std::string>();
}

bool EndsWithAny(std::string_view name, std::initializer_list<std::string_view> endings)
{
    for (std::string_view ending : endings)
        if (name.ends_with(ending)) return true;
    return false;
}

bool HasFile(const std::filesystem::path& folder, const char* inner, const char* name)
{
    FolderItemRef holder = FolderItem(folder).TrueChild(inner);
    FolderItemRef file = holder ? holder->TrueChild(name) : nullptr;
    return file && file->Exists();
}

}  // namespace

BundleCode ReadBundleCode(const FolderItem& contents, const std::string& executable)
try {
    BundleCode code;
    // macOS follows a link where a bundle's code lives, which is never followed here: such a
    // signature can be neither judged nor kept.
    for (const char* place : {"MacOS", "_CodeSignature"}) {
        FolderItemRef item = executable.empty() ? nullptr : contents.TrueChild(place);
        if (item && item->LookUpKind() == FolderItem::Kind::Link)
            return Failed(messages::OpenExecutableFailed(FolderItem(executable).DisplayName()),
                          {FileStep::Open, ELOOP});
    }
    FolderItemRef macOS = contents.TrueChild("MacOS");
    FolderItemRef file = macOS ? macOS->TrueChild(executable) : nullptr;
    if (!file || !file->Exists()) return code;
    code.name = file->DisplayName();

    FileError error;
    BinaryStreamRef stream = file->OpenAsBinaryFile(false, error, FolderItem::kMaxExecutableLength);
    if (!stream) return Failed(messages::OpenExecutableFailed(code.name), error);
    if (FileError error = stream->TakeRewrite(code.executable))
        return Failed(messages::OpenExecutableFailed(code.name), error);

    FolderItemRef signature = contents.TrueChild("_CodeSignature");
    FolderItemRef seal = signature ? signature->TrueChild("CodeResources") : nullptr;
    if (seal && seal->Exists()) {
        BinaryStreamRef sealStream = seal->OpenAsBinaryFile(false, error);
        if (!sealStream) return Failed(messages::kOpenCodeResourcesFailed, error);
        code.codeResources = sealStream->Read(sealStream->Length());
        SealCheck check = CheckSeal(contents, *code.codeResources, executable);
        code.resourcesAsSealed = check.status == SealCheck::Status::Holds;
        code.resourcesUnchecked = std::move(check.reason);
    }
    code.status = BundleCode::Status::Read;
    return code;
} catch (const std::bad_alloc&) {
    return Failed(messages::OpenExecutableFailed(FolderItem(executable).DisplayName()),
                  {FileStep::Open, ENOMEM});
}

bool OtherCodeInside(const FolderItem& contents, const std::string& executable)
{
    // A framework folder holds libraries, or helpers that load them: either way, code of ours.
    for (const char* folder : {"Frameworks", "SharedFrameworks"})
        if (!NamesIn(contents, folder).empty()) return true;
    // App extensions run in processes of their own; any other plug-in loads into this one.
    for (const char* folder : {"PlugIns", "Plug-ins"})
        for (const std::string& name : NamesIn(contents, folder))
            if (!name.ends_with(".appex")) return true;
    for (const std::string& name : NamesIn(contents, "MacOS"))
        if (name != executable && EndsWithAny(name, {".dylib", ".so", ".bundle", ".plugin"})) return true;
    return false;
}

std::string Unreadable(const macho::Error& error)
{
    return std::string("signature cannot be read (") + macho::Describe(error.kind) + " at offset " +
           std::to_string(error.offset) + ")";
}

SignatureReading ReadSignature(const FolderItem& bundle, const std::string& infoPlist,
                               const std::string& executable)
{
    using Status = SignatureReading::Status;
    FolderItemRef contents = bundle.TrueChild("Contents");
    if (!contents) return {};
    BundleCode code = ReadBundleCode(*contents, executable);
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
        if ((contents || version) && HasFile(folder, "_CodeSignature", "CodeResources"))
            return contents ? folder.parent_path() : folder.parent_path().parent_path();
    }
    return std::nullopt;
}
