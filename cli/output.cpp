// SPDX-License-Identifier: MIT
#include "output.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace {

// A run shorter than this shows no progress at all.
constexpr auto kQuietStart = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(200);

void WriteAll(int fd, const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + at, text.size() - at);
        if (wrote <= 0) return;
        at += std::size_t(wrote);
    }
}

}  // namespace

Output::Output(bool progress) : mTerminal(progress && ::isatty(2) == 1) {}

Output::~Output()
{
    {
        std::lock_guard lock(mMutex);
        mStop = true;
    }
    mWake.notify_all();
    if (mTicker.joinable()) mTicker.join();
    std::lock_guard lock(mMutex);
    std::cout.flush();
    Wipe();
}

void Output::Total(std::size_t total)
{
    std::lock_guard lock(mMutex);
    mTotal = total;
}

void Output::Start()
{
    std::lock_guard lock(mMutex);
    mStart = std::chrono::steady_clock::now();
    if (mTerminal && !mTicker.joinable()) mTicker = std::thread([this] { Tick(); });
}

void Output::ItemDone()
{
    std::lock_guard lock(mMutex);
    ++mDone;
}

void Output::Out(const std::string& text)
{
    std::lock_guard lock(mMutex);
    Wipe();
    std::cout << text;
    // On a terminal the line is drawn again next: what was printed must be out first.
    if (mTerminal) std::cout.flush();
}

void Output::Err(const std::string& text)
{
    std::lock_guard lock(mMutex);
    Wipe();
    std::cout.flush();  // in the order written, where both streams go to one place
    WriteAll(2, text);
}

void Output::Tick()
{
    std::unique_lock lock(mMutex);
    while (!mStop) {
        mWake.wait_for(lock, kRedraw);
        if (!mStop && std::chrono::steady_clock::now() - mStart >= kQuietStart) Draw();
    }
}

void Output::Wipe()
{
    if (!mShown) return;
    WriteAll(2, "\r\x1b[K");
    mShown = false;
}

void Output::Draw()
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - mStart).count();
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", seconds > 0 ? double(mDone) / seconds : 0.0);
    std::string line = "\r\x1b[Kveilor-patch: " + std::to_string(mDone) +
                       (mTotal ? " of " + std::to_string(mTotal) : std::string()) + " done, " + rate +
                       " a second";
    WriteAll(2, line);
    mShown = true;
}
