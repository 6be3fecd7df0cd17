// SPDX-License-Identifier: MIT
// Reads a property list the way the program does and prints CoreFoundation's XML of it.
#include "platform/plist/plist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

class File {
public:
    explicit File(const char* path) : mFd(::open(path, O_RDONLY | O_CLOEXEC)) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File()
    {
        if (mFd >= 0) ::close(mFd);
    }
    int Fd() const { return mFd; }

private:
    int mFd;
};

struct Bytes {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::string_view View() const { return {data.get(), size}; }
};

// The whole file: a regular file in one read of its size (no growing buffer to copy), anything
// else in pieces. False, with errno set, when it cannot be read.
bool ReadFile(const char* path, Bytes& bytes)
{
    const File file(path);
    struct stat status {};
    if (file.Fd() < 0 || ::fstat(file.Fd(), &status) != 0) return false;
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        return false;
    }
    std::size_t capacity =
        S_ISREG(status.st_mode) ? static_cast<std::size_t>(status.st_size) + 1 : std::size_t{1} << 16;
    bytes.data = std::make_unique_for_overwrite<char[]>(capacity);
    for (;;) {
        if (bytes.size == capacity) {
            auto larger = std::make_unique_for_overwrite<char[]>(2 * capacity);
            std::memcpy(larger.get(), bytes.data.get(), bytes.size);
            bytes.data = std::move(larger);
            capacity *= 2;
        }
        const ssize_t n = ::read(file.Fd(), bytes.data.get() + bytes.size, capacity - bytes.size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.size += static_cast<std::size_t>(n);
    }
}

bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: plist-roundtrip FILE\n");
        return 2;
    }
    Bytes data;
    if (!ReadFile(argv[1], data)) {
        std::fprintf(stderr, "%s: cannot be read: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    const plist::ParseResult parsed = plist::Parse(data.View());
    if (!parsed.root) {
        std::fprintf(stderr, "%s: no root: %s (at byte %zu)\n", argv[1], plist::Describe(parsed.error.kind),
                     parsed.error.offset);
        return 1;
    }
    // Printed as written, without first joining the pieces into one string.
    bool printed = true;
    const bool writable = plist::WriteXML(*parsed.root, [&printed](std::string_view piece) {
        printed = printed && WriteAll(STDOUT_FILENO, piece);
    });
    if (!writable) {
        std::fprintf(stderr, "%s: holds what XML cannot carry (null, a set, or a key that is not a string)\n",
                     argv[1]);
        return 1;
    }
    if (!printed) return 1;
    // The process ends here: taking a tree of millions of objects apart, only for the system to
    // reclaim the memory anyway, would cost a noticeable share of a large list's run.
    std::_Exit(0);
}
