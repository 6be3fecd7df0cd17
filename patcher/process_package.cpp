// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "bundle_signature.h"
#include "messages.h"
#include "platform/files/temporary_file.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/nil_object.h"
#include "platform/macho/resign.h"

#include <cerrno>
#include <new>

// An allocation failure ends this item alone, as a file too large to open would.
RouteOutcome Patcher::ProcessPackage(const FolderItemRef& item)
try {
    using Kind = RouteOutcome::Kind;
    using Reason = RouteOutcome::Reason;
    FolderItemRef contents = Use(item).TrueChild("Contents");
    if (!contents || !contents->Exists()) return RouteOutcome::LeftAlone(Reason::NotApplication);

    FolderItemRef infoPlist = contents->TrueChild("Info.plist");
    if (!infoPlist || !infoPlist->Exists()) return RouteOutcome::LeftAlone(Reason::NotApplication);

    FileError error;
    BinaryStreamRef stream = infoPlist->OpenAsBinaryFile(true, error);
    if (!stream) return RouteOutcome::Failure(messages::kOpenInfoPlistFailed, error);

    // The stream holds the whole file, which the size limit keeps well inside a 32-bit count.
    std::string text = stream->Read(stream->Length());

    std::string executable;
    RouteOutcome outcome = AgentFlagAdded(item, text, &executable);
    if (outcome.kind != Kind::Edited && outcome.kind != Kind::Unchanged) return outcome;
    // A killed run's temporary files in the folders this route writes, before the seal sees them.
    if (!mWriteNothing) {
        if (FolderItem::Location list = infoPlist->Locate(); list.folder) RemoveLeftovers(list.folder.Get());
        if (FolderItemRef macOS = contents->TrueChild("MacOS"); macOS && !executable.empty())
            if (FolderItemRef code = macOS->TrueChild(executable))
                if (FolderItem::Location at = code->Locate(); at.folder) RemoveLeftovers(at.folder.Get());
    }

    if (outcome.kind == Kind::Edited) {
        text = std::move(outcome.writes.front().rewrite.bytes);
        stream->SetPosition(0);
        stream->Write(text);
        stream->SetLength(stream->Position());
        FileRewrite rewrite;
        if (FileError tooLarge = stream->TakeRewrite(rewrite))
            return RouteOutcome::Failure(messages::kWriteInfoPlistFailed, tooLarge);
        outcome = RouteOutcome::Edit(std::move(rewrite), messages::kWriteInfoPlistFailed);
    }
    // With the list as it will be; also when it has the flag already, for a run cut short between
    // the list and the executable left a signature that only needs renewing.
    return SignatureKept(*contents, executable, text, std::move(outcome));
} catch (const std::bad_alloc&) {
    return RouteOutcome::Failure(messages::kOpenInfoPlistFailed, {FileStep::Open, ENOMEM});
}

RouteOutcome Patcher::SignatureKept(const FolderItem& contents, const std::string& executable,
                                    const std::string& infoPlist, RouteOutcome outcome) const
{
    BundleCode code = ReadBundleCode(contents, executable);
    if (code.status == BundleCode::Status::None) return outcome;
    if (code.status == BundleCode::Status::Failed) return RouteOutcome::Failure(code.message, code.cause);

    const macho::BundleFacts facts{[&] { return OtherCodeInside(contents, executable); },
                                   mReplaceDeveloperSignatures};
    macho::Result<macho::Resigned> resigned = macho::ResignAdHoc(code.Files(infoPlist), facts);
    if (!resigned) {
        // Not a Mach-O file (a script, say): nothing in it is signed.
        if (resigned.error().kind == macho::ErrorKind::NotMachO) return outcome;
        return RouteOutcome::Refusal(Unreadable(resigned.error()));
    }
    const macho::Decision& decision = resigned->decision;
    switch (decision.action) {
    case macho::Action::LeaveAlone: return outcome;
    case macho::Action::Resign: break;
    case macho::Action::Refuse:
        if (!decision.developer || mReplaceDeveloperSignatures)
            return RouteOutcome::Refusal(macho::Describe(decision));
        const bool harms = decision.reason != macho::Refusal::DeveloperSignature;
        // Someone else's change is never patched over unless the user takes a broken signature.
        if (decision.reason == macho::Refusal::AlreadyBroken && !mAllowBrokenSignatures)
            return RouteOutcome::Refusal(macho::Describe(decision));
        // An earlier patch broke it: nothing to write, but the signature stays broken.
        if (outcome.kind != RouteOutcome::Kind::Edited) {
            outcome.signature = RouteOutcome::Signature::Broken;
            if (harms) outcome.message = macho::Describe(decision);
            return outcome;
        }
        if (!mAllowBrokenSignatures) {
            RouteOutcome refused =
                RouteOutcome::Refusal(harms ? messages::SignatureWouldBreakAndHarm(macho::Describe(decision))
                                            : messages::kSignatureWouldBreak);
            refused.signature = RouteOutcome::Signature::Broken;
            return refused;
        }
        outcome.signature = RouteOutcome::Signature::Broken;
        if (harms) outcome.message = macho::Describe(decision);
        return outcome;
    }
    resigned->ApplyTo(code.executable.bytes);
    for (const macho::Replacement& replacement : resigned->replacements)
        code.executable.changed.push_back({replacement.offset, replacement.bytes.size()});
    outcome.Then(std::move(code.executable), messages::WriteExecutableFailed(code.name));
    outcome.signature = RouteOutcome::Signature::Resigned;
    return outcome;
}
