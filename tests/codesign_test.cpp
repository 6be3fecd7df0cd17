// SPDX-License-Identifier: MIT
// Whole bundles signed ad hoc from scratch (veilor-patch --sign's route): crafted bundles made by
// clang and ld64.lld in the test, judged afterwards by our verifier deep, signed again, and killed
// at each rename of the commit then signed again.

#include "file_fixtures.h"
#include "linked_code.h"
#include "macho_craft.h"

#include "patcher/patcher.h"
#include "patcher/write_batch.h"
#include "platform/codesign/resource_seal.h"
#include "platform/codesign/seal_builder.h"
#include "platform/codesign/sign_bundle.h"
#include "platform/framework/zorp_plugin.h"
#include "platform/macho/macho.h"
#include "platform/macho/verify.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

using namespace fixtures;
using linked::List;

namespace {

// An application with a bit of everything --deep reaches: a framework holding a versioned library,
// a loose library, a helper application, a login item, resources with .lproj folders and links.
void Application(const fs::path& app, const std::string& main, const std::string& library,
                 const std::string& helper)
{
    const fs::path contents = app / "Contents";
    WriteBytes(contents / "Info.plist", List("App", "org.example.app"));
    WriteBytes(contents / "MacOS/App", main, 0755);
    WriteBytes(contents / "PkgInfo", "APPL????");
    const fs::path framework = contents / "Frameworks/Kit.framework";
    WriteBytes(framework / "Versions/A/Kit", library, 0755);
    WriteBytes(framework / "Versions/A/Resources/Info.plist", List("Kit", "org.example.kit"));
    fs::create_symlink("A", framework / "Versions/Current");
    fs::create_symlink("Versions/Current/Kit", framework / "Kit");
    fs::create_symlink("Versions/Current/Resources", framework / "Resources");
    WriteBytes(contents / "Frameworks/libloose.1.2.dylib", library, 0755);
    for (const auto& [place, name] : {std::pair{"Helpers", "Helper"}, {"Library/LoginItems", "Login"}}) {
        const fs::path nested = contents / place / (std::string(name) + ".app") / "Contents";
        WriteBytes(nested / "Info.plist", List(name, std::string("org.example.") + name));
        WriteBytes(nested / "MacOS" / name, helper, 0755);
    }
    WriteBytes(contents / "Resources/en.lproj/InfoPlist.strings", "\"CFBundleName\" = \"App\";\n");
    WriteBytes(contents / "Resources/Base.lproj/Main.nib", "nib");
    WriteBytes(contents / "Resources/icon.icns", "icns");
    fs::create_symlink("icon.icns", contents / "Resources/alias.icns");
}

// Our verifier over every seal and every piece of code below the bundle: "" when all hold, else
// the first that does not and why.
std::string DeepFault(const fs::path& app)
{
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(app)) {
        if (entry.is_symlink() || !entry.is_regular_file()) continue;
        const fs::path path = entry.path();
        const std::string bytes = ReadBytes(path);
        if (!macho::ReadMachO(bytes)) continue;
        // The main executable of the sealed root above it, if it is one.
        fs::path root = path.parent_path();
        if (root.filename() == "MacOS") root = root.parent_path();
        const bool hasList = fs::exists(root / "Info.plist");
        const fs::path list = hasList ? root / "Info.plist" : root / "Resources/Info.plist";
        const std::string seal = ReadBytes(root / "_CodeSignature/CodeResources");
        const bool main =
            fs::exists(root / "_CodeSignature/CodeResources") &&
            ReadBytes(list).find("<string>" + path.filename().string() + "</string>") != std::string::npos;
        macho::BundleFiles files{bytes, std::nullopt, std::nullopt};
        std::string info;
        if (main) {
            info = ReadBytes(list);
            files.infoPlist = info;
            files.codeResources = seal;
            const SealCheck check = CheckSeal(OpenFolder::At(root), seal, path.filename().string(), !hasList);
            if (check.status != SealCheck::Status::Holds) return root.string() + ": seal does not hold";
        }
        const macho::Result<macho::Verdict> verdict = macho::Verify(files);
        const std::string said = verdict ? macho::Describe(*verdict) : "unreadable";
        if (said != (main ? "signature valid (ad hoc)" : "signature does not bind Info.plist (ad hoc)"))
            return path.string() + ": " + said;
    }
    return {};
}

