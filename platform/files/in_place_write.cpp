// SPDX-License-Identifier: MIT
#include "in_place_write.h"

#include "fd_io.h"
#include "file_fault.h"
#include "open_limits.h"
#include "platform/byteorder/byteorder.h"
#include "private_group.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

namespace {

// Journal: magic, the file's device and inode, the old length, the name, the old bytes, and a
// hash of all before it; complete and flushed before the file is touched.
constexpr std::string_view kMagic = "VEILORJ1";
constexpr std::size_t kHeaderSize = 8 + 8 + 8 + 8 + 4;
constexpr std::size_t kHashSize = 8;
// The largest file we write, its name and the header: nothing larger is read as a journal.
constexpr off_t kMostJournal = off_t(kMaxExecutableLength) + 4096;
// Other names for our journal, where another's file already takes the first.
constexpr int kJournalNames = 4;

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

enum class Verdict { Whole, CutShort, Foreign };

// A journal cut short by a crash (its hash does not hold) from a whole one, and either from one
// whose header names another file.
Verdict Judge(std::string_view journal, const std::string& name, const struct stat& info)
{
    if (journal.size() < kHeaderSize + kHashSize || !journal.starts_with(kMagic)) return Verdict::Foreign;
    const char* p = journal.data();
    std::uint64_t length = byteorder::BigEndian64(p + 24);
    std::uint64_t nameLength = byteorder::BigEndian32(p + 32);
    if (byteorder::BigEndian64(p + 8) != std::uint64_t(info.st_dev) ||
        byteorder::BigEndian64(p + 16) != std::uint64_t(info.st_ino) || nameLength != name.size() ||
        journal.size() - kHeaderSize < nameLength || journal.substr(kHeaderSize, nameLength) != name)
        return Verdict::Foreign;
    if (length != journal.size() - kHeaderSize - kHashSize - nameLength) return Verdict::CutShort;
    std::string_view body = journal.substr(0, journal.size() - kHashSize);
    return Hash(body) == byteorder::BigEndian64(p + body.size()) ? Verdict::Whole : Verdict::CutShort;
}

std::string_view OldBytes(std::string_view journal, const std::string& name)
{
    return journal.substr(kHeaderSize + name.size(), journal.size() - kHeaderSize - name.size() - kHashSize);
}

// Why a journal beside `file` could be another's (nullptr: it can only be ours): anything but a
// lone regular file, one too large to be ours, an owner who is neither the file's nor root, or a
// folder where others may make files under its name.
const char* Distrusted(const struct stat& journal, const struct stat& file, const struct stat& folder)
{
    if (!S_ISREG(journal.st_mode)) return "not a regular file";
    if (journal.st_nlink != 1) return "it has other names";
    if (journal.st_uid != file.st_uid && journal.st_uid != 0) return "owned by another user";
    if (journal.st_size < off_t(kHeaderSize + kHashSize) || journal.st_size > kMostJournal)
        return "not of a journal's size";
    if (folder.st_mode & S_ISVTX) return nullptr;  // others may make files, not take ours
    if (!OnlyOwnerWrites(folder.st_mode, file.st_uid, folder.st_gid) ||
        (folder.st_uid != 0 && folder.st_uid != file.st_uid && folder.st_uid != journal.st_uid))
        return "in a folder where others may make files";
    return nullptr;
}

std::atomic<bool> gFinishJournals{true};
std::mutex gIgnoredMutex;
// Each thread's own: a thread that judges one path tells that path's journals.
thread_local std::vector<IgnoredJournal> gIgnored;
constexpr std::size_t kMostIgnored = 64;

void Ignore(const std::string& file, const std::string& journal, const std::string& why)
{
    std::lock_guard lock(gIgnoredMutex);
    if (gIgnored.size() < kMostIgnored) gIgnored.push_back({file, journal, why});
}

}  // namespace

std::vector<std::string> JournalNames(const std::string& name)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::uint64_t hash = Hash(name);
    std::string stem = ".veilor-";
    for (int shift = 60; shift >= 0; shift -= 4) stem += kHex[(hash >> shift) & 0xF];
    std::vector<std::string> names{stem + ".journal"};
    for (int n = 1; n < kJournalNames; ++n) names.push_back(stem + "-" + std::to_string(n) + ".journal");
    return names;
}

