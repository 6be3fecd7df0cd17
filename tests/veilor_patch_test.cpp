// SPDX-License-Identifier: MIT
// The built veilor-patch, run as a process with no display, on real temporary applications.

#include "file_fixtures.h"
#include "signed_bundles.h"

#include "platform/framework/folder_item.h"
#include "platform/framework/unique_fd.h"

#include "platform/plist/cfobject.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace fixtures;

namespace {

const std::string kDemoXml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                             "<key>CFBundleName</key><string>Demo</string></dict></plist>";

// kDemoXml with the entry added, as CoreFoundation writes it.
const std::string kDemoPatched = TestData("cli/demo-patched.plist");

// {"CFBundleName": "Demo"} and {"NSUIElement": "1"} in the binary form, packed by hand.
const std::string kDemoBinary = TestData("cli/demo.bplist");
const std::string kFlaggedBinary = TestData("cli/flagged.bplist");

// A type APPL companion whose fork holds kDemoXml as plst 0: Finder info at 50, the fork at 82.
const std::string kCompanion = TestData("cli/plst-appl.adouble");

class VeilorPatchTest : public ::testing::Test {
protected:
    fs::path Bundle(const std::string& name, const std::string& info)
    {
        WriteBytes(mDir / name / "Contents" / "Info.plist", info);
        return mDir / name;
    }

    fs::path SingleFile(const fs::path& path, const std::string& companion)
    {
        WriteBytes(path, "data fork");
        WriteBytes(path.parent_path() / ("._" + path.filename().string()), companion);
        return path;
    }

    // Runs veilor-patch in the test's folder with no display, as `user`, with files limited to
    // `fileSizeLimit` bytes when it is not 0, killed after `killAfter` when that is not 0.
    Finished Run(const std::vector<std::string>& args, uid_t user = 0, rlim_t fileSizeLimit = 0,
                 std::chrono::microseconds killAfter = {})
    {
        auto body = [&] {
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
            struct rlimit limit = {fileSizeLimit, fileSizeLimit};
            if (chdir(mDir.Path().c_str()) != 0 ||
                (fileSizeLimit != 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0))
                return 124;
            std::vector<std::string> argv{VEILOR_PATCH_BIN};
            argv.insert(argv.end(), args.begin(), args.end());
            return Exec(argv);
        };
        Child child(body, user);
        if (killAfter.count() != 0) {
            ::usleep(useconds_t(killAfter.count()));
            ::kill(child.Pid(), SIGKILL);
        }
        return child.Wait();
    }

    TempFolder mDir;
};

TEST_F(VeilorPatchTest, PatchesOrReportsEveryPathAndChecksBeforeAndAfter)
{
    const fs::path xml = Bundle("Xml.app", kDemoXml), binary = Bundle("Binary.app", kDemoBinary),
                   oldText = Bundle("OldText.app", "{ CFBundleName = Demo; }"),
                   patched = Bundle("Patched.app", kDemoPatched),
                   signedOne = Bundle("Signed\tTool.app", kDemoXml),
                   flagged =
                       Bundle("Flagged.app", "<plist><dict><key>NSUIElement</key><true/></dict></plist>"),
                   flaggedSigned = Bundle("FlaggedSigned.app", kFlaggedBinary),
                   empty = Bundle("Empty.app", ""),
                   broken = Bundle("Broken.app", "<plist><dict><key>a</key></plist>");
    fs::create_directories(signedOne / "Contents" / "_CodeSignature");
    // Unchanged, so not written at all.
    fs::create_directories(patched / "Contents" / "_CodeSignature");
    fs::create_directories(flaggedSigned / "Contents" / "_CodeSignature");
    const ino_t flaggedInode = LinkStatus(flaggedSigned / "Contents" / "Info.plist").st_ino;
    const fs::path classic = SingleFile(mDir / "Classic", kCompanion);
    const fs::path document = SingleFile(mDir / "Notes", std::string(kCompanion).replace(50, 4, "TEXT"));
    const fs::path shortFork = SingleFile(mDir / "Short", kCompanion.substr(0, 300));
    const fs::path missing = mDir / "Missing.app";
    // Links named as arguments are followed, with or without a trailing slash.
    const fs::path real = Bundle("Real.app", kDemoXml), realToo = Bundle("RealToo.app", kDemoXml);
    fs::create_directory_symlink(real, mDir / "Link.app");
    fs::create_directory_symlink("RealToo.app", mDir / "Relative.app");
    const fs::path forged = Bundle("x\nfake.app: Failed to write info.plist file.", "");
    const std::vector<std::string> check{"--check", xml.string(), flagged.string(), classic.string(),
                                         "Relative.app/"};

    Finished before = Run(check);
    EXPECT_EQ(before.status, 1);
    EXPECT_EQ(before.out, xml.string() + ": no NSUIElement\n" + flagged.string() + ": NSUIElement = true\n" +
                              classic.string() + ": no NSUIElement\nRelative.app/: no NSUIElement\n");
    EXPECT_EQ(ReadBytes(xml / "Contents" / "Info.plist"), kDemoXml);

    Finished r = Run({xml.string(), binary.string(), oldText.string(), patched.string(), signedOne.string(),
                      flaggedSigned.string(), classic.string(), document.string(), empty.string(),
                      broken.string(), shortFork.string(), missing.string(), (mDir / "Link.app").string(),
                      "Relative.app/", forged.string()});
    EXPECT_EQ(r.status, 1);
    // A signature folder without an executable that a signature could bind is no signature.
    EXPECT_EQ(r.err, document.string() + ": not an application, left alone\n" + empty.string() +
                         ": No plst resource in file Empty.app.\n" + broken.string() +
                         ": property list cannot be read, left alone\n" + shortFork.string() +
                         ": Failed to open resource fork of file Short. (damaged)\n" + missing.string() +
                         ": No such file or folder.\n" +
                         (mDir / "x\\nfake.app: Failed to write info.plist file.").string() +
                         ": No plst resource in file x\\nfake.app: Failed to write info.plist file..\n");
    for (const fs::path& bundle : {xml, binary, oldText, patched, signedOne, real, realToo})
        EXPECT_EQ(ReadBytes(bundle / "Contents" / "Info.plist"), kDemoPatched) << bundle;
    EXPECT_EQ(ReadBytes(flaggedSigned / "Contents" / "Info.plist"), kFlaggedBinary);
    EXPECT_EQ(LinkStatus(flaggedSigned / "Contents" / "Info.plist").st_ino, flaggedInode);
    EXPECT_NE(ReadBytes(mDir / "._Classic").find(kDemoPatched), std::string::npos);
    EXPECT_EQ(ReadBytes(classic), "data fork");
    EXPECT_EQ(ReadBytes(mDir / "._Notes"), std::string(kCompanion).replace(50, 4, "TEXT"));
    EXPECT_EQ(ReadBytes(empty / "Contents" / "Info.plist"), "");
    EXPECT_EQ(ReadBytes(broken / "Contents" / "Info.plist"), "<plist><dict><key>a</key></plist>");
    EXPECT_EQ(ReadBytes(mDir / "._Short"), kCompanion.substr(0, 300));

    // Left alone, the window's rule all the same: a list or companion newer than the item refreshes it.
    const auto old = fs::last_write_time(document) - std::chrono::hours(1);
    for (const fs::path& item : {document, broken}) fs::last_write_time(item, old);
    Run({document.string(), broken.string()});
    for (const fs::path& item : {document, broken}) EXPECT_GT(fs::last_write_time(item), old) << item;

    // A skip is a note and no failure, unless --strict asks.
    for (bool strict : {false, true}) {
        std::vector<std::string> args{document.string(), (mDir / "Plain").string()};
        fs::create_directories(mDir / "Plain");
        if (strict) args.insert(args.begin(), "--strict");
        Finished skipped = Run(args);
        EXPECT_EQ(skipped.status, strict ? 1 : 0);
        EXPECT_EQ(skipped.err, document.string() + ": not an application, left alone\n" +
                                   (mDir / "Plain").string() + ": not an application, left alone\n");
    }

    Finished after = Run(check);
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.out, xml.string() + ": NSUIElement = \"true\"\n" + flagged.string() +
                             ": NSUIElement = true\n" + classic.string() +
                             ": NSUIElement = \"true\"\nRelative.app/: NSUIElement = \"true\"\n");
}

