// SPDX-License-Identifier: MIT
// The built veilor-patch, run as a process with no display, on real temporary applications.

#include "file_fixtures.h"
#include "signed_bundles.h"

#include "platform/files/in_place_write.h"
#include "platform/files/unique_fd.h"
#include "platform/framework/folder_item.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sstream>
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

// Signed ad hoc with an entitlement that only a developer's signature may carry.
craft::Shape Entitled()
{
    craft::Shape shape;
    shape.entitlements = "<plist><dict><key>com.apple.developer.icloud-services</key><true/></dict></plist>";
    return shape;
}

class VeilorPatchTest : public ::testing::Test {
protected:
    fs::path Bundle(const std::string& name, const std::string& info)
    {
        WriteBytes(mDir / name / "Contents/Info.plist", info);
        return mDir / name;
    }

    fs::path SingleFile(const fs::path& path, const std::string& companion)
    {
        WriteBytes(path, "data fork");
        WriteBytes(CompanionOf(path), companion);
        return path;
    }

    // Runs veilor-patch with no display in `folder` (relative to the test's), standard input read from
    // `input` unless empty, files limited to `fileSizeLimit` unless 0.
    Finished RunIn(const fs::path& folder, const std::vector<std::string>& args,
                   const std::string& input = "", uid_t user = 0, rlim_t fileSizeLimit = 0)
    {
        auto body = [&] {
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
            struct rlimit limit = {fileSizeLimit, fileSizeLimit};
            if (chdir((mDir / folder).c_str()) != 0 ||
                (fileSizeLimit != 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0))
                return 124;
            const int fd = input.empty() ? 0 : ::open(input.c_str(), O_RDONLY);
            if (fd < 0 || (fd > 0 && ::dup2(fd, 0) < 0)) return 124;
            std::vector<std::string> argv{VEILOR_PATCH_BIN};
            argv.insert(argv.end(), args.begin(), args.end());
            return Exec(argv);
        };
        return Child(body, user).Wait();
    }
    Finished Run(const std::vector<std::string>& args, uid_t user = 0, rlim_t fileSizeLimit = 0)
    {
        return RunIn(".", args, "", user, fileSizeLimit);
    }

    // The words of a command line, split at spaces.
    static std::vector<std::string> Words(const std::string& line)
    {
        std::vector<std::string> words;
        std::istringstream in(line);
        for (std::string word; in >> word;) words.push_back(word);
        return words;
    }

    // How a run ended, as one text: its status, then what it wrote to standard error or (Shown) output.
    static std::string Told(const Finished& run) { return std::to_string(run.status) + " " + run.err; }
    static std::string Shown(const Finished& run) { return std::to_string(run.status) + " " + run.out; }

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
                   broken = Bundle("Broken.app", "<plist><dict><key>a</key></plist>"),
                   // A binary list {a: null}: read as CoreFoundation reads it, yet no list may hold a null.
        null = Bundle("Null.app", std::string("bplist00\xd1\x01\x02\x51\x61\x00\x08\x0b\x0d"
                                              "\0\0\0\0\0\0\x01\x01",
                                              25) +
                                      std::string(7, '\0') + "\x03" + std::string(8, '\0') +
                                      std::string(7, '\0') + "\x0e");
    // Signature folders with no executable a signature could bind; the last two unchanged, so not written.
    for (const fs::path& app : {signedOne, patched, flaggedSigned})
        fs::create_directories(app / "Contents/_CodeSignature");
    const ino_t flaggedInode = LinkStatus(flaggedSigned / "Contents/Info.plist").st_ino;
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

    EXPECT_EQ(Shown(Run(check)), "3 " + xml.string() + ": no NSUIElement\n" + flagged.string() +
                                     ": NSUIElement = true\n" + classic.string() +
                                     ": no NSUIElement\nRelative.app/: no NSUIElement\n");
    EXPECT_EQ(ReadBytes(xml / "Contents/Info.plist"), kDemoXml);

    EXPECT_EQ(Told(Run({xml.string(), binary.string(), oldText.string(), patched.string(), signedOne.string(),
                        flaggedSigned.string(), classic.string(), document.string(), empty.string(),
                        broken.string(), null.string(), shortFork.string(), missing.string(),
                        (mDir / "Link.app").string(), "Relative.app/", forged.string()})),
              "1 " + document.string() + ": not an application, left alone\n" + empty.string() +
                  ": No plst resource in file Empty.app.\n" + broken.string() +
                  ": property list cannot be read, left alone\n" + null.string() +
                  ": property list cannot be read, left alone\n" + shortFork.string() +
                  ": Failed to open resource fork of file Short. (damaged)\n" + missing.string() +
                  ": No such file or folder.\n" +
                  (mDir / "x\\nfake.app: Failed to write info.plist file.").string() +
                  ": No plst resource in file x\\nfake.app: Failed to write info.plist file..\n");
    for (const fs::path& bundle : {xml, binary, oldText, patched, signedOne, real, realToo})
        EXPECT_EQ(ReadBytes(bundle / "Contents/Info.plist"), kDemoPatched) << bundle;
    EXPECT_EQ(LinkStatus(flaggedSigned / "Contents/Info.plist").st_ino, flaggedInode);
    EXPECT_NE(ReadBytes(mDir / "._Classic").find(kDemoPatched), std::string::npos);
    EXPECT_EQ(ReadBytes(flaggedSigned / "Contents/Info.plist"), kFlaggedBinary);
    EXPECT_EQ(ReadBytes(classic), "data fork");
    EXPECT_EQ(ReadBytes(mDir / "._Notes"), std::string(kCompanion).replace(50, 4, "TEXT"));
    EXPECT_EQ(ReadBytes(empty / "Contents/Info.plist"), "");
    EXPECT_EQ(ReadBytes(broken / "Contents/Info.plist"), "<plist><dict><key>a</key></plist>");
    EXPECT_EQ(ReadBytes(mDir / "._Short"), kCompanion.substr(0, 300));

    // A skip is a note and no failure (see BothRoads), unless --strict asks.
    fs::create_directories(mDir / "Plain");
    EXPECT_EQ(Told(Run({"--strict", document.string(), (mDir / "Plain").string()})),
              "1 " + document.string() + ": not an application, left alone\n" + (mDir / "Plain").string() +
                  ": not an application, left alone (a folder: -r finds the applications in it)\n");

    EXPECT_EQ(Shown(Run(check)), "0 " + xml.string() + ": NSUIElement = \"true\"\n" + flagged.string() +
                                     ": NSUIElement = true\n" + classic.string() +
                                     ": NSUIElement = \"true\"\nRelative.app/: NSUIElement = \"true\"\n");
}

