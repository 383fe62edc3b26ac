#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "errors.hpp"

using kelvane::errors::float_text;

TEST(FloatText, ShortestRoundTripWithoutExponent) {
  struct Case { double value; const char* text; };
  const Case cases[] = {
      {1.0, "1"},         {0.1, "0.1"},   {-2.5, "-2.5"},
      {1e21, "1000000000000000000000"},   {1e-7, "0.0000001"},
      {-0.0, "-0"},       {0.0, "0"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_text(c.value), c.text) << c.text;
}
