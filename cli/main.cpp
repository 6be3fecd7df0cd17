// SPDX-License-Identifier: MIT
// veilor-patch: the same patcher as the window, for build pipelines and file servers.

#include "framework/binary_stream.h"
#include "framework/console_msgbox.h"
#include "framework/folder_item.h"
#include "framework/msgbox.h"
#include "framework/nil_object.h"
#include "framework/zorp_plugin.h"
#include "patcher/agent_check.h"
#include "patcher/patcher.h"
#include "patcher/write_batch.h"

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

constexpr const char* kUsageLine = "Usage: veilor-patch [--check] PATH...";

struct Options {
    bool check = false;
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
              << "'plst' resource of a single-file application (kept in its \"._\" companion file).\n"
              << "\n"
              << "  --check    change nothing; print whether each property list holds NSUIElement\n"
              << "  --help     show this text\n"
              << "  --version  show the version\n"
              << "  --         end of options: every later argument is a path\n"
              << "\n"
              << "Exit status: 0 when every path went through (with --check: every path has the\n"
              << "entry), 1 when any path failed, 2 for a usage error.\n";
}

// Bytes of a bundle's Info.plist, to see afterwards whether the patch changed it.
std::optional<std::string> BundleInfoBytes(const FolderItem& bundle)
{
    FolderItemRef contents = bundle.TrueChild("Contents");
    FolderItemRef info = contents ? contents->TrueChild("Info.plist") : nullptr;
    BinaryStreamRef stream = info ? info->OpenAsBinaryFile(false) : nullptr;
    if (!stream) return std::nullopt;
    return stream->Read(stream->Length());
}

bool IsSigned(const FolderItem& bundle)
{
    FolderItemRef contents = bundle.TrueChild("Contents");
    FolderItemRef signature = contents ? contents->TrueChild("_CodeSignature") : nullptr;
    return signature && signature->Directory();
}

void WarnSignatureBroken(const std::string& path)
{
    std::cerr << path << ": warning: the bundle's code signature no longer matches; macOS will refuse to"
              << " open it until it is signed again. On a Mac: codesign --force --deep --sign - "
              << path << "\n";
}

int Patch(const std::vector<std::string>& paths)
{
    ConsoleMsgBox messages(std::cerr);
    Patcher patcher;
    WriteBatch batch(patcher, std::cerr);
    int status = kOk;
    // A held rewrite is told once the batch has put it in place, in the path's place among the lines.
    auto settle = [&](const std::string& path, const FolderItemRef& item) {
        return [&, path, item](const std::string& failure) {
            if (!failure.empty()) {
                ConsoleMsgBox late(std::cerr);
                late.SetSubject(path);
                MsgBox(failure);
                status = kFailed;
            } else if (IsSigned(*item)) {
                WarnSignatureBroken(path);
            }
        };
    };
    for (const std::string& path : paths) {
        messages.SetSubject(path);
        auto item = std::make_shared<FolderItem>(path);
        if (!item->Exists()) {
            std::cerr << path << ": No such file or folder.\n";
            status = kFailed;
            continue;
        }
        bool bundle = item->Directory();
        std::optional<std::string> before = bundle ? BundleInfoBytes(*item) : std::nullopt;
        std::size_t shownBefore = messages.Shown();
        try {
            batch.Process(item, settle(path, item));
        } catch (const NilObjectException& e) {
            std::cerr << path << ": internal error: " << e.what() << "\n";
            status = kFailed;
            continue;
        }
        if (messages.Shown() != shownBefore) {
            status = kFailed;
            continue;
        }
        if (bundle && before && IsSigned(*item) && BundleInfoBytes(*item) != before)
            WarnSignatureBroken(path);
    }
    batch.Flush();
    return status;
}

int Check(const std::vector<std::string>& paths)
{
    int status = kOk;
    for (const std::string& path : paths) {
        auto item = std::make_shared<FolderItem>(path);
        if (!item->Exists()) {
            std::cerr << path << ": No such file or folder.\n";
            status = kFailed;
            continue;
        }
        AgentFlagReading reading = ReadAgentFlag(item);
        using Status = AgentFlagReading::Status;
        switch (reading.status) {
        case Status::Present:
            std::cout << path << ": NSUIElement = " << DescribeValue(*reading.value) << "\n";
            continue;
        case Status::Absent:
            std::cout << path << ": no NSUIElement\n";
            break;
        case Status::NotApplication:
            std::cerr << path << ": not an application (no Contents/Info.plist, not of type APPL).\n";
            break;
        case Status::NoDictionary:
            std::cerr << path << ": the property list cannot be read as a dictionary.\n";
            break;
        case Status::Unreadable:
            std::cerr << path << ": " << reading.message << "\n";
            break;
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
    return options.check ? Check(options.paths) : Patch(options.paths);
}
