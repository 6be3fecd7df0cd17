// SPDX-License-Identifier: MIT
#include "patcher.h"

#include "agent_flag.h"
#include "framework/binary_stream.h"
#include "framework/msgbox.h"
#include "framework/nil_object.h"

#include <cstdint>
#include <limits>
#include <new>

// An allocation failure ends this item alone, as a file too large to open would.
void Patcher::ProcessPackage(const FolderItemRef& item)
try {
    FolderItemRef contents = Use(item).TrueChild("Contents");
    if (!contents || !contents->Exists()) return;

    FolderItemRef infoPlist = contents->TrueChild("Info.plist");
    if (!infoPlist || !infoPlist->Exists()) return;

    BinaryStreamRef stream = infoPlist->OpenAsBinaryFile(true);
    if (!stream) {
        MsgBox("Failed to open info.plist file.");
        return;
    }

    // The 32-bit count must take the whole file: one it cannot take is neither read nor written.
    std::int64_t length = stream->Length();
    if (length > std::numeric_limits<std::int32_t>::max()) {
        MsgBox("Failed to open info.plist file.");
        return;
    }
    std::string text = stream->Read(static_cast<std::int32_t>(length));
    if (static_cast<std::int64_t>(text.size()) != length) {
        MsgBox("Failed to open info.plist file.");
        return;
    }

    if (text.empty()) {
        MsgBox("No plst resource in file " + item->DisplayName() + ".");
        return;
    }

    std::optional<std::string> newText = WithAgentFlag(text);
    if (!newText) return;

    stream->SetPosition(0);
    stream->Write(*newText);
    stream->SetLength(stream->Position());
    // The stream would commit on release too; committing here is what lets a failure be told.
    if (!stream->Commit()) MsgBox("Failed to write info.plist file.");
} catch (const std::bad_alloc&) {
    MsgBox("Failed to open info.plist file.");
}