// A check writes nothing: a write cut short is told, not finished, and a journal that is not ours
// is told on its own line; the next plain run finishes the write and patches.
TEST_F(VeilorPatchTest, CheckLeavesEveryJournalAndByteAndTellsWhatItFinds)
{
    const fs::path app = Bundle("Demo.app", "TORN" + kDemoXml.substr(4)), list = app / "Contents/Info.plist";
    const std::vector<std::string> names = JournalNames("Info.plist");
    WriteBytes(app / "Contents" / names[0], "", 0600);  // another's, too small to be a journal
    WriteBytes(app / "Contents" / names[1], JournalFor(list, "Info.plist", kDemoXml), 0600);
    const auto before = Tree(mDir.Path());
    const Finished check = Run({"--check", app.string()});
    EXPECT_EQ(Told(check),
              "1 " + app.string() +
                  ": Failed to open info.plist file. (a write was cut short: run veilor-patch on "
                  "it to finish)\n" +
                  app.string() + ": a journal that is not ours is ignored: " + names[0] +
                  " beside Info.plist (not of a journal's size)\n");
    EXPECT_TRUE(Tree(mDir.Path()) == before);

    EXPECT_EQ(Run({app.string()}).status, 0);
    EXPECT_EQ(ReadBytes(list), kDemoPatched);
    EXPECT_TRUE(fs::exists(app / "Contents" / names[0]));
    EXPECT_FALSE(fs::exists(app / "Contents" / names[1]));
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
        {"<key>NSUIElement</key><false/>", 3, "NSUIElement = false, not an agent"},
        {"<key>NSUIElement</key><string>0</string>", 3, "NSUIElement = \"0\", not an agent"},
        {"<key>LSUIElement</key><integer>0</integer>", 3, "LSUIElement = 0, not an agent"},
        {"<key>LSUIElement</key><string>yes please</string>", 3,
         "LSUIElement = \"yes please\", not an agent"},
        {"", 3, "no NSUIElement"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries);
        const fs::path app =
            Bundle("Agent.app", std::string("<plist><dict>") + c.entries + "</dict></plist>");
        EXPECT_EQ(Shown(Run({"--check", app.string()})),
                  std::to_string(c.status) + " " + app.string() + ": " + c.out + "\n");
    }
}

TEST_F(VeilorPatchTest, ReadOnlyApplicationsCanBeCheckedButAreReportedAndLeftAlone)
{
    const fs::path bundle = Bundle("Locked.app", kDemoXml);
    fs::permissions(bundle / "Contents/Info.plist", fs::perms(0444));
    // Its folders writable, so only the file's own bits stand in the way.
    fs::permissions(bundle, fs::perms::all);
    fs::permissions(bundle / "Contents", fs::perms::all);
    const fs::path classic = SingleFile(mDir / "ReadOnlyShelf" / "Classic", kCompanion);
    fs::permissions(classic.parent_path(), fs::perms(0755));
    // Folders that may not be searched hide whether there is an Info.plist: that is no skip. A path
    // that may not be looked at is not called missing.
    const fs::path closed = Bundle("Closed.app", kDemoXml), shut = Bundle("Shut.app", kDemoXml),
                   hidden = Bundle("Hidden/App.app", kDemoXml), missing = mDir / "Missing.app";
    fs::permissions(closed, fs::perms(0700));
    fs::permissions(shut / "Contents", fs::perms(0700));
    fs::permissions(mDir / "Hidden", fs::perms(0700));
    for (const std::string cause : {"", " (Permission denied)"}) {
        const char* first = cause.empty() ? "--check" : "--strict";
        EXPECT_EQ(
            Told(Run({first, closed.string(), shut.string(), hidden.string(), missing.string()}, kNobody)),
            "1 " + closed.string() + ": Failed to open info.plist file." + cause + "\n" + shut.string() +
                ": Failed to open info.plist file." + cause + "\n" + hidden.string() +
                ": Cannot be looked at. (Permission denied)\n" + missing.string() +
                ": No such file or folder.\n")
            << first;
    }
    EXPECT_EQ(ReadBytes(hidden / "Contents/Info.plist"), kDemoXml);

    const Finished check = Run({"--check", classic.string()}, kNobody);
    EXPECT_EQ(check.err + check.out, classic.string() + ": no NSUIElement\n");

    EXPECT_EQ(Told(Run({bundle.string(), classic.string()}, kNobody)),
              "1 " + bundle.string() + ": Failed to open info.plist file. (Permission denied)\n" +
                  classic.string() + ": Failed to open resource fork of file Classic. (Permission denied)\n");
    EXPECT_EQ(ReadBytes(bundle / "Contents/Info.plist"), kDemoXml);
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
        if (c.linked) fs::create_hard_link(bundle / "Contents/Info.plist", mDir / "other.plist");
        args.push_back(bundle.string());
        expected += bundle.string() + ": Failed to write info.plist file. (File too large)\n";
    }
    const fs::path small = Bundle("Small.app", kDemoXml);
    args.push_back(small.string());

    // Room for the old file, not for the serialiser's longer layout of it.
    EXPECT_EQ(Told(Run(args, 0, large.size() + 1000)), "1 " + expected);
    for (const auto& c : cases) {
        EXPECT_EQ(ReadBytes(mDir / c.name / "Contents/Info.plist"), large) << c.name;
        EXPECT_EQ(Listing(mDir / c.name / "Contents"), std::vector<std::string>{"Info.plist"}) << c.name;
    }
    EXPECT_EQ(ReadBytes(small / "Contents/Info.plist"), kDemoPatched);
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
    EXPECT_EQ(Told(Run({bundle.string(), classic.string()})),
              "1 " + bundle.string() + ": Failed to write info.plist file. (No space left on device)\n" +
                  classic.string() +
                  ": Failed to write resource fork of file Classic. (No space left on device)\n");
    EXPECT_EQ(ReadBytes(bundle / "Contents/Info.plist"), kDemoXml);
    EXPECT_EQ(ReadBytes(disk / "._Classic"), kCompanion);
    EXPECT_EQ(Listing(disk), (std::vector<std::string>{"._Classic", "Classic", "Full.app", "filler"}));
}

// Out of descriptors, an application fails with its open (or write) message. Once the limit leaves
// the files layer what it keeps open, the groups are sized to fit and every application is patched.
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

