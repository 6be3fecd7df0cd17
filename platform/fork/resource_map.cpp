// SPDX-License-Identifier: MIT
#include "resource_map.h"

#include "byte_view.h"

#include <algorithm>
#include <set>
#include <utility>

namespace macfork {

namespace {

// The header: data offset, map offset, data length, map length.
constexpr std::uint64_t kHeaderSize = 4 * 4;
constexpr std::uint64_t kDataStart = 256;
// The map: a copy of the header, next map, file reference, attributes, the offsets of the type
// and name lists; the type list, which follows, begins with its count less one.
constexpr std::uint64_t kTypeListOffset = kHeaderSize + 4 + 2 + 2 + 2 + 2;
constexpr std::uint64_t kMinMapSize = kTypeListOffset + 2;
// A type: its code, its count less one, the offset of its references. A reference: ID, name
// offset, attributes with the data offset, handle.
constexpr std::uint64_t kTypeSize = 4 + 2 + 2;
constexpr std::uint64_t kReferenceSize = 2 + 2 + 4 + 4;
constexpr std::uint32_t kNoName = 0xFFFF;

struct Span {
    std::uint64_t start;
    std::uint64_t length;
    std::uint64_t reportAt;
};

bool Overlap(std::uint64_t aStart, std::uint64_t aLength, std::uint64_t bStart, std::uint64_t bLength)
{
    return aLength > 0 && bLength > 0 && aStart < bStart + bLength && bStart < aStart + aLength;
}

// The first span that overlaps one before it, in order of position.
std::optional<std::uint64_t> FirstOverlap(std::vector<Span> spans)
{
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span& a, const Span& b) { return a.start < b.start; });
    for (std::size_t i = 1; i < spans.size(); ++i)
        if (spans[i - 1].start + spans[i - 1].length > spans[i].start) return spans[i].reportAt;
    return std::nullopt;
}

}  // namespace

