// One running application per user: the first process to start claims a local socket in the user's
// runtime folder and listens on it; a later start finds it, asks it to show its window and ends.
// A socket left behind by a process that died is taken over.
#pragma once

#include <QObject>
#include <QString>

#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <variant>

class QLocalServer;

namespace orvanta::client {

class SingleInstance final : public QObject {
public:
    static constexpr char kShowRequest[] = "show\n";

    // The socket's path: "orvanta.instance" in the user's runtime folder.
    static QString defaultPath();

    // This process is the one instance: it listens from now on.
    struct Claimed {
        std::unique_ptr<SingleInstance> instance;
    };
    // Another process is the instance and was asked to show its window.
    struct AlreadyRunning {};

    // Claims the instance at `path`, or tells the running one to show itself; an error when neither
    // could be done.
    static std::expected<std::variant<Claimed, AlreadyRunning>, std::string> claim(const QString& path);

    ~SingleInstance() override;

    // Another start asked for the window.
    std::function<void()> onShowRequested;

private:
    explicit SingleInstance(std::unique_ptr<QLocalServer> server);
    void accept();

    std::unique_ptr<QLocalServer> server_;
};

}  // namespace orvanta::client
