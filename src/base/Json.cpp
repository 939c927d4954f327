#include "base/Json.h"

#include <array>
#include <charconv>

#include "base/Utf8.h"

namespace orvanta::base {

std::string toString(JsonError::Kind kind) {
    switch (kind) {
        case JsonError::Kind::dataCorrupted: return "dataCorrupted";
        case JsonError::Kind::keyNotFound: return "keyNotFound";
        case JsonError::Kind::valueNotFound: return "valueNotFound";
        case JsonError::Kind::typeMismatch: return "typeMismatch";
    }
    return "unknown";
}

std::string describe(const JsonError& error) {
    std::string out = toString(error.kind);
    if (!error.path.empty()) out += " at " + error.path;
    if (!error.detail.empty()) out += ": " + error.detail;
    return out;
}

namespace json_detail {

JsonError mismatch(std::string_view expected, const Json& found) {
    return {JsonError::Kind::typeMismatch, {}, "expected " + std::string(expected) + ", found " + found.type_name()};
}

std::string joinPath(std::string_view parent, std::string_view child) {
    std::string out(parent);
    if (!out.empty() && !child.empty() && child.front() != '[') out.push_back('.');
    out.append(child);
    return out;
}

std::string indexKey(std::size_t index) { return "[" + std::to_string(index) + "]"; }

}  // namespace json_detail

JsonError JsonError::under(std::string_view key) && {
    path = json_detail::joinPath(key, path);
    return std::move(*this);
}

JsonResult<Json> parseJson(std::string_view text) {
    Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::unexpected(JsonError{JsonError::Kind::dataCorrupted, {}, "not valid JSON"});
    return value;
}

JsonResult<Json> parseJsonObject(std::string_view text) {
    auto value = parseJson(text);
    if (value && !value->is_object()) return std::unexpected(json_detail::mismatch("object", *value));
    return value;
}

JsonObjectReader::JsonObjectReader(const Json& object) : object_(object) {
    if (!object_.is_object()) error_ = json_detail::mismatch("object", object_);
}

const Json* JsonObjectReader::find(std::string_view key) const {
    if (!object_.is_object()) return nullptr;
    auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
}

namespace {

class Writer {
public:
    Writer(std::string& out, JsonWriteOptions options) : out_(out), options_(options) {}

    std::optional<JsonEncodeError> write(const Json& value) {
        switch (value.type()) {
            case Json::value_t::null: out_ += "null"; return std::nullopt;
            case Json::value_t::boolean: out_ += value.get<bool>() ? "true" : "false"; return std::nullopt;
            case Json::value_t::number_integer: return number(value.get<std::int64_t>());
            case Json::value_t::number_unsigned: return number(value.get<std::uint64_t>());
            case Json::value_t::number_float: return floating(value.get<double>());
            case Json::value_t::string: return string(value.get_ref<const std::string&>());
            case Json::value_t::array: return array(value);
            case Json::value_t::object: return object(value);
            case Json::value_t::binary:
            case Json::value_t::discarded: break;
        }
        return JsonEncodeError{{}, "value without a JSON form"};
    }

private:
    template <class N>
    std::optional<JsonEncodeError> number(N v) {
        std::array<char, 32> buffer{};
        auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), v);
        out_.append(buffer.data(), end);
        return std::nullopt;
    }

    // Shortest text that reads back as the same double; integral values print without a
    // fraction (1.0 is written 1).
    std::optional<JsonEncodeError> floating(double v) {
        if (!std::isfinite(v)) return JsonEncodeError{{}, "non-finite number"};
        return number(v);
    }

    std::optional<JsonEncodeError> string(const std::string& text) {
        if (!isValidUtf8(text)) return JsonEncodeError{{}, "invalid UTF-8"};
        static constexpr char kHex[] = "0123456789abcdef";
        out_.push_back('"');
        std::size_t runStart = 0;
        auto flush = [&](std::size_t end) { out_.append(text, runStart, end - runStart); };
        for (std::size_t i = 0; i < text.size(); ++i) {
            auto c = static_cast<unsigned char>(text[i]);
            if (c >= 0x20 && c != '"' && c != '\\' && !(c == '/' && options_.escapeSlashes)) continue;
            flush(i);
            runStart = i + 1;
            switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '/': out_ += "\\/"; break;
                case '\b': out_ += "\\b"; break;
                case '\f': out_ += "\\f"; break;
                case '\n': out_ += "\\n"; break;
                case '\r': out_ += "\\r"; break;
                case '\t': out_ += "\\t"; break;
                default:
                    out_ += "\\u00";
                    out_.push_back(kHex[c >> 4]);
                    out_.push_back(kHex[c & 15]);
            }
        }
        flush(text.size());
        out_.push_back('"');
        return std::nullopt;
    }

    std::optional<JsonEncodeError> array(const Json& value) {
        out_.push_back('[');
        std::size_t index = 0;
        for (const Json& element : value) {
            if (index > 0) out_.push_back(',');
            if (auto error = write(element)) return under(std::move(*error), json_detail::indexKey(index));
            ++index;
        }
        out_.push_back(']');
        return std::nullopt;
    }

    // nlohmann::json keeps object members in a std::map, so they come out in byte order of the key.
    std::optional<JsonEncodeError> object(const Json& value) {
        out_.push_back('{');
        bool first = true;
        for (const auto& [key, element] : value.items()) {
            if (!first) out_.push_back(',');
            first = false;
            if (auto error = string(key)) return under(std::move(*error), key);
            out_.push_back(':');
            if (auto error = write(element)) return under(std::move(*error), key);
        }
        out_.push_back('}');
        return std::nullopt;
    }

    static JsonEncodeError under(JsonEncodeError error, std::string_view key) {
        error.path = json_detail::joinPath(key, error.path);
        return error;
    }

    std::string& out_;
    JsonWriteOptions options_;
};

}  // namespace

std::expected<std::string, JsonEncodeError> writeJsonText(const Json& value, JsonWriteOptions options) {
    std::string out;
    if (auto error = Writer(out, options).write(value)) return std::unexpected(std::move(*error));
    return out;
}

}  // namespace orvanta::base
