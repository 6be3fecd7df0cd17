// SPDX-License-Identifier: MIT
// Code signatures: other tools' samples (and damaged copies), the ad hoc re-sign, then our own crafted
// files for every parse error and every refusal.

#include "file_fixtures.h"
#include "linked_code.h"
#include "macho_craft.h"

#include "platform/byteorder/byteorder.h"
#include "platform/byteorder/large_buffer.h"
#include "platform/files/unique_fd.h"
#include "platform/macho/layout.h"
#include "platform/macho/macho.h"
#include "platform/macho/resign.h"
#include "platform/macho/sign.h"
#include "platform/macho/verify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

using namespace fixtures;

namespace {

const fs::path kSigned = kShared / "samples/signed";

// A bundle's files as the patcher reads them, or a bare executable (no Contents/).
struct Files {
    std::string executable, infoPlist, codeResources;
    bool bundle = false, sealed = false;

    macho::BundleFiles View() const
    {
        macho::BundleFiles files{executable, std::nullopt, std::nullopt};
        if (bundle) files.infoPlist = infoPlist;
        if (sealed) files.codeResources = codeResources;
        return files;
    }
};

// "Name.app/Executable" or "bare/tool", below the signed samples.
Files Sample(const std::string& where)
{
    Files files;
    const std::size_t app = where.find(".app/");
    if (app == std::string::npos) {
        files.executable = ReadBytes(kSigned / where);
        return files;
    }
    const fs::path contents = kSigned / where.substr(0, app + 4) / "Contents";
    files.bundle = true;
    files.executable = ReadBytes(contents / "MacOS" / where.substr(app + 5));
    files.infoPlist = ReadBytes(contents / "Info.plist");
    files.sealed = fs::exists(contents / "_CodeSignature/CodeResources");
    if (files.sealed) files.codeResources = ReadBytes(contents / "_CodeSignature/CodeResources");
    return files;
}

std::string Judge(const macho::BundleFiles& files)
{
    macho::Result<macho::Verdict> verdict = macho::Verify(files);
    if (!verdict) return std::string("error: ") + macho::Describe(verdict.error().kind);
    return macho::Describe(*verdict);
}

// The signer's chain, "Apple: " before it when it ends at Apple's root.
std::string Signers(const macho::BundleFiles& files)
{
    macho::Result<macho::Verdict> verdict = macho::Verify(files);
    if (!verdict || !verdict->signer) return "";
    std::string text = verdict->signer->appleChain ? "Apple: " : "";
    for (const std::string& name : verdict->signer->authorities)
        text += (text.empty() || text == "Apple: " ? "" : " < ") + name;
    return text;
}

// What a decision says, as one text: "resign", "leave alone" or "refuse: REASON".
std::string Said(const macho::Decision& decision)
{
    switch (decision.action) {
    case macho::Action::LeaveAlone: return "leave alone";
    case macho::Action::Resign: return "resign";
    case macho::Action::Refuse: break;
    }
    return "refuse: " + macho::Describe(decision);
}

// The Info.plist a patch writes: NSUIElement added before the root dictionary ends.
std::string Patched(const std::string& plist)
{
    std::string out = plist;
    out.insert(out.rfind("</dict>"), "\t<key>NSUIElement</key>\n\t<string>true</string>\n");
    return out;
}

// Where the bytes of a view into `file` begin.
std::size_t At(const std::string& file, std::string_view part)
{
    return std::size_t(part.data() - file.data());
}

macho::Slice FirstSlice(std::string_view file)
{
    return macho::ReadMachO(file)->front();
}

// A thin executable signed ad hoc, in `shape` (else the default) changed by `change`.
craft::Built Crafted(craft::Shape shape, const std::function<void(craft::Shape&)>& change = {})
{
    if (change) change(shape);
    return craft::Thin(shape);
}

craft::Built Crafted(const std::function<void(craft::Shape&)>& change = {})
{
    return Crafted(craft::Shape(), change);
}

// Re-signs `files` as `facts` allow and expects `said`. A renewal is applied and must end valid ad hoc,
// leaving nothing for a second run; returns the executable as it ends.
std::string ExpectRun(macho::BundleFiles files, const macho::BundleFacts& facts, const std::string& said)
{
    std::string executable(files.executable);
    macho::Result<macho::Resigned> resigned = macho::ResignAdHoc(files, facts);
    if (!resigned) {
        EXPECT_EQ(std::string("error: ") + macho::Describe(resigned.error().kind), said);
        return executable;
    }
    EXPECT_EQ(Said(resigned->decision), said);
    EXPECT_EQ(resigned->replacements.empty(), said != "resign");
    if (said != "resign") return executable;
    resigned->ApplyTo(executable);
    files.executable = executable;
    EXPECT_EQ(Judge(files), "signature valid (ad hoc)");
    macho::Result<macho::Resigned> second = macho::ResignAdHoc(files, facts);
    EXPECT_EQ(Said(second->decision), "leave alone");
    EXPECT_TRUE(second->replacements.empty());
    return executable;
}

}  // namespace

