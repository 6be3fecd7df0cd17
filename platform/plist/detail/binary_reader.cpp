// SPDX-License-Identifier: MIT
#include "arena.h"
#include "readers.h"
#include "unicode.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

namespace plist::detail {
namespace {

constexpr std::uint64_t kHeaderSize = 8;
constexpr std::uint64_t kTrailerSize = 32;
constexpr std::uint64_t kMaxIndex = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Sharing lets a small list stand for a huge tree (a chain of arrays each holding the next twice);
// the tree as written out may be at most this much larger than the input.
constexpr std::uint64_t kExpansionFactor = 16;
constexpr std::uint64_t kExpansionAllowance = std::uint64_t{4} << 20;

// What TreeBytes counts each object as.
static_assert(sizeof(CFStringZorp) == 8 && sizeof(CFArrayZorp) == 8 && sizeof(Entry) == 16);
static_assert(sizeof(CFIntegerZorp) <= 16 && sizeof(CFRealZorp) <= 16 && sizeof(CFUIDZorp) <= 16);

constexpr ErrorKind kUnknownMarker = ErrorKind::UnknownMarker;
constexpr ErrorKind kTruncated = ErrorKind::ObjectTruncated;
constexpr ErrorKind kTooDeep = ErrorKind::TooDeep;

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
}

// Reads a window of the input; a read that would pass the window's end fails and leaves the cursor as it was.
class Cursor {
public:
    Cursor(std::string_view bytes, std::uint64_t position, std::uint64_t end)
        : mBytes(bytes), mPosition(position), mEnd(end)
    {
    }

    std::uint64_t Position() const { return mPosition; }

    bool Take(std::uint64_t count, std::string_view& out)
    {
        if (mPosition > mEnd || count > mEnd - mPosition) return false;
        out = std::string_view(mBytes.data() + mPosition, count);
        mPosition += count;
        return true;
    }

    bool Byte(std::uint8_t& out)
    {
        std::string_view b;
        if (!Take(1, b)) return false;
        out = static_cast<std::uint8_t>(b[0]);
        return true;
    }

    // Big-endian; of a longer field only the low 8 bytes count, as CoreFoundation reads it.
    bool Unsigned(std::uint64_t size, std::uint64_t& out)
    {
        std::string_view b;
        if (!Take(size, b)) return false;
        out = BigEndian(b);
        return true;
    }

    static std::uint64_t BigEndian(std::string_view b) { return byteorder::BigEndian(b.data(), b.size()); }

private:
    std::string_view mBytes;
    std::uint64_t mPosition;
    std::uint64_t mEnd;
};

struct Trailer {
    unsigned offsetSize = 0;
    unsigned refSize = 0;
    std::uint64_t count = 0;
    std::uint64_t top = 0;
    std::uint64_t tableOffset = 0;
};

// CoreFoundation takes the bytes of an ASCII string object as Latin-1: each byte is its own code point.
std::string Latin1ToUTF8(std::string_view latin1)
{
    std::string out;
    out.reserve(latin1.size() * 2);
    for (const char c : latin1) AppendUTF8(static_cast<std::uint8_t>(c), out);
    return out;
}

// UTF-16BE to UTF-8; an unpaired surrogate fails (CoreFoundation's XML writer would drop text after it).
bool DecodeUTF16BE(std::string_view be, std::string& out)
{
    out.reserve(be.size() + be.size() / 2);
    std::size_t bad = 0;
    return AppendUTF16AsUTF8(
        be.size() / 2, [&](std::size_t i) { return byteorder::BigEndian16(be.data() + 2 * i); }, out, bad);
}

// What building an object found out about it.
struct Built {
    std::uint64_t expanded = 0;  // bytes it would take with nothing shared
    std::uint16_t height = 0;    // containers nested in it, itself included
};

class BinaryReader {
public:
    explicit BinaryReader(std::string_view bytes) : mBytes(bytes) {}

    ParseResult Read()
    {
        ParseResult result;
        result.format = Format::Binary;
        if (ReadTrailer() && Survey()) {
            mArena = std::make_shared<Arena>(static_cast<std::size_t>(mTreeBytes));
            Built built;
            result.root = ShareOf(mArena, Object(mTrailer.top, 0, built));
        }
        if (mFailed) result.root = nullptr;
        result.error = mError;
        return result;
    }

private:
    // Per object: being built (a second visit then is a cycle); used more than once, and then
    // its slot in mReused; before slots are given, how often it is referred to (0, 1, 2 = more).
    static constexpr std::uint32_t kBuilding = 1u << 31;
    static constexpr std::uint32_t kReused = 1u << 30;
    static constexpr std::uint32_t kSlotMask = kReused - 1;

