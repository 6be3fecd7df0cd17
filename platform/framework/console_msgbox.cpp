// SPDX-License-Identifier: MIT
#include "console_msgbox.h"

std::string EscapeControls(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string escaped;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else if (c == '\r')
            escaped += "\\r";
        else if (c == '\t')
            escaped += "\\t";
        else if (byte < 0x20 || byte == 0x7F)
            escaped += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        else
            escaped += c;
    }
    return escaped;
}

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
