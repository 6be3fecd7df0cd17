// SPDX-License-Identifier: MIT
// The built program as a process: command-line paths, a second instance, and SIGTERM.

#include "gui_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

using namespace gui_test;

namespace {

// Starts `veilor` with the paths, in the current folder and environment.
pid_t Start(std::vector<std::string> args)
{
    args.insert(args.begin(), VEILOR_BINARY);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, VEILOR_BINARY, nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

bool Eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 600; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
        if (done()) return true;
    return false;
}

// The exit status, or -1 when the process did not end normally (or not in a long while).
int WaitForExit(pid_t pid)
{
    int status = 0;
    if (!Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(VeilorProcess, PatchesItsArgumentsTakesASecondInstancesPathsAndQuitsOnSigterm)
{
    TempFolder temp;
    const fs::path runtimeDir = temp / "run";
    fs::create_directories(runtimeDir);
    fs::permissions(runtimeDir, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const fs::path bundle = MakeBundle(temp.Path(), "First");
    const fs::path classic = MakeClassicApp(temp.Path(), "Second");
    const fs::path later = MakeBundle(temp.Path(), "Later");

    const pid_t first = Start({bundle.string(), classic.string()});
    ASSERT_GT(first, 0);
    EXPECT_TRUE(Eventually([&] { return Patched(bundle) && Patched(classic); }));
    EXPECT_FALSE(Patched(later));

    // A relative path names the item in the second instance's own folder, not the first's.
    const fs::path here = fs::current_path();
    fs::current_path(temp.Path());
    const pid_t second = Start({"Later.app"});
    fs::current_path(here);
    ASSERT_GT(second, 0);
    EXPECT_EQ(WaitForExit(second), 0);
    EXPECT_TRUE(Eventually([&] { return Patched(later); }));

    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(WaitForExit(first), 0);
}
