// SPDX-License-Identifier: MIT
#pragma once
// The Open dialog and the message dialog, both modal.

#include "platform/framework/folder_item.h"

#include <cstdint>
#include <string>

class OpenDialog {
public:
    // The registered file types shown, ";" between their names; folders always show.
    const std::string& Filter() const { return mFilter; }
    void SetFilter(std::string filter) { mFilter = std::move(filter); }

    // The chosen item, or nil when the user cancels. An item of a shown type that is a folder
    // (an application bundle) is chosen as it is, not opened.
    FolderItemRef ShowModal();

private:
    std::string mFilter;
};

class MessageDialog {
public:
    const std::string& Title() const { return mTitle; }
    void SetTitle(std::string title) { mTitle = std::move(title); }
    const std::string& Message() const { return mMessage; }
    void SetMessage(std::string message) { mMessage = std::move(message); }
    const std::string& Explanation() const { return mExplanation; }
    void SetExplanation(std::string explanation) { mExplanation = std::move(explanation); }

    // Shows the dialog with its default button, OK; answers the button chosen (0: OK).
    std::int32_t ShowModal();

private:
    std::string mTitle;
    std::string mMessage;
    std::string mExplanation;
};
