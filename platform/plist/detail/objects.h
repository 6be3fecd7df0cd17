// SPDX-License-Identifier: MIT
#pragma once
// Making the objects whose making the public face hides: sequences in room given to them, and
// dictionaries over entries a reader has placed.

#include "platform/plist/cfobject.h"
#include "platform/plist/detail/dictionary_index.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>

namespace plist::detail {

struct Maker {
    template <typename T>
    static std::size_t SequenceBytes(std::size_t count)
    {
        return sizeof(T) + count * sizeof(typename T::Element);
    }

    // `room` holds SequenceBytes<T>(elements.size()) bytes, aligned for T.
    template <typename T>
    static const T* Sequence(void* room, std::span<const typename T::Element> elements,
                             CFKind kind = T::kKind)
    {
        T* object = ::new (room) T(kind, elements.size());
        if (!elements.empty())
            std::memcpy(static_cast<void*>(object + 1), elements.data(), elements.size_bytes());
        return object;
    }

    // A dictionary that was read, in `room` (aligned for it): over `count` entries at `entries`, its
    // repeated keys dropped by `rule` through `index` (IndexWords(count) words), which it keeps for
    // look-ups when `keep`.
    static const CFDictionaryZorp* Dictionary(void* room, Entry* entries, std::size_t count, Repeated rule,
                                              std::uint32_t* index, bool keep)
    {
        auto* dictionary = ::new (room) CFDictionaryZorp(false);
        dictionary->SetLength(IndexEntries(entries, count, rule, index));
        dictionary->mEntries = entries;
        dictionary->mIndex = keep ? index : nullptr;
        return dictionary;
    }
};

// The empty T, made once: it owns nothing, and no one changes it.
template <typename T>
const T* EmptySequence()
{
    alignas(T) static std::byte room[sizeof(T)];
    static const T* const empty = Maker::Sequence<T>(room, {});
    return empty;
}

inline const CFDictionaryZorp* EmptyDictionary()
{
    alignas(CFDictionaryZorp) static std::byte room[sizeof(CFDictionaryZorp)];
    static const CFDictionaryZorp* const empty =
        Maker::Dictionary(room, nullptr, 0, Repeated::KeepLast, nullptr, false);
    return empty;
}

// A Ref to `object`, which lives as long as `owner` does (it is of owner's reading, which never
// changes, or lives for good); nullptr for none.
template <typename T, typename Owner>
std::shared_ptr<const T> ShareOf(const std::shared_ptr<Owner>& owner, const T* object)
{
    return object ? std::shared_ptr<const T>(owner, object) : nullptr;
}

}  // namespace plist::detail