TEST_F(VeilorPatchTest, CheckPassesOnlyAnApplicationThatRunsAsAnAgent)
{
    const struct {
        const char* entries;
        int status;
        const char* out;
    } cases[] = {
        {"<key>NSUIElement</key><true/>", 0, "NSUIElement = true"},
        {"<key>NSUIElement</key><integer>1</integer>", 0, "NSUIElement = 1"},
        {"<key>LSUIElement</key><string>1</string>", 0, "LSUIElement = \"1\""},
        {"<key>NSUIElement</key><string>0</string><key>LSUIElement</key><true/>", 0,
         "NSUIElement = \"0\", LSUIElement = true"},
        {"<key>NSUIElement</key><false/>", 1, "NSUIElement = false, not an agent"},
        {"<key>NSUIElement</key><string>0</string>", 1, "NSUIElement = \"0\", not an agent"},
        {"<key>LSUIElement</key><integer>0</integer>", 1, "LSUIElement = 0, not an agent"},
        {"<key>LSUIElement</key><string>yes please</string>", 1,
         "LSUIElement = \"yes please\", not an agent"},
        {"", 1, "no NSUIElement"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries);
        const fs::path app =
            Bundle("Agent.app", std::string("<plist><dict>") + c.entries + "</dict></plist>");
        Finished r = Run({"--check", app.string()});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, app.string() + ": " + c.out + "\n");
    }
}

TEST_F(VeilorPatchTest, ReadOnlyApplicationsCanBeCheckedButAreReportedAndLeftAlone)
{
    const fs::path bundle = Bundle("Locked.app", kDemoXml);
    fs::permissions(bundle / "Contents" / "Info.plist", fs::perms(0444));
    // Its folders writable, so only the file's own bits stand in the way.
    fs::permissions(bundle, fs::perms::all);
    fs::permissions(bundle / "Contents", fs::perms::all);
    const fs::path classic = SingleFile(mDir / "ReadOnlyShelf" / "Classic", kCompanion);
    fs::permissions(classic.parent_path(), fs::perms(0755));
    // Folders that may not be searched hide whether there is an Info.plist: that is no skip.
    const fs::path closed = Bundle("Closed.app", kDemoXml), shut = Bundle("Shut.app", kDemoXml);
    fs::permissions(closed, fs::perms(0700));
    fs::permissions(shut / "Contents", fs::perms(0700));
    for (const std::string cause : {"", " (Permission denied)"}) {
        const char* first = cause.empty() ? "--check" : "--strict";
        Finished barredRun = Run({first, closed.string(), shut.string()}, kNobody);
        EXPECT_EQ(barredRun.status, 1) << first;
        EXPECT_EQ(barredRun.err, closed.string() + ": Failed to open info.plist file." + cause + "\n" +
                                     shut.string() + ": Failed to open info.plist file." + cause + "\n")
            << first;
    }

    Finished check = Run({"--check", classic.string()}, kNobody);
    EXPECT_EQ(check.err, "");
    EXPECT_EQ(check.out, classic.string() + ": no NSUIElement\n");

    Finished r = Run({bundle.string(), classic.string()}, kNobody);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bundle.string() + ": Failed to open info.plist file. (Permission denied)\n" +
                         classic.string() +
                         ": Failed to open resource fork of file Classic. (Permission denied)\n");
    EXPECT_EQ(ReadBytes(bundle / "Contents" / "Info.plist"), kDemoXml);
    EXPECT_EQ(ReadBytes(classic.parent_path() / "._Classic"), kCompanion);
}

