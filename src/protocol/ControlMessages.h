// The control channel's messages: one JSON object per WebSocket text message, a "type" text beside
// the payload's own keys in one flat object. Both ends build, send and dispatch on these values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/Bytes.h"
#include "base/Json.h"
#include "protocol/AudioFormat.h"

namespace orvanta::protocol {

namespace detail {

template <class E, std::size_t N>
using WireTexts = std::array<std::pair<E, std::string_view>, N>;

template <class E, std::size_t N>
constexpr std::string_view wireText(const WireTexts<E, N>& table, E value) {
    for (const auto& [v, text] : table) {
        if (v == value) return text;
    }
    return {};
}

template <class E, std::size_t N>
constexpr std::optional<E> fromWireText(const WireTexts<E, N>& table, std::string_view text) {
    for (const auto& [v, t] : table) {
        if (t == text) return v;
    }
    return std::nullopt;
}

// An enumeration coded as its text; a text outside the table is dataCorrupted.
template <const auto& Table>
struct WireEnumJson {
    using Enum = typename std::remove_cvref_t<decltype(Table)>::value_type::first_type;

    static base::JsonResult<Enum> read(const base::Json& value) {
        if (!value.is_string()) return std::unexpected(base::json_detail::mismatch("string", value));
        if (auto e = fromWireText(Table, value.get_ref<const std::string&>())) return *e;
        return std::unexpected(base::JsonError{base::JsonError::Kind::dataCorrupted, {}, "text outside its set"});
    }
    static base::Json write(Enum value) { return std::string(wireText(Table, value)); }
};

// Prints a record's JSON form with tokens and tickets shown as "<redacted>".
void printJsonRedacted(std::ostream& out, const base::Json& value);

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Handshake and session

enum class DeviceIdiom { phone, pad };

inline constexpr detail::WireTexts<DeviceIdiom, 2> kDeviceIdiomTexts{{
    {DeviceIdiom::phone, "phone"},
    {DeviceIdiom::pad, "pad"},
}};

constexpr std::string_view rawValue(DeviceIdiom idiom) { return detail::wireText(kDeviceIdiomTexts, idiom); }
// Nothing for a text outside the set; texts compare case-sensitively.
constexpr std::optional<DeviceIdiom> deviceIdiomFromRaw(std::string_view text) {
    return detail::fromWireText(kDeviceIdiomTexts, text);
}

// A size in pixels: a client's video area or a device's whole screen.
struct Viewport {
    std::int64_t width = 0;
    std::int64_t height = 0;

    static base::JsonResult<Viewport> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const Viewport&) const = default;
};

// What a client can take.
struct DeviceCaps {
    std::vector<std::string> codecs;
    std::int64_t maxFps = 0;
    bool lowPower = false;
    std::optional<std::string> client{};  // "macos-desktop", "windows-desktop", "android"; absent: judge by idiom
    std::optional<bool> separateCursor{};

    static base::JsonResult<DeviceCaps> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const DeviceCaps&) const = default;
};

// The first message of a control connection. A clipboard connection's hello also carries
// "purpose", which the host reads from the raw object; the record ignores it.
struct Hello {
    std::string token;
    std::string deviceId;
    DeviceIdiom idiom = DeviceIdiom::phone;
    Viewport viewport;
    DeviceCaps caps;
    std::optional<Viewport> screenPixels{};  // lenient: any defect reads as nothing

    static base::JsonResult<Hello> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const Hello&) const = default;
};

struct Welcome {
    std::string sessionId;
    std::string videoTicket;  // to be presented in Auth on the video channel
    std::optional<AudioFormat> audio{};
    std::optional<std::string> hostName{};
    std::optional<bool> viewOnly{};

    static base::JsonResult<Welcome> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const Welcome&) const = default;
};

// The first message on the video channel.
struct Auth {
    std::string ticket;

    static base::JsonResult<Auth> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const Auth&) const = default;
};