    struct Reused {
        const CFObjectZorp* object = nullptr;
        Built built;
    };

    bool Fail(ErrorKind kind, std::uint64_t offset)
    {
        if (!mFailed) mError = {kind, static_cast<std::size_t>(offset)};
        mFailed = true;
        return false;
    }

    const CFObjectZorp* Refuse(ErrorKind kind, std::uint64_t offset)
    {
        Fail(kind, offset);
        return nullptr;
    }

    // The trailer checks of CoreFoundation's reader: any list they refuse, CF refuses too.
    bool ReadTrailer()
    {
        const std::uint64_t size = mBytes.size();
        if (size < kHeaderSize + 1 + kTrailerSize) return Fail(ErrorKind::TooShort, 0);
        if (mBytes.substr(0, 7) != "bplist0") return Fail(ErrorKind::BadHeader, 0);
        const std::uint64_t at = size - kTrailerSize;
        Cursor in(mBytes, at + 6, size);
        std::uint8_t offsetSize = 0, refSize = 0;
        in.Byte(offsetSize);
        in.Byte(refSize);
        in.Unsigned(8, mTrailer.count);
        in.Unsigned(8, mTrailer.top);
        in.Unsigned(8, mTrailer.tableOffset);
        mTrailer.offsetSize = offsetSize;
        mTrailer.refSize = refSize;
        const Trailer& t = mTrailer;

        if (t.offsetSize < 1 || t.offsetSize > 8) return Fail(ErrorKind::BadOffsetSize, at + 6);
        if (t.refSize < 1 || t.refSize > 8) return Fail(ErrorKind::BadReferenceSize, at + 7);
        if (t.count < 1 || t.count > kMaxIndex) return Fail(ErrorKind::BadObjectCount, at + 8);
        if (t.top >= t.count) return Fail(ErrorKind::BadTopObject, at + 16);
        if (t.tableOffset < kHeaderSize + 1 || t.tableOffset >= at)
            return Fail(ErrorKind::OffsetTableOutside, at + 24);
        // The offset table fills exactly the space between the objects and the trailer.
        if (t.count > (at - t.tableOffset) / t.offsetSize || t.count * t.offsetSize != at - t.tableOffset)
            return Fail(ErrorKind::OffsetTableGap, at + 24);
        if (t.refSize < 8 && (std::uint64_t{1} << (8 * t.refSize)) <= t.count)
            return Fail(ErrorKind::ReferencesTooSmall, at + 7);
        if (t.offsetSize < 8 && (std::uint64_t{1} << (8 * t.offsetSize)) <= t.tableOffset)
            return Fail(ErrorKind::OffsetsTooSmall, at + 6);
        // Lists this large would be gigabytes; refusing them keeps the per-object state in 32 bits.
        if (t.count > kSlotMask) return Fail(ErrorKind::TooManyObjects, at + 8);
        return true;
    }

    // One pass over the offset table: every offset is checked, referenced or not, as CoreFoundation
    // does; references are counted, so that only objects used more than once are kept for reuse; and
    // the room the tree takes is summed, so that it is taken at once.
    bool Survey()
    {
        mObjects.assign(mTrailer.count, 0);
        auto refer = [this](std::uint64_t index) {
            std::uint32_t& uses = mObjects[index];
            if (uses < 2) ++uses;
        };
        refer(mTrailer.top);
        for (std::uint64_t i = 0; i < mTrailer.count; ++i) {
            const std::uint64_t offset = OffsetOf(i);
            if (offset >= mTrailer.tableOffset)
                return Fail(ErrorKind::ObjectOutsideObjects, mTrailer.tableOffset + i * mTrailer.offsetSize);
            if (offset < kHeaderSize) continue;
            // Containers that do not read are skipped here; reading them later fails the list.
            Cursor in = ObjectCursor(offset);
            std::uint8_t marker = 0;
            std::uint64_t count = 0;
            std::string_view refs;
            in.Byte(marker);
            const unsigned type = marker >> 4;
            const bool counted =
                type >= 0x4 && type != 0x8 && CountFrom(in, marker & 0x0F, count) == ErrorKind::None;
            mTreeBytes = SaturatingAdd(mTreeBytes, TreeBytes(type, counted ? count : 0));
            if (!counted || (type != 0xA && type != 0xC && type != 0xD)) continue;
            if (!RefsFrom(in, type == 0xD ? 2 * count : count, refs)) continue;
            for (std::uint64_t r = 0; r < refs.size() / mTrailer.refSize; ++r) {
                const std::uint64_t index = RefAt(refs, r);
                if (index < mTrailer.count) refer(index);
            }
        }
        // Counts the file does not hold are no reason to take more than a few times its size.
        mTreeBytes = std::min(mTreeBytes, SaturatingAdd(4 * mBytes.size(), 1024));
        std::uint32_t slots = 0;
        for (std::uint32_t& uses : mObjects) uses = uses > 1 ? kReused | slots++ : 0;
        mReused.resize(slots);
        return true;
    }

