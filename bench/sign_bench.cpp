// SPDX-License-Identifier: MIT
// veilor-patch --sign over a bundle with a 64 MiB universal main executable and a 64 MiB framework,
// beside the floor of reading every byte of the bundle once and hashing it with SHA-256
// (`openssl dgst -sha256` over the same files, in the same run). The target: within 1.3x.

#include "tests/macho_craft.h"

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSlice = 32u << 20;

std::string List(const std::string& executable)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleExecutable</key>\n\t<string>" +
           executable + "</string>\n\t<key>CFBundleIdentifier</key>\n\t<string>org.example." + executable +
           "</string>\n</dict>\n</plist>\n";
}

// Unsigned code of that size, with room in its header for a signature's load command.
std::string Code(std::uint32_t size)
{
    craft::Shape shape;
    shape.codeSize = size;
    shape.signature = false;
    return craft::Thin(shape).bytes;
}

void Write(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

double Seconds(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(126);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void SignAgainstHashingEveryByte(benchmark::State& state)
{
    std::string pattern = (fs::temp_directory_path() / "veilor-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    const fs::path root = pattern, app = root / "Big.app";
    // The executables are laid down once; each run restores them before it starts, untimed.
    const std::string main = craft::Fat({Code(kSlice), Code(kSlice)}), framework = Code(2 * kSlice);
    const auto lay = [&] {
        fs::remove_all(app);
        Write(app / "Contents/Info.plist", List("Big"));
        Write(app / "Contents/MacOS/Big", main);
        const fs::path kit = app / "Contents/Frameworks/Kit.framework";
        Write(kit / "Versions/A/Kit", framework);
        Write(kit / "Versions/A/Resources/Info.plist", List("Kit"));
        fs::create_symlink("A", kit / "Versions/Current");
        Write(app / "Contents/Resources/icon.icns", std::string(1 << 20, 'i'));
        ::sync();
    };
    std::vector<std::string> files;
    double sign = 0, floor = 0;
    for (auto _ : state) {
        state.PauseTiming();
        lay();
        files = {"openssl", "dgst", "-sha256"};
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(app))
            if (entry.is_regular_file() && !entry.is_symlink()) files.push_back(entry.path().string());
        state.ResumeTiming();
        const double signing = Seconds({VEILOR_PATCH_BIN, "--sign", app.string()});
        const double hashing = Seconds(files);
        if (signing < 0 || hashing < 0) state.SkipWithError("a run failed");
        sign += signing;
        floor += hashing;
        state.SetIterationTime(signing);
    }
    state.counters["floor_s"] = floor / double(state.iterations());
    state.counters["ratio"] = sign / floor;
    fs::remove_all(root);
}

}  // namespace

BENCHMARK(SignAgainstHashingEveryByte)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_MAIN();
