// SPDX-License-Identifier: MIT
#pragma once
// Mach-O code made by Debian's clang and LLVM's Mach-O linker, as Linux build pipelines make it: a
// ten-line TAPI stub stands in for the SDK. Without the tools the cases are skipped and counted.

#include "file_fixtures.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace linked {

inline bool HaveTools()
{
    return std::system("command -v clang-14 ld64.lld-14 llvm-lipo-14 >/dev/null 2>&1") == 0;
}
inline std::string Skipped(std::size_t cases)
{
    return std::to_string(cases) +
           " linked-code case(s) skipped: clang-14, ld64.lld-14 or llvm-lipo-14 missing";
}

// A bundle's Info.plist naming its executable and identifier.
inline std::string List(const std::string& executable, const std::string& identifier)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleExecutable</key>\n\t<string>" +
           executable + "</string>\n\t<key>CFBundleIdentifier</key>\n\t<string>" + identifier +
           "</string>\n</dict>\n</plist>\n";
}

struct Code {
    std::string arch = "arm64";             // or x86_64
    std::string kind = "-execute";          // or -dylib, -bundle
    std::string minos = "11.0";             // below 10.11.4: SHA-1 beside SHA-256
    std::string flags = "-adhoc_codesign";  // or -no_adhoc_codesign; -headerpad 0 ...
    std::string source = "int puts(const char*); int main(void) { puts(\"hi\"); return 0; }\n";
};

inline Code Make(std::string arch, std::string flags = "-adhoc_codesign", std::string minos = "11.0",
                 std::string kind = "-execute")
{
    Code code;
    code.arch = std::move(arch);
    code.flags = std::move(flags);
    code.minos = std::move(minos);
    code.kind = std::move(kind);
    return code;
}

// The linked file, or "" when a tool failed.
inline std::string Link(const fixtures::fs::path& folder, const Code& code, const std::string& name = "out")
{
    fixtures::WriteBytes(
        folder / "libSystem.tbd",
        "--- !tapi-tbd\ntbd-version: 4\ntargets: [ x86_64-macos, arm64-macos ]\n"
        "install-name: /usr/lib/libSystem.B.dylib\ncurrent-version: 1311\nexports:\n"
        "  - targets: [ x86_64-macos, arm64-macos ]\n    symbols: [ _puts, dyld_stub_binder ]\n...\n");
    fixtures::WriteBytes(folder / (name + ".c"), code.source);
    const std::string base = (folder / name).string();
    const std::string command = "cd '" + folder.string() + "' && clang-14 -target " + code.arch +
                                "-apple-macos" + code.minos + " -c '" + base + ".c' -o '" + base +
                                ".o' && ld64.lld-14 -arch " + code.arch + " " + code.kind +
                                " -platform_version macos " + code.minos + " " + code.minos + " " +
                                code.flags + " -o '" + base + "' '" + base + ".o' libSystem.tbd 2>/dev/null";
    if (std::system(command.c_str()) != 0) return {};
    return fixtures::ReadBytes(folder / name);
}

// A universal file of the slices, as llvm-lipo lays it out.
inline std::string Lipo(const fixtures::fs::path& folder, const std::vector<std::string>& slices)
{
    std::string command = "llvm-lipo-14 -create";
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const std::string path = (folder / ("slice" + std::to_string(i))).string();
        fixtures::WriteBytes(path, slices[i]);
        command += " '" + path + "'";
    }
    command += " -output '" + (folder / "universal").string() + "'";
    if (std::system(command.c_str()) != 0) return {};
    return fixtures::ReadBytes(folder / "universal");
}

}  // namespace linked
