// SPDX-License-Identifier: MIT
// One veilor-patch call over many bundles, beside the bare loop that writes the same bytes
// safely one file at a time (write a temporary, fsync, rename, fsync the folder): veilor-patch
// commits in groups, so it should beat the loop although it also reads, parses and checks. And
// veilor-patch over bundles signed ad hoc, each re-signed, beside the same bundles unsigned, and
// beside the floor of a crash-safe re-sign; --verify beside one hashing pass over what it hashes.

#include "tests/macho_craft.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
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

bool RunVeilorPatch(const std::vector<std::string>& paths)
{
    std::vector<char*> argv{const_cast<char*>(VEILOR_PATCH_BIN)};
    for (const std::string& path : paths) argv.push_back(const_cast<char*>(path.c_str()));
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
    if (!RunVeilorPatch(bundles.Paths())) state.SkipWithError("veilor-patch failed");
    for (auto _ : state)
        if (!RunVeilorPatch(bundles.Paths())) state.SkipWithError("veilor-patch failed");
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

double Seconds(const std::function<bool()>& run, bool& ok)
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

double Spread(const std::vector<double>& values)
{
    return *std::max_element(values.begin(), values.end()) / *std::min_element(values.begin(), values.end());
}

struct Contender {
    std::string name;
    std::function<void()> reset;  // the bundles as they were made, on disk
    std::function<bool()> run;
};

// Both in the same run, interleaved, three times each: the disk is shared, so single times move a
// lot. Each one's median and spread (slowest over fastest) as counters NAME_s and NAME_spread; the
// iteration's time is the first's median. Answers the two medians.
std::pair<double, double> Interleaved(benchmark::State& state, const Contender& first,
                                      const Contender& second)
{
    std::vector<double> times[2];
    bool ok = true;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 2; ++i) {
            const Contender& contender = i == 0 ? first : second;
            contender.reset();
            times[i].push_back(Seconds(contender.run, ok));
        }
    }
    if (!ok) state.SkipWithError("a run failed");
    for (int i = 0; i < 2; ++i) {
        const std::string& name = (i == 0 ? first : second).name;
        state.counters[name + "_s"] = Median(times[i]);
        state.counters[name + "_spread"] = Spread(times[i]);
    }
    state.SetIterationTime(Median(times[0]));
    return {Median(times[0]), Median(times[1])};
}

void VeilorPatchAgainstSafeWriteLoop(benchmark::State& state)
{
    Bundles bundles;
    std::string bytes = TypicalInfoPlist();
    for (auto _ : state) {
        const auto [patch, loop] = Interleaved(
            state, {"patch", [&] { bundles.Reset(); }, [&] { return RunVeilorPatch(bundles.Paths()); }},
            {"loop", [&] { bundles.Reset(); }, [&] { return SafeWriteLoop(bundles, bytes); }});
        state.counters["ratio"] = loop / patch;
    }
    state.SetItemsProcessed(state.iterations() * kBundles);
}

constexpr int kSignedBundles = 1000;

// Bundles whose executable (`code` bytes of code) is signed ad hoc for their Info.plist and seal, as
// a signer leaves them, or the same executables with no signature.
class ExecutableBundles {
public:
    ExecutableBundles(bool adhoc, std::uint32_t code)
    {
        std::string pattern = (fs::temp_directory_path() / "veilor-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        mRoot = pattern;
        craft::Shape shape;
        shape.codeSize = code;
        shape.signature = adhoc;
        shape.infoPlist = mInfo = WithExecutable(TypicalInfoPlist());
        shape.codeResources = mSeal =
            "<plist version=\"1.0\"><dict><key>files2</key><dict/></dict></plist>\n";
        mExecutable = craft::Thin(shape).bytes;
        for (int i = 0; i < kSignedBundles; ++i)
            mPaths.push_back((mRoot / ("App" + std::to_string(i) + ".app")).string());
        Reset();
    }
    ~ExecutableBundles() { fs::remove_all(mRoot); }

    const std::vector<std::string>& Paths() const { return mPaths; }

    // Every bundle as it was made, on disk.
    void Reset() const
    {
        for (const std::string& path : mPaths) {
            const fs::path contents = fs::path(path) / "Contents";
            fs::create_directories(contents / "MacOS");
            fs::create_directories(contents / "_CodeSignature");
            Write(contents / "Info.plist", mInfo);
            Write(contents / "_CodeSignature/CodeResources", mSeal);
            Write(contents / "MacOS/Tool", mExecutable);
        }
        ::sync();
    }

private:
    static std::string WithExecutable(std::string info)
    {
        return info.insert(info.find("<dict>\n") + 7,
                           "\t<key>CFBundleExecutable</key>\n\t<string>Tool</string>\n");
    }
    static void Write(const fs::path& file, const std::string& bytes)
    {
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), std::streamsize(bytes.size()));
    }

    fs::path mRoot;
    std::string mInfo, mSeal, mExecutable;
    std::vector<std::string> mPaths;
};

