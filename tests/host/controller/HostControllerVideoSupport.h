// A host controller whose main session streams: video connections over real loopback sockets,
// and pipeline runs played through the fake media components on virtual time. The media
// pipeline's own tests use its sockets and fakes without the controller.
#pragma once

#include "HostControllerHarness.h"

namespace orvanta::testing {

class HostVideoTest : public HostControllerTest {
protected:
    using Session = host::HostController::Session;

    // The links go while the executors still take their sockets' last completions.
    void TearDown() override {
        links.clear();
        videos.clear();
        HostControllerTest::TearDown();
    }

    // A video connection handed to `accept` (the controller when none) as the server's upgrade leaves it.
    std::unique_ptr<RawClient> connectVideo(const std::function<void(host::UpgradedSocket)>& accept = {}) {
        auto device = std::make_unique<RawClient>(acceptor.local_endpoint().port());
        boost::asio::ip::tcp::socket socket(transport->context());
        acceptor.accept(socket);
        if (accept) {
            accept({transport, std::move(socket)});
        } else {
            probe().acceptVideo({transport, std::move(socket)}, {});
        }
        return device;
    }

    static std::optional<std::pair<int, std::string>> closeOf(RawClient& device) {
        LinkedConnection reader{std::unique_ptr<RawClient>(&device), nullptr};
        auto close = reader.nextClose();
        reader.device.release();
        return close;
    }

    bool closedWith(RawClient& device, int code, const std::string& reason) {
        auto close = std::async(std::launch::async, [&] { return closeOf(device); });
        drive([&] { return close.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        const auto result = close.get();
        device.write(closeFrame(static_cast<std::uint16_t>(code)));  // completes the closing handshake
        return result == std::pair<int, std::string>{code, reason};
    }

    static void sendAuth(RawClient& device, const std::string& ticket) {
        device.write(textFrame(R"({"type":"auth","ticket":")" + ticket + R"("})"));
    }

    // An authenticated main session of `kind` whose video connection is attached, as the video
    // channel's authentication leaves it (the sender holds the connection too).
    std::shared_ptr<Session> streamingSession(host::DeviceKind kind = host::DeviceKind::iPad) {
        links.push_back(link());
        auto session = authenticatedSession(links.back());
        session->deviceKind = kind;
        links.push_back(link());
        session->video = links.back().connection;
        session->ticketUsed = true;
        fakes.sender->attach(session->video, false);
        return session;
    }

    // An authenticated main session whose video connection authenticated with its ticket: the
    // controller started a run, whose capture has answered.
    std::shared_ptr<Session> authenticatedStream(host::DeviceKind kind = host::DeviceKind::other) {
        links.push_back(link());
        auto session = authenticatedSession(links.back());
        session->deviceKind = kind;
        session->ticket = "tk-1";
        videos.push_back(connectVideo());
        sendAuth(*videos.back(), "tk-1");
        EXPECT_TRUE(drive([&] { return session->video != nullptr; }));
        finishCapture();
        return session;
    }

    FakeHostMedia& media() { return *fakes.media; }

    // The newest capture answers its start; the encoder queue and the controller's queue run.
    void finishCapture(bool started = true) {
        media().capture()->finishStart(started);
        settle();
    }
    void settle() {
        queue.runUntilIdle();
        media().encoderQueue.runUntilIdle();
        queue.runUntilIdle();
        main.runUntilIdle();
    }
    std::vector<LinkedConnection> links;
    std::vector<std::unique_ptr<RawClient>> videos;  // the devices' ends of authenticated video connections
};

}  // namespace orvanta::testing
