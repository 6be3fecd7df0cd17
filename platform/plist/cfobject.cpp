// SPDX-License-Identifier: MIT
#include "platform/plist/cfobject.h"

#include "platform/plist/detail/dictionary_index.h"
#include "platform/plist/detail/objects.h"
#include "platform/plist/detail/unicode.h"

#include <algorithm>
#include <cmath>
#include <limits>

using plist::detail::IndexDistinct;
using plist::detail::IndexEntry;
using plist::detail::IndexWords;
using plist::detail::Locate;
using plist::detail::Place;
using plist::detail::Position;

namespace {

// Made one at a time: the object and its elements in one allocation of its own, held by `keep`
// (which may hold what the elements point to as well).
template <typename T, typename Keep>
std::shared_ptr<const T> NewSequence(std::span<const typename T::Element> elements, Keep keep,
                                     CFKind kind = T::kKind)
{
    using plist::detail::Maker;
    const std::size_t words = (Maker::SequenceBytes<T>(elements.size()) + 7) / 8;
    struct Owner {
        Keep keep;
        std::unique_ptr<std::uint64_t[]> room;
    };
    auto owner = std::make_shared<Owner>(Owner{std::move(keep), std::make_unique<std::uint64_t[]>(words)});
    return plist::detail::ShareOf(owner, Maker::Sequence<T>(owner->room.get(), elements, kind));
}

}  // namespace

const CFObjectZorp* CFDictionaryZorp::Find(const CFObjectZorp& key) const
{
    const std::size_t i = Position(mEntries, Count(), mIndex, key);
    return i < Count() ? mEntries[i].value : nullptr;
}

const CFObjectZorp* CFDictionaryZorp::Find(std::string_view stringKey) const
{
    const std::size_t i = Position(mEntries, Count(), mIndex, stringKey);
    return i < Count() ? mEntries[i].value : nullptr;
}

CFMutableDictionaryZorp::CFMutableDictionaryZorp(const CFDictionaryZorpRef& source) : CFDictionaryZorp(true)
{
    if (!source) return;
    const std::span<const Entry> entries = source->Entries();
    mOwnEntries.assign(entries.begin(), entries.end());
    if (source->IsMutable()) {
        // Its values may be replaced, and freed, after this: the copy holds them by Refs of its own.
        mOwners = static_cast<const CFMutableDictionaryZorp&>(*source).mOwners;
    } else {
        // What was read never changes, and lives as long as its reading.
        mOwners.reserve(2 * entries.size());
        for (const Entry& entry : entries) {
            mOwners.push_back(plist::detail::ShareOf(source, entry.key));
            mOwners.push_back(plist::detail::ShareOf(source, entry.value));
        }
    }
    SetLength(entries.size());
    Reindex();
}

void CFMutableDictionaryZorp::Add(CFObjectZorpRef key, CFObjectZorpRef value)
{
    Put(std::move(key), std::move(value), false);
}

void CFMutableDictionaryZorp::Set(CFObjectZorpRef key, CFObjectZorpRef value)
{
    Put(std::move(key), std::move(value), true);
}

CFObjectZorpRef CFMutableDictionaryZorp::FindRef(std::string_view stringKey) const
{
    const std::size_t i = Position(mEntries, Count(), mIndex, stringKey);
    return i < Count() ? mOwners[2 * i + 1] : nullptr;
}

void CFMutableDictionaryZorp::Put(CFObjectZorpRef key, CFObjectZorpRef value, bool replace)
{
    if (!key || !value) return;
    const std::size_t count = Count();
    // A new key is hashed once: its free slot is kept for it while the index stays as it is.
    const Place place = Locate(mEntries, count, mIndex, *key);
    const std::size_t i = place.position;
    if (i < count) {
        if (!replace) return;
        mOwnEntries[i].value = value.get();
        mOwners[2 * i + 1] = std::move(value);
        return;
    }
    mOwnEntries.push_back({key.get(), value.get()});
    mOwners.push_back(std::move(key));
    mOwners.push_back(std::move(value));
    SetLength(count + 1);
    if (IndexWords(count + 1) != mOwnIndex.size()) {
        Reindex();
        return;
    }
    UpdateViews();
    if (!mOwnIndex.empty()) IndexEntry(mOwnIndex.data(), place.slot, count);
}