TEST(MachoSamples, OtherToolsSignaturesGetTheirVerdictsAndSigners)
{
    const std::string example = "Developer ID Application: Example Corp (ABCDE12345)",
                      selfSigned =
                          "signature intact, but not from a certificate of Apple's (" + example + ")",
                      pawashe = "Developer ID Application: Mayur Pawashe (ZCK58M894E)",
                      developerId = pawashe + " < Developer ID Certification Authority < Apple Root CA",
                      wwdr = " < Apple Worldwide Developer Relations Certification Authority < Apple Root CA";
    struct Case {
        std::string where, verdict, authorities;  // leaf to root; "Apple: " when the root is Apple's
    };
    const std::vector<Case> cases = {
        {"AdhocUniversal.app/Hello", "signature valid (ad hoc)", ""},
        {"DeveloperStyle.app/Big", selfSigned, example},
        {"Restricted.app/Keys", selfSigned, example},
        {"WithFramework.app/Host", selfSigned, example},
        {"DevSignedApp.app/SignedApp", "signature valid (" + pawashe + ")", "Apple: " + developerId},
        {"DevSignedAppVersion2.app/SignedApp", "signature valid (" + pawashe + ")", "Apple: " + developerId},
        {"LinkerSigned.app/Plain", "signature does not bind Info.plist (linker signature)", ""},
        {"Unsigned.app/Bare", "unsigned", ""},
        {"bare/yikes-universal_adhoc", "signature does not bind Info.plist (ad hoc)", ""},
        {"bare/yikes-universal_signed", "signature does not bind Info.plist (developer, team 998Z9C32TC)",
         "Apple: Mac Developer: Tom Burgin (QDXTTPU8MW)" + wwdr},
        {"bare/signed-with-teamid", "signature does not bind Info.plist (developer, team EQHXZ8M8AV)",
         "Apple: Apple Development: Google Development (69FHSU289T)" + wwdr},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(cases.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        EXPECT_EQ(Judge(Sample(c.where).View()), c.verdict);
        EXPECT_EQ(Signers(Sample(c.where).View()), c.authorities);
    }
}

TEST(MachoSamples, TamperedCopiesAreRejectedForWhatChanged)
{
    using Tamper = std::function<void(Files&)>;
    const auto flip = [](Files& files, std::size_t at, char bits) { files.executable[at] ^= bits; };
    const auto setFlag = [&](std::uint32_t flag) {
        return [&, flag](Files& files) {
            const std::size_t at =
                At(files.executable, FirstSlice(files.executable).signature->codeDirectories[0].bytes) + 12;
            for (int i = 0; i < 4; ++i) files.executable[at + i] |= char(flag >> (24 - 8 * i) & 0xff);
        };
    };
    const auto entitlements = [&](Files& files) {
        const macho::Slice slice = FirstSlice(files.executable);
        flip(files, At(files.executable, slice.signature->Find(macho::kEntitlementsSlot)->bytes) + 200, 0x20);
    };
    const auto pageHash = [&](std::uint32_t cd) {
        return [&, cd](Files& files) {
            const macho::Slice slice = FirstSlice(files.executable);
            const macho::CodeDirectory& directory = slice.signature->codeDirectories.at(cd);
            flip(files, At(files.executable, directory.CodeSlot(1)), 1);
        };
    };
    struct Case {
        std::string where, what;
        Tamper tamper;
        std::string verdict;
    };
    const std::string adhoc = "AdhocUniversal.app/Hello", signedApp = "DevSignedApp.app/SignedApp",
                      big = "DeveloperStyle.app/Big", code = "signature broken: code changed",
                      plist = "signature broken: Info.plist changed",
                      resources = "signature broken: resources changed",
                      entitled = "signature broken: entitlements changed",
                      cms = "signature broken: CodeDirectory does not match its CMS signature";
    const std::vector<Case> cases = {
        {adhoc, "a code byte", [&](Files& f) { flip(f, 4096 + 5000, 1); }, code},
        {adhoc, "a code byte in the second slice", [&](Files& f) { flip(f, 32768 + 9000, 1); }, code},
        {adhoc, "a page hash", pageHash(0), code},
        {big, "an alternate's page hash", pageHash(1),
         code + ", CodeDirectory does not match its CMS signature"},
        {adhoc, "Info.plist", [](Files& f) { f.infoPlist += "\n"; }, plist},
        {signedApp, "Info.plist", [](Files& f) { f.infoPlist = Patched(f.infoPlist); }, plist},
        {adhoc, "CodeResources", [](Files& f) { f.codeResources[100] ^= 1; }, resources},
        {signedApp, "CodeResources gone", [](Files& f) { f.sealed = false; }, resources},
        {adhoc, "entitlements", entitlements, entitled},
        {signedApp, "entitlements", entitlements, entitled},
        {signedApp, "the runtime flag under a CMS", setFlag(macho::kRuntime), cms},
        // macOS does not read a CMS under the ad hoc flag.
        {"Restricted.app/Keys", "the ad hoc flag under a CMS", setFlag(macho::kAdhoc),
         "signature valid (ad hoc)"},
        {big, "the primary's flags alone", setFlag(macho::kLibraryValidation),
         cms + ", CodeDirectories disagree"},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(cases.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where + ": " + c.what);
        Files files = Sample(c.where);
        c.tamper(files);
        EXPECT_EQ(Judge(files.View()), c.verdict);
    }
}

// Every CodeDirectory of the re-signed slice against the one it replaced, field by field.
void ExpectAdhocReplacement(const macho::Slice& before, const macho::Slice& after, std::string_view infoPlist)
{
    const macho::Signature &old = *before.signature, &now = *after.signature;
    ASSERT_EQ(now.codeDirectories.size(), old.codeDirectories.size());
    for (std::size_t i = 0; i < old.codeDirectories.size(); ++i) {
        const macho::CodeDirectory &a = old.codeDirectories[i], &b = now.codeDirectories[i];
        EXPECT_EQ(
            std::tie(b.slot, b.version, b.identifier, b.hashType, b.pageSize, b.codeLimit, b.nSpecialSlots),
            std::tie(a.slot, a.version, a.identifier, a.hashType, a.pageSize, a.codeLimit, a.nSpecialSlots));
        EXPECT_EQ(b.flags, (a.flags | macho::kAdhoc) & ~std::uint32_t(macho::kLinkerSigned));
        EXPECT_EQ(b.teamId, std::nullopt);
        if (a.version >= 0x20400) {
            EXPECT_EQ(b.bytes.substr(64, 24), a.bytes.substr(64, 24)) << "execSeg";
        }
        if (a.version >= 0x20500) {
            EXPECT_EQ(b.bytes.substr(88, 4), a.bytes.substr(88, 4)) << "runtime";
        }
        EXPECT_EQ(b.SpecialSlot(1), craft::Hash(a.hashType, infoPlist));
        EXPECT_EQ(b.SpecialSlot(2), craft::Hash(a.hashType, craft::kEmptyRequirements));
        for (std::uint32_t n = 3; n <= a.nSpecialSlots; ++n)
            EXPECT_EQ(b.SpecialSlot(n), a.SpecialSlot(n)) << n;
        EXPECT_EQ(b.bytes.substr(b.hashOffset), a.bytes.substr(a.hashOffset)) << "code slots";
    }
    EXPECT_EQ(now.Find(macho::kRequirementsSlot)->bytes, craft::kEmptyRequirements);
    EXPECT_EQ(now.Find(macho::kCmsSlot)->bytes, craft::Blob(0xfade0b01, ""));
    EXPECT_EQ(now.Find(macho::kTicketSlot), nullptr);
    for (std::uint32_t type : {macho::kEntitlementsSlot, macho::kDerEntitlementsSlot}) {
        const macho::Blob *a = old.Find(type), *b = now.Find(type);
        EXPECT_EQ(a ? a->bytes : "<none>", b ? b->bytes : "<none>");
    }
    EXPECT_EQ(std::tie(now.dataOffset, now.dataSize), std::tie(old.dataOffset, old.dataSize));
    const std::uint64_t used = byteorder::BigEndian32(after.bytes.data() + now.dataOffset + 4);
    EXPECT_EQ(after.bytes.substr(now.dataOffset + used, now.dataSize - used),
              std::string(now.dataSize - used, '\0'));
}

TEST(MachoSamples, ResignAdhocEndsAsTheRulesSay)
{
    struct Case {
        std::string where;
        macho::BundleFacts facts;
        std::string said;
    };
    const std::string developer = "refuse: signed by a developer";
    const auto inside = [] { return true; };
    const std::vector<Case> cases = {
        {"AdhocUniversal.app/Hello", {}, "resign"},
        {"AdhocUniversal.app/Hello", {inside, false}, "resign"},
        {"DeveloperStyle.app/Big", {{}, true}, "resign"},
        {"DeveloperStyle.app/Big", {}, developer},
        {"DevSignedApp.app/SignedApp", {{}, true}, "resign"},
        {"DevSignedApp.app/SignedApp", {}, developer},
        {"Restricted.app/Keys",
         {{}, true},
         "refuse: restricted entitlements (com.apple.developer.team-identifier, keychain-access-groups)"},
        {"WithFramework.app/Host", {inside, true}, "refuse: library validation with other code inside"},
        {"WithFramework.app/Host", {{}, true}, "resign"},
        {"LinkerSigned.app/Plain", {{}, true}, "leave alone"},
        {"Unsigned.app/Bare", {{}, true}, "leave alone"},
    };
    if (!HaveShared()) GTEST_SKIP() << SharedSkipped(cases.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where + " " + c.said);
        Files files = Sample(c.where);
        const std::string original = files.executable;
        files.infoPlist = Patched(files.infoPlist);
        const std::string executable = ExpectRun(files.View(), c.facts, c.said);
        if (c.said != "resign") continue;
        ASSERT_EQ(executable.size(), original.size());
        const std::vector<macho::Slice> before = *macho::ReadMachO(original);
        const std::vector<macho::Slice> after = *macho::ReadMachO(executable);
        ASSERT_EQ(after.size(), before.size());
        // Outside each slice's signature area, not one byte changed.
        const auto outside = [&](std::string bytes) {
            for (const macho::Slice& slice : before)
                bytes.replace(slice.offset + slice.signature->dataOffset, slice.signature->dataSize,
                              slice.signature->dataSize, '-');
            return bytes;
        };
        EXPECT_TRUE(outside(executable) == outside(original));
        for (std::size_t i = 0; i < before.size(); ++i)
            ExpectAdhocReplacement(before[i], after[i], files.infoPlist);

        Files again = files;
        again.executable = executable;
        // Run over the first Info.plist again, as a crash between the two writes would leave it.
        again.infoPlist = Patched(again.infoPlist);
        macho::Result<macho::Resigned> mended = macho::ResignAdHoc(again.View(), c.facts);
        EXPECT_EQ(Said(mended->decision), "resign");
    }
}