// veilor-patch's road for one bundle (with --sign unless not `fromScratch`): the route, then the
// commit group. What it told: a refusal, a failure, or the notes of a signing.
std::string Sign(const fs::path& app, bool fromScratch = true, bool resign = true)
{
    if (!BindZorpPlugin().empty()) return "no plug-in";
    Patcher patcher;
    patcher.ReplaceDeveloperSignatures(resign);
    patcher.SignFromScratch(fromScratch);
    std::string told;
    {
        WriteBatch batch([&](std::size_t, const RouteOutcome& outcome) {
            if (outcome.kind == RouteOutcome::Kind::Refused || outcome.kind == RouteOutcome::Kind::Failed ||
                outcome.signature == RouteOutcome::Signature::Signed)
                told = outcome.message;
        });
        auto item = std::make_shared<FolderItem>(app);
        batch.Add(0, item, patcher.Route(item));
    }
    return told;
}

// Application() from linked code, universal as Apple's linker leaves it (the arm64 slice signed by the
// linker, x86_64 not), its helpers of `helperArch`.
fs::path LinkedApplication(const fs::path& folder, const std::string& helperArch)
{
    const fs::path app = folder / "App.app";
    Application(
        app,
        linked::Lipo(folder, {linked::Link(folder, linked::Make("arm64")),
                              linked::Link(folder, linked::Make("x86_64", "-no_adhoc_codesign"), "x")}),
        linked::Link(folder, linked::Make("arm64", "-adhoc_codesign", "11.0", "-dylib"), "l"),
        linked::Link(
            folder,
            linked::Make(helperArch, helperArch == "arm64" ? "-adhoc_codesign" : "-no_adhoc_codesign"), "h"));
    return app;
}

fs::path CopyInto(const fs::path& original, const fs::path& folder)
{
    const fs::path app = folder / original.filename();
    fs::copy(original, app, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return app;
}

// Killed at each rename of the commit in turn, `sign` leaves every file old or new, and a second run
// ends with `app` valid deep.
void KilledAtEachRename(const fs::path& original, const fs::path& inCopy,
                        const std::function<void(const fs::path&)>& sign)
{
    for (int killAt = 1; killAt <= 12; ++killAt) {
        SCOPED_TRACE(killAt);
        TempFolder folder;
        const fs::path app = CopyInto(original, folder.Path()), target = inCopy.empty() ? app : app / inCopy;
        const Finished killed = Child([&] {
                                    int renames = 0;
                                    Installed<FileFaultHook> hook(SetFileFaultHook, [&](FileStep step) {
                                        if (step == FileStep::Rename && ++renames == killAt)
                                            ::kill(::getpid(), SIGKILL);
                                        return true;
                                    });
                                    sign(target);
                                    return 0;
                                }).Wait();
        sign(target);
        EXPECT_EQ(DeepFault(app), "");
        EXPECT_TRUE(killAt > 1 || killed.signal == SIGKILL) << "the commit was never killed";
        if (killed.signal == 0) break;  // the commit has fewer renames than this
    }
}

TEST(SignDeep, EveryPieceSignedInsideOutAndASecondRunChangesNothing)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder, const fs::path& app)> make;
        std::string told;  // refused: the reason; else the notes
        bool refused = false;
    };
    using linked::Make;
    const auto linkedApp = [](const fs::path& folder, const fs::path&) {
        LinkedApplication(folder, "arm64");
    };
    const auto runtime = [](const std::string& flags) {
        craft::Shape shape;
        shape.codeDirectories.front().version = 0x20500;
        shape.codeDirectories.front().flags = 0x10002;
        shape.entitlements = flags;
        return craft::Thin(shape).bytes;
    };
    const std::vector<Case> cases = {
        {"linker-signed, universal, with everything", linkedApp, ""},
        {"unsigned",
         [](const fs::path& folder, const fs::path& app) {
             const std::string code = linked::Link(folder, Make("x86_64", "-no_adhoc_codesign", "10.9"));
             Application(app, code,
                         linked::Link(folder, Make("x86_64", "-no_adhoc_codesign", "10.9", "-dylib"), "l"),
                         code);
         },
         ""},
        {"code changed after linking",
         [](const fs::path& folder, const fs::path& app) {
             std::string code = linked::Link(folder, Make("arm64"));
             code[0x400] ^= 1;  // header padding, inside the first signed page
             const std::string library =
                 linked::Link(folder, Make("arm64", "-adhoc_codesign", "11.0", "-dylib"), "l");
             Application(app, code, library, library);
         },
         "App.app/Contents/MacOS/App: the old signature no longer matched (code changed)"},
        {"a link that leaves the bundle",
         [&](const fs::path& folder, const fs::path& app) {
             linkedApp(folder, app);
             fs::create_symlink("../../../elsewhere", app / "Contents/Resources/out");
         },
         "App.app/Contents/Resources/out: a link that leaves the bundle", true},
        {"hardened runtime with a library in process",
         [&](const fs::path& folder, const fs::path& app) {
             Application(app, runtime(""),
                         linked::Link(folder, Make("arm64", "-adhoc_codesign", "11.0", "-dylib")),
                         runtime(""));
         },
         "App.app/Contents/MacOS/App: library validation with other code inside", true},
        {"hardened runtime with only applications inside",
         [&](const fs::path&, const fs::path& app) {
             WriteBytes(app / "Contents/Info.plist", List("App", "org.example.app"));
             WriteBytes(app / "Contents/MacOS/App", runtime(""), 0755);
             WriteBytes(app / "Contents/Library/LoginItems/Login.app/Contents/Info.plist",
                        List("Login", "org.l"));
             WriteBytes(app / "Contents/Library/LoginItems/Login.app/Contents/MacOS/Login", runtime(""),
                        0755);
         },
         ""},
        {"restricted entitlements inside",
         [&](const fs::path& folder, const fs::path& app) {
             linkedApp(folder, app);
             WriteBytes(app / "Contents/Helpers/Helper.app/Contents/MacOS/Helper",
                        runtime("<plist><dict><key>keychain-access-groups</key><array/></dict></plist>"),
                        0755);
         },
         "App.app/Contents/Helpers/Helper.app/Contents/MacOS/Helper: restricted entitlements "
         "(keychain-access-groups)",
         true},
    };
    if (!linked::HaveTools()) GTEST_SKIP() << linked::Skipped(cases.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path app = folder / "App.app";
        c.make(folder.Path(), app);
        const auto before = Tree(app);
        EXPECT_EQ(Sign(app), c.told);
        if (c.refused) {
            EXPECT_TRUE(Tree(app) == before) << "a refused bundle changed";
            continue;
        }
        EXPECT_EQ(DeepFault(app), "");
        const auto once = Tree(app);
        EXPECT_EQ(Sign(app), "");
        EXPECT_TRUE(Tree(app) == once) << "the second run changed something";
    }
}

