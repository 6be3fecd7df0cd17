// SPDX-License-Identifier: MIT
#include "cfobject.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace {

// Up to this many entries, a reader finds repeated keys by a scan, which is faster than hashing.
constexpr std::size_t kScanLimit = 8;
// Up to this many, a dictionary keeps no index: a look-up scans, and a reader hashes into an index on
// the stack to find repeated keys. (Most dictionaries are this small, and an index would be a third
// of their weight.)
constexpr std::size_t kUnindexedLimit = 64;

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

// Equal keys (CFKeysEqual) hash alike. Every kind is hashed, so that no file can make building a
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

// Quick and unkeyed, for the index on the stack: it holds at most kUnindexedLimit entries, so keys
// made to collide cost a file little. Equal keys hash alike, as with KeyHash.
std::size_t QuickKeyHash(const CFObjectZorp& key)
{
    if (key.Kind() != CFKind::String && key.Kind() != CFKind::Data) return KeyHash(key);
    const std::string_view text = key.Kind() == CFKind::String
                                      ? static_cast<const CFStringZorp&>(key).Text()
                                      : static_cast<const CFBinaryDataZorp&>(key).Bytes();
    std::uint64_t head = 0, tail = 0;
    std::memcpy(&head, text.data(), std::min<std::size_t>(text.size(), 8));
    if (text.size() > 8) std::memcpy(&tail, text.data() + text.size() - 8, 8);
    std::uint64_t h = (head ^ Rotate(tail, 29) ^ text.size()) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

bool IsString(const CFObjectZorp& key, std::string_view text)
{
    return key.Kind() == CFKind::String && static_cast<const CFStringZorp&>(key).Text() == text;
}

// Made one at a time: the object and its contents in one allocation of its own, held by `keep`
// (which may hold what the contents point to as well).
template <typename T, typename Keep>
std::shared_ptr<const T> NewPlaced(std::span<const typename T::Element> contents, Keep keep,
                                   CFKind kind = T::kKind)
{
    const std::size_t words = (CFPlacement::SizeFor<T>(contents.size()) + 7) / 8;
    struct Held {
        Keep keep;
        std::unique_ptr<std::uint64_t[]> room;
    };
    auto held = std::make_shared<Held>(Held{std::move(keep), std::make_unique<std::uint64_t[]>(words)});
    return ShareOf(held, CFPlacement::Place<T>(held->room.get(), contents, kind));
}

}  // namespace

bool CFKeysEqual(const CFObjectZorp& a, const CFObjectZorp& b)
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

std::size_t CFDictionaryZorp::IndexWords(std::size_t count)
{
    if (count <= kUnindexedLimit) return 0;
    std::size_t slots = 4 * kUnindexedLimit;
    while (slots < 2 * count) slots *= 2;
    return 1 + slots;
}

CFDictionaryZorp::CFDictionaryZorp(Entry* entries, std::size_t count, Duplicate rule, std::uint32_t* index,
                                   Keys keys)
    : CFObjectZorp(CFKind::Dictionary), mEntries(entries), mIndex(IndexWords(count) ? index : nullptr)
{
    if (keys == Keys::OneObjectPerText && !mIndex) {
        DropRepeatedObjects(count, rule);
        return;
    }
    std::uint32_t onStack[1 + 2 * kUnindexedLimit];
    if (!mIndex && count > kScanLimit) mIndex = onStack;
    if (mIndex) {
        const std::size_t words = mIndex == onStack ? std::size(onStack) : IndexWords(count);
        std::fill_n(mIndex, words, 0);
        mIndex[0] = static_cast<std::uint32_t>(words - 2);
    }
    // Entry i is copied before anything is written: what stays is moved to the front, in order.
    for (std::size_t i = 0; i < count; ++i)
        Place(entries[i], rule, mIndex == onStack ? QuickKeyHash : nullptr);
    if (mIndex == onStack) mIndex = nullptr;
}

