// SPDX-License-Identifier: MIT
#pragma once
// Real files for tests: temporary folders, bytes, child processes, messages and calls read back.

#include "patcher/patcher.h"
#include "platform/files/file_error.h"
#include "platform/files/non_copyable.h"
#include "platform/framework/call_record.h"
#include "platform/framework/msgbox.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace fixtures {

namespace fs = std::filesystem;

class TempFolder : NonCopyable {
public:
    TempFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "veilor-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        mPath = pattern;
        // Open to everyone, so that work run as nobody reaches what is inside.
        fs::permissions(mPath, fs::perms(0755));
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(mPath, ignored);
    }

    const fs::path& Path() const { return mPath; }
    fs::path operator/(const std::string& name) const { return mPath / name; }

private:
    fs::path mPath;
};

inline void WriteBytes(const fs::path& path, std::string_view bytes, mode_t mode = 0644)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), std::streamsize(bytes.size()));
    ::chmod(path.c_str(), mode);
}

// The file's bytes, or "<unreadable>" when it cannot be read.
inline std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<unreadable>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline std::string TestData(const std::string& relative)
{
    return ReadBytes(fs::path(VEILOR_TEST_DATA) / relative);
}

// The rows of a table in the test data, fields split at tabs; empty and "#" lines skipped.
inline std::vector<std::vector<std::string>> TableRows(const std::string& relative)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(TestData(relative));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        rows.emplace_back();
        for (std::string field; std::getline(fields, field, '\t');) rows.back().push_back(field);
    }
    return rows;
}

// Real files made by other projects are not ours to ship: they stay in the shared folder beside the
// project. Without it, the cases that need them are skipped and counted, never passed.
inline const fs::path kShared = fs::weakly_canonical(VEILOR_SHARED_DATA);
inline bool HaveShared()
{
    return fs::is_directory(kShared);
}
inline std::string SharedSkipped(std::size_t cases)
{
    return std::to_string(cases) + " real-file case(s) skipped: " + kShared.string() + " is not present";
}

// Names in the folder, sorted.
inline std::vector<std::string> Listing(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline struct stat LinkStatus(const fs::path& path)
{
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info;
}

// Every item below the folder by relative path: its mode, then a link's target or a file's bytes.
inline std::map<std::string, std::string> Tree(const fs::path& folder)
{
    std::map<std::string, std::string> items;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        const mode_t mode = LinkStatus(entry.path()).st_mode;
        items[fs::relative(entry.path(), folder).string()] =
            std::to_string(mode) + " " +
            (S_ISLNK(mode)   ? "-> " + fs::read_symlink(entry.path()).string()
             : S_ISREG(mode) ? ReadBytes(entry.path())
                             : "");
    }
    return items;
}

// A whole journal, in the layout the files layer writes, naming `name` as the file (device, inode).
inline std::string JournalFor(const fs::path& file, const std::string& name, std::string_view old)
{
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return {};
    std::string journal = "VEILORJ1";
    const auto put = [&](std::uint64_t value, int bytes) {
        for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) journal += char((value >> shift) & 0xFF);
    };
    put(info.st_dev, 8), put(info.st_ino, 8), put(old.size(), 8), put(name.size(), 4);
    journal += name;
    journal += old;
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : journal) hash = (hash ^ c) * 0x100000001b3ULL;
    put(hash, 8);
    return journal;
}