// A file-size limit fails the write of what would grow past it, not the process: the rest go on.
TEST_F(VeilorPatchTest, AFileSizeLimitFailsThatWriteAndTheBatchGoesOn)
{
    std::string entries;
    for (int i = 0; i < 1000; ++i) entries += "<key>Key" + std::to_string(i) + "</key><string>value</string>";
    const std::string large = "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>";  // some 37 KB
    const struct {
        const char* name;
        bool linked;  // a second name: written in place
    } cases[] = {{"Large.app", false}, {"Linked.app", true}};
    std::vector<std::string> args;
    std::string expected;
    for (const auto& c : cases) {
        const fs::path bundle = Bundle(c.name, large);
        if (c.linked) fs::create_hard_link(bundle / "Contents" / "Info.plist", mDir / "other.plist");
        args.push_back(bundle.string());
        expected += bundle.string() + ": Failed to write info.plist file. (File too large)\n";
    }
    const fs::path small = Bundle("Small.app", kDemoXml);
    args.push_back(small.string());

    // Room for the old file, not for the serialiser's longer layout of it.
    Finished r = Run(args, 0, large.size() + 1000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
    for (const auto& c : cases) {
        EXPECT_EQ(ReadBytes(mDir / c.name / "Contents" / "Info.plist"), large) << c.name;
        EXPECT_EQ(Listing(mDir / c.name / "Contents"), std::vector<std::string>{"Info.plist"}) << c.name;
    }
    EXPECT_EQ(ReadBytes(small / "Contents" / "Info.plist"), kDemoPatched);
}

// Killed at random moments of a batch, several times over: each file is old or new, never cut,
// and a normal run afterwards patches the rest and leaves no temporary file behind.
TEST_F(VeilorPatchTest, AKilledBatchLeavesEachFileOldOrNewAndARerunFinishesIt)
{
    constexpr int kBundles = 300;
    // A limit of open files that makes groups of 100 rewrites (four descriptors each, 64 kept
    // free), so that each run has three; children inherit it.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit limited = {464, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limited), 0);
    auto bundles = [&](const std::string& name) {
        std::vector<std::string> args;
        for (int i = 0; i < kBundles; ++i) {
            args.push_back((mDir / name / ("App" + std::to_string(i) + ".app")).string());
            WriteBytes(fs::path(args.back()) / "Contents" / "Info.plist", kDemoXml);
        }
        return args;
    };
    // A whole run's time, so that the kills fall anywhere in one: preparing, renaming, flushing.
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Run(bundles("timed")).status, 0);
    const auto whole =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);

    const std::vector<std::string> args = bundles("killed");
    std::mt19937 random{std::random_device{}()};
    for (double share : {0.1, -1.0, -1.0, -1.0}) {
        if (share < 0) share = std::uniform_real_distribution(0.05, 0.95)(random);
        SCOPED_TRACE("killed at " + std::to_string(share) + " of " + std::to_string(whole.count()) + " us");
        Run(args, 0, 0, std::chrono::microseconds(std::int64_t(double(whole.count()) * share)));
        for (const std::string& bundle : args) {
            const std::string bytes = ReadBytes(fs::path(bundle) / "Contents" / "Info.plist");
            EXPECT_TRUE(bytes == kDemoXml || bytes == kDemoPatched) << bundle << " holds " << bytes;
        }
    }

    Finished rerun = Run(args);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(rerun.status, 0);
    EXPECT_EQ(rerun.err, "");
    for (const std::string& bundle : args) {
        EXPECT_EQ(ReadBytes(fs::path(bundle) / "Contents" / "Info.plist"), kDemoPatched) << bundle;
        EXPECT_EQ(Listing(fs::path(bundle) / "Contents"), std::vector<std::string>{"Info.plist"}) << bundle;
    }
}

// A path that may not be looked at is not called missing: the reason is told, with --check too.
TEST_F(VeilorPatchTest, APathThatCannotBeLookedAtIsToldSoAndAMissingOneIsMissing)
{
    const fs::path hidden = Bundle("Hidden/App.app", kDemoXml), missing = mDir / "Missing.app";
    fs::permissions(mDir / "Hidden", fs::perms(0700));
    for (const char* mode : {"--check", "--strict"}) {
        Finished r = Run({mode, hidden.string(), missing.string()}, kNobody);
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(r.err, hidden.string() + ": Cannot be looked at. (Permission denied)\n" + missing.string() +
                             ": No such file or folder.\n")
            << mode;
    }
    EXPECT_EQ(ReadBytes(hidden / "Contents" / "Info.plist"), kDemoXml);
}

