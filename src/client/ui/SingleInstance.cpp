#include "client/ui/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

namespace orvanta::client {
namespace {

constexpr int kLockWaitMillis = 5000;
constexpr int kConnectWaitMillis = 1000;
constexpr int kWriteWaitMillis = 1000;
// A request is one short line; anything longer is not ours.
constexpr qint64 kMaxRequestBytes = 64;

}  // namespace

QString SingleInstance::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + "/orvanta.instance";
}

std::expected<std::variant<SingleInstance::Claimed, SingleInstance::AlreadyRunning>, std::string> SingleInstance::claim(
    const QString& path) {
    // Two starts at once must not both find no instance and then remove each other's socket.
    QLockFile lock(path + ".lock");
    if (!lock.tryLock(kLockWaitMillis)) {
        return std::unexpected("cannot lock " + (path + ".lock").toStdString());
    }
    QLocalSocket running;
    running.connectToServer(path);
    if (running.waitForConnected(kConnectWaitMillis)) {
        running.write(kShowRequest);
        const bool sent = running.waitForBytesWritten(kWriteWaitMillis);
        running.disconnectFromServer();
        if (!sent) return std::unexpected("the running instance did not take the request");
        return AlreadyRunning{};
    }
    // Nobody answers: whatever is at the path was left by a process that ended.
    QLocalServer::removeServer(path);
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(path))
        return std::unexpected("cannot listen on " + path.toStdString() + ": " + server->errorString().toStdString());
    return Claimed{std::unique_ptr<SingleInstance>(new SingleInstance(std::move(server)))};
}

SingleInstance::SingleInstance(std::unique_ptr<QLocalServer> server) : server_(std::move(server)) {
    connect(server_.get(), &QLocalServer::newConnection, this, [this] { accept(); });
}

SingleInstance::~SingleInstance() { server_->close(); }

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        const auto read = [this, socket] {
            if (socket->bytesAvailable() > kMaxRequestBytes) return socket->abort();
            if (!socket->canReadLine()) return;
            const bool show = socket->readLine(kMaxRequestBytes + 1) == kShowRequest;
            socket->disconnectFromServer();
            if (show && onShowRequested) onShowRequested();
        };
        connect(socket, &QLocalSocket::readyRead, this, read);
        read();
    }
}

}  // namespace orvanta::client
