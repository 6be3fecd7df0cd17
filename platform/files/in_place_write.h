// SPDX-License-Identifier: MIT
#pragma once
// Writes new content into a file's own inode, for a file that must keep it (other names, an
// owner or attributes a new file could not carry). Crash-safe through a rollback journal: the old
// content goes first to a locked journal beside the file (".veilor-<hash>.journal"), flushed;
// then the file is written, cut to length and flushed; then the journal goes. A run that finds a
// journal whose writer is gone puts the old content back before it reads the file.

#include "file_error.h"
#include "file_identity.h"

#include <string>
#include <string_view>
#include <vector>

// Only while `name` in `folderFd` is still what `expected` says; the caller has passed the
// commit's fault seam.
FileError WriteInPlace(int folderFd, const std::string& name, std::string_view bytes,
                       const FileIdentity& expected);

// Puts back the old content of `name` if a write into it was cut short (a killed or crashed run).
// A journal is applied only when it can only be ours: a lone regular file of a journal's size,
// owned by the file's owner or root, in a folder where no one else may make files (or a sticky
// one), its header naming this file (device, inode, name). Any other is ignored, never removed,
// and noted (TakeIgnoredJournals). An error when the file must not be used: it could not be
// mended, its writer is still at work, or (writes not allowed) Unfinished.
FileError RecoverInterruptedWrite(int folderFd, const std::string& name);

// False for a run that must write nothing (veilor-patch --check): a journal is then neither
// applied nor removed, and a file it would mend is refused as Unfinished.
void SetJournalsFinished(bool finish);

struct IgnoredJournal {
    std::string file, journal, why;
};
// The journals this thread ignored since its last call, as not ours (a few at most are kept).
std::vector<IgnoredJournal> TakeIgnoredJournals();

// The journal's names for `name`, the first one first: fixed, so that finding them costs a few
// look-ups; ours takes the first that no other file holds.
std::vector<std::string> JournalNames(const std::string& name);
std::string JournalName(const std::string& name);