    // The arena's room for an object with this marker type and count: strings from UTF-16 at their
    // longest in UTF-8, from Latin-1 as if ASCII.
    static std::uint64_t TreeBytes(unsigned type, std::uint64_t count)
    {
        const auto words = [](std::uint64_t bytes) { return (SaturatingAdd(bytes, 7) & ~std::uint64_t{7}); };
        switch (type) {
        case 0x4:
        case 0x5: return words(SaturatingAdd(8, count));
        case 0x6: return words(SaturatingAdd(8, count > kMaxIndex / 3 ? kMaxIndex : 3 * count));
        case 0xA:
        case 0xC: return count > kMaxIndex / 8 ? kMaxIndex : 8 + 8 * count;
        case 0xD:
            return count > kMaxIndex / 32
                       ? kMaxIndex
                       : sizeof(CFDictionaryZorp) + 16 * count + words(4 * Arena::KeptIndexWords(count));
        default: return 16;
        }
    }

    std::uint64_t OffsetOf(std::uint64_t index) const
    {
        return byteorder::BigEndian(mBytes.data() + mTrailer.tableOffset + index * mTrailer.offsetSize,
                                    mTrailer.offsetSize);
    }

    // Objects lie between the header and the offset table.
    Cursor ObjectCursor(std::uint64_t offset) const { return Cursor(mBytes, offset, mTrailer.tableOffset); }

    // Builds the object at `index`, nested `depth` containers deep, or takes it built already.
    const CFObjectZorp* Object(std::uint64_t index, int depth, Built& built)
    {
        std::uint32_t& state = mObjects[index];
        if (state & kBuilding) return Refuse(ErrorKind::ObjectContainsItself, OffsetOf(index));
        Reused* reused = state & kReused ? &mReused[state & kSlotMask] : nullptr;
        if (reused && reused->object) {
            // A reused object counts as deep as it is nested at each place it is used.
            if (depth + reused->built.height > kMaxDepth) return Refuse(kTooDeep, OffsetOf(index));
            built = reused->built;
            return reused->object;
        }
        const std::uint64_t offset = OffsetOf(index);
        if (offset < kHeaderSize) return Refuse(ErrorKind::ObjectInHeader, offset);
        state |= kBuilding;
        const CFObjectZorp* object = Build(offset, depth, built);
        if (!object) return nullptr;
        if (built.expanded > mExpansionLimit) return Refuse(ErrorKind::ExpandsTooFar, offset);
        state &= ~kBuilding;
        if (reused) *reused = {object, built};
        return object;
    }

    const CFObjectZorp* Build(std::uint64_t offset, int depth, Built& built)
    {
        Cursor in = ObjectCursor(offset);
        std::uint8_t marker = 0;
        in.Byte(marker);
        const unsigned low = marker & 0x0F;
        const CFObjectZorp* object = nullptr;
        switch (marker >> 4) {
        case 0x0:
            if (marker == 0x00)
                object = mArena->New<CFNullZorp>();
            else if (marker == 0x08)
                object = mArena->New<CFBooleanZorp>(false);
            else if (marker == 0x09)
                object = mArena->New<CFBooleanZorp>(true);
            else
                Fail(kUnknownMarker, offset);
            break;
        case 0x1: object = Integer(in, low, offset); break;
        case 0x2: object = Real(in, low, offset); break;
        case 0x3: object = marker == 0x33 ? Date(in, offset) : Refuse(kUnknownMarker, offset); break;
        case 0x4: object = Data(in, low, offset); break;
        case 0x5: object = AsciiString(in, low, offset); break;
        case 0x6: object = UTF16String(in, low, offset); break;
        case 0x8: object = UID(in, low, offset); break;
        case 0xA: object = Array(in, low, offset, depth, built, false); break;
        case 0xC: object = Array(in, low, offset, depth, built, true); break;
        case 0xD: object = Dictionary(in, low, offset, depth, built); break;
        default: Fail(kUnknownMarker, offset); break;
        }
        if (object) built.expanded = SaturatingAdd(built.expanded, in.Position() - offset);
        return object;
    }

