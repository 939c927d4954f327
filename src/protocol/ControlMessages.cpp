#include "protocol/ControlMessages.h"

#include <algorithm>
#include <sstream>

#include "base/Base64.h"
#include "base/Utf8.h"
#include "protocol/RecordFields.h"

namespace orvanta::protocol {

using base::JsonError;
using base::JsonObjectReader;
using base::JsonObjectWriter;
using base::JsonResult;
using detail::defaulted;
using detail::lenient;
using detail::optional;
using detail::required;

// ---------------------------------------------------------------------------------------------
// Handshake and session

ORVANTA_RECORD_FIELDS(Viewport, required("width", &Viewport::width), required("height", &Viewport::height))

ORVANTA_RECORD_FIELDS(DeviceCaps, required("codecs", &DeviceCaps::codecs), required("maxFps", &DeviceCaps::maxFps),
                      required("lowPower", &DeviceCaps::lowPower), optional("client", &DeviceCaps::client),
                      optional("separateCursor", &DeviceCaps::separateCursor))

ORVANTA_RECORD_FIELDS(Hello, required("token", &Hello::token), required("deviceId", &Hello::deviceId),
                      required("idiom", &Hello::idiom), required("viewport", &Hello::viewport),
                      required("caps", &Hello::caps), lenient("screenPixels", &Hello::screenPixels))

ORVANTA_RECORD_FIELDS(Welcome, required("sessionId", &Welcome::sessionId),
                      required("videoTicket", &Welcome::videoTicket), optional("audio", &Welcome::audio),
                      optional("hostName", &Welcome::hostName), optional("viewOnly", &Welcome::viewOnly))

ORVANTA_RECORD_FIELDS(Auth, required("ticket", &Auth::ticket))

ORVANTA_RECORD_FIELDS(Ack, required("gen", &Ack::gen), required("seq", &Ack::seq), required("t", &Ack::t))

ORVANTA_RECORD_FIELDS(Ping, required("id", &Ping::id), required("t", &Ping::t))

ORVANTA_RECORD_FIELDS(Pong, required("id", &Pong::id), required("t", &Pong::t),
                      required("clientTime", &Pong::clientTime))

ORVANTA_RECORD_FIELDS(Notice, required("kind", &Notice::kind), optional("message", &Notice::message))

ORVANTA_RECORD_FIELDS(ErrorMessage, required("code", &ErrorMessage::code), required("message", &ErrorMessage::message))

// ---------------------------------------------------------------------------------------------
// Input and cursor

ORVANTA_RECORD_FIELDS(PointerInput, required("seq", &PointerInput::seq), required("action", &PointerInput::action),
                      optional("x", &PointerInput::x), optional("y", &PointerInput::y),
                      optional("dx", &PointerInput::dx), optional("dy", &PointerInput::dy),
                      optional("clickState", &PointerInput::clickState), lenient("command", &PointerInput::command),
                      lenient("control", &PointerInput::control), lenient("option", &PointerInput::option),
                      lenient("shift", &PointerInput::shift))

ORVANTA_RECORD_FIELDS(KeyInput, optional("phase", &KeyInput::phase), required("seq", &KeyInput::seq),
                      required("name", &KeyInput::name), defaulted("command", &KeyInput::command),
                      defaulted("control", &KeyInput::control), defaulted("option", &KeyInput::option),
                      defaulted("shift", &KeyInput::shift))

ORVANTA_RECORD_FIELDS(TextInput, required("seq", &TextInput::seq), required("value", &TextInput::value))

ORVANTA_RECORD_FIELDS(CursorPosition::Shape, required("png", &CursorPosition::Shape::png),
                      required("width", &CursorPosition::Shape::width),
                      required("height", &CursorPosition::Shape::height),
                      required("hotX", &CursorPosition::Shape::hotX), required("hotY", &CursorPosition::Shape::hotY))

ORVANTA_RECORD_FIELDS(CursorPosition, required("x", &CursorPosition::x), required("y", &CursorPosition::y),
                      lenient("gen", &CursorPosition::gen), lenient("visible", &CursorPosition::visible),
                      lenient("shape", &CursorPosition::shape))

ORVANTA_RECORD_FIELDS(ViewportUpdate, required("width", &ViewportUpdate::width),
                      required("height", &ViewportUpdate::height))

// ---------------------------------------------------------------------------------------------
// Windows and applications

ORVANTA_RECORD_FIELDS(FitWindowRequest, required("viewportWidth", &FitWindowRequest::viewportWidth),
                      required("viewportHeight", &FitWindowRequest::viewportHeight))

ORVANTA_RECORD_FIELDS(FitWindowTarget, required("windowId", &FitWindowTarget::windowId),
                      required("viewportWidth", &FitWindowTarget::viewportWidth),
                      required("viewportHeight", &FitWindowTarget::viewportHeight))

ORVANTA_RECORD_FIELDS(WindowState, required("active", &WindowState::active), optional("appName", &WindowState::appName))

ORVANTA_RECORD_FIELDS(WindowListEntry, required("windowId", &WindowListEntry::windowId),
                      required("appName", &WindowListEntry::appName), required("title", &WindowListEntry::title))

ORVANTA_RECORD_FIELDS(WindowList, required("entries", &WindowList::entries),
                      optional("appIcons", &WindowList::appIcons))

ORVANTA_RECORD_FIELDS(AppListEntry, required("bundleId", &AppListEntry::bundleId),
                      required("name", &AppListEntry::name), required("running", &AppListEntry::running),
                      required("hasWindow", &AppListEntry::hasWindow))

ORVANTA_RECORD_FIELDS(AppList, required("entries", &AppList::entries), optional("appIcons", &AppList::appIcons))

ORVANTA_RECORD_FIELDS(LaunchAppRequest, required("bundleId", &LaunchAppRequest::bundleId))

ORVANTA_RECORD_FIELDS(DisplayAspectFitRequest, required("active", &DisplayAspectFitRequest::active),
                      required("viewportWidth", &DisplayAspectFitRequest::viewportWidth),
                      required("viewportHeight", &DisplayAspectFitRequest::viewportHeight),
                      optional("scale", &DisplayAspectFitRequest::scale))

// ---------------------------------------------------------------------------------------------
// Clipboard, unlock and audio

ORVANTA_RECORD_FIELDS(ClipboardText, required("text", &ClipboardText::text))

std::optional<base::Bytes> ClipboardImage::decodePng() const {
    // The length is checked first so that an oversized text is never decoded.
    if (data.empty() || data.size() > maxBase64Length) return std::nullopt;
    auto bytes = base::base64Decode(data);
    if (!bytes || bytes->empty() || bytes->size() > maxBytes) return std::nullopt;
    return bytes;
}

ORVANTA_RECORD_FIELDS(ClipboardImage, required("data", &ClipboardImage::data))

bool UnlockRequest::isAcceptable(std::string_view password) {
    // Counted in place, without a decoded copy of the password.
    if (!base::isValidUtf8(password)) return false;
    auto scalars =
        std::ranges::count_if(password, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    return scalars >= 1 && static_cast<std::size_t>(scalars) <= maxLength;
}

namespace {
constexpr std::tuple kUnlockRequestFields{detail::required("password", &UnlockRequest::password)};
}  // namespace

JsonResult<UnlockRequest> UnlockRequest::readJson(JsonObjectReader& r) {
    auto request = detail::readFields<UnlockRequest>(r, kUnlockRequestFields);
    if (request && !isAcceptable(request->password)) {
        return std::unexpected(JsonError{JsonError::Kind::dataCorrupted, "password", "password length out of range"});
    }
    return request;
}

void UnlockRequest::writeJson(JsonObjectWriter& w) const { detail::writeFields(w, *this, kUnlockRequestFields); }

ORVANTA_RECORD_FIELDS(AudioRequest, required("enabled", &AudioRequest::enabled))

// ---------------------------------------------------------------------------------------------
// The envelope

namespace {

constexpr std::string_view kTypeKey = "type";
constexpr std::string_view kEntriesKey = "entries";
constexpr std::size_t kCaseCount = std::variant_size_v<ControlMessage::Payload>;

// Indexed by the payload's variant index.
constexpr std::array<std::string_view, kCaseCount> kTypeNames = {
    "hello",
    "welcome",
    "auth",
    "ack",
    "ping",
    "pong",
    "notice",
    "error",
    "pointer",
    "key",
    "text",
    "cursor",
    "fitWindow",
    "windowState",
    "windowList",
    "applist",
    "launchapp",
    "fitWindowTarget",
    "displayAspectFit",
    "clipboard",
    "clipboardImage",
    "viewport",
    "unlock",
    "audio",
    "requestKeyframe",
    "busy",
    "takeOver",
    "joinController",
    "controllerJoined",
    "unfitWindow",
    "windowListRequest",
    "applist",
};

template <class T, class... Cases>
constexpr std::size_t caseIndex(std::variant<Cases...>* /*deduces the cases*/) {
    constexpr std::array<bool, sizeof...(Cases)> same{std::is_same_v<T, Cases>...};
    return static_cast<std::size_t>(std::ranges::find(same, true) - same.begin());
}

template <class T>
constexpr std::size_t kCaseIndex = caseIndex<T>(static_cast<ControlMessage::Payload*>(nullptr));

constexpr std::size_t kAppListIndex = kCaseIndex<AppList>;
constexpr std::size_t kAppListRequestIndex = kCaseIndex<AppListRequest>;

template <class T>
constexpr bool kHasPayload = !std::is_empty_v<T>;

template <std::size_t I>
ControlMessageResult decodeCase(JsonObjectReader& reader) {
    using T = std::variant_alternative_t<I, ControlMessage::Payload>;
    if constexpr (kHasPayload<T>) {
        auto payload = T::readJson(reader);
        if (!payload) return std::unexpected(std::move(payload.error()));
        return ControlMessage(std::move(*payload));
    } else {
        return ControlMessage(T{});
    }
}

using CaseDecoder = ControlMessageResult (*)(JsonObjectReader&);

constexpr auto kDecoders = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<CaseDecoder, kCaseCount>{&decodeCase<I>...};
}
(std::make_index_sequence<kCaseCount>{});

// "applist" names both the list and its request; the list is the one with "entries", whatever
// that key holds.
std::optional<std::size_t> caseFor(std::string_view type, const JsonObjectReader& reader) {
    auto it = std::ranges::find(kTypeNames, type);
    if (it == kTypeNames.end()) return std::nullopt;
    auto index = static_cast<std::size_t>(it - kTypeNames.begin());
    if (index == kAppListIndex && !reader.contains(kEntriesKey)) return kAppListRequestIndex;
    return index;
}

// "type" beside the payload's own keys, in one object.
base::Json envelope(const ControlMessage& message) {
    JsonObjectWriter writer;
    writer.required(kTypeKey, std::string(message.typeName()));
    std::visit(
        [&](const auto& value) {
            if constexpr (kHasPayload<std::remove_cvref_t<decltype(value)>>) value.writeJson(writer);
        },
        message.payload);
    return writer.take();
}

// Keys whose values are secrets and never printed.
constexpr std::array<std::string_view, 3> kSecretKeys = {"token", "ticket", "videoTicket"};

}  // namespace

std::string_view ControlMessage::typeName() const { return kTypeNames[payload.index()]; }

std::expected<std::string, base::JsonEncodeError> ControlMessage::jsonString() const {
    // Clipboard images travel with bare slashes so that their Base64 text is sent as it is.
    base::JsonWriteOptions options{.escapeSlashes = !std::holds_alternative<ClipboardImage>(payload)};
    return base::writeJsonText(envelope(*this), options);
}

ControlMessageResult ControlMessage::decode(std::string_view text) {
    auto json = base::parseJsonObject(text);
    if (!json) return std::unexpected(std::move(json.error()));
    JsonObjectReader reader(*json);
    auto type = reader.required<std::string>(kTypeKey);
    if (reader.failed()) return std::unexpected(*reader.error());
    auto index = caseFor(type, reader);
    if (!index) return std::unexpected(ControlMessageError::unknownType{std::move(type)});
    return kDecoders[*index](reader);
}

// ---------------------------------------------------------------------------------------------
// Printing

void detail::printJsonRedacted(std::ostream& out, const base::Json& value) {
    base::Json copy = value;
    if (copy.is_object()) {
        for (std::string_view key : kSecretKeys) {
            if (copy.erase(std::string(key)) > 0) copy.emplace(std::string(key), "<redacted>");
        }
    }
    out << copy.dump(-1, ' ', false, base::Json::error_handler_t::replace);
}

std::ostream& operator<<(std::ostream& out, const UnlockRequest&) { return out << "UnlockRequest"; }
std::ostream& operator<<(std::ostream& out, const ClipboardImage&) { return out << "ClipboardImage"; }
void PrintTo(const UnlockRequest& request, std::ostream* out) { *out << request; }
void PrintTo(const ClipboardImage& image, std::ostream* out) { *out << image; }

std::ostream& operator<<(std::ostream& out, const ControlMessage& message) {
    if (const auto* request = message.as<UnlockRequest>()) return out << *request;
    if (const auto* image = message.as<ClipboardImage>()) return out << *image;
    detail::printJsonRedacted(out, envelope(message));
    return out;
}

std::string describe(const ControlMessageDecodeError& error) {
    struct Describe {
        std::string operator()(const JsonError& e) const { return base::describe(e); }
        std::string operator()(const ControlMessageError& e) const { return std::visit(*this, e.value); }
        std::string operator()(const ControlMessageError::unknownType& e) const {
            return "unknown type \"" + e.text + "\"";
        }
    };
    return std::visit(Describe{}, error.value);
}

std::ostream& operator<<(std::ostream& out, const ControlMessageDecodeError& error) { return out << describe(error); }

void PrintTo(const ControlMessageResult& result, std::ostream* out) {
    if (result) {
        *out << *result;
    } else {
        *out << "error: " << result.error();
    }
}

}  // namespace orvanta::protocol
