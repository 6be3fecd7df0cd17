// SPDX-License-Identifier: MIT
#include "file_fixtures.h"
#include "signed_bundles.h"

#include "patcher/patcher.h"
#include "patcher/write_batch.h"
#include "platform/byteorder/byteorder.h"
#include "platform/codesign/resource_seal.h"
#include "platform/files/unique_fd.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"
#include "platform/plist/plist.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/resource.h>

#include <map>
#include <optional>
#include <sstream>
#include <vector>

using namespace fixtures;

namespace {

const std::string kOpenFailed = "Failed to open info.plist file.\n";
const std::string kWriteFailed = "Failed to write info.plist file.\n";

// An invalid byte in the name, so the message shows the name as a file manager does.
const std::string kBundle = "Tool\xFF.app";

// Patches the items through veilor-patch's group commit, flushing before an item the group holds;
// answers what it told of each: "NAME patched", "NAME unchanged" or "NAME failed MESSAGE (CAUSE)".
std::string Batched(const fs::path& folder, const std::vector<std::string>& names)
{
    std::string told;
    Patcher patcher;
    WriteBatch batch([&](std::size_t index, const RouteOutcome& outcome) {
        using enum RouteOutcome::Kind;
        told += names[index] + (outcome.kind == Patched ? " patched\n"
                                : outcome.kind == Unchanged
                                    ? " unchanged\n"
                                    : " failed " + outcome.message + " (" + outcome.cause.Cause() + ")\n");
    });
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto item = std::make_shared<FolderItem>(folder / names[i]);
        if (batch.Holds(*item)) batch.Flush();
        batch.Add(i, item, patcher.Route(item));
    }
    batch.Flush();
    return told;
}

// The run in a child, killed the nth time it takes the step.
Finished KilledAt(FileStep step, int nth, const std::function<void()>& run)
{
    return Child([&] {
               int seen = 0;
               SetFileFaultHook([&](FileStep now) {
                   if (now == step && ++seen == nth) ::kill(::getpid(), SIGKILL);
                   return true;
               });
               run();
               return 0;
           })
        .Wait();
}

}  // namespace