TEST(MachoCrafted, BareToolsBindTheirEmbeddedInfoPlist)
{
    const std::string embedded = "<plist><dict><key>A</key></dict></plist>";
    std::string bytes = Crafted([&](craft::Shape& s) { s.embeddedPlist = s.infoPlist = embedded; }).bytes;
    EXPECT_EQ(Judge({bytes, std::nullopt, std::nullopt}), "signature valid (ad hoc)");
    bytes[0x800 + 10] ^= 1;
    EXPECT_EQ(Judge({bytes, std::nullopt, std::nullopt}),
              "signature broken: Info.plist changed, code changed");
}

TEST(MachoCrafted, DamagedFilesGiveTypedErrorsWithOffsets)
{
    using macho::ErrorKind;
    const craft::Built base = Crafted([](craft::Shape& s) {
        s.encrypted = true;
        s.embeddedPlist = "<plist/>";
    });
    const std::size_t cd = base.codeDirectories.at(0), sb = base.superBlob;
    // One damage to the base file a row: where, and what it writes.
    const auto damaged = [&](std::function<void(std::string&)> damage) {
        std::string bytes = base.bytes;
        damage(bytes);
        return bytes;
    };
    const auto big32 = [&](std::size_t at, std::uint32_t value) {
        return damaged([=](std::string& b) { craft::Set32(b, at, value); });
    };
    const auto little32 = [&](std::size_t at, std::uint32_t value) {
        return damaged([=](std::string& b) { craft::Set32(b, at, value, false); });
    };
    const auto byte = [&](std::size_t at, char value) {
        return damaged([=](std::string& b) { b[at] = value; });
    };
    const std::string fat = craft::Fat({base.bytes, base.bytes});
    const std::size_t second = 4096 + ((base.bytes.size() + 4095) & ~std::size_t(4095));
    std::string fatOverlap = fat, fatOutside = fat, fatDamagedSecond = fat;
    craft::Set32(fatOverlap, 8 + 20 + 8, 4096 + 16);
    craft::Set32(fatOutside, 8 + 12, 0x7fffffff);
    fatDamagedSecond[second + cd + 37] = 9;

    struct Case {
        std::string name, bytes;
        ErrorKind kind;
        std::uint64_t offset;
    };
    const std::vector<Case> cases = {
        {"a header cut short", base.bytes.substr(0, 20), ErrorKind::Truncated, 0},
        {"a script", "#!/bin/sh\necho hello\n", ErrorKind::NotMachO, 0},
        {"three bytes", "\xfe\xed\xfa", ErrorKind::NotMachO, 0},
        {"a universal file of no slices", craft::Fat({}), ErrorKind::BadFatHeader, 4},
        {"a universal file's table cut short", fat.substr(0, 20), ErrorKind::Truncated, 4},
        {"a slice past the end", fatOutside, ErrorKind::SliceOutOfRange, 8},
        {"overlapping slices", fatOverlap, ErrorKind::SlicesOverlap, 28},
        {"a universal file inside one", craft::Fat({craft::Fat({base.bytes})}), ErrorKind::SliceNotMachO,
         4096},
        {"load commands past the end", little32(20, 0x7fffffff), ErrorKind::Truncated, 20},
        {"a load command of 4 bytes", little32(base.segmentCommand + 4, 4), ErrorKind::BadLoadCommand,
         base.segmentCommand},
        {"a load command of an odd size", little32(base.segmentCommand + 4, 75), ErrorKind::BadLoadCommand,
         base.segmentCommand},
        {"two signature commands", little32(base.encryptionCommand, 0x1d), ErrorKind::DuplicateLoadCommand,
         base.encryptionCommand},
        {"a signature past the slice", little32(base.signatureCommand + 12, 0x7fffffff),
         ErrorKind::SignatureOutOfRange, base.signatureCommand + 8},
        {"a signature over the load commands", little32(base.signatureCommand + 8, 16),
         ErrorKind::SignatureOutOfRange, base.signatureCommand + 8},
        {"the Info.plist section past the slice", little32(base.section + 48, 0x7fffffff),
         ErrorKind::SectionOutOfRange, base.section},
        {"no SuperBlob", byte(sb, 0), ErrorKind::BadSuperBlob, sb},
        {"a SuperBlob longer than its area", big32(sb + 4, 0x7fffffff), ErrorKind::BadSuperBlob, sb + 4},
        {"a SuperBlob index past its length", big32(sb + 8, 0x10000000), ErrorKind::Truncated, sb + 8},
        {"a blob past the SuperBlob", big32(sb + 16, 0xffff0000), ErrorKind::BlobOutOfRange, sb + 12},
        {"a blob of length 0", big32(cd + 4, 0), ErrorKind::BlobOutOfRange, sb + 12},
        {"a CodeDirectory of the wrong magic", byte(cd + 3, 1), ErrorKind::BadBlobMagic, cd},
        {"two primary CodeDirectories", damaged([&](std::string& b) {
             craft::Set32(b, sb + 20, 0);
             craft::Set32(b, sb + 24, std::uint32_t(cd - sb));
         }),
         ErrorKind::DuplicateBlob, sb + 20},
        {"only an alternate CodeDirectory", big32(sb + 12, 0x1000), ErrorKind::NoCodeDirectory, sb},
        {"a CodeDirectory shorter than its header", big32(cd + 4, 60), ErrorKind::Truncated, cd},
        {"a CodeDirectory of version 3", big32(cd + 8, 0x30000), ErrorKind::UnsupportedVersion, cd + 8},
        {"a CodeDirectory of version 1", big32(cd + 8, 0x10000), ErrorKind::UnsupportedVersion, cd + 8},
        {"an unknown hash type", byte(cd + 37, 9), ErrorKind::BadHashType, cd + 36},
        {"a hash size unlike its type", byte(cd + 36, 20), ErrorKind::BadHashType, cd + 36},
        {"pages of 2^40 bytes", byte(cd + 39, 40), ErrorKind::BadPageSize, cd + 39},
        {"hashes past the CodeDirectory", big32(cd + 16, 0xffffff), ErrorKind::HashesOutOfRange, cd + 16},
        {"special slots over the header", big32(cd + 24, 1000), ErrorKind::HashesOutOfRange, cd + 16},
        {"an identifier past the CodeDirectory", big32(cd + 20, 0xffffff), ErrorKind::BadIdentifier, cd + 20},
        {"a team ID past the CodeDirectory", big32(cd + 48, 0xffffff), ErrorKind::BadIdentifier, cd + 48},
        {"code past the signature's start", big32(cd + 32, std::uint32_t(base.dataOffset + 1)),
         ErrorKind::CodeLimitOutOfRange, cd + 32},
        {"a slot short", big32(cd + 32, std::uint32_t(base.dataOffset - 4096)), ErrorKind::SlotCountMismatch,
         cd + 28},
        {"the second slice's damage", fatDamagedSecond, ErrorKind::BadHashType, second + cd + 36},
    };
    std::set<ErrorKind> seen;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        macho::Result<std::vector<macho::Slice>> read = macho::ReadMachO(c.bytes);
        ASSERT_FALSE(read);
        EXPECT_EQ(macho::Describe(read.error().kind), macho::Describe(c.kind));
        EXPECT_EQ(read.error().offset, c.offset);
        EXPECT_EQ(macho::Verify({c.bytes, std::nullopt, std::nullopt}).error().kind, c.kind);
        seen.insert(c.kind);
    }
    EXPECT_EQ(seen.size(), std::size_t(ErrorKind::SliceNotMachO) + 1) << "every kind has a row";
}

