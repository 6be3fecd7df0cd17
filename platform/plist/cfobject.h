// SPDX-License-Identifier: MIT
#pragma once
// The property-list object model: every kind a CoreFoundation property list can hold.
// Objects are immutable, except CFMutableDictionaryZorp. The objects of one reading live together
// in one arena and refer to each other by plain pointers, so a tree costs one allocation per block,
// not one per value, and no count per value: a Ref to any of them keeps the whole reading alive.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class CFKind : std::uint8_t {
    String,
    Data,
    Dictionary,
    Array,
    Integer,
    Real,
    Boolean,
    Date,
    UID,
    Null,
    Set
};

class CFObjectZorp {
public:
    CFKind Kind() const { return static_cast<CFKind>(mKind); }

protected:
    explicit CFObjectZorp(CFKind kind, std::size_t length = 0, bool isMutable = false)
        : mKind(static_cast<std::uint8_t>(kind)), mMutable(isMutable), mLength(length)
    {
    }
    // Not virtual: an arena frees its objects all at once, and a Ref made by make_shared destroys
    // the type it made.
    ~CFObjectZorp() = default;

    // How many bytes, items or entries the object holds.
    std::size_t Length() const { return static_cast<std::size_t>(mLength); }
    void SetLength(std::size_t length) { mLength = length; }
    bool Mutable() const { return mMutable; }

private:
    // One word for all three.
    std::uint64_t mKind : 8;
    std::uint64_t mMutable : 1;
    std::uint64_t mLength : 55;
};
using CFObjectZorpRef = std::shared_ptr<const CFObjectZorp>;

// A Ref to `object`, which the tree `owner` refers to, sharing owner's lifetime; nullptr for none.
template <typename T, typename Owner>
std::shared_ptr<const T> ShareOf(const std::shared_ptr<Owner>& owner, const T* object)
{
    return object ? std::shared_ptr<const T>(owner, object) : nullptr;
}

// Makes the objects whose contents follow them in the same allocation (strings, data, arrays):
// one allocation, and no pointer, for both.
struct CFPlacement {
    template <typename T>
    static std::size_t SizeFor(std::size_t count)
    {
        return sizeof(T) + count * sizeof(typename T::Element);
    }

    // `room` holds SizeFor<T>(contents.size()) bytes, aligned for T.
    template <typename T>
    static const T* Place(void* room, std::span<const typename T::Element> contents, CFKind kind = T::kKind)
    {
        T* object = ::new (room) T(kind, contents.size());
        if (!contents.empty())
            std::memcpy(static_cast<void*>(object + 1), contents.data(), contents.size_bytes());
        return object;
    }
};

// An object whose contents follow it: a string's text (UTF-8; a valid string never holds an
// unpaired surrogate; NUL is allowed), data's bytes, or an array's items. A set (readable from binary
// lists, never writable as XML) is an array whose kind is Set, its items in the order read.
template <CFKind K, typename E>
class CFPlacedZorp final : public CFObjectZorp {
public:
    using Element = E;
    static constexpr CFKind kKind = K;

    std::string_view Text() const requires(K == CFKind::String) { return {Contents().data(), Length()}; }
    std::string_view Bytes() const requires(K == CFKind::Data) { return {Contents().data(), Length()}; }
    std::span<const E> Items() const requires(K == CFKind::Array) { return Contents(); }

private:
    friend struct CFPlacement;
    CFPlacedZorp(CFKind kind, std::size_t length) : CFObjectZorp(kind, length) {}
    std::span<const E> Contents() const { return {reinterpret_cast<const E*>(this + 1), Length()}; }
};

using CFStringZorp = CFPlacedZorp<CFKind::String, char>;
using CFStringZorpRef = std::shared_ptr<const CFStringZorp>;
using CFBinaryDataZorp = CFPlacedZorp<CFKind::Data, char>;
using CFBinaryDataZorpRef = std::shared_ptr<const CFBinaryDataZorp>;
using CFArrayZorp = CFPlacedZorp<CFKind::Array, const CFObjectZorp*>;
using CFSetZorp = CFArrayZorp;

// Full signed and unsigned 64-bit range: values above INT64_MAX keep IsUnsigned().
class CFIntegerZorp final : public CFObjectZorp {
public:
    // The header's length, unused by a number, holds the flag.
    CFIntegerZorp(std::uint64_t bits, bool isUnsigned)
        : CFObjectZorp(CFKind::Integer, isUnsigned), mBits(bits)
    {
    }
    std::uint64_t Bits() const { return mBits; }
    bool IsUnsigned() const { return Length() != 0; }
    std::int64_t AsSigned() const { return static_cast<std::int64_t>(mBits); }

private:
    std::uint64_t mBits;
};

// An object that is one plain value and nothing more.
template <CFKind K, typename T>
class CFScalarZorp final : public CFObjectZorp {
public:
    explicit CFScalarZorp(T value) : CFObjectZorp(K), mValue(value) {}
    T Value() const { return mValue; }

private:
    T mValue;
};

using CFRealZorp = CFScalarZorp<CFKind::Real, double>;
using CFBooleanZorp = CFScalarZorp<CFKind::Boolean, bool>;
// Seconds since 2001-01-01 00:00:00 UTC.
using CFDateZorp = CFScalarZorp<CFKind::Date, double>;
// Keyed-archiver reference of binary lists; written to XML as {CF$UID = n}.
using CFUIDZorp = CFScalarZorp<CFKind::UID, std::uint32_t>;

