// SPDX-License-Identifier: MIT
#pragma once
// Many files replaced together, for batches: each is made ready without a flush; Commit flushes
// each file system involved once, renames every file into place, and flushes once more, so that
// when it returns every change it reports is on disk. File by file instead where such a flush is
// not known to reach the disk (a network share). After a crash each file is old or new, as one by
// one. A write in place goes in at Commit too, flushed by itself.

#include "file_replacement.h"
#include "non_copyable.h"

#include <cstddef>
#include <thread>
#include <vector>

class FileCommitGroup : NonCopyable {
public:
    FileCommitGroup();
    ~FileCommitGroup();

    // Makes the rewrite ready for the next Commit; an error, and nothing added, when it cannot be.
    FileError Add(FileRewrite rewrite);
    // Makes the rewrites of one edit ready together: all of them, or none and the error of the
    // first that could not be (`failed`, its index). At Commit each goes in only once the one
    // before it did; after a failure the rest are not written and fail as it did.
    FileError Add(std::vector<FileRewrite> rewrites, std::size_t& failed);
    std::size_t Size() const { return mReady.size(); }
    // Full at 1,024 files, or sooner where the limit of open files would be reached.
    bool Full() const { return mReady.size() >= mCapacity; }
    bool Fits(std::size_t files) const { return mReady.size() + files <= mCapacity; }

    // Each added file's outcome, in the order added: no error once it is in place and durable.
    // A failed flush fails every file it covered. Nothing is held afterwards.
    std::vector<FileError> Commit();

private:
    void LetGo(std::vector<UniqueFd> replaced);

    std::vector<FileReplacement> mReady;
    std::vector<bool> mFollows;  // goes in only once the file before it did
    std::size_t mCapacity;
    std::thread mLettingGo;  // closing the last group's replaced files
};
