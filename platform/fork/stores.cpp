// SPDX-License-Identifier: MIT
#include "stores.h"

#include "appledouble.h"
#include "byte_view.h"

namespace macfork {

namespace {

constexpr std::size_t kFinderInfoSize = 32;
constexpr std::size_t kAfpInfoSize = 60;
constexpr std::size_t kNetatalkMetadataSize = 402;
constexpr unsigned kMostExtents = 15;

}  // namespace

Result<std::string> AfpInfoFinderInfo(std::string_view stream)
{
    // Samba keeps exactly 60 bytes; anything else was cut or made by someone else.
    if (stream.size() != kAfpInfoSize) return Error{ErrorKind::BadLength, stream.size()};
    if (stream.substr(0, 4) != std::string_view("AFP\0", 4)) return Error{ErrorKind::BadMagic, 0};
    return std::string(stream.substr(16, kFinderInfoSize));
}

Result<std::string> NetatalkMetadataFinderInfo(std::string_view attribute)
{
    // Samba's test: exactly 402 bytes, version 2, 8 entries, every offset set, every entry inside.
    if (attribute.size() != kNetatalkMetadataSize) return Error{ErrorKind::BadLength, attribute.size()};
    auto file = ReadAppleDouble(attribute);
    if (!file) return file.error();
    if (file->version != 0x00020000) return Error{ErrorKind::BadVersion, 4};
    if (file->entries.size() != 8) return Error{ErrorKind::BadLength, 24};
    for (const auto& entry : file->entries)
        if (*entry.offset == 0) return Error{ErrorKind::EntryOutOfRange, 26};
    const AppleDoubleEntry* info = FindEntry(*file, kFinderInfoEntry);
    if (!info || info->bytes.size() != kFinderInfoSize) return Error{ErrorKind::BadLength, 26};
    return info->bytes;
}

Result<std::string> EmulatorFinderInfo(std::string_view file)
{
    // The emulator writes FInfo and FXInfo; FInfo alone is what it needs.
    if (file.size() != kFinderInfoSize && file.size() != kFinderInfoSize / 2)
        return Error{ErrorKind::BadLength, file.size()};
    std::string info(file);
    info.resize(kFinderInfoSize, '\0');
    return info;
}

Result<unsigned> StreamExtents(std::string_view anchor)
{
    if (anchor.empty()) return Error{ErrorKind::Truncated, 0};
    const auto count = static_cast<unsigned char>(anchor.back());
    if (count > kMostExtents) return Error{ErrorKind::BadLength, anchor.size() - 1};
    return unsigned(count);
}

Result<std::string> JoinStream(std::string_view anchor, const std::vector<std::string>& extents)
{
    auto count = StreamExtents(anchor);
    if (!count) return count.error();
    if (extents.size() != *count) return Error{ErrorKind::Truncated, anchor.size()};
    std::string stream(anchor.substr(0, anchor.size() - 1));
    // Every extent but the last is a whole fragment (the anchor's size); none is empty.
    for (std::size_t i = 0; i < extents.size(); ++i) {
        const bool last = i + 1 == extents.size();
        if (extents[i].empty() || extents[i].size() > anchor.size() ||
            (!last && extents[i].size() != anchor.size()))
            return Error{ErrorKind::Truncated, stream.size()};
        stream += extents[i];
    }
    return stream;
}

Result<std::vector<std::string>> SplitStream(std::string_view stream, std::uint64_t fragment,
                                             unsigned maxExtents)
{
    std::vector<std::string> values;
    if (maxExtents == 0 || stream.size() < fragment) {
        values.emplace_back(stream);
        values.back().push_back('\0');
        return values;
    }
    if (fragment == 0) return Error{ErrorKind::TooLarge, 0};
    const std::uint64_t rest = stream.size() - (fragment - 1);
    const std::uint64_t extents = (rest + fragment - 1) / fragment;
    if (extents > maxExtents || extents > kMostExtents) return Error{ErrorKind::TooLarge, 0};
    values.emplace_back(stream.substr(0, fragment - 1));
    values.back().push_back(static_cast<char>(extents));
    for (std::uint64_t at = fragment - 1; at < stream.size(); at += fragment)
        values.emplace_back(stream.substr(at, fragment));
    return values;
}

}  // namespace macfork
