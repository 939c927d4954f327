#include "client/directory/SelfConnectionGuard.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <mutex>

#include "base/Url.h"

namespace orvanta::client {
namespace {

struct PublishedHostId {
    std::mutex mutex;
    std::optional<std::string> value;
};

PublishedHostId& published() {
    static PublishedHostId instance;
    return instance;
}

}  // namespace

void LocalHostIdentity::publish(std::string_view hostId) {
    auto& state = published();
    std::lock_guard lock(state.mutex);
    state.value = hostId.empty() ? std::nullopt : std::optional<std::string>(hostId);
}

std::optional<std::string> LocalHostIdentity::hostId() {
    auto& state = published();
    std::lock_guard lock(state.mutex);
    return state.value;
}

bool SelfConnectionGuard::isSelfConnection(const std::optional<std::string>& entryHostId,
                                           const std::optional<std::string>& localHostId) {
    if (!entryHostId || !localHostId) return false;
    std::string_view entry = base::trimWhitespace(*entryHostId);
    std::string_view local = base::trimWhitespace(*localHostId);
    if (entry.empty() || local.empty()) return false;
    auto upper = [](std::string_view text) {
        return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())))
            .toUpper(icu::Locale::getRoot());
    };
    return upper(entry) == upper(local);
}

}  // namespace orvanta::client
