// SPDX-License-Identifier: MIT
#include "appledouble.h"

#include "byte_view.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <unordered_set>

namespace macfork {

namespace {

constexpr std::uint32_t kMagic = 0x00051607;
constexpr std::uint32_t kVersion1 = 0x00010000, kVersion2 = 0x00020000;
// The header: magic, version, filler, entry count; then each entry's ID, offset and length.
constexpr std::uint64_t kTableStart = 4 + 4 + 16 + 2;
constexpr std::uint64_t kDescriptorSize = 4 + 4 + 4;
constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();

std::uint64_t HeaderEnd(std::uint64_t count)
{
    return kTableStart + kDescriptorSize * count;
}

// macOS keeps extended attributes after the Finder info with offsets from the companion's
// start; when the entry itself has to move, those offsets move with it.
void MoveAttributeOffsets(std::string& info, std::uint64_t from, std::uint64_t to)
{
    constexpr std::size_t kAttr = 34;
    ByteView view(info);
    auto magic = view.Slice(kAttr, 4);
    auto count = view.U16(kAttr + 34);
    if (!magic || *magic != "ATTR" || !count) return;

    const std::uint64_t end = from + info.size();
    auto shift = [&](std::uint64_t at) {
        auto value = view.U32(at);
        if (!value || *value < from || *value > end) return;
        std::uint64_t moved = *value - from + to;
        if (moved <= kLimit)
            SetBigEndian(info, static_cast<std::size_t>(at), static_cast<std::uint32_t>(moved), 4);
    };
    shift(kAttr + 8);   // total size
    shift(kAttr + 12);  // attribute data
    std::uint64_t at = kAttr + 36;
    for (std::uint32_t i = 0; i < *count; ++i) {
        auto nameLength = view.U8(at + 10);
        if (!nameLength) return;
        shift(at);
        at += (11 + *nameLength + 3) / 4 * 4;
    }
}

}  // namespace

Result<AppleDouble> ReadAppleDouble(std::string_view bytes)
{
    ByteView in(bytes);
    auto magic = in.U32(0);
    if (!magic) return Error{ErrorKind::Truncated, in.size()};
    if (*magic != kMagic) return Error{ErrorKind::BadMagic, 0};
    auto version = in.U32(4);
    auto count = in.U16(24);
    if (!version || !count) return Error{ErrorKind::Truncated, in.size()};
    if (*version != kVersion1 && *version != kVersion2) return Error{ErrorKind::BadVersion, 4};
    const std::uint64_t headerEnd = HeaderEnd(*count);
    if (!in.Holds(0, headerEnd)) return Error{ErrorKind::Truncated, 24};

    AppleDouble file;
    file.version = *version;
    file.filler = std::string(*in.Slice(8, 16));
    file.source = std::string(bytes);
    std::unordered_set<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < *count; ++i) {
        const std::uint64_t at = HeaderEnd(i);
        const std::uint32_t id = *in.U32(at);
        const std::uint64_t offset = *in.U32(at + 4);
        const std::uint64_t length = *in.U32(at + 8);
        if (id == 0) return Error{ErrorKind::InvalidEntryId, at};
        if (!in.Holds(offset, length)) return Error{ErrorKind::EntryOutOfRange, at};
        if (length > 0 && offset < headerEnd) return Error{ErrorKind::EntryOverlapsHeader, at};
        if (!ids.insert(id).second) return Error{ErrorKind::DuplicateEntry, at};
        file.entries.push_back({id, std::string(*in.Slice(offset, length)), offset, length});
    }

    std::vector<std::size_t> order(file.entries.size());
    std::iota(order.begin(), order.end(), 0);
    std::erase_if(order, [&](std::size_t i) { return file.entries[i].readLength == 0; });
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return *file.entries[a].offset < *file.entries[b].offset;
    });
    for (std::size_t k = 1; k < order.size(); ++k) {
        const auto& before = file.entries[order[k - 1]];
        const auto& after = file.entries[order[k]];
        if (*before.offset + before.readLength > *after.offset)
            return Error{ErrorKind::EntriesOverlap, HeaderEnd(order[k])};
    }
    return file;
}

std::optional<EntrySpan> LocateEntry(std::string_view headerAndTable, std::uint32_t id)
{
    ByteView in(headerAndTable);
    auto magic = in.U32(0);
    auto version = in.U32(4);
    auto count = in.U16(24);
    if (!count || *magic != kMagic || (*version != kVersion1 && *version != kVersion2)) return std::nullopt;
    for (std::uint32_t i = 0; i < *count && in.Holds(HeaderEnd(i), kDescriptorSize); ++i) {
        const std::uint64_t at = HeaderEnd(i);
        if (*in.U32(at) == id) return EntrySpan{*in.U32(at + 4), *in.U32(at + 8)};
    }
    return std::nullopt;
}

