// Random (version 4) UUIDs in their canonical upper-case text form.
#pragma once

#include <string>

namespace orvanta::base {

// 36 characters: 8-4-4-4-12 upper-case hexadecimal digits.
std::string makeUuidString();

}  // namespace orvanta::base