// One per video frame the client handed to its display.
struct Ack {
    std::uint16_t gen = 0;
    std::uint32_t seq = 0;
    std::uint64_t t = 0;  // client uptime, microseconds

    static base::JsonResult<Ack> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const Ack&) const = default;
};

struct Ping {
    std::uint32_t id = 0;
    std::uint64_t t = 0;  // host uptime, microseconds

    static base::JsonResult<Ping> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const Ping&) const = default;
};

struct Pong {
    std::uint32_t id = 0;
    std::uint64_t t = 0;           // the ping's, echoed
    std::uint64_t clientTime = 0;  // client uptime, microseconds

    static base::JsonResult<Pong> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const Pong&) const = default;
};

// The kind of a notice. The set is open: a kind this side does not know is carried unchanged.
class NoticeKind {
public:
    static const NoticeKind locked;
    static const NoticeKind unlocked;
    static const NoticeKind takenOver;
    static const NoticeKind accessibilityNeeded;
    static const NoticeKind viewOnly;
    static const NoticeKind appLaunchFailed;

    NoticeKind() = default;
    explicit NoticeKind(std::string rawValue) : rawValue_(std::move(rawValue)) {}

    const std::string& rawValue() const { return rawValue_; }

    bool operator==(const NoticeKind&) const = default;

private:
    std::string rawValue_;
};

inline const NoticeKind NoticeKind::locked{"locked"};
inline const NoticeKind NoticeKind::unlocked{"unlocked"};
inline const NoticeKind NoticeKind::takenOver{"takenOver"};
inline const NoticeKind NoticeKind::accessibilityNeeded{"accessibilityNeeded"};
inline const NoticeKind NoticeKind::viewOnly{"viewOnly"};
inline const NoticeKind NoticeKind::appLaunchFailed{"appLaunchFailed"};

inline std::ostream& operator<<(std::ostream& out, const NoticeKind& kind) { return out << kind.rawValue(); }

struct Notice {
    NoticeKind kind;
    std::optional<std::string> message{};

    static base::JsonResult<Notice> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const Notice&) const = default;
};

// Codes 4003 to 4006 mean what the close codes of the same numbers mean.
struct ErrorMessage {
    std::int64_t code = 0;
    std::string message;

    static base::JsonResult<ErrorMessage> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const ErrorMessage&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Input and cursor. "seq" comes from one client counter shared by pointer, key and text: 1, 2, ...
// 4,294,967,295, then 1 again; 0 means unsequenced.

struct PointerInput {
    std::uint32_t seq = 0;
    std::string action;         // "move", "down", "scroll", ...; not checked here
    std::optional<double> x{};  // 0 left edge, 1 right edge of the streamed picture
    std::optional<double> y{};  // 0 top, 1 bottom
    std::optional<double> dx{};
    std::optional<double> dy{};
    std::optional<std::int64_t> clickState{};
    // Lenient: any defect reads as nothing.
    std::optional<bool> command{};
    std::optional<bool> control{};
    std::optional<bool> option{};
    std::optional<bool> shift{};

    static base::JsonResult<PointerInput> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const PointerInput&) const = default;
};

struct KeyInput {
    enum class Phase { down, up };

    std::uint32_t seq = 0;
    std::string name;  // a named key, one character, or "physical-" and a physical key name
    // Always written; absent or null reads as false, any other non-Boolean fails.
    bool command = false;
    bool control = false;
    bool option = false;
    bool shift = false;
    std::optional<Phase> phase{};  // absent: a complete stroke

    static base::JsonResult<KeyInput> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const KeyInput&) const = default;
};

inline constexpr detail::WireTexts<KeyInput::Phase, 2> kKeyPhaseTexts{{
    {KeyInput::Phase::down, "down"},
    {KeyInput::Phase::up, "up"},
}};

