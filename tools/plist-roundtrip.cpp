// Reads a property list the way the program does and prints CoreFoundation's XML of it.
#include "plist/plist.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: plist-roundtrip FILE\n";
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.is_open() || file.bad()) {
        std::cerr << argv[1] << ": cannot be read\n";
        return 1;
    }
    const plist::ParseResult parsed = plist::Parse(data);
    if (!parsed.root) {
        std::cerr << argv[1] << ": no root: " << parsed.error.reason << " (at byte " << parsed.error.offset << ")\n";
        return 1;
    }
    const std::optional<std::string> xml = plist::WriteXML(*parsed.root);
    if (!xml) {
        std::cerr << argv[1] << ": the property list holds what XML cannot carry (null, a set, or a key that is not a string)\n";
        return 1;
    }
    std::cout.write(xml->data(), static_cast<std::streamsize>(xml->size()));
    return std::cout.flush() ? 0 : 1;
}
