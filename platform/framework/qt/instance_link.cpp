// SPDX-License-Identifier: MIT
// The channel between the running instance and later ones.
//
// Each path is opened exactly once. A message is acted on only once its sender has confirmed that
// it heard it taken: the sender sends the message, the running instance answers kReceived once it
// holds the whole of it, the sender answers kConfirmed, and only then is the message opened.
// A sender that hears no answer in time closes the connection and opens the paths itself; a
// message whose confirmation never came is dropped. Before dropping a message of a connection it
// closes, the running instance shuts the connection's reading side and reads what came before,
// so a confirmation is either read (and the message opened) or refused to its sender (which then
// opens the paths itself), never lost between the two.
//
// Only a live owner holds the lock beside the socket, for as long as it listens: a socket whose
// lock is free was left by an instance that ended and is made anew; one whose owner lives, if
// stopped or too busy to answer, is never touched.

#include "platform/byteorder/byteorder.h"
#include "platform/files/unique_fd.h"
#include "platform/framework/call_record.h"
#include "qt_internal.h"
#include "runtime.h"

#include <QDir>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kReceived = 'k';
constexpr char kConfirmed = 'c';

// A message is its length (4 bytes), then a count of paths (4 bytes) and each path as its
// length (4 bytes) and its bytes; all numbers big-endian. Longer lists go as several messages.
constexpr std::uint32_t kMaxPaths = 1024;
constexpr std::uint32_t kMaxMessage = 1024 * 1024;
// Connections held at once; a new one beyond them closes the one quiet for longest.
constexpr std::size_t kMaxConnections = 64;

InstanceLinkTimes& Times()
{
    static InstanceLinkTimes times;
    return times;
}

// Only a folder of ours that no one else may enter keeps another user from answering in our
// place or reading the paths we send.
bool Private(const QByteArray& folder)
{
    struct stat info {};
    return ::lstat(folder.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 077) == 0;
}

// The private folder that holds the socket and its lock.
std::optional<std::string> LinkFolder()
{
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && Private(runtimeDir)) return runtimeDir.toStdString();
    const QByteArray own =
        QFile::encodeName(QDir::tempPath() + QStringLiteral("/veilor-%1").arg(::geteuid()));
    ::mkdir(own.constData(), 0700);
    if (!Private(own)) return std::nullopt;
    return own.toStdString();
}

std::optional<sockaddr_un> Address(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return std::nullopt;
    std::copy(path.begin(), path.end(), address.sun_path);
    return address;
}

bool PeerIsUs(int fd)
{
    struct ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
           peer.uid == ::geteuid();
}

// Each message's bytes; the count of paths it carries is its bytes [4, 8).
std::vector<std::string> Encode(const std::vector<std::string>& paths)
{
    std::vector<std::string> messages;
    std::string body;
    std::uint32_t count = 0;
    auto finish = [&] {
        std::string message;
        byteorder::PutBigEndian(message, 4 + body.size(), 4);
        byteorder::PutBigEndian(message, count, 4);
        message += body;
        messages.push_back(std::move(message));
        body.clear();
        count = 0;
    };
    for (const std::string& path : paths) {
        if (count == kMaxPaths || 4 + body.size() + 4 + path.size() > kMaxMessage) finish();
        byteorder::PutBigEndian(body, path.size(), 4);
        body += path;
        ++count;
    }
    if (count > 0 || messages.empty()) finish();
    return messages;
}

// The paths of one message body, or nothing when it does not hold exactly what it announces.
std::optional<std::vector<std::string>> Decode(std::string_view body)
{
    if (body.size() < 4) return std::nullopt;
    const std::uint32_t count = byteorder::BigEndian32(body.data());
    if (count > kMaxPaths) return std::nullopt;
    std::vector<std::string> paths;
    std::size_t at = 4;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (body.size() - at < 4) return std::nullopt;
        const std::uint32_t length = byteorder::BigEndian32(body.data() + at);
        at += 4;
        if (length > body.size() - at) return std::nullopt;
        paths.emplace_back(body.substr(at, length));
        at += length;
    }
    if (at != body.size()) return std::nullopt;
    return paths;
}

