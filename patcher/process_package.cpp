// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "messages.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/nil_object.h"

#include <cerrno>
#include <new>

// An allocation failure ends this item alone, as a file too large to open would.
RouteOutcome Patcher::ProcessPackage(const FolderItemRef& item)
try {
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

    RouteOutcome outcome = AgentFlagAdded(item, text);
    if (outcome.kind != RouteOutcome::Kind::Edited) return outcome;

    stream->SetPosition(0);
    stream->Write(outcome.rewrite.bytes);
    stream->SetLength(stream->Position());
    return RouteOutcome::Edit(stream->Rewrite(), messages::kWriteInfoPlistFailed);
} catch (const std::bad_alloc&) {
    return RouteOutcome::Failure(messages::kOpenInfoPlistFailed, {FileStep::Open, ENOMEM});
}
