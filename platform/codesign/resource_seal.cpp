// SPDX-License-Identifier: MIT
#include "resource_seal.h"

#include "seal_pattern.h"

#include "platform/files/open_limits.h"
#include "platform/files/temporary_file.h"
#include "platform/macho/digest.h"
#include "platform/macho/macho.h"
#include "platform/plist/plist.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace {

struct Rule {
    SealPattern pattern;
    double weight = 1;
    bool omit = false;
    bool optional = false;
};

// What the list records of one path.
struct Entry {
    std::optional<std::string> hash;  // SHA-256 for files2, SHA-1 for files
    std::optional<std::string> symlink;
    std::optional<std::string> cdhash;  // nested code: its main executable's
    bool optional = false;
    bool seen = false;
};

struct Seal {
    std::map<std::string, Entry> entries;
    std::vector<Rule> rules;  // by falling weight
    std::uint8_t hashType = macho::kSha256;
};

// Which files are sealed where the list names no rules.
constexpr struct {
    const char* pattern;
    double weight;
    bool omit;
    bool optional;
} kDefaultRules[] = {
    {"^.*", 1, false, false},
    {"^[^/]+$", 10, false, false},
    {"^(Frameworks|SharedFrameworks|PlugIns|Plug-ins|XPCServices|Helpers|MacOS|Library/"
     "(Automator|Spotlight|LoginItems))/",
     10, false, false},
    {".*\\.dSYM($|/)", 11, false, false},
    {"^(.*/)?\\.DS_Store$", 2000, true, false},
    {"^Info\\.plist$", 20, true, false},
    {"^version\\.plist$", 20, false, false},
    {"^embedded\\.provisionprofile$", 20, false, false},
    {"^PkgInfo$", 20, true, false},
    {"^Resources/", 20, false, false},
    {"^Resources/.*\\.lproj/", 1000, false, true},
    {"^Resources/Base\\.lproj/", 1010, false, false},
    {"^Resources/.*\\.lproj/locversion.plist$", 1100, true, false},
};

bool Flag(const CFDictionaryZorp& dictionary, std::string_view key)
{
    const CFObjectZorp* value = dictionary.Find(key);
    return value && value->Kind() == CFKind::Boolean && static_cast<const CFBooleanZorp&>(*value).Value();
}

std::optional<double> Number(const CFObjectZorp* value)
{
    if (!value) return std::nullopt;
    if (value->Kind() == CFKind::Integer) return double(static_cast<const CFIntegerZorp&>(*value).AsSigned());
    if (value->Kind() == CFKind::Real) return static_cast<const CFRealZorp&>(*value).Value();
    return std::nullopt;
}

std::optional<std::string> Bytes(const CFObjectZorp* value)
{
    if (!value || value->Kind() != CFKind::Data) return std::nullopt;
    return std::string(static_cast<const CFBinaryDataZorp&>(*value).Bytes());
}

// False for a rule the list states in a form it may not have, or a pattern too large to match.
bool ReadRules(const CFDictionaryZorp* rules, std::vector<Rule>& out)
{
    if (!rules) {
        for (const auto& rule : kDefaultRules)
            out.push_back({*SealPattern::Compile(rule.pattern), rule.weight, rule.omit, rule.optional});
    } else {
        std::size_t states = 0;
        for (const CFDictionaryZorp::Entry& entry : rules->Entries()) {
            if (entry.key->Kind() != CFKind::String) return false;
            std::optional<SealPattern> pattern =
                SealPattern::Compile(static_cast<const CFStringZorp&>(*entry.key).Text());
            if (!pattern || (states += pattern->States()) > kMaxSealedStates) return false;
            Rule rule{std::move(*pattern)};
            if (entry.value->Kind() == CFKind::Dictionary) {
                const auto& options = static_cast<const CFDictionaryZorp&>(*entry.value);
                rule.weight = Number(options.Find("weight")).value_or(1);
                rule.omit = Flag(options, "omit");
                rule.optional = Flag(options, "optional");
            } else if (entry.value->Kind() != CFKind::Boolean) {
                return false;
            }
            out.push_back(std::move(rule));
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Rule& a, const Rule& b) { return a.weight > b.weight; });
    return true;
}

