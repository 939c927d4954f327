// Byte buffers and views shared by every layer.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::base {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

inline Bytes toBytes(std::string_view text) {
    auto view = asBytes(text);
    return {view.begin(), view.end()};
}

// Big-endian integers, as every wire format here writes them, in the first sizeof(T) bytes.
template <std::unsigned_integral T>
T readBigEndian(ByteView bytes) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | bytes[i]);
    return value;
}

template <std::unsigned_integral T>
void writeBigEndian(std::span<std::uint8_t> out, T value) {
    for (std::size_t i = sizeof(T); i-- > 0;) {
        out[i] = static_cast<std::uint8_t>(value);
        value = static_cast<T>(value >> 8);
    }
}

template <std::unsigned_integral T>
void appendBigEndian(Bytes& out, T value) {
    out.resize(out.size() + sizeof(T));
    writeBigEndian(std::span(out).last(sizeof(T)), value);
}

// Lower-case hexadecimal, two digits per byte, no separator.
std::string hexLower(ByteView bytes);

}  // namespace orvanta::base
