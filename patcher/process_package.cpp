// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "messages.h"
#include "platform/framework/binary_stream.h"
#include "platform/framework/msgbox.h"
#include "platform/framework/nil_object.h"

#include <new>

// An allocation failure ends this item alone, as a file too large to open would.
void Patcher::ProcessPackage(const FolderItemRef& item)
try {
    FolderItemRef contents = Use(item).TrueChild("Contents");
    if (!contents || !contents->Exists()) return LeftAlone(item, Reason::NotApplication);

    FolderItemRef infoPlist = contents->TrueChild("Info.plist");
    if (!infoPlist || !infoPlist->Exists()) return LeftAlone(item, Reason::NotApplication);

    BinaryStreamRef stream = infoPlist->OpenAsBinaryFile(true);
    if (!stream) {
        MsgBox(messages::kOpenInfoPlistFailed);
        return;
    }

    // The stream holds the whole file, which the size limit keeps well inside a 32-bit count.
    std::string text = stream->Read(stream->Length());

    const std::optional<std::string> edited = AgentFlagAdded(item, text);
    if (!edited) return;

    stream->SetPosition(0);
    stream->Write(*edited);
    stream->SetLength(stream->Position());
    // The stream would commit on release too; committing here is what lets a failure be told.
    if (!stream->Commit()) MsgBox(messages::kWriteInfoPlistFailed);
} catch (const std::bad_alloc&) {
    MsgBox(messages::kOpenInfoPlistFailed);
}
