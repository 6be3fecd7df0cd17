// The built veilor-patch, run as a process with no display, on real temporary applications.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

const std::string kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

const std::string kDemoXml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                             "<key>CFBundleName</key><string>Demo</string></dict></plist>";

const std::string kDemoPatched = kHeader +
                                 "<dict>\n"
                                 "\t<key>CFBundleName</key>\n"
                                 "\t<string>Demo</string>\n"
                                 "\t<key>NSUIElement</key>\n"
                                 "\t<string>true</string>\n"
                                 "</dict>\n"
                                 "</plist>\n";

// {"CFBundleName": "Demo"} in the binary form, packed by hand.
const std::string kDemoBinary = std::string("bplist00") + "\xD1\x01\x02" + "\x5C" "CFBundleName" +
                                "\x54" "Demo" + "\x08\x0B\x18" + std::string(6, '\0') + "\x01\x01" +
                                std::string(7, '\0') + "\x03" + std::string(8, '\0') +
                                std::string(7, '\0') + "\x1D";

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void Put16(std::string& out, std::uint16_t v)
{
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xFF);
}

void Put32(std::string& out, std::uint32_t v)
{
    Put16(out, static_cast<std::uint16_t>(v >> 16));
    Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
}

// A resource fork holding one resource, packed by the format's own rules.
std::string ForkWith(const std::string& type, std::int16_t id, const std::string& data)
{
    std::string body;
    Put32(body, static_cast<std::uint32_t>(data.size()));
    body += data;
    std::string header;
    Put32(header, 256);
    Put32(header, static_cast<std::uint32_t>(256 + body.size()));
    Put32(header, static_cast<std::uint32_t>(body.size()));
    Put32(header, 50);
    std::string map = header + std::string(4 + 2 + 2, '\0');
    Put16(map, 28);  // type list
    Put16(map, 50);  // name list
    Put16(map, 0);   // one type
    map += type;
    Put16(map, 0);   // one resource
    Put16(map, 10);
    Put16(map, static_cast<std::uint16_t>(id));
    Put16(map, 0xFFFF);
    Put32(map, 0);  // attributes and data offset
    Put32(map, 0);
    return header + std::string(240, '\0') + body + map;
}

// An AppleDouble companion with Finder info (type, creator) and a resource fork.
std::string Companion(const std::string& type, const std::string& fork)
{
    std::string out;
    Put32(out, 0x00051607);
    Put32(out, 0x00020000);
    out += std::string(16, '\0');
    Put16(out, 2);
    Put32(out, 9);
    Put32(out, 50);
    Put32(out, 32);
    Put32(out, 2);
    Put32(out, 82);
    Put32(out, static_cast<std::uint32_t>(fork.size()));
    out += type + "????" + std::string(24, '\0');
    return out + fork;
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class VeilorPatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "veilor-patch-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        mDir = pattern;
        fs::permissions(mDir, fs::perms::all);  // reachable by the unprivileged runs
    }
    void TearDown() override { fs::remove_all(mDir); }

    fs::path Bundle(const std::string& name, const std::string& info)
    {
        fs::path bundle = mDir / name;
        fs::create_directories(bundle / "Contents");
        WriteFile(bundle / "Contents" / "Info.plist", info);
        return bundle;
    }

    fs::path SingleFile(const std::string& name, const std::string& type, const std::string& fork)
    {
        fs::path file = mDir / name;
        WriteFile(file, "data fork");
        WriteFile(mDir / ("._" + name), Companion(type, fork));
        return file;
    }

    Result Run(const std::vector<std::string>& args, uid_t user = 0)
    {
        fs::path out = mDir / ".stdout", err = mDir / ".stderr";
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            dup2(o, 1);
            dup2(e, 2);
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
            if (chdir(mDir.c_str()) != 0) _exit(124);
            if (user != 0 && (setgroups(0, nullptr) != 0 || setresgid(user, user, user) != 0 ||
                              setresuid(user, user, user) != 0))
                _exit(125);
            std::vector<char*> argv{const_cast<char*>(VEILOR_PATCH_BIN)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(VEILOR_PATCH_BIN, argv.data());
            _exit(126);
        }
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        Result r;
        r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        fs::remove(out);
        fs::remove(err);
        return r;
    }

    fs::path mDir;
};

