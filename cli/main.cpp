// SPDX-License-Identifier: MIT
// veilor-patch: the same patcher as the window, for build pipelines and file servers.

#include "patcher/agent_check.h"
#include "patcher/patcher.h"
#include "patcher/write_batch.h"
#include "platform/codesign/bundle_signature.h"
#include "platform/files/in_place_write.h"
#include "platform/framework/folder_item.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/printable.h"
#include "platform/framework/zorp_plugin.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifndef VEILOR_VERSION
#define VEILOR_VERSION "unknown"
#endif

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr const char* kUsageLine =
    "Usage: veilor-patch [--check] [--strict] [--resign] [--sign] [--allow-broken-signature] PATH...";

struct Options {
    bool check = false;
    bool strict = false;
    bool resign = false;
    bool sign = false;
    bool allowBroken = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> paths;
    std::string error;
};

Options ParseArguments(int argc, char** argv)
{
    Options options;
    bool pathsOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (pathsOnly || argument.empty() || argument[0] != '-' || argument == "-") {
            options.paths.push_back(argument);
        } else if (argument == "--") {
            pathsOnly = true;
        } else if (argument == "--check") {
            options.check = true;
        } else if (argument == "--strict") {
            options.strict = true;
        } else if (argument == "--resign") {
            options.resign = true;
        } else if (argument == "--sign") {
            options.sign = true;
        } else if (argument == "--allow-broken-signature") {
            options.allowBroken = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else {
            options.error = "unknown option '" + argument + "'";
            return options;
        }
    }
    if (!options.help && !options.version && options.paths.empty()) options.error = "no path given";
    // --check changes nothing, so an option that says how to write cannot go with it.
    if (options.check && options.resign) options.error = "--check and --resign cannot be used together";
    if (options.check && options.sign) options.error = "--check and --sign cannot be used together";
    if (options.check && options.allowBroken)
        options.error = "--check and --allow-broken-signature cannot be used together";
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
              << "  --strict   a path left alone, or a signature left broken, counts as a failure\n"
              << "  --resign   renew a developer's code signature as an ad hoc one, too\n"
              << "  --sign     sign each bundle ad hoc from scratch, deep (nested code first),\n"
              << "             whatever signature it had; implies --resign\n"
              << "  --allow-broken-signature  patch even where that breaks a developer's signature\n"
              << "             that may not be renewed, and warn (for pipelines that sign it again\n"
              << "             on a Mac)\n"
              << "  --help     show this text\n"
              << "  --version  show the version\n"
              << "  --         end of options: every later argument is a path\n"
              << "\n"
              << "Each failure is one line on standard error, \"PATH: message\". A path that is left\n"
              << "alone gets one note there too: \"PATH: not an application, left alone\" or\n"
              << "\"PATH: property list cannot be read, left alone\". Paths and values are printed\n"
              << "with every control escaped, so that a report is always one line: \\n, \\t, \\x1b,\n"
              << "\\\\ for a backslash, \\xff for a byte that is not UTF-8, and \\u0085, \\u2028, \\u202e\n"
              << "for C1 controls, line separators and bidirectional controls.\n"
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
              << "Exit status: 0 when every path went through (with --check: every path runs as an\n"
              << "agent and no signature is broken), 1 when any path failed or was not patched or\n"
              << "re-signed (with --strict: or was left alone, or ends with a broken signature), 2\n"
              << "for a usage error.\n";
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

void PrintFailure(const std::string& shown, const std::string& message, const FileError& cause)
{
    std::cerr << shown << ": " << EscapeControls(message);
    if (cause) std::cerr << " (" << EscapeControls(cause.Cause()) << ")";
    std::cerr << "\n";
}

// What a patch did to a signature that the user should know of.
void WarnOfSignature(const std::string& shown, const std::filesystem::path& target,
                     const RouteOutcome& patched)
{
    using Signature = RouteOutcome::Signature;
    if (patched.signature == Signature::Broken) {
        std::cerr << shown << ": warning: the developer's code signature no longer matches; macOS will refuse"
                  << " to open it";
        if (patched.message.empty())
            std::cerr << ". To sign it again ad hoc: veilor-patch --resign " << shown << "\n";
        else
            std::cerr << ", and signing it ad hoc would harm it: " << EscapeControls(patched.message) << "\n";
    }
    if (patched.signature == Signature::Signed) {
        for (std::size_t at = 0; at < patched.message.size();) {
            const std::size_t end = std::min(patched.message.find('\n', at), patched.message.size());
            std::cerr << shown << ": " << EscapeControls(patched.message.substr(at, end - at)) << "\n";
            at = end + 1;
        }
    }
    if (patched.signature != Signature::Resigned) return;
    if (std::optional<std::filesystem::path> outer = EnclosingSignedBundle(target)) {
        const std::string enclosing = EscapeControls(outer->string());
        std::cerr << shown << ": warning: re-signed inside " << enclosing << ", whose seal still records the"
                  << " old signature: " << enclosing << " must be signed again\n";
    }
}

int Patch(const std::vector<std::string>& paths, const Options& options)
{
    using Kind = RouteOutcome::Kind;
    const bool strict = options.strict;
    Patcher patcher;
    patcher.ReplaceDeveloperSignatures(options.resign || options.sign);
    patcher.SignFromScratch(options.sign);
    patcher.AllowBrokenSignatures(options.allowBroken);
    int status = kOk;
    std::vector<std::filesystem::path> targets(paths.size());
    // Each path's line, in the paths' order, once the commit that settles it is on disk.
    WriteBatch batch([&](std::size_t index, const RouteOutcome& outcome) {
        const std::string shown = EscapeControls(paths[index]);
        switch (outcome.kind) {
        case Kind::Failed:
            PrintFailure(shown, outcome.message, outcome.cause);
            status = kFailed;
            break;
        case Kind::Refused:
            std::cerr << shown
                      << (outcome.signature == RouteOutcome::Signature::Broken ? ": not patched: "
                                                                               : ": not re-signed: ")
                      << EscapeControls(outcome.message) << "\n";
            status = kFailed;
            break;
        case Kind::LeftAlone:
            std::cerr << shown
                      << (outcome.reason == RouteOutcome::Reason::NotApplication
                              ? ": not an application, left alone\n"
                              : ": property list cannot be read, left alone\n");
            if (strict) status = kFailed;
            break;
        case Kind::Patched:
        case Kind::Unchanged:
            WarnOfSignature(shown, targets[index], outcome);
            if (strict && outcome.signature == RouteOutcome::Signature::Broken) status = kFailed;
            break;
        case Kind::Edited: break;
        }
    });
    for (std::size_t index = 0; index < paths.size(); ++index) {
        int error = 0;
        std::optional<std::filesystem::path> target = Target(paths[index], error);
        if (!target) {
            batch.Add(index, nullptr, Unreachable(error));
            continue;
        }
        targets[index] = *target;
        auto item = std::make_shared<FolderItem>(*target);
        if (batch.Holds(*item)) batch.Flush();
        RouteOutcome outcome;
        try {
            outcome = patcher.Route(item);
        } catch (const NilObjectException&) {
            // The edited list has no XML form (it holds a null, or a key that is not a string).
            outcome = RouteOutcome::LeftAlone(RouteOutcome::Reason::NoDictionary);
        }
        batch.Add(index, std::move(item), std::move(outcome));
    }
    batch.Flush();
    return status;
}

// Prints a bundle's signature state beside its flag; false when it fails the check.
bool SignaturePasses(const std::string& shown, const std::filesystem::path& target,
                     const AgentFlagReading& flag)
{
    // Only a bundle's reading holds its list.
    if (flag.bundleList.empty()) return true;
    const SignatureReading reading =
        ReadSignature(FolderItem(target).AsFolder(), flag.bundleList, flag.bundleExecutable);
    switch (reading.status) {
    case SignatureReading::Status::None: return true;
    case SignatureReading::Status::Read:
        std::cout << shown << ": " << EscapeControls(reading.text) << "\n";
        return reading.passes;
    case SignatureReading::Status::Failed: PrintFailure(shown, reading.text, reading.cause); return false;
    }
    return false;
}

// The journals found beside the path's files and ignored as not ours, a line each.
void TellIgnoredJournals(const std::string& shown)
{
    for (const IgnoredJournal& journal : TakeIgnoredJournals())
        std::cerr << shown << ": a journal that is not ours is ignored: " << EscapeControls(journal.journal)
                  << " beside " << EscapeControls(journal.file) << " (" << journal.why << ")\n";
}

int Check(const std::vector<std::string>& paths)
{
    SetJournalsFinished(false);  // a check writes nothing, not even a journal's undo
    int status = kOk;
    for (const std::string& path : paths) {
        const std::string shown = EscapeControls(path);
        struct Teller {
            const std::string& shown;
            ~Teller() { TellIgnoredJournals(shown); }
        } teller{shown};
        int error = 0;
        std::optional<std::filesystem::path> target = Target(path, error);
        if (!target) {
            const RouteOutcome unreachable = Unreachable(error);
            PrintFailure(shown, unreachable.message, unreachable.cause);
            status = kFailed;
            continue;
        }
        AgentFlagReading reading = ReadAgentFlag(std::make_shared<FolderItem>(*target));
        using Status = AgentFlagReading::Status;
        switch (reading.status) {
        case Status::Read:
            if (RunsAsAgent(reading)) {
                std::cout << shown << ": " << Described(reading) << "\n";
                if (SignaturePasses(shown, *target, reading)) continue;
                break;
            }
            std::cout << shown << ": " << Described(reading)
                      << (reading.nsUIElement || reading.lsUIElement ? ", not an agent\n" : "\n");
            SignaturePasses(shown, *target, reading);
            break;
        case Status::NotApplication:
            std::cerr << shown << ": not an application (no Contents/Info.plist, not of type APPL).\n";
            break;
        case Status::NoDictionary:
            std::cerr << shown << ": the property list cannot be read as a dictionary.\n";
            break;
        case Status::Unreadable: std::cerr << shown << ": " << EscapeControls(reading.message) << "\n"; break;
        }
        status = kFailed;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
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
    return options.check ? Check(options.paths) : Patch(options.paths, options);
}
