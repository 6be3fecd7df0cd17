// SPDX-License-Identifier: MIT
// Veilor's window against bare Qt Widgets windows: the time from spawning the process to its
// window being shown (offscreen), each pair run back to back, the order switched every pair so
// that neither profits from the other's warm caches. Against the same window made straight with
// Qt (its menus and texts, none of Veilor's layers) the aim is 1.2x at most; against an empty
// QWidget, which draws no text and so never loads a font, the figure is told for comparison.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A runtime folder of its own, so that no Veilor already running takes the start over.
class Environment {
public:
    Environment()
    {
        std::string pattern = (fs::temp_directory_path() / "veilor-startup-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        mRuntime = pattern;
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view text(*entry);
            if (text.starts_with("QT_QPA_PLATFORM=") || text.starts_with("XDG_RUNTIME_DIR=")) continue;
            mStrings.emplace_back(text);
        }
        mStrings.push_back("QT_QPA_PLATFORM=offscreen");
        mStrings.push_back("VEILOR_QUIT_WHEN_SHOWN=1");
        mStrings.push_back("XDG_RUNTIME_DIR=" + mRuntime.string());
        for (std::string& text : mStrings) mPointers.push_back(text.data());
        mPointers.push_back(nullptr);
    }
    ~Environment() { fs::remove_all(mRuntime); }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    char** Get() { return mPointers.data(); }

private:
    fs::path mRuntime;
    std::vector<std::string> mStrings;
    std::vector<char*> mPointers;
};

// Seconds from the spawn to the child's "shown"; nothing when it did not say so within 20 s.
std::optional<double> TimeToShown(std::vector<std::string> args, Environment& environment)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    pid_t child = -1;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environment.Get());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::optional<double> seconds;
    if (spawned == 0) {
        pollfd ready{out[0], POLLIN, 0};
        char byte = 0;
        if (poll(&ready, 1, 20000) == 1 && read(out[0], &byte, 1) == 1 && byte == 's')
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
        else
            kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) seconds.reset();
    }
    close(out[0]);
    return seconds;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void BM_StartUpAgainst(benchmark::State& state, std::vector<std::string> bareArgs)
{
    const std::vector<std::string> veilorArgs{VEILOR_BIN};
    Environment environment;
    std::vector<double> bare, veilor, ratios;  // ratios: each pair's own, robust to load that comes and goes
    bool veilorFirst = false;
    for (auto _ : state) {
        std::optional<double> first = TimeToShown(veilorFirst ? veilorArgs : bareArgs, environment);
        std::optional<double> second = TimeToShown(veilorFirst ? bareArgs : veilorArgs, environment);
        if (!first || !second) {
            state.SkipWithError("a window did not report being shown");
            return;
        }
        if (veilorFirst) std::swap(first, second);
        veilorFirst = !veilorFirst;
        bare.push_back(*first);
        veilor.push_back(*second);
        ratios.push_back(*second / *first);
        state.SetIterationTime(*second);
    }
    state.counters["bare_ms"] = Median(bare) * 1000;
    state.counters["veilor_ms"] = Median(veilor) * 1000;
    state.counters["ratio"] = Median(ratios);
}
BENCHMARK_CAPTURE(BM_StartUpAgainst, SameWindowInBareQt, std::vector<std::string>{BARE_QT_WINDOW_BIN})
    ->Iterations(40)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StartUpAgainst, EmptyQtWindow, std::vector<std::string>{BARE_QT_WINDOW_BIN, "--empty"})
    ->Iterations(40)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