// A full disk fails each rewrite with its message and the system's reason; nothing is changed.
TEST_F(VeilorPatchTest, OnAFullFileSystemEachFailureSaysWhy)
{
    const fs::path disk = mDir / "disk";
    fs::create_directories(disk);
    if (::mount("veilor-test", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here: " << std::strerror(errno);
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{disk};
    const fs::path bundle = Bundle("disk/Full.app", kDemoXml),
                   classic = SingleFile(disk / "Classic", kCompanion);
    {
        UniqueFd filler(::open((disk / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        const std::string block(4096, 'x');
        while (::write(filler.Get(), block.data(), block.size()) > 0) {}
    }
    Finished r = Run({bundle.string(), classic.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bundle.string() + ": Failed to write info.plist file. (No space left on device)\n" +
                         classic.string() +
                         ": Failed to write resource fork of file Classic. (No space left on device)\n");
    EXPECT_EQ(ReadBytes(bundle / "Contents" / "Info.plist"), kDemoXml);
    EXPECT_EQ(ReadBytes(disk / "._Classic"), kCompanion);
    EXPECT_EQ(Listing(disk), (std::vector<std::string>{"._Classic", "Classic", "Full.app", "filler"}));
}

// A list whose rewrite would outgrow what Veilor opens (64 MiB) is not written: its serialisation
// indents every level, so 1 MiB nested 500 deep comes out at some 70 MB.
TEST_F(VeilorPatchTest, ARewriteLargerThanWhatCanBeOpenedIsNotWritten)
{
    std::string deep = "<plist version=\"1.0\"><dict><key>K</key>";
    for (int i = 0; i < 498; ++i) deep += "<array>";
    for (int i = 0; i < 135000; ++i) deep += "<string/>";
    for (int i = 0; i < 498; ++i) deep += "</array>";
    deep += "</dict></plist>";
    const fs::path bundle = Bundle("Deep.app", deep);
    Finished r = Run({bundle.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bundle.string() + ": Failed to write info.plist file. (File too large)\n");
    EXPECT_TRUE(ReadBytes(bundle / "Contents" / "Info.plist") == deep);
    EXPECT_EQ(Listing(bundle / "Contents"), std::vector<std::string>{"Info.plist"});
}

// A list with a second name is written into its own inode. Killed at random moments of that
// write, it is old or new exactly once any later run has looked at it, and a rerun finishes it.
TEST_F(VeilorPatchTest, KilledWhileWritingInPlaceAListEndsOldOrNewExactly)
{
    const std::string old = "<plist version=\"1.0\"><dict><key>Blob</key><string>" +
                            std::string(std::size_t(60) << 20, 'a') + "</string></dict></plist>";
    const fs::path bundle = Bundle("Big.app", old), list = bundle / "Contents" / "Info.plist";
    fs::create_hard_link(list, mDir / "other-name");
    const fs::path copy = Bundle("Copy.app", old);
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Run({copy.string()}).status, 0);
    const auto whole =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    const std::string patched = ReadBytes(copy / "Contents" / "Info.plist");
    ASSERT_NE(patched, old);

    std::mt19937 random{std::random_device{}()};
    for (int kill = 0; kill < 4; ++kill) {
        const double share = std::uniform_real_distribution(0.3, 0.98)(random);
        SCOPED_TRACE("killed at " + std::to_string(share) + " of " + std::to_string(whole.count()) + " us");
        Run({bundle.string()}, 0, 0, std::chrono::microseconds(std::int64_t(double(whole.count()) * share)));
        (void)Run({"--check", bundle.string()});
        const std::string now = ReadBytes(list);
        EXPECT_TRUE(now == old || now == patched) << "neither old nor new, " << now.size() << " bytes";
        EXPECT_TRUE(ReadBytes(mDir / "other-name") == now);
        if (now == patched) WriteBytes(list, old);  // into the same inode: a new start for the next kill
    }
    EXPECT_EQ(Run({bundle.string()}).status, 0);
    EXPECT_TRUE(ReadBytes(list) == patched);
    EXPECT_TRUE(ReadBytes(mDir / "other-name") == patched);
    EXPECT_EQ(Listing(list.parent_path()), std::vector<std::string>{"Info.plist"});
}

// Out of descriptors, an application cannot be looked at: it fails with its open (or write)
// message and cause, and is never taken for a document. Once the limit leaves the files layer
// what it keeps open, the groups are sized to fit and every application is patched.
TEST_F(VeilorPatchTest, AnApplicationThatCannotBeLookedAtIsNeverCalledNotAnApplication)
{
    std::vector<std::string> apps;
    for (int i = 0; i < 100; ++i) {
        apps.push_back(Bundle("B" + std::to_string(i) + ".app", kDemoXml).string());
        apps.push_back(SingleFile(mDir / ("S" + std::to_string(i)), kCompanion).string());
    }
    auto told = [](const std::string& err, const std::string& app) {
        const std::string name = fs::path(app).filename().string();
        for (const std::string& message :
             {std::string("Failed to open info.plist file."), std::string("Failed to write info.plist file."),
              "Failed to open resource fork of file " + name + ".",
              "Failed to write resource fork of file " + name + "."})
            for (const char* end : {"\n", " ("})
                if (err.find(app + ": " + message + end) != std::string::npos) return true;
        return false;
    };
    int started = 0;
    for (int limit : {4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 40, 43, 46, 49, 52, 70, 100, 200}) {
        SCOPED_TRACE("ulimit -n " + std::to_string(limit));
        for (const std::string& app : apps) MakeApp(app, kDemoXml);
        std::string command = "ulimit -n " + std::to_string(limit) + "; exec " VEILOR_PATCH_BIN;
        for (const std::string& app : apps) command += " '" + app + "'";
        Finished checked =
            RunProgram({"/bin/sh", "-c", std::string(command).insert(command.find(" '"), " --check")});
        EXPECT_EQ(checked.err.find("not an application"), std::string::npos) << checked.err;
        Finished r = RunProgram({"/bin/sh", "-c", command});
        // Too few to load the program at all.
        const auto unchecked = [](const Finished& f) { return f.status == 127; };
        if (unchecked(r) || unchecked(checked)) continue;
        ++started;
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status << r.err;
        EXPECT_EQ(r.err.find("not an application"), std::string::npos) << r.err;
        for (const std::string& app : apps)
            EXPECT_TRUE(IsPatched(app) || told(r.err, app)) << app << "\n" << r.err;
        if (limit >= 70) {
            EXPECT_EQ(r.status, 0) << r.err;
        }
    }
    EXPECT_GE(started, 8);
}

// Nothing a terminal acts on or a reader takes for a line break: controls C0, DEL and C1 (raw or
// as UTF-8), line and paragraph separators, bidirectional controls, and bytes that are not UTF-8.
::testing::AssertionResult OneLineEachAndNoControls(const std::string& output, std::size_t lines)
{
    if (std::count(output.begin(), output.end(), '\n') != std::ptrdiff_t(lines) ||
        (!output.empty() && output.back() != '\n'))
        return ::testing::AssertionFailure() << "not " << lines << " lines: " << output;
    if (plist::WithInvalidUTF8Replaced(output) != output)
        return ::testing::AssertionFailure() << "not UTF-8: " << output;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const auto byte = static_cast<unsigned char>(output[i]);
        const std::string_view rest = std::string_view(output).substr(i);
        const auto next = rest.size() > 1 ? static_cast<unsigned char>(rest[1]) : 0;
        const auto third = rest.size() > 2 ? static_cast<unsigned char>(rest[2]) : 0;
        if ((byte < 0x20 && byte != '\n') || byte == 0x7F || (byte == 0xC2 && next < 0xA0) ||
            (byte == 0xD8 && next == 0x9C) ||
            (byte == 0xE2 && next == 0x80 &&
             (third == 0x8E || third == 0x8F || (third >= 0xA8 && third <= 0xAE))) ||
            (byte == 0xE2 && next == 0x81 && third >= 0xA6 && third <= 0xA9))
            return ::testing::AssertionFailure() << "a control at byte " << i << ": " << output;
    }
    return ::testing::AssertionSuccess();
}

TEST_F(VeilorPatchTest, EveryPrintedPathAndValueIsOneLineWithNoControls)
{
    // A value that would print a forged second report and clear the terminal's line.
    const std::string forging = "<plist><dict><key>NSUIElement</key><string>no&#10;evil.app: NSUIElement = "
                                "\"true\"&#27;[2K</string></dict></plist>";
    const fs::path forged = Bundle("Forged.app", forging);
    Finished check = Run({"--check", forged.string()});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out,
              forged.string() +
                  ": NSUIElement = \"no\\nevil.app: NSUIElement = \\\"true\\\"\\x1b[2K\", not an agent\n");

    const struct {
        const char* label;
        std::string name, shown;
    } names[] = {
        {"C0", "C0\x01\nx", "C0\\x01\\nx"},
        {"C1 as UTF-8", "C1\xC2\x9B[2K\xC2\x85", "C1\\u009b[2K\\u0085"},
        {"raw C1 byte", "raw\x9B", "raw\\x9b"},
        {"DEL", "del\x7F", "del\\x7f"},
        {"line separator", "ls\xE2\x80\xA8", "ls\\u2028"},
        {"right-to-left override", "bidi\xE2\x80\xAEppa", "bidi\\u202eppa"},
        {"invalid UTF-8", "bad\xFF\xC0", "bad\\xff\\xc0"},
        {"printable UTF-8", "Caf\xC3\xA9 \xE7\xA7\x91", "Caf\xC3\xA9 \xE7\xA7\x91"},
    };
    std::vector<std::string> agents, empties, documents;
    for (const auto& n : names) {
        SCOPED_TRACE(n.label);
        const fs::path agent = Bundle(n.name + ".app", forging), empty = Bundle(n.name + "-empty.app", "");
        const fs::path document = mDir / n.name;
        WriteBytes(document, "text");
        agents.push_back(agent.string());
        empties.push_back(empty.string());
        documents.push_back(document.string());

        Finished one = Run({"--check", agent.string(), empty.string(), document.string()});
        const std::string shown = (mDir / n.shown).string();
        EXPECT_EQ(one.out.substr(0, shown.size() + 8), shown + ".app: NS");
        EXPECT_TRUE(OneLineEachAndNoControls(one.out, 1));
        EXPECT_EQ(one.err.substr(0, shown.size() + 12), shown + "-empty.app: ");
        EXPECT_TRUE(OneLineEachAndNoControls(one.err, 2));
    }
    std::vector<std::string> all = agents;
    all.insert(all.end(), empties.begin(), empties.end());
    all.insert(all.end(), documents.begin(), documents.end());
    Finished checked = Run([&] {
        std::vector<std::string> args{"--check"};
        args.insert(args.end(), all.begin(), all.end());
        return args;
    }());
    EXPECT_TRUE(OneLineEachAndNoControls(checked.out, agents.size()));
    EXPECT_TRUE(OneLineEachAndNoControls(checked.err, empties.size() + documents.size()));
    // Patched: one failure line for each empty list, one note for each document, nothing else.
    Finished patched = Run(all);
    EXPECT_EQ(patched.status, 1);
    EXPECT_EQ(patched.out, "");
    EXPECT_TRUE(OneLineEachAndNoControls(patched.err, empties.size() + documents.size()));
}

// Every signed sample, patched with and without --resign: re-signed and valid, or refused and
// byte-identical, or its executable untouched; the report says which; a second run changes
// nothing; --check shows the signature beside the flag and fails a broken one.
TEST_F(VeilorPatchTest, EverySignedSampleEndsAsItsSignatureAllowsAndASecondRunChangesNothing)
{
    using signed_bundles::End;
    const std::string renew = ": warning: the developer's code signature no longer matches; macOS will refuse"
                              " to open it. To sign it again ad hoc: veilor-patch --resign ",
                      harm = ": warning: the developer's code signature no longer matches; macOS will refuse"
                             " to open it, and signing it ad hoc would harm it: ",
                      restricted = "restricted entitlements (com.apple.developer.team-identifier,"
                                   " keychain-access-groups)",
                      library = "library validation with other code inside",
                      broken = "signature broken: Info.plist changed", adhoc = "signature valid (ad hoc)",
                      developer = "signature valid (developer, team ABCDE12345)";
    const struct {
        const char* app;
        bool resign;
        End end;
        int status;
        std::string err;    // after the path; "=" stands for the path again
        std::string check;  // the signature's line from --check afterwards
    } cases[] = {
        {"AdhocUniversal.app", false, End::Resigned, 0, "", adhoc},
        {"AdhocUniversal.app", true, End::Resigned, 0, "", adhoc},
        {"DeveloperStyle.app", false, End::ExecutableKept, 0, renew + "=", broken},
        {"DeveloperStyle.app", true, End::Resigned, 0, "", adhoc},
        {"DevSignedApp.app", false, End::ExecutableKept, 0, renew + "=", broken},
        {"DevSignedApp.app", true, End::Resigned, 0, "", adhoc},
        {"Restricted.app", false, End::ExecutableKept, 0, harm + restricted, broken},
        {"Restricted.app", true, End::Untouched, 1, ": not re-signed: " + restricted, developer},
        {"WithFramework.app", false, End::ExecutableKept, 0, harm + library, broken},
        {"WithFramework.app", true, End::Untouched, 1, ": not re-signed: " + library, developer},
        {"LinkerSigned.app", true, End::ExecutableKept, 0, "",
         "signature does not bind Info.plist (linker signature)"},
        {"Unsigned.app", true, End::ExecutableKept, 0, "", "unsigned"},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(std::size(cases) + 1);

    std::vector<std::string> fresh{"--check"};
    std::string verdicts;
    const std::map<std::string, std::string> before = {
        {"AdhocUniversal.app", adhoc},
        {"DevSignedApp.app", "signature valid (developer, team ZCK58M894E)"},
        {"DeveloperStyle.app", developer},
        {"LinkerSigned.app", "signature does not bind Info.plist (linker signature)"},
        {"Restricted.app", developer},
        {"Unsigned.app", "unsigned"},
        {"WithFramework.app", developer},
    };
    for (const std::string& app : signed_bundles::kSampleApps) {
        fresh.push_back(signed_bundles::CopyOf(app, mDir / "fresh").string());
        verdicts += fresh.back() + ": no NSUIElement\n" + fresh.back() + ": " + before.at(app) + "\n";
    }
    Finished checked = Run(fresh);
    EXPECT_EQ(checked.status, 1);
    EXPECT_EQ(checked.out, verdicts);

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(std::string(c.app) + (c.resign ? " --resign" : ""));
        const fs::path app = signed_bundles::CopyOf(c.app, mDir / std::to_string(i));
        const signed_bundles::Snapshot original = signed_bundles::Files(app);
        std::vector<std::string> args{app.string()};
        if (c.resign) args.insert(args.begin(), "--resign");

        Finished r = Run(args);
        EXPECT_EQ(r.status, c.status);
        std::string err = c.err;
        if (err.ends_with("=")) err.replace(err.size() - 1, 1, app.string());
        EXPECT_EQ(r.err, err.empty() ? "" : app.string() + err + "\n");
        signed_bundles::ExpectEnd(app, original, c.end);

        const signed_bundles::Snapshot once = signed_bundles::Files(app);
        Finished again = Run(args);
        EXPECT_EQ(again.status, c.status);
        EXPECT_EQ(again.err, c.end == End::Untouched ? r.err : "");
        EXPECT_TRUE(signed_bundles::Files(app) == once) << "the second run changed something";

        Finished check = Run({"--check", app.string()});
        const bool agent = c.end != End::Untouched;
        EXPECT_EQ(check.status, agent && c.check != broken ? 0 : 1);
        EXPECT_EQ(check.out, app.string() + (agent ? ": NSUIElement = \"true\"\n" : ": no NSUIElement\n") +
                                 app.string() + ": " + c.check + "\n");
    }
}

// A run cut short between the list and the executable, or a patch made earlier without --resign,
// leaves a signature that differs from valid only in what the list changed: a run renews it and
// leaves the list, inode and all, as it is.
TEST_F(VeilorPatchTest, ARerunRenewsASignatureThatOnlyThePatchedListBroke)
{
    const struct {
        const char* app;
        std::vector<std::string> first, rerun;  // options of the run that patches the list, of the rerun
    } cases[] = {
        {"AdhocUniversal.app", {}, {}},
        {"DevSignedApp.app", {}, {"--resign"}},
        {"DeveloperStyle.app", {}, {"--resign"}},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(std::size(cases));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app);
        const fs::path reference = signed_bundles::CopyOf(c.app, mDir / "reference"),
                       app = signed_bundles::CopyOf(c.app, mDir / "cut");
        std::vector<std::string> args = c.first;
        args.push_back(reference.string());
        ASSERT_EQ(Run(args).status, 0);
        // The list as that run left it, the executable as it was.
        WriteBytes(app / "Contents/Info.plist", ReadBytes(reference / "Contents/Info.plist"));
        EXPECT_EQ(signed_bundles::Verdict(app).substr(0, 36), "signature broken: Info.plist changed");
        const signed_bundles::Snapshot cut = signed_bundles::Files(app);
        const ino_t list = LinkStatus(app / "Contents/Info.plist").st_ino;

        args = c.rerun;
        args.push_back(app.string());
        Finished r = Run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        signed_bundles::ExpectEnd(app, cut, signed_bundles::End::Resigned);
        EXPECT_EQ(LinkStatus(app / "Contents/Info.plist").st_ino, list);
        EXPECT_EQ(ReadBytes(app / "Contents/Info.plist"), ReadBytes(reference / "Contents/Info.plist"));
    }
}

// Bundles around our own executables, so that every end is reached with or without the shared
// samples: each refusal leaves the bundle untouched, a link in the executable's place is not
// followed, and a mode without write permission is kept.
TEST_F(VeilorPatchTest, CraftedSignedBundlesEndAsTheirSignaturesAllow)
{
    using signed_bundles::End;
    craft::Shape entitled, linker, developer, hardened;
    entitled.entitlements =
        "<plist><dict><key>com.apple.developer.icloud-services</key><true/></dict></plist>";
    linker.linker = true;
    developer.codeDirectories = {{2, 0x20400, 0, 0, 12, "ABCDE12345"}};
    developer.wrapper = craft::Wrapper::Developer;
    hardened.codeDirectories = {{2, 0x20500, 0x10002, 0, 12, ""}};  // ad hoc, hardened runtime
    const std::string library = ": not re-signed: library validation with other code inside";
    const auto tampered = [](craft::Built& tool) { tool.bytes[5000] ^= 1; };
    const auto garbled = [](craft::Built& tool) { tool.bytes[tool.superBlob] ^= 0x10; };
    const auto script = [](craft::Built& tool) { tool.bytes = "#!/bin/sh\necho hello\n"; };
    const struct {
        const char* name;
        craft::Shape shape;
        mode_t mode;
        std::function<void(craft::Built&)> damage;
        bool resign;
        End end;
        int status;
        std::string err;                  // after the path
        std::vector<std::string> more{};  // laid out in Contents as Lay does
        std::string seal = signed_bundles::kCraftedSeal;
    } cases[] = {
        {"Adhoc.app", {}, 0755, {}, false, End::Resigned, 0, ""},
        // Library validation refuses only code that loads into the application's own process.
        {"Hardened.app",
         hardened,
         0755,
         {},
         false,
         End::Resigned,
         0,
         "",
         {"PlugIns/Share.appex/", "Resources/"}},
        {"HardenedLibrary.app",
         hardened,
         0755,
         {},
         false,
         End::Untouched,
         1,
         library,
         {"MacOS/libx.dylib"},
         signed_bundles::SealOf({{"MacOS/libx.dylib", signed_bundles::SealedFile("x")}})},
        {"HardenedFramework.app",
         hardened,
         0755,
         {},
         false,
         End::Untouched,
         1,
         library,
         {"Frameworks/X.framework/"}},
        {"HardenedPlugIn.app",
         hardened,
         0755,
         {},
         false,
         End::Untouched,
         1,
         library,
         {"PlugIns/Filter.bundle/"}},
        {"ReadOnly.app", {}, 0555, {}, false, End::Resigned, 0, ""},
        {"Developer.app", developer, 0755, {}, true, End::Resigned, 0, ""},
        {"Entitled.app",
         entitled,
         0755,
         {},
         false,
         End::Untouched,
         1,
         ": not re-signed: restricted entitlements (com.apple.developer.icloud-services)"},
        {"Tampered.app",
         {},
         0755,
         tampered,
         false,
         End::Untouched,
         1,
         ": not re-signed: signature already broken (code changed)"},
        {"Garbled.app",
         {},
         0755,
         garbled,
         false,
         End::Untouched,
         1,
         ": not re-signed: signature cannot be read (the signature is not a SuperBlob)"},
        {"Linker.app", linker, 0755, {}, false, End::ExecutableKept, 0, ""},
        {"Script.app", {}, 0755, script, false, End::ExecutableKept, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path app = signed_bundles::CraftedBundle(mDir / c.name, c.shape, c.mode, c.damage, c.seal);
        Lay(app / "Contents", c.more);
        const signed_bundles::Snapshot original = signed_bundles::Files(app);
        std::vector<std::string> args{app.string()};
        if (c.resign) args.insert(args.begin(), "--resign");
        Finished r = Run(args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err.empty() ? "" : app.string() + c.err + "\n");
        signed_bundles::ExpectEnd(app, original, c.end);
    }

    // An executable that cannot be read keeps its signature unjudged: nothing is written.
    const struct {
        const char* name;
        std::function<void(const fs::path& tool)> make;
        const char* cause;
    } unreadable[] = {
        {"Linked.app",
         [&](const fs::path& tool) {
             fs::rename(tool, mDir / "Tool"), fs::create_symlink(mDir / "Tool", tool);
         },
         "Too many levels of symbolic links"},
        {"Huge.app",
         [](const fs::path& tool) { fs::resize_file(tool, FolderItem::kMaxExecutableLength + 1); },
         "File too large"},
    };
    for (const auto& c : unreadable) {
        SCOPED_TRACE(c.name);
        const fs::path app = signed_bundles::CraftedBundle(mDir / c.name), tool = app / "Contents/MacOS/Tool";
        c.make(tool);
        const struct stat before = LinkStatus(tool);
        Finished r = Run({app.string()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, app.string() + ": Failed to open executable file Tool. (" + c.cause + ")\n");
        EXPECT_EQ(ReadBytes(app / "Contents/Info.plist"), signed_bundles::kCraftedPlist);
        EXPECT_EQ(Listing(app / "Contents/MacOS"), std::vector<std::string>{"Tool"});
        EXPECT_EQ(LinkStatus(tool).st_ino, before.st_ino);
        EXPECT_EQ(LinkStatus(tool).st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }
}

// Files changed, added or removed under a seal that itself is intact: --check calls the signature
// broken and no re-sign hides it; what the rules leave out, or mark optional, may come and go.
TEST_F(VeilorPatchTest, ABundleWhoseFilesNoLongerMatchItsSealIsBrokenAndNotResigned)
{
    using Damage = std::function<void(const fs::path& contents)>;
    const auto judged = [&](const fs::path& app, bool valid) {
        const signed_bundles::Snapshot original = signed_bundles::Files(app);
        Finished check = Run({"--check", app.string()});
        EXPECT_EQ(check.out, app.string() + ": no NSUIElement\n" + app.string() + ": signature " +
                                 (valid ? "valid (ad hoc)" : "broken: resources changed") + "\n");
        Finished patch = Run({app.string()});
        EXPECT_EQ(patch.status, valid ? 0 : 1);
        EXPECT_EQ(patch.err,
                  valid ? ""
                        : app.string() + ": not re-signed: signature already broken (resources changed)\n");
        signed_bundles::ExpectEnd(app, original,
                                  valid ? signed_bundles::End::Resigned : signed_bundles::End::Untouched);
    };
    const auto write = [](const char* path, const char* text) {
        return [=](const fs::path& contents) {
            fs::remove(contents / path);  // a link in its place is replaced, not written through
            WriteBytes(contents / path, text);
        };
    };
    const auto remove = [](const char* path) {
        return [=](const fs::path& contents) { fs::remove_all(contents / path); };
    };
    const auto link = [](const char* path, const char* target) {
        return [=](const fs::path& contents) {
            fs::remove(contents / path);
            fs::create_symlink(target, contents / path);
        };
    };

    // Our own bundle: a sealed file, an optional one, a sealed link and nested code.
    const std::string seal = signed_bundles::SealOf({
        {"Resources/res.txt", signed_bundles::SealedFile("r")},
        {"Resources/en.lproj/x.strings", signed_bundles::SealedFile("s", true)},
        {"Resources/link", "<dict><key>symlink</key><string>res.txt</string></dict>"},
        {"Frameworks/Inner.framework",
         "<dict><key>cdhash</key><data>AAAA</data><key>requirement</key><string>cdhash</string></dict>"},
    });
    const struct {
        const char* name;
        Damage damage;
        bool valid;
    } crafted[] = {
        {"Intact.app", {}, true},
        {"ByteChanged.app", write("Resources/res.txt", "R"), false},
        {"Added.app", write("Resources/new.txt", "n"), false},
        {"AddedCode.app", write("MacOS/helper", "h"), false},
        {"AddedAtTop.app", write("extra", "e"), false},
        {"Removed.app", remove("Resources/res.txt"), false},
        {"OptionalRemoved.app", remove("Resources/en.lproj/x.strings"), true},
        {"OmittedAdded.app", write("Resources/.DS_Store", "d"), true},
        {"LocversionAdded.app", write("Resources/en.lproj/locversion.plist", "l"), true},
        {"LocalisedAdded.app", write("Resources/en.lproj/new.strings", "n"), false},
        {"SymbolsAdded.app", write("Tool.dSYM/Contents/Info.plist", "p"), false},
        {"NeverListedAdded.app",
         [](const fs::path& contents) {
             WriteBytes(contents / "_CodeSignature/other", "o");
             WriteBytes(contents / "_MASReceipt/receipt", "m");
             WriteBytes(contents / "PkgInfo", "APPL????");
         },
         true},
        {"Retargeted.app", link("Resources/link", "new.txt"), false},
        {"LinkMadeFile.app", write("Resources/link", "r"), false},
        {"FileMadeLink.app", link("Resources/res.txt", "en.lproj/x.strings"), false},
        {"NestedRemoved.app", remove("Frameworks/Inner.framework"), false},
    };
    for (const auto& c : crafted) {
        SCOPED_TRACE(c.name);
        const fs::path app = signed_bundles::CraftedBundle(mDir / c.name, {}, 0755, {}, seal);
        Lay(app / "Contents",
            {"Resources/res.txt=r", "Resources/en.lproj/x.strings=s", "Frameworks/Inner.framework/Inner=i"});
        fs::create_symlink("res.txt", app / "Contents/Resources/link");
        if (c.damage) c.damage(app / "Contents");
        judged(app, c.valid);
    }

    // Seals in other forms: legacy SHA-1 files, rules of their own, and ones that cannot be read.
    const std::string sha1 = signed_bundles::Base64(macho::Digest(macho::kSha1, "r"));
    // Hashed in pieces: a change in the last byte of a file larger than one piece is still seen.
    const std::string big(3 << 20, 'b'), bigChanged = big.substr(0, big.size() - 1) + 'c';
    // The walk stops 64 levels below Contents.
    std::string deep = "Resources/", deeper = deep;
    for (int i = 0; i < 63; ++i) deep += "d/";
    deep += "f", deeper += "d/" + deep.substr(std::string("Resources/").size());
    // Nor past a path of 1024 bytes, longer than any a Mac allows.
    const std::string name(250, 'n');
    std::string longPath = "Resources";
    while (longPath.size() <= 1024) longPath += "/" + name;

    const struct {
        const char* name;
        std::string seal;
        std::vector<std::string> files;
        bool valid;
    } forms[] = {
        {"Legacy.app",
         "<plist><dict><key>files</key><dict><key>Resources/res.txt</key><data>" + sha1 +
             "</data></dict></dict></plist>",
         {"Resources/res.txt=r"},
         true},
        {"LegacyChanged.app",
         "<plist><dict><key>files</key><dict><key>Resources/res.txt</key><data>" + sha1 +
             "</data></dict></dict></plist>",
         {"Resources/res.txt=R"},
         false},
        {"OwnRules.app",
         signed_bundles::SealOf({{"Resources/res.txt", signed_bundles::SealedFile("r")}},
                                "<dict><key>^Resources/</key><true/></dict>"),
         {"Resources/res.txt=r", "Other/free.txt=f"},
         true},
        {"OwnRulesAdded.app",
         signed_bundles::SealOf({{"Resources/res.txt", signed_bundles::SealedFile("r")}},
                                "<dict><key>^Resources/</key><true/></dict>"),
         {"Resources/res.txt=r", "Resources/new.txt=n"},
         false},
        {"BadRule.app", signed_bundles::SealOf({}, "<dict><key>(</key><true/></dict>"), {}, false},
        // A pattern that backtracking would take years over, against an unsealed file it does not match.
        {"SlowRule.app",
         signed_bundles::SealOf({}, "<dict><key>^(a|aa)+$</key><true/></dict>"),
         {std::string(100, 'a') + "b=x"},
         true},
        {"NotAList.app", "not a list", {}, false},
        {"NoFiles.app", "<plist><dict/></plist>", {}, false},
        {"Large.app",
         signed_bundles::SealOf({{"Resources/big", signed_bundles::SealedFile(big)}}),
         {"Resources/big=" + big},
         true},
        {"LargeChanged.app",
         signed_bundles::SealOf({{"Resources/big", signed_bundles::SealedFile(big)}}),
         {"Resources/big=" + bigChanged},
         false},
        {"Deep.app", signed_bundles::SealOf({{deep, signed_bundles::SealedFile("x")}}), {deep + "=x"}, true},
        {"TooLong.app",
         signed_bundles::SealOf({{longPath, signed_bundles::SealedFile("x")}}),
         {longPath + "=x"},
         false},
        {"TooDeep.app",
         signed_bundles::SealOf({{deeper, signed_bundles::SealedFile("x")}}),
         {deeper + "=x"},
         false},
    };
    for (const auto& c : forms) {
        SCOPED_TRACE(c.name);
        const fs::path app = signed_bundles::CraftedBundle(mDir / c.name, {}, 0755, {}, c.seal);
        Lay(app / "Contents", c.files);
        judged(app, c.valid);
    }

    // Nested code is recorded by its main executable's cdhash: a library, an application's
    // Contents/MacOS/<name>, a framework's current version.
    craft::Shape smaller;
    smaller.codeSize = 4096;
    const craft::Built code = craft::Thin({}), other = craft::Thin(smaller);
    const auto cdhash = [](const craft::Built& built) {
        const std::size_t at = built.codeDirectories.at(0);
        const std::string_view blob = std::string_view(built.bytes).substr(at);
        const std::size_t length = std::size_t(std::uint8_t(blob[4])) << 24 |
                                   std::size_t(std::uint8_t(blob[5])) << 16 |
                                   std::size_t(std::uint8_t(blob[6])) << 8 | std::uint8_t(blob[7]);
        const std::string hash = macho::Digest(macho::kSha256, blob.substr(0, length)).substr(0, 20);
        return "<dict><key>cdhash</key><data>" + signed_bundles::Base64(hash) +
               "</data><key>requirement</key><string>cdhash</string></dict>";
    };
    const std::string helperPlist =
        "<plist><dict><key>CFBundleExecutable</key><string>Helper</string></dict></plist>";
    const auto library = [&](const fs::path& contents) {
        WriteBytes(contents / "Frameworks/libn.dylib", code.bytes, 0755);
    };
    const auto application = [&](const fs::path& contents) {
        WriteBytes(contents / "Helpers/Helper.app/Contents/Info.plist", helperPlist);
        WriteBytes(contents / "Helpers/Helper.app/Contents/MacOS/Helper", code.bytes, 0755);
    };
    const auto framework = [&](const fs::path& contents) {
        const fs::path root = contents / "Frameworks/N.framework";
        WriteBytes(root / "Versions/A/Resources/Info.plist", helperPlist);
        WriteBytes(root / "Versions/A/Helper", code.bytes, 0755);
        WriteBytes(root / "Versions/B/Helper", other.bytes, 0755);
        fs::create_symlink("A", root / "Versions/Current");
    };
    const struct {
        const char* name;
        const char* path;
        std::function<void(const fs::path&)> lay;
        const craft::Built& recorded;
        bool valid;
    } nested[] = {
        {"Library.app", "Frameworks/libn.dylib", library, code, true},
        {"LibraryChanged.app", "Frameworks/libn.dylib", library, other, false},
        {"Application.app", "Helpers/Helper.app", application, code, true},
        {"ApplicationChanged.app", "Helpers/Helper.app", application, other, false},
        {"Framework.app", "Frameworks/N.framework", framework, code, true},
        {"FrameworkChanged.app", "Frameworks/N.framework", framework, other, false},
    };
    for (const auto& c : nested) {
        SCOPED_TRACE(c.name);
        const fs::path app = signed_bundles::CraftedBundle(
            mDir / c.name, {}, 0755, {}, signed_bundles::SealOf({{c.path, cdhash(c.recorded)}}));
        c.lay(app / "Contents");
        judged(app, c.valid);
    }

    // The shared ad hoc sample, whose seal holds a sealed and an optional resource.
    const struct {
        const char* name;
        Damage damage;
        bool valid;
    } samples[] = {
        {"ByteChanged", write("Resources/res.txt", "changed"), false},
        {"Added", write("Resources/new.txt", "n"), false},
        {"Removed", remove("Resources/res.txt"), false},
        {"OptionalRemoved", remove("Resources/en.lproj/InfoPlist.strings"), true},
        {"OmittedAdded", write(".DS_Store", "d"), true},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(std::size(samples));
    for (const auto& c : samples) {
        SCOPED_TRACE(c.name);
        const fs::path app = signed_bundles::CopyOf("AdhocUniversal.app", mDir / c.name);
        c.damage(app / "Contents");
        judged(app, c.valid);
    }
}

// After a re-sign inside another signed bundle, the enclosing one's seal records the old signature.
TEST_F(VeilorPatchTest, ResigningInsideASignedBundleWarnsThatTheEnclosingSealIsStale)
{
    const fs::path outer = mDir / "Out\ter.app";
    WriteBytes(outer / "Contents/_CodeSignature/CodeResources", signed_bundles::kCraftedSeal);
    const fs::path inner = signed_bundles::CraftedBundle(outer / "Contents/Library/LoginItems/Helper.app"),
                   alone = signed_bundles::CraftedBundle(mDir / "Alone.app");
    Finished r = Run({inner.string(), alone.string()});
    EXPECT_EQ(r.status, 0);
    const std::string shown = (mDir / "Out\\ter.app").string();
    EXPECT_EQ(r.err, (mDir / "Out\\ter.app/Contents/Library/LoginItems/Helper.app").string() +
                         ": warning: re-signed inside " + shown +
                         ", whose seal still records the old signature: " + shown +
                         " must be signed again\n");
    EXPECT_EQ(signed_bundles::Verdict(inner), "signature valid (ad hoc)");
}

// A usage error changes nothing and exits 2 with the usage on standard error; help names every
// option the parser takes.
TEST_F(VeilorPatchTest, UsageErrorsAndInformation)
{
    const fs::path bundle = Bundle("Untouched.app", kDemoXml);
    const struct {
        std::vector<std::string> args;
        int status;
        bool errorTold;
    } cases[] = {
        {{}, 2, true},
        {{"--bogus", bundle.string()}, 2, true},
        {{bundle.string(), "--bogus"}, 2, true},
        {{"--version"}, 0, false},
        {{"--help"}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args[0]);
        Finished r = Run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(!r.err.empty(), c.errorTold);
        EXPECT_EQ(r.err.find("Usage: veilor-patch") != std::string::npos, c.errorTold);
        EXPECT_EQ(ReadBytes(bundle / "Contents" / "Info.plist"), kDemoXml);
    }
    const std::string help = Run({"--help"}).out;
    for (const char* option : {"--check", "--strict", "--resign", "--help", "--version", "--"})
        EXPECT_NE(help.find(std::string("  ") + option + " "), std::string::npos) << option;

    // After "--", an argument that looks like an option is a path.
    const fs::path dashed = Bundle("--check", kDemoXml);
    EXPECT_EQ(Run({"--", "--check"}).status, 0);
    EXPECT_EQ(ReadBytes(dashed / "Contents" / "Info.plist"), kDemoPatched);
}

}  // namespace