TEST(Leftovers, ARunKilledMidBatchLeavesOldOrNewFilesAndTheNextRunRemovesItsTemporaries)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    auto oursIn = [](const fs::path& folder) {
        int count = 0;
        for (const std::string& name : Listing(folder))
            count += name.size() == 24 && name.starts_with(".veilor-") && name.ends_with(".tmp");
        return count;
    };
    const struct {
        const char* label;
        int killedAtCommit;  // the commit during which the first run is killed
    } cases[] = {{"killed in the third bundle", 3}, {"killed in the companion", 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        std::vector<fs::path> items, files;
        for (const char* name : {"A.app", "B.app", "C.app", "D.app", "App"}) {
            items.push_back(temp / name);
            files.push_back(MakeApp(items.back()));
        }
        auto runBatch = [&] {
            for (const fs::path& item : items) Patcher().Process(std::make_shared<FolderItem>(item));
        };

        const Finished killed = KilledAt(FileStep::Rename, c.killedAtCommit, runBatch);
        ASSERT_EQ(killed.signal, SIGKILL);
        const fs::path killedIn = files[std::size_t(c.killedAtCommit - 1)].parent_path();
        EXPECT_EQ(oursIn(killedIn), 1);
        for (std::size_t i = 0; i < items.size(); ++i)
            EXPECT_EQ(IsPatched(items[i]), int(i) < c.killedAtCommit - 1) << items[i];

        // A temporary of a run still going is locked, and stays; so does a name that is not ours.
        WriteBytes(temp / "A.app/Contents/.veilor-0123456789ab.tmp", "busy");
        WriteBytes(temp / "A.app/Contents/.veilor-mine.tmp", "not ours");
        UniqueFd busy(
            ::open((temp / "A.app/Contents/.veilor-0123456789ab.tmp").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::flock(busy.Get(), LOCK_EX), 0);
        runBatch();
        EXPECT_EQ(oursIn(killedIn), 0);
        EXPECT_EQ(oursIn(temp / "A.app/Contents"), 1);
        EXPECT_TRUE(fs::exists(temp / "A.app/Contents/.veilor-mine.tmp"));
        for (const fs::path& item : items) EXPECT_TRUE(IsPatched(item)) << item;
    }
}

// veilor-patch's group commit: a failed step fails the files it covered, with the route's message and
// the cause, and the same item twice waits for its first edit.
TEST(WriteBatch, ReportsEachItemInOrderOnceDurableAndAFailedStepFailsWhatItCovered)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const std::string w = "failed Failed to write info.plist file. (Input/output error)",
                      a = "failed Failed to write resource fork of file App. (Input/output error)";
    const struct {
        const char* label;
        FileStep failing;  // the step that fails, None for none
        int failingAt;     // its how manyeth time
        std::string told;
        const char* patched;  // A.app, B.app, App: 1 when patched
    } cases[] = {
        {"all go in", FileStep::None, 0, "A.app patched\nB.app patched\nApp patched\n./A.app unchanged\n",
         "111"},
        // Writes: one for each of the three; one flush before the renames and one after them.
        {"one rename fails", FileStep::Rename, 2,
         "A.app patched\nB.app " + w + "\nApp patched\n./A.app unchanged\n", "101"},
        {"the flush before the renames fails", FileStep::Flush, 1,
         "A.app " + w + "\nB.app " + w + "\nApp " + a + "\n./A.app patched\n", "100"},
        // The renames happened, but nothing was known durable: each is told, and a rerun finds them done.
        {"the last flush fails", FileStep::Flush, 2,
         "A.app " + w + "\nB.app " + w + "\nApp " + a + "\n./A.app unchanged\n", "111"},
        {"one write fails at once", FileStep::Write, 3,
         "A.app patched\nB.app patched\nApp " + a + "\n./A.app unchanged\n", "110"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        const std::vector<fs::path> items{temp / "A.app", temp / "B.app", temp / "App"};
        for (const fs::path& item : items) MakeApp(item);
        const auto hook = FailNth(c.failing, c.failingAt);
        EXPECT_EQ(Batched(temp.Path(), {"A.app", "B.app", "App", "./A.app"}), c.told);
        for (std::size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(IsPatched(items[i]), c.patched[i] == '1') << items[i];
            EXPECT_EQ(Listing(i < 2 ? items[i] / "Contents" : temp.Path()).size(), i < 2 ? 1u : 4u)
                << "a temporary file left";
        }
    }
}

TEST(ProcessPackage, AddsTheEntryOrReportsWhyNotLeavingTheFileIntact)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    enum class As { Root, Nobody, NobodyWithLittleMemory };
    struct Case {
        const char* label;
        std::function<void(const fs::path& bundle)> make;
        std::string messages;
        bool patched;
        As as = As::Root;
        std::function<bool(const fs::path& file)> atRename = {};  // answers whether the rename may go on
    };
    // Another program's change just before the rename: the same bytes, but not the file read.
    auto replace = [](const fs::path& f) {
        WriteBytes(f.parent_path() / "other", ReadBytes(f));
        fs::rename(f.parent_path() / "other", f);
        return true;
    };
    auto edit = [](const fs::path& f) {
        const std::string bytes = ReadBytes(f);
        MakeOld(f);
        WriteBytes(f, bytes);
        return true;
    };
    // Info.plist holding the bytes, grown to `size` when that is not 0, owned by nobody when asked.
    auto infoPlist = [](std::string bytes, mode_t mode = 0644, off_t size = 0, bool nobodyOwns = false) {
        return [=](const fs::path& bundle) {
            const fs::path file = bundle / "Contents/Info.plist";
            WriteBytes(file, bytes, mode);
            ASSERT_EQ(size ? ::truncate(file.c_str(), size) : 0, 0);
            ASSERT_EQ(nobodyOwns ? ::chown(file.c_str(), kNobody, kNobody) : 0, 0);
        };
    };
    // A real Info.plist from the shared folder, or no case (counted) where it is absent.
    auto sample = [&](const char* name) -> std::function<void(const fs::path&)> {
        if (!HaveShared()) return {};
        return infoPlist(ReadBytes(kShared / "samples/plists" / name));
    };
    auto outside = [](const fs::path& bundle, const char* link, const char* target) {
        WriteBytes(bundle.parent_path() / "outside/Info.plist", "<dict/>");
        fs::create_directories(bundle / "Contents");
        fs::remove(bundle / link);
        fs::create_symlink(bundle.parent_path() / target, bundle / link);
    };

    const Case cases[] = {
        {"ordinary bundle", sample("ttscoff__nv__Info-2009-beta-copyright.plist"), "", true},
        // Nothing to add, so nothing is written: form, layout, inode and signature stay.
        {"NSUIElement kept", infoPlist("<dict><key>NSUIElement</key><false/></dict>"), "", false},
        {"long commented file: a shorter text, no tail",
         sample("macvim-dev__macvim__Info-big-doctypes-comments.plist"), "", true},
        {"empty file", infoPlist(""), "No plst resource in file Tool\xEF\xBF\xBD.app.\n", false},
        {"no read permission", infoPlist("<plist/>", 0600), kOpenFailed, false, As::Nobody},
        {"no Contents", [](auto& b) { WriteBytes(b / "Info.plist", "<dict/>"); }, "", false},
        {"Info.plist is a folder", [](auto& b) { fs::create_directories(b / "Contents/Info.plist"); },
         kOpenFailed, false},
        {"linked Contents", [&](auto& b) { outside(b, "Contents", "outside"); }, "", false},
        {"linked Info.plist", [&](auto& b) { outside(b, "Contents/Info.plist", "outside/Info.plist"); },
         kOpenFailed, false},
        // Whether the text parses is the readers' concern; a root that is no dictionary ends the route.
        {"array root", infoPlist("<array><string>NSUIElement</string></array>"), "", false},
        {"rename fails", infoPlist("<dict/>"), kWriteFailed, false, As::Root, [](auto&) { return false; }},
        {"replaced by another program meanwhile", infoPlist("<dict/>"), kWriteFailed, false, As::Root,
         replace},
        {"edited in place meanwhile", infoPlist("<dict/>"), kWriteFailed, false, As::Root, edit},
        {"larger than 64 MiB", infoPlist("", 0644, (64 << 20) + 1), kOpenFailed, false},
        {"memory runs out while reading", infoPlist("", 0644, 60 << 20, true), kOpenFailed, false,
         As::NobodyWithLittleMemory},
        {"Contents not writable", infoPlist("<dict/>", 0644, 0, true), kWriteFailed, false, As::Nobody},
    };
    std::size_t skipped = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.make) {
            ++skipped;
            continue;
        }
        TempFolder temp;
        const fs::path bundle = temp / kBundle, file = bundle / "Contents/Info.plist";
        c.make(bundle);
        const auto before = Tree(temp.Path());
        const std::string original = ReadBytes(file);
        const struct stat statusBefore = LinkStatus(file);

        std::string messages;
        if (c.as == As::Nobody) {
            messages = RunAsNobody([&] { return RunRoute(bundle); });
        } else if (c.as == As::NobodyWithLittleMemory) {
#ifdef __SANITIZE_ADDRESS__
            continue;  // the sanitizer's reserved address space leaves no room to limit
#endif
            // Room for some 16 MiB more than the process holds: the 60 MiB file cannot be read whole.
            messages = RunAsNobody([&] {
                long pages = 0;
                std::ifstream("/proc/self/statm") >> pages;
                rlim_t limit = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (16 << 20);
                struct rlimit memory = {limit, limit};
                if (::setrlimit(RLIMIT_AS, &memory) != 0) return std::string("<no limit>");
                return RunRoute(bundle);
            });
        } else {
            std::optional<Installed<FileFaultHook>> hook;
            if (c.atRename)
                hook.emplace(SetFileFaultHook,
                             [&](FileStep step) { return step != FileStep::Rename || c.atRename(file); });
            messages = RunRoute(bundle);
        }
        EXPECT_EQ(messages, c.messages);

        if (!c.patched) {
            EXPECT_EQ(Tree(temp.Path()), before);
            if (c.as == As::Root && !c.atRename && fs::is_regular_file(file)) {
                EXPECT_EQ(LinkStatus(file).st_ino, statusBefore.st_ino);
            }
            continue;
        }
        // CoreFoundation's XML (its golden answers fix the bytes) with the entry added, in a new file.
        CFMutableDictionaryZorpRef expected =
            plist::MutableCopy(plist::AsDictionary(plist::Parse(original).root));
        expected->Add(plist::NewStringZorp("NSUIElement"), plist::NewStringZorp("true"));
        auto after = before;  // the mode kept, and nothing else changed
        after[kBundle + "/Contents/Info.plist"] =
            std::to_string(statusBefore.st_mode) + " " + plist::WriteXML(*expected).value_or("<none>");
        EXPECT_TRUE(Tree(temp.Path()) == after);
        EXPECT_EQ(ReadBytes(file), plist::WriteXML(*expected));
        EXPECT_NE(LinkStatus(file).st_ino, statusBefore.st_ino);
    }
    if (skipped) GTEST_SKIP() << SharedSkipped(skipped);
}

