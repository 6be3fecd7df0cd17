// SPDX-License-Identifier: MIT
#pragma once
// The one way tests start a child process: a function or a program, optionally as another user,
// with its standard output and error kept.

#include <sys/mman.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace fixtures {

constexpr uid_t kNobody = 65534;

// How a child process ended: its exit status (or -1 when a signal ended it, or it was
// killed for running too long), the signal, and what it wrote to its standard output and error.
struct Finished {
    int status = -1;
    int signal = 0;
    std::string out, err;
};

// A child process running `body`, as user and group `user` when that is not 0, its standard
// output and error kept for Wait. body's answer is the exit status. Killed if never waited for.
class Child {
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
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

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
    Finished end = Child(
                       [&] {
                           std::string answer = work();
                           return std::fwrite(answer.data(), 1, answer.size(), stdout) == answer.size() ? 0 : 3;
                       },
                       kNobody)
                       .Wait();
    return end.status == 0 ? end.out : "<child failed>";
}

}  // namespace fixtures