const AppleDoubleEntry* FindEntry(const AppleDouble& file, std::uint32_t id)
{
    auto it = std::find_if(file.entries.begin(), file.entries.end(),
                           [id](const AppleDoubleEntry& e) { return e.id == id; });
    return it == file.entries.end() ? nullptr : &*it;
}

void SetEntry(AppleDouble& file, std::uint32_t id, std::string bytes)
{
    for (auto& entry : file.entries) {
        if (entry.id == id) {
            entry.bytes = std::move(bytes);
            return;
        }
    }
    file.entries.push_back({id, std::move(bytes), std::nullopt, 0});
}

Result<std::string> WriteAppleDouble(const AppleDouble& file)
{
    const auto& entries = file.entries;
    if (entries.size() > 0xFFFF) return Error{ErrorKind::TooLarge, kTableStart - 2};
    const auto readCount = static_cast<std::uint64_t>(
        std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.offset.has_value(); }));
    const std::uint64_t oldHeaderEnd = file.source.empty() ? 0 : HeaderEnd(readCount);
    const std::uint64_t newHeaderEnd = HeaderEnd(entries.size());

    // Entries in file order; an empty one before a filled one at the same offset.
    std::vector<std::size_t> placed, added;
    for (std::size_t i = 0; i < entries.size(); ++i) (entries[i].offset ? placed : added).push_back(i);
    std::stable_sort(placed.begin(), placed.end(), [&](std::size_t a, std::size_t b) {
        const auto& x = entries[a];
        const auto& y = entries[b];
        if (*x.offset != *y.offset) return *x.offset < *y.offset;
        return x.readLength == 0 && y.readLength > 0;
    });

    // A grown table takes its room from the filler bytes right after the old one, when there are.
    std::uint64_t firstOffset = file.source.size();
    for (std::size_t i : placed)
        if (entries[i].readLength > 0) firstOffset = std::min(firstOffset, *entries[i].offset);
    const std::uint64_t freeRoom = firstOffset > oldHeaderEnd ? firstOffset - oldHeaderEnd : 0;
    std::uint64_t cursor = oldHeaderEnd + std::min(freeRoom, newHeaderEnd - oldHeaderEnd);

    std::string out(static_cast<std::size_t>(newHeaderEnd), '\0');
    std::vector<std::uint64_t> newOffsets(entries.size(), 0);
    auto copySource = [&](std::uint64_t from, std::uint64_t to) {
        out.append(file.source, static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
    };
    for (std::size_t i : placed) {
        const auto& entry = entries[i];
        const std::uint64_t offset = *entry.offset;
        if (offset > cursor) {
            copySource(cursor, offset);
            cursor = offset;
        }
        if (offset < cursor && entry.bytes.empty()) {
            // An empty entry may lie inside bytes already placed; one that grew goes after them.
            const auto shifted = static_cast<std::int64_t>(offset) + static_cast<std::int64_t>(out.size()) -
                                 static_cast<std::int64_t>(cursor);
            newOffsets[i] = static_cast<std::uint64_t>(std::max<std::int64_t>(shifted, 0));
        } else {
            newOffsets[i] = out.size();
        }
        std::string bytes = entry.bytes;
        if (entry.id == kFinderInfoEntry && newOffsets[i] != offset)
            MoveAttributeOffsets(bytes, offset, newOffsets[i]);
        out += bytes;
        cursor = std::max(cursor, offset + entry.readLength);
    }
    if (cursor < file.source.size()) copySource(cursor, file.source.size());
    for (std::size_t i : added) {
        newOffsets[i] = out.size();
        out += entries[i].bytes;
    }
    if (out.size() > kLimit) return Error{ErrorKind::TooLarge, 0};

    std::string header;
    PutBigEndian(header, kMagic, 4);
    PutBigEndian(header, file.version, 4);
    std::string filler = file.filler;
    filler.resize(16, '\0');
    header += filler;
    PutBigEndian(header, static_cast<std::uint32_t>(entries.size()), 2);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PutBigEndian(header, entries[i].id, 4);
        PutBigEndian(header, static_cast<std::uint32_t>(newOffsets[i]), 4);
        PutBigEndian(header, static_cast<std::uint32_t>(entries[i].bytes.size()), 4);
    }
    out.replace(0, header.size(), header);
    return out;
}

}  // namespace macfork
