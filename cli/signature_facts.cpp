// SPDX-License-Identifier: MIT
#include "signature_facts.h"

#include "patcher/agent_flag.h"
#include "platform/codesign/bundle_signature.h"
#include "platform/codesign/resource_seal.h"
#include "platform/codesign/seal_builder.h"
#include "platform/files/open_limits.h"

#include "platform/framework/binary_stream.h"
#include "platform/framework/zorp_plugin.h"
#include "platform/macho/digest.h"
#include "platform/macho/macho.h"
#include "platform/macho/verify.h"
#include "platform/plist/cfobject.h"

#include <cerrno>
#include <new>

namespace {

namespace fs = std::filesystem;

SignatureFacts OutOfMemory()
{
    SignatureFacts facts;
    facts.state = SignatureFacts::State::Unreadable;
    facts.text = "signature cannot be read (out of memory)";
    return facts;
}

// Nested code inside nested code: real applications go two or three deep.
constexpr int kMaxNesting = 4;

std::string Arch(std::string_view slice)
{
    if (slice.size() < 12) return "unknown";
    const auto word = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(slice[at + i]);
        return value;
    };
    // Mach-O headers in the signing world are little-endian; a big-endian one is PowerPC's.
    if (word(0) != 0xfeedface && word(0) != 0xfeedfacf) return "ppc";
    const std::uint32_t cpu = word(4), subtype = word(8) & 0xFFFFFF;
    switch (cpu) {
    case 7: return "i386";
    case 0x01000007: return subtype == 8 ? "x86_64h" : "x86_64";
    case 12: return "arm";
    case 0x0100000c: return subtype == 2 ? "arm64e" : "arm64";
    case 0x0200000c: return "arm64_32";
    default: return "cpu " + std::to_string(cpu);
    }
}

SignatureFacts::State StateOf(const macho::Verdict& verdict)
{
    using State = SignatureFacts::State;
    switch (verdict.state) {
    case macho::State::Unsigned: return State::Unsigned;
    case macho::State::NotBound: return State::LinkerOnly;
    case macho::State::Valid: return State::Valid;
    case macho::State::Broken:
        return verdict.breaks == macho::kResourcesUnchecked ? State::Unreadable : State::Broken;
    }
    return State::Unreadable;
}

// A tool has no Info.plist to bind: its code intact is all there is to its signature.
void Judge(const macho::BundleFiles& files, SignatureFacts& facts, bool tool = false)
{
    macho::Result<macho::Verdict> verdict = macho::Verify(files);
    if (tool && verdict && verdict->state == macho::State::NotBound && !verdict->linkerSigned)
        verdict->state = macho::State::Valid;
    if (!verdict && verdict.error().kind == macho::ErrorKind::NotMachO) {
        facts.state = SignatureFacts::State::None;
        facts.text = "not Mach-O code";
        return;
    }
    if (!verdict) {
        facts.state = SignatureFacts::State::Unreadable;
        facts.text = Unreadable(verdict.error());
        return;
    }
    facts.state = StateOf(*verdict);
    facts.text = macho::Describe(*verdict);
    if (verdict->state == macho::State::Broken)
        facts.breaks = macho::DescribeBreaks(verdict->breaks, verdict->signerInvalid);
    if (verdict->signer) {
        facts.signer = verdict->signer->name;
        facts.authority = verdict->signer->authorities;
        facts.appleChain = verdict->signer->appleChain;
    }
    if (verdict->state != macho::State::Unsigned)
        facts.kind = verdict->linkerSigned ? "linker" : verdict->adhoc ? "ad hoc" : "developer";
    facts.team = verdict->teamId;
    ReadSlices(files.executable, facts);
}

std::optional<std::size_t> SealedFiles(std::string_view codeResources)
{
    CFDictionaryZorpRef root = plist::AsDictionary(
        Zorp::NewCFObjectZorpFromXML(Zorp::NewCFBinaryDataZorpStr(std::string(codeResources))));
    if (!root) return std::nullopt;
    const CFObjectZorp* files = root->Find("files2");
    if (!files) files = root->Find("files");
    if (!files || files->Kind() != CFKind::Dictionary) return std::nullopt;
    return static_cast<const CFDictionaryZorp&>(*files).Entries().size();
}

SignatureFacts BundleSignatureAt(const FolderItem& bundle, const std::string& infoPlist,
                                 const std::string& executable, int depth, bool details);

// The bundle holds what it seals: one broken piece inside breaks it for macOS.
void Fold(SignatureFacts& facts)
{
    if (facts.state == SignatureFacts::State::Valid)
        for (const SignatureFacts::Nested& nested : facts.nested)
            if (!nested.valid) {
                facts.state = SignatureFacts::State::Broken;
                facts.breaks = "nested code " + nested.path + ": " + nested.text;
                facts.text = "signature broken: " + facts.breaks;
                break;
            }
}