// ACL, extended attributes, owner, mode and every name of the file stay, through both routes.
TEST(Rewrite, KeepsAclAttributesOwnerAndLinks)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    auto shell = [](const std::string& command) {
        const Finished end = RunProgram({"/bin/sh", "-c", command + " 2>&1"});
        return end.out + "status " + std::to_string(end.status);
    };
    auto metadata = [&](const fs::path& file) {
        return shell("getfacl -p '" + file.string() + "'; getfattr -d -m - -e hex '" + file.string() + "'");
    };
    {
        TempFolder probe;
        WriteBytes(probe / "f", "");
        if (shell("setfattr -n user.probe -v 1 '" + (probe / "f").string() + "'") != "status 0")
            GTEST_SKIP() << "this file system keeps no user extended attributes";
    }
    struct Case {
        const char* label;
        std::string setUp;  // shell commands; $F is the file, $D its folder
        bool asNobody;
        bool sameInode;
    };
    const Case cases[] = {
        {"ACL and attributes",
         "chmod 640 $F; setfacl -m u:4321:rw $F; setfattr -n user.test -v hi $F; "
         "setfattr -n trusted.test -v x $F",
         false, false},
        {"no ACL in a folder with a default ACL", "setfacl -d -m u:4321:rwx $D", false, false},
        {"set-group-ID, owned by nobody", "chown 65534:0 $F; chmod 2664 $F", false, false},
        // Writing a file clears these; the new one gets them after its content.
        {"set-user-ID and set-group-ID, patched by its owner nobody",
         "chown 65534:65534 $F; chmod 6755 $F; chmod 777 $D", true, false},
        {"a file capability (cap_net_raw+ep)",
         "setfattr -n security.capability -v 0x0100000200200000000000000000000000000000 $F", false, false},
        {"a second name", "ln $F $D/other", false, true},
        {"another user's file in an open folder", "chmod 666 $F; chmod 777 $D", true, true},
    };
    for (const bool bundle : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (bundle ? " (bundle)" : " (companion)"));
            TempFolder temp;
            const fs::path item = bundle ? temp / "A.app" : temp / "App", file = MakeApp(item);
            ASSERT_EQ(shell("F='" + file.string() + "' D='" + file.parent_path().string() + "'; " + c.setUp),
                      "status 0");
            const std::string kept = metadata(file);
            const struct stat before = LinkStatus(file);
            const auto names = Listing(file.parent_path());

            auto run = [&] { return RunRoute(item); };
            EXPECT_EQ(c.asNobody ? RunAsNobody(run) : run(), "");
            const struct stat after = LinkStatus(file);
            EXPECT_TRUE(IsPatched(item));
            EXPECT_EQ(metadata(file), kept);
            EXPECT_EQ(std::tie(after.st_mode, after.st_uid, after.st_gid),
                      std::tie(before.st_mode, before.st_uid, before.st_gid));
            EXPECT_EQ(after.st_ino == before.st_ino, c.sameInode);
            if (fs::exists(file.parent_path() / "other")) {
                EXPECT_EQ(ReadBytes(file.parent_path() / "other"), ReadBytes(file));
            }
            EXPECT_EQ(Listing(file.parent_path()), names);
        }
    }
}

