// SPDX-License-Identifier: MIT
#pragma once
// veilor-patch's two streams, and on a terminal a one-line progress on standard error that the
// reports do not tear: the line is wiped before a report is written and drawn again after.

#include "platform/files/non_copyable.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

class Output : NonCopyable {
public:
    // Progress only when `progress` and standard error is a terminal.
    explicit Output(bool progress);
    ~Output();

    void Start();
    // How many items the run has, once known.
    void Total(std::size_t total);
    void ItemDone();
    void Out(const std::string& text);
    void Err(const std::string& text);

private:
    void Tick();
    void Wipe();  // with the lock held
    void Draw();  // with the lock held

    std::mutex mMutex;
    std::condition_variable mWake;
    bool mStop = false;
    bool mShown = false;
    bool mTerminal = false;
    std::size_t mDone = 0, mTotal = 0;
    std::chrono::steady_clock::time_point mStart;
    std::thread mTicker;
};