TEST(MachoCrafted, CmsSignaturesAreCheckedUpTheirChains)
{
    const std::string name = "Developer ID Application: Example (ABCDE12345)",
                      intact = "signature intact, but not from a certificate of Apple's (" + name + ")",
                      plist = craft::Shape().infoPlist;
    struct Case {
        std::string name;
        std::function<void(craft::Signing&)> change;
        std::string verdict, authorities;
        std::uint32_t flags = 0;
    };
    const std::vector<Case> cases = {
        {"self-signed", {}, intact, name},
        {"a chain to a root not Apple's", [](craft::Signing& s) { s.intermediates = 1; }, intact,
         name + " < Example CA 1 < Example Root CA"},
        {"expired, no timestamp", [](craft::Signing& s) { s.validFor = -60; }, intact, name},
        {"expired, expiry enforced", [](craft::Signing& s) { s.validFor = -60; },
         "signature broken: certificate chain broken (certificate has expired)", name, 0x400},
        {"expired, enforced, timestamped while valid",
         [](craft::Signing& s) { s.validFor = -60, s.timestampAt = -600; }, intact, name, 0x400},
        {"expired, timestamped after", [](craft::Signing& s) { s.validFor = -60, s.timestampAt = 0; },
         "signature broken: certificate chain broken (certificate has expired)", name},
        {"a timestamp of other bytes",
         [](craft::Signing& s) { s.timestampAt = 0, s.timestampOtherBytes = true; },
         "signature broken: timestamp does not hold", name},
        {"signed attributes tampered", [](craft::Signing& s) { s.tamperAttributes = true; },
         "signature broken: signed attributes do not match their signature", name},
        {"another message digest", [](craft::Signing& s) { s.otherContent = true; },
         "signature broken: CodeDirectory does not match its CMS signature", name},
        {"an intermediate's signature fails",
         [](craft::Signing& s) { s.intermediates = 2, s.badIntermediate = true; },
         "signature broken: certificate chain broken (certificate signature failure)", name},
        {"no root carried", [](craft::Signing& s) { s.intermediates = 1, s.carryRoot = false; },
         "signature broken: certificate chain does not end at a self-signed root", name},
        {"a developer's marker and another team",
         [](craft::Signing& s) { s.marker = "1.2.840.113635.100.6.1.12", s.unit = "OTHERTEAM1"; },
         "signature broken: team ID differs from the certificate's", name},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = Crafted([&](craft::Shape& s) {
                                      s.codeDirectories = {{2, 0x20400, c.flags, 0, 12, "ABCDE12345"}};
                                      s.wrapper = craft::Wrapper::Developer;
                                      if (c.change) c.change(s.signing);
                                  }).bytes;
        const macho::BundleFiles files{bytes, plist, std::nullopt};
        EXPECT_EQ(Judge(files), c.verdict);
        EXPECT_EQ(Signers(files), c.authorities);
    }
}

