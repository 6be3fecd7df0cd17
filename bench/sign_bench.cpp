// SPDX-License-Identifier: MIT
// veilor-patch --sign over a bundle with a 64 MiB universal main executable and a 64 MiB framework,
// beside the floor of reading every byte of the bundle once and hashing it with SHA-256
// (`openssl dgst -sha256` over the same files, in the same run). The target: within 1.3x.

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Code of about `size` bytes linked by clang and ld64.lld, as a Linux build leaves it: signed by
// the linker alone. `kind` is -execute or -dylib; empty when the tools are missing.
std::string Linked(const fs::path& folder, const std::string& arch, const std::string& kind,
                   std::uint32_t size)
{
    std::ofstream(folder / "libSystem.tbd")
        << "--- !tapi-tbd\ntbd-version: 4\ntargets: [ x86_64-macos, arm64-macos ]\n"
           "install-name: /usr/lib/libSystem.B.dylib\ncurrent-version: 1311\nexports:\n"
           "  - targets: [ x86_64-macos, arm64-macos ]\n    symbols: [ dyld_stub_binder ]\n...\n";
    std::ofstream(folder / "big.c") << "const char big[" << size
                                    << "] = {1};\nint main(void) { return big[0]; }\n";
    const std::string out = (folder / (arch + kind)).string();
    const std::string command = "cd '" + folder.string() + "' && clang-14 -target " + arch +
                                "-apple-macos11 -c big.c -o big.o && ld64.lld-14 -arch " + arch + " " + kind +
                                " -platform_version macos 11.0 11.0 -adhoc_codesign -o '" + out +
                                "' big.o libSystem.tbd 2>/dev/null";
    if (std::system(command.c_str()) != 0) return {};
    return Read(out);
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
    const std::string arm = Linked(root, "arm64", "-execute", kSlice),
                      intel = Linked(root, "x86_64", "-execute", kSlice);
    const std::string framework = Linked(root, "arm64", "-dylib", 2 * kSlice);
    if (arm.empty() || intel.empty() || framework.empty()) {
        state.SkipWithError("clang-14 and ld64.lld-14 are needed");
        return;
    }
    std::ofstream(root / "a") << arm;
    std::ofstream(root / "i") << intel;
    if (std::system(("llvm-lipo-14 -create '" + (root / "a").string() + "' '" + (root / "i").string() +
                     "' -output '" + (root / "u").string() + "'")
                        .c_str()) != 0) {
        state.SkipWithError("llvm-lipo-14 is needed");
        return;
    }
    const std::string main = Read(root / "u");
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
        // The floor first, over the bundle as the signer meets it: where the new files share the
        // old blocks (XFS, btrfs) their pages are not cached, and hashing them after would read the disk.
        const double hashing = Seconds(files);
        const double signing = Seconds({VEILOR_PATCH_BIN, "--sign", app.string()});
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