// A value that would forge a second report and clear the terminal's line, in a name holding C0, C1,
// DEL, a line separator, a bidirectional control and bytes that are not UTF-8.
TEST_F(VeilorPatchTest, EveryPrintedPathAndValueIsOneLineWithNoControls)
{
    const std::string forging = "<plist><dict><key>NSUIElement</key><string>no&#10;evil.app: NSUIElement = "
                                "\"true\"&#27;[2K</string></dict></plist>";
    const std::string name = "C0\x01\nx\xC2\x9B[2K\x7F\xE2\x80\xA8\xE2\x80\xAE\xFF\xC0 Caf\xC3\xA9",
                      escaped = "C0\\x01\\nx\\u009b[2K\\x7f\\u2028\\u202e", shown = (mDir / escaped).string();
    const fs::path agent = Bundle(name + ".app", forging), empty = Bundle(name + "-empty.app", "");
    WriteBytes(mDir / name, "text");
    // The message names the file as a file manager shows it: bytes that are not UTF-8 replaced.
    const std::string noPlst = shown + "\\xff\\xc0 Caf\xC3\xA9-empty.app: No plst resource in file " +
                               escaped + "\xEF\xBF\xBD\xEF\xBF\xBD Caf\xC3\xA9-empty.app.\n";
    Finished check = Run({"--check", agent.string(), empty.string(), (mDir / name).string()});
    EXPECT_EQ(check.out, shown + "\\xff\\xc0 Caf\xC3\xA9.app: NSUIElement = \"no\\nevil.app: NSUIElement = "
                                 "\\\"true\\\"\\x1b[2K\", not an agent\n");
    EXPECT_EQ(check.err,
              noPlst + shown +
                  "\\xff\\xc0 Caf\xC3\xA9: not an application (no Contents/Info.plist, not of type "
                  "APPL).\n");
    const Finished patched = Run({agent.string(), empty.string(), (mDir / name).string()});
    EXPECT_EQ(patched.out + Told(patched),
              "1 " + noPlst + shown + "\\xff\\xc0 Caf\xC3\xA9: not an application, left alone\n");
}

// With and without --resign or --allow-broken-signature; --check shows the signature beside the flag
// and fails a broken one.
TEST_F(VeilorPatchTest, EverySignedSampleEndsAsItsSignatureAllowsAndASecondRunChangesNothing)
{
    using signed_bundles::End;
    const std::string renew = ": warning: the developer's code signature no longer matches; macOS will refuse"
                              " to open it. To sign it again ad hoc: veilor-patch --resign ",
                      harm = ": warning: the developer's code signature no longer matches; macOS will refuse"
                             " to open it, and signing it ad hoc would harm it: ",
                      restricted = "restricted entitlements (com.apple.developer.team-identifier,"
                                   " keychain-access-groups)",
                      refused = ": not patched: the developer's code signature would no longer match, and ",
                      wouldBreak = refused + "macOS would refuse to open it (veilor-patch --resign renews it "
                                             "as an ad hoc signature)",
                      wouldHarm = refused + "an ad hoc one would harm it: ",
                      anyway = " (veilor-patch --allow-broken-signature patches it anyway)",
                      broken = "signature broken: Info.plist changed", adhoc = "signature valid (ad hoc)",
                      developer = "signature intact, but not from a certificate of Apple's (Developer ID "
                                  "Application: Example Corp (ABCDE12345))",
                      developerId = "signature valid (Developer ID Application: Mayur Pawashe (ZCK58M894E))",
                      linker = "signature does not bind Info.plist (linker signature)",
                      allow = "--allow-broken-signature";
    const struct {
        const char* app;
        std::vector<std::string> options;
        End end;
        int status;
        std::string err;    // after the path; "=" stands for the path again
        std::string check;  // the signature's line from --check afterwards
    } cases[] = {
        {"AdhocUniversal.app", {}, End::Resigned, 0, "", adhoc},
        {"DeveloperStyle.app", {}, End::Untouched, 1, wouldBreak, developer},
        {"DevSignedApp.app", {}, End::Untouched, 1, wouldBreak, developerId},
        {"DevSignedApp.app", {allow, "--strict"}, End::ExecutableKept, 1, renew + "=", broken},
        {"DevSignedApp.app", {"--resign", "--strict"}, End::Resigned, 0, "", adhoc},
        {"Restricted.app", {}, End::Untouched, 1, wouldHarm + restricted + anyway, developer},
        {"Restricted.app", {allow}, End::ExecutableKept, 0, harm + restricted, broken},
        {"LinkerSigned.app", {"--resign"}, End::ExecutableKept, 0, "", linker},
        {"Unsigned.app", {"--resign"}, End::ExecutableKept, 0, "", "unsigned"},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(std::string(c.app) + " " + testing::PrintToString(c.options));
        const fs::path app = signed_bundles::CopyOf(c.app, mDir / std::to_string(i));
        const auto original = Tree(app);
        std::vector<std::string> args = c.options;
        args.push_back(app.string());

        Finished r = Run(args);
        EXPECT_EQ(r.status, c.status);
        std::string err = c.err;
        if (err.ends_with("=")) err.replace(err.size() - 1, 1, app.string());
        EXPECT_EQ(r.err, err.empty() ? "" : app.string() + err + "\n");
        signed_bundles::ExpectEnd(app, original, c.end);

        const auto once = Tree(app);
        Finished again = Run(args);
        EXPECT_EQ(again.status, c.status);
        // A signature left broken is told again.
        EXPECT_EQ(again.err, c.end == End::Resigned ? "" : r.err);
        EXPECT_TRUE(Tree(app) == once) << "the second run changed something";

        Finished check = Run({"--check", app.string()});
        const bool agent = c.end != End::Untouched;
        EXPECT_EQ(check.status, agent && c.check != broken ? 0 : 3);
        EXPECT_EQ(check.out, app.string() + (agent ? ": NSUIElement = \"true\"\n" : ": no NSUIElement\n") +
                                 app.string() + ": " + c.check + "\n");
    }
}

// A run cut short between the list and the executable, or an earlier patch that broke the signature: the
// rerun leaves the list, inode and all, as it is.
TEST_F(VeilorPatchTest, ARerunRenewsASignatureThatOnlyThePatchedListBroke)
{
    const struct {
        const char* app;
        std::vector<std::string> first, rerun;  // options of the run that patches the list, of the rerun
    } cases[] = {
        {"DevSignedApp.app", {"--allow-broken-signature"}, {"--resign"}},
        {"DeveloperStyle.app", {"--allow-broken-signature"}, {"--resign"}},
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
        const auto cut = Tree(app);
        const ino_t list = LinkStatus(app / "Contents/Info.plist").st_ino;

        args = c.rerun;
        args.push_back(app.string());
        EXPECT_EQ(Told(Run(args)), "0 ");
        signed_bundles::ExpectEnd(app, cut, signed_bundles::End::Resigned);
        EXPECT_EQ(LinkStatus(app / "Contents/Info.plist").st_ino, list);
        EXPECT_EQ(ReadBytes(app / "Contents/Info.plist"), ReadBytes(reference / "Contents/Info.plist"));
    }
}

