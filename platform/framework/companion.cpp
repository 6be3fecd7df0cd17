// SPDX-License-Identifier: MIT
#include "companion.h"

#include "platform/files/in_place_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

UniqueFd OpenCompanion(const FolderItem::Location& companion, int access, struct stat& info)
{
    // A write into it that a crash cut short is undone before anything reads it.
    if (FileError unusable = RecoverInterruptedWrite(companion.folder.Get(), companion.name)) {
        errno = unusable.code ? unusable.code : EBUSY;
        return UniqueFd();
    }
    // O_NONBLOCK: a FIFO of that name must not hang the open; only a regular file is read.
    UniqueFd fd(::openat(companion.folder.Get(), companion.name.c_str(),
                         access | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd && (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))) {
        errno = EINVAL;
        return UniqueFd();
    }
    return fd;
}