Result<ResourceMap> ReadResourceMap(std::string_view bytes)
{
    ResourceMap map;
    if (bytes.empty()) return map;

    ByteView in(bytes);
    auto dataOffset = in.U32(0);
    auto mapOffset = in.U32(4);
    auto dataLength = in.U32(8);
    auto mapLength = in.U32(12);
    if (!mapLength) return Error{ErrorKind::Truncated, in.size()};
    if (!in.Holds(*dataOffset, *dataLength)) return Error{ErrorKind::HeaderOutOfRange, 0};
    if (!in.Holds(*mapOffset, *mapLength)) return Error{ErrorKind::HeaderOutOfRange, 4};
    if (*mapLength < kMinMapSize) return Error{ErrorKind::MapTooShort, 12};
    if (Overlap(*dataOffset, *dataLength, *mapOffset, *mapLength) ||
        Overlap(*dataOffset, *dataLength, 0, kHeaderSize))
        return Error{ErrorKind::DataOverlapsMap, 0};
    if (Overlap(*mapOffset, *mapLength, 0, kHeaderSize)) return Error{ErrorKind::DataOverlapsMap, 4};

    const ByteView m(*in.Slice(*mapOffset, *mapLength));
    const ByteView data(*in.Slice(*dataOffset, *dataLength));
    auto at = [&](std::uint64_t inMap) { return *mapOffset + inMap; };

    const bool reservedFree = !Overlap(*dataOffset, *dataLength, kHeaderSize, kDataStart - kHeaderSize) &&
                              !Overlap(*mapOffset, *mapLength, kHeaderSize, kDataStart - kHeaderSize);
    if (reservedFree && in.Holds(kHeaderSize, kDataStart - kHeaderSize))
        map.systemArea = std::string(*in.Slice(kHeaderSize, kDataStart - kHeaderSize));
    map.headerCopyInMap = *m.Slice(0, kHeaderSize) != std::string(kHeaderSize, '\0');
    map.nextMapHandle = *m.U32(16);
    map.fileReference = static_cast<std::uint16_t>(*m.U16(20));
    map.attributes = static_cast<std::uint16_t>(*m.U16(22));
    const std::uint64_t typeList = *m.U16(24);
    const std::uint64_t nameList = *m.U16(26);
    if (!m.Holds(typeList, 2)) return Error{ErrorKind::ListOutOfRange, at(24)};
    if (nameList > m.size()) return Error{ErrorKind::ListOutOfRange, at(26)};
    const ByteView names(*m.Slice(nameList, m.size() - nameList));

    const std::uint64_t typeCount = (*m.U16(typeList) + 1) & 0xFFFF;
    if (!m.Holds(typeList + 2, kTypeSize * typeCount))
        return Error{ErrorKind::TypeListOutOfRange, at(typeList)};

    std::set<std::string> codes;
    std::vector<Span> referenceLists, blocks;
    for (std::uint64_t t = 0; t < typeCount; ++t) {
        const std::uint64_t entry = typeList + 2 + kTypeSize * t;
        ResourceType type{std::string(*m.Slice(entry, 4)), {}};
        const std::uint64_t count = *m.U16(entry + 4) + 1;
        const std::uint64_t references = typeList + *m.U16(entry + 6);
        if (!codes.insert(type.code).second) return Error{ErrorKind::DuplicateType, at(entry)};
        if (!m.Holds(references, kReferenceSize * count))
            return Error{ErrorKind::ReferenceListOutOfRange, at(entry + 6)};
        referenceLists.push_back({references, kReferenceSize * count, at(entry + 6)});

        std::set<std::int16_t> ids;
        for (std::uint64_t r = 0; r < count; ++r) {
            const std::uint64_t ref = references + kReferenceSize * r;
            Resource resource;
            resource.id = static_cast<std::int16_t>(*m.U16(ref));
            const std::uint32_t nameOffset = *m.U16(ref + 2);
            resource.attributes = static_cast<std::uint8_t>(*m.U8(ref + 4));
            const std::uint32_t dataAt = *m.U24(ref + 5);
            resource.handle = *m.U32(ref + 8);
            if (!ids.insert(resource.id).second) return Error{ErrorKind::DuplicateId, at(ref)};

            auto length = data.U32(dataAt);
            auto block = length ? data.Slice(dataAt + 4, *length) : std::nullopt;
            if (!block) return Error{ErrorKind::DataOutOfRange, at(ref + 5)};
            resource.data = std::string(*block);
            resource.dataOrder = dataAt;
            blocks.push_back({dataAt, 4 + *length, at(ref + 5)});

            if (nameOffset != kNoName) {
                auto nameLength = names.U8(nameOffset);
                auto name = nameLength ? names.Slice(nameOffset + 1, *nameLength) : std::nullopt;
                if (!name) return Error{ErrorKind::NameOutOfRange, at(ref + 2)};
                resource.name = std::string(*name);
                resource.nameOrder = nameOffset;
            }
            type.resources.push_back(std::move(resource));
        }
        map.types.push_back(std::move(type));
    }
    // Shared lists or blocks would let a small fork stand for an enormous one.
    if (auto overlap = FirstOverlap(std::move(referenceLists)))
        return Error{ErrorKind::ReferenceListOutOfRange, *overlap};
    if (auto overlap = FirstOverlap(std::move(blocks))) return Error{ErrorKind::DataOutOfRange, *overlap};
    return map;
}