TEST_F(VeilorPatchTest, BundlesOfEveryInputFormAreWrittenBackWithTheEntry)
{
    const std::string keptOne = kHeader +
                                "<dict>\n"
                                "\t<key>NSUIElement</key>\n"
                                "\t<string>1</string>\n"
                                "</dict>\n"
                                "</plist>\n";
    const struct {
        const char* name;
        std::string info;
        std::string expected;
    } cases[] = {
        {"Xml.app", kDemoXml, kDemoPatched},
        {"Binary.app", kDemoBinary, kDemoPatched},
        {"OldText.app", "{ CFBundleName = Demo; }", kDemoPatched},
        {"Crlf.app", "<plist>\r\n<dict>\r\n<key>CFBundleName</key>\r\n<string>Demo</string>\r\n</dict>\r\n</plist>\r\n",
         kDemoPatched},
        {"Patched.app", kDemoPatched, kDemoPatched},
        {"OwnValue.app", "<plist><dict><key>NSUIElement</key><string>1</string></dict></plist>", keptOne},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path bundle = Bundle(c.name, c.info);
        Result r = Run({bundle.string()});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(ReadFile(bundle / "Contents" / "Info.plist"), c.expected);
    }
}

TEST_F(VeilorPatchTest, FailuresAreReportedPerPathAndTheRestStillProcessed)
{
    fs::path empty = Bundle("Empty.app", "");
    fs::path broken = Bundle("Broken.app", "<plist><dict><key>a</key></plist>");
    fs::path array = Bundle("Array.app", "<plist><array/></plist>");
    fs::path good = Bundle("Good.app", kDemoXml);
    fs::path noPlst = SingleFile("NoPlst", "APPL", ForkWith("STR ", 0, "x"));
    fs::path badFork = mDir / "BadFork";
    WriteFile(badFork, "");
    WriteFile(mDir / "._BadFork", Companion("APPL", "not a resource fork"));

    Result r = Run({empty.string(), broken.string(), array.string(), good.string(), noPlst.string(),
                    badFork.string(), (mDir / "Missing.app").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, empty.string() + ": No plst resource in file Empty.app.\n" + noPlst.string() +
                         ": No plst resource in file NoPlst.\n" + badFork.string() +
                         ": Failed to open resource fork of file BadFork.\n" +
                         (mDir / "Missing.app").string() + ": No such file or folder.\n");
    EXPECT_EQ(ReadFile(good / "Contents" / "Info.plist"), kDemoPatched);
    EXPECT_EQ(ReadFile(empty / "Contents" / "Info.plist"), "");
    EXPECT_EQ(ReadFile(broken / "Contents" / "Info.plist"), "<plist><dict><key>a</key></plist>");
    EXPECT_EQ(ReadFile(array / "Contents" / "Info.plist"), "<plist><array/></plist>");
}

TEST_F(VeilorPatchTest, ReadOnlyInfoPlistIsReportedAndLeftAlone)
{
    fs::path bundle = Bundle("Locked.app", kDemoXml);
    fs::permissions(bundle / "Contents" / "Info.plist", fs::perms::owner_read | fs::perms::group_read |
                                                            fs::perms::others_read);
    fs::permissions(bundle, fs::perms::all);
    fs::permissions(bundle / "Contents", fs::perms::all);

    Result r = Run({bundle.string()}, kNobody);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, bundle.string() + ": Failed to open info.plist file.\n");
    EXPECT_EQ(ReadFile(bundle / "Contents" / "Info.plist"), kDemoXml);
}

