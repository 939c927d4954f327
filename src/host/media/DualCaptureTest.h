// The host's two-stream capture self test: two screen streams of the main display at once for five
// seconds, counting the pictures each delivers, with the result in the host log. It answers whether
// this machine can feed two simultaneous captures of one display, and at what rates. It shares
// nothing with the host's own capture pipeline. Every stream it started is stopped before it ends,
// whether it finished, failed part-way or was cancelled.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/Executor.h"
#include "platform/ScreenSource.h"

namespace orvanta::host {

class DualCaptureTest final : public std::enable_shared_from_this<DualCaptureTest> {
    struct Passkey {};

public:
    using LogFn = std::function<void(std::string_view)>;

    static constexpr std::string_view kVariable = "ZQ2_DUAL_TEST";
    static constexpr int kMaxFramesPerSecond = 60;
    static constexpr base::Micros kRunTime{5'000'000};

    // `work` runs the test's steps; the streams call back on their own threads.
    static std::shared_ptr<DualCaptureTest> create(std::shared_ptr<platform::ScreenSource> source, base::Executor& work,
                                                   LogFn log);
    DualCaptureTest(Passkey, std::shared_ptr<platform::ScreenSource> source, base::Executor& work, LogFn log);
    // Stops whatever still runs.
    ~DualCaptureTest();
    DualCaptureTest(const DualCaptureTest&) = delete;
    DualCaptureTest& operator=(const DualCaptureTest&) = delete;

    // Starts the test on the work executor and returns at once; once per object.
    void run();
    // Ends the five-second wait early: the streams stop and the test ends with its error line.
    void cancel();

    std::array<std::int64_t, 2> counts() const;

private:
    void start();
    bool startStream(std::uint32_t display, std::size_t index);
    void finish();
    void fail(std::string_view description);
    void stopStreams();
    void count(std::size_t index);

    std::shared_ptr<platform::ScreenSource> source_;
    base::Executor& work_;
    LogFn log_;
    base::TaskHandle wait_;
    bool ended_ = false;  // work executor only

    mutable std::mutex lock_;
    std::array<std::int64_t, 2> counts_{};
    std::vector<std::unique_ptr<platform::ScreenStream>> streams_;
};

}  // namespace orvanta::host
