// SPDX-License-Identifier: MIT
#pragma once
// A window on part of a file, in one byte order. Every read is checked against the window's end with
// 64-bit arithmetic and gives 0 outside it, so a reader checks a structure's extent once (Holds,
// Window) and then reads its fields like the format's table. Offsets in errors are the file's.

#include "platform/byteorder/byteorder.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace macho {

class Cursor {
public:
    Cursor(std::string_view bytes, std::uint64_t base, bool bigEndian)
        : mBytes(bytes), mBase(base), mBigEndian(bigEndian)
    {
    }

    std::uint64_t size() const { return mBytes.size(); }
    std::string_view bytes() const { return mBytes; }
    // Where `at` lies in the whole file.
    std::uint64_t FileOffset(std::uint64_t at) const { return mBase + at; }

    bool Holds(std::uint64_t at, std::uint64_t length) const
    {
        return at <= mBytes.size() && length <= mBytes.size() - at;
    }

    std::optional<Cursor> Window(std::uint64_t at, std::uint64_t length) const
    {
        if (!Holds(at, length)) return std::nullopt;
        return Cursor(mBytes.substr(at, length), mBase + at, mBigEndian);
    }
    Cursor InByteOrder(bool bigEndian) const { return Cursor(mBytes, mBase, bigEndian); }

    std::uint32_t U8(std::uint64_t at) const
    {
        return Holds(at, 1) ? static_cast<unsigned char>(mBytes[at]) : 0;
    }
    std::uint32_t U16(std::uint64_t at) const { return std::uint32_t(Number(at, 2)); }
    std::uint32_t U32(std::uint64_t at) const { return std::uint32_t(Number(at, 4)); }
    std::uint64_t U64(std::uint64_t at) const { return Number(at, 8); }

    // The bytes [at, at + length), empty when they are not all inside.
    std::string_view Bytes(std::uint64_t at, std::uint64_t length) const
    {
        return Holds(at, length) ? mBytes.substr(at, length) : std::string_view();
    }

private:
    std::uint64_t Number(std::uint64_t at, int width) const
    {
        if (!Holds(at, std::uint64_t(width))) return 0;
        const char* p = mBytes.data() + at;
        return mBigEndian ? byteorder::BigEndian(p, std::size_t(width))
                          : byteorder::LittleEndian(p, std::size_t(width));
    }

    std::string_view mBytes;
    std::uint64_t mBase;
    bool mBigEndian;
};

}  // namespace macho
