// SPDX-License-Identifier: MIT
// veilor-patch: the same patcher as the window, for build pipelines and file servers.

#include "json.h"
#include "ordered_work.h"
#include "output.h"
#include "path_list.h"
#include "signature_facts.h"

#include "patcher/agent_check.h"
#include "patcher/messages.h"
#include "patcher/patcher.h"
#include "patcher/write_batch.h"
#include "platform/codesign/bundle_signature.h"
#include "platform/files/in_place_write.h"
#include "platform/framework/folder_item.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/printable.h"
#include "platform/framework/zorp_plugin.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef VEILOR_VERSION
#define VEILOR_VERSION "unknown"
#endif

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kAnswerNo = 3;

constexpr const char* kUsageLine =
    "Usage: veilor-patch [--check | --verify | --sign] [options] [--files-from FILE] [-r] PATH...";

enum class Mode { Patch, Check, Verify };

struct Options {
    Mode mode = Mode::Patch;
    bool strict = false;
    bool resign = false;
    bool sign = false;
    bool allowBroken = false;
    bool dryRun = false;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    unsigned jobs = 0;  // 0: as many as there are cores
    std::string requireTeam;
    bool help = false;
    bool version = false;
    PathSources sources;
    std::string error;
};

bool Jobs(const std::string& text, unsigned& jobs)
{
    unsigned value = 0;
    const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failed != std::errc() || end != text.data() + text.size() || value == 0 || value > 1024) return false;
    jobs = value;
    return true;
}