// The entries' keys already differ: each is placed once, and a small dictionary has no index to build.
void CFMutableDictionaryZorp::Reindex()
{
    mOwnIndex.assign(IndexWords(Count()), 0);
    UpdateViews();
    if (!mOwnIndex.empty()) IndexDistinct(mOwnIndex.data(), mOwnEntries.data(), Count());
}

void CFMutableDictionaryZorp::UpdateViews()
{
    mEntries = mOwnEntries.data();
    mIndex = mOwnIndex.empty() ? nullptr : mOwnIndex.data();
}

namespace plist {

bool KeysEqual(const CFObjectZorp& a, const CFObjectZorp& b)
{
    if (&a == &b) return true;
    if (a.Kind() != b.Kind()) return false;
    switch (a.Kind()) {
    case CFKind::String:
        return static_cast<const CFStringZorp&>(a).Text() == static_cast<const CFStringZorp&>(b).Text();
    case CFKind::Data:
        return static_cast<const CFBinaryDataZorp&>(a).Bytes() ==
               static_cast<const CFBinaryDataZorp&>(b).Bytes();
    case CFKind::Integer: {
        const auto& x = static_cast<const CFIntegerZorp&>(a);
        const auto& y = static_cast<const CFIntegerZorp&>(b);
        // The same bits are different numbers when one reads them as negative and the other as above 2^63.
        const bool high = x.Bits() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        return x.Bits() == y.Bits() && (!high || x.IsUnsigned() == y.IsUnsigned());
    }
    case CFKind::Real: {
        const double x = static_cast<const CFRealZorp&>(a).Value();
        const double y = static_cast<const CFRealZorp&>(b).Value();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    case CFKind::Boolean:
        return static_cast<const CFBooleanZorp&>(a).Value() == static_cast<const CFBooleanZorp&>(b).Value();
    case CFKind::Date:
        return static_cast<const CFDateZorp&>(a).Value() == static_cast<const CFDateZorp&>(b).Value();
    case CFKind::UID:
        return static_cast<const CFUIDZorp&>(a).Value() == static_cast<const CFUIDZorp&>(b).Value();
    case CFKind::Null: return true;
    case CFKind::Dictionary:
    case CFKind::Array:
    case CFKind::Set: break;
    }
    return false;
}

CFMutableDictionaryZorpRef MutableCopy(const CFDictionaryZorpRef& dictionary)
{
    return dictionary ? std::make_shared<CFMutableDictionaryZorp>(dictionary) : nullptr;
}

CFDictionaryZorpRef AsDictionary(const CFObjectZorpRef& object)
{
    if (!object || object->Kind() != CFKind::Dictionary) return nullptr;
    return std::static_pointer_cast<const CFDictionaryZorp>(object);
}

CFObjectZorpRef FindRef(const CFDictionaryZorpRef& dictionary, std::string_view key)
{
    if (!dictionary) return nullptr;
    if (dictionary->IsMutable()) return static_cast<const CFMutableDictionaryZorp&>(*dictionary).FindRef(key);
    return detail::ShareOf(dictionary, dictionary->Find(key));
}

CFStringZorpRef NewStringZorp(std::string_view utf8)
{
    return NewSequence<CFStringZorp>(utf8, nullptr);
}

CFBinaryDataZorpRef NewBinaryDataZorp(std::string_view bytes)
{
    return NewSequence<CFBinaryDataZorp>(bytes, nullptr);
}

CFObjectZorpRef NewArrayZorp(std::vector<CFObjectZorpRef> items, CFKind kind)
{
    std::erase(items, nullptr);
    std::vector<const CFObjectZorp*> pointers(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) pointers[i] = items[i].get();
    return NewSequence<CFArrayZorp>(pointers, std::move(items), kind);
}

std::size_t DecodeUTF8(std::string_view text, std::size_t i, std::uint32_t& c)
{
    return detail::DecodeUTF8(text, i, c);
}

std::string WithInvalidUTF8Replaced(std::string_view s)
{
    std::string shown;
    shown.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t length = detail::SequenceLength(s, i);
        if (length == 0) {
            shown += "\xEF\xBF\xBD";
            ++i;
        } else {
            shown.append(s, i, length);
            i += length;
        }
    }
    return shown;
}

}  // namespace plist
