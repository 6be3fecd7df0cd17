// SPDX-License-Identifier: MIT
// The real veilor-patch killed with SIGKILL at points picked from a fixed seed, then run again: every
// file old or new, the bundle valid deep by our verifier, a third run changing nothing. And a chain's
// cut-short state finished only where a marker of ours says a run of ours left it.

#include "file_fixtures.h"
#include "linked_code.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <random>

using namespace fixtures;
using linked::List;

namespace {

// Linker-signed code everywhere --deep reaches: a framework, a login item, an XPC service, a plug-in.
fs::path LinkedApplication(const fs::path& folder)
{
    const fs::path contents = folder / "App.app/Contents";
    const std::string code = linked::Link(folder, linked::Make("arm64"));
    WriteBytes(contents / "Info.plist", List("App", "org.example.app"));
    WriteBytes(contents / "MacOS/App", code, 0755);
    WriteBytes(contents / "Frameworks/Kit.framework/Versions/A/Kit",
               linked::Link(folder, linked::Make("arm64", "-adhoc_codesign", "11.0", "-dylib"), "l"), 0755);
    WriteBytes(contents / "Frameworks/Kit.framework/Versions/A/Resources/Info.plist",
               List("Kit", "org.example.kit"));
    fs::create_symlink("A", contents / "Frameworks/Kit.framework/Versions/Current");
    fs::create_symlink("Versions/Current/Kit", contents / "Frameworks/Kit.framework/Kit");
    fs::create_symlink("Versions/Current/Resources", contents / "Frameworks/Kit.framework/Resources");
    for (const char* nested :
         {"Library/LoginItems/Login.app", "XPCServices/Fetch.xpc", "PlugIns/Share.appex"}) {
        const std::string name = fs::path(nested).stem();
        WriteBytes(contents / nested / "Contents/Info.plist", List(name, "org.example." + name));
        WriteBytes(contents / nested / "Contents/MacOS" / name, code, 0755);
    }
    WriteBytes(contents / "Resources/en.lproj/InfoPlist.strings", "\"CFBundleName\" = \"App\";\n");
    return folder / "App.app";
}

const fs::path kLogin = "Contents/Library/LoginItems/Login.app";

Finished Patch(std::vector<std::string> args)
{
    args.insert(args.begin(), VEILOR_PATCH_BIN);
    return RunProgram(args);
}

// What --verify (deep) says when the bundle is not valid; "" when it is.
std::string Fault(const fs::path& app)
{
    const Finished end = Patch({"--verify", app.string()});
    return end.status == 0 ? "" : end.out + end.err;
}

fs::path CopyInto(const fs::path& original, const fs::path& folder)
{
    fs::create_directories(folder);
    const fs::path app = folder / original.filename();
    fs::copy(original, app, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return app;
}

bool Temporary(const std::string& path)
{
    return fs::path(path).filename().string().starts_with(".veilor-");
}

// Killed after a delay drawn from a fixed seed, spread over one run's length, `args` (on a copy of
// `original`, whose path below it is `target`) leave every file old or new; a rerun ends valid and
// as a whole run ends, and a third run changes nothing.
void KilledAtRandom(const fs::path& original, const fs::path& target, std::vector<std::string> args)
{
    const auto before = Tree(original);
    // One run's length, the shortest of a few, so that the delays fall inside a run.
    TempFolder reference;
    std::chrono::microseconds length = std::chrono::seconds(60);
    fs::path whole;
    for (int run = 0; run < 3; ++run) {
        whole = CopyInto(original, reference.Path() / std::to_string(run));
        args.push_back((whole / target).string());
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(Patch(args).status, 0);
        length = std::min(length, std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - start));
        args.pop_back();
    }
    args.push_back({});
    ASSERT_EQ(Fault(whole), "");
    const auto after = Tree(whole);
    std::minstd_rand draw(32);
    std::uniform_int_distribution<long> delay(0, std::max<long>(1, length.count()));
    int killed = 0;
    for (int trial = 0; trial < 20; ++trial) {
        SCOPED_TRACE(trial);
        TempFolder folder;
        const fs::path app = CopyInto(original, folder.Path());
        args.back() = (app / target).string();
        std::vector<std::string> command{VEILOR_PATCH_BIN};
        command.insert(command.end(), args.begin(), args.end());
        Child run([&] { return Exec(command); });
        ::usleep(useconds_t(delay(draw)));
        ::kill(run.Pid(), SIGKILL);
        killed += run.Wait().signal == SIGKILL;
        for (const auto& [path, entry] : Tree(app)) {
            if (Temporary(path)) continue;
            const auto old = before.find(path), now = after.find(path);
            EXPECT_TRUE((old != before.end() && old->second == entry) ||
                        (now != after.end() && now->second == entry))
                << path << " is neither old nor new";
        }
        EXPECT_EQ(Patch(args).status, 0);
        EXPECT_EQ(Fault(app), "");
        const auto rerun = Tree(app);
        EXPECT_TRUE(rerun == after) << "the rerun ended otherwise than a whole run";
        EXPECT_EQ(Patch(args).status, 0);
        EXPECT_TRUE(Tree(app) == rerun) << "the third run changed something";
    }
    EXPECT_GT(killed, 0) << "no run was killed";
}

TEST(Killed, AtRandomPointsTheRerunEndsValid)
{
    if (!linked::HaveTools()) GTEST_SKIP() << linked::Skipped(2);
    TempFolder source;
    const fs::path original = LinkedApplication(source.Path());
    {
        SCOPED_TRACE("--sign over a linker-signed bundle");
        KilledAtRandom(original, "", {"--sign"});
    }
    SCOPED_TRACE("the chain around a patched login item");
    ASSERT_EQ(Patch({"--sign", original.string()}).status, 0);
    // The deep verdict reaches every nested piece: one changed list breaks the whole.
    for (const char* nested :
         {"XPCServices/Fetch.xpc", "PlugIns/Share.appex", "Library/LoginItems/Login.app"}) {
        TempFolder folder;
        const fs::path app = CopyInto(original, folder.Path()),
                       list = app / "Contents" / nested / "Contents/Info.plist";
        WriteBytes(list, ReadBytes(list) + "\n");
        EXPECT_NE(Fault(app), "") << nested << " was not verified";
    }
    KilledAtRandom(original, kLogin, {});
}

std::string Sha256(const std::string& bytes)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// The marker a run of ours leaves beside the seal: its folder by device and inode, the seal's hash.
std::string Marker(const fs::path& sealFolder, const std::string& seal)
{
    std::string marker = "VEILORS1";
    const struct stat info = LinkStatus(sealFolder);
    for (std::uint64_t value : {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino)})
        for (int shift = 56; shift >= 0; shift -= 8) marker += char((value >> shift) & 0xFF);
    return marker + Sha256(seal);
}

