// SPDX-License-Identifier: MIT
// veilor-patch: the same patcher as the window, for build pipelines and file servers.

#include "patcher/agent_check.h"
#include "patcher/patcher.h"
#include "patcher/write_batch.h"
#include "platform/framework/console_msgbox.h"
#include "platform/framework/folder_item.h"
#include "platform/framework/nil_object.h"
#include "platform/framework/zorp_plugin.h"

#include <sys/stat.h>

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

constexpr const char* kUsageLine = "Usage: veilor-patch [--check] [--strict] PATH...";

struct Options {
    bool check = false;
    bool strict = false;
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
    return options;
}

void PrintHelp()
{
    std::cout << kUsageLine << "\n"
              << "Marks Mac applications as background agents (no menu bar, no Dock icon) by adding\n"
              << "NSUIElement = \"true\" to their property list: Contents/Info.plist of a bundle, or the\n"
              << "'plst' resource of a single-file application (kept in its \"._\" companion file, or\n"
              << "under __MACOSX/ as a Mac's zip archive leaves it). A link named as PATH is followed;\n"
              << "nothing inside a bundle is.\n"
              << "\n"
              << "  --check    change nothing; print each path's NSUIElement and LSUIElement values.\n"
              << "             A path passes when either is true: Boolean true, a nonzero number,\n"
              << "             or \"true\", \"YES\" or \"1\" in any case; anything else fails\n"
              << "  --strict   a path left alone counts as a failure\n"
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
              << "Exit status: 0 when every path went through (with --check: every path runs as an\n"
              << "agent), 1 when any path failed (with --strict: or was left alone), 2 for a usage\n"
              << "error.\n";
}

// A link named on the command line is what the user meant, so it alone is followed. Nothing
// when the path, or what its link leads to, does not exist.
std::optional<std::filesystem::path> Target(const std::string& argument)
{
    const FolderItem named(argument);
    struct stat info {};
    if (::lstat(named.Path().c_str(), &info) != 0) return std::nullopt;
    if (!S_ISLNK(info.st_mode)) return named.Path();
    std::error_code error;
    std::filesystem::path target = std::filesystem::canonical(named.Path(), error);
    if (error) return std::nullopt;
    return target;
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

bool IsSigned(const FolderItem& bundle)
{
    FolderItemRef contents = bundle.TrueChild("Contents");
    FolderItemRef signature = contents ? contents->TrueChild("_CodeSignature") : nullptr;
    return signature && signature->Directory();
}

void WarnSignatureBroken(const std::string& shown)
{
    std::cerr << shown << ": warning: the bundle's code signature no longer matches; macOS will refuse to"
              << " open it until it is signed again. On a Mac: codesign --force --deep --sign - " << shown
              << "\n";
}

int Patch(const std::vector<std::string>& paths, bool strict)
{
    using Kind = RouteOutcome::Kind;
    Patcher patcher;
    int status = kOk;
    std::vector<bool> signedBundle(paths.size(), false);
    // Each path's line, in the paths' order, once the commit that settles it is on disk.
    WriteBatch batch([&](std::size_t index, const RouteOutcome& outcome) {
        const std::string shown = EscapeControls(paths[index]);
        switch (outcome.kind) {
        case Kind::Failed:
            std::cerr << shown << ": " << EscapeControls(outcome.message);
            if (outcome.cause) std::cerr << " (" << EscapeControls(outcome.cause.Cause()) << ")";
            std::cerr << "\n";
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
            if (signedBundle[index]) WarnSignatureBroken(shown);
            break;
        case Kind::Unchanged:
        case Kind::Edited: break;
        }
    });
    for (std::size_t index = 0; index < paths.size(); ++index) {
        std::optional<std::filesystem::path> target = Target(paths[index]);
        if (!target) {
            batch.Add(index, nullptr, RouteOutcome::Failure("No such file or folder."));
            continue;
        }
        auto item = std::make_shared<FolderItem>(*target);
        signedBundle[index] = IsSigned(*item);
        if (batch.Holds(*item)) batch.Flush();
        RouteOutcome outcome;
        try {
            outcome = patcher.Route(item);
        } catch (const NilObjectException& e) {
            outcome = RouteOutcome::Failure(std::string("internal error: ") + e.what());
        }
        batch.Add(index, std::move(item), std::move(outcome));
    }
    batch.Flush();
    return status;
}

int Check(const std::vector<std::string>& paths)
{
    int status = kOk;
    for (const std::string& path : paths) {
        const std::string shown = EscapeControls(path);
        std::optional<std::filesystem::path> target = Target(path);
        if (!target) {
            std::cerr << shown << ": No such file or folder.\n";
            status = kFailed;
            continue;
        }
        AgentFlagReading reading = ReadAgentFlag(std::make_shared<FolderItem>(*target));
        using Status = AgentFlagReading::Status;
        switch (reading.status) {
        case Status::Read:
            if (RunsAsAgent(reading)) {
                std::cout << shown << ": " << Described(reading) << "\n";
                continue;
            }
            std::cout << shown << ": " << Described(reading)
                      << (reading.nsUIElement || reading.lsUIElement ? ", not an agent\n" : "\n");
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
    return options.check ? Check(options.paths) : Patch(options.paths, options.strict);
}
