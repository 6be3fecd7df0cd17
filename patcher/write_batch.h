// SPDX-License-Identifier: MIT
#pragma once
// veilor-patch's group commit: the items' edits are made ready one by one and committed together,
// up to a thousand at a time, with two flushes of each file system instead of two per file. Once
// a group is durable, every item taken since the last one is refreshed and reported, in the order
// taken, with its own outcome: an edit whose commit or flush failed is reported as that failure.
// An edit of several files (a list and its re-signed executable) goes in one group, in order.

#include "patcher.h"
#include "platform/files/file_commit_group.h"
#include "platform/files/non_copyable.h"
#include "platform/framework/folder_item.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <utility>
#include <vector>

class WriteBatch : NonCopyable {
public:
    // Called once for each item, in the order taken, after the commit that settled it.
    using Report = std::function<void(std::size_t tag, const RouteOutcome& outcome)>;

    // A dry run's batch writes nothing: each edit is reported as it was made ready (Edited), and
    // no item is refreshed.
    explicit WriteBatch(Report report, bool dryRun = false) : mReport(std::move(report)), mDryRun(dryRun) {}
    ~WriteBatch() { Flush(); }

    // Whether the item (by its file, whatever its spelling) has an edit not yet committed: its
    // route would read the old content, so the batch must be flushed first.
    bool Holds(const FolderItem& item) const;
    // Whether the item (by its file) was edited by this batch, committed or not: a route that read
    // it before that edit went in read the old content.
    bool Edited(const FolderItem& item) const;
    // Takes the route's outcome for `item` (nil: a path that names nothing, not refreshed); `tag`
    // comes back with its report.
    void Add(std::size_t tag, FolderItemRef item, RouteOutcome outcome);
    // Commits what is ready, refreshes and reports every item taken.
    void Flush();

private:
    struct Taken {
        std::size_t tag;
        FolderItemRef item;
        RouteOutcome outcome;
        std::size_t ready;  // the place of its first file in the group, for an edit made ready
    };
    static constexpr std::size_t kNotReady = ~std::size_t(0);

    Report mReport;
    bool mDryRun = false;
    FileCommitGroup mGroup;
    std::vector<Taken> mTaken;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mEdited;  // device and inode of edited items
    std::set<std::pair<std::uint64_t, std::uint64_t>> mEverEdited;
};