// Every end reached without the shared samples; a link in the executable's place is not followed,
// and a mode without write permission is kept.
TEST_F(VeilorPatchTest, CraftedSignedBundlesEndAsTheirSignaturesAllow)
{
    using signed_bundles::End;
    craft::Shape linker, developer, hardened;
    linker.linker = true;
    developer.codeDirectories = {{2, 0x20400, 0, 0, 12, "ABCDE12345"}};
    developer.wrapper = craft::Wrapper::Developer;
    hardened.codeDirectories = {{2, 0x20500, 0x10002, 0, 12, ""}};  // ad hoc, hardened runtime
    const std::string library = ": not re-signed: library validation with other code inside",
                      broken = ": not re-signed: signature already broken ",
                      resourcesChanged = broken + "(resources changed)",
                      codeChanged = broken + "(code changed)",
                      beside = broken + "(unsealed files beside Contents)",
                      unused = broken + "(_CodeSignature holds files the signature does not use)",
                      warned =
                          ": warning: the developer's code signature no longer matches; macOS will refuse to "
                          "open it. To sign it again ad hoc: veilor-patch --resign " +
                          (mDir / "DeveloperAnyway.app").string(),
                      notABlob =
                          ": not re-signed: signature cannot be read (the signature is not a SuperBlob at "
                          "offset 12496)";
    const std::string notPatched = ": not patched: the developer's code signature would no longer match, and "
                                   "macOS would refuse to open it (veilor-patch --resign renews it as an ad "
                                   "hoc signature)";
    const auto tampered = [](craft::Built& tool) { tool.bytes[5000] ^= 1; };
    const auto garbled = [](craft::Built& tool) { tool.bytes[tool.superBlob] ^= 0x10; };
    const auto script = [](craft::Built& tool) { tool.bytes = "#!/bin/sh\necho hello\n"; };
    using signed_bundles::SealOf, signed_bundles::SealedFile;
    const std::string libSealed = SealOf({{"MacOS/libx.dylib", SealedFile("x")}}),
                      resSealed = SealOf({{"Resources/res.txt", SealedFile("r")}});
    const struct {
        const char* name;
        craft::Shape shape{};
        End end;
        std::string err{};                // after the path; a refusal fails the run
        std::vector<std::string> more{};  // laid out in Contents as Lay does
        std::string seal = signed_bundles::kCraftedSeal;
        std::function<void(craft::Built&)> damage{};
        mode_t mode = 0755;
        bool resign = false;
        bool anyway = false;  // --allow-broken-signature
    } cases[] = {
        {"Adhoc.app", {}, End::Resigned, ""},
        // Library validation refuses only code that loads into the application's own process.
        {"Hardened.app", hardened, End::Resigned, "", {"PlugIns/Share.appex/", "Resources/"}},
        {"HardenedLibrary.app", hardened, End::Untouched, library, {"MacOS/libx.dylib"}, libSealed},
        {"HardenedFramework.app", hardened, End::Untouched, library, {"Frameworks/X.framework/"}},
        {"HardenedPlugIn.app", hardened, End::Untouched, library, {"PlugIns/Filter.bundle/"}},
        {.name = "ReadOnly.app", .end = End::Resigned, .mode = 0555},
        {.name = "Developer.app", .shape = developer, .end = End::Resigned, .resign = true},
        {.name = "DeveloperAlone.app", .shape = developer, .end = End::Untouched, .err = notPatched},
        {.name = "DeveloperAnyway.app",
         .shape = developer,
         .end = End::ExecutableKept,
         .err = warned,
         .anyway = true},
        // Someone else's change is never signed over, whatever the options.
        {.name = "DeveloperTampered.app",
         .shape = developer,
         .end = End::Untouched,
         .err = codeChanged,
         .damage = tampered,
         .resign = true},
        {"Entitled.app", Entitled(), End::Untouched,
         ": not re-signed: restricted entitlements (com.apple.developer.icloud-services)"},
        {.name = "Tampered.app", .end = End::Untouched, .err = codeChanged, .damage = tampered},
        {.name = "Garbled.app", .end = End::Untouched, .err = notABlob, .damage = garbled},
        // A file changed under an intact seal.
        {"Resources.app", {}, End::Untouched, resourcesChanged, {"Resources/res.txt=R"}, resSealed},
        {"Linker.app", linker, End::ExecutableKept, ""},
        {.name = "Script.app", .end = End::ExecutableKept, .damage = script},
        // The bundle's own folders: Finder's files and companions pass, anything else is unsealed.
        {"FinderFiles.app",
         {},
         End::Resigned,
         "",
         {"../.DS_Store=d", "../._Contents=a",
          "_CodeSignature/CodeSignature=", "_CodeSignature/._CodeResources=a"}},
        {"RootFile.app", {}, End::Untouched, beside, {"../README=r"}},
        {"FinderFolder.app", {}, End::Untouched, beside, {"../.DS_Store/"}},
        {"SignatureFile.app", {}, End::Untouched, unused, {"_CodeSignature/CodeRequirements=r"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path app = signed_bundles::CraftedBundle(mDir / c.name, c.shape, c.mode, c.damage, c.seal);
        Lay(app / "Contents", c.more);
        const auto original = Tree(app);
        std::vector<std::string> args{app.string()};
        if (c.resign) args.insert(args.begin(), "--resign");
        if (c.anyway) args.insert(args.begin(), "--allow-broken-signature");
        EXPECT_EQ(Told(Run(args)), (c.end == End::Untouched ? "1 " : "0 ") +
                                       (c.err.empty() ? "" : app.string() + c.err + "\n"));
        signed_bundles::ExpectEnd(app, original, c.end);
    }
    const std::string resources = (mDir / "Resources.app").string();
    EXPECT_EQ(Run({"--check", resources}).out,
              resources + ": no NSUIElement\n" + resources + ": signature broken: resources changed\n");

    // An executable that cannot be read keeps its signature unjudged: nothing is written. macOS would
    // follow a link to the code; nothing here follows one.
    const auto linkOut = [&](const fs::path& at) {
        const fs::path away = mDir / at.filename();
        fs::exists(at) ? fs::rename(at, away) : (void)fs::create_directory(away);
        fs::create_symlink(away, at);
    };
    const std::string loop = "Too many levels of symbolic links";
    const struct {
        const char* name;
        std::function<void(const fs::path& tool)> make;
        std::string cause;
    } unreadable[] = {
        {"Linked.app", [&](const fs::path& tool) { linkOut(tool); }, loop},
        {"LinkedMacOS.app", [&](const fs::path& tool) { linkOut(tool.parent_path()); }, loop},
        {"LinkedSignature.app",
         [&](const fs::path& tool) { linkOut(tool.parent_path().parent_path() / "_CodeSignature"); }, loop},
        // Refused by its type, never opened: a FIFO's open would wait.
        {"Fifo.app", [](const fs::path& tool) { fs::remove(tool), ::mkfifo(tool.c_str(), 0755); },
         "Invalid argument"},
        {"Huge.app",
         [](const fs::path& tool) { fs::resize_file(tool, FolderItem::kMaxExecutableLength + 1); },
         "File too large"},
    };
    for (const auto& c : unreadable) {
        SCOPED_TRACE(c.name);
        const fs::path app = signed_bundles::CraftedBundle(mDir / c.name), tool = app / "Contents/MacOS/Tool";
        c.make(tool);
        const struct stat before = LinkStatus(tool);
        EXPECT_EQ(Told(Run({app.string()})),
                  "1 " + app.string() + ": Failed to open executable file Tool. (" + c.cause + ")\n");
        EXPECT_EQ(ReadBytes(app / "Contents/Info.plist"), signed_bundles::kCraftedPlist);
        EXPECT_EQ(Listing(app / "Contents/MacOS"), std::vector<std::string>{"Tool"});
        EXPECT_EQ(Told(Run({"--check", app.string()})).substr(0, 1), "1");
        EXPECT_EQ(LinkStatus(tool).st_ino, before.st_ino);
        EXPECT_EQ(LinkStatus(tool).st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }
}

// After a re-sign inside another signed bundle, the enclosing one's seal records the old signature.
TEST_F(VeilorPatchTest, ResigningInsideASignedBundleWarnsThatTheEnclosingSealIsStale)
{
    const fs::path outer = mDir / "Out\ter.app";
    WriteBytes(outer / "Contents/_CodeSignature/CodeResources", signed_bundles::kCraftedSeal);
    const fs::path inner = signed_bundles::CraftedBundle(outer / "Contents/Library/LoginItems/Helper.app"),
                   alone = signed_bundles::CraftedBundle(mDir / "Alone.app");
    const std::string shown = (mDir / "Out\\ter.app").string();
    EXPECT_EQ(Told(Run({inner.string(), alone.string()})),
              "0 " + (mDir / "Out\\ter.app/Contents/Library/LoginItems/Helper.app").string() +
                  ": warning: re-signed inside " + shown +
                  ", whose seal still records the old signature: " + shown + " must be signed again\n");
    EXPECT_EQ(signed_bundles::Verdict(inner), "signature valid (ad hoc)");
}

// Help names every option the parser takes.
TEST_F(VeilorPatchTest, UsageErrorsAndInformation)
{
    const fs::path bundle = Bundle("Untouched.app", kDemoXml);
    // Runs split at ";", B the bundle: each fails with status 2 and the usage, but the last two.
    std::vector<std::string> cases;
    std::istringstream runs(";--bogus B;B --bogus;--check --resign B;--resign B --check;--check --sign B;"
                            "--check --verify B;--verify -n B;--check --allow-broken-signature B;-0 B;"
                            "--require-team T B;-q -v B;--jobs 0 B;--files-from;--version;--help");
    for (std::string run; std::getline(runs, run, ';');) cases.push_back(run);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i]);
        std::vector<std::string> args = Words(cases[i]);
        std::replace(args.begin(), args.end(), std::string("B"), bundle.string());
        const bool usage = i + 2 < cases.size();
        Finished r = Run(args);
        EXPECT_EQ(r.status, usage ? 2 : 0);
        EXPECT_EQ(!r.err.empty(), usage);
        EXPECT_EQ(r.err.find("Usage: veilor-patch") != std::string::npos, usage);
        EXPECT_EQ(ReadBytes(bundle / "Contents/Info.plist"), kDemoXml);
    }
    const std::string help = Run({"--help"}).out;
    for (const char* option : {"--check", "--verify", "--require-team", "--strict", "--resign", "--sign",
                               "--allow-broken-signature", "--dry-run,", "--json", "--files-from", "--null",
                               "--recursive", "--quiet", "--verbose", "--jobs", "--help", "--version", "--"})
        EXPECT_TRUE(help.find(std::string(" ") + option + " ") != std::string::npos ||
                    help.find(std::string(" ") + option + "\n") != std::string::npos)
            << option;

    // After "--", an argument that looks like an option is a path.
    const fs::path dashed = Bundle("--check", kDemoXml);
    EXPECT_EQ(Run({"--", "--check"}).status, 0);
    EXPECT_EQ(ReadBytes(dashed / "Contents/Info.plist"), kDemoPatched);
}

