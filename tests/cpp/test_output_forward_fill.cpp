#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "forward_fill.hpp"
#include "output.hpp"

using namespace kelvane::output;
using kelvane::types::Value;

TEST(Carried, ColumnsAreToldApartByTextAndKeepTheirFirstOrder) {
  Carried<Value> carried;
  // two copies of one name, stored apart, are one column
  static const std::string kOtherX = "X";
  EXPECT_EQ(carried.carry("X", Value(1.0)), (std::pair<std::size_t, bool>{0, true}));
  EXPECT_EQ(carried.carry("F", Value(100.0)), (std::pair<std::size_t, bool>{1, true}));
  EXPECT_EQ(carried.carry(std::string_view(kOtherX), Value(1.0)),
            (std::pair<std::size_t, bool>{0, false}));
  EXPECT_EQ(carried.carry(std::string_view(kOtherX), Value(2.0)),
            (std::pair<std::size_t, bool>{0, true}));
  ASSERT_EQ(carried.entries().size(), 2u);
  EXPECT_EQ(carried.entries()[0].name, "X");
  EXPECT_EQ(*carried.find("X"), Value(2.0));
  EXPECT_EQ(carried.find("Y"), nullptr);
  // a value of another kind under the same name is a change too
  EXPECT_TRUE(carried.carry("F", Value(std::string("100"))).second);
}

TEST(Carried, FillForwardRunsAcrossBatchesAndLeavesLeadingGapsOfANewColumn) {
  using Carry = std::variant<double, std::int64_t, std::string, std::vector<std::string>>;
  Carried<Carry> carried;
  std::vector<std::optional<double>> first{std::nullopt, 1.0, std::nullopt, 3.0, std::nullopt};
  fill_forward(first, "X", carried);
  EXPECT_EQ(first, (std::vector<std::optional<double>>{std::nullopt, 1.0, 1.0, 3.0, 3.0}));
  std::vector<std::optional<double>> second{std::nullopt, 4.0};
  fill_forward(second, "X", carried);
  EXPECT_EQ(second, (std::vector<std::optional<double>>{3.0, 4.0}));
  EXPECT_EQ(std::get<double>(*carried.find("X")), 4.0);
  // a column with no value yet carries nothing
  std::vector<std::optional<std::string>> texts{std::nullopt, std::nullopt};
  fill_forward(texts, "T", carried);
  EXPECT_EQ(texts, (std::vector<std::optional<std::string>>{std::nullopt, std::nullopt}));
  EXPECT_EQ(carried.find("T"), nullptr);
}
