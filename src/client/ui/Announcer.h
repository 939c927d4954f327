// Spoken announcements of what a user action did (a host removed, a device forgotten), for screen
// readers; the toolkit's accessibility events deliver them.
#pragma once

#include <string>

namespace orvanta::client {

class Announcer {
public:
    virtual ~Announcer() = default;
    virtual void announce(const std::string& text) = 0;
};

}  // namespace orvanta::client
