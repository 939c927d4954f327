// JSON reading and writing for the wire protocol and stored records.
//
// Reading: a record reads its fields through a JsonObjectReader, which keeps the first error and
// gives every later read a default value, so a record is built in one expression:
//
//     JsonObjectReader r(object);
//     Ack ack{r.required<std::uint16_t>("gen"), r.required<std::uint32_t>("seq"), r.required<std::uint64_t>("t")};
//     return r.finish(std::move(ack));
//
// Required fields must be present, not null and of their type; optional fields read nothing when
// absent or null but fail on a wrong type; lenient fields turn every defect into nothing.
//
// Writing: values are built as nlohmann::json (whose objects keep their keys sorted) and turned
// into text by writeJsonText: compact, "/" escaped unless asked otherwise, non-finite numbers
// refused, bytes as padded standard Base64.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <expected>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/Base64.h"
#include "base/Bytes.h"

namespace orvanta::base {

using Json = nlohmann::json;

struct JsonError {
    enum class Kind {
        dataCorrupted,  // not JSON, a number that does not fit, bad Base64, a text outside its set
        keyNotFound,
        valueNotFound,  // null where a value is required
        typeMismatch,
    };
    Kind kind;
    std::string path;    // the key path of the offending value, "caps.maxFps" or "entries[2].name"
    std::string detail;  // what was found

    // The same error seen from one level up: `key` is a member name or "[index]".
    JsonError under(std::string_view key) &&;

    bool operator==(const JsonError&) const = default;
};

std::string toString(JsonError::Kind kind);
std::string describe(const JsonError& error);

template <class T>
using JsonResult = std::expected<T, JsonError>;

// Parses a whole JSON text; anything else (including trailing bytes and invalid UTF-8) is
// dataCorrupted.
JsonResult<Json> parseJson(std::string_view text);
// As parseJson, and the top level must be an object (typeMismatch otherwise).
JsonResult<Json> parseJsonObject(std::string_view text);

struct JsonEncodeError {
    std::string path;    // where the value sits
    std::string detail;  // "non-finite number" or "invalid UTF-8"
    bool operator==(const JsonEncodeError&) const = default;
};

struct JsonWriteOptions {
    bool escapeSlashes = true;
};

// Compact text with object keys in byte order.
std::expected<std::string, JsonEncodeError> writeJsonText(const Json& value, JsonWriteOptions options = {});

// ---------------------------------------------------------------------------------------------
// Value coding. JsonValue<T> reads and writes one value of type T; it is defined here for bool,
// integers (checked for width and sign), double, text, bytes, lists, text-keyed maps and records.
// A record has `static JsonResult<T> readJson(JsonObjectReader&)` and
// `void writeJson(JsonObjectWriter&) const`. Other types (enumerations with wire texts) specialise
// JsonValue.
template <class T>
struct JsonValue;

class JsonObjectReader;
class JsonObjectWriter;

template <class T>
concept JsonRecord = requires(const T& value, JsonObjectReader& reader, JsonObjectWriter& writer) {
    { T::readJson(reader) } -> std::same_as<JsonResult<T>>;
    value.writeJson(writer);
};

namespace json_detail {
JsonError mismatch(std::string_view expected, const Json& found);
std::string joinPath(std::string_view parent, std::string_view child);
std::string indexKey(std::size_t index);
}  // namespace json_detail

class JsonObjectReader {
public:
    // `object` must outlive the reader. A non-object records a typeMismatch.
    explicit JsonObjectReader(const Json& object);

    template <class T>
    T required(std::string_view key) {
        if (failed()) return T{};
        const Json* value = find(key);
        if (!value) return fail<T>({JsonError::Kind::keyNotFound, std::string(key), {}});
        if (value->is_null()) return fail<T>({JsonError::Kind::valueNotFound, std::string(key), "null"});
        return take(key, JsonValue<T>::read(*value));
    }

    template <class T>
    std::optional<T> optional(std::string_view key) {
        if (failed()) return std::nullopt;
        const Json* value = find(key);
        if (!value || value->is_null()) return std::nullopt;
        return take(key, JsonValue<T>::read(*value));
    }

    template <class T>
    std::optional<T> lenient(std::string_view key) const {
        const Json* value = find(key);
        if (!value || value->is_null()) return std::nullopt;
        auto result = JsonValue<T>::read(*value);
        if (!result) return std::nullopt;
        return std::move(*result);
    }

    bool contains(std::string_view key) const { return find(key) != nullptr; }
    const Json* find(std::string_view key) const;
    const Json& object() const { return object_; }

    bool failed() const { return error_.has_value(); }
    const std::optional<JsonError>& error() const { return error_; }
    // Records an error found by the record's own checks; the first error is kept.
    void setError(JsonError error) {
        if (!error_) error_ = std::move(error);
    }

    template <class T>
    JsonResult<T> finish(T value) const {
        if (error_) return std::unexpected(*error_);
        return value;
    }

private:
    template <class T>
    T fail(JsonError error) {
        setError(std::move(error));
        return T{};
    }

    template <class T>
    T take(std::string_view key, JsonResult<T> result) {
        if (!result) return fail<T>(std::move(result.error()).under(key));
        return std::move(*result);
    }

    const Json& object_;
    std::optional<JsonError> error_;
};

class JsonObjectWriter {
public:
    JsonObjectWriter() : object_(Json::object()) {}

    template <class T>
    void required(std::string_view key, const T& value) {
        object_[std::string(key)] = JsonValue<T>::write(value);
    }
    // An empty optional writes nothing (never null).
    template <class T>
    void optional(std::string_view key, const std::optional<T>& value) {
        if (value) required(key, *value);
    }

