// SPDX-License-Identifier: MIT
#pragma once
// The property-list object model: every kind a CoreFoundation property list can hold.
//
// Lifetimes: a Ref keeps its object, and everything the object holds, alive; the objects of one
// reading go together, once no Ref to any of them is left. A pointer or view that an object hands
// out (Find, Entries, Items, Text, Bytes) lives while a Ref holds that object; one from a
// CFMutableDictionaryZorp lives only until its next Add or Set. Objects never change once made,
// except CFMutableDictionaryZorp, so Refs are to const objects.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plist::detail {
struct Maker;  // makes the objects that readers read, behind the library's wall
}

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
    // Not virtual: a reading's objects go all at once, and a Ref made by make_shared destroys the
    // type it made.
    ~CFObjectZorp() = default;

    // How many bytes, items or entries the object holds.
    std::size_t Length() const { return static_cast<std::size_t>(mLength); }
    void SetLength(std::size_t length) { mLength = length; }
    bool Mutable() const { return mMutable; }

private:
    std::uint64_t mKind : 8;
    std::uint64_t mMutable : 1;
    std::uint64_t mLength : 55;
};
using CFObjectZorpRef = std::shared_ptr<const CFObjectZorp>;

// An object whose elements follow it in the same allocation: a string's text (UTF-8; a valid
// string never holds an unpaired surrogate; NUL is allowed), data's bytes, or an array's items. A
// set (readable from binary lists, never writable as XML) is an array whose kind is Set.
template <CFKind K, typename E>
class CFSequenceZorp final : public CFObjectZorp {
public:
    using Element = E;
    static constexpr CFKind kKind = K;

    std::string_view Text() const requires(K == CFKind::String) { return {Elements().data(), Length()}; }
    std::string_view Bytes() const requires(K == CFKind::Data) { return {Elements().data(), Length()}; }
    std::span<const E> Items() const requires(K == CFKind::Array) { return Elements(); }

private:
    friend struct plist::detail::Maker;
    CFSequenceZorp(CFKind kind, std::size_t length) : CFObjectZorp(kind, length) {}
    std::span<const E> Elements() const { return {reinterpret_cast<const E*>(this + 1), Length()}; }
};

using CFStringZorp = CFSequenceZorp<CFKind::String, char>;
using CFStringZorpRef = std::shared_ptr<const CFStringZorp>;
using CFBinaryDataZorp = CFSequenceZorp<CFKind::Data, char>;
using CFBinaryDataZorpRef = std::shared_ptr<const CFBinaryDataZorp>;
using CFArrayZorp = CFSequenceZorp<CFKind::Array, const CFObjectZorp*>;
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

// Keys are equal when of the same kind and value (plist::KeysEqual); a repeated key keeps one entry.
class CFDictionaryZorp : public CFObjectZorp {
public:
    struct Entry {
        const CFObjectZorp* key;
        const CFObjectZorp* value;
    };

    std::span<const Entry> Entries() const { return {mEntries, Length()}; }  // in the order first put
    std::size_t Count() const { return Length(); }
    // A CFMutableDictionaryZorp; a dictionary that was read is not.
    bool IsMutable() const { return Mutable(); }
    const CFObjectZorp* Find(const CFObjectZorp& key) const;  // nullptr when absent
    const CFObjectZorp* Find(std::string_view stringKey) const;

private:
    friend struct plist::detail::Maker;
    friend class CFMutableDictionaryZorp;
    explicit CFDictionaryZorp(bool isMutable) : CFObjectZorp(CFKind::Dictionary, 0, isMutable) {}

    const Entry* mEntries = nullptr;
    const std::uint32_t* mIndex = nullptr;  // a hash index, when large
};
using CFDictionaryZorpRef = std::shared_ptr<const CFDictionaryZorp>;

// Holds a Ref to every key and value it holds.
class CFMutableDictionaryZorp final : public CFDictionaryZorp {
public:
    CFMutableDictionaryZorp() : CFDictionaryZorp(true) {}
    // The same entries as `source` (none for nullptr); changing either leaves the other as it is.
    explicit CFMutableDictionaryZorp(const CFDictionaryZorpRef& source);
    CFMutableDictionaryZorp(const CFMutableDictionaryZorp&) = delete;  // its base views its vectors
    CFMutableDictionaryZorp& operator=(const CFMutableDictionaryZorp&) = delete;

    // Adds the pair only when the key has no entry; an existing entry keeps its value.
    void Add(CFObjectZorpRef key, CFObjectZorpRef value);
    // Adds, or replaces the value of an existing entry.
    void Set(CFObjectZorpRef key, CFObjectZorpRef value);
    // The Ref this dictionary holds the value by; nullptr when absent.
    CFObjectZorpRef FindRef(std::string_view stringKey) const;

private:
    void Put(CFObjectZorpRef key, CFObjectZorpRef value, bool replace);
    void Reindex();
    void UpdateViews();  // the base's, after the vectors change

    std::vector<Entry> mOwnEntries;
    std::vector<std::uint32_t> mOwnIndex;
    std::vector<CFObjectZorpRef> mOwners;  // each entry's key and value, in the entries' order
};
using CFMutableDictionaryZorpRef = std::shared_ptr<CFMutableDictionaryZorp>;

namespace plist {

// Keys are equal when of the same kind and value; string keys by exact content.
bool KeysEqual(const CFObjectZorp& a, const CFObjectZorp& b);

// A mutable copy of `dictionary`; nullptr for none.
CFMutableDictionaryZorpRef MutableCopy(const CFDictionaryZorpRef& dictionary);

// `object` as a dictionary, sharing its ownership; nullptr when it is something else.
CFDictionaryZorpRef AsDictionary(const CFObjectZorpRef& object);

// The value for `key` as a Ref that keeps it alive; nullptr when absent.
CFObjectZorpRef FindRef(const CFDictionaryZorpRef& dictionary, std::string_view key);

// Objects made one at a time, each owning what it holds. Strings take valid UTF-8.
CFStringZorpRef NewStringZorp(std::string_view utf8);
CFBinaryDataZorpRef NewBinaryDataZorp(std::string_view bytes);
CFObjectZorpRef NewArrayZorp(std::vector<CFObjectZorpRef> items, CFKind kind = CFKind::Array);

// The text with each byte that begins no valid UTF-8 sequence replaced by U+FFFD.
std::string WithInvalidUTF8Replaced(std::string_view text);
// The code point of the valid UTF-8 sequence at `i` into `c`; its length, or 0 where none begins.
std::size_t DecodeUTF8(std::string_view text, std::size_t i, std::uint32_t& c);

}  // namespace plist
