// SPDX-License-Identifier: MIT
#pragma once
// A whole bundle signed ad hoc from scratch, deep and inside out as Apple's `codesign --deep`
// signs it: every piece of nested code in the places the seal's rules name (each nested bundle with
// its own seal), then the bundle's own CodeResources and main executable. Planning reads only;
// every file that changes is handed back, innermost first, for one commit.

#include "platform/files/file_identity.h"
#include "platform/files/file_replacement.h"
#include "platform/files/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

// Trees larger or deeper than this are refused: no real application comes near them.
inline constexpr std::size_t kMaxSignedItems = 100000;
inline constexpr std::size_t kMaxSignedDepth = 64;
// Nor is more code than this held at once, all of it new until the commit.
inline constexpr std::int64_t kMaxSignedCode = std::int64_t(4) << 30;

struct PlannedWrite {
    SharedFd folder;         // holds the file, or the folder to make first
    std::string makeFolder;  // not empty: a new _CodeSignature, made in `folder` before the commit
    std::string name;
    std::optional<FileIdentity> read;  // none: a new file
    std::string bytes;
    std::string shown;                     // the path below the bundle, for messages
    std::vector<ByteRange> changed = {};   // for a file of the same size: where it differs
    std::vector<SharedRange> shared = {};  // for a file that grew or shrank: what it keeps
    byteorder::LargeBytes large = {};      // an executable's new content, instead of `bytes`

    std::string_view Content() const { return large.empty() ? std::string_view(bytes) : large.View(); }
};

struct BundlePlan {
    enum class Status { Ready, Refused, Failed };
    Status status = Status::Ready;
    std::string message;             // Refused: "PATH: why"; Failed: the PATH that could not be read
    int error = 0;                   // Failed: errno
    std::vector<std::string> notes;  // "PATH: the old signature no longer matched (code changed)"
    std::vector<PlannedWrite> writes;
    std::size_t outerWrites = 0;  // where the outer bundle's own seal and executable begin in `writes`
    // The outer bundle's main executable as signed: a write's bytes, or kept here when unchanged.
    std::optional<std::size_t> executableWrite;
    byteorder::LargeBytes executable;
    std::string_view Executable() const
    {
        return executableWrite ? writes[*executableWrite].Content() : executable.View();
    }
};

// `infoPlist`: the outer bundle's list as it will be, when the caller changes it too. A killed run's
// temporary files are removed first; without `tidy` (a dry run) they are left and passed over.
BundlePlan PlanSignature(const std::filesystem::path& bundle, const std::optional<std::string>& infoPlist,
                         bool tidy = true);

// The rewrite for a planned write, its new folder made first (an empty _CodeSignature is the one
// thing made before the commit, and no seal lists it); none, errno set, when that fails. Without
// `makeFolder` (a dry run, which never commits) nothing is made: the rewrite names the file through
// the folder that would hold it.
std::optional<FileRewrite> Prepare(PlannedWrite write, bool makeFolder = true);

}  // namespace codesign