// Every byte, inode and timestamp below the folder but the access times: what a read-only run must keep.
std::map<std::string, std::string> Untouched(const fs::path& folder)
{
    std::map<std::string, std::string> items = Tree(folder);
    for (auto& [name, item] : items) {
        const struct stat info = LinkStatus(folder / name);
        item += " " + std::to_string(info.st_ino) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                std::to_string(info.st_mtim.tv_nsec) + " " + std::to_string(info.st_ctim.tv_sec) + "." +
                std::to_string(info.st_ctim.tv_nsec);
    }
    return items;
}

// A JSON text flattened to its field names, "a.b", "a[].c" for an array's objects: each with its
// value's text for a scalar, "{" or "[" else. Nothing (an "!" entry) when the text is not JSON.
class Flattened {
public:
    explicit Flattened(std::string_view text) : mText(text)
    {
        if (!Value("") || (Space(), mAt != mText.size())) mFields = {{"!", ""}};
    }
    std::multimap<std::string, std::string> mFields;

private:
    void Space()
    {
        while (mAt < mText.size() && std::strchr(" \t\r\n", mText[mAt])) ++mAt;
    }
    bool Take(char c)
    {
        Space();
        if (mAt >= mText.size() || mText[mAt] != c) return false;
        ++mAt;
        return true;
    }
    bool String(std::string& out)
    {
        if (!Take('"')) return false;
        for (; mAt < mText.size() && mText[mAt] != '"'; ++mAt) {
            if (static_cast<unsigned char>(mText[mAt]) < 0x20) return false;
            if (mText[mAt] == '\\') out += mText[mAt++];
            out += mText[mAt];
        }
        return mAt++ < mText.size();
    }
    bool Value(const std::string& name)
    {
        Space();
        if (mAt >= mText.size()) return false;
        const std::size_t start = mAt;
        if (Take('{')) {
            mFields.emplace(name, "{");
            if (Take('}')) return true;
            do {
                std::string key;
                if (!String(key) || !Take(':') || !Value(name.empty() ? key : name + "." + key)) return false;
            } while (Take(','));
            return Take('}');
        }
        if (Take('[')) {
            mFields.emplace(name, "[");
            if (Take(']')) return true;
            do {
                if (!Value(name + "[]")) return false;
            } while (Take(','));
            return Take(']');
        }
        std::string text;
        if (mText[mAt] == '"') {
            if (!String(text)) return false;
            mFields.emplace(name, "\"" + text + "\"");
            return true;
        }
        while (mAt < mText.size() && std::strchr("-+.eE0123456789truefalsn", mText[mAt])) ++mAt;
        text = std::string(mText.substr(start, mAt - start));
        if (text != "true" && text != "false" && text != "null" &&
            text.find_first_not_of("-+.eE0123456789") != std::string::npos)
            return false;
        mFields.emplace(name, text);
        return !text.empty();
    }
    std::string_view mText;
    std::size_t mAt = 0;
};

