#include "base/Utf8.h"

#include <array>

namespace orvanta::base {
namespace {

// A byte-class DFA. States: 0 accept, 1 reject, then states waiting for continuation bytes with
// the ranges RFC 3629's table allows for the second byte.
enum State : std::uint8_t {
    kAccept = Utf8Validator::kAccept,
    kReject = Utf8Validator::kReject,
    kNeed1,          // one more 80..BF
    kNeed2,          // two more 80..BF
    kNeed3,          // three more 80..BF
    kE0,             // after E0: A0..BF then one more
    kED,             // after ED: 80..9F then one more (no surrogates)
    kF0,             // after F0: 90..BF then two more
    kF4,             // after F4: 80..8F then two more
    kStateCount,
};

State step(State state, std::uint8_t byte) {
    auto in = [byte](unsigned lo, unsigned hi) { return byte >= lo && byte <= hi; };
    switch (state) {
        case kAccept:
            if (byte < 0x80) return kAccept;
            if (in(0xC2, 0xDF)) return kNeed1;
            if (byte == 0xE0) return kE0;
            if (byte == 0xED) return kED;
            if (in(0xE1, 0xEF)) return kNeed2;
            if (byte == 0xF0) return kF0;
            if (in(0xF1, 0xF3)) return kNeed3;
            if (byte == 0xF4) return kF4;
            return kReject;
        case kNeed1: return in(0x80, 0xBF) ? kAccept : kReject;
        case kNeed2: return in(0x80, 0xBF) ? kNeed1 : kReject;
        case kNeed3: return in(0x80, 0xBF) ? kNeed2 : kReject;
        case kE0: return in(0xA0, 0xBF) ? kNeed1 : kReject;
        case kED: return in(0x80, 0x9F) ? kNeed1 : kReject;
        case kF0: return in(0x90, 0xBF) ? kNeed2 : kReject;
        case kF4: return in(0x80, 0x8F) ? kNeed2 : kReject;
        default: return kReject;
    }
}

using Table = std::array<std::array<std::uint8_t, 256>, kStateCount>;

Table makeTable() {
    Table table{};
    for (unsigned s = 0; s < kStateCount; ++s) {
        for (unsigned b = 0; b < 256; ++b) {
            table[s][b] = step(static_cast<State>(s), static_cast<std::uint8_t>(b));
        }
    }
    return table;
}

const Table& transitions() {
    static const Table table = makeTable();
    return table;
}

std::uint8_t run(std::uint8_t state, ByteView bytes) {
    const Table& table = transitions();
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n && state != kReject) {
        // ASCII runs dominate real text; skip them eight bytes at a time.
        if (state == kAccept) {
            while (i + 8 <= n) {
                std::uint64_t word;
                __builtin_memcpy(&word, bytes.data() + i, 8);
                if (word & 0x8080808080808080ULL) break;
                i += 8;
            }
            if (i == n) break;
        }
        state = table[state][bytes[i++]];
    }
    return state;
}

}  // namespace

bool isValidUtf8(ByteView bytes) { return run(kAccept, bytes) == kAccept; }

bool Utf8Validator::feed(ByteView bytes) {
    state_ = run(state_, bytes);
    return state_ != kReject;
}

namespace {

// Length of the valid sequence that starts at `i`, or 0 when none does.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
    std::uint8_t state = kAccept;
    const Table& table = transitions();
    for (std::size_t k = i; k < text.size(); ++k) {
        state = table[state][static_cast<std::uint8_t>(text[k])];
        if (state == kAccept) return k - i + 1;
        if (state == kReject) return 0;
    }
    return 0;
}

char32_t scalarAt(std::string_view text, std::size_t i, std::size_t length) {
    auto b = static_cast<std::uint8_t>(text[i]);
    char32_t scalar = length == 1 ? b : b & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) scalar = (scalar << 6) | (static_cast<std::uint8_t>(text[i + k]) & 0x3F);
    return scalar;
}

}  // namespace

std::optional<std::u32string> decodeUtf8(std::string_view text) {
    if (!isValidUtf8(text)) return std::nullopt;
    return decodeUtf8Lossy(text);
}

std::u32string decodeUtf8Lossy(std::string_view text) {
    constexpr char32_t kReplacement = 0xFFFD;
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = sequenceLength(text, i);
        if (length == 0) {
            out.push_back(kReplacement);
            ++i;
        } else {
            out.push_back(scalarAt(text, i, length));
            i += length;
        }
    }
    return out;
}

void appendUtf8(std::string& out, char32_t c) {
    auto put = [&out](unsigned v) { out.push_back(static_cast<char>(v)); };
    if (c < 0x80) {
        put(c);
    } else if (c < 0x800) {
        put(0xC0 | (c >> 6));
        put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        put(0xE0 | (c >> 12));
        put(0x80 | ((c >> 6) & 0x3F));
        put(0x80 | (c & 0x3F));
    } else {
        put(0xF0 | (c >> 18));
        put(0x80 | ((c >> 12) & 0x3F));
        put(0x80 | ((c >> 6) & 0x3F));
        put(0x80 | (c & 0x3F));
    }
}

std::string encodeUtf8(std::u32string_view scalars) {
    std::string out;
    out.reserve(scalars.size());
    for (char32_t c : scalars) appendUtf8(out, c);
    return out;
}

}  // namespace orvanta::base
