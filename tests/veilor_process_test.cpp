// SPDX-License-Identifier: MIT
// The built program as a process: command-line paths, a second instance, and SIGTERM.

#include "file_fixtures.h"

#include <gtest/gtest.h>

#include <thread>

using namespace fixtures;

namespace {

[[nodiscard]] bool Eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 600; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
        if (done()) return true;
    return false;
}

// Instances started from now on meet in `runtimeDir`, with no display.
void RunIn(const fs::path& runtimeDir)
{
    fs::create_directories(runtimeDir);
    fs::permissions(runtimeDir, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace

// The first instance patches its arguments. A second one waits for it while it is stopped, then
// opens its path itself and leaves the socket alone; the first, resumed, does not open that path
// again, still takes hand-overs (a relative path named in the sender's own folder), and quits on
// SIGTERM.
TEST(VeilorProcess, AStalledInstanceKeepsItsSocketNeverOpensAPathTakenBackAndQuitsOnSigterm)
{
    TempFolder temp;
    const fs::path runtimeDir = temp / "run", socketPath = runtimeDir / "veilor.socket";
    RunIn(runtimeDir);
    const fs::path first = temp / "First.app", classic = temp / "Classic", takenBack = temp / "TakenBack.app",
                   later = temp / "Later.app";
    for (const fs::path& app : {first, classic, takenBack, later}) MakeApp(app);

    Child owner([&] { return Exec({VEILOR_BINARY, first.string(), classic.string()}); });
    ASSERT_TRUE(Eventually([&] { return IsPatched(first) && IsPatched(classic); }));
    const ino_t socketInode = LinkStatus(socketPath).st_ino;
    ASSERT_NE(socketInode, 0u);
    ASSERT_EQ(kill(owner.Pid(), SIGSTOP), 0);

    Child second([&] { return Exec({VEILOR_BINARY, takenBack.string()}); });
    EXPECT_TRUE(Eventually([&] { return IsPatched(takenBack); }));
    EXPECT_EQ(LinkStatus(socketPath).st_ino, socketInode);
    ASSERT_EQ(kill(second.Pid(), SIGTERM), 0);
    EXPECT_EQ(second.Wait(std::chrono::seconds(60)).status, 0);
    EXPECT_EQ(LinkStatus(socketPath).st_ino, socketInode);

    // Unpatched again: were the first to act on the message it never saw confirmed, it would show.
    MakeApp(takenBack);
    ASSERT_EQ(kill(owner.Pid(), SIGCONT), 0);
    Child third([&] { return ::chdir(temp.Path().c_str()) == 0 ? Exec({VEILOR_BINARY, "Later.app"}) : 125; });
    EXPECT_EQ(third.Wait(std::chrono::seconds(60)).status, 0);
    EXPECT_TRUE(Eventually([&] { return IsPatched(later); }));
    EXPECT_FALSE(IsPatched(takenBack));

    ASSERT_EQ(kill(owner.Pid(), SIGTERM), 0);
    EXPECT_EQ(owner.Wait(std::chrono::seconds(60)).status, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
}

TEST(VeilorProcess, WithoutADisplayItSaysSoInOneLineAndEndsWithStatusOne)
{
    TempFolder temp;
    RunIn(temp / "run");
    const fs::path app = MakeApp(temp / "Waiting.app", kAppPlist);
    const struct {
        const char *name, *display, *platform;
    } cases[] = {
        {"no display at all", nullptr, nullptr},
        {"a display no server answers", ":65000", nullptr},
        {"a platform that cannot start", nullptr, "xcb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Finished end =
            Child([&] {
                unsetenv("WAYLAND_DISPLAY");
                c.display ? setenv("DISPLAY", c.display, 1) : unsetenv("DISPLAY");
                c.platform ? setenv("QT_QPA_PLATFORM", c.platform, 1) : unsetenv("QT_QPA_PLATFORM");
                return Exec({VEILOR_BINARY, app.string()});
            }).Wait();
        EXPECT_EQ(end.status, 1);
        EXPECT_EQ(std::count(end.err.begin(), end.err.end(), '\n'), 1) << end.err;
        EXPECT_NE(end.err.find("xvfb-run"), std::string::npos) << end.err;
        EXPECT_FALSE(IsPatched(app));
    }
}