// The fields the manual page's JSON OUTPUT section lists, one ".B name" after each ".TP".
std::set<std::string> DocumentedFields()
{
    std::ifstream page(VEILOR_SOURCE_DIR "/docs/man/veilor-patch.1");
    std::set<std::string> fields;
    bool section = false, tagged = false;
    for (std::string line; std::getline(page, line);) {
        if (line.starts_with(".SH")) section = line == ".SH JSON OUTPUT";
        if (section && tagged && line.starts_with(".B ")) fields.insert(line.substr(3));
        tagged = line == ".TP";
    }
    return fields;
}

TEST_F(VeilorPatchTest, OptionsAndExitStatusesOnRealFiles)
{
    Bundle("Agent.app", "<plist><dict><key>NSUIElement</key><true/></dict></plist>");
    Bundle("Plain.app", kDemoXml);
    signed_bundles::CraftedBundle(mDir / "Adhoc.app");
    signed_bundles::CraftedBundle(mDir / "Tampered.app", {}, 0755,
                                  [](craft::Built& tool) { tool.bytes[5000] ^= 1; });
    // Signing it makes _CodeSignature: a dry run must not.
    signed_bundles::CraftedBundle(mDir / "Unsealed.app");
    fs::remove_all(mDir / "Unsealed.app/Contents/_CodeSignature");
    SingleFile(mDir / "Doc", std::string(kCompanion).replace(50, 4, "TEXT"));
    // Found below Folder: bundles, not looked into, and a single-file application; never through a link.
    Bundle("Folder/Inner.app", kDemoXml), Bundle("Folder/Deeper/Second.app", kDemoXml);
    Bundle("Folder/Inside.app/Contents/Library/LoginItems/Nested.app", kDemoXml);
    Bundle("Folder/Inside.app", kDemoXml), SingleFile(mDir / "Folder/Old", kCompanion);
    fs::create_directory_symlink("../Plain.app", mDir / "Folder/Link.app");
    fs::create_directory_symlink("..", mDir / "Folder/Deeper/Up");
    craft::Shape bare;
    bare.infoPlist.clear();
    WriteBytes(mDir / "Tool", craft::Thin(bare).bytes, 0755);  // a tool: nothing but its code bound
    WriteBytes(mDir / "list", "Plain.app\n\nDoc\n");
    WriteBytes(mDir / "list0", std::string("Plain.app\0Ag\nent.app\0", 22));
    const std::string wouldPlain = "Plain.app: would be patched\n",
                      doc = "Doc: not an application, left alone\n",
                      missing = "Missing.app: No such file or folder.\n", valid = "Adhoc.app: valid (ad hoc)";
    const struct {
        const char* args;
        int status;
        std::string err, out = "";
        std::string input = "";  // standard input's file
    } cases[] = {
        {"--check Agent.app", 0, "", "Agent.app: NSUIElement = true\n"},
        {"--check Plain.app", 3, "", "Plain.app: no NSUIElement\n"},
        {"--check Plain.app Missing.app", 1, missing, "Plain.app: no NSUIElement\n"},
        {"--check -q Agent.app Plain.app", 3, "", "Plain.app: no NSUIElement\n"},
        {"--check -j 3 Adhoc.app", 3, "", "Adhoc.app: no NSUIElement\nAdhoc.app: signature valid (ad hoc)\n"},
        {"--verify Adhoc.app Agent.app", 3, "", "Adhoc.app: valid (ad hoc)\nAgent.app: unsigned\n"},
        {"--verify Tampered.app", 3, "", "Tampered.app: broken: code changed\n"},
        {"--verify Tool", 0, "", "Tool: valid (ad hoc)\n"},
        {"--verify --require-team=ABCDE12345 Adhoc.app", 3, "", valid + ", not signed by team ABCDE12345\n"},
        {"--verify Missing.app Adhoc.app Tampered.app", 1, missing,
         valid + "\nTampered.app: broken: code changed\n"},
        {"--verify -v Adhoc.app", 0, "",
         valid + "\n  Identifier=org.example.crafted\n  Format=app bundle with Mach-O thin (arm64)\n"},
        {"-n Plain.app Adhoc.app Doc Agent.app", 0,
         wouldPlain + "Adhoc.app: would be patched, re-signed ad hoc\n" + doc},
        {"--dry-run -q Plain.app Adhoc.app Doc", 0, ""},
        {"-n --sign Unsealed.app", 0, "Unsealed.app: would be patched\n"},
        {"-n --strict -q Doc", 1, doc},
        {"-n -v Agent.app Missing.app", 1, "Agent.app: unchanged, an agent already\n" + missing},
        {"-n -r Folder Doc", 0,
         "Folder/Deeper/Second.app: would be patched\nFolder/Inner.app: would be patched\nFolder/Inside.app: "
         "would be patched\nFolder/Old: would be patched\n" +
             doc},
        {"-n Agent.app --files-from list", 0, wouldPlain + doc},
        {"-n -0 --files-from=-", 1, wouldPlain + "Ag\\nent.app: No such file or folder.\n", "", "list0"},
        {"-n --files-from absent", 2,
         "veilor-patch: cannot read the list absent (No such file or directory)\n"},
    };
    const auto before = Untouched(mDir.Path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Finished r = RunIn(".", Words(c.args), c.input.empty() ? "" : (mDir / c.input).string());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        EXPECT_TRUE(Untouched(mDir.Path()) == before) << "a run that writes nothing changed something";
    }
    // The same paths for real: what the dry run said.
    EXPECT_EQ(Told(Run({"-v", "-r", "Folder", "Plain.app", "Adhoc.app"})),
              "0 Folder/Deeper/Second.app: patched\nFolder/Inner.app: patched\nFolder/Inside.app: patched\n"
              "Folder/Old: patched\nPlain.app: patched\nAdhoc.app: patched, re-signed ad hoc\n");
    EXPECT_EQ(signed_bundles::Verdict(mDir / "Adhoc.app"), "signature valid (ad hoc)");
    EXPECT_EQ(
        ReadBytes(mDir / "Folder/Inside.app/Contents/Library/LoginItems/Nested.app/Contents/Info.plist"),
        kDemoXml);
}

