// SPDX-License-Identifier: MIT
#pragma once
// Replaces a file's content all at once: the new bytes go to a temporary file in the same folder,
// are flushed to disk, and the temporary file is renamed over the original, keeping its
// permission bits (and owner and group where allowed). On failure the original is untouched.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

// true on success. A missing file is created; a link or anything but a regular file is refused.
bool ReplaceFileAtomically(const std::filesystem::path& path, std::string_view bytes);
// The same for the file `name` in the open folder `folderFd`, so that no link on the way to the
// folder is looked up again between opening a file and replacing it.
bool ReplaceFileAtomically(int folderFd, const std::string& name, std::string_view bytes);

// A seam for tests: when set, called before each step ("create", "write", "fsync", "rename")
// and a false answer makes that step fail as the system call would. Returns the previous hook.
using AtomicFileFaultHook = std::function<bool(std::string_view step)>;
AtomicFileFaultHook SetAtomicFileFaultHook(AtomicFileFaultHook hook);