// The nested code below a sealed root, found by the rule the signer seals it by, each piece judged.
class NestedWalk {
public:
    NestedWalk(SignatureFacts& facts, int depth) : mFacts(facts), mDepth(depth) {}

    // `folder` at `at`, `relative` below the root; `mainExecutable` is the root's own, relative to it.
    void Folder(const OpenFolder& folder, const fs::path& at, const std::string& relative,
                const std::string& mainExecutable, std::size_t level)
    {
        if (level > kMaxSealedDepth) return;
        const std::optional<std::vector<std::string>> names = folder.Names(kMaxSealedItems);
        if (!names) return;
        for (const std::string& name : *names) {
            if (++mItems > kMaxSealedItems) return;
            const std::string path = relative.empty() ? name : relative + "/" + name;
            if ((relative.empty() && codesign::Excluded(name)) || path == mainExecutable ||
                codesign::Place(path).role == codesign::Placement::Role::Omitted)
                continue;
            const std::optional<OpenFolder::Kind> kind = folder.KindOf(name);
            if (!kind || kind == OpenFolder::Kind::Link) continue;
            const bool isFolder = kind == OpenFolder::Kind::Folder;
            const codesign::NestedCode nested = codesign::NestedCodeAt(path, isFolder);
            if (nested == codesign::NestedCode::Bundle)
                Bundle(folder.Child(name), at / name, path);
            else if (nested == codesign::NestedCode::Loose)
                Loose(folder, name, path);
            else if (isFolder)
                Folder(folder.Child(name), at / name, path, mainExecutable, level + 1);
        }
    }

private:
    void Loose(const OpenFolder& folder, const std::string& name, const std::string& path)
    {
        FileRewrite code;
        SignatureFacts inside;
        if (folder.ReadWhole(name, kMaxExecutableLength, code)) {
            mFacts.nested.push_back({path, "cannot be read", false});
            return;
        }
        Judge({code.bytes, std::nullopt, std::nullopt}, inside, true);
        if (inside.state != SignatureFacts::State::None)
            mFacts.nested.push_back({path, inside.text, inside.Valid()});
    }

    // A bundle of Contents/, a framework's current version, or one whose root is its folder.
    void Bundle(const OpenFolder& bundle, const fs::path& at, const std::string& path)
    {
        std::string root = "Contents", list = "Info.plist";
        if (!bundle.Holds("Contents")) {
            const std::optional<std::string> current = bundle.Child("Versions").LinkTarget("Current");
            root = current && OpenFolder::IsName(*current) ? "Versions/" + *current : "";
            list = root.empty() ? "Info.plist" : "Resources/Info.plist";
        }
        const OpenFolder rootFolder = root.empty()         ? bundle
                                      : root == "Contents" ? bundle.Child(root)
                                                           : bundle.Child("Versions").Child(root.substr(9));
        const OpenFolder listFolder = list == "Info.plist" ? rootFolder : rootFolder.Child("Resources");
        // A folder of resources that happens to have a dot in its name holds no list.
        if (!listFolder.Holds("Info.plist")) return;
        mFacts.nested.push_back({path, "Info.plist cannot be read", false});
        FileRewrite listBytes;
        if (listFolder.ReadWhole("Info.plist", kMaxOpenLength, listBytes)) return;
        const std::string executable = BundleExecutable(listBytes.bytes);
        SignatureFacts inside;
        if (root == "Contents") {
            inside = BundleSignatureAt(FolderItem(at), listBytes.bytes, executable, mDepth + 1, false);
        } else {
            inside = RootSignature(rootFolder, at / root, listBytes.bytes, executable);
        }
        mFacts.nested.back().valid = inside.Valid() || inside.state == SignatureFacts::State::None;
        mFacts.nested.back().text = inside.state == SignatureFacts::State::None ? "no code" : inside.text;
        const std::string below = path + "/" + (root.empty() ? "" : root + "/");
        for (SignatureFacts::Nested& deeper : inside.nested) {
            deeper.path = below + deeper.path;
            mFacts.nested.push_back(std::move(deeper));
        }
    }

    // A framework's version, or a bundle whose root is its own folder: the executable beside the seal.
    SignatureFacts RootSignature(const OpenFolder& root, const fs::path& at, const std::string& list,
                                 const std::string& executable)
    {
        SignatureFacts inside;
        FileRewrite code, seal;
        if (!OpenFolder::IsName(executable) || !root.Holds(executable)) return inside;
        if (root.ReadWhole(executable, kMaxExecutableLength, code)) {
            inside.state = SignatureFacts::State::Unreadable, inside.text = "cannot be read";
            return inside;
        }
        macho::BundleFiles files{code.bytes, list, std::nullopt};
        SealCheck check{SealCheck::Status::Holds, {}};
        if (!root.Child("_CodeSignature").ReadWhole("CodeResources", kMaxOpenLength, seal)) {
            files.codeResources = seal.bytes;
            check = CheckSeal(root, seal.bytes, executable, true);
        }
        files.resourcesAsSealed = check.status == SealCheck::Status::Holds;
        files.resourcesUnchecked = check.reason;
        Judge(files, inside);
        if (mDepth + 1 < kMaxNesting) {
            NestedWalk inner(inside, mDepth + 1);
            inner.Folder(root, at, "", executable, 0);
        }
        Fold(inside);
        return inside;
    }