constexpr std::string_view rawValue(KeyInput::Phase phase) { return detail::wireText(kKeyPhaseTexts, phase); }
constexpr std::optional<KeyInput::Phase> keyPhaseFromRaw(std::string_view text) {
    return detail::fromWireText(kKeyPhaseTexts, text);
}

struct TextInput {
    std::uint32_t seq = 0;
    std::string value;

    static base::JsonResult<TextInput> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const TextInput&) const = default;
};

// The host's cursor, for clients that draw it themselves.
struct CursorPosition {
    struct Shape {
        std::string png;  // PNG bytes as standard Base64 text
        double width = 0;
        double height = 0;
        double hotX = 0;
        double hotY = 0;

        static base::JsonResult<Shape> readJson(base::JsonObjectReader& reader);
        void writeJson(base::JsonObjectWriter& writer) const;
        bool operator==(const Shape&) const = default;
    };

    double x = 0;  // normalised as the pointer's
    double y = 0;
    // Lenient: any defect reads as nothing; a shape with one bad key is dropped whole.
    std::optional<std::uint16_t> gen{};
    std::optional<bool> visible{};
    std::optional<Shape> shape{};

    static base::JsonResult<CursorPosition> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const CursorPosition&) const = default;
};

// The client's video area after a change.
struct ViewportUpdate {
    std::int64_t width = 0;
    std::int64_t height = 0;

    static base::JsonResult<ViewportUpdate> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const ViewportUpdate&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Windows and applications

// Icons as PNG bytes, keyed by application name (window lists) or bundle identifier (app lists).
using AppIcons = std::map<std::string, base::Bytes>;

// Fit the host's frontmost window to the client's video area.
struct FitWindowRequest {
    std::int64_t viewportWidth = 0;
    std::int64_t viewportHeight = 0;

    static base::JsonResult<FitWindowRequest> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const FitWindowRequest&) const = default;
};

// Fit one window picked from a window list.
struct FitWindowTarget {
    std::uint32_t windowId = 0;
    std::int64_t viewportWidth = 0;
    std::int64_t viewportHeight = 0;

    static base::JsonResult<FitWindowTarget> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const FitWindowTarget&) const = default;
};

struct WindowState {
    bool active = false;  // one fitted window is shown
    std::optional<std::string> appName{};

    static base::JsonResult<WindowState> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const WindowState&) const = default;
};

struct WindowListEntry {
    std::uint32_t windowId = 0;
    std::string appName;
    std::string title;  // empty when the window has none

    static base::JsonResult<WindowListEntry> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const WindowListEntry&) const = default;
};

struct WindowList {
    std::vector<WindowListEntry> entries;
    std::optional<AppIcons> appIcons{};  // an empty map differs from none

    static base::JsonResult<WindowList> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const WindowList&) const = default;
};

struct AppListEntry {
    std::string bundleId;
    std::string name;
    bool running = false;
    bool hasWindow = false;

    static base::JsonResult<AppListEntry> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const AppListEntry&) const = default;
};

// The answer to an application-list request. It shares the "type" text "applist" with the request;
// the key "entries" tells them apart.
struct AppList {
    std::vector<AppListEntry> entries;
    std::optional<AppIcons> appIcons{};

    static base::JsonResult<AppList> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const AppList&) const = default;
};

struct LaunchAppRequest {
    std::string bundleId;

    static base::JsonResult<LaunchAppRequest> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const LaunchAppRequest&) const = default;
};

// Switch display aspect fit: a virtual display shaped to the client's video area.
struct DisplayAspectFitRequest {
    bool active = false;
    std::int64_t viewportWidth = 0;
    std::int64_t viewportHeight = 0;
    std::optional<double> scale{};  // the receiver reads absent or non-finite as 1

    static base::JsonResult<DisplayAspectFitRequest> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const DisplayAspectFitRequest&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Clipboard, unlock and audio

struct ClipboardText {
    // UTF-8 bytes. Senders and the host's pasteboard apply it; decoding does not.
    static constexpr std::size_t maxBytes = 1'000'000;