// As above; the argument is the executable's code size.
void VeilorPatchSignedAgainstUnsigned(benchmark::State& state)
{
    const auto code = static_cast<std::uint32_t>(state.range(0));
    ExecutableBundles adhoc(true, code), plain(false, code);
    for (auto _ : state) {
        const auto [resigned, unsigned_] = Interleaved(
            state, {"signed", [&] { adhoc.Reset(); }, [&] { return RunVeilorPatch(adhoc.Paths()); }},
            {"unsigned", [&] { plain.Reset(); }, [&] { return RunVeilorPatch(plain.Paths()); }});
        state.counters["ratio"] = resigned / unsigned_;
    }
    state.SetItemsProcessed(state.iterations() * kSignedBundles);
}

// A command through the shell, for the floors' tools.
bool Shell(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

// The list of files in a file of its own, one a line, for xargs.
std::string ListFile(const fs::path& at, const std::vector<std::string>& files)
{
    std::ofstream list(at, std::ios::trunc);
    for (const std::string& file : files) list << file << "\n";
    return at.string();
}

// Signed bundles re-signed by veilor-patch, beside the floor any crash-safe re-sign has: the
// unsigned run, one SHA-256 pass over every executable spread over the cores, and a copy of every
// executable (the new file). The argument is the executable's code size.
void VeilorPatchSignedAgainstFloor(benchmark::State& state)
{
    const auto code = static_cast<std::uint32_t>(state.range(0));
    ExecutableBundles adhoc(true, code), plain(false, code);
    std::vector<std::string> executables;
    for (const std::string& path : plain.Paths()) executables.push_back(path + "/Contents/MacOS/Tool");
    const std::string list =
        ListFile(fs::path(plain.Paths().front()).parent_path() / "executables", executables);
    const std::string digest = "xargs -P \"$(nproc)\" -n 64 openssl dgst -sha256 < " + list + " > /dev/null";
    const std::string copy = "while read -r f; do cp --reflink=auto \"$f\" \"$f.copy\"; done < " + list;
    for (auto _ : state) {
        const auto [resigned, floor] = Interleaved(
            state, {"signed", [&] { adhoc.Reset(); }, [&] { return RunVeilorPatch(adhoc.Paths()); }},
            {"floor", [&] { plain.Reset(); },
             [&] { return RunVeilorPatch(plain.Paths()) && Shell(digest) && Shell(copy) && Shell("sync"); }});
        state.counters["ratio"] = resigned / floor;
    }
    state.SetItemsProcessed(state.iterations() * kSignedBundles);
}

// --verify over the signed bundles beside one SHA-256 pass over what it must hash (every
// executable and sealed file), spread over the cores.
void VerifyAgainstDigest(benchmark::State& state)
{
    const auto code = static_cast<std::uint32_t>(state.range(0));
    ExecutableBundles adhoc(true, code);
    std::vector<std::string> files;
    for (const std::string& path : adhoc.Paths()) {
        files.push_back(path + "/Contents/MacOS/Tool");
        files.push_back(path + "/Contents/Info.plist");
        files.push_back(path + "/Contents/_CodeSignature/CodeResources");
    }
    const std::string list = ListFile(fs::path(adhoc.Paths().front()).parent_path() / "sealed", files);
    std::vector<std::string> verify{"--verify", "-q"};
    verify.insert(verify.end(), adhoc.Paths().begin(), adhoc.Paths().end());
    const std::string digest = "xargs -P \"$(nproc)\" -n 64 openssl dgst -sha256 < " + list + " > /dev/null";
    for (auto _ : state) {
        const auto [verified, hashed] =
            Interleaved(state, {"verify", [] {}, [&] { return RunVeilorPatch(verify); }},
                        {"digest", [] {}, [&] { return Shell(digest); }});
        state.counters["ratio"] = verified / hashed;
    }
    state.SetItemsProcessed(state.iterations() * kSignedBundles);
}

}  // namespace

BENCHMARK(VeilorPatchSignedAgainstFloor)
    ->Arg(16 << 10)
    ->Arg(1 << 20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(VerifyAgainstDigest)
    ->Arg(16 << 10)
    ->Arg(1 << 20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(VeilorPatchSignedAgainstUnsigned)
    ->Arg(16 << 10)
    ->Arg(64 << 10)
    ->Arg(256 << 10)
    ->Arg(1 << 20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(VeilorPatchAgainstSafeWriteLoop)->Iterations(1)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(VeilorPatchSecondCall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
