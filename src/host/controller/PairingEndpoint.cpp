#include "host/controller/PairingEndpoint.h"

#include <chrono>

#include "base/Json.h"
#include "host/transport/PairRequest.h"
#include "host/transport/Support.h"

namespace orvanta::host {
namespace {

constexpr std::string_view kIssuedNote = "5分以内に端末へ入力してください";
constexpr std::string_view kPairedNotePrefix = "ペアリングしました: ";
// A clock tick's rounding must not keep a due code alive.
constexpr double kExpirySlackSeconds = 1e-6;

base::Bytes jsonBody(const base::Json& value) {
    auto text = base::writeJsonText(value);
    return base::toBytes(text ? *text : std::string("{}"));
}

base::Bytes errorBody(std::string_view word) { return jsonBody(base::Json{{"error", word}}); }

}  // namespace

PairingEndpoint::PairingEndpoint(Dependencies dependencies)
    : queue_(*dependencies.queue),
      main_(*dependencies.main),
      utility_(*dependencies.utility),
      clock_(*dependencies.clock),
      dependencies_(std::move(dependencies)) {}

void PairingEndpoint::handle(const HTTPRequest& request, const HTTPServer::PairReply& reply) {
    const auto pair = PairRequest::decode(request.body, kMaxIdCharacters, kMaxCodeCharacters);
    if (!pair) return reply("400 Bad Request", errorBody("bad_request"));
    const PairingResult result = manager_.attempt(pair->code, now());
    if (!manager_.active) clearDisplay();
    switch (result) {
        case PairingResult::tooSoon:
            return reply("429 Too Many Requests", errorBody("rate_limited"));
        case PairingResult::noActiveCode:
            return reply("401 Unauthorized", errorBody("no_active_code"));
        case PairingResult::wrongCode:
            return reply("401 Unauthorized", errorBody("invalid_code"));
        case PairingResult::success:
            break;
    }
    const auto& registry = dependencies_.registry;
    auto token = registry->registerDevice(pair->deviceId, pair->deviceName);
    if (!token) {
        log("pairing not saved: " + describe(token.error()));
        return reply("500 Internal Server Error", errorBody("storage_failed"));
    }
    onDevicesChanged();
    publish([note = std::string(kPairedNotePrefix) + pair->deviceName](HostPublishedState& state) {
        state.codeNote = note;
    });
    log("paired device " + Log::field(pair->deviceId));
    reply("200 OK", jsonBody(base::Json{{"deviceToken", *token}, {"hostId", registry->hostId()}}));
}

void PairingEndpoint::issue() {
    const std::string display = issueUnshown().display();
    publish([display](HostPublishedState& state) {
        state.pairLink.reset();
        state.codeText = display;
        state.codeNote = kIssuedNote;
    });
    publishPairLink(display);
    queue_.asyncAfter(
        std::chrono::duration_cast<base::Micros>(std::chrono::duration<double>(PairingManager::kValiditySeconds)),
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->expire();
        });
    log("pairing code issued");
}

PairingCode PairingEndpoint::issueUnshown() { return manager_.issue(now()); }

// The lookup runs a child process for up to seconds, so it stays off the host and main queues; a
// link that arrives after a newer code or a clearing is dropped.
void PairingEndpoint::publishPairLink(const std::string& display) {
    utility_.async([lookup = dependencies_.pairLinkLookup, main = &main_, published = dependencies_.published,
                    display] {
        std::optional<PairLinkImage> image;
        if (auto link = lookup ? lookup(display) : std::nullopt) {
            if (auto qr = HostPairLink::qr(*link)) image = PairLinkImage{*link, std::move(*qr)};
        }
        main->async([published, display, image = std::move(image)] {
            if (published->state().codeText != display) return;
            published->assign([&image](HostPublishedState& state) { state.pairLink = image; });
        });
    });
}

void PairingEndpoint::expire() {
    if (!manager_.active || now() + kExpirySlackSeconds < manager_.active->expiresAt) return;
    manager_.active.reset();
    clearDisplay();
}

void PairingEndpoint::clearDisplay() {
    publish([](HostPublishedState& state) {
        state.pairLink.reset();
        state.codeText.reset();
        state.codeNote.clear();
    });
}

}  // namespace orvanta::host
