// Numbers as log lines print them, whatever the locale: the shortest decimal form that reads back,
// with at least one fractional digit (2 prints "2.0").
#pragma once

#include <string>

namespace orvanta::base {

std::string decimalText(double value);

}  // namespace orvanta::base