// The package route for folders (a link is none), the resource route for the rest; an exception
// passes out, with nothing written and no refresh.
TEST(Process, RoutesByDirectoryAndThenRefreshesAChangedItem)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const std::string info = "Tool.app/Contents/Info.plist=", bundle = info + kAppPlist,
                      intKey = info + TestData("patcher/bin-int-key.plist"),
                      noPlst = "No plst resource in file ";
    const struct {
        const char* label;
        std::vector<std::string> items;  // laid out as Lay does
        const char* item;
        std::string messages;
        bool patched;  // Tool.app/Contents/Info.plist gained the entry
        bool thrown = false;
    } cases[] = {
        {"application bundle", {bundle}, "Tool.app", "", true},
        {"empty Info.plist", {info}, "Tool.app", noPlst + "Tool.app.\n", false},
        {"folder that is not a bundle", {"Plain/Sub/"}, "Plain", "", false},
        {"single-file application", {"Single", "._Single=APPL"}, "Single", noPlst + "Single.\n", false},
        {"plain document", {"notes.txt"}, "notes.txt", "", false},
        {"link to a bundle", {bundle, "Link.app->Tool.app"}, "Link.app", "", false},
        {"XML of the edited dictionary is nil", {intKey}, "Tool.app", "", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder temp;
        Lay(temp.Path(), c.items);
        const std::string plist = ReadBytes(temp / "Tool.app/Contents/Info.plist");
        const fs::path item = temp / c.item;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(temp.Path()))
            MakeOld(entry.path());
        RecordedMessages messages;
        if (c.thrown) {
            EXPECT_THROW(Patcher().Process(std::make_shared<FolderItem>(item)), NilObjectException);
            EXPECT_EQ(ReadBytes(temp / "Tool.app/Contents/Info.plist"), plist);
        } else {
            Patcher().Process(std::make_shared<FolderItem>(item));
        }
        EXPECT_EQ(messages.Joined(), c.messages);
        // Refreshed only when its property list changed.
        EXPECT_EQ(ModifiedAt(item) > kOldTime, c.patched);
        EXPECT_EQ(ReadBytes(temp / "Tool.app/Contents/Info.plist").find("NSUIElement") != std::string::npos,
                  c.patched);
    }
    EXPECT_THROW(Patcher().Process(nullptr), NilObjectException);
}