// Waits until `fd` is ready for `events` or `deadline` passes.
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) return false;
        pollfd wanted{fd, events, 0};
        const int ready = ::poll(&wanted, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

bool SendAll(int fd, std::string_view bytes, Clock::time_point deadline)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(std::size_t(sent));
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && errno == EAGAIN) {
            if (!WaitFor(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

bool ReceiveByte(int fd, char expected, Clock::time_point deadline)
{
    for (;;) {
        char byte = 0;
        const ssize_t got = ::recv(fd, &byte, 1, 0);
        if (got == 1) return byte == expected;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN && WaitFor(fd, POLLIN, deadline)) continue;
        return false;
    }
}

// One connection of a later instance, until it closes or stays quiet too long.
class Connection : public QObject {
public:
    Connection(UniqueFd fd, QObject* parent)
        : QObject(parent),
          mFd(std::move(fd)),
          mNotifier(std::make_unique<QSocketNotifier>(mFd.Get(), QSocketNotifier::Read))
    {
        QObject::connect(mNotifier.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
        mIdle.setSingleShot(true);
        QObject::connect(&mIdle, &QTimer::timeout, this, [this] { Close(); });
        Progressed();
    }
    bool Open() const { return bool(mFd); }
    Clock::time_point LastProgress() const { return mLastProgress; }

    // A message answered but not yet confirmed is opened only if its confirmation is already here.
    void Close()
    {
        if (Open() && mAnswered) {
            ::shutdown(mFd.Get(), SHUT_RD);
            Drain();
        }
        Finish();
    }

private:
    void Progressed()
    {
        mLastProgress = Clock::now();
        mIdle.start(Times().idle);
    }

    // Takes in what has arrived and acts on it; ends the connection at its end or on a fault.
    void Drain()
    {
        char buffer[64 * 1024];
        while (Open()) {
            const ssize_t got = ::recv(mFd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == EAGAIN) return;
            if (got <= 0) return Finish();
            mPending.append(buffer, std::size_t(got));
            if (!Handle()) return Finish();
        }
    }

    void Finish()
    {
        mAnswered.reset();
        if (!Open()) return;
        mNotifier->setEnabled(false);
        mIdle.stop();
        mFd.Reset();
        deleteLater();
    }

    // Acts on every whole step in mPending; false when the peer broke the protocol.
    bool Handle()
    {
        for (;;) {
            if (mAnswered) {
                if (mPending.empty()) return true;
                if (mPending[0] != kConfirmed) return false;
                mPending.erase(0, 1);
                std::vector<std::string> paths = std::move(*mAnswered);
                mAnswered.reset();
                Progressed();
                RuntimeRecordCall("handed over " + std::to_string(paths.size()));
                RuntimeOpenDocuments(paths);
                RuntimeActivateWindows();
                continue;
            }
            if (mPending.size() < 4) return true;
            const std::uint32_t length = byteorder::BigEndian32(mPending.data());
            if (length == 0 || length > kMaxMessage) return false;
            if (mPending.size() < 4 + std::size_t(length)) return true;
            std::optional<std::vector<std::string>> paths =
                Decode(std::string_view(mPending).substr(4, length));
            mPending.erase(0, 4 + std::size_t(length));
            if (!paths || ::send(mFd.Get(), &kReceived, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) return false;
            mAnswered = std::move(paths);
            Progressed();
        }
    }

    UniqueFd mFd;
    std::unique_ptr<QSocketNotifier> mNotifier;  // gone before the descriptor it watches
    QTimer mIdle;
    Clock::time_point mLastProgress;
    std::string mPending;
    std::optional<std::vector<std::string>> mAnswered;  // received and answered, not yet confirmed
};

// The running instance's end: the lock that says it lives, the listening socket, its connections
// (children of it).
class Server : public QObject {
public:
    Server(UniqueFd lock, UniqueFd listener, std::string path, ino_t inode)
        : mLock(std::move(lock)),
          mListener(std::move(listener)),
          mNotifier(std::make_unique<QSocketNotifier>(mListener.Get(), QSocketNotifier::Read)),
          mPath(std::move(path)),
          mInode(inode)
    {
        QObject::connect(mNotifier.get(), &QSocketNotifier::activated, this, [this] { Accept(); });
    }
    ~Server() override
    {
        // Removed only while it is still ours, before the lock goes and another may make its own.
        struct stat info {};
        if (::lstat(mPath.c_str(), &info) == 0 && info.st_ino == mInode) ::unlink(mPath.c_str());
    }

private:
    void Accept()
    {
        for (;;) {
            UniqueFd fd(::accept4(mListener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno == EAGAIN) return;
                // Out of descriptors or memory: the server stays, and tries again a little later.
                RuntimeRecordCall("instance link: accept failed");
                mNotifier->setEnabled(false);
                QTimer::singleShot(Times().retry, this, [this] { mNotifier->setEnabled(true); });
                return;
            }
            if (!PeerIsUs(fd.Get())) continue;
            std::erase_if(mConnections, [](const QPointer<Connection>& c) { return !c || !c->Open(); });
            if (mConnections.size() >= kMaxConnections) {
                auto quietest =
                    std::min_element(mConnections.begin(), mConnections.end(),
                                     [](auto& a, auto& b) { return a->LastProgress() < b->LastProgress(); });
                (*quietest)->Close();
                mConnections.erase(quietest);
            }
            mConnections.emplace_back(new Connection(std::move(fd), this));
        }
    }

    UniqueFd mLock;
    UniqueFd mListener;
    std::unique_ptr<QSocketNotifier> mNotifier;  // gone before the descriptor it watches
    std::string mPath;
    ino_t mInode;
    std::vector<QPointer<Connection>> mConnections;
};

std::unique_ptr<Server>& RunningServer()
{
    static std::unique_ptr<Server> server;
    return server;
}

}  // namespace

InstanceLinkTimes SetInstanceLinkTimes(InstanceLinkTimes times)
{
    return std::exchange(Times(), times);
}

HandOver HandToRunningInstance(const std::vector<std::string>& paths)
{
    HandOver handed;
    if (RunningServer()) return handed;  // this process is the running instance
    const std::optional<std::string> folder = LinkFolder();
    const std::optional<sockaddr_un> address = folder ? Address(*folder + "/veilor.socket") : std::nullopt;
    if (!address) return handed;
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto connectWait = std::chrono::duration_cast<std::chrono::microseconds>(Times().connect);
    timeval wait{static_cast<time_t>(connectWait.count() / 1000000),
                 static_cast<suseconds_t>(connectWait.count() % 1000000)};
    // A full backlog makes connect wait, as long as the send timeout allows.
    if (!fd || ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0 ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::fcntl(fd.Get(), F_SETFL, O_NONBLOCK) != 0)
        return handed;
    if (!PeerIsUs(fd.Get())) return handed;  // nothing is sent to another user
    const std::vector<std::string> messages = Encode(paths);
    for (const std::string& message : messages) {
        const Clock::time_point deadline = Clock::now() + Times().answer;
        if (!SendAll(fd.Get(), message, deadline) || !ReceiveByte(fd.Get(), kReceived, deadline) ||
            !SendAll(fd.Get(), std::string_view(&kConfirmed, 1), deadline))
            return handed;
        handed.taken += byteorder::BigEndian32(message.data() + 4);
    }
    handed.all = true;
    return handed;
}

void ListenForOtherInstances()
{
    if (RunningServer()) return;
    const std::optional<std::string> folder = LinkFolder();
    if (!folder) return;  // no private folder: this instance runs alone
    const std::string path = *folder + "/veilor.socket";
    const std::optional<sockaddr_un> address = Address(path);
    UniqueFd lock(
        ::open((*folder + "/veilor.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    // A live owner holds the lock, stopped or not: its socket stays, and this instance runs alone.
    if (!address || !lock || ::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) return;
    ::unlink(path.c_str());  // left by an instance that ended
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    struct stat info {};
    if (!listener ||
        ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
        return;
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(listener.Get(), SOMAXCONN) != 0 ||
        ::lstat(path.c_str(), &info) != 0) {
        ::unlink(path.c_str());
        return;
    }
    RunningServer() = std::make_unique<Server>(std::move(lock), std::move(listener), path, info.st_ino);
}

void StopListening()
{
    RunningServer().reset();
}
