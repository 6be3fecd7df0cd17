// SPDX-License-Identifier: MIT
#pragma once
// Interning of the strings one XML document reads.

#include "cfobject.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plist {

// The strings of one document, shared: property lists repeat their keys (and many values) again
// and again, and CF shares them the same way. Bounded, so odd documents cost no more than plain ones.
class StringTable {
public:
    explicit StringTable(std::size_t inputSize) {
        // Small at first: an early request of 1 KiB or more makes glibc's malloc merge all the
        // small blocks freed before, which then cannot be handed out again as cheaply.
        const std::size_t slots = inputSize < 64 * 1024 ? 64 : kFirstSlotsAtMost;
        mSlots.assign(slots, 0);
        mStrings.reserve(slots / 4);
    }

    CFObjectZorpRef Intern(std::string_view text) {
        return Intern(text, [&] { return std::make_shared<CFStringZorp>(std::string(text)); });
    }
    CFObjectZorpRef Intern(std::string&& text) {
        const std::string_view view = text;
        return Intern(view, [&] { return std::make_shared<CFStringZorp>(std::move(text)); });
    }

private:
    static constexpr std::size_t kLongest = 64;  // longer strings rarely repeat
    static constexpr std::size_t kMostEntries = 1 << 16;
    static constexpr std::size_t kFirstSlotsAtMost = 1 << 14;
    static constexpr std::size_t kLongestRun = 64;

    // A slot holds a 32-bit hash of the text (which also places it) and the string's index + 1.
    template <typename Make>
    CFObjectZorpRef Intern(std::string_view text, Make make) {
        if (text.size() > kLongest) return make();
        const std::size_t h = std::hash<std::string_view>{}(text);
        const auto tag = static_cast<std::uint32_t>(h ^ (h >> 32));
        const std::size_t mask = mSlots.size() - 1;
        std::size_t s = tag & mask;
        for (std::size_t probes = 0; mSlots[s] != 0; s = (s + 1) & mask) {
            // Crafted collisions make long runs; past a few probes the string is just not shared.
            if (++probes > kLongestRun) return make();
            if (static_cast<std::uint32_t>(mSlots[s] >> 32) != tag) continue;
            const CFObjectZorpRef& known = mStrings[static_cast<std::uint32_t>(mSlots[s]) - 1];
            if (static_cast<const CFStringZorp&>(*known).Text() == text) return known;
        }
        CFObjectZorpRef made = make();
        if (mStrings.size() >= kMostEntries) return made;
        mStrings.push_back(made);
        mSlots[s] = std::uint64_t{tag} << 32 | mStrings.size();
        if (mStrings.size() * 2 > mSlots.size()) Grow();
        return made;
    }

    void Grow() {
        std::vector<std::uint64_t> old(mSlots.size() * 2, 0);
        old.swap(mSlots);
        const std::size_t mask = mSlots.size() - 1;
        for (const std::uint64_t slot : old) {
            if (slot == 0) continue;
            std::size_t s = (slot >> 32) & mask;
            while (mSlots[s] != 0) s = (s + 1) & mask;
            mSlots[s] = slot;
        }
    }

    std::vector<std::uint64_t> mSlots;
    std::vector<CFObjectZorpRef> mStrings;
};


}  // namespace plist
