// SPDX-License-Identifier: MIT
#pragma once
// What the fork tests share: big-endian patching, a companion as our reader sees it, and the
// independent writer and reader in tools/make_appledouble.py.

#include "file_fixtures.h"
#include "platform/fork/appledouble.h"
#include "platform/fork/resource_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>

namespace forktest {

using namespace fixtures;

// A real companion or fork made by other tools, from the shared folder (see HaveShared).
inline fs::path Sample(const std::string& name)
{
    return kShared / "samples/appledouble" / name;
}

inline std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// The bytes with `width` big-endian bytes at `at` set to `value`.
inline std::string Patched(std::string bytes, std::size_t at, int width, std::uint32_t value)
{
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> ((width - 1 - i) * 8));
    return bytes;
}

inline std::string Be(std::uint32_t value, int width)
{
    return Patched(std::string(std::size_t(width), '\0'), 0, width, value);
}

inline std::uint32_t Get32(const std::string& bytes, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

// Everything a fork holds, one resource a line: "type id attributes 'name' handle data-in-hex".
inline std::string Contents(const macfork::ResourceMap& map)
{
    std::string out = Hex(map.systemArea) + " map " + std::to_string(map.attributes) + " " +
                      std::to_string(map.nextMapHandle) + " " + std::to_string(map.fileReference) +
                      (map.headerCopyInMap ? " copy\n" : " zeros\n");
    for (const auto& type : map.types)
        for (const auto& r : type.resources)
            out += type.code + " " + std::to_string(r.id) + " " + std::to_string(r.attributes) + " " +
                   (r.name ? "'" + *r.name + "'" : "-") + " " + std::to_string(r.handle) + " " + Hex(r.data) +
                   "\n";
    return out;
}

// A companion as our reader sees it: header, every entry but the fork, and the fork's Contents.
inline std::string Facts(const std::string& bytes)
{
    auto file = macfork::ReadAppleDouble(bytes);
    if (!file) return "unreadable\n";
    std::string out = std::to_string(file->version) + " " + Hex(file->filler) + "\n";
    for (const auto& e : file->entries)
        out += "entry " + std::to_string(e.id) + " " +
               (e.id == macfork::kResourceForkEntry ? "" : Hex(e.bytes)) + "\n";
    const auto* fork = macfork::FindEntry(*file, macfork::kResourceForkEntry);
    auto map = macfork::ReadResourceMap(fork ? fork->bytes : "");
    return out + (map ? Contents(*map) : "fork unreadable\n");
}

// The lines of the text that start with none of the prefixes.
inline std::string Without(const std::string& text, std::initializer_list<std::string_view> prefixes)
{
    std::string kept;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        bool dropped = false;
        for (std::string_view prefix : prefixes) dropped = dropped || line.starts_with(prefix);
        if (!dropped) kept += line + "\n";
    }
    return kept;
}

// Writes the companion that the independent writer makes from a JSON description.
inline void BuildCompanion(const std::string& description, const fs::path& out)
{
    const fs::path descriptionFile = out.string() + ".json";
    WriteBytes(descriptionFile, description);
    const Finished end = RunProgram({VEILOR_PYTHON, VEILOR_FORK_TOOL, "build", descriptionFile, out});
    ASSERT_EQ(end.status, 0) << end.err;
    fs::remove(descriptionFile);
}

// What the independent reader sees in a companion, one fact a line.
inline std::string DumpCompanion(const fs::path& file)
{
    return RunProgram({VEILOR_PYTHON, VEILOR_FORK_TOOL, "dump", file}).out;
}

}  // namespace forktest
