// SPDX-License-Identifier: MIT
// The resource-fork route on companions packed by the independent writer, tools/make_appledouble.py.

#include "file_fixtures.h"
#include "fork_test_support.h"
#include "patcher/patcher.h"
#include "platform/framework/zorp_plugin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/xattr.h>

#include <array>
#include <map>

using namespace fixtures;
using namespace forktest;

namespace {

const std::string kPlist = "<plist><dict><key>CFBundleName</key><string>Demo</string></dict></plist>";
// kPlist with the entry added, as CoreFoundation writes it.
const std::string kPatched = TestData("cli/demo-patched.plist");
const std::string kAgentFalse = "<plist version=\"1.0\"><dict><key>NSUIElement</key><string>0</string>"
                                "<key>CFBundleName</key><string>App</string></dict></plist>";

// One resource type in the independent writer's description.
std::string Type(const std::string& code, int id, const std::string& data, const std::string& name = "",
                 int attributes = 0)
{
    return R"({"code": ")" + code + R"(", "resources": [{"id": )" + std::to_string(id) + R"(, "name": ")" +
           name + R"(", "attributes": )" + std::to_string(attributes) + R"(, "hex": ")" + Hex(data) + "\"}]}";
}

const std::string kAppFork = Type("vers", 1, std::string("\x01\x00\x80\x00", 4), "version", 4) + ", " +
                             Type("plst", 0, kPlist) + ", " + Type("icns", -16455, "icon", "", 2);

// A companion of an APPL file with the given layout, fork types and further description.
std::string Companion(const std::string& layout, const std::string& types, const std::string& more = "")
{
    TempFolder scratch;
    BuildCompanion(R"({"layout": ")" + layout + R"(", "type": "APPL", "creator": "ttxt", )" +
                       R"("attributes": [["com.apple.quarantine", "30303831"]], )" +
                       R"("fork": {"attributes": 32, "types": [)" + types + "]}" + more + "}",
                   scratch / "built");
    return ReadBytes(scratch / "built");
}

// The fork of such a companion, in the plain layout.
std::string ForkOf(const std::string& types)
{
    auto file = macfork::ReadAppleDouble(Companion("plain", types));
    return file ? macfork::FindEntry(*file, macfork::kResourceForkEntry)->bytes : std::string();
}

}  // namespace

TEST(ProcessRes, PatchesPlstZeroKeepingEverythingElse)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    struct Case {
        std::string name, companion;
        int attributes;
        std::string app = "App", companionAt = "._App";  // in the test's folder
    };
    const std::vector<Case> cases = {
        {"macOS layout", Companion("macos", kAppFork), 0},
        {"unknown entries after the fork",
         Companion("plain", kAppFork, R"(, "extra": [[2151960918, "0a0b"], [3, "41707000"]])"), 0},
        {"plst 0 with a name and attributes", Companion("plain", Type("plst", 0, kPlist, "Info", 8)), 8},
        // Unpacked from a Mac's zip archive; a __MACOSX further up is not the nearest.
        {"companion under the archive's __MACOSX", Companion("macos", kAppFork), 0, "Archive/Foo/App",
         "Archive/__MACOSX/Foo/._App"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path app = folder / c.app, companion = folder / c.companionAt;
        WriteBytes(companion, c.companion);
        WriteBytes(app, "data fork");
        const bool beside = app.parent_path() == companion.parent_path();
        if (!beside) WriteBytes(folder / "__MACOSX/Archive/Foo/._App", FinderInfoCompanion("TEXT", "ttxt"));
        const std::string dumped = DumpCompanion(companion);

        EXPECT_EQ(RunRoute(app), "");
        const std::string after = ReadBytes(companion);
        EXPECT_EQ(ReadBytes(app), "data fork");
        // Written back where it was found, and nowhere else.
        using Names = std::vector<std::string>;
        EXPECT_EQ(Listing(app.parent_path()), beside ? Names({"._App", "App"}) : Names({"App"}));
        EXPECT_EQ(Listing(companion.parent_path()), beside ? Names({"._App", "App"}) : Names({"._App"}));
        // Every entry but the fork and every resource but plst 0 as it was; plst 0 patched, its name gone.
        EXPECT_EQ(Without(Facts(after), {"plst 0 "}), Without(Facts(c.companion), {"plst 0 "}));
        const std::string patched = "plst 0 " + std::to_string(c.attributes) + " - 0 " + Hex(kPatched) + "\n";
        EXPECT_NE(Facts(after).find(patched), std::string::npos) << Facts(after);
        // The independent reader sees the same of what we wrote.
        const std::string dump = DumpCompanion(companion);
        const std::initializer_list<std::string_view> unpatched = {"entry 2 ", "resource 706c7374 0 "};
        EXPECT_EQ(Without(dump, unpatched), Without(dumped, unpatched));
        EXPECT_NE(
            dump.find("resource 706c7374 0 " + std::to_string(c.attributes) + " - " + Hex(kPatched) + "\n"),
            std::string::npos)
            << dump;

        EXPECT_EQ(RunRoute(app), "");
        EXPECT_TRUE(ReadBytes(companion) == after);
    }
}