Options ParseArguments(int argc, char** argv)
{
    Options options;
    bool pathsOnly = false;
    bool check = false, verify = false;
    bool filesFrom = false;
    // An option's value: the next argument, or what follows "=".
    const auto value = [&](int& i, const std::string& argument,
                           const std::string& name) -> std::optional<std::string> {
        if (argument.starts_with(name + "=")) return argument.substr(name.size() + 1);
        if (i + 1 >= argc) return std::nullopt;
        return std::string(argv[++i]);
    };
    for (int i = 1; i < argc && options.error.empty(); ++i) {
        std::string argument = argv[i];
        const auto named = [&](const char* name) {
            return argument == name || argument.starts_with(std::string(name) + "=");
        };
        if (pathsOnly || argument.empty() || argument[0] != '-' || argument == "-") {
            options.sources.arguments.push_back(argument);
        } else if (argument == "--") {
            pathsOnly = true;
        } else if (argument == "--check") {
            check = true;
        } else if (argument == "--verify") {
            verify = true;
        } else if (argument == "--strict") {
            options.strict = true;
        } else if (argument == "--resign") {
            options.resign = true;
        } else if (argument == "--sign") {
            options.sign = true;
        } else if (argument == "--allow-broken-signature") {
            options.allowBroken = true;
        } else if (argument == "--dry-run" || argument == "-n") {
            options.dryRun = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--quiet" || argument == "-q") {
            options.quiet = true;
        } else if (argument == "--verbose" || argument == "-v") {
            options.verbose = true;
        } else if (argument == "--recursive" || argument == "-r") {
            options.sources.recursive = true;
        } else if (argument == "--null" || argument == "-0") {
            options.sources.nulSeparated = true;
        } else if (named("--files-from")) {
            std::optional<std::string> file = value(i, argument, "--files-from");
            if (!file || file->empty())
                options.error = "--files-from needs a file, or - for standard input";
            else
                options.sources.lists.push_back(*file);
            filesFrom = true;
        } else if (named("--jobs") || argument == "-j") {
            std::optional<std::string> count = value(i, argument, argument == "-j" ? "-j" : "--jobs");
            if (!count || !Jobs(*count, options.jobs))
                options.error = "--jobs needs a number of threads from 1 to 1024";
        } else if (named("--require-team")) {
            std::optional<std::string> team = value(i, argument, "--require-team");
            if (!team || team->empty())
                options.error = "--require-team needs a team identifier";
            else
                options.requireTeam = *team;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else {
            options.error = "unknown option '" + argument + "'";
        }
    }
    if (!options.error.empty()) return options;
    options.mode = verify ? Mode::Verify : check ? Mode::Check : Mode::Patch;
    if (!options.help && !options.version && options.sources.arguments.empty() && !filesFrom)
        options.error = "no path given";
    // Options that say how to write cannot go with a mode that writes nothing.
    const bool readOnly = check || verify;
    if (check && verify)
        options.error = "--check and --verify cannot be used together";
    else if (readOnly && options.resign)
        options.error = "--resign writes, and --check or --verify writes nothing";
    else if (readOnly && options.sign)
        options.error = "--sign writes, and --check or --verify writes nothing";
    else if (readOnly && options.allowBroken)
        options.error = "--allow-broken-signature writes, and --check or --verify writes nothing";
    else if (readOnly && options.dryRun)
        options.error = "--check and --verify write nothing already";
    else if (!verify && !options.requireTeam.empty())
        options.error = "--require-team goes with --verify";
    else if (options.quiet && options.verbose)
        options.error = "--quiet and --verbose cannot be used together";
    else if (options.sources.nulSeparated && !filesFrom)
        options.error = "-0 goes with --files-from";
    return options;
}

void PrintHelp()
{
    std::cout << kUsageLine << "\n"
              << "Marks Mac applications as background agents (no menu bar, no Dock icon) by adding\n"
              << "NSUIElement = \"true\" to their property list: Contents/Info.plist of a bundle, or the\n"
              << "'plst' resource of a single-file application (kept in its \"._\" companion file,\n"
              << "under __MACOSX/ as a Mac's zip archive leaves it, or where Samba, netatalk and the\n"
              << "Basilisk II and SheepShaver emulators keep it). A link named as PATH is followed;\n"
              << "nothing inside a bundle is.\n"
              << "\n"
              << "  --check    change nothing; print each path's NSUIElement and LSUIElement values,\n"
              << "             and a bundle's code signature (\"signature valid (ad hoc)\", \"unsigned\",\n"
              << "             \"signature broken: Info.plist changed\", ...). A path passes when either\n"
              << "             value is true (Boolean true, a nonzero number, or \"true\", \"YES\" or\n"
              << "             \"1\" in any case) and its signature is not broken\n"
              << "  --verify   change nothing; judge each path's code signature only, deep (the main\n"
              << "             executable, nested code, every sealed file): \"PATH: valid (ad hoc)\",\n"
              << "             \"PATH: broken: WHAT\", \"PATH: unsigned\", ...; with -v the details\n"
              << "  --require-team TEAM\n"
              << "             with --verify: a path passes only when signed by that team, through a\n"
              << "             certificate chain that ends at Apple's root\n"
              << "  --strict   a path left alone, or a signature left broken, counts as a failure\n"
              << "  --resign   renew a developer's code signature as an ad hoc one, too\n"
              << "  --sign     sign each bundle ad hoc from scratch, deep (nested code first),\n"
              << "             whatever signature it had; implies --resign\n"
              << "  --allow-broken-signature\n"
              << "             patch even where a developer's signature would then no longer match\n"
              << "             (for pipelines that sign again on a Mac afterwards)\n"
              << "  --dry-run, -n\n"
              << "             read, judge and re-sign in memory, and report what would be written\n"
              << "             (\"PATH: would be patched\"); nothing is written\n"
              << "  --json     one JSON object per path on standard output (see the manual page)\n"
              << "  --files-from FILE\n"
              << "             the paths in FILE, one a line (- for standard input), after the others\n"
              << "  -0, --null with --files-from: the paths are separated by NUL bytes\n"
              << "  -r, --recursive\n"
              << "             the applications under each folder given (bundles, not looked into, and\n"
              << "             single-file applications), in name order; links are not followed\n"
              << "  -q, --quiet    print failures only\n"
              << "  -v, --verbose  one line for every path\n"
              << "  -j, --jobs N   threads that read, judge and re-sign (default: one per core)\n"
              << "  --help     show this text\n"
              << "  --version  show the version\n"
              << "  --         end of options: every later argument is a path\n"
              << "\n"
              << "Each failure is one line on standard error, \"PATH: message\". A path that is left\n"
              << "alone gets one note there too: \"PATH: not an application, left alone\" or\n"
              << "\"PATH: property list cannot be read, left alone\". Paths and values are printed\n"
              << "with every control escaped, so that a report is always one line: \\n, \\t, \\x1b,\n"
              << "\\\\ for a backslash, \\xff for a byte that is not UTF-8, and \\u0085, \\u2028, \\u202e\n"
              << "for C1 controls, line separators and bidirectional controls. On a terminal, a run\n"
              << "longer than a second shows its progress on one line of standard error.\n"
              << "\n"
              << "Signed applications: the main executable's code signature records a hash of\n"
              << "Info.plist, so adding the entry breaks it. An ad hoc signature that binds Info.plist\n"
              << "is renewed in the same run: the executable is signed again ad hoc for the new list,\n"
              << "and no byte of its code changes. A developer's signature is renewed only with\n"
              << "--resign; without it the application is left untouched with \"PATH: not patched:\n"
              << "REASON\" (a failure), or, with --allow-broken-signature, patched with its signature\n"
              << "broken and a warning. Re-signing loses what only the developer's signature gives:\n"
              << "notarisation, the developer's identity (privacy permissions and keychain items ask\n"
              << "again), and Gatekeeper's approval of a quarantined download (since macOS 15, one\n"
              << "that Gatekeeper blocks opens with System Settings > Privacy & Security > Open\n"
              << "Anyway; Control-click > Open no longer overrides it). An application that an\n"
              << "ad hoc signature would harm is left untouched, Info.plist included, with \"PATH: not\n"
              << "re-signed: REASON\" (a failure): restricted entitlements, library validation with\n"
              << "other code inside, launch or library constraints, encryption, a platform binary, a\n"
              << "signature by Apple, a signature broken before the patch (\"already broken (WHAT)\":\n"
              << "code, requirements, entitlements, CMS or a CodeDirectory changed, or a rule macOS\n"
              << "applies, such as the code limit, the page size or the universal file's layout), no\n"
              << "room for the new signature, or one that cannot be read. Unsigned executables and\n"
              << "signatures that do not bind Info.plist are never written. After a re-sign inside\n"
              << "another signed bundle, that bundle's seal still records the old signature: it must\n"
              << "be signed again.\n"
              << "\n"
              << "Exit status: 0 when every path went through; 1 when any path failed or was\n"
              << "refused (with --strict: or was left alone, or ends with a broken signature); 2 for a\n"
              << "usage error or a list that cannot be read; 3 when, with nothing failed, a --check\n"
              << "or --verify answers no (a path that is not an agent, or a signature that is not\n"
              << "valid).\n";
}

// A link named on the command line is what the user meant, so it alone is followed. Nothing
// when the path, or what its link leads to, does not exist.
std::optional<std::filesystem::path> Target(const std::string& argument, int& error)
{
    const FolderItem named(argument);
    struct stat info {};
    if (::lstat(named.Path().c_str(), &info) != 0) {
        error = errno;
        return std::nullopt;
    }
    if (!S_ISLNK(info.st_mode)) return named.Path();
    std::error_code resolved;
    std::filesystem::path target = std::filesystem::canonical(named.Path(), resolved);
    if (resolved) {
        error = resolved.value();
        return std::nullopt;
    }
    return target;
}

// Why a path named nothing to work on: missing, or (with its reason) not to be looked at.
RouteOutcome Unreachable(int error)
{
    if (error == ENOENT || error == ENOTDIR) return RouteOutcome::Failure("No such file or folder.");
    return RouteOutcome::Failure("Cannot be looked at.", {FileStep::Open, error});
}

std::string Described(const AgentFlagReading& reading)
{
    std::string found;
    if (reading.nsUIElement) found = "NSUIElement = " + DescribeValue(*reading.nsUIElement);
    if (reading.lsUIElement)
        found +=
            (found.empty() ? "" : ", ") + std::string("LSUIElement = ") + DescribeValue(*reading.lsUIElement);
    return found.empty() ? "no NSUIElement" : found;
}

std::string FailureLine(const std::string& shown, const std::string& message, const FileError& cause)
{
    std::string line = shown + ": " + EscapeControls(message);
    if (cause) line += " (" + EscapeControls(cause.Cause()) + ")";
    return line + "\n";
}

// --- JSON ---------------------------------------------------------------------------------

std::string SignatureJson(const std::optional<SignatureFacts>& facts)
{
    if (!facts || facts->state == SignatureFacts::State::None) return "null";
    using State = SignatureFacts::State;
    static const char* const kStates[] = {"none", "unsigned", "linker-only", "valid", "broken", "unreadable"};
    json::Object object;
    object.Add("state", kStates[static_cast<int>(facts->state)]);
    object.Add("kind", facts->kind);
    object.Add("text", facts->text);
    if (facts->state == State::Broken)
        object.Add("broken", facts->breaks);
    else
        object.AddNull("broken");
    object.Add("identifier", facts->identifier);
    object.Add("team", facts->team);
    std::vector<std::string> slices;
    for (const SliceFacts& slice : facts->slices) {
        json::Object each;
        each.Add("arch", slice.arch);
        if (slice.codeDirectories.empty())
            each.AddNull("cdhash");
        else
            each.Add("cdhash", slice.codeDirectories.front().cdhash);
        slices.push_back(each.Text());
    }
    object.AddRaw("slices", json::Array(slices));
    object.AddRaw("authority", json::StringArray(facts->authority));
    return object.Text();
}

std::string AgentJson(std::optional<bool> before, std::optional<bool> after)
{
    json::Object object;
    before ? object.Add("before", *before) : object.AddNull("before");
    after ? object.Add("after", *after) : object.AddNull("after");
    return object.Text();
}

struct JsonReport {
    JsonReport(std::string path, std::string mode, std::string action)
        : path(std::move(path)), mode(std::move(mode)), action(std::move(action))
    {
    }
    std::string path, mode, action;
    std::optional<std::string> reason, message, cause;
    std::optional<bool> agentBefore, agentAfter;
    std::optional<SignatureFacts> before, after;
    std::vector<std::string> files;
    bool passes = true;

    std::string Line() const
    {
        json::Object object;
        const auto optional = [&](const char* key, const std::optional<std::string>& text) {
            text ? object.Add(key, *text) : object.AddNull(key);
        };
        object.Add("path", path);
        object.Add("mode", mode);
        object.Add("action", action);
        optional("reason", reason);
        optional("message", message);
        optional("cause", cause);
        object.AddRaw("agent", AgentJson(agentBefore, agentAfter));
        json::Object signature;
        signature.AddRaw("before", SignatureJson(before));
        signature.AddRaw("after", SignatureJson(after));
        object.AddRaw("signature", signature.Text());
        object.AddRaw("files", json::StringArray(files));
        object.Add("passes", passes);
        return object.Text() + "\n";
    }
};

// --- one item's report, for the read-only modes ---------------------------------------------

struct ItemReport {
    struct Line {
        bool error;  // standard error, else output
        std::string text;
    };
    std::vector<Line> lines;
    int status = kOk;
    std::string json;

    void Out(std::string text) { lines.push_back({false, std::move(text)}); }
    void Err(std::string text) { lines.push_back({true, std::move(text)}); }
    void Fail(int how)
    {
        if (status != kFailed) status = how;
    }
};

int Worst(int status, int item)
{
    if (status == kFailed || item == kFailed) return kFailed;
    return status == kAnswerNo || item == kAnswerNo ? kAnswerNo : kOk;
}

unsigned JobsFor(const Options& options)
{
    if (options.jobs) return options.jobs;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores ? cores : 1;
}

int RunReadOnly(const Options& options, const std::vector<std::string>& paths, Output& output,
                const std::function<ItemReport(const std::string&)>& one)
{
    int status = kOk;
    RunInOrder<ItemReport>(
        paths.size(), JobsFor(options), [&](std::size_t i) { return one(paths[i]); },
        [&](std::size_t, ItemReport& report) {
            output.ItemDone();
            status = Worst(status, report.status);
            for (const ItemReport::Line& line : report.lines) {
                if (options.json && !line.error) continue;
                if (options.quiet && report.status == kOk) continue;
                line.error ? output.Err(line.text) : output.Out(line.text);
            }
            if (options.json) output.Out(report.json);
        });
    return status;
}

// --- --check --------------------------------------------------------------------------------

// The journals found beside the path's files and ignored as not ours, a line each.
void TellIgnoredJournals(const std::string& shown, ItemReport& report)
{
    for (const IgnoredJournal& journal : TakeIgnoredJournals())
        report.Err(shown + ": a journal that is not ours is ignored: " + EscapeControls(journal.journal) +
                   " beside " + EscapeControls(journal.file) + " (" + journal.why + ")\n");
}

ItemReport CheckOne(const std::string& path)
{
    ItemReport report;
    const std::string shown = EscapeControls(path);
    JsonReport json{path, "check", "checked"};
    int error = 0;
    std::optional<std::filesystem::path> target = Target(path, error);
    if (!target) {
        const RouteOutcome unreachable = Unreachable(error);
        report.Err(FailureLine(shown, unreachable.message, unreachable.cause));
        report.Fail(kFailed);
        json.action = "failed", json.message = unreachable.message;
        if (unreachable.cause) json.cause = unreachable.cause.Cause();
        json.passes = false;
        report.json = json.Line();
        return report;
    }
    AgentFlagReading reading = ReadAgentFlag(std::make_shared<FolderItem>(*target));
    using Status = AgentFlagReading::Status;
    switch (reading.status) {
    case Status::Read: {
        const bool agent = RunsAsAgent(reading);
        json.agentBefore = agent;
        report.Out(shown + ": " + Described(reading) +
                   (!agent && (reading.nsUIElement || reading.lsUIElement) ? ", not an agent\n" : "\n"));
        if (!agent) report.Fail(kAnswerNo);
        // Only a bundle's reading holds its list.
        if (reading.bundleList.empty()) break;
        SignatureFacts facts =
            BundleSignature(FolderItem(*target), reading.bundleList, reading.bundleExecutable);
        if (facts.state == SignatureFacts::State::None) break;
        json.before = facts;
        if (facts.cause) {
            report.Err(FailureLine(shown, facts.text, facts.cause));
            report.Fail(kFailed);
            break;
        }
        report.Out(shown + ": " + EscapeControls(facts.text) + "\n");
        if (facts.state == SignatureFacts::State::Broken || facts.state == SignatureFacts::State::Unreadable)
            report.Fail(kAnswerNo);
        break;
    }
    case Status::NotApplication:
        report.Err(shown + ": not an application (no Contents/Info.plist, not of type APPL).\n");
        report.Fail(kFailed);
        json.action = "left-alone", json.reason = "not an application";
        break;
    case Status::NoDictionary:
        report.Err(shown + ": the property list cannot be read as a dictionary.\n");
        report.Fail(kFailed);
        json.action = "left-alone", json.reason = "property list cannot be read";
        break;
    case Status::Unreadable:
        report.Err(shown + ": " + EscapeControls(reading.message) + "\n");
        report.Fail(kFailed);
        json.action = "failed", json.message = reading.message;
        break;
    }
    TellIgnoredJournals(shown, report);
    json.passes = report.status == kOk;
    report.json = json.Line();
    return report;
}

// --- --verify -------------------------------------------------------------------------------

const char* HashName(std::uint8_t type)
{
    switch (type) {
    case 1: return "sha1";
    case 2: return "sha256";
    case 3: return "sha256-truncated";
    case 4: return "sha384";
    default: return "unknown";
    }
}

std::string FlagNames(std::uint32_t flags)
{
    static const std::pair<std::uint32_t, const char*> kNames[] = {
        {0x1, "host"},           {0x2, "adhoc"},
        {0x100, "hard"},         {0x200, "kill"},
        {0x400, "expires"},      {0x800, "restrict"},
        {0x1000, "enforcement"}, {0x2000, "library-validation"},
        {0x10000, "runtime"},    {0x20000, "linker-signed"}};
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", flags);
    std::string names;
    for (const auto& [bit, name] : kNames)
        if (flags & bit) names += (names.empty() ? "" : ",") + std::string(name);
    return std::string(hex) + "(" + (names.empty() ? "none" : names) + ")";
}

void Details(const SignatureFacts& facts, ItemReport& report)
{
    const auto line = [&](const std::string& text) { report.Out("  " + EscapeControls(text) + "\n"); };
    line("Identifier=" + (facts.identifier.empty() ? "not set" : facts.identifier));
    line("Format=" + facts.format);
    for (const SliceFacts& slice : facts.slices) {
        for (std::size_t i = 0; i < slice.codeDirectories.size(); ++i) {
            const CodeDirectoryFacts& cd = slice.codeDirectories[i];
            char version[16];
            std::snprintf(version, sizeof version, "%x", cd.version);
            line("CodeDirectory[" + slice.arch + (i ? ", alternate" : "") + "] v=" + version +
                 " size=" + std::to_string(cd.size) + " flags=" + FlagNames(cd.flags) +
                 " hashes=" + std::to_string(cd.codeSlots) + "+" + std::to_string(cd.specialSlots) +
                 " hash=" + HashName(cd.hashType) +
                 " page size=" + (cd.pageSizeLog2 ? std::to_string(1ull << (cd.pageSizeLog2 & 63)) : "none"));
        }
        if (!slice.codeDirectories.empty())
            line("CDHash[" + slice.arch + "]=" + slice.codeDirectories.front().cdhash);
    }
    line("TeamIdentifier=" + (facts.team.empty() ? "not set" : facts.team));
    if (facts.authority.empty()) line("Authority=none");
    for (const std::string& authority : facts.authority) line("Authority=" + authority);
    bool bound = !facts.slices.empty();
    for (const SliceFacts& slice : facts.slices)
        bound = bound && !slice.codeDirectories.empty() && slice.codeDirectories.front().bindsInfoPlist;
    line(std::string("Info.plist=") + (bound ? "bound" : "not bound"));
    line("Sealed Resources=" + (facts.sealedFiles ? "files=" + std::to_string(*facts.sealedFiles) : "none"));
    for (const SignatureFacts::Nested& nested : facts.nested)
        line("Nested=" + nested.path + ": " + nested.text);
}

ItemReport VerifyOne(const std::string& path, const Options& options)
{
    ItemReport report;
    const std::string shown = EscapeControls(path);
    JsonReport json{path, "verify", "verified"};
    const auto failed = [&](const std::string& message, const FileError& cause) {
        report.Err(FailureLine(shown, message, cause));
        report.Fail(kFailed);
        json.action = "failed", json.message = message;
        if (cause) json.cause = cause.Cause();
        json.passes = false;
        report.json = json.Line();
        return report;
    };
    int error = 0;
    std::optional<std::filesystem::path> target = Target(path, error);
    if (!target) {
        const RouteOutcome unreachable = Unreachable(error);
        return failed(unreachable.message, unreachable.cause);
    }
    const FolderItem item(*target);
    SignatureFacts facts;
    AgentFlagReading reading = ReadAgentFlag(std::make_shared<FolderItem>(*target));
    using Status = AgentFlagReading::Status;
    if (reading.status == Status::Read && !reading.bundleList.empty()) {
        facts = BundleSignature(item, reading.bundleList, reading.bundleExecutable, options.verbose);
        if (facts.state == SignatureFacts::State::None) facts.state = SignatureFacts::State::Unsigned;
    } else if (reading.status == Status::Read) {
        facts.state = SignatureFacts::State::Unsigned;  // a single-file application: no code signature
    } else if (reading.status == Status::NotApplication && item.LookUpKind() == FolderItem::Kind::File) {
        facts = ToolSignature(item);
        if (facts.cause) return failed(messages::OpenExecutableFailed(item.DisplayName()), facts.cause);
        if (facts.state == SignatureFacts::State::None)
            return failed("not an application, nor Mach-O code", {});
    } else if (reading.status == Status::NotApplication) {
        return failed("not an application (no Contents/Info.plist, not of type APPL).", {});
    } else {
        return failed(reading.status == Status::NoDictionary
                          ? "the property list cannot be read as a dictionary."
                          : reading.message,
                      {});
    }
    if (facts.cause) return failed(facts.text, facts.cause);
    using State = SignatureFacts::State;
    std::string verdict;
    switch (facts.state) {
    case State::Valid: verdict = facts.text.substr(std::string("signature ").size()); break;
    case State::Broken: verdict = "broken: " + facts.breaks; break;
    case State::Unsigned: verdict = "unsigned"; break;
    case State::LinkerOnly: verdict = "not sealed: " + facts.text; break;
    case State::Unreadable:
    case State::None: verdict = facts.text; break;
    }
    bool passes = facts.Valid();
    if (passes && !options.requireTeam.empty()) {
        if (facts.kind != "developer" || facts.team != options.requireTeam) {
            verdict += ", not signed by team " + options.requireTeam;
            passes = false;
        } else if (!facts.appleChain) {
            verdict += ", but not through a certificate chain to Apple's root";
            passes = false;
        }
    }
    if (!passes) report.Fail(kAnswerNo);
    report.Out(shown + ": " + EscapeControls(verdict) + "\n");
    if (options.verbose) Details(facts, report);
    json.before = facts;
    json.passes = passes;
    report.json = json.Line();
    return report;
}

// --- patching -------------------------------------------------------------------------------

// What a worker makes of one path before the commit: the route's outcome, and for --json what
// was there before and what the edit will leave.
struct Prepared {
    std::optional<std::filesystem::path> target;
    int error = 0;
    FolderItemRef item;
    RouteOutcome outcome;
    std::optional<bool> agentBefore;
    std::optional<SignatureFacts> before, after;
    std::vector<std::string> files;
};

std::string PathOfFolder(int fd)
{
    std::error_code failed;
    std::filesystem::path folder =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), failed);
    return failed ? std::string() : folder.string();
}

