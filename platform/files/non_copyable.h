// SPDX-License-Identifier: MIT
#pragma once

// A base for objects that stand for one thing (an open file, a window, a menu item): they are
// shared by reference, never copied.
class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};