// On the window's road an edit of two files is made ready whole before either goes in; a failure to put
// the executable in place leaves a list the next drop finishes. A second name is written in place.
TEST(ProcessSigned, TheWindowTellsARefusalOrAFailedWriteAndTheNextDropFinishesTheEdit)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    using signed_bundles::End;
    craft::Shape entitled, developer;
    entitled.entitlements = "<plist><dict><key>keychain-access-groups</key><array/></dict></plist>";
    developer.codeDirectories = {{2, 0x20400, 0, 0, 12, "ABCDE12345"}};
    developer.wrapper = craft::Wrapper::Developer;
    const std::string tool = "Failed to write executable file Tool.\n";
    const struct {
        const char* name;
        craft::Shape shape;
        FileStep failing;  // the step that fails, None for none
        int failingAt;     // its how manyeth time
        std::string messages;
        End end;
        bool linked = false;  // the executable has a second name
    } cases[] = {
        {"Adhoc.app", {}, FileStep::None, 0, "", End::Resigned},
        {"Linked.app", {}, FileStep::None, 0, "", End::Resigned, true},
        {"Developer.app", developer, FileStep::None, 0,
         "Not patched: the developer's code signature would no longer match, and macOS would refuse to "
         "open it (veilor-patch --resign renews it as an ad hoc signature). Nothing in Developer.app was "
         "changed.\n",
         End::Untouched},
        {"Entitled.app", entitled, FileStep::None, 0,
         "Not re-signed: restricted entitlements (keychain-access-groups). Nothing in Entitled.app was "
         "changed.\n",
         End::Untouched},
        {"ListFails.app", {}, FileStep::Rename, 1, "Failed to write info.plist file.\n", End::Untouched},
        {"ReadyFails.app", {}, FileStep::Write, 2, tool, End::Untouched},
        {"ToolFails.app", {}, FileStep::Rename, 2, tool, End::ExecutableKept},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder temp;
        const fs::path app = signed_bundles::CraftedBundle(temp / c.name, c.shape);
        if (c.linked) fs::create_hard_link(app / "Contents/MacOS/Tool", temp / "other name");
        const auto original = Tree(app);
        {
            const auto hook = FailNth(c.failing, c.failingAt);
            EXPECT_EQ(RunRoute(app), c.messages);
        }
        signed_bundles::ExpectEnd(app, original, c.end);
        if (c.linked) {
            EXPECT_TRUE(ReadBytes(temp / "other name") == ReadBytes(app / "Contents/MacOS/Tool"));
        }
        if (c.failing == FileStep::None) continue;
        EXPECT_EQ(RunRoute(app), "");
        signed_bundles::ExpectEnd(app, original, End::Resigned);
    }
}

// When the executable cannot go in, its own message is told and the other items are not held up.
TEST(WriteBatch, AnEditOfTwoFilesIsToldByTheFileThatFailed)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    TempFolder temp;
    const fs::path first = signed_bundles::CraftedBundle(temp / "First.app"),
                   second = signed_bundles::CraftedBundle(temp / "Second.app");
    const auto firstBefore = Tree(first), secondBefore = Tree(second);
    const auto hook = FailNth(FileStep::Rename, 2);
    EXPECT_EQ(
        Batched(temp.Path(), {"First.app", "Second.app"}),
        "First.app failed Failed to write executable file Tool. (Input/output error)\nSecond.app patched\n");
    signed_bundles::ExpectEnd(first, firstBefore, signed_bundles::End::ExecutableKept);
    signed_bundles::ExpectEnd(second, secondBefore, signed_bundles::End::Resigned);
}

