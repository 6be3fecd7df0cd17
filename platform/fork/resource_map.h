// SPDX-License-Identifier: MIT
#pragma once
// Classic Mac resource forks: a header, the resources' data, and a map of types, IDs, names
// and attributes. Writing gives a compact, well-formed fork that keeps every resource with
// its ID, name and attributes, the map's attributes, the order of types and of resources.

#include "error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace macfork {

struct Resource {
    std::int16_t id = 0;
    std::optional<std::string> name;  // none: written as FF FF
    std::uint8_t attributes = 0;
    std::uint32_t handle = 0;  // the reference's reserved field, kept as read
    std::string data;
    // Where the data block and the name were read; the writer keeps that order.
    std::uint64_t dataOrder = UINT64_MAX;
    std::uint64_t nameOrder = UINT64_MAX;
};

struct ResourceType {
    std::string code;  // four bytes
    std::vector<Resource> resources;
};

struct ResourceMap {
    std::string systemArea = std::string(240, '\0');  // the header's reserved bytes 16..255
    bool headerCopyInMap = true;                      // false: the map's first 16 bytes are zeros
    std::uint32_t nextMapHandle = 0;
    std::uint16_t fileReference = 0;
    std::uint16_t attributes = 0;
    std::vector<ResourceType> types;
};

// A fork of 0 bytes is an empty fork.
Result<ResourceMap> ReadResourceMap(std::string_view bytes);
Result<std::string> WriteResourceMap(const ResourceMap& map);

// The resource of that type and ID, or nullptr.
const Resource* FindResource(const ResourceMap& map, std::string_view type, std::int16_t id);

// Adds the resource at the end of its type (a new type at the end of the list), or replaces
// the data and name of the one there, keeping its attributes. An empty name means no name.
void AddResource(ResourceMap& map, std::string_view type, std::int16_t id, std::string data,
                 const std::string& name);

}  // namespace macfork