Prepared Prepare(Patcher& patcher, const std::string& path, bool json)
{
    Prepared prepared;
    prepared.target = Target(path, prepared.error);
    if (!prepared.target) return prepared;
    prepared.item = std::make_shared<FolderItem>(*prepared.target);
    if (json) {
        AgentFlagReading reading = ReadAgentFlag(prepared.item);
        if (reading.status == AgentFlagReading::Status::Read) prepared.agentBefore = RunsAsAgent(reading);
        if (!reading.bundleList.empty())
            prepared.before = BundleSignature(*prepared.item, reading.bundleList, reading.bundleExecutable);
        TakeIgnoredJournals();
    }
    try {
        prepared.outcome = patcher.Route(prepared.item);
    } catch (const NilObjectException&) {
        // The edited list has no XML form (it holds a null, or a key that is not a string).
        prepared.outcome = RouteOutcome::LeftAlone(RouteOutcome::Reason::NoDictionary);
    }
    if (!json || prepared.outcome.kind != RouteOutcome::Kind::Edited) return prepared;
    // Named from the path as given where they lie below it or beside it, so that a report does
    // not depend on where the tree is.
    std::error_code failed;
    const std::filesystem::path real = std::filesystem::canonical(*prepared.target, failed);
    const std::string inside = real.string() + "/", beside = real.parent_path().string() + "/";
    const std::filesystem::path named(path);
    for (const RouteOutcome::Write& write : prepared.outcome.writes) {
        const std::string file = PathOfFolder(write.rewrite.folder.Get()) + "/" + write.rewrite.name;
        if (!failed && file.starts_with(inside))
            prepared.files.push_back((named / file.substr(inside.size())).string());
        else if (!failed && file.starts_with(beside))
            prepared.files.push_back((named.parent_path() / file.substr(beside.size())).string());
        else
            prepared.files.push_back(file);
    }
    using Signature = RouteOutcome::Signature;
    prepared.after = prepared.before;
    if (prepared.after && prepared.outcome.signature == Signature::Resigned) {
        SignatureFacts& after = *prepared.after;
        after.state = SignatureFacts::State::Valid;
        after.kind = "ad hoc", after.text = "signature valid (ad hoc)", after.breaks.clear();
        after.team.clear(), after.authority.clear();
        ReadSlices(prepared.outcome.writes.back().rewrite.Content(), after);
        after.team.clear();
    } else if (prepared.after && prepared.outcome.signature == Signature::Broken) {
        prepared.after->state = SignatureFacts::State::Broken;
        prepared.after->breaks = "Info.plist changed";
        prepared.after->text = "signature broken: Info.plist changed";
    }
    return prepared;
}

