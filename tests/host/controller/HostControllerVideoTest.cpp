#include "host/controller/HostControllerHarness.h"

namespace orvanta::testing {
namespace {

class HostControllerVideoTest : public HostControllerTest {
protected:
    // A video connection handed to the controller as the server's upgrade leaves it.
    std::unique_ptr<RawClient> connectVideo() {
        auto device = std::make_unique<RawClient>(acceptor.local_endpoint().port());
        boost::asio::ip::tcp::socket socket(transport->context());
        acceptor.accept(socket);
        probe().acceptVideo({transport, std::move(socket)}, {});
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

    void sendAuth(RawClient& device, const std::string& ticket) {
        device.write(textFrame(R"({"type":"auth","ticket":")" + ticket + R"("})"));
    }
};

TEST_F(HostControllerVideoTest, TicketIsAcceptedOnceAndOnlyFromAnAttachedAuthenticatedSession) {
    struct Case {
        const char* name;
        std::function<void(host::HostController::Session&)> arrange;
        std::string ticket;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"right ticket", [](auto&) {}, "tk-1", true},
        {"wrong ticket", [](auto&) {}, "tk-2", false},
        {"prefix of the ticket", [](auto&) {}, "tk-", false},
        {"ticket already used", [](auto& s) { s.ticketUsed = true; }, "tk-1", false},
        {"session not authenticated", [](auto& s) { s.authenticated = false; }, "tk-1", false},
        {"session detached", [](auto& s) { s.detachedAt = 1; }, "tk-1", false},
    };
    startListening();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto control = link();
        auto session = authenticatedSession(control);
        session->ticket = "tk-1";
        c.arrange(*session);
        fakes.log->clear();
        auto device = connectVideo();
        sendAuth(*device, c.ticket);
        if (c.accepted) {
            ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
            EXPECT_TRUE(session->ticketUsed);
            EXPECT_TRUE(probe().pendingVideos().empty());
            EXPECT_EQ(fakes.sender->attached, session->video);
            EXPECT_TRUE(logged("video attached"));
        } else {
            EXPECT_TRUE(closedWith(*device, 4003, "auth failed"));
            EXPECT_EQ(session->video, nullptr);
            EXPECT_TRUE(logged("video auth failed"));
        }
        logs.clear();
        probe().session().reset();
    }
}

TEST_F(HostControllerVideoTest, WithoutSessionOrWithGarbageTheChannelIsRefused) {
    startListening();
    auto device = connectVideo();
    sendAuth(*device, "tk-1");
    EXPECT_TRUE(closedWith(*device, 4003, "auth failed"));
    auto control = link();
    authenticatedSession(control)->ticket = "tk-1";
    auto garbage = connectVideo();
    garbage->write(textFrame("not json"));
    EXPECT_TRUE(closedWith(*garbage, 4003, "auth failed"));
    EXPECT_TRUE(drive([&] { return probe().pendingVideos().empty(); }));
}

TEST_F(HostControllerVideoTest, SilentConnectionIsClosedAfterTenSecondsOfVirtualTime) {
    startListening();
    auto device = connectVideo();
    advance(std::chrono::milliseconds(9'999));
    EXPECT_EQ(probe().pendingVideos().size(), 1u);
    advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(closedWith(*device, 4003, "auth timeout"));
    EXPECT_TRUE(drive([&] { return probe().pendingVideos().empty(); }));
}

TEST_F(HostControllerVideoTest, ClosingTheAttachedVideoDetachesTheSenderAndKeepsThePipeline) {
    startListening();
    auto control = link();
    auto session = authenticatedSession(control);
    session->ticket = "tk-1";
    auto capture = std::make_shared<FakeHostCapture>(fakes.log);
    probe().capture() = capture;
    auto device = connectVideo();
    sendAuth(*device, "tk-1");
    ASSERT_TRUE(drive([&] { return session->video != nullptr; }));
    fakes.log->clear();
    device->write(closeFrame(1000));
    ASSERT_TRUE(drive([&] { return session->video == nullptr; }));
    EXPECT_EQ(*fakes.log, std::vector<std::string>{"sender.detach"});
    EXPECT_EQ(probe().videoDetachedAt(), queue.nowMicros());
    EXPECT_EQ(probe().capture(), capture);
    EXPECT_TRUE(logged("video detached"));
}

}  // namespace
}  // namespace orvanta::testing