// What the rules leave out or mark optional may come and go. Seals in other forms: legacy SHA-1, rules
// of their own, nested code by cdhash, and ones that cannot be read or walked.
TEST(ResourceSeal, HoldsOnlyWhileTheSealedFilesAreAsRecorded)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    using Change = std::function<void(const fs::path& contents)>;
    using signed_bundles::SealOf, signed_bundles::SealedFile;
    // In place of what was at the path: a file of that text, or a link to it; or nothing.
    const auto put = [](const std::string& path, const std::string& text, bool link = false) -> Change {
        return [=](const fs::path& contents) {
            fs::remove_all(contents / path);  // a link in its place is replaced, not written through
            link ? fs::create_symlink(text, contents / path) : WriteBytes(contents / path, text);
        };
    };
    const auto gone = [](const std::string& path) -> Change {
        return [=](const fs::path& contents) { fs::remove_all(contents / path); };
    };
    const auto sealed = [](const std::string& path, const std::string& bytes, const std::string& rules = "") {
        return SealOf({{path, SealedFile(bytes)}}, rules);
    };
    // Our own bundle: a sealed file, an optional one, a sealed link and nested code.
    const std::string ours = SealOf({
        {"Resources/res.txt", SealedFile("r")},
        {"Resources/en.lproj/x.strings", SealedFile("s", true)},
        {"Resources/link", "<dict><key>symlink</key><string>res.txt</string></dict>"},
        {"Frameworks/Inner.framework",
         "<dict><key>cdhash</key><data>AAAA</data><key>requirement</key><string>cdhash</string></dict>"},
    });
    const std::vector<std::string> oursLaid = {"Resources/res.txt=r", "Resources/en.lproj/x.strings=s",
                                               "Frameworks/Inner.framework/Inner=i"};
    std::vector<std::string> neverListed = oursLaid;
    neverListed.insert(neverListed.end(),
                       {"_CodeSignature/other=o", "_MASReceipt/receipt=m", "PkgInfo=APPL????"});
    const Change link = put("Resources/link", "res.txt", true);
    const Change fifo = [](const fs::path& contents) {
        fs::remove(contents / "Resources/res.txt");
        ASSERT_EQ(::mkfifo((contents / "Resources/res.txt").c_str(), 0666), 0);
    };
    const std::string legacy = "<plist><dict><key>files</key><dict><key>Resources/res.txt</key><data>" +
                               signed_bundles::Base64(macho::Digest(macho::kSha1, "r")) +
                               "</data></dict></dict></plist>",
                      ownRules =
                          sealed("Resources/res.txt", "r", "<dict><key>^Resources/</key><true/></dict>");
    const auto rule = [](const std::string& pattern) {
        return SealOf({}, "<dict><key>" + pattern + "</key><true/></dict>");
    };
    // Hashed in pieces: a change in the last byte of a file larger than one piece is still seen.
    const std::string big(3 << 20, 'b'), bigChanged = big.substr(0, big.size() - 1) + 'c';
    // The walk stops 64 levels below Contents, and past a path of 1024 bytes, longer than a Mac allows.
    std::string deep = "Resources/", deeper = deep, longPath = "Resources";
    for (int i = 0; i < 63; ++i) deep += "d/";
    deep += "f", deeper += "d/" + deep.substr(std::string("Resources/").size());
    while (longPath.size() <= 1024) longPath += "/" + std::string(250, 'n');
    // Nested code: a library, an application's Contents/MacOS/<name>, a framework's current version.
    craft::Shape smaller;
    smaller.codeSize = 4096;
    const craft::Built code = craft::Thin({}), other = craft::Thin(smaller);
    const auto cdhash = [](const std::string& path, const craft::Built& built) {
        const std::string_view blob = std::string_view(built.bytes).substr(built.codeDirectories.at(0));
        const std::string hash =
            macho::Digest(macho::kSha256, blob.substr(0, byteorder::BigEndian32(blob.data() + 4)))
                .substr(0, 20);
        return SealOf({{path, "<dict><key>cdhash</key><data>" + signed_bundles::Base64(hash) +
                                  "</data><key>requirement</key><string>cdhash</string></dict>"}});
    };
    const std::string libn = cdhash("Frameworks/libn.dylib", code), a250(250, 'a');
    const std::string helper = "/Info.plist=<plist><dict><key>CFBundleExecutable</key><string>Helper"
                               "</string></dict></plist>";
    const auto tool = [&](const char* path) { return put(path, code.bytes); };
    const std::vector<Change> library = {tool("Frameworks/libn.dylib")},
                              application = {tool("Helpers/Helper.app/Contents/MacOS/Helper")},
                              framework = {tool("Frameworks/N.framework/Versions/A/Helper"),
                                           put("Frameworks/N.framework/Versions/B/Helper", other.bytes),
                                           put("Frameworks/N.framework/Versions/Current", "A", true)};
    const std::vector<std::string> applicationLaid = {"Helpers/Helper.app/Contents" + helper},
                                   frameworkLaid = {"Frameworks/N.framework/Versions/A/Resources" + helper};
    constexpr SealCheck::Status H = SealCheck::Status::Holds, C = SealCheck::Status::Changed,
                                U = SealCheck::Status::Unchecked;
    const auto sparse = [&](const std::string& path, off_t size) -> Change {
        return [=, empty = put(path, "")](const fs::path& contents) {
            empty(contents);
            ASSERT_EQ(::truncate((contents / path).c_str(), size), 0);
        };
    };
    const auto locked = [](const std::string& path, fs::perms perms) -> Change {
        return [=](const fs::path& contents) { fs::permissions(contents / path, perms); };
    };
    const struct {
        const char* name;
        std::string seal;  // "": the shared ad hoc sample's, which seals a file and an optional one
        std::vector<std::string> laid;  // in Contents, as Lay does
        std::vector<Change> changes;
        SealCheck::Status want;
    } cases[] = {
        {"Intact", ours, oursLaid, {link}, H},
        {"ByteChanged", ours, oursLaid, {link, put("Resources/res.txt", "R")}, C},
        {"Added", ours, oursLaid, {link, put("Resources/new.txt", "n")}, C},
        {"AddedCode", ours, oursLaid, {link, put("MacOS/helper", "h")}, C},
        {"AddedAtTop", ours, oursLaid, {link, put("extra", "e")}, C},
        {"Removed", ours, oursLaid, {link, gone("Resources/res.txt")}, C},
        {"OptionalRemoved", ours, oursLaid, {link, gone("Resources/en.lproj/x.strings")}, H},
        {"OmittedAdded", ours, oursLaid, {link, put("Resources/.DS_Store", "d")}, H},
        {"LocversionAdded", ours, oursLaid, {link, put("Resources/en.lproj/locversion.plist", "l")}, H},
        {"LocalisedAdded", ours, oursLaid, {link, put("Resources/en.lproj/new.strings", "n")}, C},
        {"SymbolsAdded", ours, oursLaid, {link, put("Tool.dSYM/Contents/Info.plist", "p")}, C},
        {"NeverListedAdded", ours, neverListed, {link}, H},
        {"Retargeted", ours, oursLaid, {put("Resources/link", "new.txt", true)}, C},
        {"LinkMadeFile", ours, oursLaid, {put("Resources/link", "r")}, C},
        {"FileMadeLink", ours, oursLaid, {link, put("Resources/res.txt", "en.lproj/x.strings", true)}, C},
        {"FileMadeFifo", ours, oursLaid, {link, fifo}, C},
        {"NestedRemoved", ours, oursLaid, {link, gone("Frameworks/Inner.framework")}, C},
        {"Legacy", legacy, {"Resources/res.txt=r"}, {}, H},
        {"LegacyChanged", legacy, {"Resources/res.txt=R"}, {}, C},
        {"OwnRules", ownRules, {"Resources/res.txt=r", "Other/free.txt=f"}, {}, H},
        {"OwnRulesAdded", ownRules, {"Resources/res.txt=r", "Resources/new.txt=n"}, {}, C},
        {"BadRule", rule("("), {}, {}, U},
        // A pattern that backtracking would take years over, against an unsealed file it does not match.
        {"SlowRule", rule("^(a|aa)+$"), {std::string(100, 'a') + "b=x"}, {}, H},
        {"NotAList", "not a list", {}, {}, U},
        {"NoFiles", "<plist><dict/></plist>", {}, {}, U},
        {"Large", sealed("Resources/big", big), {"Resources/big=" + big}, {}, H},
        {"LargeChanged", sealed("Resources/big", big), {"Resources/big=" + bigChanged}, {}, C},
        {"Deep", sealed(deep, "x"), {deep + "=x"}, {}, H},
        {"TooLong", sealed(longPath, "x"), {longPath + "=x"}, {}, U},
        {"TooDeep", sealed(deeper, "x"), {deeper + "=x"}, {}, U},
        {"Library", libn, {}, library, H},
        {"LibraryChanged", cdhash("Frameworks/libn.dylib", other), {}, library, C},
        {"Application", cdhash("Helpers/Helper.app", code), applicationLaid, application, H},
        {"ApplicationChanged", cdhash("Helpers/Helper.app", other), applicationLaid, application, C},
        {"Framework", cdhash("Frameworks/N.framework", code), frameworkLaid, framework, H},
        {"FrameworkChanged", cdhash("Frameworks/N.framework", other), frameworkLaid, framework, C},
        {"SampleByteChanged", "", {"Resources/res.txt=changed"}, {}, C},
        {"SampleAdded", "", {"Resources/new.txt=n"}, {}, C},
        {"SampleRemoved", "", {}, {gone("Resources/res.txt")}, C},
        {"SampleOptionalRemoved", "", {}, {gone("Resources/en.lproj/InfoPlist.strings")}, H},
        {"SampleOmittedAdded", "", {".DS_Store=d"}, {}, H},
        // Hostile seals: judged, never run as a program nor read without bound.
        {"NestedGroups", rule(std::string(50000, '(') + std::string(50000, ')')), {}, {}, U},
        {"CatastrophicPattern",
         rule("(.{0,255}){0,9}x"),
         {"Resources/" + a250 + "/" + a250 + "/" + a250 + "=x"},
         {},
         U},
        {"CountAboveLimit", rule("(.{0,1000}){0,9}x"), {}, {}, U},
        {"HugeSparseSealed", sealed("Resources/huge", ""), {}, {sparse("Resources/huge", 8ll << 30)}, U},
        {"HugeSparseNestedCode", libn, {}, {sparse("Frameworks/libn.dylib", 1ll << 30)}, C},
        {"UnreadableSealed", ours, oursLaid, {link, locked("Resources/res.txt", fs::perms::none)}, U},
        // Its only file is optional: a folder taken as empty would hide what it holds.
        {"UnreadableSealedFolder",
         ours,
         oursLaid,
         {link, locked("Resources/en.lproj", fs::perms::owner_exec)},
         U},
    };
    TempFolder temp;
    std::size_t skipped = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.seal.empty() && !HaveShared()) {
            ++skipped;
            continue;
        }
        const fs::path app = c.seal.empty()
                                 ? signed_bundles::CopyOf("AdhocUniversal.app", temp / c.name)
                                 : signed_bundles::CraftedBundle(temp / c.name, {}, 0755, {}, c.seal);
        Lay(app / "Contents", c.laid);
        for (const Change& change : c.changes) change(app / "Contents");
        // A file only root may read is judged as another user, where one runs as root.
        const bool unreadable = std::string_view(c.name).starts_with("UnreadableSealed");
        const auto judge = [&] {
            const SealCheck check = CheckSeal(OpenFolder::At(app / "Contents"),
                                              ReadBytes(app / "Contents/_CodeSignature/CodeResources"),
                                              c.seal.empty() ? "Hello" : "Tool");
            return std::to_string(int(check.status)) + " " + check.reason;
        };
        const std::string want = std::to_string(int(c.want)) + " " +
                                 (unreadable    ? "resources cannot be read (Permission denied)"
                                  : c.want == U ? "resources cannot be checked"
                                                : "");
        EXPECT_EQ(unreadable && ::geteuid() == 0 ? RunAsNobody(judge) : judge(), want);
    }
    if (skipped) GTEST_SKIP() << SharedSkipped(skipped);
}