// Each object parsed on its own, its fields those the manual page lists, and every listed field seen.
TEST_F(VeilorPatchTest, JsonReportsHoldTheFieldsTheManualPageDocuments)
{
    signed_bundles::CraftedBundle(mDir / "Adhoc.app");
    signed_bundles::CraftedBundle(mDir / "Entitled.app", Entitled());
    Bundle("Plain.app", kDemoXml), Bundle("B\xff\x1b.app", kDemoXml), Bundle("Empty.app", "");
    SingleFile(mDir / "Doc", std::string(kCompanion).replace(50, 4, "TEXT"));
    const auto field = [](const Flattened& line, const std::string& name) {
        auto found = line.mFields.find(name);
        return found == line.mFields.end() ? std::string("<absent>") : found->second;
    };
    const struct {
        const char* args;
        std::vector<std::string> lines;  // per line: "field=value; ..."
    } cases[] = {
        {"--verify Adhoc.app Missing.app",
         {R"(mode="verify"; action="verified"; signature.before.state="valid"; signature.before.kind="ad hoc"; )"
          R"(signature.before.slices[].arch="arm64"; signature.after=null; passes=true)",
          R"(action="failed"; message="No such file or folder."; passes=false)"}},
        {"--check Plain.app", {R"(mode="check"; agent.before=false; passes=false)"}},
        {"-n Adhoc.app",
         {R"(mode="dry-run"; action="would-patch"; agent.after=true; files[]="Adhoc.app/Contents/Info.plist")"}},
        {"Adhoc.app Entitled.app Plain.app B\xff\x1b.app Empty.app Doc Missing.app",
         {R"(action="patched"; agent.before=false; agent.after=true; signature.before.state="valid"; )"
          R"(signature.after.kind="ad hoc"; signature.before.broken=null; cause=null)",
          R"-(action="refused"; reason="restricted entitlements (com.apple.developer.icloud-services)"; )-"
          R"(signature.after.state="valid")",
          R"(action="patched"; signature.before=null; files[]="Plain.app/Contents/Info.plist")",
          R"(path="B\udcff\u001b.app"; action="patched")",
          R"(action="failed"; message="No plst resource in file Empty.app.")",
          R"(action="left-alone"; reason="not an application"; agent.before=null)",
          R"(action="failed"; agent.before=null; files=[)"}}  // namespace
        ,
    };
    const std::set<std::string> documented = DocumentedFields();
    ASSERT_GT(documented.size(), 20u);
    std::set<std::string> seen;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::istringstream out(Run(Words(std::string("--json ") + c.args)).out);
        std::size_t index = 0;
        for (std::string text; std::getline(out, text); ++index) {
            const Flattened line(text);
            for (const auto& [name, value] : line.mFields) {
                if (name.empty() || name.ends_with("[]")) continue;  // the line, an array's item
                std::string listed = name;
                if (listed.starts_with("signature.after")) listed.replace(10, 5, "before");
                EXPECT_TRUE(documented.count(listed)) << name << " is not in the manual page";
                seen.insert(listed), seen.insert(name);
            }
            ASSERT_LT(index, c.lines.size()) << text;
            std::istringstream wanted(c.lines[index]);
            for (std::string pair; std::getline(wanted >> std::ws, pair, ';');)
                EXPECT_EQ(field(line, pair.substr(0, pair.find('='))), pair.substr(pair.find('=') + 1))
                    << pair;
        }
        EXPECT_EQ(index, c.lines.size());
    }
    for (const std::string& name : documented) EXPECT_TRUE(seen.count(name)) << name << " was never written";
    // A renewed signature is told with its new cdhash.
    const std::string adhoc = Run({"--json", "--verify", "Adhoc.app"}).out;
    EXPECT_NE(field(Flattened(adhoc), "signature.before.slices[].cdhash"), "null");
}

// Output and exit status with one thread and with four are byte for byte the same.
TEST_F(VeilorPatchTest, ManyJobsReportLikeOne)
{
    for (const char* root : {"one", "four"})
        for (int i = 0; i < 300; ++i) {
            const fs::path at = mDir / root / std::to_string(i % 7) / ("App" + std::to_string(i));
            switch (i % 6) {
            case 0: Bundle(fs::relative(at, mDir.Path()).string() + ".app", kDemoXml); break;
            case 1: SingleFile(at, kCompanion); break;
            case 2: signed_bundles::CraftedBundle(at.string() + ".app"); break;
            case 3: signed_bundles::CraftedBundle(at.string() + ".app", Entitled()); break;
            case 4: Bundle(fs::relative(at, mDir.Path()).string() + ".app", ""); break;
            case 5: SingleFile(at, std::string(kCompanion).replace(50, 4, "TEXT")); break;
            }
        }
    const Finished one = RunIn("one", {"--json", "-v", "-j", "1", "-r", "."}),
                   four = RunIn("four", {"--json", "-v", "--jobs=4", "-r", "."});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 250);  // documents are not looked for
    EXPECT_EQ(Shown(one), Shown(four));
    EXPECT_EQ(Told(one), Told(four));
}

// Progress is drawn on a terminal while the run lasts, here while its list is still being written,
// and wiped before each report; never on a file.
TEST_F(VeilorPatchTest, ProgressShowsOnATerminalOnly)
{
    Bundle("Agent.app", "<plist><dict><key>NSUIElement</key><true/></dict></plist>");
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "file");
        int list[2];
        ASSERT_EQ(::pipe2(list, O_CLOEXEC), 0);
        const fs::path errors = mDir / "errors";
        int master = -1;
        const pid_t pid = terminal ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
        if (pid == 0) {
            ::dup2(list[0], 0);
            const int out = ::open((mDir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            if (!terminal) ::dup2(::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (chdir(mDir.Path().c_str()) != 0) ::_exit(124);
            ::_exit(Exec({VEILOR_PATCH_BIN, "--check", "-v", "--files-from", "-"}));
        }
        ::close(list[0]);
        // Reads the terminal until `enough`, or its end; a bounded wait for anything new.
        std::string seen;
        const auto read = [&](const std::function<bool()>& enough) {
            char buffer[256];
            for (int polls = 0; polls < 300 && !enough(); ++polls) {
                struct pollfd wait {
                    master, POLLIN, 0
                };
                const ssize_t got = ::poll(&wait, 1, 100) > 0 ? ::read(master, buffer, sizeof buffer) : 0;
                if (got < 0) return;
                seen.append(buffer, std::size_t(got));
            }
        };
        // Waits for the progress line, then ends the list.
        terminal ? read([&] { return seen.find(" done, ") != std::string::npos; })
                 : (void)::usleep(1500 * 1000);  // longer than a run that shows progress
        EXPECT_EQ(::write(list[1], "Agent.app\nMissing.app\n", 22), 22);
        ::close(list[1]);
        if (terminal) read([] { return false; });
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (master >= 0) ::close(master);
        EXPECT_EQ(WEXITSTATUS(status), 1);
        if (terminal) {
            EXPECT_NE(seen.find("veilor-patch: 0 done, 0 a second"), std::string::npos) << seen;
            // The line wiped before the report, so that the report begins a line of its own.
            EXPECT_NE(seen.find("\r\x1b[KMissing.app: No such file or folder.\r\n"), std::string::npos)
                << seen;
        } else {
            EXPECT_EQ(ReadBytes(errors), "Missing.app: No such file or folder.\n");
        }
        EXPECT_EQ(ReadBytes(mDir / "out"), "Agent.app: NSUIElement = true\n");
    }
}
}  // namespace

