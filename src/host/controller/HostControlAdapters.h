// The controller's input and video-feedback views over the real injector and video sender.
#pragma once

#include <functional>

#include "host/controller/HostControlSeams.h"
#include "host/media/VideoSender.h"

namespace orvanta::host {

class InjectorView final : public HostInjector {
public:
    // `trusted` tells whether the display accepts synthetic input (XTest present).
    InjectorView(InputInjector& injector, std::function<bool()> trusted)
        : injector_(injector), trusted_(std::move(trusted)) {}

    InputResult handle(const protocol::PointerInput& pointer, const std::string& source) override {
        return injector_.handle(pointer, source);
    }
    InputResult handle(const protocol::KeyInput& key, const std::string& source) override {
        return injector_.handle(key, source);
    }
    InputResult handle(const protocol::TextInput& text, const std::string& source) override {
        return injector_.handle(text, source);
    }
    bool trusted() override { return trusted_(); }
    void releaseAll() override {
        const auto released = injector_.releaseKeys(std::nullopt);
        injector_.releasePointerInputs(false, released);
        injector_.refreshHoldTimeout();
    }

private:
    InputInjector& injector_;
    std::function<bool()> trusted_;
};

class VideoFeedbackView final : public HostVideoFeedback {
public:
    explicit VideoFeedbackView(VideoSender& sender) : sender_(sender) {}
    bool ackReceived(std::uint16_t gen, std::uint32_t seq) override { return sender_.ackReceived(gen, seq); }
    void setBaseRTTMicros(std::uint64_t micros) override { sender_.baseRTTMicros = micros; }

private:
    VideoSender& sender_;
};

}  // namespace orvanta::host
