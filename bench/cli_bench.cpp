// SPDX-License-Identifier: MIT
// One veilor-patch call over many bundles, beside the bare loop that writes the same bytes
// safely one file at a time (write a temporary, fsync, rename, fsync the folder): veilor-patch
// commits in groups, so it should beat the loop although it also reads, parses and checks.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kBundles = 10000;

// About 4 KiB, shaped like a real Info.plist.
std::string TypicalInfoPlist()
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (int i = 0; xml.size() < 4000; ++i) {
        xml += "\t<key>CFBundleEntry" + std::to_string(i) + "</key>\n";
        xml += "\t<string>com.example.application.value-" + std::to_string(i * 7919) + "</string>\n";
        if (i % 5 == 0) xml += "\t<key>Flag" + std::to_string(i) + "</key>\n\t<true/>\n";
    }
    return xml + "</dict>\n</plist>\n";
}

class Bundles {
public:
    Bundles()
    {
        std::string pattern = (fs::temp_directory_path() / "veilor-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        mRoot = pattern;
        std::string info = TypicalInfoPlist();
        for (int i = 0; i < kBundles; ++i) {
            fs::path bundle = mRoot / ("App" + std::to_string(i) + ".app");
            fs::create_directories(bundle / "Contents");
            std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary) << info;
            mPaths.push_back(bundle.string());
        }
    }
    ~Bundles() { fs::remove_all(mRoot); }

    const std::vector<std::string>& Paths() const { return mPaths; }

    // Every Info.plist back to the unpatched text, on disk, so that no run flushes another's writes.
    void Reset() const
    {
        std::string info = TypicalInfoPlist();
        for (const std::string& path : mPaths)
            std::ofstream(fs::path(path) / "Contents" / "Info.plist", std::ios::binary | std::ios::trunc)
                << info;
        ::sync();
    }

private:
    fs::path mRoot;
    std::vector<std::string> mPaths;
};

bool RunVeilorPatch(const Bundles& bundles)
{
    std::vector<char*> argv{const_cast<char*>(VEILOR_PATCH_BIN)};
    for (const std::string& path : bundles.Paths()) argv.push_back(const_cast<char*>(path.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execv(VEILOR_PATCH_BIN, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The same call over bundles it has patched already: nothing to add, so nothing is written.
void VeilorPatchSecondCall(benchmark::State& state)
{
    Bundles bundles;
    if (!RunVeilorPatch(bundles)) state.SkipWithError("veilor-patch failed");
    for (auto _ : state)
        if (!RunVeilorPatch(bundles)) state.SkipWithError("veilor-patch failed");
    state.SetItemsProcessed(state.iterations() * kBundles);
}

// The per-file safe write, as a careful program without group commit would do it.
bool SafeWriteLoop(const Bundles& bundles, const std::string& bytes)
{
    for (const std::string& path : bundles.Paths()) {
        fs::path folder = fs::path(path) / "Contents";
        int fd = open((folder / "Info.plist.new").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool written = fd >= 0 &&
                       write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                       fsync(fd) == 0;
        if (fd >= 0) close(fd);
        if (!written || rename((folder / "Info.plist.new").c_str(), (folder / "Info.plist").c_str()) != 0)
            return false;
        int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd < 0 || fsync(folderFd) != 0) return false;
        close(folderFd);
    }
    return true;
}

template <typename Run>
double Seconds(const Run& run, bool& ok)
{
    auto started = std::chrono::steady_clock::now();
    ok = run() && ok;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Both in the same run, interleaved, three times each: the disk is shared, so single times move a lot.
void VeilorPatchAgainstSafeWriteLoop(benchmark::State& state)
{
    Bundles bundles;
    std::string bytes = TypicalInfoPlist();
    for (auto _ : state) {
        std::vector<double> patch, loop;
        bool ok = true;
        for (int round = 0; round < 3; ++round) {
            bundles.Reset();
            patch.push_back(Seconds([&] { return RunVeilorPatch(bundles); }, ok));
            bundles.Reset();
            loop.push_back(Seconds([&] { return SafeWriteLoop(bundles, bytes); }, ok));
        }
        if (!ok) state.SkipWithError("a run failed");
        state.counters["patch_s"] = Median(patch);
        state.counters["loop_s"] = Median(loop);
        state.counters["ratio"] = Median(loop) / Median(patch);
        state.counters["patch_spread"] =
            *std::max_element(patch.begin(), patch.end()) / *std::min_element(patch.begin(), patch.end());
        state.counters["loop_spread"] =
            *std::max_element(loop.begin(), loop.end()) / *std::min_element(loop.begin(), loop.end());
        state.SetIterationTime(Median(patch));
    }
    state.SetItemsProcessed(state.iterations() * kBundles);
}

}  // namespace

BENCHMARK(VeilorPatchAgainstSafeWriteLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(VeilorPatchSecondCall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
