// SPDX-License-Identifier: MIT
// Writes our crafted executables into a folder: the macho_fuzz seed corpus
// (`macho_seeds fuzz/corpus/macho_fuzz`).

#include "tests/macho_craft.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: macho_seeds FOLDER\n");
        return 2;
    }
    using craft::Shape;
    const auto with = [](std::function<void(Shape&)> change) {
        Shape shape;
        change(shape);
        return craft::Thin(shape).bytes;
    };
    const std::string thin64 = with([](Shape&) {}), thin32 = with([](Shape&s) { s.is64 = false; });
    const std::vector<std::pair<std::string, std::string>> files = {
        {"thin64-adhoc", thin64},
        {"thin32-big-endian", with([](Shape& s) { s.is64 = false, s.bigEndian = true; })},
        {"universal", craft::Fat({thin32, thin64})},
        {"universal64-little-endian", craft::Fat({thin64, thin32}, true, false)},
        {"sha1-and-sha256-team", with([](Shape& s) {
             s.codeDirectories = {{1, 0x20400, 0x10000, 0, 12, "T"}, {2, 0x20400, 0x10000, 0, 12, "T"}};
             s.wrapper = craft::Wrapper::Developer;
         })},
        {"developer-chain-timestamp", with([](Shape& s) {
             s.codeDirectories = {{2, 0x20400, 0, 0, 12, "ABCDE12345"}};
             s.wrapper = craft::Wrapper::Developer;
             s.signing.intermediates = 1;
             s.signing.marker = "1.2.840.113635.100.6.1.13";
             s.signing.timestampAt = 0;
         })},
        {"v20001-sha384", with([](Shape& s) {
             s.codeDirectories = {{4, 0x20001, 2, 0, 12, ""}};
         })},
        {"v20600-resources", with([](Shape& s) {
             s.codeDirectories = {{2, 0x20600, 2, 0, 12, ""}};
             s.codeResources = "<plist><dict/></plist>";
         })},
        {"entitlements-constraint", with([](Shape& s) {
             s.entitlements = "<plist><dict><key>keychain-access-groups</key><array/></dict></plist>";
             s.constraint = true;
         })},
        {"encrypted-embedded-plist", with([](Shape& s) {
             s.encrypted = true;
             s.embeddedPlist = "<plist/>";
         })},
        {"linker", with([](Shape& s) {
             s.linker = true;
             s.codeDirectories[0].flags = 0x20002;
             s.wrapper = craft::Wrapper::None;
         })},
        {"unsigned", with([](Shape& s) { s.signature = false; })},
        {"universal-adhoc-beside-developer",
         craft::Fat({with([](Shape& s) { s.cpuType = 0x01000007; }), with([](Shape& s) {
                         s.codeDirectories = {{2, 0x20400, 0, 0, 12, "T"}};
                         s.wrapper = craft::Wrapper::Developer;
                     })})},
        {"no-room", with([](Shape& s) {
             s.requirements = false;
             s.wrapper = craft::Wrapper::None;
             s.padding = 0;
         })},
    };
    for (const auto& [name, bytes] : files)
        std::ofstream(std::string(argv[1]) + "/" + name, std::ios::binary)
            .write(bytes.data(), std::streamsize(bytes.size()));
    return 0;
}
