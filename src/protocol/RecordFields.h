// One list of fields per record, read and written by the same description: each entry names the
// JSON key, the member and how the key may be absent, so adding a field is one line.
#pragma once

#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "base/Json.h"

namespace orvanta::protocol::detail {

enum class Presence {
    required,   // must be there and valid
    optional,   // absent or null reads as nothing; present must be valid; nothing is not written
    lenient,    // any defect reads as nothing; nothing is not written
    defaulted,  // absent or null reads as the type's default; present must be valid; always written
};

template <class Record, class Member>
struct Field {
    std::string_view key;
    Member Record::*member;
    Presence presence;
};

template <class Record, class Member>
constexpr Field<Record, Member> required(std::string_view key, Member Record::*member) {
    return {key, member, Presence::required};
}
template <class Record, class Member>
constexpr Field<Record, Member> optional(std::string_view key, Member Record::*member) {
    return {key, member, Presence::optional};
}
template <class Record, class Member>
constexpr Field<Record, Member> lenient(std::string_view key, Member Record::*member) {
    return {key, member, Presence::lenient};
}
template <class Record, class Member>
constexpr Field<Record, Member> defaulted(std::string_view key, Member Record::*member) {
    return {key, member, Presence::defaulted};
}

template <class T>
struct OptionalValue {
    using type = T;
};
template <class T>
struct OptionalValue<std::optional<T>> {
    using type = T;
};

// A negative zero is written as zero: its text would read back as the integer 0 and be written
// differently the second time, and the two compare equal anyway.
template <class T>
const T& canonical(const T& value) {
    return value;
}
inline double canonical(double value) { return value == 0 ? 0.0 : value; }
template <class T>
std::optional<T> canonical(const std::optional<T>& value) {
    if (!value) return std::nullopt;
    return canonical(*value);
}

template <class Record, class Member>
void readField(base::JsonObjectReader& reader, Record& record, const Field<Record, Member>& field) {
    using Value = typename OptionalValue<Member>::type;
    Member& target = record.*field.member;
    switch (field.presence) {
        case Presence::required:
            if constexpr (std::is_same_v<Member, Value>) target = reader.required<Value>(field.key);
            return;
        case Presence::optional:
            if constexpr (!std::is_same_v<Member, Value>) target = reader.optional<Value>(field.key);
            return;
        case Presence::lenient:
            if constexpr (!std::is_same_v<Member, Value>) target = reader.lenient<Value>(field.key);
            return;
        case Presence::defaulted:
            if constexpr (std::is_same_v<Member, Value>) target = reader.optional<Value>(field.key).value_or(Value{});
            return;
    }
}

template <class Record, class Member>
void writeField(base::JsonObjectWriter& writer, const Record& record, const Field<Record, Member>& field) {
    if constexpr (std::is_same_v<Member, typename OptionalValue<Member>::type>) {
        writer.required(field.key, canonical(record.*field.member));
    } else {
        writer.optional(field.key, canonical(record.*field.member));
    }
}

// Fields are read in list order, so the first defective key in the list is the one reported.
template <class Record, class... Members>
base::JsonResult<Record> readFields(base::JsonObjectReader& reader,
                                    const std::tuple<Field<Record, Members>...>& fields) {
    Record record{};
    std::apply([&](const auto&... field) { (readField(reader, record, field), ...); }, fields);
    return reader.finish(std::move(record));
}

template <class Record, class... Members>
void writeFields(base::JsonObjectWriter& writer, const Record& record,
                 const std::tuple<Field<Record, Members>...>& fields) {
    std::apply([&](const auto&... field) { (writeField(writer, record, field), ...); }, fields);
}

}  // namespace orvanta::protocol::detail

// Defines Record::readJson and Record::writeJson from one list of fields.
#define ORVANTA_RECORD_FIELDS(Record, ...)                                                            \
    ::orvanta::base::JsonResult<Record> Record::readJson(::orvanta::base::JsonObjectReader& reader) { \
        return ::orvanta::protocol::detail::readFields<Record>(reader, std::tuple{__VA_ARGS__});      \
    }                                                                                                 \
    void Record::writeJson(::orvanta::base::JsonObjectWriter& writer) const {                         \
        ::orvanta::protocol::detail::writeFields(writer, *this, std::tuple{__VA_ARGS__});             \
    }