// Keys equal only when the same object: the address alone is hashed and compared.
void CFDictionaryZorp::DropRepeatedObjects(std::size_t count, Duplicate rule)
{
    // Twice as many slots as entries, so that probes stay short: no more to clear than that.
    std::uint8_t slots[2 * kUnindexedLimit];  // entry index + 1, 0 when free
    static_assert(kUnindexedLimit < 256);
    if (count < 2) {
        SetLength(count);
        return;
    }
    const int slotBits = std::bit_width(2 * count - 1);
    const std::size_t mask = (std::size_t{1} << slotBits) - 1;
    std::fill_n(slots, mask + 1, 0);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Entry entry = mEntries[i];
        std::size_t s =
            (reinterpret_cast<std::uintptr_t>(entry.key) * 0x9E3779B97F4A7C15ull) >> (64 - slotBits);
        while (slots[s] != 0 && mEntries[slots[s] - 1].key != entry.key) s = (s + 1) & mask;
        if (slots[s] == 0) {
            mEntries[kept++] = entry;
            slots[s] = static_cast<std::uint8_t>(kept);
        } else if (rule == Duplicate::KeepLast) {
            mEntries[slots[s] - 1].value = entry.value;
        }
    }
    SetLength(kept);
}

const CFObjectZorp* CFDictionaryZorp::Find(const CFObjectZorp& key) const
{
    const std::size_t i = IndexOf(key);
    return i < Count() ? mEntries[i].value : nullptr;
}

const CFObjectZorp* CFDictionaryZorp::Find(std::string_view stringKey) const
{
    if (!mIndex) {
        for (std::size_t i = 0; i < Count(); ++i) {
            if (IsString(*mEntries[i].key, stringKey)) return mEntries[i].value;
        }
        return nullptr;
    }
    const std::uint32_t* slots = mIndex + 1;
    const std::size_t mask = mIndex[0];
    for (std::size_t s = HashText(stringKey) & mask; slots[s] != 0; s = (s + 1) & mask) {
        const Entry& entry = mEntries[slots[s] - 1];
        if (IsString(*entry.key, stringKey)) return entry.value;
    }
    return nullptr;
}

std::size_t CFDictionaryZorp::Place(Entry entry, Duplicate rule, KeyHasher hasher)
{
    const bool indexed = mIndex != nullptr;
    const std::size_t hash = indexed ? (hasher ? hasher : KeyHash)(*entry.key) : 0;
    const std::size_t i = indexed ? Lookup(*entry.key, hash) : IndexOf(*entry.key);
    const std::size_t count = Count();
    if (i < count) {
        if (rule == Duplicate::KeepLast) mEntries[i].value = entry.value;
        return i;
    }
    mEntries[count] = entry;
    if (indexed) IndexEntry(count, hash);
    SetLength(count + 1);
    return count;
}

void CFDictionaryZorp::IndexEntry(std::size_t entry, std::size_t hash)
{
    std::uint32_t* slots = mIndex + 1;
    const std::size_t mask = mIndex[0];
    std::size_t s = hash & mask;
    while (slots[s] != 0) s = (s + 1) & mask;
    slots[s] = static_cast<std::uint32_t>(entry + 1);
}

std::size_t CFDictionaryZorp::IndexOf(const CFObjectZorp& key) const
{
    if (mIndex) return Lookup(key, KeyHash(key));
    for (std::size_t i = 0; i < Count(); ++i) {
        if (CFKeysEqual(*mEntries[i].key, key)) return i;
    }
    return Count();
}

std::size_t CFDictionaryZorp::Lookup(const CFObjectZorp& key, std::size_t hash) const
{
    const std::uint32_t* slots = mIndex + 1;
    const std::size_t mask = mIndex[0];
    for (std::size_t s = hash & mask; slots[s] != 0; s = (s + 1) & mask) {
        if (CFKeysEqual(*mEntries[slots[s] - 1].key, key)) return slots[s] - 1;
    }
    return Count();
}

void CFMutableDictionaryZorp::Add(CFObjectZorpRef key, CFObjectZorpRef value)
{
    Put(std::move(key), std::move(value), Duplicate::KeepFirst);
}