// Large code is signed from its own pages where nobody can change them meanwhile, else read; either
// way, and through a hard link (written in place), the new bytes are the same.
TEST(SignDeep, LargeCodeSignsTheSameMappedReadOrHardLinked)
{
    struct Case {
        const char* name;
        std::function<std::vector<UniqueFd>(const fs::path& app)> before;
    };
    const std::vector<Case> cases = {
        {"nobody else has it open", [](const fs::path&) { return std::vector<UniqueFd>(); }},
        {"held open for writing elsewhere",
         [](const fs::path& app) {
             std::vector<UniqueFd> held;
             for (const char* file :
                  {"Contents/MacOS/App", "Contents/Frameworks/Kit.framework/Versions/A/Kit"})
                 held.emplace_back(::open((app / file).c_str(), O_WRONLY | O_CLOEXEC));
             return held;
         }},
        {"hard-linked",
         [](const fs::path& app) {
             fs::create_hard_link(app / "Contents/MacOS/App", app.parent_path() / "other");
             return std::vector<UniqueFd>();
         }},
    };
    if (!linked::HaveTools()) GTEST_SKIP() << linked::Skipped(cases.size());
    TempFolder made;
    const auto big = [](const std::string& arch, const std::string& kind) {
        linked::Code code = linked::Make(arch, "-adhoc_codesign", "11.0", kind);
        code.source = "const char big[1 << 20] = {1};\nint main(void) { return big[0]; }\n";
        return code;
    };
    const std::string main =
        linked::Lipo(made.Path(), {linked::Link(made.Path(), big("arm64", "-execute")),
                                   linked::Link(made.Path(), big("x86_64", "-execute"), "x")});
    const std::string library = linked::Link(made.Path(), big("arm64", "-dylib"), "l");
    std::optional<std::string> signedMain;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path app = folder.Path() / "App.app";
        Application(app, main, library, library);
        const std::vector<UniqueFd> held = c.before(app);
        EXPECT_EQ(Sign(app), "");
        EXPECT_EQ(DeepFault(app), "");
        const std::string now = ReadBytes(app / "Contents/MacOS/App");
        if (!signedMain) signedMain = now;
        EXPECT_TRUE(now == *signedMain);
        if (fs::exists(folder.Path() / "other")) {
            EXPECT_TRUE(ReadBytes(folder.Path() / "other") == now);
        }
    }
}