namespace {

std::uint32_t Big32(const std::string& bytes, std::size_t at)
{
    return byteorder::BigEndian32(bytes.data() + at);
}

// Writes the hash of `hashed` into special slot -n (slot = -n) or code slot i of the CodeDirectory at
// `cd`, as a signer that covers its tracks would.
void Rehash(std::string& bytes, std::size_t cd, int slot, std::string_view hashed)
{
    const int size = static_cast<unsigned char>(bytes[cd + 36]), type = bytes[cd + 37];
    bytes.replace(std::size_t(std::int64_t(cd + Big32(bytes, cd + 16)) + std::int64_t(slot) * size),
                  std::size_t(size), craft::Hash(type, hashed));
}

// Where the blob of `type` begins in a crafted thin file.
std::size_t BlobAt(const std::string& bytes, const craft::Built& built, std::uint32_t type)
{
    const std::size_t sb = built.superBlob;
    for (std::uint32_t i = 0; i < Big32(bytes, sb + 8); ++i)
        if (Big32(bytes, sb + 12 + 8 * i) == type) return sb + Big32(bytes, sb + 16 + 8 * i);
    return std::string::npos;
}

// A crafted ad hoc file whose SuperBlob has `extra` more index entries, of types no slot binds, each
// pointing at the requirement set.
std::string WithLongIndex(std::uint32_t extra)
{
    craft::Shape shape;
    shape.padding = 8 * extra + 4096;
    const craft::Built built = craft::Thin(shape);
    std::string bytes = built.bytes;
    const std::size_t sb = built.superBlob;
    const std::uint32_t count = Big32(bytes, sb + 8), length = Big32(bytes, sb + 4), moved = 8 * extra;
    std::string index, requirements;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t type = Big32(bytes, sb + 12 + 8 * i), at = Big32(bytes, sb + 16 + 8 * i) + moved;
        craft::Put32(index, type);
        craft::Put32(index, at);
        if (type == 2) craft::Put32(requirements, at);
    }
    for (std::uint32_t i = 0; i < extra; ++i) {
        craft::Put32(index, 0x20000 + i);
        index += requirements;
    }
    std::string super;
    for (std::uint32_t field : {0xfade0cc0u, length + moved, count + extra}) craft::Put32(super, field);
    super += index + bytes.substr(sb + 12 + 8 * count, length - 12 - 8 * count);
    bytes.replace(sb, super.size(), super);
    return bytes;
}

}  // namespace