    SignatureFacts& mFacts;
    const int mDepth;
    std::size_t mItems = 0;
};

SignatureFacts BundleSignatureAt(const FolderItem& bundle, const std::string& infoPlist,
                                 const std::string& executable, int depth, bool details)
try {
    SignatureFacts facts;
    FolderItemRef contents = bundle.TrueChild("Contents");
    if (!contents) return facts;
    BundleCode code = ReadBundleCode(bundle.AsFolder(), executable);
    if (code.status == BundleCode::Status::None) {
        facts.text = "no executable";
        return facts;
    }
    if (code.status == BundleCode::Status::Failed) {
        facts.state = SignatureFacts::State::Unreadable;
        facts.text = code.message;
        facts.cause = code.cause;
        return facts;
    }
    facts.files.push_back("Contents/MacOS/" + executable);
    if (code.codeResources && details) facts.sealedFiles = SealedFiles(*code.codeResources);
    Judge(code.Files(infoPlist), facts);
    facts.format =
        "app bundle with Mach-O " + std::string(facts.slices.size() > 1 ? "universal (" : "thin (");
    for (std::size_t i = 0; i < facts.slices.size(); ++i)
        facts.format += (i ? " " : "") + facts.slices[i].arch;
    facts.format += ")";
    if (depth < kMaxNesting) {
        NestedWalk nested(facts, depth);
        nested.Folder(bundle.AsFolder().Child("Contents"), bundle.Path() / "Contents", "",
                      "MacOS/" + executable, 0);
    }
    Fold(facts);
    return facts;
} catch (const std::bad_alloc&) {
    return OutOfMemory();
}

}  // namespace

bool SignatureFacts::Valid() const
{
    return state == State::Valid;
}

void ReadSlices(std::string_view executable, SignatureFacts& facts)
{
    facts.slices.clear();
    macho::Result<std::vector<macho::Slice>> slices = macho::ReadMachO(executable);
    if (!slices) return;
    for (const macho::Slice& slice : *slices) {
        SliceFacts each{Arch(slice.bytes), {}};
        if (slice.signature)
            for (const macho::CodeDirectory& cd : slice.signature->codeDirectories) {
                CodeDirectoryFacts cdFacts;
                cdFacts.version = cd.version, cdFacts.flags = cd.flags;
                cdFacts.specialSlots = cd.nSpecialSlots, cdFacts.codeSlots = cd.nCodeSlots;
                cdFacts.size = static_cast<std::uint32_t>(cd.bytes.size());
                cdFacts.hashType = cd.hashType, cdFacts.pageSizeLog2 = cd.pageSize;
                cdFacts.cdhash = macho::Hex(macho::CdHash(cd));
                const std::string_view infoSlot =
                    cd.nSpecialSlots >= 1 ? cd.SpecialSlot(1) : std::string_view();
                cdFacts.bindsInfoPlist = infoSlot.find_first_not_of('\0') != std::string_view::npos;
                if (facts.identifier.empty()) facts.identifier = cd.identifier;
                if (facts.team.empty() && cd.teamId) facts.team = *cd.teamId;
                each.codeDirectories.push_back(std::move(cdFacts));
            }
        facts.slices.push_back(std::move(each));
    }
}

SignatureFacts BundleSignature(const FolderItem& bundle, const std::string& infoPlist,
                               const std::string& executable, bool details)
{
    return BundleSignatureAt(bundle, infoPlist, executable, 0, details);
}

SignatureFacts ToolSignature(const FolderItem& tool)
try {
    SignatureFacts facts;
    FileError error;
    BinaryStreamRef stream = tool.OpenAsBinaryFile(false, error, FolderItem::kMaxExecutableLength);
    if (!stream) {
        facts.state = SignatureFacts::State::Unreadable;
        facts.text = "cannot be read";
        facts.cause = error;
        return facts;
    }
    const std::string bytes = stream->Read(stream->Length());
    facts.files.push_back("");
    Judge(macho::BundleFiles{bytes, std::nullopt, std::nullopt}, facts, true);
    facts.format = "Mach-O " + std::string(facts.slices.size() > 1 ? "universal (" : "thin (");
    for (std::size_t i = 0; i < facts.slices.size(); ++i)
        facts.format += (i ? " " : "") + facts.slices[i].arch;
    facts.format += ")";
    return facts;
} catch (const std::bad_alloc&) {
    return OutOfMemory();
}
