// SPDX-License-Identifier: MIT
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace byteorder {

// The bytes of a large file in one mapping of their own. Its pages are zeros until written, and
// cost nothing until touched; where a file's bytes cannot change meanwhile, ranges of that file can
// be mapped into it, so that holding them, or placing them in a new file, copies
// nothing. On this kind of machine zeroing fresh pages, not hashing, is what a large file costs.
class LargeBytes {
public:
    LargeBytes() = default;
    explicit LargeBytes(std::string_view bytes) : LargeBytes(Zeros(bytes.size()))
    {
        if (mSize == bytes.size()) std::copy(bytes.begin(), bytes.end(), mData);
    }
    // Empty (errno set) when the memory cannot be had.
    static LargeBytes Zeros(std::size_t size)
    {
        LargeBytes bytes;
        if (size == 0) return bytes;
        void* at = ::mmap(nullptr, Rounded(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED) return bytes;
        bytes.mData = static_cast<char*>(at);
        bytes.mSize = bytes.mMapped = size;
        return bytes;
    }
    LargeBytes(LargeBytes&& other) noexcept
        : mData(std::exchange(other.mData, nullptr)),
          mSize(std::exchange(other.mSize, 0)),
          mMapped(std::exchange(other.mMapped, 0))
    {
    }
    LargeBytes& operator=(LargeBytes&& other) noexcept
    {
        if (this != &other) {
            Release();
            mData = std::exchange(other.mData, nullptr);
            mSize = std::exchange(other.mSize, 0);
            mMapped = std::exchange(other.mMapped, 0);
        }
        return *this;
    }
    // A copy is made of fresh pages: it maps no file.
    LargeBytes(const LargeBytes& other) : LargeBytes(other.View()) {}
    LargeBytes& operator=(const LargeBytes& other)
    {
        if (this != &other) *this = LargeBytes(other.View());
        return *this;
    }
    ~LargeBytes() { Release(); }

    // `length` bytes of the open file `fd` from `offset` placed at `at`, read-only. Both offsets on
    // page boundaries; the bytes past `length` to the end of its page are the file's too. Only for a
    // file nobody can change while these bytes are used.
    bool MapFile(std::size_t at, int fd, std::uint64_t offset, std::size_t length)
    {
        if (length == 0) return true;
        if (at % Page() != 0 || offset % Page() != 0 || at > mSize || length > mSize - at) return false;
        // Read-only, so that filling the page tables at once shares the file's pages, not copies them.
        void* placed = ::mmap(mData + at, Rounded(length), PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE,
                              fd, static_cast<off_t>(offset));
        return placed != MAP_FAILED;
    }

    // The first `size` bytes kept, no more.
    void Shorten(std::size_t size) { mSize = std::min(size, mSize); }

    char* data() { return mData; }
    const char* data() const { return mData; }
    std::size_t size() const { return mSize; }
    bool empty() const { return mSize == 0; }
    std::string_view View() const { return {mData, mSize}; }
    operator std::string_view() const { return View(); }
    friend bool operator==(const LargeBytes& a, const LargeBytes& b) { return a.View() == b.View(); }

    static std::size_t Page() { return std::size_t(::sysconf(_SC_PAGESIZE)); }

private:
    static std::size_t Rounded(std::size_t size) { return (size + Page() - 1) / Page() * Page(); }
    void Release()
    {
        if (mData) ::munmap(mData, Rounded(mMapped));
        mData = nullptr;
        mSize = mMapped = 0;
    }
    char* mData = nullptr;
    std::size_t mSize = 0, mMapped = 0;
};

}  // namespace byteorder