TEST_F(VeilorPatchTest, SingleFileApplicationGainsTheEntryInItsPlstResource)
{
    fs::path app = SingleFile("Classic", "APPL", ForkWith("plst", 0, kDemoXml));
    fs::path document = SingleFile("Notes", "TEXT", ForkWith("plst", 0, kDemoXml));
    std::string documentCompanion = ReadFile(mDir / "._Notes");

    Result r = Run({app.string(), document.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(ReadFile(mDir / "._Classic").find(kDemoPatched), std::string::npos);
    EXPECT_EQ(ReadFile(mDir / "._Notes"), documentCompanion);
    EXPECT_EQ(ReadFile(app), "data fork");
}

TEST_F(VeilorPatchTest, CheckReportsTheEntryBeforeAndAfter)
{
    fs::path plain = Bundle("Plain.app", kDemoXml);
    fs::path flagged = Bundle("Flagged.app", "<plist><dict><key>NSUIElement</key><true/></dict></plist>");
    fs::path classic = SingleFile("Classic", "APPL", ForkWith("plst", 0, kDemoXml));
    std::string plainBytes = ReadFile(plain / "Contents" / "Info.plist");

    Result before = Run({"--check", plain.string(), flagged.string(), classic.string()});
    EXPECT_EQ(before.status, 1);
    EXPECT_EQ(before.out, plain.string() + ": no NSUIElement\n" + flagged.string() +
                              ": NSUIElement = true\n" + classic.string() + ": no NSUIElement\n");
    EXPECT_EQ(ReadFile(plain / "Contents" / "Info.plist"), plainBytes);

    ASSERT_EQ(Run({plain.string(), classic.string()}).status, 0);
    Result after = Run({"--check", plain.string(), flagged.string(), classic.string()});
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.out, plain.string() + ": NSUIElement = \"true\"\n" + flagged.string() +
                             ": NSUIElement = true\n" + classic.string() + ": NSUIElement = \"true\"\n");
}

TEST_F(VeilorPatchTest, CheckNeedsOnlyReadAccess)
{
    fs::path shelf = mDir / "ReadOnlyShelf";
    fs::create_directories(shelf);
    WriteFile(shelf / "Classic", "data fork");
    WriteFile(shelf / "._Classic", Companion("APPL", ForkWith("plst", 0, kDemoXml)));
    fs::permissions(shelf, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);

    Result r = Run({"--check", (shelf / "Classic").string()}, kNobody);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, (shelf / "Classic").string() + ": no NSUIElement\n");

    Result patch = Run({(shelf / "Classic").string()}, kNobody);
    EXPECT_EQ(patch.status, 1);
    EXPECT_EQ(patch.err, (shelf / "Classic").string() + ": Failed to open resource fork of file Classic.\n");
}

TEST_F(VeilorPatchTest, SignedBundleIsPatchedWithAWarning)
{
    fs::path bundle = Bundle("Signed.app", kDemoXml);
    fs::create_directories(bundle / "Contents" / "_CodeSignature");

    Result r = Run({bundle.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(bundle / "Contents" / "Info.plist"), kDemoPatched);
    EXPECT_NE(r.err.find(bundle.string() + ": warning: the bundle's code signature no longer matches"),
              std::string::npos);
    EXPECT_NE(r.err.find("codesign --force --deep --sign - " + bundle.string()), std::string::npos);

    Result again = Run({bundle.string()});  // nothing changes the second time: no warning
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "");
}

TEST_F(VeilorPatchTest, UsageErrorsAndInformation)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char* err;
    } cases[] = {
        {{}, 2, "veilor-patch: no path given\nUsage: veilor-patch [--check] PATH...\n"},
        {{"--bogus", "x"}, 2, "veilor-patch: unknown option '--bogus'\nUsage: veilor-patch [--check] PATH...\n"},
        {{"--check"}, 2, "veilor-patch: no path given\nUsage: veilor-patch [--check] PATH...\n"},
        {{"--version"}, 0, ""},
        {{"--help"}, 0, ""},
    };
    for (const auto& c : cases) {
        Result r = Run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_NE(Run({"--help"}).out.find("Usage: veilor-patch [--check] PATH..."), std::string::npos);
    EXPECT_EQ(Run({"--version"}).out.rfind("veilor-patch ", 0), 0u);

    // After "--", an argument that looks like an option is a path.
    fs::path dashed = Bundle("--check", kDemoXml);
    Result r = Run({"--", "--check"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(dashed / "Contents" / "Info.plist"), kDemoPatched);
}

}  // namespace