// veilor-patch killed at each rename and flush of a sealed bundle's two-file commit (the list,
// then the executable) in turn: whatever it left, the rerun ends with a valid signature.
TEST(Leftovers, ARerunAfterAKillAtAnyStepOfTheTwoFileCommitEndsValid)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    constexpr int kMostSteps = 12;
    int killedRuns = 0;
    for (FileStep step : {FileStep::Rename, FileStep::Flush}) {
        for (int nth = 1; nth <= kMostSteps; ++nth) {
            SCOPED_TRACE(std::to_string(int(step)) + " #" + std::to_string(nth));
            TempFolder temp;
            const fs::path bundle = signed_bundles::CraftedBundle(temp / "Signed.app");
            const Finished killed = KilledAt(step, nth, [&] { (void)Batched(temp.Path(), {"Signed.app"}); });
            // Killed after the last rename, the rerun finds nothing left to do.
            const std::string rerun = Batched(temp.Path(), {"Signed.app"});
            EXPECT_TRUE(rerun == "Signed.app patched\n" || rerun == "Signed.app unchanged\n") << rerun;
            EXPECT_EQ(signed_bundles::Verdict(bundle), "signature valid (ad hoc)");
            for (const fs::path& folder : {bundle / "Contents", bundle / "Contents/MacOS"})
                for (const std::string& name : Listing(folder))
                    EXPECT_FALSE(name.starts_with(".veilor-")) << name;
            if (killed.signal != SIGKILL) break;  // the run went through: no later step to kill at
            ++killedRuns;
        }
    }
    EXPECT_GE(killedRuns, 4);
}