bool ReadEntry(const CFObjectZorp& value, bool legacy, Entry& entry)
{
    if (legacy && value.Kind() == CFKind::Data) {
        entry.hash = Bytes(&value);
        return true;
    }
    if (value.Kind() != CFKind::Dictionary) return false;
    const auto& fields = static_cast<const CFDictionaryZorp&>(value);
    entry.optional = Flag(fields, "optional");
    entry.hash = Bytes(fields.Find(legacy ? "hash" : "hash2"));
    entry.cdhash = Bytes(fields.Find("cdhash"));
    if (const CFObjectZorp* target = fields.Find("symlink"); target && target->Kind() == CFKind::String)
        entry.symlink = std::string(static_cast<const CFStringZorp&>(*target).Text());
    return entry.hash || entry.cdhash || entry.symlink;
}

// Current systems check files2 with rules2; a list without them has only the SHA-1 files and rules.
std::optional<Seal> ReadSeal(std::string_view bytes)
{
    CFDictionaryZorpRef root = plist::AsDictionary(plist::Parse(bytes).root);
    if (!root) return std::nullopt;
    const bool legacy = !root->Find("files2");
    const CFObjectZorp* files = root->Find(legacy ? "files" : "files2");
    const CFObjectZorp* rules = root->Find(legacy ? "rules" : "rules2");
    if (!files || files->Kind() != CFKind::Dictionary) return std::nullopt;
    if (rules && rules->Kind() != CFKind::Dictionary) return std::nullopt;
    Seal seal;
    seal.hashType = legacy ? macho::kSha1 : macho::kSha256;
    if (!ReadRules(static_cast<const CFDictionaryZorp*>(rules), seal.rules)) return std::nullopt;
    for (const CFDictionaryZorp::Entry& item : static_cast<const CFDictionaryZorp&>(*files).Entries()) {
        Entry entry;
        if (item.key->Kind() != CFKind::String || !ReadEntry(*item.value, legacy, entry)) return std::nullopt;
        seal.entries.emplace(std::string(static_cast<const CFStringZorp&>(*item.key).Text()),
                             std::move(entry));
    }
    return seal;
}

class Walk {
    using Kind = OpenFolder::Kind;

public:
    Walk(Seal& seal, std::string executable, bool passOverLeftovers)
        : mSeal(seal), mExecutable(std::move(executable)), mPassOverLeftovers(passOverLeftovers)
    {
    }

    // False as soon as a file differs from the seal, or cannot be looked at (Unchecked then says
    // why).
    bool Folder(const OpenFolder& folder, const std::string& prefix, std::size_t depth)
    {
        if (depth > kMaxSealedDepth || mItems + 1 > kMaxSealedItems) return Unchecked();
        const std::optional<std::vector<std::string>> names = folder.Names(kMaxSealedItems - mItems);
        if (!names) return errno == E2BIG ? Unchecked() : Unreadable(errno);
        for (const std::string& name : *names) {
            ++mItems;
            const std::string path = prefix + name;
            if (path.size() > kMaxSealedPath) return Unchecked();
            if (prefix.empty() &&
                (name == "_CodeSignature" || name == "CodeResources" || name == "_MASReceipt"))
                continue;
            if (path == mExecutable) continue;
            if (mPassOverLeftovers && (prefix.empty() || prefix == "MacOS/") && IsTemporaryName(name))
                continue;
            if (!Item(folder, name, path, depth)) return false;
        }
        return true;
    }

private:
    bool Item(const OpenFolder& folder, const std::string& name, const std::string& path, std::size_t depth)
    {
        const std::optional<Kind> kind = folder.KindOf(name);
        if (!kind) return false;
        const auto listed = mSeal.entries.find(path);
        if (listed != mSeal.entries.end()) {
            listed->second.seen = true;
            return Matches(listed->second, folder, name, *kind);
        }
        // A folder is sealed through the files it holds.
        if (kind == Kind::Folder) return Folder(folder.Child(name), path + "/", depth + 1);
        bool costly = false;
        const Rule* rule = RuleFor(path, costly);
        if (costly) return Unchecked();
        return !rule || rule->omit;
    }

