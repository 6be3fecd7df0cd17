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
    std::size_t Size() const { return mReady.size(); }
    // Full at 1,024 files, or sooner where the limit of open files would be reached.
    bool Full() const { return mReady.size() >= mCapacity; }

    // Each added file's outcome, in the order added: no error once it is in place and durable.
    // A failed flush fails every file it covered. Nothing is held afterwards.
    std::vector<FileError> Commit();

private:
    void LetGo(std::vector<UniqueFd> replaced);

    std::vector<FileReplacement> mReady;
    std::size_t mCapacity;
    std::thread mLettingGo;  // closing the last group's replaced files
};