// Each rule's verdict as signed, then what a plain run and one with --resign decide after the patch.
TEST(MachoCrafted, EachRuleGivesItsVerdictAndWhatARunAndAResignDecide)
{
    using craft::Wrapper;
    craft::Shape developer, agile, noPlist, linker;
    developer.codeDirectories = {{2, 0x20400, 0, 0, 12, "ABCDE12345"}};
    developer.wrapper = Wrapper::Developer;
    agile = developer;
    agile.codeDirectories = {{1, 0x20400, 0, 0, 12, "ABCDE12345"}, {2, 0x20400, 0, 0, 12, "ABCDE12345"}};
    linker.linker = true;
    linker.codeDirectories[0].flags = 0x20002;
    linker.wrapper = Wrapper::None;
    noPlist.infoPlist.clear();
    craft::Shape bareDeveloper = developer, x86Shape;
    bareDeveloper.infoPlist.clear();
    x86Shape.cpuType = 0x01000007;
    const auto x86 = [](craft::Shape shape) { return shape.cpuType = 0x01000007, craft::Thin(shape).bytes; };
    const auto damaged = [](craft::Built built,
                            const std::function<void(std::string&, const craft::Built&)>& damage) {
        damage(built.bytes, built);
        return built.bytes;
    };
    const auto pageSize = [&](std::uint8_t size) {
        return Crafted([=](craft::Shape& s) { s.codeDirectories[0].pageSize = size; }).bytes;
    };
    const auto teamed = [&](std::string team) {
        return Crafted([=](craft::Shape& s) { s.codeDirectories = {{2, 0x20400, 2, 0, 12, team}}; }).bytes;
    };
    // The ad hoc file with fields of its CodeDirectory set (offset, value), then a byte flipped.
    const auto fields = [&](std::vector<std::pair<std::size_t, std::uint32_t>> set, std::size_t flip = 0) {
        return damaged(Crafted(), [=](std::string& b, const craft::Built& built) {
            for (const auto& [at, value] : set) craft::Set32(b, built.codeDirectories[0] + at, value);
            if (flip) b[flip] ^= 1;
        });
    };
    const auto shortOfSignature = [&](const craft::Shape& shape) {
        return damaged(Crafted(shape), [](std::string& b, const craft::Built& built) {
            craft::Set32(b, built.codeDirectories[0] + 32, craft::Shape().codeSize);
            Rehash(b, built.codeDirectories[0], 3, b.substr(3 * 4096, craft::Shape().codeSize - 3 * 4096));
        });
    };
    const std::string adhoc = Crafted().bytes, fat = craft::Fat({x86({}), adhoc});
    std::string gap = fat;
    gap.at(4096 + x86({}).size()) = 1;

    const std::string valid = "signature valid (ad hoc)",
                      intact = "signature intact, but not from a certificate of Apple's (Developer ID "
                               "Application: Example (ABCDE12345))",
                      renew = "resign", byDeveloper = "refuse: signed by a developer",
                      cms = "CodeDirectory does not match its CMS signature",
                      limit = "code limit short of the code, code limit not at the signature",
                      universal = "universal header not 32-bit big-endian", teams = "slices' team IDs differ",
                      layout = "bytes between or after the slices";
    struct Case {
        std::string name, bytes, verdict, plain, resign;
        bool inside = false;  // other code loaded in process
        bool sealed = false;  // binds a CodeResources, and is judged with it
    };
    // Decided alike whether a developer's signature may be replaced.
    const auto both = [](std::string name, std::string bytes, std::string verdict, std::string said,
                         bool inside = false) {
        return Case{std::move(name), std::move(bytes), std::move(verdict), said, said, inside};
    };
    const auto flags = [](std::uint32_t value, std::string entitlements = {}) {
        return Crafted([=](craft::Shape& s) {
                   s.codeDirectories[0].flags = value, s.entitlements = entitlements;
               })
            .bytes;
    };
    const auto entitled = [](std::string entitlements) {
        return Crafted([=](craft::Shape& s) { s.entitlements = entitlements; }).bytes;
    };
    const std::string unsignedCode = Crafted([](craft::Shape&s) { s.signature = false; }).bytes,
                      validation = "refuse: library validation with other code inside",
                      disableValidation = "<plist><dict><key>com.apple.security.cs.disable-library-validation"
                                          "</key>\n<true/></dict></plist>";
    // Broken by a rule or by someone else's change: refused by either run.
    const auto rule = [](std::string name, std::string bytes, std::string what, std::string told = {}) {
        const std::string refused = "refuse: signature already broken (" + (told.empty() ? what : told) + ")";
        return Case{std::move(name), std::move(bytes), "signature broken: " + what, refused, refused};
    };
    const auto unreadable = [](std::string name, std::string bytes, std::string why) {
        return Case{std::move(name), std::move(bytes), "error: " + why, "error: " + why, "error: " + why};
    };
    std::vector<Case> cases = {
        {"ad hoc", adhoc, valid, renew, renew},
        {"the ad hoc flag beside a developer's CMS left over",
         Crafted(developer,
                 [](craft::Shape& s) {
                     s.codeDirectories = {{2, 0x20400, 2, 0, 12, ""}};
                 })
             .bytes,
         valid, renew, renew},
        {"a developer's", Crafted(developer).bytes, intact, byDeveloper, renew},
        {"a developer's, SHA-1 and SHA-256 named by digest", Crafted(agile).bytes, intact, byDeveloper,
         renew},
        rule("a developer's, a code page and its hash changed",
             damaged(Crafted(developer),
                     [](std::string& b, const craft::Built& built) {
                         b[5000] ^= 1;
                         Rehash(b, built.codeDirectories[0], 1, b.substr(4096, 4096));
                     }),
             cms),
        rule("a developer's, entitlements and slot -5 changed",
             damaged(
                 Crafted(
                     developer,
                     [](craft::Shape& s) {
                         s.entitlements =
                             "<plist><dict><key>com.apple.security.app-sandbox</key><true/></dict></plist>";
                     }),
                 [](std::string& b, const craft::Built& built) {
                     b[b.find("app-sandbox")] = 'b';
                     const std::size_t blob = BlobAt(b, built, 5);
                     Rehash(b, built.codeDirectories[0], -5, b.substr(blob, Big32(b, blob + 4)));
                 }),
             cms),
        rule("a developer's, requirements and slot -2 changed",
             damaged(Crafted(developer),
                     [](std::string& b, const craft::Built& built) {
                         const std::size_t blob = BlobAt(b, built, 2);
                         b[blob + 11] = 1;
                         Rehash(b, built.codeDirectories[0], -2, b.substr(blob, 12));
                     }),
             cms),
        rule("a developer's, its CMS's digest of the CodeDirectory changed",
             damaged(Crafted(developer),
                     [](std::string& b, const craft::Built& built) {
                         const std::size_t cd = built.codeDirectories[0];
                         b[b.find(craft::Hash(2, b.substr(cd, Big32(b, cd + 4))), cd + 8)] ^= 1;
                     }),
             cms + ", signed attributes do not match their signature", cms + ", CMS signature invalid"),
        rule("a developer's, its CMS garbled",
             damaged(Crafted(developer),
                     [](std::string& b, const craft::Built&) {
                         b[b.find(std::string("\xfa\xde\x0b\x01", 4)) + 8] ^= 0x10;
                     }),
             cms + ", CMS signature cannot be read", cms + ", CMS signature invalid"),
        rule("a developer's, the SHA-256 alternate's execSegFlags set",
             damaged(
                 Crafted(agile),
                 [](std::string& b, const craft::Built& built) { b[built.codeDirectories[1] + 87] |= 0x10; }),
             cms),
        rule("ad hoc, a code byte changed", fields({}, 5000), "code changed"),
        rule("pages of 2^0 bytes", pageSize(0), "page size out of range"),
        rule("pages of 2^31 bytes", pageSize(31), "page size out of range"),
        rule("a scatter vector", fields({{44, 0x100}}), "scatter vector"),
        rule("code limit 0", fields({{28, 0}, {32, 0}}), limit),
        rule("code limit a page short, the code after it changed",
             fields({{28, 3}, {32, 3 * 4096}}, 3 * 4096 + 50), limit),
        rule("code limit short of the signature", shortOfSignature({}), "code limit not at the signature"),
        // Only the slice a Mac runs is held to it.
        {"code limit short of the signature in the x86_64 slice",
         craft::Fat({shortOfSignature(x86Shape), adhoc}), valid, renew, renew},
        rule("a byte after __LINKEDIT", adhoc + '\0', "__LINKEDIT does not end the slice"),
        rule("entitlements that are not a property list", Crafted([](craft::Shape& s) {
                                                              s.entitlements =
                                                                  "<plist><dict><key>a</key></dict></plist>";
                                                          }).bytes,
             "entitlements not a property list"),
        rule("a byte-swapped universal header", craft::Fat({x86({}), adhoc}, false, false), universal),
        rule("a universal header of 64 bits", craft::Fat({adhoc}, true), universal),
        rule("a byte between the slices", gap, layout),
        rule("a byte after the last slice", fat + '\0', layout),
        rule("slices of two team IDs", craft::Fat({teamed("T1"), teamed("T2")}), teams),
        {"an ad hoc slice beside a linker's", craft::Fat({x86({}), Crafted(linker).bytes}), valid, renew,
         renew},
        {"an ad hoc slice that binds Info.plist beside one that does not", craft::Fat({x86(noPlist), adhoc}),
         valid, renew, renew},
        rule("an x86_64 ad hoc slice before an arm64 developer's",
             craft::Fat({x86({}), Crafted(developer).bytes}), teams),
        {"a developer's slice that binds Info.plist beside one that does not",
         craft::Fat({x86(bareDeveloper), Crafted(developer).bytes}), intact,
         "refuse: a slice that does not bind Info.plist would keep its developer's signature",
         "refuse: a slice that does not bind Info.plist would keep its developer's signature"},
        unreadable("a slice that is not Mach-O", craft::Fat({adhoc, "#!/bin/sh\n"}),
                   "a slice is not a Mach-O executable"),
        unreadable("an identifier that runs into the team ID",
                   damaged(Crafted(agile),
                           [](std::string& b, const craft::Built& built) {
                               for (std::size_t cd : built.codeDirectories)
                                   b[cd + 88 + std::strlen("org.example.crafted")] = '%';
                           }),
                   "an identifier or team ID outside its place in the CodeDirectory"),
        {"300,000 index entries", WithLongIndex(300000), valid, renew, renew},
        both("a linker signature", Crafted(linker).bytes,
             "signature does not bind Info.plist (linker signature)", "leave alone"),
        both("unsigned", unsignedCode, "unsigned", "leave alone"),
        rule("a slice unsigned", craft::Fat({adhoc, unsignedCode}), "a slice is unsigned"),
        both("restricted entitlements",
             entitled("<plist><dict><key>keychain-access-groups</key><array/></dict></plist>"), valid,
             "refuse: restricted entitlements (keychain-access-groups)"),
        both("restricted entitlements spelled with references and CDATA",
             entitled("<plist><dict><key>&#107;eychain-access-groups</key><array/>"
                      "<key><![CDATA[com.apple.private.x]]></key><true/></dict></plist>"),
             valid, "refuse: restricted entitlements (keychain-access-groups, com.apple.private.x)"),
        both("sandbox entitlements",
             entitled("<plist><dict><key>com.apple.security.app-sandbox</key><true/></dict></plist>"), valid,
             renew),
        both("hardened runtime and other code", flags(0x10002), valid, validation, true),
        both("library validation and other code", flags(0x2002), valid, validation, true),
        both("hardened runtime, library validation disabled", flags(0x10002, disableValidation), valid, renew,
             true),
        both("hardened runtime alone", flags(0x10002), valid, renew),
        both("a launch constraint", Crafted([](craft::Shape& s) { s.constraint = true; }).bytes, valid,
             "refuse: launch or library constraints"),
        both("an encrypted slice", Crafted([](craft::Shape& s) { s.encrypted = true; }).bytes, valid,
             "refuse: encrypted"),
        both("a platform binary", Crafted([](craft::Shape& s) { s.codeDirectories[0].platform = 1; }).bytes,
             valid, "refuse: platform binary"),
        {"a self-signed certificate named as Apple's",
         Crafted([](craft::Shape& s) { s.codeDirectories[0].flags = 0, s.wrapper = Wrapper::Apple; }).bytes,
         "signature intact, but not from a certificate of Apple's (Software Signing)", byDeveloper, renew},
        both("no room", Crafted([](craft::Shape& s) {
                            s.requirements = false, s.wrapper = Wrapper::None, s.padding = 0;
                        }).bytes,
             valid, "refuse: new signature does not fit in the signature area"),
    };
    // Every layout, sealed: each binds the CodeResources it is judged with, as one it did not bind would
    // be a stray file.
    const auto sealed = [&](const std::string& name, const std::function<void(craft::Shape&)>& change) {
        const std::string bytes =
            Crafted([&](craft::Shape& s) { s.codeResources = "<plist/>", change(s); }).bytes;
        cases.push_back({name, bytes, valid, renew, renew, false, true});
        return bytes;
    };
    std::string little[2];  // 32 and 64 bits
    for (bool is64 : {false, true})
        for (bool bigEndian : {false, true}) {
            const std::string bytes =
                sealed(std::string(is64 ? "64" : "32") + (bigEndian ? "-big" : "-little"),
                       [&](craft::Shape& s) { s.is64 = is64, s.bigEndian = bigEndian; });
            if (!bigEndian) little[is64] = bytes;
        }
    for (std::uint32_t version : {0x20001u, 0x20100u, 0x20200u, 0x20300u, 0x20400u, 0x20500u, 0x20600u})
        for (int hashType : {1, 2, 3, 4})
            sealed("version " + std::to_string(version) + " hash " + std::to_string(hashType),
                   [&](craft::Shape& s) {
                       s.codeDirectories = {{hashType, version, 2, 0, 12, ""}};
                   });
    sealed("SHA-1 primary and SHA-256 alternate, team ID", [](craft::Shape& s) {
        s.codeDirectories = {{1, 0x20400, 2, 0, 12, "T"}, {2, 0x20400, 2, 0, 12, "T"}};
    });
    sealed("16 KiB pages", [](craft::Shape& s) { s.codeDirectories[0].pageSize = 14; });
    cases.push_back(
        {"universal, sealed", craft::Fat({little[0], little[1]}), valid, renew, renew, false, true});

    const std::string signedPlist = craft::Shape().infoPlist,
                      patched = Patched("<plist><dict></dict></plist>");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<std::string_view> seal =
            c.sealed ? std::optional<std::string_view>("<plist/>") : std::nullopt;
        EXPECT_EQ(Judge({c.bytes, signedPlist, seal}), c.verdict);
        for (const auto& [allowDeveloper, said] : {std::pair{false, c.plain}, std::pair{true, c.resign}}) {
            const macho::BundleFiles files{c.bytes, patched, seal};
            const std::string executable = ExpectRun(
                files, {c.inside ? std::function<bool()>([] { return true; }) : nullptr, allowDeveloper},
                said);
            if (said != renew) continue;
            const std::vector<macho::Slice> old = *macho::ReadMachO(c.bytes),
                                            now = *macho::ReadMachO(executable);
            for (std::size_t i = 0; i < old.size(); ++i)
                for (std::size_t n = 0; n < old[i].signature->codeDirectories.size(); ++n)
                    EXPECT_EQ(now[i].signature->codeDirectories[n].identifier,
                              old[i].signature->codeDirectories[n].identifier);
        }
    }
}

