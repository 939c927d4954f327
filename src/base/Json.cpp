#include "base/Json.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

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

namespace {

// A strict RFC 8259 parser that builds the values nlohmann's parser builds: a number without
// fraction or exponent is an unsigned or signed 64-bit integer when it fits, any other number a
// double (refused when too large for one, zero when too small); the last of duplicate keys wins;
// one leading byte-order mark is skipped. Unlike nlohmann's, a NUL byte does not end the input
// and is refused like any stray byte. nlohmann's lexer copies each byte twice, one call at a
// time, which made a megabyte of Base64 take 16 ms. Nesting is followed on an explicit stack, so
// deep input costs no machine stack. The text must already be valid UTF-8.
class Parser {
public:
    explicit Parser(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    std::optional<Json> parse() {
        static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
        if (std::string_view(p_, end_).starts_with(kByteOrderMark)) p_ += kByteOrderMark.size();
        Json root;
        std::vector<Json*> open;  // containers not yet closed, innermost last
        std::string key;          // of the next member of the innermost object
        for (;;) {
            Json* slot = &root;
            if (!open.empty()) {
                Json& parent = *open.back();
                slot = parent.is_array() ? &parent.emplace_back() : &parent[key];
            }
            std::size_t depth = open.size();
            if (!value(*slot, open, key)) return std::nullopt;
            if (open.size() > depth) continue;  // its first element comes next
            // Close containers until one goes on with a further element.
            for (;;) {
                skipWhitespace();
                if (open.empty()) {
                    if (p_ != end_) return std::nullopt;
                    return root;
                }
                if (p_ == end_) return std::nullopt;
                bool inObject = open.back()->is_object();
                char c = *p_++;
                if (c == (inObject ? '}' : ']')) {
                    open.pop_back();
                    continue;
                }
                if (c != ',' || (inObject && !memberKey(key))) return std::nullopt;
                break;
            }
        }
    }

private:
    // A container that is opened and not empty goes on `open`; its elements follow.
    bool value(Json& slot, std::vector<Json*>& open, std::string& key) {
        skipWhitespace();
        if (p_ == end_) return false;
        switch (*p_) {
            case '{':
                ++p_;
                slot = Json::object();
                if (skipWhitespace(), p_ != end_ && *p_ == '}') return ++p_, true;
                open.push_back(&slot);
                return memberKey(key);
            case '[':
                ++p_;
                slot = Json::array();
                if (skipWhitespace(), p_ != end_ && *p_ == ']') return ++p_, true;
                open.push_back(&slot);
                return true;
            case '"': {
                std::string text;
                if (!string(text)) return false;
                slot = std::move(text);
                return true;
            }
            case 't': return literal("true", slot, true);
            case 'f': return literal("false", slot, false);
            case 'n': return literal("null", slot, nullptr);
            default: return number(slot);
        }
    }

    bool memberKey(std::string& key) {
        skipWhitespace();
        if (p_ == end_ || *p_ != '"' || !string(key)) return false;
        skipWhitespace();
        return p_ != end_ && *p_++ == ':';
    }

    void skipWhitespace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    template <class T>
    bool literal(std::string_view word, Json& slot, T value) {
        if (!std::string_view(p_, end_).starts_with(word)) return false;
        p_ += word.size();
        slot = value;
        return true;
    }

    // At the opening quote. Unescaped runs are copied whole.
    bool string(std::string& out) {
        ++p_;
        out.clear();
        const char* run = p_;
        while (p_ != end_) {
            auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                out.append(run, p_);
                ++p_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                out.append(run, p_);
                if (!escape(out)) return false;
                run = p_;
                continue;
            }
            ++p_;
        }
        return false;
    }

