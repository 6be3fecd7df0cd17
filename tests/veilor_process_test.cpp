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

}  // namespace

TEST(VeilorProcess, PatchesItsArgumentsTakesASecondInstancesPathsAndQuitsOnSigterm)
{
    TempFolder temp;
    const fs::path runtimeDir = temp / "run";
    fs::create_directories(runtimeDir);
    fs::permissions(runtimeDir, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const fs::path bundle = temp / "First.app", classic = temp / "Second", later = temp / "Later.app";
    for (const fs::path& app : {bundle, classic, later}) MakeApp(app);

    Child first([&] { return Exec({VEILOR_BINARY, bundle.string(), classic.string()}); });
    ASSERT_GT(first.Pid(), 0);
    EXPECT_TRUE(Eventually([&] { return IsPatched(bundle) && IsPatched(classic); }));
    EXPECT_FALSE(IsPatched(later));

    // A relative path names the item in the second instance's own folder, not the first's.
    const fs::path here = fs::current_path();
    fs::current_path(temp.Path());
    Child second([] { return Exec({VEILOR_BINARY, "Later.app"}); });
    fs::current_path(here);
    EXPECT_EQ(second.Wait(std::chrono::seconds(60)).status, 0);
    EXPECT_TRUE(Eventually([&] { return IsPatched(later); }));

    ASSERT_EQ(kill(first.Pid(), SIGTERM), 0);
    EXPECT_EQ(first.Wait(std::chrono::seconds(60)).status, 0);
}