    // 1, 2 and 4-byte integers are unsigned, 8-byte signed; of 16 bytes the low 8 count, unsigned.
    const CFObjectZorp* Integer(Cursor& in, unsigned low, std::uint64_t offset)
    {
        if (low > 4) return Refuse(kUnknownMarker, offset);
        const std::uint64_t size = std::uint64_t{1} << low;
        std::uint64_t value = 0;
        if (!in.Unsigned(size, value)) return Refuse(kTruncated, offset);
        const bool isUnsigned = size == 16 && value > kMaxIndex;
        return mArena->New<CFIntegerZorp>(value, isUnsigned);
    }

    const CFObjectZorp* Real(Cursor& in, unsigned low, std::uint64_t offset)
    {
        if (low != 2 && low != 3) return Refuse(kUnknownMarker, offset);
        std::uint64_t bits = 0;
        if (!in.Unsigned(std::uint64_t{1} << low, bits)) return Refuse(kTruncated, offset);
        if (low == 2) {
            float f = 0;
            const auto narrow = static_cast<std::uint32_t>(bits);
            std::memcpy(&f, &narrow, sizeof f);
            return mArena->New<CFRealZorp>(static_cast<double>(f));
        }
        double d = 0;
        std::memcpy(&d, &bits, sizeof d);
        return mArena->New<CFRealZorp>(d);
    }

    const CFObjectZorp* Date(Cursor& in, std::uint64_t offset)
    {
        std::uint64_t bits = 0;
        if (!in.Unsigned(8, bits)) return Refuse(kTruncated, offset);
        double seconds = 0;
        std::memcpy(&seconds, &bits, sizeof seconds);
        // CoreFoundation would write such a date as nonsense; refuse it rather than damage the file.
        if (!std::isfinite(seconds)) return Refuse(ErrorKind::NonFiniteDate, offset);
        return mArena->New<CFDateZorp>(seconds);
    }

    // The count in the marker's low nibble, or in an integer object after it when the nibble is 15;
    // None, or what is wrong.
    static ErrorKind CountFrom(Cursor& in, unsigned low, std::uint64_t& count)
    {
        if (low != 0x0F) {
            count = low;
            return ErrorKind::None;
        }
        std::uint8_t marker = 0;
        if (!in.Byte(marker)) return kTruncated;
        if ((marker >> 4) != 0x1) return ErrorKind::BadCount;
        // CoreFoundation takes a field of 256 bytes or more as zero (it keeps the size in one byte).
        const std::uint64_t size = std::uint64_t{1} << (marker & 0x0F);
        std::uint64_t value = 0;
        if (!in.Unsigned(size, value)) return kTruncated;
        count = size >= 256 ? 0 : value;
        if (count > kMaxIndex) return ErrorKind::BadCount;
        return ErrorKind::None;
    }

    bool Count(Cursor& in, unsigned low, std::uint64_t offset, std::uint64_t& count)
    {
        const ErrorKind wrong = CountFrom(in, low, count);
        return wrong != ErrorKind::None ? Fail(wrong, offset) : true;
    }

    bool RefsFrom(Cursor& in, std::uint64_t count, std::string_view& refs) const
    {
        return count <= kMaxIndex / mTrailer.refSize && in.Take(count * mTrailer.refSize, refs);
    }

    const CFObjectZorp* Data(Cursor& in, unsigned low, std::uint64_t offset)
    {
        std::uint64_t count = 0;
        std::string_view bytes;
        if (!Count(in, low, offset, count)) return nullptr;
        if (!in.Take(count, bytes)) return Refuse(kTruncated, offset);
        return mArena->Sequence<CFBinaryDataZorp>(bytes);
    }

    const CFObjectZorp* AsciiString(Cursor& in, unsigned low, std::uint64_t offset)
    {
        std::uint64_t count = 0;
        std::string_view bytes;
        if (!Count(in, low, offset, count)) return nullptr;
        if (!in.Take(count, bytes)) return Refuse(kTruncated, offset);
        const bool ascii = FirstNonASCII(bytes) == bytes.size();
        if (ascii) return mArena->Sequence<CFStringZorp>(bytes);
        return mArena->Sequence<CFStringZorp>(Latin1ToUTF8(bytes));
    }

    const CFObjectZorp* UTF16String(Cursor& in, unsigned low, std::uint64_t offset)
    {
        std::uint64_t count = 0;
        std::string_view bytes;
        if (!Count(in, low, offset, count)) return nullptr;
        if (count > kMaxIndex / 2 || !in.Take(count * 2, bytes)) return Refuse(kTruncated, offset);
        std::string& text = mScratch;
        text.clear();
        if (!DecodeUTF16BE(bytes, text)) return Refuse(ErrorKind::UnpairedSurrogate, offset);
        return mArena->Sequence<CFStringZorp>(text);
    }

