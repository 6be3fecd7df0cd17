// SPDX-License-Identifier: MIT
#include "qt_internal.h"
#include "runtime.h"

#include <QByteArray>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <memory>
#include <unistd.h>

namespace {

constexpr int kConnectMs = 1000;
constexpr int kAnswerMs = 10000;
constexpr char kReceived = 'k';

QString SocketPath()
{
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty()) return QFile::decodeName(runtimeDir) + QStringLiteral("/veilor.socket");
    return QDir::tempPath() + QStringLiteral("/veilor-%1.socket").arg(getuid());
}

// A message is a count, then each path as a length and its bytes.
QByteArray Encode(const std::vector<std::string>& paths)
{
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << static_cast<quint32>(paths.size());
    for (const std::string& path : paths)
        out << QByteArray(path.data(), static_cast<qsizetype>(path.size()));
    return message;
}

// The paths, or false while the message is not complete.
bool Decode(const QByteArray& message, std::vector<std::string>& paths)
{
    QDataStream in(message);
    quint32 count = 0;
    in >> count;
    paths.clear();
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        QByteArray path;
        in >> path;
        if (in.status() == QDataStream::Ok) paths.push_back(path.toStdString());
    }
    return in.status() == QDataStream::Ok && paths.size() == count;
}

std::unique_ptr<QLocalServer>& Server()
{
    static std::unique_ptr<QLocalServer> server;
    return server;
}

void Serve(QLocalSocket* socket)
{
    auto buffer = std::make_shared<QByteArray>();
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] {
        buffer->append(socket->readAll());
        std::vector<std::string> paths;
        if (!Decode(*buffer, paths)) return;
        socket->write(&kReceived, 1);
        socket->flush();
        RuntimeRecordCall("handed over " + std::to_string(paths.size()));
        RuntimeOpenDocuments(paths);
        RuntimeActivateWindows();
    });
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
}

}  // namespace

bool HandToRunningInstance(const std::vector<std::string>& paths)
{
    if (Server()) return false;  // this process is the running instance
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (!socket.waitForConnected(kConnectMs)) return false;
    socket.write(Encode(paths));
    if (!socket.waitForBytesWritten(kAnswerMs)) return false;
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(kAnswerMs)) return false;
    }
    char answer = 0;
    return socket.read(&answer, 1) == 1 && answer == kReceived;
}

void ListenForOtherInstances()
{
    if (Server()) return;
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString path = SocketPath();
    if (!server->listen(path)) {
        // Nobody answered there, so the socket file was left by an instance that ended.
        QLocalServer::removeServer(path);
        if (!server->listen(path)) return;
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