std::string JournalName(const std::string& name)
{
    return JournalNames(name).front();
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

    if (!StepAllowed(FileStep::Create)) return FailedAt(FileStep::Create);
    // A name another's file holds is passed over: recovery looks under every one of them.
    std::string journalName;
    UniqueFd journal;
    for (const std::string& candidate : JournalNames(name)) {
        journal = UniqueFd(
            ::openat(folderFd, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (journal || errno != EEXIST) {
            journalName = candidate;
            break;
        }
    }
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

void SetJournalsFinished(bool finish)
{
    gFinishJournals.store(finish);
}

std::vector<IgnoredJournal> TakeIgnoredJournals()
{
    std::lock_guard lock(gIgnoredMutex);
    return std::exchange(gIgnored, {});
}

FileError RecoverInterruptedWrite(int folderFd, const std::string& name)
{
    struct stat folderInfo {
    }, info{};
    bool looked = false, present = false;
    for (const std::string& journalName : JournalNames(name)) {
        UniqueFd journal(::openat(folderFd, journalName.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (!journal && errno == ENOENT) continue;
        // The file and its folder are looked at only when there is a journal: almost never.
        if (!looked) {
            const int journalError = errno;
            UniqueFd fd(
                ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
            present = fd && ::fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode);
            if (!fd && errno != ENOENT && errno != ELOOP) return FailedAt(FileStep::Open);
            if (::fstat(folderFd, &folderInfo) != 0) return FailedAt(FileStep::Open);
            looked = true;
            errno = journalError;
        }
        struct stat journalInfo {};
        if (!journal || ::fstat(journal.Get(), &journalInfo) != 0) {
            Ignore(name, journalName, errno == ELOOP ? "a link" : std::strerror(errno));
            continue;
        }
        if (!present) continue;  // nothing to mend, and no owner to tell ours by
        if (const char* why = Distrusted(journalInfo, info, folderInfo)) {
            Ignore(name, journalName, why);
            continue;
        }
        if (::flock(journal.Get(), LOCK_EX | LOCK_NB) != 0) return {FileStep::Open, EBUSY};  // at work
        // The header first, so that a large journal of another file's costs one small read.
        std::optional<std::string> head = ReadAt(journal.Get(), 0, kHeaderSize + name.size());
        if (!head) return FailedAt(FileStep::Open);
        if (head->size() < kHeaderSize + name.size() ||
            Judge(*head + std::string(kHashSize, '\0'), name, info) == Verdict::Foreign) {
            Ignore(name, journalName, "made for another file");
            continue;
        }
        std::optional<std::string> bytes;
        try {
            bytes = ReadAt(journal.Get(), 0, static_cast<std::uint64_t>(journalInfo.st_size));
        } catch (const std::bad_alloc&) {
            return {FileStep::Open, ENOMEM};
        }
        if (!bytes) return FailedAt(FileStep::Open);
        const Verdict verdict = Judge(*bytes, name, info);
        if (verdict == Verdict::Foreign) {
            Ignore(name, journalName, "made for another file");
            continue;
        }
        if (!gFinishJournals.load()) {
            // A journal cut short was never followed by a write: the file is whole.
            if (verdict == Verdict::Whole) return {FileStep::Unfinished, 0};
            continue;
        }
        if (verdict == Verdict::Whole) {
            UniqueFd writable(
                ::openat(folderFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
            struct stat now {};
            if (!writable || ::fstat(writable.Get(), &now) != 0 || now.st_dev != info.st_dev ||
                now.st_ino != info.st_ino)
                return FailedAt(FileStep::Open);
            const std::string_view old = OldBytes(*bytes, name);
            if (Overwrite(writable.Get(), old, now.st_size)) return FailedAt(FileStep::Open);
        }
        if (::unlinkat(folderFd, journalName.c_str(), 0) != 0 && errno != ENOENT)
            return FailedAt(FileStep::Open);
    }
    return {};
}
