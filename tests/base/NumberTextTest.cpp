#include "base/NumberText.h"

#include <gtest/gtest.h>

#include <clocale>
#include <limits>

namespace orvanta::base {
namespace {

TEST(DecimalText, PrintsTheShortestFormWithAFractionWhateverTheLocale) {
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");  // a comma locale where one is installed
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {2, "2.0"},
        {1.5, "1.5"},
        {1.25, "1.25"},
        {0.1, "0.1"},
        {-3, "-3.0"},
        {1e21, "1e+21"},
        {std::numeric_limits<double>::infinity(), "inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(decimalText(c.value), c.text) << c.text;
    std::setlocale(LC_NUMERIC, "C");
}

}  // namespace
}  // namespace orvanta::base
