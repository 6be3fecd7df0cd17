// SPDX-License-Identifier: MIT
// Reads a property list the way the program does and prints CoreFoundation's XML of it.
#include "plist/plist.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The whole file, or the reason it cannot be read.
bool ReadFile(const char* path, std::string& bytes, std::string& reason) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) {
        reason = std::strerror(errno);
        return false;
    }
    char buffer[1 << 16];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes.append(buffer, n);
    if (std::ferror(file.get())) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: plist-roundtrip FILE\n");
        return 2;
    }
    std::string data, reason;
    if (!ReadFile(argv[1], data, reason)) {
        std::fprintf(stderr, "%s: cannot be read: %s\n", argv[1], reason.c_str());
        return 1;
    }
    const plist::ParseResult parsed = plist::Parse(data);
    if (!parsed.root) {
        std::fprintf(stderr, "%s: no root: %s (at byte %zu)\n", argv[1], plist::Describe(parsed.error.kind), parsed.error.offset);
        return 1;
    }
    const std::optional<std::string> xml = plist::WriteXML(*parsed.root);
    if (!xml) {
        std::fprintf(stderr, "%s: holds what XML cannot carry (null, a set, or a key that is not a string)\n", argv[1]);
        return 1;
    }
    if (std::fwrite(xml->data(), 1, xml->size(), stdout) != xml->size() || std::fflush(stdout) != 0) return 1;
    return 0;
}
