// SPDX-License-Identifier: MIT
#include "msgbox.h"

#include <iostream>
#include <utility>

namespace {

void ShowOnStandardError(const std::string& text)
{
    std::string lines = text;
    for (char& c : lines)
        if (c == '\r') c = '\n';
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
