// SPDX-License-Identifier: MIT
// The peer of tools/plist-roundtrip for whole-process timing: libplist reads FILE (XML or
// binary) and prints its XML, written as a small program using libplist would be.

#include <plist/plist.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: libplist-roundtrip FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (!file) return 1;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    std::vector<char> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
    const bool read = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    std::fclose(file);
    if (!read) return 1;

    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (!root) return 1;
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    const bool written = xml && std::fwrite(xml, 1, length, stdout) == length && std::fflush(stdout) == 0;
    plist_to_xml_free(xml);
    plist_free(root);
    return written ? 0 : 1;
}
