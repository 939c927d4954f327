// The pairing endpoint and the pairing code on the host screen.
#include <unicode/ubrk.h>
#include <unicode/ustring.h>

#include <vector>

#include "base/Json.h"
#include "host/controller/HostController.h"

namespace orvanta::host {
namespace {

constexpr std::string_view kIssuedNote = "5分以内に端末へ入力してください";
constexpr std::string_view kPairedNotePrefix = "ペアリングしました: ";
// A clock tick's rounding must not keep a due code alive.
constexpr double kExpirySlackSeconds = 1e-6;

struct PairRequest {
    std::string code;
    std::string deviceId;
    std::string deviceName;
};

std::optional<PairRequest> decodePairRequest(const base::Bytes& body) {
    auto object = base::parseJsonObject(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!object) return std::nullopt;
    auto text = [&](const char* key) -> const std::string* {
        auto found = object->find(key);
        return found != object->end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
    };
    const auto* code = text("code");
    const auto* deviceId = text("deviceId");
    const auto* deviceName = text("deviceName");
    if (!code || !deviceId || !deviceName) return std::nullopt;
    return PairRequest{*code, *deviceId, *deviceName};
}

// Whether valid UTF-8 text has more than `limit` grapheme clusters.
bool exceedsGraphemes(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return false;  // every cluster takes at least one byte
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return true;
    std::vector<UChar> units(static_cast<std::size_t>(length));
    status = U_ZERO_ERROR;
    u_strFromUTF8(units.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) return true;
    UBreakIterator* breaks = ubrk_open(UBRK_CHARACTER, nullptr, units.data(), length, &status);
    if (U_FAILURE(status)) return true;
    std::size_t clusters = 0;
    ubrk_first(breaks);
    while (ubrk_next(breaks) != UBRK_DONE && clusters <= limit) ++clusters;
    ubrk_close(breaks);
    return clusters > limit;
}

base::Bytes jsonBody(const base::Json& value) {
    auto text = base::writeJsonText(value);
    return base::toBytes(text ? *text : std::string("{}"));
}

base::Bytes errorBody(std::string_view word) { return jsonBody(base::Json{{"error", word}}); }

}  // namespace

void HostController::handlePair(const HTTPRequest& request, const HTTPServer::PairReply& reply) {
    const auto pair = decodePairRequest(request.body);
    if (!pair || pair->deviceId.empty() || exceedsGraphemes(pair->deviceId, kMaxPairIdCharacters) ||
        exceedsGraphemes(pair->deviceName, kMaxPairIdCharacters) ||
        exceedsGraphemes(pair->code, kMaxPairCodeCharacters)) {
        return reply("400 Bad Request", errorBody("bad_request"));
    }
    const PairingResult result = pairing_.attempt(pair->code, pairingNow());
    if (!pairing_.active) clearCodeDisplay();
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
    auto token = registry_->registerDevice(pair->deviceId, pair->deviceName);
    if (!token) {
        log("pairing not saved: " + describe(token.error()));
        return reply("500 Internal Server Error", errorBody("storage_failed"));
    }
    publishDevices();
    publish([note = std::string(kPairedNotePrefix) + pair->deviceName](HostPublishedState& state) {
        state.codeNote = note;
    });
    log("paired device " + Log::field(pair->deviceId));
    reply("200 OK", jsonBody(base::Json{{"deviceToken", *token}, {"hostId", registry_->hostId()}}));
}

void HostController::issueCode() {
    queue_.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->issueCodeOnQueue();
    });
}

void HostController::issueCodeOnQueue() {
    const std::string display = pairing_.issue(pairingNow()).display();
    publish([display](HostPublishedState& state) {
        state.pairLink.reset();
        state.codeText = display;
        state.codeNote = kIssuedNote;
    });
    publishPairLink(display);
    queue_.asyncAfter(
        std::chrono::duration_cast<base::Micros>(std::chrono::duration<double>(PairingManager::kValiditySeconds)),
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->expireCode();
        });
    log("pairing code issued");
}

// The lookup runs a child process for up to seconds, so it stays off the host and main queues; a
// link that arrives after a newer code or a clearing is dropped.
void HostController::publishPairLink(const std::string& display) {
    utility_.async([lookup = dependencies_.pairLinkLookup, main = &main_, published = published_, display] {
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

void HostController::expireCode() {
    if (!pairing_.active || pairingNow() + kExpirySlackSeconds < pairing_.active->expiresAt) return;
    pairing_.active.reset();
    clearCodeDisplay();
}

void HostController::clearCodeDisplay() {
    publish([](HostPublishedState& state) {
        state.pairLink.reset();
        state.codeText.reset();
        state.codeNote.clear();
    });
}

}  // namespace orvanta::host
