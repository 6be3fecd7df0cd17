// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "messages.h"
#include "platform/codesign/bundle_signature.h"
#include "platform/codesign/reseal.h"
#include "platform/codesign/sign_bundle.h"
#include "platform/files/temporary_file.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/nil_object.h"
#include "platform/macho/resign.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace {

// The signed bundles around this one, re-sealed from the inside out after its own files.
// A chain cut short is finished later only where its marker, placed before the commit, says so.
std::optional<RouteOutcome> Marked(const codesign::ResealPlan& plan, bool writeNothing, RouteOutcome& outcome)
{
    const std::vector<codesign::ResealMarker>& markers = plan.markers;
    if (!writeNothing) codesign::RemoveMarkers(plan.stale);
    if (writeNothing || markers.empty()) return std::nullopt;
    if (!codesign::PlaceMarkers(markers))
        return RouteOutcome::Failure("Failed to write a marker of the re-seal in flight.",
                                     {FileStep::Create, errno});
    outcome.afterCommit = [markers] { codesign::RemoveMarkers(markers); };
    return std::nullopt;
}

RouteOutcome Resealed(const std::filesystem::path& bundle, std::string_view executable, bool allowDeveloper,
                      bool writeNothing, RouteOutcome outcome)
{
    using Status = codesign::ResealPlan::Status;
    codesign::ResealPlan plan = codesign::PlanReseal(bundle, executable, allowDeveloper);
    if (plan.status == Status::Refused) return RouteOutcome::Refusal(plan.message);
    if (plan.status == Status::Failed)
        return RouteOutcome::Failure("Failed to open " + plan.message + ".", {FileStep::Open, plan.error});
    for (codesign::PlannedWrite& write : plan.writes) {
        const std::string failed = "Failed to write " + write.shown + ".";
        std::optional<FileRewrite> rewrite = codesign::Prepare(std::move(write));
        if (!rewrite) return RouteOutcome::Failure(failed, {FileStep::Create, errno});
        outcome.Then(std::move(*rewrite), failed);
    }
    if (std::optional<RouteOutcome> failed = Marked(plan, writeNothing, outcome)) return *failed;
    if (plan.levels > 0 && outcome.signature == RouteOutcome::Signature::Resigned)
        outcome.signature = RouteOutcome::Signature::Resealed;
    return outcome;
}

}  // namespace

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
    if (mSignFromScratch) return SignedFromScratch(item->Path(), text, std::move(outcome));
    return SignatureKept(*item, executable, text, std::move(outcome));
} catch (const std::bad_alloc&) {
    return RouteOutcome::Failure(messages::kOpenInfoPlistFailed, {FileStep::Open, ENOMEM});
}

RouteOutcome Patcher::SignatureKept(const FolderItem& bundle, const std::string& executable,
                                    const std::string& infoPlist, RouteOutcome outcome) const
{
    // The signing library walks folders by descriptor: the bundle, opened as the item is.
    const OpenFolder folder = bundle.AsFolder();
    BundleCode code = ReadBundleCode(folder, executable, mWriteNothing);
    if (code.status == BundleCode::Status::None) return outcome;
    if (code.status == BundleCode::Status::Failed) return RouteOutcome::Failure(code.message, code.cause);

    const macho::BundleFacts facts{[&] { return OtherCodeInside(folder.Child("Contents"), executable); },
                                   mReplaceDeveloperSignatures};
    macho::Result<macho::Resigned> resigned = macho::ResignAdHoc(code.Files(infoPlist), facts);
    if (!resigned) {
        // Not a Mach-O file (a script, say): nothing in it is signed.
        if (resigned.error().kind == macho::ErrorKind::NotMachO) return outcome;
        return RouteOutcome::Refusal(Unreadable(resigned.error()));
    }
    const macho::Decision& decision = resigned->decision;
    switch (decision.action) {
    case macho::Action::LeaveAlone:
        return Resealed(bundle.Path(), code.executable.bytes, mReplaceDeveloperSignatures, mWriteNothing,
                        std::move(outcome));
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
    // Read by the chain's planning, before the outcome grows.
    const std::string_view newExecutable = outcome.writes.back().rewrite.Content();
    return Resealed(bundle.Path(), newExecutable, mReplaceDeveloperSignatures, mWriteNothing,
                    std::move(outcome));
}

RouteOutcome Patcher::SignedFromScratch(const std::filesystem::path& bundle, const std::string& infoPlist,
                                        RouteOutcome outcome) const
{
    using Status = codesign::BundlePlan::Status;
    codesign::BundlePlan plan = codesign::PlanSignature(bundle, infoPlist, !mWriteNothing);
    if (plan.status == Status::Refused) return RouteOutcome::Refusal(plan.message);
    if (plan.status == Status::Failed)
        return RouteOutcome::Failure("Failed to open " + plan.message + ".", {FileStep::Open, plan.error});
    // Known in full before any new folder is made.
    codesign::ResealPlan chain = codesign::PlanReseal(bundle, plan.Executable(), true);
    if (chain.status == codesign::ResealPlan::Status::Refused) return RouteOutcome::Refusal(chain.message);
    if (chain.status == codesign::ResealPlan::Status::Failed)
        return RouteOutcome::Failure("Failed to open " + chain.message + ".", {FileStep::Open, chain.error});
    std::vector<codesign::PlannedWrite> planned = std::move(plan.writes);
    const std::size_t outer = std::min(plan.outerWrites, planned.size());
    for (codesign::PlannedWrite& write : chain.writes) planned.push_back(std::move(write));
    if (planned.empty()) return outcome;

    std::vector<RouteOutcome::Write> writes;
    for (std::size_t i = 0; i < planned.size(); ++i) {
        // The list goes in after the nested code, before the bundle's own seal and executable.
        if (i == outer)
            for (RouteOutcome::Write& list : outcome.writes) writes.push_back(std::move(list));
        const std::string failed = "Failed to write " + planned[i].shown + ".";
        std::optional<FileRewrite> rewrite = codesign::Prepare(std::move(planned[i]), !mWriteNothing);
        if (!rewrite) return RouteOutcome::Failure(failed, {FileStep::Create, errno});
        writes.push_back({std::move(*rewrite), failed});
    }
    if (outer == planned.size())
        for (RouteOutcome::Write& list : outcome.writes) writes.push_back(std::move(list));
    RouteOutcome edited = RouteOutcome::Refusal({});
    edited.kind = RouteOutcome::Kind::Edited;
    edited.writes = std::move(writes);
    edited.signature = RouteOutcome::Signature::Signed;
    for (const std::string& note : plan.notes) edited.message += (edited.message.empty() ? "" : "\n") + note;
    if (std::optional<RouteOutcome> failed = Marked(chain, mWriteNothing, edited)) return *failed;
    return edited;
}