    const CFObjectZorp* UID(Cursor& in, unsigned low, std::uint64_t offset)
    {
        std::uint64_t value = 0;
        if (!in.Unsigned(low + 1, value)) return Refuse(kTruncated, offset);
        if (value > std::numeric_limits<std::uint32_t>::max())
            return Refuse(ErrorKind::UIDOutOfRange, offset);
        return mArena->New<CFUIDZorp>(static_cast<std::uint32_t>(value));
    }

    bool Refs(Cursor& in, std::uint64_t count, std::uint64_t offset, std::string_view& refs)
    {
        return RefsFrom(in, count, refs) ? true : Fail(kTruncated, offset);
    }

    std::uint64_t RefAt(std::string_view refs, std::uint64_t i) const
    {
        return byteorder::BigEndian(refs.data() + i * mTrailer.refSize, mTrailer.refSize);
    }

    const CFObjectZorp* Child(std::string_view refs, std::uint64_t i, std::uint64_t offset, int depth,
                              Built& built)
    {
        const std::uint64_t index = RefAt(refs, i);
        if (index >= mTrailer.count) return Refuse(ErrorKind::ReferenceOutOfRange, offset);
        Built child;
        const CFObjectZorp* object = Object(index, depth + 1, child);
        built.expanded = SaturatingAdd(built.expanded, child.expanded);
        built.height = std::max(built.height, child.height);
        return object;
    }

    bool EnterContainer(int depth, std::uint64_t offset)
    {
        if (depth + 1 > kMaxDepth) return Fail(kTooDeep, offset);
        return true;
    }

    const CFObjectZorp* Array(Cursor& in, unsigned low, std::uint64_t offset, int depth, Built& built,
                              bool isSet)
    {
        std::uint64_t count = 0;
        std::string_view refs;
        if (!EnterContainer(depth, offset) || !Count(in, low, offset, count) ||
            !Refs(in, count, offset, refs))
            return nullptr;
        const std::size_t base = mPending.size();
        for (std::uint64_t i = 0; i < count; ++i) {
            const CFObjectZorp* item = Child(refs, i, offset, depth, built);
            if (!item) return nullptr;
            mPending.push_back(item);
        }
        ++built.height;
        const auto* array = mArena->Sequence<CFArrayZorp>(std::span(mPending).subspan(base),
                                                          isSet ? CFKind::Set : CFKind::Array);
        mPending.resize(base);
        return array;
    }

    // Keys are any non-container object; for a repeated key the first value wins, as in CoreFoundation.
    const CFObjectZorp* Dictionary(Cursor& in, unsigned low, std::uint64_t offset, int depth, Built& built)
    {
        std::uint64_t count = 0;
        std::string_view keyRefs, valueRefs;
        if (!EnterContainer(depth, offset) || !Count(in, low, offset, count) ||
            !Refs(in, count, offset, keyRefs) || !Refs(in, count, offset, valueRefs))
            return nullptr;
        // Placed before the children are read, so that no entry is copied.
        auto* entries = mArena->Array<Entry>(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            const CFObjectZorp* key = Child(keyRefs, i, offset, depth, built);
            if (!key) return nullptr;
            const CFKind kind = key->Kind();
            if (kind == CFKind::Array || kind == CFKind::Dictionary || kind == CFKind::Set)
                return Refuse(ErrorKind::ContainerKey, offset);
            const CFObjectZorp* value = Child(valueRefs, i, offset, depth, built);
            if (!value) return nullptr;
            entries[i] = {key, value};
        }
        ++built.height;
        return mArena->Dictionary(entries, count, Repeated::KeepFirst);
    }

    std::string_view mBytes;
    ArenaRef mArena;
    std::uint64_t mTreeBytes = 0;               // the room the tree takes, at most
    std::string mScratch;                       // UTF-16 text, as UTF-8, before it is copied in
    std::vector<const CFObjectZorp*> mPending;  // the items of the arrays being read, in order
    Trailer mTrailer;
    std::uint64_t mExpansionLimit = SaturatingAdd(kExpansionFactor * mBytes.size(), kExpansionAllowance);
    std::vector<std::uint32_t> mObjects;  // by object index: kBuilding, kReused and slot
    std::vector<Reused> mReused;          // objects used more than once, each built once
    ParseError mError;
    bool mFailed = false;
};

}  // namespace

ParseResult ParseBinary(std::string_view bytes)
{
    return BinaryReader(bytes).Read();
}

}  // namespace plist::detail