void CFMutableDictionaryZorp::Set(CFObjectZorpRef key, CFObjectZorpRef value)
{
    Put(std::move(key), std::move(value), Duplicate::KeepLast);
}

void CFMutableDictionaryZorp::Put(CFObjectZorpRef key, CFObjectZorpRef value, Duplicate rule)
{
    if (!key || !value) return;
    const std::size_t count = Count();
    mOwnEntries.resize(count + 1);
    Point();
    if (IndexWords(count + 1) > mOwnIndex.size()) Reindex(IndexWords(count + 1));
    const std::size_t i = Place({key.get(), value.get()}, rule);
    if (Count() > count) {
        mHeld.push_back(std::move(key));
        mHeld.push_back(std::move(value));
    } else if (rule == Duplicate::KeepLast) {
        mHeld[2 * i + 1] = std::move(value);
    }
    mOwnEntries.resize(Count());
}

void CFMutableDictionaryZorp::Reindex(std::size_t words)
{
    mOwnIndex.assign(words, 0);
    Point();
    if (words == 0) return;  // small: scanned
    mOwnIndex[0] = static_cast<std::uint32_t>(words - 2);
    for (std::size_t i = 0; i < Count(); ++i) IndexEntry(i, KeyHash(*mEntries[i].key));
}

void CFMutableDictionaryZorp::Point()
{
    mEntries = mOwnEntries.data();
    mIndex = mOwnIndex.empty() ? nullptr : mOwnIndex.data();
}

CFMutableDictionaryZorpRef MutableCopy(const CFDictionaryZorpRef& dictionary)
{
    if (!dictionary) return nullptr;
    auto copy = std::make_shared<CFMutableDictionaryZorp>();
    const std::span<const CFDictionaryZorp::Entry> entries = dictionary->Entries();
    copy->mOwnEntries.assign(entries.begin(), entries.end());
    if (dictionary->IsMutable()) {
        // Its values may be replaced, and freed, after this: the copy holds its own Refs to them.
        copy->mHeld = static_cast<const CFMutableDictionaryZorp&>(*dictionary).mHeld;
    } else {
        // What was read never changes, and lives as long as its tree.
        copy->mHeld.reserve(2 * entries.size());
        for (const CFDictionaryZorp::Entry& entry : entries) {
            copy->mHeld.push_back(ShareOf(dictionary, entry.key));
            copy->mHeld.push_back(ShareOf(dictionary, entry.value));
        }
    }
    copy->SetLength(entries.size());
    copy->Reindex(CFDictionaryZorp::IndexWords(entries.size()));
    return copy;
}

CFObjectZorpRef FindRef(const CFDictionaryZorpRef& dictionary, std::string_view key)
{
    if (!dictionary) return nullptr;
    const CFObjectZorp* value = dictionary->Find(key);
    if (!value || !dictionary->IsMutable()) return ShareOf(dictionary, value);
    const auto& held = static_cast<const CFMutableDictionaryZorp&>(*dictionary).mHeld;
    const std::span<const CFDictionaryZorp::Entry> entries = dictionary->Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].value == value) return held[2 * i + 1];
    }
    return nullptr;
}

CFDictionaryZorpRef AsDictionary(const CFObjectZorpRef& object)
{
    if (!object || object->Kind() != CFKind::Dictionary) return nullptr;
    return std::static_pointer_cast<const CFDictionaryZorp>(object);
}

CFStringZorpRef NewStringZorp(std::string_view utf8)
{
    return NewPlaced<CFStringZorp>(utf8, nullptr);
}

CFBinaryDataZorpRef NewBinaryDataZorp(std::string_view bytes)
{
    return NewPlaced<CFBinaryDataZorp>(bytes, nullptr);
}

CFObjectZorpRef NewArrayZorp(std::vector<CFObjectZorpRef> items, CFKind kind)
{
    std::erase(items, nullptr);
    std::vector<const CFObjectZorp*> pointers(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) pointers[i] = items[i].get();
    return NewPlaced<CFArrayZorp>(pointers, std::move(items), kind);
}