// Signing from scratch, over code as Linux linkers leave it: the linker's signature grown, none added,
// universal files laid out again; the code's bytes unchanged and a second signing a no-op.
TEST(MachoSigning, FromScratchInEveryLayout)
{
    using linked::Code;
    struct Case {
        const char* name;
        std::vector<Code> slices;
        bool sha1 = false;
        const char* error = nullptr;
    };
    const Code unsigned64 = linked::Make("x86_64", "-no_adhoc_codesign");
    const std::vector<Case> cases = {
        {"arm64, linker-signed", {Code{}}},
        {"x86_64, linker-signed", {linked::Make("x86_64")}},
        {"arm64, unsigned", {linked::Make("arm64", "-no_adhoc_codesign")}},
        {"x86_64 for macOS 10.9, unsigned", {linked::Make("x86_64", "-no_adhoc_codesign", "10.9")}, true},
        {"arm64 library", {linked::Make("arm64", "-adhoc_codesign", "11.0", "-dylib")}},
        {"universal, arm64 linker-signed and x86_64 unsigned", {Code{}, unsigned64}},
        {"universal, both linker-signed", {Code{}, linked::Make("x86_64")}},
        {"no room for the load command",
         {linked::Make("x86_64", "-no_adhoc_codesign -headerpad 0")},
         false,
         "no room in the header for a signature load command"},
    };
    if (!linked::HaveTools()) GTEST_SKIP() << linked::Skipped(cases.size() + 1);
    const std::string info = "<plist><dict/></plist>\n";
    {
        // A universal header the kernel does not read: signing cannot mend it, so it signs nothing.
        TempFolder folder;
        const std::string wide = craft::Fat({linked::Link(folder.Path(), Code{}, "w")}, true);
        const macho::Result<macho::SignedCode> refused =
            macho::SignAdHoc(wide, {"org.example.linked", info, {}});
        ASSERT_FALSE(refused);
        EXPECT_STREQ(macho::Describe(refused.error().kind), "a layout macOS refuses in signed code");
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        std::vector<std::string> thin;
        for (const Code& code : c.slices)
            thin.push_back(linked::Link(folder.Path(), code, "s" + std::to_string(thin.size())));
        const std::string file = thin.size() == 1 ? thin.front() : linked::Lipo(folder.Path(), thin);
        ASSERT_FALSE(file.empty());
        // Signed from the file's own pages, mapped as a stable file is, the new file is the same.
        const auto signBothWays = [&](std::string_view bytes) {
            macho::Result<macho::SignedCode> inMemory =
                macho::SignAdHoc(bytes, {"org.example.linked", info, {}});
            const fs::path path = folder.Path() / "mapped";
            fixtures::WriteBytes(path, std::string(bytes));
            UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            byteorder::LargeBytes mapped = byteorder::LargeBytes::Zeros(bytes.size());
            EXPECT_TRUE(mapped.MapFile(0, fd.Get(), 0, bytes.size()));
            const macho::Result<macho::SignedCode> fromFile =
                macho::SignAdHoc(mapped, {"org.example.linked", info, {}}, fd.Get());
            EXPECT_EQ(bool(fromFile), bool(inMemory));
            if (fromFile && inMemory) {
                EXPECT_TRUE(fromFile->bytes == inMemory->bytes);
            }
            return inMemory;
        };
        const macho::Result<macho::SignedCode> result = signBothWays(file);
        if (c.error) {
            ASSERT_FALSE(result);
            EXPECT_STREQ(macho::Describe(result.error().kind), c.error);
            continue;
        }
        ASSERT_TRUE(result) << macho::Describe(result.error().kind);
        const macho::Result<macho::Verdict> verdict = macho::Verify({result->bytes, info, std::nullopt});
        ASSERT_TRUE(verdict);
        EXPECT_EQ(macho::Describe(*verdict), "signature valid (ad hoc)");
        EXPECT_EQ(result->sha1, c.sha1);
        const macho::Result<macho::SignedCode> again = signBothWays(result->bytes);
        ASSERT_TRUE(again);
        EXPECT_TRUE(again->bytes == result->bytes);

        const std::vector<macho::Slice> before = *macho::ReadMachO(file),
                                        after = *macho::ReadMachO(result->bytes);
        for (std::size_t i = 0; i < after.size(); ++i) {
            const macho::SliceLayout old = *macho::ReadLayout(before[i].bytes, 0);
            const macho::SliceLayout now = *macho::ReadLayout(after[i].bytes, 0);
            const std::size_t commandsEnd = now.headerSize + now.sizeofcmds;
            const std::size_t codeEnd = old.signatureCommand ? old.dataOffset : before[i].bytes.size();
            EXPECT_TRUE(after[i].bytes.substr(commandsEnd, codeEnd - commandsEnd) ==
                        before[i].bytes.substr(commandsEnd, codeEnd - commandsEnd));
            EXPECT_EQ(now.ncmds, old.ncmds + (old.signatureCommand ? 0 : 1));
            EXPECT_EQ(now.dataOffset % 16, 0u);
            EXPECT_EQ(now.dataOffset + now.dataSize, after[i].bytes.size());
            EXPECT_EQ(now.linkeditOffset + now.linkeditSize, after[i].bytes.size());
            EXPECT_EQ(now.linkeditVmSize, (now.linkeditSize + 0x3fff) & ~std::uint64_t(0x3fff));
            const macho::CodeDirectory& primary = after[i].signature->codeDirectories.front();
            EXPECT_EQ(primary.identifier, "org.example.linked");
            EXPECT_EQ(primary.flags, std::uint32_t(macho::kAdhoc));
            EXPECT_EQ(after[i].signature->codeDirectories.size(), c.sha1 ? 2u : 1u);
        }
        if (const std::optional<macho::FatHeader> fat = macho::ReadFatHeader(result->bytes)) {
            for (const macho::FatEntry& entry : fat->entries) {
                EXPECT_EQ(entry.offset % 0x4000, 0u);
                EXPECT_EQ(entry.align, 14u);
            }
            EXPECT_EQ(fat->entries.back().offset + fat->entries.back().size, result->bytes.size());
        }
    }
}

