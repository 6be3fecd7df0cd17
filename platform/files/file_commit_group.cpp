// SPDX-License-Identifier: MIT
#include "file_commit_group.h"

#include "file_fault.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace {

// Descriptors a ready file keeps open: its folder, the temporary file, the file it replaces, and
// that file again while the last group's replaced files are closed.
constexpr rlim_t kDescriptorsPerFile = 4;
// Kept for everything else: the folders the files layer keeps open (16 recent folders, 16 tidied
// ones), standard streams, and what one item's work opens while the group is full.
constexpr rlim_t kDescriptorsKept = 64;
constexpr rlim_t kMostFiles = 1024;

// Local file systems whose syncfs makes every file's data and every rename durable. Elsewhere (a
// network share, FUSE) syncfs may stop short of what fsync asks of the server: file by file there.
bool FlushedWhole(int fd)
{
    constexpr long kWhole[] = {0xEF53 /* ext2-4 */, 0x58465342 /* xfs */, 0x9123683E /* btrfs */,
                               0xF2F52010 /* f2fs */, 0x01021994 /* tmpfs */};
    struct statfs info {};
    return ::fstatfs(fd, &info) == 0 &&
           std::find(std::begin(kWhole), std::end(kWhole), long(info.f_type)) != std::end(kWhole);
}

FileError SyncWhole(int fd)
{
    if (!StepAllowed(FileStep::Flush) || ::syncfs(fd) != 0) return FailedAt(FileStep::Flush);
    return {};
}

}  // namespace

FileCommitGroup::FileCommitGroup()
{
    struct rlimit limit {};
    rlim_t open = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : kMostFiles;
    mCapacity = std::clamp<rlim_t>(
        open > kDescriptorsKept ? (open - kDescriptorsKept) / kDescriptorsPerFile : 1, 1, kMostFiles);
}

FileCommitGroup::~FileCommitGroup()
{
    mReady.clear();  // what was never committed is removed
    if (mLettingGo.joinable()) mLettingGo.join();
}

FileError FileCommitGroup::Add(FileRewrite rewrite)
{
    std::vector<FileRewrite> one;
    one.push_back(std::move(rewrite));
    std::size_t failed = 0;
    return Add(std::move(one), failed);
}

FileError FileCommitGroup::Add(std::vector<FileRewrite> rewrites, std::size_t& failed)
{
    const std::size_t before = mReady.size();
    for (std::size_t i = 0; i < rewrites.size(); ++i) {
        FileError error;
        FileReplacement ready =
            FileReplacement::Prepare(std::move(rewrites[i]), FileReplacement::Flush::ByGroup, error);
        if (error) {
            failed = i;
            // The edit's files made ready so far are removed unwritten.
            mReady.erase(mReady.begin() + std::ptrdiff_t(before), mReady.end());
            mFollows.resize(before);
            return error;
        }
        mReady.push_back(std::move(ready));
        mFollows.push_back(i > 0);
    }
    return {};
}

std::vector<FileError> FileCommitGroup::Commit()
{
    std::vector<FileReplacement> ready = std::exchange(mReady, {});
    const std::vector<bool> follows = std::exchange(mFollows, {});
    std::vector<FileError> outcome(ready.size());
    struct FileSystem {
        std::uint64_t device;
        UniqueFd fd;  // stays valid across the renames
        bool whole;   // flushed by one syncfs, else file by file
        FileError flushed;
        bool renamed = false;
    };
    std::vector<FileSystem> fileSystems;
    constexpr std::size_t kInPlace = ~std::size_t(0);
    std::vector<std::size_t> of(ready.size(), kInPlace);  // each file's file system, by index
    // Each temporary file's content durable before any rename can be.
    for (std::size_t i = 0; i < ready.size(); ++i) {
        if (ready[i].InPlace()) continue;
        auto known = [&](const FileSystem& f) { return f.device == ready[i].Device(); };
        of[i] =
            std::size_t(std::find_if(fileSystems.begin(), fileSystems.end(), known) - fileSystems.begin());
        if (of[i] == fileSystems.size()) {
            UniqueFd fd(::fcntl(ready[i].TemporaryFd(), F_DUPFD_CLOEXEC, 0));
            bool whole = fd && FlushedWhole(fd.Get());
            FileError flushed = !fd ? FailedAt(FileStep::Flush) : whole ? SyncWhole(fd.Get()) : FileError{};
            fileSystems.push_back({ready[i].Device(), std::move(fd), whole, flushed});
        }
        const FileSystem& fileSystem = fileSystems[of[i]];
        outcome[i] = fileSystem.flushed;
        if (!outcome[i] && !fileSystem.whole &&
            (!StepAllowed(FileStep::Flush) || ::fsync(ready[i].TemporaryFd()) != 0))
            outcome[i] = FailedAt(FileStep::Flush);
    }

    for (std::size_t i = 0; i < ready.size(); ++i) {
        if (follows[i] && outcome[i - 1]) outcome[i] = outcome[i - 1];
        if (outcome[i]) continue;
        FileSystem* fileSystem = of[i] == kInPlace ? nullptr : &fileSystems[of[i]];
        // Off a file system flushed whole, its folder is flushed by itself after the rename.
        if (fileSystem && !fileSystem->whole) ready[i].FlushItself();
        outcome[i] = ready[i].Commit();
        if (!outcome[i] && fileSystem) fileSystem->renamed = true;
    }
    // Every rename durable before any file counts as done.
    for (std::size_t f = 0; f < fileSystems.size(); ++f) {
        if (!fileSystems[f].whole || !fileSystems[f].renamed) continue;
        FileError flushed = SyncWhole(fileSystems[f].fd.Get());
        if (!flushed) continue;
        for (std::size_t i = 0; i < ready.size(); ++i)
            if (of[i] == f && !outcome[i]) outcome[i] = flushed;
    }

    std::vector<UniqueFd> replaced;
    for (FileReplacement& replacement : ready)
        if (UniqueFd old = replacement.TakeReplaced()) replaced.push_back(std::move(old));
    ready.clear();  // what was not committed is removed
    LetGo(std::move(replaced));
    return outcome;
}

// The replaced files are closed, and so freed, on a thread of their own while the caller goes on
// to the next group; the one before is waited for first, so that at most two groups are open.
void FileCommitGroup::LetGo(std::vector<UniqueFd> replaced)
{
    if (mLettingGo.joinable()) mLettingGo.join();
    if (replaced.empty()) return;
    try {
        mLettingGo = std::thread([old = std::move(replaced)]() mutable { old.clear(); });
    } catch (const std::system_error&) {
        // No thread to spare: they are closed here, when `replaced` goes.
    }
}