    std::string text;

    static base::JsonResult<ClipboardText> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const ClipboardText&) const = default;
};

// An image on the clipboard. Its message is written with "/" unescaped, so the Base64 text travels
// as it is. Prints as its type name alone.
struct ClipboardImage {
    // Decoded bytes.
    static constexpr std::size_t maxBytes = 4'194'304;
    // The Base64 length of maxBytes bytes.
    static constexpr std::size_t maxBase64Length = (maxBytes + 2) / 3 * 4;

    std::string data;  // PNG bytes as padded standard Base64 text, no line breaks

    // The image bytes, or nothing when `data` is empty, longer than maxBase64Length, not strict
    // standard Base64, or decodes to nothing or to more than maxBytes. The bytes are not checked
    // to be a PNG image.
    std::optional<base::Bytes> decodePng() const;

    static base::JsonResult<ClipboardImage> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const ClipboardImage&) const = default;
};

// The host user's login password, for the host to type into its lock screen. Prints as its type
// name alone. Decoding refuses a password whose length is not acceptable; encoding does not check.
struct UnlockRequest {
    // Unicode scalars, not bytes or user-perceived characters.
    static constexpr std::size_t maxLength = 256;

    std::string password;

    // 1 to maxLength scalars of valid UTF-8. Clients check before sending.
    static bool isAcceptable(std::string_view password);

    static base::JsonResult<UnlockRequest> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const UnlockRequest&) const = default;
};

// The client wants the host's system audio (true) or no longer does (false).
struct AudioRequest {
    bool enabled = false;

