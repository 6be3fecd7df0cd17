// SPDX-License-Identifier: MIT
#pragma once
// How a dictionary finds a key: a scan while it is small, a hash index above. The index is an array
// of words: the slot count less one (a power of two less one), then the slots, each an entry's
// position + 1, or 0 when free.

#include "platform/plist/cfobject.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace plist::detail {

using Entry = CFDictionaryZorp::Entry;

// Which value a key that comes again keeps.
enum class Repeated { KeepFirst, KeepLast };

// Up to this many entries a dictionary is scanned: no index, and no hashing.
inline constexpr std::size_t kScanLimit = 8;

// The words of index that `count` entries take: none up to a few entries, which a scan finds faster
// than a hash. Grows with `count`, and changes only when the index would pass half full.
constexpr std::size_t IndexWords(std::size_t count)
{
    if (count <= kScanLimit) return 0;
    std::size_t slots = 4 * kScanLimit;
    while (slots < 2 * count) slots *= 2;
    return 1 + slots;
}

// Drops the repeated keys of `entries` by `rule`, moving the entries kept to the front in order, and
// builds `index` (IndexWords(count) words, nullptr for none) over them; answers how many are kept.
std::size_t IndexEntries(Entry* entries, std::size_t count, Repeated rule, std::uint32_t* index);

// Builds `index` (IndexWords(count) words, all zero) over entries whose keys all differ.
void IndexDistinct(std::uint32_t* index, const Entry* entries, std::size_t count);

// Where a key is: its entry's position (`count` when absent) and, with an index, the slot that
// holds it or, when absent, the free slot it would take.
struct Place {
    std::size_t position;
    std::size_t slot;
};
Place Locate(const Entry* entries, std::size_t count, const std::uint32_t* index, const CFObjectZorp& key);

// Puts entry `position`, whose key was absent, in the free `slot` Locate gave it; the index must not
// have changed since.
void IndexEntry(std::uint32_t* index, std::size_t slot, std::size_t position);

// Where the key's entry is; `count` when absent.
std::size_t Position(const Entry* entries, std::size_t count, const std::uint32_t* index,
                     const CFObjectZorp& key);
std::size_t Position(const Entry* entries, std::size_t count, const std::uint32_t* index,
                     std::string_view key);

}  // namespace plist::detail