TEST(ProcessRes, LeavesFilesUnchangedWithTheExactMessageOrSilence)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const std::string openFailed = "Failed to open resource fork of file App.\n",
                      noPlst = "No plst resource in file App.\n";
    // plain layout: Finder info at 50 (32 bytes), fork at 82; the fork's map at 82 + its offset.
    const std::string good = Companion("plain", kAppFork);
    const std::uint32_t forkLength = Get32(good, 46);
    const std::size_t map = 82 + Get32(good, 82 + 4);
    using Prepare = std::function<void(const TempFolder&)>;
    struct Case {
        std::string name, companion;  // companion: "" for none
        std::string expected;
        Prepare prepare = nullptr;
        bool asNobody = false;
        std::function<bool(const fs::path& folder)> atRename = {};  // answers whether the rename may go on
    };
    auto owned = [](const char* name) {
        return [=](const TempFolder& t) { EXPECT_EQ(::chown((t / name).c_str(), kNobody, kNobody), 0); };
    };
    // Another program's new companion, of the same bytes, just before the rename.
    auto replace = [](const fs::path& f) {
        WriteBytes(f / "new", ReadBytes(f / "._App"));
        fs::rename(f / "new", f / "._App");
        return true;
    };
    const std::string writeFailed = "Failed to write resource fork of file App.\n";
    const std::vector<Case> cases = {
        {"a document", Patched(good, 50, 4, 0x54455854), ""},
        {"no companion", "", ""},
        {"plst with another ID only", Companion("plain", Type("plst", 1, kPlist)), noPlst},
        {"no fork entry", Companion("nofork", ""), noPlst},
        {"NSUIElement already there", Companion("macos", Type("plst", 0, kAgentFalse)), ""},
        {"unparseable plst", Companion("plain", Type("plst", 0, "<plist><dict>")), ""},
        {"array root", Companion("plain", Type("plst", 0, "<plist><array/></plist>")), ""},
        // Which faults the fork's readers find is their own tests' concern; the route says one message.
        {"fork past the end", Patched(good, 46, 4, forkLength + 1), openFailed},
        {"type listed twice", Patched(good, map + 38, 4, Get32(good, map + 30)), openFailed},
        // Without a readable Finder info there is no type, so the route ends silently; so it does
        // when the companion is a folder or a link, which is never followed.
        {"no Finder info entry", Patched(good, 26, 4, 10), ""},
        {"a folder in its place", "", "", [](const TempFolder& t) { fs::create_directory(t / "._App"); }},
        {"a link in place of the companion", good, "",
         [](const TempFolder& t) {
             fs::rename(t / "._App", t / "real");
             fs::create_symlink("real", t / "._App");
         }},
        {"commit fails", good, writeFailed, nullptr, false, [](auto&) { return false; }},
        {"replaced by another program meanwhile", good, writeFailed, nullptr, false, replace},
        {"larger than 64 MiB", "", openFailed,
         [&](const TempFolder& t) {
             WriteBytes(t / "._App", good);
             EXPECT_EQ(::truncate((t / "._App").c_str(), (64 << 20) + 1), 0);
         }},
        {"companion not writable", good, openFailed, owned("."), true},
        {"folder not writable", good, openFailed, owned("._App"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        WriteBytes(folder / "App", "data fork");
        if (!c.companion.empty()) WriteBytes(folder / "._App", c.companion);
        if (c.prepare) c.prepare(folder);
        const auto listing = Listing(folder.Path());
        std::optional<Installed<FileFaultHook>> hook;
        if (c.atRename)
            hook.emplace(SetFileFaultHook, [&](FileStep step) {
                return step != FileStep::Rename || c.atRename(folder.Path());
            });
        EXPECT_EQ(c.asNobody ? RunAsNobody([&] { return RunRoute(folder / "App"); })
                             : RunRoute(folder / "App"),
                  c.expected);
        EXPECT_EQ(ReadBytes(folder / "App"), "data fork");
        EXPECT_EQ(Listing(folder.Path()), listing);
        if (!c.companion.empty()) {
            EXPECT_TRUE(ReadBytes(folder / "._App") == c.companion);
        }
    }
}

namespace {

std::string FinderInfo(const std::string& type)
{
    return type.empty() ? std::string(32, '\0') : type + "ttxt" + std::string(24, '\0');
}

// An AppleDouble header of `size` bytes, its table given as ID, offset, length, ...; zeros after it.
std::string Header(const std::string& filler, const std::vector<std::uint32_t>& table, std::size_t size)
{
    std::string out =
        std::string("\0\x05\x16\x07\0\x02\0\0", 8) + filler + Be(std::uint32_t(table.size() / 3), 2);
    for (std::uint32_t field : table) out += Be(field, 4);
    out.resize(size, '\0');
    return out;
}

// The stores as their writers lay them out (see the format sheet's tables): the AfpInfo stream
// with streams_xattr's marker, netatalk's metadata attribute, the ._NAME Samba makes (fork entry
// first, Finder info zero) or netatalk 3 (Finder info first), netatalk 2's .AppleDouble/NAME.
constexpr std::uint32_t kDev = 0x80444556, kIno = 0x80494E4F, kSyn = 0x8053594E, kId = 0x8053567E;
std::string AfpInfoStream(const std::string& type)
{
    return std::string("AFP\0\0\0\1\0\0\0\0\0\x80\0\0\0", 16) + FinderInfo(type) + std::string(13, '\0');
}
std::string NetatalkMetadata(const std::string& type)
{
    return Header(std::string(16, '\0'), {4,    154, 0, 8,    354, 16, 9,    122, 32, 14,  370, 4,
                                          kDev, 374, 0, kIno, 382, 0,  kSyn, 390, 0,  kId, 398, 0},
                  402)
        .replace(122, 32, FinderInfo(type));
}
std::string ServerCompanion(const std::string& fork, const std::string& type = "", bool samba = true)
{
    const std::uint32_t length = std::uint32_t(fork.size());
    return Header("Netatalk        ",
                  samba ? std::vector<std::uint32_t>{2, 82, length, 9, 50, 32}
                        : std::vector<std::uint32_t>{9, 50, 32, 2, 82, length},
                  82)
               .replace(50, 32, FinderInfo(type)) +
           fork;
}
std::string Netatalk2(const std::string& fork, const std::string& type)
{
    const std::string header =
        Header(std::string(16, '\0'),
               {2, 741, 0,   3, 182, 3,   4, 437,  0,   8, 637,  16,  9, 653,  32,  11, 705, 8,   13, 693,
                0, 14,  689, 4, 15,  685, 4, kDev, 713, 8, kIno, 721, 8, kSyn, 729, 8,  kId, 737, 4},
               741);
    return Patched(header, 34, 4, std::uint32_t(fork.size()))
               .replace(182, 3, "App")
               .replace(653, 32, FinderInfo(type)) +
           fork;
}

// A store's name: a path below the test's folder, or "@" and the name of the application's attribute.
const std::string kAfp = "@" + std::string("user.DosStream.AFP_AfpInfo:$DATA"),
                  kMeta = "@user.org.netatalk.Metadata", kRsrc = "@user.DosStream.AFP_Resource:$DATA";
std::string Ext(int k)
{
    return "@user.DosStreamExt." + std::to_string(k) + ".AFP_Resource:$DATA";
}

// Every file below the folder and every attribute of the application, by store name.
std::map<std::string, std::string> Stores(const fs::path& folder, const fs::path& app)
{
    std::map<std::string, std::string> stores = Tree(folder);
    std::string names(65536, '\0');
    const ssize_t length = ::llistxattr(app.c_str(), names.data(), names.size());
    for (std::size_t at = 0; length > 0 && at < std::size_t(length); at = names.find('\0', at) + 1) {
        const std::string name = names.c_str() + at;
        std::string value(65536, '\0');
        const ssize_t got = ::lgetxattr(app.c_str(), name.c_str(), value.data(), value.size());
        stores["@" + name] = value.substr(0, std::size_t(std::max<ssize_t>(got, 0)));
    }
    return stores;
}

// The fork a store holds, and the rest of its bytes with the fork's length left out.
std::pair<std::string, std::string> Split(const std::string& name,
                                          const std::map<std::string, std::string>& stores)
{
    const std::string& bytes = stores.at(name);
    if (name == kRsrc) {
        std::string fork = bytes.substr(0, bytes.size() - 1), frame = bytes.substr(bytes.size() - 1);
        for (int k = 1; k <= int(static_cast<unsigned char>(bytes.back())); ++k) fork += stores.at(Ext(k));
        return {fork, frame + (frame[0] ? " fragment " + std::to_string(bytes.size()) : "")};
    }
    if (name.ends_with(".rsrc/App"))
        return {bytes.substr(bytes.find(' ') + 1), bytes.substr(0, bytes.find(' '))};
    const std::string file = bytes.substr(bytes.find(' ') + 1);
    auto companion = macfork::ReadAppleDouble(file);
    if (!companion) return {"", "unreadable"};
    for (std::size_t i = 0; i < companion->entries.size(); ++i) {
        const auto& entry = companion->entries[i];
        if (entry.id == macfork::kResourceForkEntry)
            return {entry.bytes,
                    Patched(file.substr(0, *entry.offset), 26 + 12 * i + 8, 4, 0) +
                        (*entry.offset + entry.bytes.size() == file.size() ? "" : "fork not last")};
    }
    return {"", "no fork"};
}

}  // namespace

TEST(ProcessRes, FindsTypeAndForkInEveryStoreAndWritesOnlyTheForksOwn)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const std::string fork = ForkOf(kAppFork), mac = Companion("macos", kAppFork);
    const std::string macDocument = Patched(mac, 50, 4, 0x54455854);
    // A fork of 1,000 bytes and more, in fragments of F: the anchor F - 1 bytes and the count, then
    // two extents, the second with room for the patched plst.
    const std::string big = ForkOf(kAppFork + ", " + Type("DATA", 128, std::string(1000, 'd')));
    const std::size_t f = (big.size() + 1) / 2 - 1;
    const std::string anchor = big.substr(0, f - 1) + '\2', ext1 = big.substr(f - 1, f),
                      ext2 = big.substr(2 * f - 1);
    const std::size_t f1 = big.size() / 2 + 2;  // one extent, nearly full
    const std::string full = big.substr(0, f1 - 1) + '\1', rest = big.substr(f1 - 1);
    const std::string bigger = ForkOf(kAppFork + ", " + Type("DATA", 128, std::string(3400, 'd')));
    const std::string damaged = Patched(fork, 4, 4, 0xFFFF);  // its map past the end
    const std::string afp = AfpInfoStream("APPL"), meta = NetatalkMetadata("APPL"),
                      server = ServerCompanion(fork), finf = FinderInfo("APPL");

    const std::string openFailed = "Failed to open resource fork of file App.\n",
                      writeFailed = "Failed to write resource fork of file App.\n",
                      noPlst = "No plst resource in file App.\n";
    const auto openToAll = [](const fs::path& f) {
        fs::permissions(f / ".finf", fs::perms::all);
        fs::permissions(f / ".rsrc", fs::perms::all);
    };
    const auto linked = [](const fs::path& f) {
        fs::create_directory(f / ".rsrc");
        fs::create_symlink("../elsewhere", f / ".rsrc/App");
    };
    struct Case {
        std::string name;
        std::map<std::string, std::string> stores;
        std::string written;  // the store that gets the new fork; "" for none
        std::string expected = "";
        std::function<void(const fs::path& folder)> prepare = nullptr;
        int cause = 0;  // the errno the message comes with, where it matters
    };
    const std::vector<Case> cases = {
        {"Samba's defaults", {{kMeta, meta}, {"._App", server}}, "._App"},
        {"Samba's stream mode", {{kAfp, afp}, {kRsrc, fork + '\0'}}, kRsrc},
        {"stream metadata, fork in ._App", {{kAfp, afp}, {"._App", server}}, "._App"},
        {"netatalk 3", {{kMeta, meta}, {"._App", ServerCompanion(fork, "TEXT", false)}}, "._App"},
        {"netatalk 2", {{".AppleDouble/App", Netatalk2(fork, "APPL")}}, ".AppleDouble/App"},
        {"emulator", {{".finf/App", finf}, {".rsrc/App", fork}}, ".rsrc/App"},
        {"emulator, FInfo alone", {{".finf/App", finf.substr(0, 16)}, {".rsrc/App", fork}}, ".rsrc/App"},
        {"type in .finf, fork in ._App", {{".finf/App", finf}, {"._App", server}}, "._App"},
        {"type under __MACOSX, fork in a stream", {{"__MACOSX/Foo/._App", mac}, {kRsrc, fork + '\0'}}, kRsrc},
        {"type in a stream, fork in .rsrc", {{kAfp, afp}, {".rsrc/App", fork}}, ".rsrc/App"},
        {"the fork in fragments", {{kAfp, afp}, {kRsrc, anchor}, {Ext(1), ext1}, {Ext(2), ext2}}, kRsrc},
        // Stale stores stay as they are.
        {"a Mac's old ._App beside a stream",
         {{kAfp, afp}, {kRsrc, fork + '\0'}, {"._App", macDocument}},
         kRsrc},
        {"netatalk 2's .AppleDouble beside netatalk 3's",
         {{kMeta, meta}, {"._App", server}, {".AppleDouble/App", Netatalk2(fork, "TEXT")}},
         "._App"},
        {"a stale metadata attribute beside the stream",
         {{kMeta, NetatalkMetadata("TEXT")}, {kAfp, afp}, {"._App", mac}},
         "._App"},
        {"the stream names a document", {{kAfp, AfpInfoStream("TEXT")}, {kMeta, meta}, {"._App", mac}}, ""},
        // A store holding zeros or an empty fork hides none after it.
        {"zero Finder info and an empty stream passed over",
         {{kAfp, AfpInfoStream("")},
          {kMeta, NetatalkMetadata("")},
          {kRsrc, std::string(1, '\0')},
          {"._App", ServerCompanion("")},
          {".AppleDouble/App", Netatalk2(fork, "APPL")}},
         ".AppleDouble/App"},
        // Stores that lie.
        {"an AfpInfo cut short", {{kAfp, afp.substr(0, 40)}, {"._App", mac}}, "", openFailed},
        {"a metadata attribute of another size", {{kMeta, meta + "x"}, {"._App", mac}}, "", openFailed},
        {"a .finf of the wrong length", {{".finf/App", finf + "x"}, {".rsrc/App", fork}}, "", openFailed},
        {"a stream whose map is damaged",
         {{kAfp, afp}, {kRsrc, damaged + '\0'}, {"._App", mac}},
         "",
         openFailed},
        {"an extent missing", {{kAfp, afp}, {kRsrc, anchor}, {Ext(1), ext1}}, "", openFailed},
        {"a .rsrc whose map is damaged", {{".finf/App", finf}, {".rsrc/App", damaged}}, "", openFailed},
        // Where the new fork does not fit, nothing changes.
        {"one extent more needed",
         {{kAfp, afp}, {kRsrc, full}, {Ext(1), rest}},
         "",
         writeFailed,
         nullptr,
         E2BIG},
        {"past the attributes' room",
         {{kAfp, afp}, {kRsrc, bigger + '\0'}},
         "",
         writeFailed,
         nullptr,
         ENOSPC},
        // The same trust as for __MACOSX: helper folders anyone may write in, or links, are not read.
        {"helper folders writable by all", {{".finf/App", finf}, {".rsrc/App", fork}}, "", "", openToAll},
        {"a link in place of .rsrc/App", {{kAfp, afp}, {"elsewhere", fork}}, "", noPlst, linked},
    };
    std::size_t skipped = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder root;
        const fs::path folder = root / "Foo", app = folder / "App";
        WriteBytes(app, "data fork");
        for (const auto& [name, bytes] : c.stores) {
            if (name.starts_with("@")) {
                ASSERT_EQ(::lsetxattr(app.c_str(), name.c_str() + 1, bytes.data(), bytes.size(), 0), 0)
                    << name;
            } else {
                WriteBytes(name.starts_with("__MACOSX") ? root / name : folder / name, bytes);
            }
        }
        if (c.prepare) c.prepare(folder);
        // Only a file system that limits attributes as ext4 does refuses the larger stream.
        if (c.name.starts_with("past the attributes") &&
            ::lsetxattr(app.c_str(), "user.probe", bigger.data(), bigger.size() + 300, 0) == 0) {
            ++skipped;
            continue;
        }
        const auto before = Stores(root.Path(), app);

        if (c.cause) {
            // The route and the commit as Process takes them, for the cause the message comes with.
            RouteOutcome outcome = Patcher().Route(std::make_shared<FolderItem>(app));
            std::size_t failed = 0;
            if (outcome.kind == RouteOutcome::Kind::Edited) {
                const FileError error = CommitRewrites(outcome.TakeRewrites(), failed);
                outcome = Committed(std::move(outcome), error, failed);
            }
            EXPECT_EQ(outcome.message + "\n", c.expected);
            EXPECT_EQ(outcome.cause.code, c.cause);
        } else {
            EXPECT_EQ(RunRoute(app), c.expected);
        }
        const auto after = Stores(root.Path(), app);
        EXPECT_EQ(ReadBytes(app), "data fork");
        auto key = [&](const std::string& name) {
            return name.starts_with("@") ? name : name.starts_with("__") ? name : "Foo/" + name;
        };
        const std::string written = c.written.empty() ? "" : key(c.written);
        for (const auto& [name, bytes] : before) {
            if (name == written || (written == kRsrc && name.starts_with("@user.DosStreamExt."))) continue;
            EXPECT_TRUE(after.count(name) && after.at(name) == bytes) << name << " changed";
        }
        if (written.empty()) {
            EXPECT_EQ(after.size(), before.size());
            continue;
        }
        // The store's own bytes as they were; every resource but plst 0 too, plst 0 as CoreFoundation writes
        // it.
        const auto [oldFork, oldFrame] = Split(written, before);
        const auto [newFork, newFrame] = Split(written, after);
        EXPECT_EQ(newFrame, oldFrame);
        auto oldMap = macfork::ReadResourceMap(oldFork), newMap = macfork::ReadResourceMap(newFork);
        ASSERT_TRUE(oldMap && newMap);
        EXPECT_EQ(Without(Contents(*newMap), {"plst 0 "}), Without(Contents(*oldMap), {"plst 0 "}));
        EXPECT_NE(Contents(*newMap).find("plst 0 0 - 0 " + Hex(kPatched) + "\n"), std::string::npos);
        EXPECT_EQ(after.size(), before.size());
    }
    if (skipped) GTEST_SKIP() << skipped << " case(s) skipped: this file system takes large attributes";
}

