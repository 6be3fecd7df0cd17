// The built program as a process: command-line paths, a second instance, and SIGTERM.

#include "gui_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace gui_test;

namespace {

// Starts `veilor` with the paths, offscreen, with its runtime socket in `runtimeDir`.
pid_t Start(const fs::path& runtimeDir, const std::vector<std::string>& paths)
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("XDG_RUNTIME_DIR=") && !text.starts_with("QT_QPA_PLATFORM=")) env.emplace_back(text);
    }
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDir.string());
    env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<std::string> args{VEILOR_BINARY};
    args.insert(args.end(), paths.begin(), paths.end());

    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (std::string& s : strings) out.push_back(s.data());
        out.push_back(nullptr);
        return out;
    };
    std::vector<char*> argv = pointers(args), envp = pointers(env);
    pid_t pid = -1;
    if (posix_spawn(&pid, VEILOR_BINARY, nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    return pid;
}

bool Eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 600; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// The exit status, or -1 when the process did not end normally (or not in a long while).
int WaitForExit(pid_t pid)
{
    int status = 0;
    pid_t done = 0;
    if (!Eventually([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; })) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(VeilorProcess, PatchesItsArgumentsTakesASecondInstancesPathsAndQuitsOnSigterm)
{
    TempFolder temp;
    const fs::path runtimeDir = temp.Path() / "run";
    fs::create_directories(runtimeDir);
    fs::permissions(runtimeDir, fs::perms::owner_all);
    const fs::path bundle = MakeBundle(temp.Path(), "First");
    const fs::path classic = MakeClassicApp(temp.Path(), "Second");
    const fs::path later = MakeBundle(temp.Path(), "Later");

    const pid_t first = Start(runtimeDir, {bundle.string(), classic.string()});
    ASSERT_GT(first, 0);
    EXPECT_TRUE(Eventually([&] { return BundlePatched(bundle) && ClassicAppPatched(classic); }));
    EXPECT_FALSE(BundlePatched(later));

    const pid_t second = Start(runtimeDir, {later.string()});
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitForExit(second), 0);
    EXPECT_TRUE(Eventually([&] { return BundlePatched(later); }));

    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(WaitForExit(first), 0);
}

TEST(VeilorProcess, ARelativePathIsHandedOverAsTheSameItem)
{
    TempFolder temp;
    const fs::path runtimeDir = temp.Path() / "run";
    fs::create_directories(runtimeDir);
    fs::permissions(runtimeDir, fs::perms::owner_all);
    const fs::path bundle = MakeBundle(temp.Path(), "Relative");

    const pid_t first = Start(runtimeDir, {});
    ASSERT_GT(first, 0);
    ASSERT_TRUE(Eventually([&] { return fs::exists(runtimeDir / "veilor.socket"); }));

    const fs::path here = fs::current_path();
    fs::current_path(temp.Path());
    const pid_t second = Start(runtimeDir, {"Relative.app"});
    fs::current_path(here);
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitForExit(second), 0);
    EXPECT_TRUE(Eventually([&] { return BundlePatched(bundle); }));

    ASSERT_EQ(kill(first, SIGINT), 0);
    EXPECT_EQ(WaitForExit(first), 0);
}
