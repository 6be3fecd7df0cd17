// SPDX-License-Identifier: MIT
#pragma once
// The paths a run works on: the arguments, a list file (one path a line, or NUL-separated), and
// with --recursive the applications found under each folder given.

#include <cstddef>
#include <string>
#include <vector>

struct PathSources {
    std::vector<std::string> arguments;
    std::vector<std::string> lists;  // --files-from: a file, or "-" for standard input
    bool nulSeparated = false;
    bool recursive = false;
};

struct PathList {
    std::vector<std::string> paths;
    std::string error;  // a list that could not be read, or was too long
};

// A list holds at most this many bytes: a stream without end must not fill the memory.
inline constexpr std::size_t kMaxListBytes = std::size_t(1) << 30;

PathList GatherPaths(const PathSources& sources);

// Below `folder`, in byte order of their names at each level: every bundle (a folder with
// Contents/Info.plist, not looked into) and single-file application (type APPL). Links are never
// followed, companions and __MACOSX folders are no applications. A folder that is itself a
// bundle is answered alone.
std::vector<std::string> ApplicationsUnder(const std::string& folder);
