// SPDX-License-Identifier: MIT
#pragma once
// The Open dialog and the message dialog, both modal.

#include "platform/framework/folder_item.h"

#include <cstdint>
#include <string>

class OpenDialog {
public:
    // The registered file types shown, ";" between their names; folders always show.
    void SetFilter(std::string filter) { mFilter = std::move(filter); }

    // The chosen item, or nil when the user cancels. An item of a shown type that is a folder
    // (an application bundle) is chosen as it is, not opened.
    FolderItemRef ShowModal();

private:
    std::string mFilter;
};

class MessageDialog {
public:
    void SetTitle(std::string title) { mTitle = std::move(title); }
    void SetMessage(std::string message) { mMessage = std::move(message); }
    void SetExplanation(std::string explanation) { mExplanation = std::move(explanation); }

    // Shows the dialog with its default button, OK; answers the button chosen (0: OK).
    std::int32_t ShowModal();

private:
    std::string mTitle;
    std::string mMessage;
    std::string mExplanation;
};
