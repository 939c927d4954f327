// One-time pairing codes: the host's one active code and the checker of presented codes. Times are
// seconds on one monotonic clock chosen by the caller (the host passes its uptime).
#pragma once

#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace orvanta::host {

struct PairingCode {
    std::string normalized;  // 10 characters of the alphabet
    double issuedAt = 0;
    double expiresAt = 0;
    int failures = 0;

    // Groups of 4, 4 and 2 characters joined by "-": "ABCD-EFGH-JK".
    std::string display() const;

    bool operator==(const PairingCode&) const = default;
};

enum class PairingResult { success, wrongCode, noActiveCode, tooSoon };

// A plain value owned by the host session controller and used on its queue only.
struct PairingManager {
    // 32 characters without I, L, O and U, which read like others.
    static constexpr std::string_view kAlphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
    static constexpr std::size_t kCodeLength = 10;
    static constexpr double kValiditySeconds = 300;
    static constexpr int kMaxFailures = 5;
    static constexpr double kAttemptSpacingSeconds = 1;

    std::optional<PairingCode> active;
    // The last counted attempt, across all devices and codes.
    double lastAttempt = -std::numeric_limits<double>::infinity();

    // Replaces any active code with a new one valid for 300 s.
    PairingCode issue(double now);
    PairingResult attempt(std::string_view input, double now);

    // Upper-cased, without "-" and blanks, with O read as 0 and I and L as 1.
    static std::string normalize(std::string_view text);
};

}  // namespace orvanta::host
