// SPDX-License-Identifier: MIT
#include "cfobject.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Below this many entries a scan is faster than hashing, and costs no memory.
constexpr std::size_t kLinearLimit = 8;

const std::string* StringText(const CFObjectZorp& object)
{
    if (object.Kind() != CFKind::String) return nullptr;
    return &static_cast<const CFStringZorp&>(object).Text();
}

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

CFObjectZorpRef CFDictionaryZorp::Find(const CFObjectZorp& key) const
{
    const std::size_t i = IndexOf(key);
    return i < mEntries.size() ? mEntries[i].value : nullptr;
}

CFObjectZorpRef CFDictionaryZorp::Find(const std::string& stringKey) const
{
    const std::size_t i = IndexOfString(stringKey);
    return i < mEntries.size() ? mEntries[i].value : nullptr;
}

CFMutableDictionaryZorpRef CFDictionaryZorp::Edit() const
{
    auto copy = std::make_shared<CFMutableDictionaryZorp>();
    CFDictionaryZorp& base = *copy;
    base.mEntries = mEntries;
    base.mSlots = mSlots;
    return copy;
}

void CFDictionaryZorp::Insert(CFObjectZorpRef key, CFObjectZorpRef value, Duplicate rule)
{
    if (!key || !value) return;
    const std::string* text = StringText(*key);
    // A string key is hashed once, for the look-up and for its slot.
    const bool indexed = text && !mSlots.empty() && mEntries.size() * 2 < mSlots.size() - 1;
    const std::size_t hash = indexed ? HashText(*text) : 0;
    const std::size_t i = indexed ? IndexOfString(*text, hash) : IndexOf(*key);
    if (i < mEntries.size()) {
        if (rule == Duplicate::KeepLast) mEntries[i].value = std::move(value);
    } else if (indexed) {
        mEntries.push_back({std::move(key), std::move(value)});
        IndexEntry(mEntries.size() - 1, hash);
    } else {
        Append(std::move(key), std::move(value));
    }
}

std::size_t CFDictionaryZorp::IndexOf(const CFObjectZorp& key) const
{
    if (const std::string* text = StringText(key)) return IndexOfString(*text);
    for (std::size_t i = 0; i < mEntries.size(); ++i) {
        if (CFKeysEqual(*mEntries[i].key, key)) return i;
    }
    return mEntries.size();
}

std::size_t CFDictionaryZorp::IndexOfString(std::string_view text) const
{
    if (mSlots.empty()) {
        for (std::size_t i = 0; i < mEntries.size(); ++i) {
            const std::string* other = StringText(*mEntries[i].key);
            if (other && *other == text) return i;
        }
        return mEntries.size();
    }
    return IndexOfString(text, HashText(text));
}

std::size_t CFDictionaryZorp::IndexOfString(std::string_view text, std::size_t hash) const
{
    const std::size_t mask = mSlots.size() - 1;
    for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
        const std::uint32_t slot = mSlots[s];
        if (slot == 0) return mEntries.size();
        if (*StringText(*mEntries[slot - 1].key) == text) return slot - 1;
    }
}

void CFDictionaryZorp::Reserve(std::size_t count)
{
    mEntries.reserve(count);
    if (count <= kLinearLimit || mSlots.size() >= 2 * count) return;
    std::size_t slots = 32;
    while (slots < 2 * count) slots *= 2;
    Rehash(slots);
}

void CFDictionaryZorp::Append(CFObjectZorpRef key, CFObjectZorpRef value)
{
    mEntries.push_back({std::move(key), std::move(value)});
    if (!mSlots.empty()) {
        // Kept at most half full, so probes stay short and always end at a free slot.
        if (mEntries.size() * 2 > mSlots.size())
            Rehash(mSlots.size() * 2);
        else
            IndexEntry(mEntries.size() - 1);
    } else if (mEntries.size() > kLinearLimit) {
        Rehash(32);
    }
}

void CFDictionaryZorp::IndexEntry(std::size_t entry)
{
    if (const std::string* text = StringText(*mEntries[entry].key)) IndexEntry(entry, HashText(*text));
}

void CFDictionaryZorp::IndexEntry(std::size_t entry, std::size_t hash)
{
    const std::size_t mask = mSlots.size() - 1;
    std::size_t s = hash & mask;
    while (mSlots[s] != 0) s = (s + 1) & mask;
    mSlots[s] = static_cast<std::uint32_t>(entry + 1);
}

void CFDictionaryZorp::Rehash(std::size_t slotCount)
{
    mSlots.assign(slotCount, 0);
    for (std::size_t i = 0; i < mEntries.size(); ++i) IndexEntry(i);
}

void CFMutableDictionaryZorp::Add(CFObjectZorpRef key, CFObjectZorpRef value)
{
    Insert(std::move(key), std::move(value), Duplicate::KeepFirst);
}

void CFMutableDictionaryZorp::Set(CFObjectZorpRef key, CFObjectZorpRef value)
{
    Insert(std::move(key), std::move(value), Duplicate::KeepLast);
}