// Readable from binary lists, never writable as XML.
class CFNullZorp final : public CFObjectZorp {
public:
    CFNullZorp() : CFObjectZorp(CFKind::Null) {}
};

// Keys are equal when of the same kind and value; string keys by exact content.
bool CFKeysEqual(const CFObjectZorp& a, const CFObjectZorp& b);

class CFMutableDictionaryZorp;
using CFMutableDictionaryZorpRef = std::shared_ptr<CFMutableDictionaryZorp>;

class CFDictionaryZorp : public CFObjectZorp {
public:
    struct Entry {
        const CFObjectZorp* key;
        const CFObjectZorp* value;
    };
    // A repeated key keeps the first value, or takes the last.
    enum class Duplicate { KeepFirst, KeepLast };

    // The words of index that `count` entries take, for readers to place beside the entries.
    static std::size_t IndexWords(std::size_t count);

    // What a reader knows of its keys: OneObjectPerText when equal keys are always the same object.
    enum class Keys { Any, OneObjectPerText };

    // Over entries that live beside it, as a reader places them: repeated keys are dropped by
    // `rule`, the entries that stay are moved to the front (in the order read), and the index is
    // built in `index`.
    CFDictionaryZorp(Entry* entries, std::size_t count, Duplicate rule, std::uint32_t* index,
                     Keys keys = Keys::Any);

    std::span<const Entry> Entries() const { return {mEntries, Length()}; }
    std::size_t Count() const { return Length(); }
    // A CFMutableDictionaryZorp; a dictionary that was read is not.
    bool IsMutable() const { return Mutable(); }
    const CFObjectZorp* Find(const CFObjectZorp& key) const;  // nullptr when absent
    const CFObjectZorp* Find(std::string_view stringKey) const;

protected:
    CFDictionaryZorp() : CFObjectZorp(CFKind::Dictionary, 0, true) {}

    using KeyHasher = std::size_t (*)(const CFObjectZorp& key);

    // Places the entry, or applies `rule` to a repeated key, and answers the entry's index. The
    // entries have room for one more, and the index (when there is one) stays at most half full.
    // `hasher` is the keyed hash, except for an index that is thrown away after reading.
    std::size_t Place(Entry entry, Duplicate rule, KeyHasher hasher = nullptr);
    // Of the entry whose key `hash` is the hash of.
    void IndexEntry(std::size_t entry, std::size_t hash);
    std::size_t IndexOf(const CFObjectZorp& key) const;  // Count() when absent

    // Not const: a reader's arena, or the mutable dictionary's own vectors; no one else changes them.
    Entry* mEntries = nullptr;
    // The slot count - 1 (a power of two less one), then the slots: entry index + 1, 0 when free.
    // None while small.
    std::uint32_t* mIndex = nullptr;

private:
    std::size_t Lookup(const CFObjectZorp& key, std::size_t hash) const;
    void DropRepeatedObjects(std::size_t count, Duplicate rule);
};
using CFDictionaryZorpRef = std::shared_ptr<const CFDictionaryZorp>;

// Holds its own entries, and a Ref to every key and value.
class CFMutableDictionaryZorp final : public CFDictionaryZorp {
public:
    CFMutableDictionaryZorp() = default;
    CFMutableDictionaryZorp(const CFMutableDictionaryZorp&) = delete;  // its base points into its vectors
    CFMutableDictionaryZorp& operator=(const CFMutableDictionaryZorp&) = delete;

    // Adds the pair only when the key has no entry; an existing entry keeps its value.
    void Add(CFObjectZorpRef key, CFObjectZorpRef value);
    // Adds, or replaces the value of an existing entry.
    void Set(CFObjectZorpRef key, CFObjectZorpRef value);

private:
    friend CFMutableDictionaryZorpRef MutableCopy(const CFDictionaryZorpRef& dictionary);
    friend CFObjectZorpRef FindRef(const CFDictionaryZorpRef& dictionary, std::string_view key);

    void Put(CFObjectZorpRef key, CFObjectZorpRef value, Duplicate rule);
    void Reindex(std::size_t words);
    // The base's view of the vectors, after they change.
    void Point();

    std::vector<Entry> mOwnEntries;
    std::vector<std::uint32_t> mOwnIndex;
    std::vector<CFObjectZorpRef> mHeld;  // each entry's key and value, in the entries' order
};

// The value for `key` as a Ref that keeps it alive; nullptr when absent.
CFObjectZorpRef FindRef(const CFDictionaryZorpRef& dictionary, std::string_view key);

// A mutable copy: the same entries; changing it leaves `dictionary` as it is. nullptr for none.
CFMutableDictionaryZorpRef MutableCopy(const CFDictionaryZorpRef& dictionary);

// `object` as a dictionary, sharing its ownership; nullptr when it is something else.
CFDictionaryZorpRef AsDictionary(const CFObjectZorpRef& object);

// Objects made one at a time, each owning what it holds (the readers make theirs in an arena).
CFStringZorpRef NewStringZorp(std::string_view utf8);
CFBinaryDataZorpRef NewBinaryDataZorp(std::string_view bytes);
CFObjectZorpRef NewArrayZorp(std::vector<CFObjectZorpRef> items, CFKind kind = CFKind::Array);
