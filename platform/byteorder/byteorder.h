// SPDX-License-Identifier: MIT
#pragma once
// Fixed-width loads and stores in a stated byte order. Header-only and standard C++, so both the
// property-list and the fork libraries use it without either depending on the other.

#include <cstddef>
#include <cstdint>
#include <string>

namespace byteorder {

inline std::uint32_t Byte(const char* p, int i)
{
    return static_cast<unsigned char>(p[i]);
}

// The common widths spelled out: compilers turn them into one load and a byte swap.
inline std::uint32_t BigEndian16(const char* p)
{
    return Byte(p, 0) << 8 | Byte(p, 1);
}
inline std::uint32_t BigEndian32(const char* p)
{
    return Byte(p, 0) << 24 | Byte(p, 1) << 16 | Byte(p, 2) << 8 | Byte(p, 3);
}
inline std::uint64_t BigEndian64(const char* p)
{
    const auto at = [p](int i) { return std::uint64_t{Byte(p, i)}; };
    return at(0) << 56 | at(1) << 48 | at(2) << 40 | at(3) << 32 | at(4) << 24 | at(5) << 16 | at(6) << 8 |
           at(7);
}
inline std::uint32_t LittleEndian16(const char* p)
{
    return Byte(p, 1) << 8 | Byte(p, 0);
}
inline std::uint32_t LittleEndian32(const char* p)
{
    return Byte(p, 3) << 24 | Byte(p, 2) << 16 | Byte(p, 1) << 8 | Byte(p, 0);
}

// A big-endian field of any width; of a field wider than 8 bytes only the low 8 count.
inline std::uint64_t BigEndian(const char* p, std::size_t width)
{
    switch (width) {
    case 1: return Byte(p, 0);
    case 2: return BigEndian16(p);
    case 4: return BigEndian32(p);
    case 8: return BigEndian64(p);
    default: break;
    }
    std::uint64_t value = 0;
    for (std::size_t i = width > 8 ? width - 8 : 0; i < width; ++i)
        value = value << 8 | Byte(p, static_cast<int>(i));
    return value;
}

// A little-endian field of up to 8 bytes.
inline std::uint64_t LittleEndian(const char* p, std::size_t width)
{
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = value << 8 | Byte(p, static_cast<int>(i));
    return value;
}

// Appends the low `width` bytes of `value`, most significant first.
inline void PutBigEndian(std::string& out, std::uint64_t value, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// Overwrites `width` bytes at `at` with the low bytes of `value`, most significant first.
inline void SetBigEndian(std::string& out, std::size_t at, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i) out[at + i] = static_cast<char>((value >> ((width - 1 - i) * 8)) & 0xFF);
}

}  // namespace byteorder