    static base::JsonResult<AudioRequest> readJson(base::JsonObjectReader& reader);
    void writeJson(base::JsonObjectWriter& writer) const;
    bool operator==(const AudioRequest&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Messages without a payload: the object is {"type": ...} alone.

struct RequestKeyframe {
    bool operator==(const RequestKeyframe&) const = default;
};
struct Busy {  // another device holds the session; this connection waits
    bool operator==(const Busy&) const = default;
};
struct TakeOver {
    bool operator==(const TakeOver&) const = default;
};
struct JoinController {  // join as an input-only controller
    bool operator==(const JoinController&) const = default;
};
struct ControllerJoined {
    bool operator==(const ControllerJoined&) const = default;
};
struct UnfitWindow {
    bool operator==(const UnfitWindow&) const = default;
};
struct WindowListRequest {
    bool operator==(const WindowListRequest&) const = default;
};
struct AppListRequest {  // "applist" without "entries"
    bool operator==(const AppListRequest&) const = default;
};

// ---------------------------------------------------------------------------------------------
// The envelope

// The envelope's own decoding error.
struct ControlMessageError {
    struct unknownType {
        std::string text;  // the received "type", unchanged
        bool operator==(const unknownType&) const = default;
    };
    using Case = std::variant<unknownType>;

    Case value;

    template <class C>
        requires std::is_constructible_v<Case, C>
    ControlMessageError(C c) : value(std::move(c)) {}

    template <class C>
    const C* as() const {
        return std::get_if<C>(&value);
    }

    bool operator==(const ControlMessageError&) const = default;
};

// Why a text is not a control message: a JSON error (not JSON, not an object, a bad "type" or a
// payload field that breaks its rules; kind and key path), or an unknown "type".
struct ControlMessageDecodeError {
    using Case = std::variant<base::JsonError, ControlMessageError>;

    Case value;

    template <class C>
        requires std::is_constructible_v<Case, C>
    ControlMessageDecodeError(C c) : value(std::move(c)) {}

    template <class C>
    const C* as() const {
        return std::get_if<C>(&value);
    }

    bool operator==(const ControlMessageDecodeError&) const = default;
};

// For logs: the JSON error's kind, key path and detail, or the unknown type text.
std::string describe(const ControlMessageDecodeError& error);

struct ControlMessage;
using ControlMessageResult = std::expected<ControlMessage, ControlMessageDecodeError>;

struct ControlMessage {
    // In wire-case order: index() is the case number.
    using Payload =
        std::variant<Hello, Welcome, Auth, Ack, Ping, Pong, Notice, ErrorMessage, PointerInput, KeyInput, TextInput,
                     CursorPosition, FitWindowRequest, WindowState, WindowList, AppList, LaunchAppRequest,
                     FitWindowTarget, DisplayAspectFitRequest, ClipboardText, ClipboardImage, ViewportUpdate,
                     UnlockRequest, AudioRequest, RequestKeyframe, Busy, TakeOver, JoinController, ControllerJoined,
                     UnfitWindow, WindowListRequest, AppListRequest>;

    Payload payload;

    template <class T>
        requires std::is_constructible_v<Payload, T&&> && (!std::is_same_v<std::remove_cvref_t<T>, ControlMessage>)
    ControlMessage(T&& value) : payload(std::forward<T>(value)) {}

    template <class T>
    const T* as() const {
        return std::get_if<T>(&payload);
    }

    // The "type" text of the message's case.
    std::string_view typeName() const;

    // Compact JSON with sorted keys, "/" escaped except in "clipboardImage". Fails only for a
    // non-finite number or text that is not UTF-8.
    std::expected<std::string, base::JsonEncodeError> jsonString() const;
    // The same UTF-8 bytes as jsonString().
    std::expected<std::string, base::JsonEncodeError> jsonData() const { return jsonString(); }

    // Never throws; any bytes give a message or an error.
    static ControlMessageResult decode(std::string_view text);
    static ControlMessageResult decode(base::ByteView bytes) { return decode(base::asText(bytes)); }

    bool operator==(const ControlMessage&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Printing, for logs and test failures. A record prints as its JSON form with tokens and tickets
// redacted; UnlockRequest and ClipboardImage print their type name alone, so neither a password
// nor image data reaches a log or a test report.

template <base::JsonRecord T>
std::ostream& operator<<(std::ostream& out, const T& record) {
    detail::printJsonRedacted(out, base::writeJsonValue(record));
    return out;
}

std::ostream& operator<<(std::ostream& out, const UnlockRequest& request);
std::ostream& operator<<(std::ostream& out, const ClipboardImage& image);
void PrintTo(const UnlockRequest& request, std::ostream* out);
void PrintTo(const ClipboardImage& image, std::ostream* out);

// The wire form with secrets redacted, or the payload's name alone for the two above.
std::ostream& operator<<(std::ostream& out, const ControlMessage& message);
std::ostream& operator<<(std::ostream& out, const ControlMessageDecodeError& error);
// Without it a decode result prints as raw bytes, which could show a short password.
void PrintTo(const ControlMessageResult& result, std::ostream* out);

}  // namespace orvanta::protocol

template <>
struct orvanta::base::JsonValue<orvanta::protocol::DeviceIdiom>
    : orvanta::protocol::detail::WireEnumJson<orvanta::protocol::kDeviceIdiomTexts> {};

template <>
struct orvanta::base::JsonValue<orvanta::protocol::KeyInput::Phase>
    : orvanta::protocol::detail::WireEnumJson<orvanta::protocol::kKeyPhaseTexts> {};

// Any text is a kind.
template <>
struct orvanta::base::JsonValue<orvanta::protocol::NoticeKind> {
    static JsonResult<orvanta::protocol::NoticeKind> read(const Json& value) {
        auto text = JsonValue<std::string>::read(value);
        if (!text) return std::unexpected(text.error());
        return orvanta::protocol::NoticeKind(std::move(*text));
    }
    static Json write(const orvanta::protocol::NoticeKind& kind) { return kind.rawValue(); }
};

template <>
struct std::hash<orvanta::protocol::NoticeKind> {
    std::size_t operator()(const orvanta::protocol::NoticeKind& kind) const noexcept {
        return std::hash<std::string>{}(kind.rawValue());
    }
};