// A developer's signature the patch left broken, as --allow-broken-signature allows.
std::string BrokenWarning(const std::string& shown, const std::string& harm, bool dry)
{
    std::string line = shown + ": warning: the developer's code signature " +
                       (dry ? "would no longer match" : "no longer matches") +
                       "; macOS will refuse to open it";
    if (harm.empty()) return line + ". To sign it again ad hoc: veilor-patch --resign " + shown + "\n";
    return line + ", and signing it ad hoc would harm it: " + EscapeControls(harm) + "\n";
}

int Patch(const Options& options, const std::vector<std::string>& paths, Output& output)
{
    using Kind = RouteOutcome::Kind;
    using Signature = RouteOutcome::Signature;
    Patcher patcher;
    patcher.ReplaceDeveloperSignatures(options.resign || options.sign);
    patcher.SignFromScratch(options.sign);
    patcher.AllowBrokenSignatures(options.allowBroken);
    patcher.WriteNothing(options.dryRun);
    if (options.dryRun) SetJournalsFinished(false);
    int status = kOk;
    std::map<std::size_t, Prepared> waiting;  // until the commit that settles them is on disk
    WriteBatch batch(
        [&](std::size_t index, const RouteOutcome& outcome) {
            Prepared prepared = std::move(waiting[index]);
            waiting.erase(index);
            output.ItemDone();
            const std::string shown = EscapeControls(paths[index]);
            JsonReport json{paths[index], options.dryRun ? "dry-run" : "patch", ""};
            json.agentBefore = prepared.agentBefore, json.agentAfter = prepared.agentBefore;
            json.before = prepared.before, json.after = prepared.before;
            std::string line;
            bool failure = false;
            switch (outcome.kind) {
            case Kind::Failed:
                line = FailureLine(shown, outcome.message, outcome.cause);
                failure = true;
                json.action = "failed", json.message = outcome.message;
                if (outcome.cause) json.cause = outcome.cause.Cause();
                break;
            case Kind::Refused:
                line = shown +
                       (outcome.signature == Signature::Broken ? ": not patched: " : ": not re-signed: ") +
                       EscapeControls(outcome.message) + "\n";
                failure = true;
                json.action = "refused", json.reason = outcome.message;
                break;
            case Kind::LeftAlone: {
                const std::string why = outcome.reason == RouteOutcome::Reason::NotApplication
                                            ? "not an application"
                                            : "property list cannot be read";
                line = shown + ": " + why + ", left alone";
                // A plain folder may hold applications: say how to reach them.
                struct stat status {};
                if (outcome.reason == RouteOutcome::Reason::NotApplication && !options.sources.recursive &&
                    prepared.target && ::lstat(prepared.target->c_str(), &status) == 0 &&
                    S_ISDIR(status.st_mode))
                    line += " (a folder: -r finds the applications in it)";
                line += "\n";
                failure = options.strict;
                json.action = "left-alone", json.reason = why;
                break;
            }
            case Kind::Edited:  // a dry run's: nothing was written
            case Kind::Patched: {
                const bool dry = outcome.kind == Kind::Edited;
                json.action = dry ? "would-patch" : "patched";
                json.agentAfter = true;
                json.after = prepared.after;
                json.files = prepared.files;
                if (dry || options.verbose)
                    line = shown + (dry ? ": would be patched" : ": patched") +
                           (outcome.signature == Signature::Resigned ? ", re-signed ad hoc" : "") + "\n";
                if (outcome.signature == Signature::Broken)
                    line += BrokenWarning(shown, outcome.message, dry);
                if (outcome.signature == Signature::Resigned && prepared.target)
                    if (std::optional<std::filesystem::path> outer =
                            EnclosingSignedBundle(*prepared.target)) {
                        const std::string enclosing = EscapeControls(outer->string());
                        line += shown + ": warning: " + (dry ? "would be " : "") + "re-signed inside " +
                                enclosing + ", whose seal still records the old signature: " + enclosing +
                                " must be signed again\n";
                    }
                break;
            }
            case Kind::Unchanged:
                json.action = "unchanged";
                if (options.verbose) line = shown + ": unchanged, an agent already\n";
                if (outcome.signature == Signature::Broken)
                    line += BrokenWarning(shown, outcome.message, false);
                break;
            }
            if (outcome.signature == Signature::Signed &&
                (outcome.kind == Kind::Patched || outcome.kind == Kind::Edited ||
                 outcome.kind == Kind::Unchanged))
                for (std::size_t at = 0; at < outcome.message.size();) {
                    const std::size_t end = std::min(outcome.message.find('\n', at), outcome.message.size());
                    line += shown + ": " + EscapeControls(outcome.message.substr(at, end - at)) + "\n";
                    at = end + 1;
                }
            // A signature left broken fails a strict run.
            if (options.strict && outcome.signature == Signature::Broken &&
                (outcome.kind == Kind::Patched || outcome.kind == Kind::Edited ||
                 outcome.kind == Kind::Unchanged))
                failure = true;
            if (failure) status = kFailed;
            json.passes = !failure;
            if (!line.empty() && (!options.quiet || failure)) output.Err(line);
            if (options.json) output.Out(json.Line());
        },
        options.dryRun);
    RunInOrder<Prepared>(
        paths.size(), JobsFor(options),
        [&](std::size_t i) { return Prepare(patcher, paths[i], options.json); },
        [&](std::size_t index, Prepared& prepared) {
            if (!prepared.target) {
                waiting[index] = std::move(prepared);
                batch.Add(index, nullptr, Unreachable(waiting[index].error));
                return;
            }
            // The same file named twice: its route read it before the first edit went in.
            if (batch.Edited(*prepared.item)) {
                batch.Flush();
                prepared = Prepare(patcher, paths[index], options.json);
            }
            FolderItemRef item = prepared.item;
            RouteOutcome outcome = std::move(prepared.outcome);
            waiting[index] = std::move(prepared);
            batch.Add(index, std::move(item), std::move(outcome));
        });
    batch.Flush();
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    // Each executable is read whole: its buffer freed is the next one's, not pages mapped, faulted
    // in and zeroed afresh for every file.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
    Options options = ParseArguments(argc, argv);
    if (!options.error.empty()) {
        std::cerr << "veilor-patch: " << options.error << "\n" << kUsageLine << "\n";
        return kUsage;
    }
    if (options.help) {
        PrintHelp();
        return kOk;
    }
    if (options.version) {
        std::cout << "veilor-patch " << VEILOR_VERSION << "\n";
        return kOk;
    }
    if (std::string missing = BindZorpPlugin(); !missing.empty()) {
        std::cerr << "veilor-patch: the property-list library lacks \"" << missing << "\"\n";
        return kFailed;
    }
    // Reading a long list is part of the run, its total not yet known.
    Output output(!options.quiet);
    output.Start();
    PathList list = GatherPaths(options.sources);
    if (!list.error.empty()) {
        output.Err("veilor-patch: " + EscapeControls(list.error) + "\n");
        return kUsage;
    }
    output.Total(list.paths.size());
    switch (options.mode) {
    case Mode::Check:
        SetJournalsFinished(false);  // a check writes nothing, not even a journal's undo
        return RunReadOnly(options, list.paths, output, CheckOne);
    case Mode::Verify:
        SetJournalsFinished(false);
        return RunReadOnly(options, list.paths, output,
                           [&](const std::string& path) { return VerifyOne(path, options); });
    case Mode::Patch: break;
    }
    return Patch(options, list.paths, output);
}
