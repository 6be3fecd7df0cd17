// SPDX-License-Identifier: MIT
#pragma once
// The modal message box. How it is shown depends on the program that runs: a Qt dialog in the
// window, a recorder in tests, else a line on standard error.

#include <functional>
#include <string>

using MsgBoxPresenter = std::function<void(const std::string& text)>;

void MsgBox(const std::string& text);

// Installs how messages are shown (an empty presenter restores the default: the text on
// standard error, its carriage returns as line ends); returns the previous presenter.
MsgBoxPresenter SetMsgBoxPresenter(MsgBoxPresenter presenter);