    Json& object() { return object_; }
    Json take() { return std::move(object_); }

private:
    Json object_;
};

template <class T>
JsonResult<T> readJsonValue(const Json& value) {
    return JsonValue<T>::read(value);
}

template <class T>
Json writeJsonValue(const T& value) {
    return JsonValue<T>::write(value);
}

// ---------------------------------------------------------------------------------------------

template <>
struct JsonValue<bool> {
    static JsonResult<bool> read(const Json& value) {
        if (!value.is_boolean()) return std::unexpected(json_detail::mismatch("bool", value));
        return value.get<bool>();
    }
    static Json write(bool value) { return value; }
};

// Integers must be integral and fit the type. An integral number written with a fraction or an
// exponent (1.0, 1e3) is accepted: JSON has one number type and peers differ in how they print it.
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
struct JsonValue<T> {
    static JsonResult<T> read(const Json& value) {
        using Limits = std::numeric_limits<T>;
        auto outOfRange = [&] {
            return std::unexpected(JsonError{JsonError::Kind::dataCorrupted, {}, value.dump() + " does not fit"});
        };
        if (value.is_number_unsigned()) {
            auto v = value.get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(Limits::max())) return outOfRange();
            return static_cast<T>(v);
        }
        if (value.is_number_integer()) {
            auto v = value.get<std::int64_t>();
            if constexpr (std::is_unsigned_v<T>) {
                if (v < 0) return outOfRange();
                if (static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(Limits::max())) return outOfRange();
            } else {
                if (v < static_cast<std::int64_t>(Limits::min()) || v > static_cast<std::int64_t>(Limits::max())) {
                    return outOfRange();
                }
            }
            return static_cast<T>(v);
        }
        if (value.is_number_float()) {
            double v = value.get<double>();
            if (!std::isfinite(v) || std::trunc(v) != v || v < static_cast<double>(Limits::min()) ||
                v >= upperExclusive()) {
                return outOfRange();
            }
            return static_cast<T>(v);
        }
        return std::unexpected(json_detail::mismatch("integer", value));
    }
    static Json write(T value) { return value; }

private:
    static constexpr double upperExclusive() {
        // max + 1 is a power of two and therefore exact.
        return static_cast<double>(std::numeric_limits<T>::max() / 2 + 1) * 2.0;
    }
};

template <>
struct JsonValue<double> {
    static JsonResult<double> read(const Json& value) {
        if (!value.is_number()) return std::unexpected(json_detail::mismatch("number", value));
        return value.get<double>();
    }
    static Json write(double value) { return value; }
};

template <>
struct JsonValue<std::string> {
    static JsonResult<std::string> read(const Json& value) {
        if (!value.is_string()) return std::unexpected(json_detail::mismatch("string", value));
        return value.get<std::string>();
    }
    static Json write(const std::string& value) { return value; }
};

// Bytes travel as padded standard Base64 text, decoded strictly.
template <>
struct JsonValue<Bytes> {
    static JsonResult<Bytes> read(const Json& value) {
        if (!value.is_string()) return std::unexpected(json_detail::mismatch("base64 string", value));
        auto bytes = base64Decode(value.get_ref<const std::string&>());
        if (!bytes) return std::unexpected(JsonError{JsonError::Kind::dataCorrupted, {}, "invalid base64"});
        return std::move(*bytes);
    }
    static Json write(const Bytes& value) { return base64Encode(value); }
};

template <class T>
struct JsonValue<std::vector<T>> {
    static JsonResult<std::vector<T>> read(const Json& value) {
        if (!value.is_array()) return std::unexpected(json_detail::mismatch("array", value));
        std::vector<T> out;
        out.reserve(value.size());
        for (std::size_t i = 0; i < value.size(); ++i) {
            const Json& element = value[i];
            if (element.is_null()) {
                return std::unexpected(JsonError{JsonError::Kind::valueNotFound, json_detail::indexKey(i), "null"});
            }
            auto item = JsonValue<T>::read(element);
            if (!item) return std::unexpected(std::move(item.error()).under(json_detail::indexKey(i)));
            out.push_back(std::move(*item));
        }
        return out;
    }
    static Json write(const std::vector<T>& values) {
        Json out = Json::array();
        for (const T& v : values) out.push_back(JsonValue<T>::write(v));
        return out;
    }
};

template <class T>
struct JsonValue<std::map<std::string, T>> {
    static JsonResult<std::map<std::string, T>> read(const Json& value) {
        if (!value.is_object()) return std::unexpected(json_detail::mismatch("object", value));
        std::map<std::string, T> out;
        for (const auto& [key, element] : value.items()) {
            if (element.is_null()) return std::unexpected(JsonError{JsonError::Kind::valueNotFound, key, "null"});
            auto item = JsonValue<T>::read(element);
            if (!item) return std::unexpected(std::move(item.error()).under(key));
            out.emplace(key, std::move(*item));
        }
        return out;
    }
    static Json write(const std::map<std::string, T>& values) {
        Json out = Json::object();
        for (const auto& [key, v] : values) out[key] = JsonValue<T>::write(v);
        return out;
    }
};

template <JsonRecord T>
struct JsonValue<T> {
    static JsonResult<T> read(const Json& value) {
        JsonObjectReader reader(value);
        if (reader.failed()) return std::unexpected(*reader.error());
        return T::readJson(reader);
    }
    static Json write(const T& value) {
        JsonObjectWriter writer;
        value.writeJson(writer);
        return writer.take();
    }
};

}  // namespace orvanta::base
