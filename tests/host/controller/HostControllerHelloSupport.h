// A listening host controller with paired devices that reach it through its own listener.
#pragma once

#include <future>

#include "HostControlDevice.h"
#include "HostControllerHarness.h"

namespace orvanta::testing {

class HostHelloTest : public HostControllerTest {
protected:
    static constexpr std::chrono::microseconds kHello{10'000'000};

    void SetUp() override {
        startListening();
        tokenA = registry->registerDevice("dev-a", "Tablet A").value();
        tokenB = registry->registerDevice("dev-b", "Laptop B").value();
        revokedToken = registry->registerDevice("dev-r", "Gone").value();
        ASSERT_TRUE(registry->revoke("dev-r"));
    }

    static std::string hello(const std::string& token, const std::string& deviceId, std::string_view extra = {}) {
        return R"({"caps":{"codecs":["h264"],"lowPower":false,"maxFps":60},"deviceId":")" + deviceId +
               R"(","idiom":"pad",)" + std::string(extra) + R"("token":")" + token +
               R"(","type":"hello","viewport":{"height":768,"width":1024}})";
    }
    static std::string windowsHello(const std::string& token, const protocol::Viewport& pixels) {
        protocol::Hello typed{
            token, "dev-a", protocol::DeviceIdiom::pad, {1280, 720}, {.codecs = {"h264"}, .maxFps = 60}};
        typed.caps.client = "windows-desktop";
        typed.screenPixels = pixels;
        return protocol::ControlMessage(typed).jsonString().value();
    }

    // A device whose upgraded connection the controller takes with `first` as the bytes read past
    // the upgrade (none when empty). Its socket lives on the harness's transport queue, which the
    // harness drains before the executors go.
    std::unique_ptr<HostControlDevice> open(const std::string& first) {
        auto device = std::make_unique<HostControlDevice>(acceptor.local_endpoint().port(), base::Bytes{}, false);
        boost::asio::ip::tcp::socket socket(transport->context());
        acceptor.accept(socket);
        probe().acceptControl({transport, std::move(socket)}, first.empty() ? base::Bytes{} : textFrame(first),
                              host::ConnectionRoute::local);
        return device;
    }

    // Runs a blocking read off the test's thread while the executors run.
    template <class Read>
    auto await(Read read) {
        auto result = std::async(std::launch::async, read);
        drive([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        return result.get();
    }

    // A device holding the main session, welcomed.
    std::unique_ptr<HostControlDevice> mainSession(const std::string& token = {},
                                                   const std::string& deviceId = "dev-a") {
        auto device = open(hello(token.empty() ? tokenA : token, deviceId));
        EXPECT_TRUE(await([&] { return device->nextText("welcome"); }));
        return device;
    }

    void endCurrentSession() {
        probe().endSession(std::nullopt, "test over");
        fakes.log->clear();
    }

    std::string tokenA;
    std::string tokenB;
    std::string revokedToken;
};

}  // namespace orvanta::testing
