// The log, the run and the sequence; the checks are in DebugChecks.cpp.
#include "debug/DebugSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include "base/Url.h"
#include "debug/DebugFormat.h"

namespace orvanta::debug {
namespace {

constexpr double kStartDelaySeconds = 1.0;
constexpr double kConnectWaitRoundSeconds = 0.1;
constexpr base::Micros kQuitFinalDelay{500'000};

base::Micros micros(double seconds) { return base::Micros{static_cast<std::int64_t>(std::max(0.0, seconds) * 1e6)}; }

// The code file as UTF-8, trimmed; an unreadable file is an empty code.
std::string readCode(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    return std::string(base::trimWhitespace(text.str()));
}

}  // namespace

std::shared_ptr<DebugSupport> DebugSupport::create(Environment env, base::Executor& main, const base::Clock& clock,
                                                   std::string bundleId) {
    return std::make_shared<DebugSupport>(Passkey{}, std::move(env), main, clock, std::move(bundleId));
}

DebugSupport::DebugSupport(Passkey, Environment env, base::Executor& main, const base::Clock& clock,
                           std::string bundleId)
    : env_(std::move(env)),
      main_(main),
      clock_(clock),
      bundleId_(bundleId.empty() ? "-" : std::move(bundleId)),
      startMicros_(clock.uptimeMicros()) {}

// Unfinished runs are destroyed with their frames; their queued resumptions find this gone.
DebugSupport::~DebugSupport() {
    runs_.clear();
    closeLog();
}

bool DebugSupport::isActive() const { return hasAutomationVariable(env_); }

void DebugSupport::log(const std::string& message) {
    if (logFd_ < 0) return;
    const double seconds = static_cast<double>(clock_.uptimeMicros() - startMicros_) / 1e6;
    const std::string line = logPrefix(seconds) + message + "\n";
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t written = ::write(logFd_, rest.data(), rest.size());
        if (written <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

void DebugSupport::openLog(const std::string& path) {
    closeLog();
    logFd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void DebugSupport::closeLog() {
    if (logFd_ >= 0) ::close(logFd_);
    logFd_ = -1;
}

void DebugSupport::run(const std::shared_ptr<DebugClient>& client) {
    if (!isActive()) return;
    // A finished run's frame still holds its client.
    std::erase_if(runs_, [](const Async& run) { return run.done(); });
    if (!client_.expired()) return;
    client_ = client;
    if (auto path = value(env_, kLogVariable)) openLog(*path);
    log("debug start pid=" + std::to_string(::getpid()) + " entries=" + std::to_string(client->savedBaseURLs().size()) +
        " bundle=" + bundleId_);
    for (const auto& note : pendingNotes_) log(note);
    pendingNotes_.clear();
    runs_.push_back(sequence(client));
    // The sequence begins on a later turn, as a task of its own.
    resumeLater(main_, weak_from_this(), runs_.back().handle());
}

Sleep DebugSupport::sleep(double seconds) { return Sleep{main_, weak_from_this(), micros(seconds)}; }

auto DebugSupport::addHost(DebugClient& client, const PairRequest& request, const std::string& code, bool& ok) {
    struct AddHost {
        DebugSupport& self;
        DebugClient& client;
        const PairRequest& request;
        const std::string& code;
        bool& ok;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) {
            client.addHost(request.address, code, request.kind,
                           [&ok = ok, &main = self.main_, alive = self.weak_from_this(), handle](bool success) {
                               // Gone, the automation took the awaiting frame with it.
                               if (alive.expired()) return;
                               ok = success;
                               resumeLater(main, alive, handle);
                           });
        }
        void await_resume() const noexcept {}
    };
    return AddHost{*this, client, request, code, ok};
}

std::string DebugSupport::stateText(const DebugClient& client) const {
    return std::string(client::ConnectionManager::rawValue(client.state()));
}

Async DebugSupport::sequence(std::shared_ptr<DebugClient> client) {
    co_await sleep(kStartDelaySeconds);
    if (auto text = value(env_, kPairVariable)) {
        if (auto request = parsePair(*text)) co_await pair(client, *request);
    }
    if (auto selected = client->selectedHost()) {
        log("selected: " + selected->displayName + " kind=" + std::string(kindName(selected->kind)) +
            " url=" + selected->baseURL);
    }
    if (const double quitAfter = seconds(env_, kQuitAfterVariable); quitAfter > 0) scheduleQuit(client, quitAfter);
    if (!flag(env_, kConnectVariable)) co_return;

    client->connect();
    co_await waitForVideo(client);
    const auto stream = client->streamSize();
    log("video: frames=" + std::to_string(frames_) + " state=" + stateText(*client) +
        " stream=" + sizeText(stream.width, stream.height) + " fps=" + std::to_string(client->fps()));
    reportSurface(*client);

    if (flag(env_, kResizeVariable)) co_await resizeCheck(client);
    if (flag(env_, kAspectVariable)) co_await aspectCheck(client);
    if (flag(env_, kInputVariable)) co_await inputCheck(client);
    if (const double hidden = seconds(env_, kSideToggleVariable); hidden > 0) {
        co_await sideToggleCheck(client, hidden);
    }
    log("sequence done: frames=" + std::to_string(frames_) + " state=" + stateText(*client));
}

Async DebugSupport::pair(std::shared_ptr<DebugClient> client, const PairRequest& request) {
    const auto urls = client->savedBaseURLs();
    if (std::ranges::any_of(
            urls, [&](const std::string& url) { return url == request.address || url + "/" == request.address; })) {
        log("pair: skipped (already listed)");
        co_return;
    }
    const std::string code = readCode(request.codePath);
    bool ok = false;
    co_await addHost(*client, request, code, ok);
    log("pair: " + (ok ? std::string("ok") : "failed: " + client->errorMessage()) +
        " entries=" + std::to_string(client->savedBaseURLs().size()));
}

// Ends as soon as enough frames have been counted since start and the session is connected, or
// after the last round.
Async DebugSupport::waitForVideo(std::shared_ptr<DebugClient> client) {
    for (int round = 0; round < kConnectWaitRounds; ++round) {
        if (frames_ >= kConnectWaitFrames && client->state() == State::connected) co_return;
        co_await sleep(kConnectWaitRoundSeconds);
    }
}

void DebugSupport::reportSurface(const DebugClient& client) {
    const auto surface = client.surface();
    if (!surface) return;
    log("surface: " + sizeText(surface->width, surface->height) + "pt scale=" + decimalText(surface->scale) +
        " layerStatus=" + std::to_string(surface->layerStatus));
}

// The quit handler keeps the client and holds this weakly; it runs whenever its time comes, also in
// the middle of the connect wait or a check.
void DebugSupport::scheduleQuit(const std::shared_ptr<DebugClient>& client, double seconds) {
    main_.asyncAfter(micros(seconds), [client, weak = weak_from_this(), &main = main_] {
        if (auto self = weak.lock()) {
            self->log("quit: frames=" + std::to_string(self->frames_) + " state=" + self->stateText(*client));
        }
        client->disconnect();
        client->hideConnectScreen();
        main.asyncAfter(kQuitFinalDelay, [client, weak] {
            auto self = weak.lock();
            if (self && flag(self->env_, kTerminateVariable)) {
                client->terminate();
                return;
            }
            client->show(Side::host);
            if (self) self->log("quit: switched to host side (host keeps listening)");
        });
    });
}

}  // namespace orvanta::debug
