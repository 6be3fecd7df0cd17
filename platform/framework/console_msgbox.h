// SPDX-License-Identifier: MIT
#pragma once
// The console form of the message box: each message is one line on standard error, behind the
// path being worked on ("PATH: text"), both escaped. Installed for its lifetime; counts what it showed.

#include "msgbox.h"
#include "non_copyable.h"
#include "printable.h"

#include <cstddef>
#include <ostream>
#include <string>

class ConsoleMsgBox : NonCopyable {
public:
    explicit ConsoleMsgBox(std::ostream& out);
    ~ConsoleMsgBox();

    void SetSubject(std::string path) { mSubject = std::move(path); }
    std::size_t Shown() const { return mShown; }

private:
    std::ostream& mOut;
    std::string mSubject;
    std::size_t mShown = 0;
    MsgBoxPresenter mPrevious;
};