    bool escape(std::string& out) {
        ++p_;
        if (p_ == end_) return false;
        char c = *p_++;
        static constexpr std::string_view kEscapes = "\"\\/bfnrt";
        static constexpr std::string_view kMeanings = "\"\\/\b\f\n\r\t";
        if (auto at = kEscapes.find(c); at != std::string_view::npos) {
            out.push_back(kMeanings[at]);
            return true;
        }
        if (c != 'u') return false;
        auto unit = hex4();
        if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) return false;
        char32_t scalar = *unit;
        if (scalar >= 0xD800 && scalar <= 0xDBFF) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            auto low = hex4();
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
            scalar = 0x10000 + ((scalar - 0xD800) << 10) + (*low - 0xDC00);
        }
        appendUtf8(out, scalar);
        return true;
    }

    std::optional<char32_t> hex4() {
        if (end_ - p_ < 4) return std::nullopt;
        char32_t unit = 0;
        for (int i = 0; i < 4; ++i) {
            char c = *p_++;
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0) return std::nullopt;
            unit = unit * 16 + static_cast<char32_t>(digit);
        }
        return unit;
    }

    bool digits() {
        const char* start = p_;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        return p_ != start;
    }

    bool number(Json& slot) {
        const char* start = p_;
        bool negative = p_ != end_ && *p_ == '-';
        if (negative) ++p_;
        if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
        if (*p_ == '0') {
            ++p_;
        } else {
            digits();
        }
        bool integral = true;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (!digits()) return false;
            integral = false;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (!digits()) return false;
            integral = false;
        }
        std::string_view token(start, static_cast<std::size_t>(p_ - start));
        if (integral && (negative ? setInteger<std::int64_t>(token, slot) : setInteger<std::uint64_t>(token, slot))) {
            return true;
        }
        double v = 0;
        auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
        if (ec == std::errc::result_out_of_range) {
            if (tooLarge(token)) return false;
            v = negative ? -0.0 : 0.0;
        } else if (ec != std::errc{} || end != p_) {
            return false;
        }
        slot = v;
        return true;
    }

    // False when the integer does not fit; it is then read as a double.
    template <class T>
    static bool setInteger(std::string_view token, Json& slot) {
        T v = 0;
        auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
        if (ec != std::errc{}) return false;
        slot = v;
        return true;
    }

    // For a number outside the range of a double: whether it is too large rather than too small,
    // from the decimal position of its first significant digit.
    static bool tooLarge(std::string_view token) {
        if (token.starts_with('-')) token.remove_prefix(1);
        auto exponentAt = token.find_first_of("eE");
        std::string_view mantissa = token.substr(0, exponentAt);
        auto point = mantissa.find('.');
        std::string_view whole = mantissa.substr(0, point);
        std::string_view fraction = point == std::string_view::npos ? std::string_view() : mantissa.substr(point + 1);
        // The number is 0.d... times ten to the power of position plus the exponent.
        std::int64_t position = 0;
        if (auto first = whole.find_first_not_of('0'); first != std::string_view::npos) {
            position = static_cast<std::int64_t>(whole.size() - first);
        } else if (auto firstInFraction = fraction.find_first_not_of('0'); firstInFraction != std::string_view::npos) {
            position = -static_cast<std::int64_t>(firstInFraction);
        } else {
            return false;  // zero
        }
        if (exponentAt == std::string_view::npos) return position > 0;
        std::string_view exponent = token.substr(exponentAt + 1);
        bool negativeExponent = exponent.starts_with('-');
        if (exponent.starts_with('-') || exponent.starts_with('+')) exponent.remove_prefix(1);
        // Saturated: far beyond any double either way.
        constexpr std::int64_t kSaturation = 1'000'000'000'000;
        std::int64_t value = 0;
        for (char c : exponent) value = std::min(kSaturation, value * 10 + (c - '0'));
        return position + (negativeExponent ? -value : value) > 0;
    }

    const char* p_;
    const char* end_;
};

}  // namespace

JsonResult<Json> parseJson(std::string_view text) {
    std::optional<Json> value;
    if (isValidUtf8(text)) value = Parser(text).parse();
    if (!value) return std::unexpected(JsonError{JsonError::Kind::dataCorrupted, {}, "not valid JSON"});
    return std::move(*value);
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