    // Each path may cost the rules at most kMaxMatchSteps, and the whole walk kMaxSealSteps.
    const Rule* RuleFor(const std::string& path, bool& costly)
    {
        std::size_t budget = std::min(kMaxMatchSteps, mBudget);
        const std::size_t before = budget;
        const Rule* found = nullptr;
        for (const Rule& rule : mSeal.rules) {
            const SealPattern::Match match = rule.pattern.Search(path, budget);
            if (match == SealPattern::Match::TooCostly) costly = true;
            if (match != SealPattern::Match::No) {
                found = &rule;
                break;
            }
        }
        mBudget -= before - budget;
        return costly ? nullptr : found;
    }

public:
    const std::string& Reason() const { return mReason; }

private:
    bool Unchecked(std::string reason = "resources cannot be checked")
    {
        mReason = std::move(reason);
        return false;
    }
    // A file that cannot be read proves nothing either way.
    bool Unreadable(int error)
    {
        return Unchecked(std::string("resources cannot be read (") + std::strerror(error) + ")");
    }

    bool Matches(const Entry& entry, const OpenFolder& folder, const std::string& name, Kind kind)
    {
        if (entry.cdhash) return NestedCodeMatches(*entry.cdhash, folder, name, kind);
        if (entry.symlink) return kind == Kind::Link && folder.LinkTarget(name) == entry.symlink;
        if (kind != Kind::File) return false;
        const std::optional<std::string> hash = HashOf(folder, name);
        return hash ? hash == entry.hash : false;
    }

    // A file: the folder that holds it and its name there.
    struct Place {
        OpenFolder folder;
        std::string name;
    };

    // The seal records the cdhash of one of the nested code's CodeDirectories, in one of its slices.
    bool NestedCodeMatches(const std::string& cdhash, const OpenFolder& folder, const std::string& name,
                           Kind kind)
    {
        if (kind != Kind::Folder && kind != Kind::File) return false;
        const std::optional<Place> executable =
            kind == Kind::File ? Place{folder, name} : NestedExecutable(folder.Child(name));
        // A bundle of a layout not known here is only looked for.
        if (!executable) return true;
        // Read once, in pieces, and only as far as the first piece when that is no Mach-O file.
        std::string bytes;
        bool notCode = false;
        const auto add = [&](std::string_view piece) {
            if (bytes.empty() && !LooksLikeMachO(piece)) {
                notCode = true;
                errno = ENOEXEC;
                return false;
            }
            bytes.append(piece);
            return true;
        };
        if (!executable->folder.ReadPieces(executable->name, add, kMaxExecutableLength))
            return notCode ? false : ReadFailed(errno);
        const macho::Result<std::vector<macho::Slice>> slices = macho::ReadMachO(bytes);
        if (!slices) return false;
        for (const macho::Slice& slice : *slices)
            if (slice.signature)
                for (const macho::CodeDirectory& cd : slice.signature->codeDirectories)
                    if (macho::CdHash(cd) == cdhash) return true;
        return false;
    }

