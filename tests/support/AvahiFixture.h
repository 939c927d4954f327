// Connects a DNS-SD test to the avahi-daemon that tests/support/avahi-fixture started for CTest.
#pragma once

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace orvanta::testing {

// Points the process's system bus at the fixture's daemon. Returns why the daemon is not there,
// or nothing when it is; a test that gets a reason skips with it.
inline std::optional<std::string> useAvahiFixture() {
    const char* state = std::getenv("ORVANTA_AVAHI_STATE");
    if (!state) return "not run under CTest's avahi fixture (ORVANTA_AVAHI_STATE is unset)";
    auto slurp = [](const std::string& path) -> std::optional<std::string> {
        std::ifstream in(path);
        if (!in) return std::nullopt;
        std::stringstream s;
        s << in.rdbuf();
        std::string text = s.str();
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    };
    if (auto address = slurp(std::string(state) + "/bus-address")) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address->c_str(), 1);
        return std::nullopt;
    }
    return "avahi-daemon unavailable: " + slurp(std::string(state) + "/unavailable").value_or("fixture did not run");
}

}  // namespace orvanta::testing
