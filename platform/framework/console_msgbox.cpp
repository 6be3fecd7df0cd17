// SPDX-License-Identifier: MIT
#include "console_msgbox.h"

ConsoleMsgBox::ConsoleMsgBox(std::ostream& out) : mOut(out)
{
    mPrevious = SetMsgBoxPresenter([this](const std::string& text) {
        ++mShown;
        mOut << EscapeControls(mSubject) << ": " << EscapeControls(text) << std::endl;
    });
}

ConsoleMsgBox::~ConsoleMsgBox()
{
    SetMsgBoxPresenter(std::move(mPrevious));
}
