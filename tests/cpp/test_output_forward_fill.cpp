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

TEST(ColumnWriter, FillsForwardAcrossBatchesAndLeavesLeadingGapsOfANewColumn) {
  ColumnWriter x("X", ColumnKind::Float, /*forward_fill=*/true);
  x.put(1, Value(1.0));
  x.put(3, Value(std::string("3")));
  x.put(4, Value(std::string("fast")));  // no number: the value before it
  EXPECT_EQ(std::get<FloatColumn>(column_cells(x.take(5))),
            (FloatColumn{std::nullopt, 1.0, 1.0, 3.0, 3.0}));
  x.put(1, Value(4.0));
  EXPECT_EQ(std::get<FloatColumn>(column_cells(x.take(3))), (FloatColumn{3.0, 4.0, 4.0}));

  ColumnWriter g("gg01_motion", ColumnKind::Str, true);
  g.put(1, Value(std::string("G1")));
  g.put(2, Value(std::vector<std::string>{"G2"}));  // a list: no text of its own
  EXPECT_EQ(std::get<StrColumn>(column_cells(g.take(4))), (StrColumn{std::nullopt, "G1", "G1", "G1"}));
  EXPECT_EQ(std::get<StrColumn>(column_cells(g.take(2))), (StrColumn{"G1", "G1"}));

  // a column with no value yet, or not forward filled, stays null
  ColumnWriter t("T", ColumnKind::Str, false);
  const ColumnData none = t.take(2);
  EXPECT_EQ(none.null_count, 2);
  t.put(0, Value(std::string("t1")));
  EXPECT_EQ(std::get<StrColumn>(column_cells(t.take(2))), (StrColumn{"t1", std::nullopt}));
}

TEST(ColumnWriter, LaysOutArrowBuffers) {
  ColumnWriter m("M", ColumnKind::List, false);
  m.put(0, Value(std::vector<std::string>{"M3", "M8"}));
  m.put(2, Value(std::string("M5")));
  const ColumnData c = m.take(3);
  EXPECT_EQ(c.offsets, (std::vector<std::int32_t>{0, 2, 2, 3}));
  EXPECT_EQ(c.item_offsets, (std::vector<std::int32_t>{0, 2, 4, 6}));
  EXPECT_EQ(c.chars, "M3M8M5");
  EXPECT_EQ(c.item_count, 3);
  EXPECT_EQ(c.null_count, 1);
  ASSERT_EQ(c.validity.size(), 1u);
  EXPECT_EQ(c.validity[0] & 0b111, 0b101);

  // without a null there is no bitmap
  ColumnWriter n("N", ColumnKind::Int, true);
  n.put_int(0, 7);
  const ColumnData full = n.take(9);
  EXPECT_TRUE(full.validity.empty());
  EXPECT_EQ(full.i64, std::vector<std::int64_t>(9, 7));
}

TEST(ColumnWriter, CarriesTextsOfEveryLengthOverGapsOfEverySize) {
  // short texts are copied by fixed-size moves and long gaps by doubling:
  // every length around those sizes, over gaps of one row to many
  for (const std::size_t len : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 40u}) {
    for (const std::size_t gap : {1u, 2u, 3u, 5u, 64u, 1000u}) {
      std::string text;
      for (std::size_t i = 0; i < len; ++i) text += static_cast<char>('a' + (i * 7 + len) % 26);
      ColumnWriter g("gg01_motion", ColumnKind::Str, true);
      g.put(0, Value(text));
      g.put(gap + 1, Value(std::string("G0")));
      StrColumn want(gap + 1, text);
      want.push_back("G0");
      want.push_back("G0");
      EXPECT_EQ(std::get<StrColumn>(column_cells(g.take(gap + 3))), want)
          << "length " << len << " gap " << gap;
    }
  }
}

TEST(ColumnWriter, NumbersAfterALeadingNullKeepTheBitmapOneBitARow) {
  // the bitmap that a leading null starts grows with every valid number,
  // filled rows included, across its byte boundaries
  ColumnWriter x("X", ColumnKind::Float, true);
  x.put_number(2, 1.5);
  x.put_number(3, 2.5);
  x.put_number(12, 3.5);  // rows 4 to 11 carry 2.5
  x.put_number(13, 4.5);
  const ColumnData c = x.take(17);
  FloatColumn want{std::nullopt, std::nullopt, 1.5, 2.5};
  want.resize(12, 2.5);
  want.insert(want.end(), {3.5, 4.5, 4.5, 4.5, 4.5});
  EXPECT_EQ(std::get<FloatColumn>(column_cells(c)), want);
  EXPECT_EQ(c.null_count, 2);
  EXPECT_EQ(c.validity.size(), 3u);

  // a column that is not carried leaves its gaps null: gaps within a byte
  // of the bitmap, up to its boundaries and over whole bytes
  for (const std::size_t start : {0u, 3u, 7u}) {
    for (const std::size_t gap : {1u, 2u, 7u, 8u, 9u, 16u, 17u, 30u}) {
      ColumnWriter y("Y", ColumnKind::Float, false);
      y.put_number(start, 1.0);
      y.put_number(start + gap + 1, 2.0);
      FloatColumn want(start + gap + 3, std::nullopt);
      want[start] = 1.0;
      want[start + gap + 1] = 2.0;
      const ColumnData d = y.take(start + gap + 3);
      EXPECT_EQ(std::get<FloatColumn>(column_cells(d)), want) << "start " << start << " gap " << gap;
      EXPECT_EQ(d.null_count, static_cast<std::int64_t>(start + gap + 1));
    }
  }
}
