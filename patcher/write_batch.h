// SPDX-License-Identifier: MIT
#pragma once
// veilor-patch's group commit: the items' rewrites are prepared one by one and put in place
// together, a few hundred at a time, with one flush of each file system before the renames and
// one after, instead of two flushes per file. Each item keeps its own outcome and message, and
// what is written to the messages' stream keeps the items' order: while rewrites are held, it is
// kept back, and each held item's outcome is told where that item's own lines end.

#include "patcher.h"
#include "platform/framework/atomic_file.h"
#include "platform/framework/folder_item.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

class WriteBatch {
public:
    // For an item whose rewrite was held: "" once it is in place, else the route's write message.
    using Settled = std::function<void(const std::string& failure)>;

    WriteBatch(Patcher& patcher, std::ostream& messages) : mPatcher(patcher), mMessages(messages) {}
    ~WriteBatch() { Flush(); }
    WriteBatch(const WriteBatch&) = delete;
    WriteBatch& operator=(const WriteBatch&) = delete;

    // Runs the patcher on `item` as Patcher::Process does; what it could tell at once (a file
    // that cannot be read, a rewrite that cannot be prepared) it tells as then. A rewrite held
    // for the group is settled by a later Process or by Flush.
    void Process(const FolderItemRef& item, Settled settled);
    // Puts every held rewrite in place, on disk, and settles each.
    void Flush();

private:
    struct Held {
        std::size_t first, end;  // its replacements in the group
        std::string failure;
        Settled settled;
        std::size_t told;  // where in the kept-back text its outcome goes
    };
    Patcher& mPatcher;
    std::ostream& mMessages;
    std::streambuf* mMessagesBuffer = nullptr;  // the stream's own, while its text is kept back
    std::stringbuf mKeptBack;
    FileCommitGroup mGroup;
    std::vector<Held> mHeld;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mItems;  // held items, by device and inode
};
