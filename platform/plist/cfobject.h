// SPDX-License-Identifier: MIT
#pragma once
// The property-list object model: every kind a CoreFoundation property list can hold.
// Objects are shared (reference counted) and immutable, except CFMutableDictionaryZorp.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class CFKind { String, Data, Dictionary, Array, Integer, Real, Boolean, Date, UID, Null, Set };

class CFObjectZorp {
public:
    virtual ~CFObjectZorp() = default;
    virtual CFKind Kind() const = 0;
};
using CFObjectZorpRef = std::shared_ptr<CFObjectZorp>;

// Text held as UTF-8 (a valid string never holds an unpaired surrogate); NUL is allowed.
class CFStringZorp final : public CFObjectZorp {
public:
    explicit CFStringZorp(std::string utf8) : mText(std::move(utf8)) {}
    CFKind Kind() const override { return CFKind::String; }
    const std::string& Text() const { return mText; }

private:
    std::string mText;
};
using CFStringZorpRef = std::shared_ptr<CFStringZorp>;

class CFBinaryDataZorp final : public CFObjectZorp {
public:
    explicit CFBinaryDataZorp(std::string bytes) : mBytes(std::move(bytes)) {}
    CFKind Kind() const override { return CFKind::Data; }
    std::string_view Bytes() const { return mBytes; }

private:
    std::string mBytes;
};
using CFBinaryDataZorpRef = std::shared_ptr<CFBinaryDataZorp>;

// Full signed and unsigned 64-bit range: values above INT64_MAX keep IsUnsigned().
class CFIntegerZorp final : public CFObjectZorp {
public:
    CFIntegerZorp(std::uint64_t bits, bool isUnsigned) : mBits(bits), mUnsigned(isUnsigned) {}
    CFKind Kind() const override { return CFKind::Integer; }
    std::uint64_t Bits() const { return mBits; }
    bool IsUnsigned() const { return mUnsigned; }
    std::int64_t AsSigned() const { return static_cast<std::int64_t>(mBits); }

private:
    std::uint64_t mBits;
    bool mUnsigned;
};

// An object that is one plain value and nothing more.
template <CFKind K, typename T>
class CFScalarZorp final : public CFObjectZorp {
public:
    explicit CFScalarZorp(T value) : mValue(value) {}
    CFKind Kind() const override { return K; }
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
    CFKind Kind() const override { return CFKind::Null; }
};

class CFArrayZorp : public CFObjectZorp {
public:
    explicit CFArrayZorp(std::vector<CFObjectZorpRef> items = {}) : mItems(std::move(items)) {}
    CFKind Kind() const override { return CFKind::Array; }
    const std::vector<CFObjectZorpRef>& Items() const { return mItems; }

private:
    std::vector<CFObjectZorpRef> mItems;
};

// Readable from binary lists, never writable as XML; its items in the order read.
class CFSetZorp final : public CFArrayZorp {
public:
    using CFArrayZorp::CFArrayZorp;
    CFKind Kind() const override { return CFKind::Set; }
};

class CFMutableDictionaryZorp;
using CFMutableDictionaryZorpRef = std::shared_ptr<CFMutableDictionaryZorp>;

// Keys are equal when of the same kind and value; string keys by exact content.
bool CFKeysEqual(const CFObjectZorp& a, const CFObjectZorp& b);

class CFDictionaryZorp : public CFObjectZorp {
public:
    struct Entry {
        CFObjectZorpRef key;
        CFObjectZorpRef value;
    };

    CFKind Kind() const override { return CFKind::Dictionary; }
    const std::vector<Entry>& Entries() const { return mEntries; }
    std::size_t Count() const { return mEntries.size(); }
    CFObjectZorpRef Find(const CFObjectZorp& key) const;  // nullptr when absent
    CFObjectZorpRef Find(const std::string& stringKey) const;

    // A mutable copy: the same entries; changing it leaves this dictionary as it is.
    CFMutableDictionaryZorpRef Edit() const;

    // Used by the readers: a repeated key keeps the first value, or takes the last.
    enum class Duplicate { KeepFirst, KeepLast };
    void Insert(CFObjectZorpRef key, CFObjectZorpRef value, Duplicate rule);
    void Reserve(std::size_t count);  // room for that many entries without growing

protected:
    std::size_t IndexOf(const CFObjectZorp& key) const;  // Count() when absent
    void Append(CFObjectZorpRef key, CFObjectZorpRef value);

    std::vector<Entry> mEntries;

private:
    // `hash` is HashText(text), which is needed only once the slots are built.
    std::size_t IndexOfString(std::string_view text) const;
    std::size_t IndexOfString(std::string_view text, std::size_t hash) const;
    void IndexEntry(std::size_t entry);
    void IndexEntry(std::size_t entry, std::size_t hash);
    void Rehash(std::size_t slotCount);

    // Open addressing over the string keys (entry index + 1, 0 when free), built only once
    // the dictionary outgrows a linear scan.
    std::vector<std::uint32_t> mSlots;
};
using CFDictionaryZorpRef = std::shared_ptr<CFDictionaryZorp>;

class CFMutableDictionaryZorp final : public CFDictionaryZorp {
public:
    // Adds the pair only when the key has no entry; an existing entry keeps its value.
    void Add(CFObjectZorpRef key, CFObjectZorpRef value);
    // Adds, or replaces the value of an existing entry.
    void Set(CFObjectZorpRef key, CFObjectZorpRef value);
};
