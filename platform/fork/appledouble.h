// SPDX-License-Identifier: MIT
#pragma once
// AppleDouble companions ("._" + a file's name): a header and a table of entries, each an ID
// and its bytes. Versions 1 and 2 share the layout. Writing keeps every byte it is not asked
// to change: filler, entry order, gaps, unknown entries, and the offsets of entries that lie
// before a changed one.

#include "error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace macfork {

enum EntryId : std::uint32_t {
    kDataForkEntry = 1,
    kResourceForkEntry = 2,
    kFinderInfoEntry = 9,
};

struct AppleDoubleEntry {
    std::uint32_t id = 0;
    std::string bytes;
    std::optional<std::uint64_t> offset;  // where it was read; none for an added entry
    std::uint64_t readLength = 0;         // its length when read
};

struct AppleDouble {
    std::uint32_t version = 0x00020000;
    std::string filler = std::string(16, '\0');
    std::vector<AppleDoubleEntry> entries;  // in table order
    std::string source;                     // the bytes read, for what lies between entries
};

Result<AppleDouble> ReadAppleDouble(std::string_view bytes);

// Where an entry lies by the header and table alone (the first kMaxTableEnd bytes or fewer),
// tolerating faults elsewhere: a file's type can be told when the whole companion will not read.
struct EntrySpan {
    std::uint64_t offset;
    std::uint64_t length;
};
constexpr std::uint64_t kMaxTableEnd = 26 + 12 * 0xFFFF;
std::optional<EntrySpan> LocateEntry(std::string_view headerAndTable, std::uint32_t id);

// The entry with that ID, or nullptr.
const AppleDoubleEntry* FindEntry(const AppleDouble& file, std::uint32_t id);

// Replaces the bytes of the entry with that ID, or appends a new entry to the table.
void SetEntry(AppleDouble& file, std::uint32_t id, std::string bytes);

// The companion's bytes; an error when an offset or length no longer fits 32 bits.
Result<std::string> WriteAppleDouble(const AppleDouble& file);

}  // namespace macfork