namespace {

// A program's run with `input` as its standard input (a file, never a pipe at its end).
Finished RunWithInput(const std::vector<std::string>& args, const std::string& input)
{
    return Child([&] {
               const int fd = ::memfd_create("in", 0);
               if (fd < 0 || ::write(fd, input.data(), input.size()) != ssize_t(input.size()) ||
                   ::lseek(fd, 0, SEEK_SET) != 0 || ::dup2(fd, 0) != 0)
                   return 125;
               return Exec(args);
           })
        .Wait();
}

// Port 0 binds a free port and answers it; another answers whether a server listens there.
int Loopback(int port)
{
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* any = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    if (port) return socket && ::connect(socket.Get(), any, length) == 0;
    if (!socket || ::bind(socket.Get(), any, length) != 0 || ::getsockname(socket.Get(), any, &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

}  // namespace

// A Mac's write through a real Samba share, in both of fruit's layouts; the patched fork read back
// through the share.
TEST(ProcessRes, PatchesWhatAMacPutOnASambaShare)
{
    ASSERT_EQ(BindZorpPlugin(), "");
    const std::string smbd = "/usr/sbin/smbd", client = "/usr/bin/smbclient", passwd = "/usr/bin/smbpasswd";
    const std::vector<std::string> configurations = {"fruit:metadata = netatalk\n  fruit:resource = file\n",
                                                     "fruit:metadata = stream\n  fruit:resource = stream\n"};
    if (!fs::exists(smbd) || !fs::exists(client) || !fs::exists(passwd) || ::geteuid() != 0)
        GTEST_SKIP() << configurations.size() << " Samba case(s) skipped: smbd, smbclient or root missing";
    const std::string fork = ForkOf(kAppFork);
    for (const std::string& fruit : configurations) {
        SCOPED_TRACE(fruit);
        TempFolder t;
        const int port = Loopback(0);
        ASSERT_NE(port, 0);
        std::string conf =
            "[global]\n  smb ports = " + std::to_string(port) +
            "\n  interfaces = 127.0.0.1\n  bind interfaces only = yes\n"
            "  server role = standalone server\n  load printers = no\n  disable spoolss = yes\n"
            "  printcap name = /dev/null\n  log file = " +
            (t / "log").string() + "\n  passdb backend = tdbsam:" + (t / "passdb.tdb").string() + "\n";
        for (const char* dir : {"private dir", "lock directory", "state directory", "cache directory",
                                "pid directory", "ncalrpc dir", "binddns dir"}) {
            const fs::path made = t / std::string(dir).substr(0, std::string(dir).find(' '));
            fs::create_directories(made);
            conf += "  " + std::string(dir) + " = " + made.string() + "\n";
        }
        conf += "[share]\n  path = " + (t / "share").string() +
                "\n  read only = no\n  vfs objects = catia fruit streams_xattr\n  " + fruit;
        fs::create_directories(t / "share");
        WriteBytes(t / "smb.conf", conf);
        const std::string confPath = (t / "smb.conf").string();
        ASSERT_EQ(RunWithInput({passwd, "-c", confPath, "-a", "-s", "root"}, "pw\npw\n").status, 0);

        // Its standard input stays open: in the foreground smbd ends at the end of a piped one.
        // In a process group of its own, which it ends with itself and its helpers.
        Child server([&] {
            if (::setpgid(0, 0) != 0) return 125;
            const int null = ::open("/dev/null", O_RDONLY);
            if (null < 0 || ::dup2(null, 0) != 0) return 125;
            return Exec({smbd, "--foreground", "--no-process-group", "-s", confPath});
        });
        struct Stop {
            Child& server;
            ~Stop()
            {
                ::kill(-server.Pid(), SIGTERM);
                (void)server.Wait(std::chrono::seconds(30));
            }
        } stop{server};
        for (int tries = 0; tries < 1000 && !Loopback(port); ++tries) ::usleep(10000);
        ASSERT_TRUE(Loopback(port)) << ReadBytes(t / "log");
        auto run = [&](const std::string& commands) {
            const Finished end = RunProgram({client, "-s", confPath, "-p", std::to_string(port), "-U",
                                             "root%pw", "//127.0.0.1/share", "-c", commands});
            EXPECT_EQ(end.status, 0) << end.out << end.err;
        };
        WriteBytes(t / "App", "data fork");
        WriteBytes(t / "App.rsrc", fork);
        WriteBytes(t / "App.afp", AfpInfoStream("APPL").substr(0, 60));
        run("put " + (t / "App").string() + " App; put " + (t / "App.rsrc").string() +
            " App:AFP_Resource; put " + (t / "App.afp").string() + " App:AFP_AfpInfo");

        // Where the server put them: the fork in ._App or in a stream.
        EXPECT_EQ(fs::exists(t / "share/._App"), fruit.ends_with("file\n"));
        EXPECT_EQ(RunRoute(t / "share/App"), "");
        run("get App:AFP_Resource " + (t / "back.rsrc").string() + "; get App:AFP_AfpInfo " +
            (t / "back.afp").string() + "; get App " + (t / "back").string());

        auto before = macfork::ReadResourceMap(fork),
             after = macfork::ReadResourceMap(ReadBytes(t / "back.rsrc"));
        ASSERT_TRUE(before && after);
        EXPECT_EQ(Without(Contents(*after), {"plst 0 "}), Without(Contents(*before), {"plst 0 "}));
        EXPECT_NE(Contents(*after).find("plst 0 0 - 0 " + Hex(kPatched) + "\n"), std::string::npos);
        EXPECT_EQ(ReadBytes(t / "back.afp").substr(16, 4), "APPL");
        EXPECT_EQ(ReadBytes(t / "back"), "data fork");
    }
}
