// SPDX-License-Identifier: MIT
#pragma once
// An owned file descriptor, closed when released.

#include <unistd.h>

#include <memory>
#include <utility>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : mFd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            mFd = std::exchange(other.mFd, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return mFd; }
    explicit operator bool() const { return mFd >= 0; }
    int Release() { return std::exchange(mFd, -1); }
    void Reset()
    {
        if (mFd >= 0) ::close(std::exchange(mFd, -1));
    }

private:
    int mFd = -1;
};

// A descriptor held by several owners, closed with the last of them.
class SharedFd {
public:
    SharedFd() = default;
    explicit SharedFd(UniqueFd fd) : mFd(fd ? std::make_shared<const UniqueFd>(std::move(fd)) : nullptr) {}
    explicit SharedFd(std::shared_ptr<const UniqueFd> fd) : mFd(std::move(fd)) {}

    int Get() const { return mFd ? mFd->Get() : -1; }
    explicit operator bool() const { return mFd != nullptr; }
    const std::shared_ptr<const UniqueFd>& Handle() const { return mFd; }

private:
    std::shared_ptr<const UniqueFd> mFd;
};