// Refused by its type before any open: a FIFO's open would wait, a device's may act.
TEST_F(VeilorPatchTest, AnInfoPlistThatIsNoRegularFileIsNeverOpened)
{
    const fs::path app = mDir / "Fifo.app";
    fs::create_directories(app / "Contents/MacOS");
    ASSERT_EQ(::mkfifo((app / "Contents/Info.plist").c_str(), 0644), 0);
    for (const char* mode : {"", "--check"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> args{app.string()};
        if (*mode) args.insert(args.begin(), mode);
        EXPECT_TRUE(Told(Run(args)).starts_with("1 " + app.string() + ": Failed to open info.plist file."));
        EXPECT_TRUE(fs::is_fifo(fs::symlink_status(app / "Contents/Info.plist")));
    }
}

// --verify finds nested code where --sign seals it, and judges each piece: damaged code in any one
// breaks the bundle.
TEST_F(VeilorPatchTest, VerifyJudgesNestedCodeWhereverTheSignerSealsIt)
{
    craft::Shape bare;
    bare.infoPlist.clear();
    const std::string code = craft::Thin(bare).bytes, list = signed_bundles::kCraftedPlist;
    const fs::path contents = mDir / "App.app/Contents";
    signed_bundles::CraftedBundle(mDir / "App.app");
    const fs::path framework = contents / "Frameworks/Kit.framework";
    WriteBytes(framework / "Versions/A/Tool", code, 0755);
    WriteBytes(framework / "Versions/A/Resources/Info.plist", list);
    fs::create_symlink("A", framework / "Versions/Current");
    for (const char* bundle : {"XPCServices/S.xpc", "PlugIns/P.appex", "Library/LoginItems/L.app",
                               "Helpers/H.app", "Library/Spotlight/I.mdimporter"}) {
        WriteBytes(contents / bundle / "Contents/Info.plist", list);
        WriteBytes(contents / bundle / "Contents/MacOS/Tool", code, 0755);
    }
    for (const char* loose :
         {"Frameworks/libloose.dylib", "MacOS/extra", "Helpers/H.app/Contents/MacOS/deep"})
        WriteBytes(contents / loose, code, 0755);
    WriteBytes(contents / "Resources/Kit.bundle/readme", "not code");  // resources, not a bundle
    ASSERT_EQ(Run({"--sign", "App.app"}).status, 0);

    const struct {
        std::string damaged;  // below Contents
        std::string nested;   // the piece --verify names
    } cases[] = {
        {"Frameworks/Kit.framework/Versions/A/Tool", "Frameworks/Kit.framework"},
        {"Frameworks/libloose.dylib", "Frameworks/libloose.dylib"},
        {"XPCServices/S.xpc/Contents/MacOS/Tool", "XPCServices/S.xpc"},
        {"PlugIns/P.appex/Contents/MacOS/Tool", "PlugIns/P.appex"},
        {"Library/LoginItems/L.app/Contents/MacOS/Tool", "Library/LoginItems/L.app"},
        {"Library/Spotlight/I.mdimporter/Contents/MacOS/Tool", "Library/Spotlight/I.mdimporter"},
        {"Helpers/H.app/Contents/MacOS/deep", "Helpers/H.app"},
        {"MacOS/extra", "MacOS/extra"},
    };
    const Finished intact = Run({"--verify", "-v", "App.app"});
    EXPECT_EQ(intact.status, 0) << intact.out;
    for (const auto& c : cases)
        EXPECT_NE(intact.out.find("  Nested=" + c.nested + ": "), std::string::npos) << c.nested;
    EXPECT_NE(intact.out.find("  Nested=Helpers/H.app/Contents/MacOS/deep: "), std::string::npos);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damaged);
        const std::string bytes = ReadBytes(contents / c.damaged);
        WriteBytes(contents / c.damaged, std::string(bytes).replace(5000, 1, 1, char(bytes[5000] ^ 1)), 0755);
        EXPECT_TRUE(Shown(Run({"--verify", "App.app"}))
                        .starts_with("3 App.app: broken: nested code " + c.nested + ": "));
        WriteBytes(contents / c.damaged, bytes, 0755);
    }
}

// A dry run over a bundle a killed run left temporary files in tells what the real run then does,
// and leaves them where they are.
TEST_F(VeilorPatchTest, ADryRunPassesOverAKilledRunsTemporaryFiles)
{
    // Crafted with the seal --sign writes, whose rules seal every file.
    signed_bundles::CraftedBundle(mDir / "Signed.app");
    ASSERT_EQ(Run({"--sign", "Signed.app"}).status, 0);
    const std::string seal = ReadBytes(mDir / "Signed.app/Contents/_CodeSignature/CodeResources");
    for (const std::vector<std::string>& mode : {std::vector<std::string>{}, {"--sign"}}) {
        SCOPED_TRACE(mode.size());
        fs::remove_all(mDir / "Left.app");
        signed_bundles::CraftedBundle(mDir / "Left.app", {}, 0755, {}, seal);
        for (const char* folder : {"Contents", "Contents/MacOS"})
            WriteBytes(mDir / "Left.app" / folder / ".veilor-0123456789ab.tmp", "left");
        std::vector<std::string> args = mode;
        args.insert(args.end(), {"-v", "Left.app"});
        const auto before = Untouched(mDir.Path());
        args.insert(args.begin(), "-n");
        std::string dry = Told(Run(args));
        EXPECT_TRUE(Untouched(mDir.Path()) == before) << "the dry run changed something";
        args.erase(args.begin());
        const std::string real = Told(Run(args));
        ASSERT_NE(dry.find("would be "), std::string::npos) << dry;
        EXPECT_EQ(dry.replace(dry.find("would be "), 9, ""), real);
        EXPECT_EQ(signed_bundles::Verdict(mDir / "Left.app"), "signature valid (ad hoc)");
    }
}
