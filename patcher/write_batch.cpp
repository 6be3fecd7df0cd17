// SPDX-License-Identifier: MIT
#include "write_batch.h"

#include "messages.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

// Text kept back for held items is let out once it grows past this, so that it stays small.
constexpr std::size_t kKeptBackLimit = 1 << 20;

}  // namespace

void WriteBatch::Process(const FolderItemRef& item, Settled settled)
{
    // The same item twice (another spelling, a link) would be read before its first rewrite is in.
    struct stat info {};
    bool known = ::stat(item->Path().c_str(), &info) == 0;
    std::pair<std::uint64_t, std::uint64_t> key{info.st_dev, info.st_ino};
    if (!known || std::find(mItems.begin(), mItems.end(), key) != mItems.end() ||
        mKeptBack.view().size() > kKeptBackLimit)
        Flush();

    std::size_t first = mGroup.Held();
    auto hold = [&] {
        if (mGroup.Held() == first) return;
        // The routes' own write messages, as they would have shown them at once.
        std::string failure = item->Directory() ? messages::kWriteInfoPlistFailed
                                                : messages::WriteForkFailed(item->DisplayName());
        if (!mMessagesBuffer) mMessagesBuffer = mMessages.rdbuf(&mKeptBack);
        mHeld.push_back(
            {first, mGroup.Held(), std::move(failure), std::move(settled), mKeptBack.view().size()});
        if (known) mItems.push_back(key);
    };
    try {
        mPatcher.Process(item);
    } catch (...) {
        hold();
        throw;
    }
    hold();
    if (mGroup.Full()) Flush();
}

void WriteBatch::Flush()
{
    std::vector<bool> done = mGroup.Commit();
    std::vector<Held> held = std::exchange(mHeld, {});
    mItems.clear();
    if (!mMessagesBuffer) return;
    mMessages.rdbuf(std::exchange(mMessagesBuffer, nullptr));
    std::string keptBack(mKeptBack.view());
    mKeptBack.str({});
    std::size_t at = 0;
    for (Held& item : held) {
        mMessages << keptBack.substr(at, item.told - at);
        at = item.told;
        bool written = std::all_of(done.begin() + std::ptrdiff_t(item.first),
                                   done.begin() + std::ptrdiff_t(item.end), [](bool ok) { return ok; });
        item.settled(written ? std::string() : item.failure);
    }
    mMessages << keptBack.substr(at) << std::flush;
}