// What an old signature that was not the linker's hands on: hardened runtime and its version, and the
// entitlements; the linker's hands on nothing.
TEST(MachoSigning, KeepsRuntimeAndEntitlementsOnly)
{
    const std::string entitlements =
        "<plist><dict><key>com.apple.security.cs.allow-jit</key><true/></dict></plist>";
    for (const bool linker : {false, true}) {
        SCOPED_TRACE(linker ? "linker" : "developer");
        const craft::Built built = Crafted([&](craft::Shape& shape) {
            shape.codeDirectories.front().version = 0x20500;
            shape.codeDirectories.front().flags = linker ? 0x20002u : 0x10000u;
            shape.entitlements = entitlements;
            shape.wrapper = linker ? craft::Wrapper::None : craft::Wrapper::Developer;
        });
        const macho::Result<macho::SignedCode> result =
            macho::SignAdHoc(built.bytes, {"org.example.tool", {}, {}});
        ASSERT_TRUE(result);
        EXPECT_FALSE(result->grown);
        const macho::Slice slice = FirstSlice(result->bytes);
        const macho::CodeDirectory& cd = slice.signature->codeDirectories.front();
        EXPECT_EQ(cd.flags, linker ? 0x2u : 0x10002u);
        EXPECT_EQ(cd.version, linker ? 0x20100u : 0x20500u);
        EXPECT_EQ(slice.signature->Find(macho::kEntitlementsSlot) != nullptr, !linker);
        EXPECT_EQ(Judge({result->bytes, std::nullopt, std::nullopt}),
                  "signature does not bind Info.plist (ad hoc)");
    }
    for (const auto& [name, identifier] : {std::pair{"libssl.1.1.dylib", "libssl.1"},
                                           {"helper", "helper"},
                                           {"Foo.bundle", "Foo"},
                                           {"tool.2", "tool.2"}})
        EXPECT_EQ(macho::IdentifierForFile(name), identifier);
}
