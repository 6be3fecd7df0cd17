// SPDX-License-Identifier: MIT
#pragma once
// One reading's objects, carved from large blocks: each object is a pointer bump rather than a
// call to malloc, and the tree goes all at once, with its blocks. Only objects that need no
// destructor live here.

#include "platform/plist/cfobject.h"
#include "platform/plist/detail/objects.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace plist::detail {

class Arena {
public:
    // `firstBlock` bytes at first; later blocks double, up to kLargestBlock.
    explicit Arena(std::size_t firstBlock)
        : mNextBlock(firstBlock < kSmallestBlock ? kSmallestBlock : firstBlock)
    {
    }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    template <typename T, typename... Args>
    T* New(Args&&... args)
    {
        static_assert(std::is_trivially_destructible_v<T>, "the arena runs no destructors");
        return ::new (Allocate(sizeof(T), alignof(T))) T(std::forward<Args>(args)...);
    }

    // Room for `count` of T, not initialised.
    template <typename T>
    T* Array(std::size_t count)
    {
        static_assert(std::is_trivially_destructible_v<T> && std::is_trivially_default_constructible_v<T>);
        // As operator new does when asked for more than there can be.
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(Allocate(count * sizeof(T), alignof(T)));
    }

    // A dictionary over `count` entries placed here, its repeated keys dropped by `rule`. Only a
    // large one keeps its index, beside them: most are small, and a scan finds a key in a few dozen
    // entries about as fast, where an index would add a third to their weight.
    const CFDictionaryZorp* Dictionary(Entry* entries, std::size_t count, Repeated rule)
    {
        // The index of one that keeps none is needed only while it is read.
        std::uint32_t scratch[1 + 2 * kScannedAtMost];
        static_assert(IndexWords(kScannedAtMost) <= std::size(scratch));
        const std::size_t kept = KeptIndexWords(count);
        std::uint32_t* index = kept ? Array<std::uint32_t>(kept) : IndexWords(count) ? scratch : nullptr;
        return Maker::Dictionary(Allocate(sizeof(CFDictionaryZorp), alignof(CFDictionaryZorp)), entries,
                                 count, rule, index, kept != 0);
    }

    // The words of index a dictionary of `count` entries keeps here.
    static std::size_t KeptIndexWords(std::size_t count)
    {
        return count > kScannedAtMost ? IndexWords(count) : 0;
    }

    // The same, of the keys and values given in turn (key, value, key, ...).
    const CFDictionaryZorp* Dictionary(std::span<const CFObjectZorp* const> keysAndValues, Repeated rule)
    {
        const std::size_t count = keysAndValues.size() / 2;
        auto* entries = Array<Entry>(count);
        for (std::size_t i = 0; i < count; ++i) entries[i] = {keysAndValues[2 * i], keysAndValues[2 * i + 1]};
        return Dictionary(entries, count, rule);
    }

    // An object followed by its elements (a string's text, an array's items).
    template <typename T>
    const T* Sequence(std::span<const typename T::Element> elements, CFKind kind = T::kKind)
    {
        return Maker::Sequence<T>(Allocate(Maker::SequenceBytes<T>(elements.size()), alignof(T)), elements,
                                  kind);
    }

private:
    static constexpr std::size_t kScannedAtMost = 64;
    static constexpr std::size_t kSmallestBlock = 1024;
    static constexpr std::size_t kLargestBlock = std::size_t{256} << 10;

    void* Allocate(std::size_t size, std::size_t alignment)
    {
        auto at = Aligned(mNext, alignment);
        if (mNext == nullptr || size > static_cast<std::size_t>(mEnd - mNext) ||
            at + size > reinterpret_cast<std::uintptr_t>(mEnd)) {
            // What is large gets a block of its own, and the current block stays in use.
            if (size > mNextBlock / 4) return SeparateBlock(size + alignment, alignment);
            NewBlock();
            at = Aligned(mNext, alignment);
        }
        mNext = reinterpret_cast<std::byte*>(at + size);
        return reinterpret_cast<void*>(at);
    }

    static std::uintptr_t Aligned(const std::byte* p, std::size_t alignment)
    {
        return (reinterpret_cast<std::uintptr_t>(p) + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
    }

    void NewBlock()
    {
        mBlocks.push_back(std::make_unique_for_overwrite<std::byte[]>(mNextBlock));
        mNext = mBlocks.back().get();
        mEnd = mNext + mNextBlock;
        // A first block sized to the whole tree is followed, when that falls short, by smaller ones.
        mNextBlock = mNextBlock < kLargestBlock / 2 ? mNextBlock * 2 : kLargestBlock;
    }

    void* SeparateBlock(std::size_t size, std::size_t alignment)
    {
        mBlocks.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
        return reinterpret_cast<void*>(Aligned(mBlocks.back().get(), alignment));
    }

    std::vector<std::unique_ptr<std::byte[]>> mBlocks;
    std::byte* mNext = nullptr;
    std::byte* mEnd = nullptr;
    std::size_t mNextBlock;
};
using ArenaRef = std::shared_ptr<Arena>;

}  // namespace plist::detail
