// SPDX-License-Identifier: MIT
// One veilor-patch call over many bundles, beside the bare cost of writing the same bytes
// safely (write, fsync, rename): the ratio shows what parsing and the checks add.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

void VeilorPatchCall(benchmark::State& state)
{
    Bundles bundles;
    for (auto _ : state)
        if (!RunVeilorPatch(bundles)) state.SkipWithError("veilor-patch failed");
    state.SetItemsProcessed(state.iterations() * kBundles);
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

void PlainSafeWrite(benchmark::State& state)
{
    Bundles bundles;
    std::string bytes = TypicalInfoPlist();
    for (auto _ : state) {
        for (const std::string& path : bundles.Paths()) {
            fs::path target = fs::path(path) / "Contents" / "Info.plist";
            fs::path temporary = target;
            temporary += ".new";
            int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
                fsync(fd) != 0)
                state.SkipWithError("write failed");
            close(fd);
            fs::rename(temporary, target);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBundles);
}

}  // namespace

BENCHMARK(VeilorPatchCall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(VeilorPatchSecondCall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PlainSafeWrite)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
