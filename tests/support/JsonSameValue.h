// Strict equality of JSON values for comparing parsers: same types and values, doubles bit for
// bit (nlohmann's == equates 1 with 1.0 and 0 with -0).
#pragma once

#include <cstring>

#include "base/Json.h"

namespace orvanta::testing {

inline bool sameValue(const base::Json& a, const base::Json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_number_float()) {
        double x = a.get<double>();
        double y = b.get<double>();
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (!a.is_structured()) return a == b;
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if ((a.is_object() && i.key() != j.key()) || !sameValue(*i, *j)) return false;
    }
    return true;
}

}  // namespace orvanta::testing