// The state a chain killed between the enclosing seal and its executable leaves: finished only
// where a marker of ours names that seal, else judged as it is and left byte for byte.
TEST(Killed, ACutShortChainIsFinishedOnlyWhereOurMarkerSaysSo)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& sealFolder, const std::string& seal)> mark;
        bool finished;
    };
    const std::vector<Case> cases = {
        {"no marker", [](const fs::path&, const std::string&) {}, false},
        {"ours",
         [](const fs::path& at, const std::string& seal) {
             WriteBytes(at / ".veilor-reseal", Marker(at, seal));
         },
         true},
        {"naming another seal",
         [](const fs::path& at, const std::string& seal) {
             WriteBytes(at / ".veilor-reseal", Marker(at, seal + " "));
         },
         false},
        {"another user's",
         [](const fs::path& at, const std::string& seal) {
             WriteBytes(at / ".veilor-reseal", Marker(at, seal));
             ASSERT_EQ(::chown((at / ".veilor-reseal").c_str(), kNobody, kNobody), 0);
         },
         false},
        {"in a folder others may write",
         [](const fs::path& at, const std::string& seal) {
             WriteBytes(at / ".veilor-reseal", Marker(at, seal));
             fs::permissions(at, fs::perms::group_write, fs::perm_options::add);
             ASSERT_EQ(::chown(at.c_str(), 0, kNobody), 0);
         },
         false},
    };
    if (!linked::HaveTools()) GTEST_SKIP() << linked::Skipped(cases.size());
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
    TempFolder source;
    const fs::path original = LinkedApplication(source.Path());
    ASSERT_EQ(Patch({"--sign", original.string()}).status, 0);
    TempFolder reference;
    const fs::path whole = CopyInto(original, reference.Path());
    ASSERT_EQ(Patch({(whole / kLogin).string()}).status, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path app = CopyInto(original, folder.Path());
        // All but the enclosing executable as the chain writes them.
        for (const fs::path& file : {kLogin / "Contents/Info.plist", kLogin / "Contents/MacOS/Login",
                                     fs::path("Contents/_CodeSignature/CodeResources")})
            WriteBytes(app / file, ReadBytes(whole / file), LinkStatus(whole / file).st_mode & 07777);
        const fs::path sealFolder = app / "Contents/_CodeSignature";
        c.mark(sealFolder, ReadBytes(sealFolder / "CodeResources"));
        const auto before = Tree(app);
        const Finished end = Patch({(app / kLogin).string()});
        if (c.finished) {
            EXPECT_EQ(end.status, 0) << end.err;
            EXPECT_EQ(Fault(app), "");
            EXPECT_FALSE(fs::exists(sealFolder / ".veilor-reseal")) << "the marker stayed";
        } else {
            EXPECT_EQ(end.status, 1);
            EXPECT_NE(end.err.find("not left so by a run of Veilor's"), std::string::npos) << end.err;
            EXPECT_TRUE(Tree(app) == before) << "a planted state changed";
        }
    }
    // A marker a killed run left beside a seal that --sign makes anew goes, whatever seal it names.
    TempFolder left;
    const fs::path app = CopyInto(original, left.Path()), sealFolder = app / "Contents/_CodeSignature";
    WriteBytes(sealFolder / ".veilor-reseal", Marker(sealFolder, "an older seal"));
    EXPECT_EQ(Patch({"--sign", app.string()}).status, 0);
    EXPECT_EQ(Fault(app), "");
    EXPECT_FALSE(fs::exists(sealFolder / ".veilor-reseal"));
}

}  // namespace
