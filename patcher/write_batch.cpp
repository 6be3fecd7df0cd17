// SPDX-License-Identifier: MIT
#include "write_batch.h"

#include "platform/files/file_identity.h"

#include <algorithm>
#include <optional>

namespace {

// Items whose outcome is known wait for the group's commit to be reported in order; this many
// at most, so that a long run of items with nothing to write keeps little memory.
constexpr std::size_t kMostTaken = 4096;

std::optional<std::pair<std::uint64_t, std::uint64_t>> FileOf(const FolderItem& item)
{
    FolderItem::Location location = item.Locate();
    if (!location.folder) return std::nullopt;
    std::optional<FileIdentity> identity = IdentityAt(location.folder.Get(), location.name);
    if (!identity) return std::nullopt;
    return std::pair{identity->device, identity->inode};
}

}  // namespace

bool WriteBatch::Holds(const FolderItem& item) const
{
    if (mEdited.empty()) return false;
    auto file = FileOf(item);
    // One that cannot be told apart is taken for held: a flush too many costs little.
    return !file || std::find(mEdited.begin(), mEdited.end(), *file) != mEdited.end();
}

bool WriteBatch::Edited(const FolderItem& item) const
{
    if (mEverEdited.empty()) return false;
    auto file = FileOf(item);
    return !file || mEverEdited.count(*file) != 0;
}

void WriteBatch::Add(std::size_t tag, FolderItemRef item, RouteOutcome outcome)
{
    std::size_t ready = kNotReady;
    if (outcome.kind == RouteOutcome::Kind::Edited && mDryRun) {
        if (auto file = FileOf(*item)) mEverEdited.insert(*file);
    } else if (outcome.kind == RouteOutcome::Kind::Edited) {
        const std::size_t files = outcome.writes.size();
        if (!mGroup.Fits(files)) Flush();
        std::size_t failed = 0;
        if (FileError error = mGroup.Add(outcome.TakeRewrites(), failed)) {
            outcome = Committed(std::move(outcome), error, failed);
        } else {
            ready = mGroup.Size() - files;
            if (auto file = FileOf(*item)) mEdited.push_back(*file), mEverEdited.insert(*file);
        }
    }
    mTaken.push_back({tag, std::move(item), std::move(outcome), ready});
    if (mGroup.Full() || mTaken.size() >= kMostTaken) Flush();
}

void WriteBatch::Flush()
{
    std::vector<FileError> committed = mGroup.Commit();
    std::vector<Taken> taken = std::exchange(mTaken, {});
    mEdited.clear();
    for (Taken& each : taken) {
        if (each.ready != kNotReady) {
            // The first of its files that failed: those after it were not written.
            std::size_t failed = 0;
            while (failed + 1 < each.outcome.writes.size() && !committed[each.ready + failed]) ++failed;
            each.outcome = Committed(std::move(each.outcome), committed[each.ready + failed], failed);
        }
        if (each.item && !mDryRun) Refresh(each.item);
        mReport(each.tag, each.outcome);
    }
}
