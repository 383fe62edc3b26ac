#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "number_text.hpp"

using namespace kelvane::output;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct NumberCase {
  std::string text;
  std::optional<double> as_float;       // NaN stands for any NaN
  std::optional<std::int64_t> as_int;
  std::optional<std::int64_t> as_int_cell;  // an integer, else a float truncated
};

const NumberCase kCases[] = {
    {"42", 42.0, 42, 42},
    {"+42", 42.0, 42, 42},
    {"-42", -42.0, -42, -42},
    {"007", 7.0, 7, 7},
    {"12.9", 12.9, std::nullopt, 12},
    {"-12.9", -12.9, std::nullopt, -12},
    {".5", 0.5, std::nullopt, 0},
    {"5.", 5.0, std::nullopt, 5},
    {"1e3", 1000.0, std::nullopt, 1000},
    {"1E+3", 1000.0, std::nullopt, 1000},
    {"9223372036854775807", 9223372036854775807.0, kMax, kMax},
    {"-9223372036854775808", -9223372036854775808.0, kMin, kMin},
    // one past the range: not an integer, a float that saturates
    {"9223372036854775808", 9223372036854775808.0, std::nullopt, kMax},
    {"1e400", kInf, std::nullopt, kMax},
    {"-1e400", -kInf, std::nullopt, kMin},
    {"1e-400", 0.0, std::nullopt, 0},
    {"inf", kInf, std::nullopt, kMax},
    {"-Infinity", -kInf, std::nullopt, kMin},
    {"+INF", kInf, std::nullopt, kMax},
    {"NaN", std::nan(""), std::nullopt, 0},
    {"-nan", std::nan(""), std::nullopt, 0},
    // nothing around the number, one sign at most, no payloads or hex
    {"", std::nullopt, std::nullopt, std::nullopt},
    {"+", std::nullopt, std::nullopt, std::nullopt},
    {"-", std::nullopt, std::nullopt, std::nullopt},
    {".", std::nullopt, std::nullopt, std::nullopt},
    {"+-1", std::nullopt, std::nullopt, std::nullopt},
    {"-+1", std::nullopt, std::nullopt, std::nullopt},
    {"--1", std::nullopt, std::nullopt, std::nullopt},
    {"++1", std::nullopt, std::nullopt, std::nullopt},
    {" 1", std::nullopt, std::nullopt, std::nullopt},
    {"1 ", std::nullopt, std::nullopt, std::nullopt},
    {"1e", std::nullopt, std::nullopt, std::nullopt},
    {"1e+", std::nullopt, std::nullopt, std::nullopt},
    {"0x10", std::nullopt, std::nullopt, std::nullopt},
    {"nan(1)", std::nullopt, std::nullopt, std::nullopt},
    {"infinit", std::nullopt, std::nullopt, std::nullopt},
    {"X1", std::nullopt, std::nullopt, std::nullopt},
};

}  // namespace

TEST(NumberText, TextsReadAsFloatsIntegersAndIntegerCells) {
  for (const NumberCase& c : kCases) {
    const auto f = parse_float(c.text);
    ASSERT_EQ(f.has_value(), c.as_float.has_value()) << "'" << c.text << "'";
    if (f && std::isnan(*c.as_float)) {
      EXPECT_TRUE(std::isnan(*f)) << c.text;
    } else if (f) {
      EXPECT_EQ(*f, *c.as_float) << c.text;
    }
    EXPECT_EQ(parse_int(c.text), c.as_int) << "'" << c.text << "'";
    EXPECT_EQ(parse_int_or_truncated(c.text), c.as_int_cell) << "'" << c.text << "'";
  }
}

TEST(NumberText, TruncationSaturatesAndTakesNaNAsZero) {
  EXPECT_EQ(truncate_to_int(2.9), 2);
  EXPECT_EQ(truncate_to_int(-2.9), -2);
  EXPECT_EQ(truncate_to_int(9.3e18), kMax);
  EXPECT_EQ(truncate_to_int(-9.3e18), kMin);
  EXPECT_EQ(truncate_to_int(-kInf), kMin);
  EXPECT_EQ(truncate_to_int(std::nan("")), 0);
  // the largest double below 2^63 is still in range
  EXPECT_EQ(truncate_to_int(9223372036854774784.0), 9223372036854774784);
}

TEST(NumberText, TheSignOfANegativeZeroAndANegativeNaNIsKept) {
  EXPECT_TRUE(std::signbit(*parse_float("-0")));
  EXPECT_TRUE(std::signbit(*parse_float("-nan")));
  EXPECT_FALSE(std::signbit(*parse_float("+nan")));
}