    // An application-style bundle's Contents/MacOS/<CFBundleExecutable>, or a framework's
    // Versions/<Current>/<CFBundleExecutable>; nothing for another layout.
    static std::optional<Place> NestedExecutable(const OpenFolder& bundle)
    {
        if (bundle.KindOf("Contents") == Kind::Folder) {
            const OpenFolder contents = bundle.Child("Contents");
            std::string name = ExecutableIn(contents, "Info.plist");
            if (!OpenFolder::IsName(name)) return std::nullopt;
            return Place{contents.Child("MacOS"), std::move(name)};
        }
        const OpenFolder versions = bundle.Child("Versions");
        const std::optional<std::string> target = versions.LinkTarget("Current");
        if (!target || !OpenFolder::IsName(*target) || versions.KindOf(*target) != Kind::Folder)
            return std::nullopt;
        const OpenFolder version = versions.Child(*target);
        std::string name = ExecutableIn(version.Child("Resources"), "Info.plist");
        if (!OpenFolder::IsName(name)) return std::nullopt;
        return Place{version, std::move(name)};
    }

    static std::string ExecutableIn(const OpenFolder& folder, const std::string& list)
    {
        FileRewrite read;
        if (folder.ReadWhole(list, kMaxOpenLength, read)) return "";
        CFDictionaryZorpRef root = plist::AsDictionary(plist::Parse(read.bytes).root);
        const CFObjectZorp* name = root ? root->Find("CFBundleExecutable") : nullptr;
        return name && name->Kind() == CFKind::String
                   ? std::string(static_cast<const CFStringZorp&>(*name).Text())
                   : "";
    }

    static bool LooksLikeMachO(std::string_view piece)
    {
        static const std::uint32_t kMagics[] = {0xfeedface, 0xfeedfacf, 0xcefaedfe, 0xcffaedfe,
                                                0xcafebabe, 0xcafebabf, 0xbebafeca, 0xbfbafeca};
        if (piece.size() < 4) return false;
        const std::uint32_t magic = std::uint32_t(std::uint8_t(piece[0])) << 24 |
                                    std::uint32_t(std::uint8_t(piece[1])) << 16 |
                                    std::uint32_t(std::uint8_t(piece[2])) << 8 | std::uint8_t(piece[3]);
        return std::find(std::begin(kMagics), std::end(kMagics), magic) != std::end(kMagics);
    }

    // What a failed read of a sealed file means: one that is not a regular file (a link, a FIFO)
    // is not the file sealed; one too large or unreadable cannot be checked.
    bool ReadFailed(int error)
    {
        if (error == ELOOP || error == EINVAL || error == ENOENT || error == ENXIO) return false;
        if (error == EFBIG) return Unchecked();
        return Unreadable(error);
    }

    // Read in pieces: a sealed resource may be far larger than anything worth holding whole, and
    // none larger than an executable may be is hashed.
    std::optional<std::string> HashOf(const OpenFolder& folder, const std::string& name)
    {
        mHasher.Begin();
        const auto add = [&](std::string_view piece) {
            mHasher.Add(piece);
            return true;
        };
        if (!folder.ReadPieces(name, add, kMaxExecutableLength)) {
            ReadFailed(errno);
            return std::nullopt;
        }
        return mHasher.Finish();
    }

    Seal& mSeal;
    const std::string mExecutable;
    const bool mPassOverLeftovers;
    std::size_t mItems = 0;
    std::size_t mBudget = kMaxSealSteps;
    std::string mReason;
    macho::Hasher mHasher{mSeal.hashType};  // one seal, one kind of hash
};

}  // namespace

SealCheck CheckSeal(const OpenFolder& contents, std::string_view codeResources, const std::string& executable,
                    bool framework, bool passOverLeftovers)
{
    std::optional<Seal> seal = ReadSeal(codeResources);
    if (!seal) return {SealCheck::Status::Unchecked, "resources cannot be checked"};
    Walk walk(*seal, framework ? executable : "MacOS/" + executable, passOverLeftovers);
    if (!walk.Folder(contents, "", 0))
        return walk.Reason().empty() ? SealCheck{SealCheck::Status::Changed, {}}
                                     : SealCheck{SealCheck::Status::Unchecked, walk.Reason()};
    const bool complete = std::all_of(seal->entries.begin(), seal->entries.end(), [](const auto& entry) {
        return entry.second.seen || entry.second.optional;
    });
    return {complete ? SealCheck::Status::Holds : SealCheck::Status::Changed, {}};
}
