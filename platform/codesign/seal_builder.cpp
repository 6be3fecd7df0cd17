// SPDX-License-Identifier: MIT
#include "seal_builder.h"

#include "platform/plist/plist.h"

#include <array>
#include <memory>

namespace codesign {

namespace {

constexpr std::array<std::string_view, 10> kNestedPlaces = {
    "Frameworks/",
    "SharedFrameworks/",
    "PlugIns/",
    "Plug-ins/",
    "XPCServices/",
    "Helpers/",
    "MacOS/",
    "Library/Automator/",
    "Library/Spotlight/",
    "Library/LoginItems/",
};

struct Rule {
    const char* pattern;
    double weight;  // 0: none written
    bool omit, optional, nested;
};

// The default rules as Apple's signer writes them; the legacy set first.
constexpr std::array<Rule, 5> kLegacyRules = {{
    {"^version.plist$", 0, false, false, false},
    {"^Resources/", 0, false, false, false},
    {"^Resources/.*\\.lproj/", 1000, false, true, false},
    {"^Resources/Base\\.lproj/", 1010, false, false, false},
    {"^Resources/.*\\.lproj/locversion.plist$", 1100, true, false, false},
}};
constexpr std::array<Rule, 13> kRules2 = {{
    {"^.*", 0, false, false, false},
    {"^[^/]+$", 10, false, false, true},
    {"^(Frameworks|SharedFrameworks|PlugIns|Plug-ins|XPCServices|Helpers|MacOS|Library/"
     "(Automator|Spotlight|LoginItems))/",
     10, false, false, true},
    {".*\\.dSYM($|/)", 11, false, false, false},
    {"^(.*/)?\\.DS_Store$", 2000, true, false, false},
    {"^Info\\.plist$", 20, true, false, false},
    {"^version\\.plist$", 20, false, false, false},
    {"^embedded\\.provisionprofile$", 20, false, false, false},
    {"^PkgInfo$", 20, true, false, false},
    {"^Resources/", 20, false, false, false},
    {"^Resources/.*\\.lproj/", 1000, false, true, false},
    {"^Resources/Base\\.lproj/", 1010, false, false, false},
    {"^Resources/.*\\.lproj/locversion.plist$", 1100, true, false, false},
}};

bool IsDsym(std::string_view path)
{
    for (std::size_t at = path.find(".dSYM"); at != std::string_view::npos; at = path.find(".dSYM", at + 1))
        if (at + 5 == path.size() || path[at + 5] == '/') return true;
    return false;
}

bool InLproj(std::string_view path)
{
    return path.starts_with("Resources/") && path.find(".lproj/", 10) != std::string_view::npos;
}

// `^Resources/.*\.lproj/locversion.plist$`, whose unescaped dot takes any byte.
bool IsLocversion(std::string_view path)
{
    constexpr std::string_view kTail = ".lproj/locversion";
    if (!path.starts_with("Resources/") || path.size() < 10 + kTail.size() + 6) return false;
    if (!path.ends_with("plist")) return false;
    const std::string_view head = path.substr(0, path.size() - 6);
    return head.ends_with(kTail) && head.size() - kTail.size() >= 10;
}

// The weight of each rule that matches, as the default rules2 state them.
struct Match {
    double weight = 0;
    Placement placement;
};
void Consider(Match& best, bool matches, double weight, Placement::Role role, bool optional = false)
{
    if (matches && weight > best.weight) best = {weight, {role, optional, false}};
}

CFObjectZorpRef Text(std::string_view text)
{
    return plist::NewStringZorp(text);
}
CFObjectZorpRef Data(std::string_view bytes)
{
    return plist::NewBinaryDataZorp(bytes);
}
CFObjectZorpRef True()
{
    return std::make_shared<CFBooleanZorp>(true);
}

CFObjectZorpRef RuleValue(const Rule& rule)
{
    if (rule.weight == 0) return True();
    auto value = std::make_shared<CFMutableDictionaryZorp>();
    if (rule.omit) value->Set(Text("omit"), True());
    if (rule.optional) value->Set(Text("optional"), True());
    if (rule.nested) value->Set(Text("nested"), True());
    value->Set(Text("weight"), std::make_shared<CFRealZorp>(rule.weight));
    return value;
}

template <std::size_t N>
CFObjectZorpRef Rules(const std::array<Rule, N>& rules)
{
    auto out = std::make_shared<CFMutableDictionaryZorp>();
    for (const Rule& rule : rules) out->Set(Text(rule.pattern), RuleValue(rule));
    return out;
}

bool ValidUtf8(std::string_view text)
{
    return plist::WithInvalidUTF8Replaced(text) == text;
}

}  // namespace

Placement Place(std::string_view path)
{
    using Role = Placement::Role;
    Match best{1, {Role::Sealed, false, false}};  // ^.*
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    Consider(best, slash == std::string_view::npos, 10, Role::Nested);
    for (std::string_view place : kNestedPlaces) Consider(best, path.starts_with(place), 10, Role::Nested);
    Consider(best, IsDsym(path), 11, Role::Sealed);
    Consider(best, name == ".DS_Store", 2000, Role::Omitted);
    Consider(best, path == "Info.plist", 20, Role::Omitted);
    Consider(best, path == "version.plist", 20, Role::Sealed);
    Consider(best, path == "embedded.provisionprofile", 20, Role::Sealed);
    Consider(best, path == "PkgInfo", 20, Role::Omitted);
    Consider(best, path.starts_with("Resources/"), 20, Role::Sealed);
    Consider(best, InLproj(path), 1000, Role::Sealed, true);
    Consider(best, path.starts_with("Resources/Base.lproj/"), 1010, Role::Sealed);
    Consider(best, IsLocversion(path), 1100, Role::Omitted);
    Placement placement = best.placement;
    // The legacy rules: version.plist and Resources/, less locversion.plist.
    placement.legacy = path == "version.plist" || (path.starts_with("Resources/") && !IsLocversion(path));
    return placement;
}

NestedCode NestedCodeAt(std::string_view path, bool folder)
{
    if (Place(path).role != Placement::Role::Nested) return NestedCode::None;
    if (!folder) return NestedCode::Loose;
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return name.find('.') != std::string_view::npos ? NestedCode::Bundle : NestedCode::None;
}

bool Excluded(std::string_view topName)
{
    return topName == "_CodeSignature" || topName == "CodeResources" || topName == "_MASReceipt";
}

std::optional<std::string> WriteSeal(const std::vector<SealEntry>& entries, bool sha1)
{
    auto files = std::make_shared<CFMutableDictionaryZorp>();
    auto files2 = std::make_shared<CFMutableDictionaryZorp>();
    for (const SealEntry& entry : entries) {
        if (!ValidUtf8(entry.path) || !ValidUtf8(entry.target) || !ValidUtf8(entry.requirement))
            return std::nullopt;
        auto value = std::make_shared<CFMutableDictionaryZorp>();
        switch (entry.kind) {
        case SealEntry::Kind::File:
            if (sha1) value->Set(Text("hash"), Data(entry.sha1));
            value->Set(Text("hash2"), Data(entry.sha256));
            if (Place(entry.path).legacy) {
                if (entry.optional) {
                    auto legacy = std::make_shared<CFMutableDictionaryZorp>();
                    legacy->Set(Text("hash"), Data(entry.sha1));
                    legacy->Set(Text("optional"), True());
                    files->Set(Text(entry.path), legacy);
                } else {
                    files->Set(Text(entry.path), Data(entry.sha1));
                }
            }
            break;
        case SealEntry::Kind::Link: value->Set(Text("symlink"), Text(entry.target)); break;
        case SealEntry::Kind::Nested:
            value->Set(Text("cdhash"), Data(entry.cdhash));
            value->Set(Text("requirement"), Text(entry.requirement));
            break;
        }
        if (entry.optional) value->Set(Text("optional"), True());
        files2->Set(Text(entry.path), value);
    }
    CFMutableDictionaryZorp root;
    root.Set(Text("files"), files);
    root.Set(Text("files2"), files2);
    root.Set(Text("rules"), Rules(kLegacyRules));
    root.Set(Text("rules2"), Rules(kRules2));
    return plist::WriteXML(root);
}

}  // namespace codesign
