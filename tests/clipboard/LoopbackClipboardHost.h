// A small host on 127.0.0.1 built from the project's HTTPServer and WebSocketConnection: it answers
// the capability probe from its hub's switch and runs the host's side of the clipboard channel
// (authentication by device and token, the fixed welcome, attachment to its hub, refusals and
// closes), with knobs for a host that stalls, answers otherwise, or sends a binary message. Main
// thread and host queue are both the test's executor.
#pragma once

#include <utility>  // ahead of Asio, for g++ 12 in C++23 mode

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Json.h"
#include "clipboard/ClipboardSync.h"
#include "host/transport/HTTPServer.h"
#include "host/transport/WebSocket.h"
#include "support/FakeServiceAdvertiser.h"
#include "support/ManualExecutor.h"

namespace orvanta::testing {

class LoopbackClipboardHost {
public:
    using Connection = host::WebSocketConnection;
    static constexpr std::string_view kWelcome = R"({"type":"welcome","purpose":"clipboard"})";

    LoopbackClipboardHost(ManualExecutor& executor, clipboard::ClipboardSync& hub) : executor_(executor), hub_(hub) {
        advertiser_ = std::make_shared<FakeServiceAdvertiser>(executor);
        host::HTTPServerOptions options;
        options.loopback = {boost::asio::ip::address_v4::loopback(), 0};
        options.lan = {boost::asio::ip::address_v4::loopback(), 0};
        options.log = [](std::string_view) {};
        server_ = host::HTTPServer::create(executor, advertiser_, options);
        server_->clipboardAvailable = [this](host::HTTPServer::ClipboardAnswer answer) {
            ++probes_;
            answer(hub_.enabled());
        };
        server_->onControl = [this](auto socket, auto leftover, host::HTTPRequest request) {
            accept(std::move(socket), std::move(leftover), request.isLAN);
        };
        if (!server_->start("Clipboard Host")) throw std::runtime_error("the test host did not start");
        executor.runUntilIdle();
    }

    ~LoopbackClipboardHost() {
        for (auto& connection : connections) connection->close(1001, "");
        server_->stop();
        executor_.runUntilIdle();
        connections.clear();
        server_.reset();
        // The connections' close deadlines hold them; let those run while the transport queue lives.
        executor_.advance(std::chrono::minutes(1));
    }

    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(*server_->loopbackPort()); }

    // Paired devices: device identifier to token.
    std::map<std::string, std::string> devices;
    // How the hello is answered: the welcome and attachment to the hub (nothing set), silence
    // (stall), or a text of the test's own.
    bool stalls = false;
    std::optional<std::string> reply;

    // Sends one binary message on the newest clipboard connection.
    void sendBinary(base::ByteView bytes) {
        connections.back()->send(host::WebSocketParser::frame(bytes, host::WebSocketOpcode::binary), 1 << 20);
    }

    std::vector<std::shared_ptr<Connection>> connections;
    std::vector<std::string> hellos;                   // first texts, as received
    std::vector<std::string> texts;                    // later texts, as received
    std::vector<std::optional<std::uint16_t>> closes;  // each connection's close code
    int probes() const { return probes_; }

private:
    void accept(host::UpgradedSocket socket, base::Bytes leftover, bool isLAN) {
        auto connection = Connection::create(std::move(socket), std::move(leftover), executor_, executor_.clock(),
                                             [](std::string_view) {});
        connections.push_back(connection);
        std::weak_ptr<Connection> weak = connection;
        connection->onText = [this, weak, isLAN](std::string text) {
            if (auto live = weak.lock()) hello(live, std::move(text), isLAN);
        };
        connection->onClosed = [this](std::optional<std::uint16_t> code) { closes.push_back(code); };
        connection->start();
    }

    void hello(const std::shared_ptr<Connection>& connection, std::string text, bool isLAN) {
        hellos.push_back(text);
        if (stalls) return;
        if (reply) return connection->sendText(*reply);
        auto object = base::parseJsonObject(text);
        if (!object || object->value("purpose", base::Json()) != "clipboard") return;
        const auto token = object->value("token", base::Json());
        const auto deviceId = object->value("deviceId", base::Json());
        const bool known = token.is_string() && deviceId.is_string() && devices.contains(deviceId.get<std::string>()) &&
                           devices.at(deviceId.get<std::string>()) == token.get<std::string>();
        if (isLAN || !known) return connection->close(4003, "clipboard denied");
        accepted(connection);
    }

    void accepted(const std::shared_ptr<Connection>& connection) {
        const std::string id = connection->id();
        std::weak_ptr<Connection> weak = connection;
        connection->parser().maxMessage = std::max<std::int64_t>(connection->parser().maxMessage, 8 << 20);
        connection->onText = [this, id](std::string text) {
            texts.push_back(text);
            auto object = base::parseJsonObject(text);
            if (!object) return;
            const auto type = object->value("type", base::Json());
            if (type != "clipboardState" && type != "clipboard" && type != "clipboardImage") return;
            executor_.async([this, id, packet = std::move(*object)] { hub_.receive(packet, id); });
        };
        connection->onClosed = [this, id](std::optional<std::uint16_t> code) {
            closes.push_back(code);
            executor_.async([this, id] { hub_.detach(id); });
        };
        executor_.async([this, weak, id] {
            auto live = weak.lock();
            if (!live) return;
            if (!hub_.enabled()) return live->close(1008, "clipboard disabled");
            live->sendText(kWelcome);
            hub_.attach(id, {[weak](const clipboard::Packet& packet) {
                                 auto text = base::writeJsonText(packet, {.escapeSlashes = false});
                                 auto target = weak.lock();
                                 if (text && target && !target->isClosing() && !target->isClosed())
                                     target->sendText(*text);
                             },
                             [weak] {
                                 if (auto target = weak.lock()) target->close(1001, "clipboard disabled");
                             }});
        });
    }

    ManualExecutor& executor_;
    clipboard::ClipboardSync& hub_;
    std::shared_ptr<FakeServiceAdvertiser> advertiser_;
    std::shared_ptr<host::HTTPServer> server_;
    int probes_ = 0;
};

}  // namespace orvanta::testing
