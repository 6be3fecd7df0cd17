// SPDX-License-Identifier: MIT
#pragma once
// One reading's objects, carved from large blocks: each object is a pointer bump rather than a
// call to malloc, and nothing is given back one object at a time. The arena counts the objects
// it holds (and its maker), and goes with the last of them.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace plist {

class Arena {
public:
    // `firstBlock` bytes at first; later blocks double, up to kLargestBlock.
    explicit Arena(std::size_t firstBlock)
        : mNextBlock(firstBlock < kSmallestBlock ? kSmallestBlock : firstBlock)
    {
    }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // Only the reading that owns the arena allocates, before any object is handed out.
    void* Allocate(std::size_t size, std::size_t alignment)
    {
        auto at = Aligned(mNext, alignment);
        if (mNext == nullptr || at + size > reinterpret_cast<std::uintptr_t>(mEnd)) {
            NewBlock(size + alignment);
            at = Aligned(mNext, alignment);
        }
        mNext = reinterpret_cast<std::byte*>(at + size);
        ++mMade;
        return reinterpret_cast<void*>(at);
    }

    // An object is gone: the last one out (the maker included) frees the blocks.
    void Release() { Drop(1); }

    // The maker is done: what it held turns into one count per object made.
    void Leave() { Drop(kMakerHold - mMade); }

private:
    static constexpr std::size_t kSmallestBlock = 1024;
    static constexpr std::size_t kLargestBlock = std::size_t{256} << 10;

    // While the maker works, objects are counted without atomics (in mMade); its large hold keeps
    // the shared count above zero however many of them are given back meanwhile.
    static constexpr std::size_t kMakerHold = std::size_t{1} << 62;

    void Drop(std::size_t count)
    {
        if (mUsers.fetch_sub(count, std::memory_order_acq_rel) == count) delete this;
    }

    static std::uintptr_t Aligned(const std::byte* p, std::size_t alignment)
    {
        return (reinterpret_cast<std::uintptr_t>(p) + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
    }

    void NewBlock(std::size_t atLeast)
    {
        std::size_t size = mNextBlock;
        if (size < atLeast) size = atLeast;
        mBlocks.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
        mNext = mBlocks.back().get();
        mEnd = mNext + size;
        if (mNextBlock < kLargestBlock)
            mNextBlock = mNextBlock * 2 < kLargestBlock ? mNextBlock * 2 : kLargestBlock;
    }

    std::vector<std::unique_ptr<std::byte[]>> mBlocks;
    std::byte* mNext = nullptr;
    std::byte* mEnd = nullptr;
    std::size_t mNextBlock;
    std::size_t mMade = 0;
    std::atomic<std::size_t> mUsers{kMakerHold};  // the maker, and every object not yet destroyed
};

// For std::allocate_shared: each allocation holds the arena until it is given back.
template <typename T>
class ArenaAllocator {
public:
    using value_type = T;

    explicit ArenaAllocator(Arena& arena) : mArena(&arena) {}
    template <typename U>
    ArenaAllocator(const ArenaAllocator<U>& other) : mArena(other.mArena)
    {
    }

    T* allocate(std::size_t n) { return static_cast<T*>(mArena->Allocate(n * sizeof(T), alignof(T))); }
    void deallocate(T*, std::size_t) { mArena->Release(); }

    template <typename U>
    bool operator==(const ArenaAllocator<U>& other) const
    {
        return mArena == other.mArena;
    }

private:
    template <typename U>
    friend class ArenaAllocator;
    Arena* mArena;
};

// Makes the objects of one reading in one arena.
class ArenaMaker {
public:
    explicit ArenaMaker(std::size_t firstBlock) : mArena(new Arena(firstBlock)) {}

    template <typename T, typename... Args>
    std::shared_ptr<T> Make(Args&&... args)
    {
        return std::allocate_shared<T>(ArenaAllocator<T>(*mArena), std::forward<Args>(args)...);
    }

private:
    struct Leave {
        void operator()(Arena* arena) const { arena->Leave(); }
    };
    std::unique_ptr<Arena, Leave> mArena;
};

}  // namespace plist
