// SPDX-License-Identifier: MIT
#pragma once
// Big-endian reads that check every position against the end with 64-bit arithmetic, so the
// readers above can follow the format's tables without guarding each step themselves.

#include "platform/byteorder/byteorder.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace macfork {

class ByteView {
public:
    explicit ByteView(std::string_view bytes) : mBytes(bytes) {}

    std::uint64_t size() const { return mBytes.size(); }

    // [at, at + length) lies inside the bytes.
    bool Holds(std::uint64_t at, std::uint64_t length) const
    {
        return at <= mBytes.size() && length <= mBytes.size() - at;
    }

    std::optional<std::uint32_t> U8(std::uint64_t at) const { return Number(at, 1); }
    std::optional<std::uint32_t> U16(std::uint64_t at) const { return Number(at, 2); }
    std::optional<std::uint32_t> U24(std::uint64_t at) const { return Number(at, 3); }
    std::optional<std::uint32_t> U32(std::uint64_t at) const { return Number(at, 4); }

    std::optional<std::string_view> Slice(std::uint64_t at, std::uint64_t length) const
    {
        if (!Holds(at, length)) return std::nullopt;
        return mBytes.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(length));
    }

private:
    std::optional<std::uint32_t> Number(std::uint64_t at, int width) const
    {
        if (!Holds(at, static_cast<std::uint64_t>(width))) return std::nullopt;
        return static_cast<std::uint32_t>(
            byteorder::BigEndian(mBytes.data() + at, static_cast<std::size_t>(width)));
    }

    std::string_view mBytes;
};

using byteorder::PutBigEndian;
using byteorder::SetBigEndian;

}  // namespace macfork
