// SPDX-License-Identifier: MIT
#include "in_place_write.h"

#include "fd_io.h"
#include "file_fault.h"
#include "platform/byteorder/byteorder.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>

namespace {

// Journal: magic, the file's device and inode, the old length, the name, the old bytes, and a
// hash of all before it; complete and flushed before the file is touched.
constexpr std::string_view kMagic = "VEILORJ1";
constexpr std::size_t kHeaderSize = 8 + 8 + 8 + 8 + 4;
constexpr std::size_t kHashSize = 8;

// FNV-1a: enough to tell a journal cut short by a crash from a whole one.
std::uint64_t Hash(std::string_view bytes, std::uint64_t hash = 0xcbf29ce484222325ULL)
{
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ULL;
    return hash;
}

// Writes `bytes` into the open file from its start, cuts it to their length and flushes it.
FileError Overwrite(int fd, std::string_view bytes, off_t oldSize)
{
    off_t length = static_cast<off_t>(bytes.size());
    // Room first, so that a full disk or a size limit fails before any old byte is overwritten.
    if (length > oldSize) {
        int reserved = ::fallocate(fd, 0, 0, length);
        if (reserved != 0 && errno != EOPNOTSUPP && errno != ENOSYS) return FailedAt(FileStep::Write);
        if (reserved != 0 && ::ftruncate(fd, length) != 0) return FailedAt(FileStep::Write);
    }
    if (!StepAllowed(FileStep::Write) || !WriteAllAt(fd, bytes) || ::ftruncate(fd, length) != 0)
        return FailedAt(FileStep::Write);
    if (!StepAllowed(FileStep::Flush) || ::fsync(fd) != 0) return FailedAt(FileStep::Flush);
    return {};
}

FileError FlushFolder(int folderFd)
{
    UniqueFd folder(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A folder that may not be read, or a file system that refuses, gives no way to flush it.
    if (!folder) return {};
    return SyncFolder(folder.Get()) ? FileError{} : FailedAt(FileStep::Flush);
}

std::string JournalOf(const std::string& name, const struct stat& info, std::string_view old)
{
    std::string journal(kMagic);
    byteorder::PutBigEndian(journal, info.st_dev, 8);
    byteorder::PutBigEndian(journal, info.st_ino, 8);
    byteorder::PutBigEndian(journal, old.size(), 8);
    byteorder::PutBigEndian(journal, name.size(), 4);
    journal += name;
    journal += old;
    byteorder::PutBigEndian(journal, Hash(journal), 8);
    return journal;
}

// The old content a whole journal holds for this file; nullopt for one cut short or another's.
std::optional<std::string_view> OldContent(std::string_view journal, const std::string& name,
                                           const struct stat& info)
{
    if (journal.size() < kHeaderSize + kHashSize || !journal.starts_with(kMagic)) return std::nullopt;
    const char* p = journal.data();
    std::uint64_t length = byteorder::BigEndian64(p + 24);
    std::uint64_t nameLength = byteorder::BigEndian32(p + 32);
    if (nameLength != name.size() || length != journal.size() - kHeaderSize - kHashSize - nameLength)
        return std::nullopt;
    std::string_view body = journal.substr(0, journal.size() - kHashSize);
    if (Hash(body) != byteorder::BigEndian64(p + body.size())) return std::nullopt;
    if (byteorder::BigEndian64(p + 8) != std::uint64_t(info.st_dev) ||
        byteorder::BigEndian64(p + 16) != std::uint64_t(info.st_ino) ||
        body.substr(kHeaderSize, nameLength) != name)
        return std::nullopt;
    return body.substr(kHeaderSize + nameLength);
}

}  // namespace

std::string JournalName(const std::string& name)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t hash = Hash(name);
    std::string text = ".veilor-";
    for (int shift = 60; shift >= 0; shift -= 4) text += kHex[(hash >> shift) & 0xF];
    return text + ".journal";
}

FileError WriteInPlace(int folderFd, const std::string& name, std::string_view bytes,
                       const FileIdentity& expected)
{
    UniqueFd fd(::openat(folderFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) != 0) return FailedAt(FileStep::Rename);
    if (!S_ISREG(info.st_mode) || IdentityOf(info) != expected) return {FileStep::Changed, 0};
    std::optional<std::string> old = ReadAt(fd.Get(), 0, static_cast<std::uint64_t>(info.st_size));
    if (!old) return FailedAt(FileStep::Rename);

    const std::string journalName = JournalName(name);
    if (!StepAllowed(FileStep::Create)) return FailedAt(FileStep::Create);
    UniqueFd journal(
        ::openat(folderFd, journalName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!journal) return FailedAt(FileStep::Create);
    if (::flock(journal.Get(), LOCK_EX) != 0) {
        FileError error = FailedAt(FileStep::Create);
        ::unlinkat(folderFd, journalName.c_str(), 0);
        return error;
    }
    FileError error;
    if (!WriteAllAt(journal.Get(), JournalOf(name, info, *old)))
        error = FailedAt(FileStep::Write);
    else if (!StepAllowed(FileStep::Flush) || ::fsync(journal.Get()) != 0)
        error = FailedAt(FileStep::Flush);
    else
        error = FlushFolder(folderFd);
    // Once the journal is durable, a failure below leaves it for the next run to put back.
    if (!error && (error = Overwrite(fd.Get(), bytes, info.st_size))) {
        FileError undone = Overwrite(fd.Get(), *old, static_cast<off_t>(bytes.size()));
        if (undone) return error;  // the journal stays: the next run restores the old content
    }
    ::unlinkat(folderFd, journalName.c_str(), 0);
    return error;
}

bool RecoverInterruptedWrite(int folderFd, const std::string& name)
{
    const std::string journalName = JournalName(name);
    UniqueFd journal(::openat(folderFd, journalName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!journal) return errno == ENOENT;
    struct stat journalInfo {};
    if (::fstat(journal.Get(), &journalInfo) != 0 || !S_ISREG(journalInfo.st_mode)) return false;
    if (::flock(journal.Get(), LOCK_EX | LOCK_NB) != 0) return false;  // its writer is still at work
    std::optional<std::string> bytes =
        ReadAt(journal.Get(), 0, static_cast<std::uint64_t>(journalInfo.st_size));
    if (!bytes) return false;

    UniqueFd fd(::openat(folderFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {};
    if (fd && ::fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode)) {
        // A journal cut short was never followed by a write; another file's is not ours to apply.
        if (std::optional<std::string_view> old = OldContent(*bytes, name, info))
            if (Overwrite(fd.Get(), *old, info.st_size)) return false;
    } else if (errno != ENOENT) {
        return false;
    }
    return ::unlinkat(folderFd, journalName.c_str(), 0) == 0 || errno == ENOENT;
}
