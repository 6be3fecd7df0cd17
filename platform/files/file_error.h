// SPDX-License-Identifier: MIT
#pragma once
// What went wrong with a file, at which step, and the system's error number: carried from the
// commit layer through the streams and the batch to whoever tells the user.

#include <functional>
#include <string>

enum class FileStep {
    None,        // no failure
    Open,        // opening or reading the file, or a folder on its way
    Create,      // making the temporary file beside it
    Write,       // writing the new content (also: it would be larger than a file may be opened at)
    Metadata,    // giving the new file the old one's owner, mode, ACL or attributes
    Flush,       // making the content or the rename durable
    Rename,      // putting the new file in place, or writing into the old one
    Changed,     // another program replaced or edited the file since it was read
    Damaged,     // its content is not in the format it must have
    Unfinished,  // a write into it was cut short, and this run may not finish it
};

struct FileError {
    FileStep step = FileStep::None;
    int code = 0;  // errno, or 0 where the step has no system error (Changed)

    // True for a failure, so that `if (FileError error = Commit())` reads as it means.
    explicit operator bool() const { return step != FileStep::None; }
    // For a person: "No space left on device", "changed by another program meanwhile", "damaged".
    std::string Cause() const;
};

// A failure of `step` with the errno the failed call left.
FileError FailedAt(FileStep step);

// A seam for tests: called before each step the commit layer takes (Create, Write, Flush,
// Rename); a false answer fails that step with EIO, as the system call would. Returns the
// previous hook.
using FileFaultHook = std::function<bool(FileStep step)>;
FileFaultHook SetFileFaultHook(FileFaultHook hook);