TEST(SignDeep, AKilledCommitIsFinishedByTheNextRun)
{
    if (!linked::HaveTools()) GTEST_SKIP() << linked::Skipped(1);
    TempFolder source;
    KilledAtEachRename(LinkedApplication(source.Path(), "x86_64"), "",
                       [](const fs::path& app) { Sign(app); });
}

// A login item patched on its own, inside a signed application: the application is re-sealed around
// it as one edit, or, where it may not be, neither is touched.
TEST(SignDeep, PatchingANestedApplicationReSealsTheOneAroundIt)
{
    struct Case {
        const char* name;
        bool developer, resign;
        std::string told;
    };
    const std::vector<Case> cases = {
        {"ad hoc outside", false, false, ""},
        {"a developer's outside, --resign", true, true, ""},
        {"a developer's outside", true, false, ": not re-sealed: signed by a developer"},
    };
    if (!linked::HaveTools()) GTEST_SKIP() << linked::Skipped(cases.size());
    TempFolder source;
    const fs::path original = LinkedApplication(source.Path(), "arm64"),
                   loginItem = "Contents/Library/LoginItems/Login.app";
    ASSERT_EQ(Sign(original), "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path app = CopyInto(original, folder.Path()), login = app / loginItem;
        if (c.developer) {
            craft::Shape shape;
            shape.infoPlist = ReadBytes(app / "Contents/Info.plist");
            shape.codeResources = ReadBytes(app / "Contents/_CodeSignature/CodeResources");
            shape.wrapper = craft::Wrapper::Developer;
            shape.codeDirectories.front().flags = 0;
            shape.codeDirectories.front().team = "ABCDE12345";
            WriteBytes(app / "Contents/MacOS/App", craft::Thin(shape).bytes, 0755);
        }
        const auto before = Tree(app);
        EXPECT_EQ(Sign(login, false, c.resign), c.told.empty() ? "" : app.string() + c.told);
        if (!c.told.empty()) {
            EXPECT_TRUE(Tree(app) == before) << "a refused chain changed";
            continue;
        }
        EXPECT_NE(ReadBytes(login / "Contents/Info.plist").find("NSUIElement"), std::string::npos);
        EXPECT_EQ(DeepFault(app), "");
        const auto once = Tree(app);
        EXPECT_EQ(Sign(login, false, c.resign), "");
        EXPECT_TRUE(Tree(app) == once) << "the second run changed something";
    }
    // Killed at each rename of the chain's commit, then run again.
    KilledAtEachRename(original, loginItem,
                       [](const fs::path& login) { EXPECT_EQ(Sign(login, false, false), ""); });
}

// The shared samples given --sign: each valid ad hoc afterwards, or refused and left byte for byte
// as its SOURCES entry leads one to expect; and the seal Apple's codesign wrote for DevSignedApp
// is the one made from scratch, byte for byte.
TEST(SignDeep, EverySignedSampleEndsValidOrRefused)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"AdhocUniversal.app", ""},
        {"DeveloperStyle.app", ""},
        {"DevSignedApp.app", ""},
        {"DevSignedAppVersion2.app", ""},
        {"LinkerSigned.app", ""},
        {"Unsigned.app", ""},
        {"Restricted.app", "Restricted.app/Contents/MacOS/Keys: restricted entitlements "
                           "(com.apple.developer.team-identifier, keychain-access-groups)"},
        {"WithFramework.app",
         "WithFramework.app/Contents/MacOS/Host: library validation with other code inside"},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(cases.size() + 1);
    for (const auto& [sample, told] : cases) {
        SCOPED_TRACE(sample);
        TempFolder folder;
        const fs::path app = CopyInto(kShared / "samples/signed" / sample, folder.Path());
        if (sample == "DevSignedApp.app") {
            for (const codesign::PlannedWrite& write : codesign::PlanSignature(app, std::nullopt).writes)
                EXPECT_NE(write.name, "CodeResources");
        }
        const auto before = Tree(app);
        EXPECT_EQ(Sign(app), told);
        if (!told.empty())
            EXPECT_TRUE(Tree(app) == before);
        else
            EXPECT_EQ(DeepFault(app), "");
    }
}

}  // namespace
