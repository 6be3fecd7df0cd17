// SPDX-License-Identifier: MIT
#include "qt_internal.h"
#include "runtime.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QtEndian>

#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kConnectMs = 1000;
constexpr int kAnswerMs = 10000;
constexpr char kReceived = 'k';

// A message is its length (4 bytes), then a count of paths (4 bytes) and each path as its
// length (4 bytes) and its bytes; all numbers big-endian. Longer lists go as several messages.
constexpr quint32 kMaxPaths = 1024;
constexpr quint32 kMaxMessage = 1024 * 1024;

// Only a folder of ours that no one else may enter keeps another user from answering in our
// place or reading the paths we send.
bool Private(const QByteArray& folder)
{
    struct stat info {};
    return ::lstat(folder.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 077) == 0;
}

std::optional<QString> SocketPath()
{
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && Private(runtimeDir))
        return QFile::decodeName(runtimeDir) + QStringLiteral("/veilor.socket");
    const QByteArray own =
        QFile::encodeName(QDir::tempPath() + QStringLiteral("/veilor-%1").arg(::geteuid()));
    ::mkdir(own.constData(), 0700);
    if (!Private(own)) return std::nullopt;
    return QFile::decodeName(own) + QStringLiteral("/veilor.socket");
}

bool PeerIsUs(const QLocalSocket& socket)
{
    struct ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) ==
               0 &&
           size == sizeof peer && peer.uid == ::geteuid();
}

void AppendNumber(QByteArray& bytes, quint32 number)
{
    const quint32 big = qToBigEndian(number);
    bytes.append(reinterpret_cast<const char*>(&big), sizeof big);
}

quint32 NumberAt(const QByteArray& bytes, qsizetype offset)
{
    return qFromBigEndian<quint32>(bytes.constData() + offset);
}

std::vector<QByteArray> Encode(const std::vector<std::string>& paths)
{
    std::vector<QByteArray> messages;
    QByteArray body;
    quint32 count = 0;
    auto finish = [&] {
        QByteArray message;
        AppendNumber(message, static_cast<quint32>(4 + body.size()));
        AppendNumber(message, count);
        messages.push_back(message + body);
        body.clear();
        count = 0;
    };
    for (const std::string& path : paths) {
        if (count == kMaxPaths || 4 + body.size() + 4 + static_cast<qsizetype>(path.size()) > kMaxMessage)
            finish();
        AppendNumber(body, static_cast<quint32>(path.size()));
        body.append(path.data(), static_cast<qsizetype>(path.size()));
        ++count;
    }
    if (count > 0 || messages.empty()) finish();
    return messages;
}

// The paths of one message body, or nothing when it does not hold exactly what it announces.
std::optional<std::vector<std::string>> Decode(const QByteArray& body)
{
    if (body.size() < 4) return std::nullopt;
    const quint32 count = NumberAt(body, 0);
    if (count > kMaxPaths) return std::nullopt;
    std::vector<std::string> paths;
    qsizetype at = 4;
    for (quint32 i = 0; i < count; ++i) {
        if (body.size() - at < 4) return std::nullopt;
        const quint32 length = NumberAt(body, at);
        at += 4;
        if (length > body.size() - at) return std::nullopt;
        paths.emplace_back(body.constData() + at, length);
        at += length;
    }
    if (at != body.size()) return std::nullopt;
    return paths;
}

std::unique_ptr<QLocalServer>& Server()
{
    static std::unique_ptr<QLocalServer> server;
    return server;
}

// Each complete message is handled once, as it completes; a message over the limits, or one
// that does not decode, ends the connection.
void Serve(QLocalSocket* socket)
{
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!PeerIsUs(*socket)) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setReadBufferSize(4 + kMaxMessage);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, pending] {
        while (socket->bytesAvailable() > 0) {
            const qsizetype wanted = pending->size() < 4 ? 4 : 4 + NumberAt(*pending, 0);
            pending->append(socket->read(wanted - pending->size()));
            if (pending->size() == 4 && (NumberAt(*pending, 0) > kMaxMessage || NumberAt(*pending, 0) == 0)) {
                socket->abort();
                return;
            }
            if (pending->size() < 4 || pending->size() < 4 + qsizetype(NumberAt(*pending, 0))) continue;
            std::optional<std::vector<std::string>> paths = Decode(pending->mid(4));
            pending->clear();
            if (!paths) {
                socket->abort();
                return;
            }
            socket->write(&kReceived, 1);
            socket->flush();
            RuntimeRecordCall("handed over " + std::to_string(paths->size()));
            RuntimeOpenDocuments(*paths);
            RuntimeActivateWindows();
        }
    });
}

}  // namespace

bool HandToRunningInstance(const std::vector<std::string>& paths)
{
    if (Server()) return false;  // this process is the running instance
    const std::optional<QString> path = SocketPath();
    if (!path) return false;
    QLocalSocket socket;
    socket.connectToServer(*path);
    if (!socket.waitForConnected(kConnectMs)) return false;
    if (!PeerIsUs(socket)) return false;  // nothing is sent to another user
    for (const QByteArray& message : Encode(paths)) {
        socket.write(message);
        if (!socket.waitForBytesWritten(kAnswerMs)) return false;
        while (socket.bytesAvailable() < 1) {
            if (!socket.waitForReadyRead(kAnswerMs)) return false;
        }
        char answer = 0;
        if (socket.read(&answer, 1) != 1 || answer != kReceived) return false;
    }
    return true;
}

void ListenForOtherInstances()
{
    if (Server()) return;
    const std::optional<QString> path = SocketPath();
    if (!path) return;  // no private folder: this instance runs alone
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(*path)) {
        // Nobody answered there, so the socket file was left by an instance that ended.
        QLocalServer::removeServer(*path);
        if (!server->listen(*path)) return;
    }
    QLocalServer* raw = server.get();
    QObject::connect(raw, &QLocalServer::newConnection, raw, [raw] {
        while (QLocalSocket* socket = raw->nextPendingConnection()) Serve(socket);
    });
    Server() = std::move(server);
}

void StopListening()
{
    Server().reset();
}
