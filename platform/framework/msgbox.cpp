// SPDX-License-Identifier: MIT
#include "msgbox.h"

#include "printable.h"

#include <algorithm>
#include <iostream>
#include <utility>

namespace {

// The message's own line ends (carriage returns) break lines; what a name brings in is escaped.
void ShowOnStandardError(const std::string& text)
{
    std::string lines;
    for (std::size_t start = 0, end; start <= text.size(); start = end + 1) {
        end = std::min(text.find('\r', start), text.size());
        lines += EscapeControls(std::string_view(text).substr(start, end - start));
        if (end < text.size()) lines += '\n';
    }
    std::cerr << lines << std::endl;
}

MsgBoxPresenter& Presenter()
{
    static MsgBoxPresenter presenter = ShowOnStandardError;
    return presenter;
}

}  // namespace

void MsgBox(const std::string& text)
{
    Presenter()(text);
}

MsgBoxPresenter SetMsgBoxPresenter(MsgBoxPresenter presenter)
{
    if (!presenter) presenter = ShowOnStandardError;
    return std::exchange(Presenter(), std::move(presenter));
}
