// SPDX-License-Identifier: MIT
// Patching N bundles in a row, each with a typical 4 KiB Info.plist: the cost per bundle should
// not grow with N.

#include "patcher/patcher.h"
#include "platform/framework/folder_item.h"
#include "platform/framework/msgbox.h"
#include "platform/framework/zorp_plugin.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ReadSample()
{
    std::ifstream in(VEILOR_SAMPLE_PLIST, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void Write(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class Bundles {
public:
    Bundles(int count, const std::string& infoPlist) : mInfoPlist(infoPlist)
    {
        std::string pattern = (fs::temp_directory_path() / "veilor-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        mRoot = pattern;
        for (int i = 0; i < count; ++i) {
            fs::path bundle = mRoot / ("Tool " + std::to_string(i) + ".app");
            fs::create_directories(bundle / "Contents");
            mItems.push_back(std::make_shared<FolderItem>(bundle));
        }
        Reset();
    }
    ~Bundles() { fs::remove_all(mRoot); }

    // Every Info.plist back to the original text, so that each run adds the entry anew.
    void Reset()
    {
        for (const FolderItemRef& item : mItems) Write(item->Path() / "Contents/Info.plist", mInfoPlist);
    }
    const std::vector<FolderItemRef>& Items() const { return mItems; }

private:
    std::string mInfoPlist;
    fs::path mRoot;
    std::vector<FolderItemRef> mItems;
};

void BM_PatchBundles(benchmark::State& state)
{
    if (!BindZorpPlugin().empty()) state.SkipWithError("plug-in not bound");
    int messages = 0;
    MsgBoxPresenter previous = SetMsgBoxPresenter([&](const std::string&) { ++messages; });
    const std::string infoPlist = ReadSample();
    Bundles bundles(static_cast<int>(state.range(0)), infoPlist);
    Patcher patcher;

    for (auto _ : state) {
        state.PauseTiming();
        bundles.Reset();
        state.ResumeTiming();
        for (const FolderItemRef& item : bundles.Items()) patcher.Process(item);
    }
    if (messages != 0) state.SkipWithError("a bundle was not patched");
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * state.range(0) * std::int64_t(infoPlist.size()));
    SetMsgBoxPresenter(std::move(previous));
}

// Bundles patched already: each is read and parsed, and nothing is written.
void BM_RepatchBundles(benchmark::State& state)
{
    if (!BindZorpPlugin().empty()) state.SkipWithError("plug-in not bound");
    int messages = 0;
    MsgBoxPresenter previous = SetMsgBoxPresenter([&](const std::string&) { ++messages; });
    Bundles bundles(static_cast<int>(state.range(0)), ReadSample());
    Patcher patcher;
    for (const FolderItemRef& item : bundles.Items()) patcher.Process(item);

    for (auto _ : state)
        for (const FolderItemRef& item : bundles.Items()) patcher.Process(item);
    if (messages != 0) state.SkipWithError("a bundle was not patched");
    state.SetItemsProcessed(state.iterations() * state.range(0));
    SetMsgBoxPresenter(std::move(previous));
}

}  // namespace

BENCHMARK(BM_RepatchBundles)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PatchBundles)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
