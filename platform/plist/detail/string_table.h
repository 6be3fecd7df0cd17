// SPDX-License-Identifier: MIT
#pragma once
// Interning of the keys one XML document reads.

#include "arena.h"
#include "platform/plist/cfobject.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plist::detail {

// The keys of one document, interned: property lists repeat their keys again and again, and CF
// shares them the same way. Bounded, so odd documents cost no more than plain ones.
class StringTable {
public:
    explicit StringTable(Arena& arena) : mArena(arena)
    {
        // Small at first, as a list has few distinct keys: and an early request of 1 KiB or more
        // makes glibc's malloc merge all the small blocks freed before, which then cannot be handed
        // out again as cheaply.
        mSlots.assign(kFirstSlots, 0);
        mStrings.reserve(kFirstSlots / 4);
    }

    // The table's string of `text`, or a new one when the table is full or the text long.
    const CFStringZorp* Intern(std::string_view text)
    {
        if (text.size() > kLongest) return Make(text);
        const std::uint32_t tag = Hash(text) >> kIndexBits;
        const std::size_t mask = mSlots.size() - 1;
        std::size_t s = tag & mask;
        for (std::size_t probes = 0; mSlots[s] != 0; s = (s + 1) & mask) {
            // Crafted collisions make long runs; past a few probes the string is just not interned.
            if (++probes > kLongestRun) return Make(text);
            if (mSlots[s] >> kIndexBits != tag) continue;
            const CFStringZorp* known = mStrings[(mSlots[s] & kIndexMask) - 1];
            if (SameText(known->Text(), text)) return known;
        }
        const CFStringZorp* made = Make(text);
        if (mStrings.size() >= kMostEntries) return made;
        mStrings.push_back(made);
        mSlots[s] = tag << kIndexBits | static_cast<std::uint32_t>(mStrings.size());
        if (mStrings.size() * 2 > mSlots.size()) Grow();
        return made;
    }

private:
    static constexpr std::size_t kLongest = 64;  // longer strings rarely repeat
    static constexpr std::size_t kMostEntries = 1 << 12;
    static constexpr std::size_t kFirstSlots = 64;
    static constexpr std::size_t kLongestRun = 64;

    // A slot holds the high bits of the text's hash (which also place it) over the string's index + 1.
    static constexpr int kIndexBits = 13;
    static_assert(kMostEntries < (std::size_t{1} << kIndexBits));
    static constexpr std::uint32_t kIndexMask = (std::uint32_t{1} << kIndexBits) - 1;

    const CFStringZorp* Make(std::string_view text) { return mArena.Sequence<CFStringZorp>(text); }

    // Word at a time: a collision costs only a missed share, so speed matters more than strength.
    static std::uint32_t Hash(std::string_view text)
    {
        const char* p = text.data();
        const std::size_t n = text.size();
        std::uint64_t h = (n + 1) * 0x9E3779B97F4A7C15ull;
        const auto mix = [&h](std::uint64_t word) {
            h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
            h ^= h >> 29;
        };
        if (n >= 8) {
            for (std::size_t i = 0; i + 8 < n; i += 8) mix(Load<std::uint64_t>(p + i));
            mix(Load<std::uint64_t>(p + n - 8));
        } else if (n >= 4) {
            mix(std::uint64_t{Load<std::uint32_t>(p)} << 32 | Load<std::uint32_t>(p + n - 4));
        } else if (n > 0) {
            const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
            mix(byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1));
        }
        return static_cast<std::uint32_t>(h ^ (h >> 32));
    }

    // Inline, word by word: the texts are short and usually equal, where a call to memcmp costs most.
    static bool SameText(std::string_view a, std::string_view b)
    {
        const std::size_t n = a.size();
        if (n != b.size()) return false;
        const char* p = a.data();
        const char* q = b.data();
        if (n >= 8) {
            for (std::size_t i = 0; i + 8 < n; i += 8) {
                if (Load<std::uint64_t>(p + i) != Load<std::uint64_t>(q + i)) return false;
            }
            return Load<std::uint64_t>(p + n - 8) == Load<std::uint64_t>(q + n - 8);
        }
        if (n >= 4) {
            return Load<std::uint32_t>(p) == Load<std::uint32_t>(q) &&
                   Load<std::uint32_t>(p + n - 4) == Load<std::uint32_t>(q + n - 4);
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (p[i] != q[i]) return false;
        }
        return true;
    }

    template <typename Word>
    static Word Load(const char* p)
    {
        Word word;
        std::memcpy(&word, p, sizeof word);
        return word;
    }

    void Grow()
    {
        std::vector<std::uint32_t> old(mSlots.size() * 2, 0);
        old.swap(mSlots);
        const std::size_t mask = mSlots.size() - 1;
        for (const std::uint32_t slot : old) {
            if (slot == 0) continue;
            std::size_t s = (slot >> kIndexBits) & mask;
            while (mSlots[s] != 0) s = (s + 1) & mask;
            mSlots[s] = slot;
        }
    }

    Arena& mArena;
    std::vector<std::uint32_t> mSlots;
    std::vector<const CFStringZorp*> mStrings;
};

}  // namespace plist::detail
