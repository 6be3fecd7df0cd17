// SPDX-License-Identifier: MIT
#include "platform/plist/detail/dictionary_index.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

namespace plist::detail {
namespace {

std::uint64_t Rotate(std::uint64_t x, int bits)
{
    return x << bits | x >> (64 - bits);
}

// A key nobody can know from a file: the process's own addresses (ASLR) and the clock, mixed.
struct HashKey {
    std::uint64_t k0, k1;
    HashKey()
    {
        static int anchor;
        std::uint64_t x =
            reinterpret_cast<std::uintptr_t>(&anchor) ^
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        const auto next = [&x] {
            std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            return z ^ (z >> 31);
        };
        k0 = next();
        k1 = next();
    }
};

// SipHash-1-3 under a per-process key, so that no file can choose keys that all collide and make
// building a dictionary quadratic.
std::size_t HashText(std::string_view text)
{
    static const HashKey key;
    std::uint64_t v0 = key.k0 ^ 0x736F6D6570736575ull, v1 = key.k1 ^ 0x646F72616E646F6Dull;
    std::uint64_t v2 = key.k0 ^ 0x6C7967656E657261ull, v3 = key.k1 ^ 0x7465646279746573ull;
    const auto round = [&] {
        v0 += v1;
        v1 = Rotate(v1, 13) ^ v0;
        v0 = Rotate(v0, 32);
        v2 += v3;
        v3 = Rotate(v3, 16) ^ v2;
        v0 += v3;
        v3 = Rotate(v3, 21) ^ v0;
        v2 += v1;
        v1 = Rotate(v1, 17) ^ v2;
        v2 = Rotate(v2, 32);
    };
    const auto compress = [&](std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    };
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t m;
        std::memcpy(&m, text.data() + i, 8);
        compress(m);
    }
    std::uint64_t last = static_cast<std::uint64_t>(text.size()) << 56;
    for (std::size_t k = 0; i + k < text.size(); ++k)
        last |= std::uint64_t{static_cast<unsigned char>(text[i + k])} << (8 * k);
    compress(last);
    v2 ^= 0xFF;
    round();
    round();
    round();
    return static_cast<std::size_t>(v0 ^ v1 ^ v2 ^ v3);
}

std::size_t HashBits(std::uint64_t bits)
{
    char bytes[sizeof bits];
    std::memcpy(bytes, &bits, sizeof bits);
    return HashText(std::string_view(bytes, sizeof bytes));
}

std::uint64_t BitsOf(double value)
{
    if (std::isnan(value)) value = std::numeric_limits<double>::quiet_NaN();  // NaN keys are equal
    if (value == 0) value = 0;                                                // and so are 0 and -0
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Equal keys (KeysEqual) hash alike. Every kind is hashed, so that no file can make building a
// dictionary quadratic with keys that are not strings either.
std::size_t KeyHash(const CFObjectZorp& key)
{
    switch (key.Kind()) {
    case CFKind::String: return HashText(static_cast<const CFStringZorp&>(key).Text());
    case CFKind::Data: return HashText(static_cast<const CFBinaryDataZorp&>(key).Bytes());
    case CFKind::Integer: return HashBits(static_cast<const CFIntegerZorp&>(key).Bits());
    case CFKind::Real: return HashBits(BitsOf(static_cast<const CFRealZorp&>(key).Value()));
    case CFKind::Date: return HashBits(BitsOf(static_cast<const CFDateZorp&>(key).Value()));
    case CFKind::Boolean: return HashBits(static_cast<const CFBooleanZorp&>(key).Value());
    case CFKind::UID: return HashBits(static_cast<const CFUIDZorp&>(key).Value());
    case CFKind::Null: return 0;
    case CFKind::Dictionary:
    case CFKind::Array:
    case CFKind::Set: break;
    }
    return HashBits(reinterpret_cast<std::uintptr_t>(&key));  // equal only to itself
}

bool IsString(const CFObjectZorp& key, std::string_view text)
{
    return key.Kind() == CFKind::String && static_cast<const CFStringZorp&>(key).Text() == text;
}

// The slot of the entry whose key `matches`, or the free slot where it would go.
template <typename Matches>
std::size_t Probe(const std::uint32_t* index, const Entry* entries, std::size_t hash, Matches matches)
{
    const std::uint32_t* slots = index + 1;
    const std::size_t mask = index[0];
    std::size_t s = hash & mask;
    while (slots[s] != 0 && !matches(*entries[slots[s] - 1].key)) s = (s + 1) & mask;
    return s;
}

// Place, given the key's hash (asked for only with an index) and what matches it.
template <typename Hash, typename Matches>
Place Search(const Entry* entries, std::size_t count, const std::uint32_t* index, Hash hash, Matches matches)
{
    if (!index) {
        for (std::size_t i = 0; i < count; ++i) {
            if (matches(*entries[i].key)) return {i, 0};
        }
        return {count, 0};
    }
    const std::size_t s = Probe(index, entries, hash(), matches);
    return {index[1 + s] != 0 ? index[1 + s] - 1 : count, s};
}

}  // namespace

std::size_t IndexEntries(Entry* entries, std::size_t count, Repeated rule, std::uint32_t* index)
{
    std::size_t kept = 0;
    const auto repeat = [&](std::size_t position, const Entry& entry) {
        if (rule == Repeated::KeepLast) entries[position].value = entry.value;
    };
    if (!index) {
        for (std::size_t i = 0; i < count; ++i) {
            const Entry entry = entries[i];
            const std::size_t at = Position(entries, kept, nullptr, *entry.key);
            if (at < kept)
                repeat(at, entry);
            else
                entries[kept++] = entry;
        }
        return kept;
    }
    const std::size_t words = IndexWords(count);
    std::fill_n(index, words, 0);
    index[0] = static_cast<std::uint32_t>(words - 2);
    std::uint32_t* slots = index + 1;
    // Entry i is read before anything is written over it: what stays moves to the front, in order.
    for (std::size_t i = 0; i < count; ++i) {
        const Entry entry = entries[i];
        const std::size_t s = Probe(index, entries, KeyHash(*entry.key),
                                    [&](const CFObjectZorp& key) { return KeysEqual(key, *entry.key); });
        if (slots[s] != 0) {
            repeat(slots[s] - 1, entry);
        } else {
            entries[kept++] = entry;
            slots[s] = static_cast<std::uint32_t>(kept);
        }
    }
    return kept;
}

void IndexDistinct(std::uint32_t* index, const Entry* entries, std::size_t count)
{
    index[0] = static_cast<std::uint32_t>(IndexWords(count) - 2);
    const auto none = [](const CFObjectZorp&) { return false; };
    for (std::size_t i = 0; i < count; ++i)
        IndexEntry(index, Probe(index, entries, KeyHash(*entries[i].key), none), i);
}

Place Locate(const Entry* entries, std::size_t count, const std::uint32_t* index, const CFObjectZorp& key)
{
    return Search(
        entries, count, index, [&] { return KeyHash(key); },
        [&](const CFObjectZorp& k) { return KeysEqual(k, key); });
}

void IndexEntry(std::uint32_t* index, std::size_t slot, std::size_t position)
{
    index[1 + slot] = static_cast<std::uint32_t>(position + 1);
}

std::size_t Position(const Entry* entries, std::size_t count, const std::uint32_t* index,
                     const CFObjectZorp& key)
{
    return Locate(entries, count, index, key).position;
}

std::size_t Position(const Entry* entries, std::size_t count, const std::uint32_t* index,
                     std::string_view key)
{
    return Search(
               entries, count, index, [&] { return HashText(key); },
               [&](const CFObjectZorp& k) { return IsString(k, key); })
        .position;
}

}  // namespace plist::detail