Result<std::string> WriteResourceMap(const ResourceMap& map)
{
    std::vector<const ResourceType*> types;
    std::vector<const Resource*> resources;
    for (const auto& type : map.types) {
        if (type.resources.empty()) continue;
        if (type.code.size() != 4) return Error{ErrorKind::TooLarge, 0};
        types.push_back(&type);
        for (const auto& resource : type.resources) resources.push_back(&resource);
    }
    if (types.size() > 0x10000) return Error{ErrorKind::TooLarge, 0};

    auto inOrder = [&](auto key) {
        std::vector<std::size_t> order(resources.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return key(*resources[a]) < key(*resources[b]);
        });
        return order;
    };

    std::string data;
    std::vector<std::uint32_t> dataOffsets(resources.size());
    for (std::size_t i : inOrder([](const Resource& r) { return r.dataOrder; })) {
        const std::string& bytes = resources[i]->data;
        if (data.size() > 0xFFFFFF || bytes.size() > 0xFFFFFFFFu - 4) return Error{ErrorKind::TooLarge, 0};
        dataOffsets[i] = static_cast<std::uint32_t>(data.size());
        PutBigEndian(data, static_cast<std::uint32_t>(bytes.size()), 4);
        data += bytes;
    }

    std::string names;
    std::vector<std::uint32_t> nameOffsets(resources.size(), kNoName);
    for (std::size_t i : inOrder([](const Resource& r) { return r.nameOrder; })) {
        const auto& name = resources[i]->name;
        if (!name) continue;
        if (name->size() > 255 || names.size() >= kNoName) return Error{ErrorKind::TooLarge, 0};
        nameOffsets[i] = static_cast<std::uint32_t>(names.size());
        names.push_back(static_cast<char>(name->size()));
        names += *name;
    }

    const std::uint64_t referencesStart = 2 + kTypeSize * types.size();
    const std::uint64_t nameList = kTypeListOffset + referencesStart + kReferenceSize * resources.size();
    if (nameList > 0xFFFF) return Error{ErrorKind::TooLarge, 0};

    std::string body;
    PutBigEndian(body, map.nextMapHandle, 4);
    PutBigEndian(body, map.fileReference, 2);
    PutBigEndian(body, map.attributes, 2);
    PutBigEndian(body, kTypeListOffset, 2);
    PutBigEndian(body, static_cast<std::uint32_t>(nameList), 2);
    PutBigEndian(body, static_cast<std::uint32_t>((types.size() - 1) & 0xFFFF), 2);
    std::uint64_t referenceAt = referencesStart;
    for (const ResourceType* type : types) {
        body += type->code;
        PutBigEndian(body, static_cast<std::uint32_t>(type->resources.size() - 1), 2);
        PutBigEndian(body, static_cast<std::uint32_t>(referenceAt), 2);
        referenceAt += kReferenceSize * type->resources.size();
    }
    for (std::size_t i = 0; i < resources.size(); ++i) {
        PutBigEndian(body, static_cast<std::uint16_t>(resources[i]->id), 2);
        PutBigEndian(body, nameOffsets[i], 2);
        PutBigEndian(body, resources[i]->attributes, 1);
        PutBigEndian(body, dataOffsets[i], 3);
        PutBigEndian(body, resources[i]->handle, 4);
    }
    body += names;

    const std::uint64_t mapLength = kHeaderSize + body.size();
    const std::uint64_t mapOffset = kDataStart + data.size();
    if (mapOffset + mapLength > 0xFFFFFFFFu) return Error{ErrorKind::TooLarge, 0};
    std::string header;
    PutBigEndian(header, static_cast<std::uint32_t>(kDataStart), 4);
    PutBigEndian(header, static_cast<std::uint32_t>(mapOffset), 4);
    PutBigEndian(header, static_cast<std::uint32_t>(data.size()), 4);
    PutBigEndian(header, static_cast<std::uint32_t>(mapLength), 4);

    std::string systemArea = map.systemArea;
    systemArea.resize(kDataStart - kHeaderSize, '\0');
    std::string fork = header + systemArea + data;
    fork += map.headerCopyInMap ? header : std::string(kHeaderSize, '\0');
    fork += body;
    return fork;
}

const Resource* FindResource(const ResourceMap& map, std::string_view type, std::int16_t id)
{
    for (const auto& t : map.types) {
        if (t.code != type) continue;
        for (const auto& resource : t.resources)
            if (resource.id == id) return &resource;
    }
    return nullptr;
}

void AddResource(ResourceMap& map, std::string_view type, std::int16_t id, std::string data,
                 const std::string& name)
{
    std::optional<std::string> newName;
    if (!name.empty()) newName = name;
    auto t = std::find_if(map.types.begin(), map.types.end(),
                          [&](const ResourceType& candidate) { return candidate.code == type; });
    if (t == map.types.end()) t = map.types.insert(map.types.end(), ResourceType{std::string(type), {}});
    for (auto& resource : t->resources) {
        if (resource.id == id) {
            resource.data = std::move(data);
            resource.name = std::move(newName);
            return;
        }
    }
    Resource resource;
    resource.id = id;
    resource.name = std::move(newName);
    resource.data = std::move(data);
    t->resources.push_back(std::move(resource));
}

}  // namespace macfork