// Access and modification times of the item itself set to `time`, by default 2001-09-09.
constexpr time_t kOldTime = 1000000000;
inline void MakeOld(const fs::path& path, time_t time = kOldTime)
{
    struct timespec times[2] = {{time, 0}, {time, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}
inline time_t ModifiedAt(const fs::path& path)
{
    return LinkStatus(path).st_mtim.tv_sec;
}

// An AppleDouble companion holding only Finder info: the file's type and creator codes, at 38.
inline std::string FinderInfoCompanion(std::string_view type, std::string_view creator)
{
    return std::string("\x00\x05\x16\x07\x00\x02\x00\x00", 8) + std::string(16, '\0') +
           std::string("\x00\x01\x00\x00\x00\x09\x00\x00\x00\x26\x00\x00\x00\x20", 14) + std::string(type) +
           std::string(creator) + std::string(24, '\0');
}

// An application to patch: NAME.app with `plist` as its Info.plist, or (a name without ".app") a
// single-file one beside its companion, whose fork holds a plst 0. Answers the file a patch rewrites.
inline const std::string kAppPlist = "<dict><key>CFBundleName</key><string>A</string></dict>";
inline fs::path CompanionOf(const fs::path& file)
{
    return file.parent_path() / ("._" + file.filename().string());
}
inline fs::path MakeApp(const fs::path& item, const std::string& plist = kAppPlist)
{
    const bool bundle = item.extension() == ".app";
    const fs::path file = bundle ? item / "Contents/Info.plist" : CompanionOf(item);
    WriteBytes(file, bundle ? plist : TestData("cli/plst-appl.adouble"));
    if (!bundle) WriteBytes(item, "data fork");
    return file;
}

// True once the application's (bundle's or single file's) property list carries NSUIElement.
inline bool IsPatched(const fs::path& app)
{
    const fs::path file = fs::is_directory(app) ? app / "Contents/Info.plist" : CompanionOf(app);
    return ReadBytes(file).find("<key>NSUIElement</key>") != std::string::npos;
}

// Lays out items under `root`, one a string: "a/b/" a folder, "l->t" a symbolic link to root/t,
// "._f=TYPE" a companion holding Finder info with that type (creator "????"), "f=text" or "f" (text
// "x") a file.
inline void Lay(const fs::path& root, const std::vector<std::string>& items)
{
    for (const std::string& item : items) {
        const std::size_t link = item.find("->"), equals = item.find('=');
        const std::string name = item.substr(0, std::min(link, equals));
        if (link != std::string::npos) {
            fs::create_directories((root / name).parent_path());
            fs::create_symlink(root / item.substr(link + 2), root / name);
        } else if (item.ends_with('/')) {
            fs::create_directories(root / item);
        } else {
            const std::string text = equals == std::string::npos ? "x" : item.substr(equals + 1);
            const bool companion = fs::path(name).filename().string().starts_with("._");
            WriteBytes(root / name, companion ? FinderInfoCompanion(text, "????") : text);
        }
    }
}

constexpr uid_t kNobody = 65534;

// How a child process ended: status -1 when a signal ended it or it was killed for running too long.
struct Finished {
    int status = -1, signal = 0;
    std::string out, err;
};

// A child running `body` (its answer the exit status), as `user` unless 0; killed if never waited for.
class Child : NonCopyable {
public:
    explicit Child(const std::function<int()>& body, uid_t user = 0)
        : mOut(::memfd_create("out", MFD_CLOEXEC)), mErr(::memfd_create("err", MFD_CLOEXEC))
    {
        std::fflush(nullptr);  // else what the parent buffered is written again by the child
        mPid = ::fork();
        if (mPid != 0) return;
        ::dup2(mOut, 1);
        ::dup2(mErr, 2);
        if (user != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 ||
                          ::setresuid(user, user, user) != 0))
            ::_exit(125);
        const int status = body();
        std::fflush(nullptr);
        ::_exit(status);
    }
    ~Child()
    {
        if (mPid > 0) (void)Wait(std::chrono::seconds(0));
        ::close(mOut);
        ::close(mErr);
    }
    pid_t Pid() const { return mPid; }

    // Waits for the end, killing the child after `timeout`.
    [[nodiscard]] Finished Wait(std::chrono::seconds timeout = std::chrono::seconds(120))
    {
        Finished end;
        if (mPid <= 0) return end;
        int status = 0;
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (::waitpid(mPid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= until) {
                ::kill(mPid, SIGKILL);
                ::waitpid(mPid, &status, 0);
                mPid = -1;
                return end;
            }
            ::usleep(2000);
        }
        mPid = -1;
        if (WIFEXITED(status)) end.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
        end.out = Drain(mOut);
        end.err = Drain(mErr);
        return end;
    }

private:
    static std::string Drain(int fd)
    {
        std::string bytes;
        char buffer[4096];
        for (ssize_t got; (got = ::pread(fd, buffer, sizeof buffer, off_t(bytes.size()))) > 0;)
            bytes.append(buffer, std::size_t(got));
        return bytes;
    }

    int mOut, mErr;
    pid_t mPid = -1;
};

// For a child's body: replaces the process with the program (args[0]); 126 when it cannot.
inline int Exec(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    return 126;
}

// Runs the program with the arguments in a child as `user` (see Child) and waits for it.
[[nodiscard]] inline Finished RunProgram(const std::vector<std::string>& args, uid_t user = 0)
{
    return Child([&] { return Exec(args); }, user).Wait();
}

// What `work` answers when run as user nobody, or "<child failed>" when it could not be.
[[nodiscard]] inline std::string RunAsNobody(const std::function<std::string()>& work)
{
    const auto body = [&] {
        const std::string answer = work();
        return std::fwrite(answer.data(), 1, answer.size(), stdout) == answer.size() ? 0 : 3;
    };
    const Finished end = Child(body, kNobody).Wait();
    return end.status == 0 ? end.out : "<child failed>";
}

// Puts a seam's hook in place while it lives, and the one before back after.
template <class Hook>
class Installed : NonCopyable {
public:
    Installed(Hook (*set)(Hook), Hook hook) : mSet(set), mPrevious(set(std::move(hook))) {}
    ~Installed() { mSet(std::move(mPrevious)); }

private:
    Hook (*mSet)(Hook);
    Hook mPrevious;
};

// While it lives, the `nth` time (from 1) the files layer takes `step` fails; FileStep::None: none.
[[nodiscard]] inline Installed<FileFaultHook> FailNth(FileStep step, int nth)
{
    return {SetFileFaultHook,
            [step, nth, seen = 0](FileStep now) mutable { return now != step || ++seen != nth; }};
}

// Records every message box shown while it lives.
class RecordedMessages {
public:
    // The messages as one text, one per line.
    std::string Joined() const
    {
        std::string joined;
        for (const std::string& text : mTexts) joined += text + "\n";
        return joined;
    }

private:
    std::vector<std::string> mTexts;
    Installed<MsgBoxPresenter> mHook{SetMsgBoxPresenter,
                                     [this](const std::string& text) { mTexts.push_back(text); }};
};

// Records the framework's calls while it lives.
class RecordedCalls {
public:
    const std::vector<std::string>& Calls() const { return mCalls; }
    // The calls that begin with `prefix`, without it.
    std::vector<std::string> Calls(std::string_view prefix) const
    {
        std::vector<std::string> found;
        for (const std::string& call : mCalls)
            if (call.starts_with(prefix)) found.push_back(call.substr(prefix.size()));
        return found;
    }

private:
    std::vector<std::string> mCalls;
    Installed<CallRecorder> mHook{SetRuntimeCallRecorder,
                                  [this](std::string_view call) { mCalls.emplace_back(call); }};
};

// The messages the window's route shows for the item.
inline std::string RunRoute(const fs::path& item)
{
    RecordedMessages messages;
    Patcher().Process(std::make_shared<FolderItem>(item));
    return messages.Joined();
}

}  // namespace fixtures
