#include "protocol/ControlMessages.h"

#include <algorithm>
#include <sstream>

#include "base/Base64.h"
#include "base/Utf8.h"

namespace orvanta::protocol {

using base::JsonError;
using base::JsonObjectReader;
using base::JsonObjectWriter;
using base::JsonResult;

// ---------------------------------------------------------------------------------------------
// Handshake and session

JsonResult<Viewport> Viewport::readJson(JsonObjectReader& r) {
    Viewport v{r.required<std::int64_t>("width"), r.required<std::int64_t>("height")};
    return r.finish(v);
}

void Viewport::writeJson(JsonObjectWriter& w) const {
    w.required("width", width);
    w.required("height", height);
}

JsonResult<DeviceCaps> DeviceCaps::readJson(JsonObjectReader& r) {
    DeviceCaps caps{r.required<std::vector<std::string>>("codecs"), r.required<std::int64_t>("maxFps"),
                    r.required<bool>("lowPower"), r.optional<std::string>("client"),
                    r.optional<bool>("separateCursor")};
    return r.finish(std::move(caps));
}

void DeviceCaps::writeJson(JsonObjectWriter& w) const {
    w.required("codecs", codecs);
    w.required("maxFps", maxFps);
    w.required("lowPower", lowPower);
    w.optional("client", client);
    w.optional("separateCursor", separateCursor);
}

JsonResult<Hello> Hello::readJson(JsonObjectReader& r) {
    Hello hello{r.required<std::string>("token"), r.required<std::string>("deviceId"),
                r.required<DeviceIdiom>("idiom"), r.required<Viewport>("viewport"),
                r.required<DeviceCaps>("caps"),   r.lenient<Viewport>("screenPixels")};
    return r.finish(std::move(hello));
}

void Hello::writeJson(JsonObjectWriter& w) const {
    w.required("token", token);
    w.required("deviceId", deviceId);
    w.required("idiom", idiom);
    w.required("viewport", viewport);
    w.required("caps", caps);
    w.optional("screenPixels", screenPixels);
}

JsonResult<Welcome> Welcome::readJson(JsonObjectReader& r) {
    Welcome welcome{r.required<std::string>("sessionId"), r.required<std::string>("videoTicket"),
                    r.optional<AudioFormat>("audio"), r.optional<std::string>("hostName"),
                    r.optional<bool>("viewOnly")};
    return r.finish(std::move(welcome));
}

void Welcome::writeJson(JsonObjectWriter& w) const {
    w.required("sessionId", sessionId);
    w.required("videoTicket", videoTicket);
    w.optional("audio", audio);
    w.optional("hostName", hostName);
    w.optional("viewOnly", viewOnly);
}

JsonResult<Auth> Auth::readJson(JsonObjectReader& r) {
    Auth auth{r.required<std::string>("ticket")};
    return r.finish(std::move(auth));
}

void Auth::writeJson(JsonObjectWriter& w) const { w.required("ticket", ticket); }

JsonResult<Ack> Ack::readJson(JsonObjectReader& r) {
    Ack ack{r.required<std::uint16_t>("gen"), r.required<std::uint32_t>("seq"), r.required<std::uint64_t>("t")};
    return r.finish(ack);
}

void Ack::writeJson(JsonObjectWriter& w) const {
    w.required("gen", gen);
    w.required("seq", seq);
    w.required("t", t);
}

JsonResult<Ping> Ping::readJson(JsonObjectReader& r) {
    Ping ping{r.required<std::uint32_t>("id"), r.required<std::uint64_t>("t")};
    return r.finish(ping);
}

void Ping::writeJson(JsonObjectWriter& w) const {
    w.required("id", id);
    w.required("t", t);
}

JsonResult<Pong> Pong::readJson(JsonObjectReader& r) {
    Pong pong{r.required<std::uint32_t>("id"), r.required<std::uint64_t>("t"), r.required<std::uint64_t>("clientTime")};
    return r.finish(pong);
}

void Pong::writeJson(JsonObjectWriter& w) const {
    w.required("id", id);
    w.required("t", t);
    w.required("clientTime", clientTime);
}

JsonResult<Notice> Notice::readJson(JsonObjectReader& r) {
    Notice notice{r.required<NoticeKind>("kind"), r.optional<std::string>("message")};
    return r.finish(std::move(notice));
}

void Notice::writeJson(JsonObjectWriter& w) const {
    w.required("kind", kind);
    w.optional("message", message);
}

JsonResult<ErrorMessage> ErrorMessage::readJson(JsonObjectReader& r) {
    ErrorMessage error{r.required<std::int64_t>("code"), r.required<std::string>("message")};
    return r.finish(std::move(error));
}

void ErrorMessage::writeJson(JsonObjectWriter& w) const {
    w.required("code", code);
    w.required("message", message);
}

// ---------------------------------------------------------------------------------------------
// Input and cursor

JsonResult<PointerInput> PointerInput::readJson(JsonObjectReader& r) {
    PointerInput p{r.required<std::uint32_t>("seq"),
                   r.required<std::string>("action"),
                   r.optional<double>("x"),
                   r.optional<double>("y"),
                   r.optional<double>("dx"),
                   r.optional<double>("dy"),
                   r.optional<std::int64_t>("clickState"),
                   r.lenient<bool>("command"),
                   r.lenient<bool>("control"),
                   r.lenient<bool>("option"),
                   r.lenient<bool>("shift")};
    return r.finish(std::move(p));
}

void PointerInput::writeJson(JsonObjectWriter& w) const {
    w.required("seq", seq);
    w.required("action", action);
    w.optional("x", x);
    w.optional("y", y);
    w.optional("dx", dx);
    w.optional("dy", dy);
    w.optional("clickState", clickState);
    w.optional("command", command);
    w.optional("control", control);
    w.optional("option", option);
    w.optional("shift", shift);
}

JsonResult<KeyInput> KeyInput::readJson(JsonObjectReader& r) {
    // "phase" is read first so that its defect is the one reported.
    auto phase = r.optional<Phase>("phase");
    KeyInput key{r.required<std::uint32_t>("seq"),
                 r.required<std::string>("name"),
                 r.optional<bool>("command").value_or(false),
                 r.optional<bool>("control").value_or(false),
                 r.optional<bool>("option").value_or(false),
                 r.optional<bool>("shift").value_or(false),
                 phase};
    return r.finish(std::move(key));
}

void KeyInput::writeJson(JsonObjectWriter& w) const {
    w.required("seq", seq);
    w.required("name", name);
    w.required("command", command);
    w.required("control", control);
    w.required("option", option);
    w.required("shift", shift);
    w.optional("phase", phase);
}

JsonResult<TextInput> TextInput::readJson(JsonObjectReader& r) {
    TextInput text{r.required<std::uint32_t>("seq"), r.required<std::string>("value")};
    return r.finish(std::move(text));
}

void TextInput::writeJson(JsonObjectWriter& w) const {
    w.required("seq", seq);
    w.required("value", value);
}

JsonResult<CursorPosition::Shape> CursorPosition::Shape::readJson(JsonObjectReader& r) {
    Shape shape{r.required<std::string>("png"), r.required<double>("width"), r.required<double>("height"),
                r.required<double>("hotX"), r.required<double>("hotY")};
    return r.finish(std::move(shape));
}

void CursorPosition::Shape::writeJson(JsonObjectWriter& w) const {
    w.required("png", png);
    w.required("width", width);
    w.required("height", height);
    w.required("hotX", hotX);
    w.required("hotY", hotY);
}

JsonResult<CursorPosition> CursorPosition::readJson(JsonObjectReader& r) {
    CursorPosition cursor{r.required<double>("x"), r.required<double>("y"), r.lenient<std::uint16_t>("gen"),
                          r.lenient<bool>("visible"), r.lenient<Shape>("shape")};
    return r.finish(std::move(cursor));
}

void CursorPosition::writeJson(JsonObjectWriter& w) const {
    w.required("x", x);
    w.required("y", y);
    w.optional("gen", gen);
    w.optional("visible", visible);
    w.optional("shape", shape);
}

JsonResult<ViewportUpdate> ViewportUpdate::readJson(JsonObjectReader& r) {
    ViewportUpdate v{r.required<std::int64_t>("width"), r.required<std::int64_t>("height")};
    return r.finish(v);
}

void ViewportUpdate::writeJson(JsonObjectWriter& w) const {
    w.required("width", width);
    w.required("height", height);
}

// ---------------------------------------------------------------------------------------------
// Windows and applications

JsonResult<FitWindowRequest> FitWindowRequest::readJson(JsonObjectReader& r) {
    FitWindowRequest request{r.required<std::int64_t>("viewportWidth"), r.required<std::int64_t>("viewportHeight")};
    return r.finish(request);
}

void FitWindowRequest::writeJson(JsonObjectWriter& w) const {
    w.required("viewportWidth", viewportWidth);
    w.required("viewportHeight", viewportHeight);
}

JsonResult<FitWindowTarget> FitWindowTarget::readJson(JsonObjectReader& r) {
    FitWindowTarget target{r.required<std::uint32_t>("windowId"), r.required<std::int64_t>("viewportWidth"),
                           r.required<std::int64_t>("viewportHeight")};
    return r.finish(target);
}

void FitWindowTarget::writeJson(JsonObjectWriter& w) const {
    w.required("windowId", windowId);
    w.required("viewportWidth", viewportWidth);
    w.required("viewportHeight", viewportHeight);
}

JsonResult<WindowState> WindowState::readJson(JsonObjectReader& r) {
    WindowState state{r.required<bool>("active"), r.optional<std::string>("appName")};
    return r.finish(std::move(state));
}

void WindowState::writeJson(JsonObjectWriter& w) const {
    w.required("active", active);
    w.optional("appName", appName);
}

JsonResult<WindowListEntry> WindowListEntry::readJson(JsonObjectReader& r) {
    WindowListEntry entry{r.required<std::uint32_t>("windowId"), r.required<std::string>("appName"),
                          r.required<std::string>("title")};
    return r.finish(std::move(entry));
}

void WindowListEntry::writeJson(JsonObjectWriter& w) const {
    w.required("windowId", windowId);
    w.required("appName", appName);
    w.required("title", title);
}

JsonResult<WindowList> WindowList::readJson(JsonObjectReader& r) {
    WindowList list{r.required<std::vector<WindowListEntry>>("entries"), r.optional<AppIcons>("appIcons")};
    return r.finish(std::move(list));
}

void WindowList::writeJson(JsonObjectWriter& w) const {
    w.required("entries", entries);
    w.optional("appIcons", appIcons);
}

JsonResult<AppListEntry> AppListEntry::readJson(JsonObjectReader& r) {
    AppListEntry entry{r.required<std::string>("bundleId"), r.required<std::string>("name"),
                       r.required<bool>("running"), r.required<bool>("hasWindow")};
    return r.finish(std::move(entry));
}

void AppListEntry::writeJson(JsonObjectWriter& w) const {
    w.required("bundleId", bundleId);
    w.required("name", name);
    w.required("running", running);
    w.required("hasWindow", hasWindow);
}

JsonResult<AppList> AppList::readJson(JsonObjectReader& r) {
    AppList list{r.required<std::vector<AppListEntry>>("entries"), r.optional<AppIcons>("appIcons")};
    return r.finish(std::move(list));
}

void AppList::writeJson(JsonObjectWriter& w) const {
    w.required("entries", entries);
    w.optional("appIcons", appIcons);
}

JsonResult<LaunchAppRequest> LaunchAppRequest::readJson(JsonObjectReader& r) {
    LaunchAppRequest request{r.required<std::string>("bundleId")};
    return r.finish(std::move(request));
}

void LaunchAppRequest::writeJson(JsonObjectWriter& w) const { w.required("bundleId", bundleId); }

JsonResult<DisplayAspectFitRequest> DisplayAspectFitRequest::readJson(JsonObjectReader& r) {
    DisplayAspectFitRequest request{r.required<bool>("active"), r.required<std::int64_t>("viewportWidth"),
                                    r.required<std::int64_t>("viewportHeight"), r.optional<double>("scale")};
    return r.finish(request);
}

void DisplayAspectFitRequest::writeJson(JsonObjectWriter& w) const {
    w.required("active", active);
    w.required("viewportWidth", viewportWidth);
    w.required("viewportHeight", viewportHeight);
    w.optional("scale", scale);
}

// ---------------------------------------------------------------------------------------------
// Clipboard, unlock and audio

JsonResult<ClipboardText> ClipboardText::readJson(JsonObjectReader& r) {
    ClipboardText clip{r.required<std::string>("text")};
    return r.finish(std::move(clip));
}

void ClipboardText::writeJson(JsonObjectWriter& w) const { w.required("text", text); }

std::optional<base::Bytes> ClipboardImage::decodePng() const {
    // The length is checked first so that an oversized text is never decoded.
    if (data.empty() || data.size() > maxBase64Length) return std::nullopt;
    auto bytes = base::base64Decode(data);
    if (!bytes || bytes->empty() || bytes->size() > maxBytes) return std::nullopt;
    return bytes;
}

JsonResult<ClipboardImage> ClipboardImage::readJson(JsonObjectReader& r) {
    ClipboardImage image{r.required<std::string>("data")};
    return r.finish(std::move(image));
}

void ClipboardImage::writeJson(JsonObjectWriter& w) const { w.required("data", data); }

bool UnlockRequest::isAcceptable(std::string_view password) {
    // Counted in place, without a decoded copy of the password.
    if (!base::isValidUtf8(password)) return false;
    auto scalars =
        std::ranges::count_if(password, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    return scalars >= 1 && static_cast<std::size_t>(scalars) <= maxLength;
}

JsonResult<UnlockRequest> UnlockRequest::readJson(JsonObjectReader& r) {
    UnlockRequest request{r.required<std::string>("password")};
    if (!r.failed() && !isAcceptable(request.password)) {
        r.setError({JsonError::Kind::dataCorrupted, "password", "password length out of range"});
    }
    return r.finish(std::move(request));
}

void UnlockRequest::writeJson(JsonObjectWriter& w) const { w.required("password", password); }

JsonResult<AudioRequest> AudioRequest::readJson(JsonObjectReader& r) {
    AudioRequest request{r.required<bool>("enabled")};
    return r.finish(request);
}

void AudioRequest::writeJson(JsonObjectWriter& w) const { w.required("enabled", enabled); }

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
