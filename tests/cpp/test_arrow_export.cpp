#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arrow_export.hpp"

using namespace kelvane::arrow_export;
using namespace kelvane::output;

namespace {

using Texts = std::vector<std::string>;

// One column of the sample table and what its export must show.
struct ColumnCase {
  std::string name;
  Column column;
  std::string format;
  std::vector<bool> valid;  // per row
};

std::vector<ColumnCase> sample_columns() {
  return {
      {"X", FloatColumn{1.5, std::nullopt, -2.0, std::nullopt}, "g", {true, false, true, false}},
      {"N", IntColumn{10, 20, 30, 40}, "l", {true, true, true, true}},
      {"T", StrColumn{"ab", std::nullopt, "", "cde"}, "u", {true, false, true, true}},
      {"M", ListColumn{Texts{"a", "bc"}, std::nullopt, Texts{}, Texts{"d"}}, "+l",
       {true, false, true, true}},
  };
}

std::shared_ptr<const BatchData> sample_batch() {
  Table table;
  for (auto& c : sample_columns()) table.add(c.name, std::move(c.column));
  auto data = table_to_batch_data(std::move(table));
  EXPECT_TRUE(data.has_value());
  return data ? *data : nullptr;
}

template <typename T>
std::vector<T> buffer(const ArrowArray* a, int index, std::size_t n) {
  const auto* p = static_cast<const T*>(a->buffers[index]);
  return std::vector<T>(p, p + n);
}

bool bit(const ArrowArray* a, std::size_t i) {
  const auto* bits = static_cast<const std::uint8_t*>(a->buffers[0]);
  return bits == nullptr || ((bits[i / 8] >> (i % 8)) & 1) != 0;
}

// Exported structures that are released at the end of a test if still live.
struct Exported {
  ArrowSchema schema{};
  ArrowArray array{};
  explicit Exported(const std::shared_ptr<const BatchData>& data) {
    export_batch(data, &schema, &array);
  }
  ~Exported() {
    if (schema.release != nullptr) schema.release(&schema);
    if (array.release != nullptr) array.release(&array);
  }
};

}  // namespace

TEST(ArrowExport, SchemaHasOneNullableFieldPerColumnAndListsAnItemChild) {
  auto data = sample_batch();
  Exported e(data);
  const ArrowSchema& s = e.schema;
  EXPECT_STREQ(s.format, "+s");
  EXPECT_STREQ(s.name, "");
  EXPECT_EQ(s.flags, 0);
  EXPECT_EQ(s.dictionary, nullptr);
  const auto cases = sample_columns();
  ASSERT_EQ(s.n_children, static_cast<int64_t>(cases.size()));
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const ArrowSchema* field = s.children[k];
    EXPECT_STREQ(field->format, cases[k].format.c_str()) << cases[k].name;
    EXPECT_STREQ(field->name, cases[k].name.c_str());
    EXPECT_EQ(field->flags, ARROW_FLAG_NULLABLE) << cases[k].name;
    EXPECT_EQ(field->metadata, nullptr);
    ASSERT_NE(field->release, nullptr);
    if (cases[k].format == "+l") {
      ASSERT_EQ(field->n_children, 1) << cases[k].name;
      EXPECT_STREQ(field->children[0]->format, "u");
      EXPECT_STREQ(field->children[0]->name, "item");
      EXPECT_EQ(field->children[0]->flags, 0);
    } else {
      EXPECT_EQ(field->n_children, 0) << cases[k].name;
      EXPECT_EQ(field->children, nullptr);
    }
  }
}

TEST(ArrowExport, ValidityBitmapsAndNullCountsFollowTheMissingEntries) {
  auto data = sample_batch();
  Exported e(data);
  const auto cases = sample_columns();
  EXPECT_EQ(e.array.length, 4);
  EXPECT_EQ(e.array.null_count, 0);
  ASSERT_EQ(e.array.n_children, static_cast<int64_t>(cases.size()));
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const ArrowArray* a = e.array.children[k];
    int64_t nulls = 0;
    for (std::size_t i = 0; i < cases[k].valid.size(); ++i) {
      EXPECT_EQ(bit(a, i), cases[k].valid[i]) << cases[k].name << " row " << i;
      nulls += cases[k].valid[i] ? 0 : 1;
    }
    EXPECT_EQ(a->length, 4) << cases[k].name;
    EXPECT_EQ(a->null_count, nulls) << cases[k].name;
    EXPECT_EQ(a->offset, 0);
    // a column without nulls hands out no bitmap at all
    EXPECT_EQ(a->buffers[0] == nullptr, nulls == 0) << cases[k].name;
  }
  EXPECT_EQ(buffer<double>(e.array.children[0], 1, 4)[2], -2.0);
  EXPECT_EQ(buffer<std::int64_t>(e.array.children[1], 1, 4), (std::vector<std::int64_t>{10, 20, 30, 40}));
}

TEST(ArrowExport, TextAndListOffsets) {
  auto data = sample_batch();
  Exported e(data);
  const ArrowArray* text = e.array.children[2];
  ASSERT_EQ(text->n_buffers, 3);
  EXPECT_EQ(buffer<std::int32_t>(text, 1, 5), (std::vector<std::int32_t>{0, 2, 2, 2, 5}));
  EXPECT_EQ(std::string(static_cast<const char*>(text->buffers[2]), 5), "abcde");

  const ArrowArray* list = e.array.children[3];
  ASSERT_EQ(list->n_buffers, 2);
  ASSERT_EQ(list->n_children, 1);
  // row offsets count items; the items' offsets count bytes
  EXPECT_EQ(buffer<std::int32_t>(list, 1, 5), (std::vector<std::int32_t>{0, 2, 2, 2, 3}));
  const ArrowArray* items = list->children[0];
  EXPECT_EQ(items->length, 3);
  EXPECT_EQ(items->null_count, 0);
  EXPECT_EQ(buffer<std::int32_t>(items, 1, 4), (std::vector<std::int32_t>{0, 1, 3, 4}));
  EXPECT_EQ(std::string(static_cast<const char*>(items->buffers[2]), 4), "abcd");
}

TEST(ArrowExport, EmptyColumnsHandOutNonNullDataBuffers) {
  Table table;
  table.add("X", FloatColumn{});
  table.add("T", StrColumn{});
  auto data = table_to_batch_data(std::move(table));
  ASSERT_TRUE(data.has_value());
  Exported e(*data);
  EXPECT_EQ(e.array.length, 0);
  EXPECT_NE(e.array.children[0]->buffers[1], nullptr);
  EXPECT_NE(e.array.children[1]->buffers[2], nullptr);
  EXPECT_EQ(buffer<std::int32_t>(e.array.children[1], 1, 1), (std::vector<std::int32_t>{0}));
}

TEST(ArrowExport, ColumnsOfDifferentLengthsAreRefused) {
  Table table;
  table.add("X", FloatColumn{1.0, 2.0});
  table.add("Y", FloatColumn{1.0});
  auto data = table_to_batch_data(std::move(table));
  ASSERT_FALSE(data.has_value());
  EXPECT_EQ(data.error().text,
            "Invalid argument error: all columns in a record batch must have the same length");
}

TEST(ArrowExport, ReleasingTheParentsReleasesEveryChild) {
  auto data = sample_batch();
  const long alone = data.use_count();
  {
    ArrowSchema schema{};
    ArrowArray array{};
    export_batch(data, &schema, &array);
    EXPECT_GT(data.use_count(), alone);  // every array holds the buffers
    schema.release(&schema);
    array.release(&array);
    EXPECT_EQ(schema.release, nullptr);
    EXPECT_EQ(array.release, nullptr);
    EXPECT_EQ(schema.private_data, nullptr);
    EXPECT_EQ(array.private_data, nullptr);
  }
  EXPECT_EQ(data.use_count(), alone);
}

TEST(ArrowExport, AChildMovedOutOutlivesItsParentAndTheRestIsFreedWithIt) {
  auto data = sample_batch();
  const long alone = data.use_count();
  ArrowSchema schema{};
  ArrowArray array{};
  export_batch(data, &schema, &array);

  // a consumer moves the text column out and marks the original released
  ArrowArray text = *array.children[2];
  array.children[2]->release = nullptr;
  ArrowSchema text_field = *schema.children[2];
  schema.children[2]->release = nullptr;

  array.release(&array);  // the untaken children go with the parent
  schema.release(&schema);
  EXPECT_EQ(data.use_count(), alone + 1);  // only the moved child still holds the batch
  EXPECT_STREQ(text_field.name, "T");
  EXPECT_EQ(buffer<std::int32_t>(&text, 1, 5), (std::vector<std::int32_t>{0, 2, 2, 2, 5}));
  EXPECT_EQ(std::string(static_cast<const char*>(text.buffers[2]), 5), "abcde");

  text.release(&text);
  text_field.release(&text_field);
  EXPECT_EQ(text.release, nullptr);
  EXPECT_EQ(text_field.release, nullptr);
  EXPECT_EQ(data.use_count(), alone);
}

TEST(ArrowExport, AMovedListChildKeepsItsItemsChild) {
  auto data = sample_batch();
  const long alone = data.use_count();
  ArrowArray array{};
  export_array(data, &array);
  ArrowArray list = *array.children[3];
  array.children[3]->release = nullptr;
  array.release(&array);
  ASSERT_EQ(list.n_children, 1);
  EXPECT_EQ(std::string(static_cast<const char*>(list.children[0]->buffers[2]), 4), "abcd");
  list.release(&list);
  EXPECT_EQ(data.use_count(), alone);
}

// A batch released by its consumer hands its buffers back to the run: the
// next batch is written into them, not into fresh pages; once the run is
// gone, a released batch frees them.
TEST(ArrowExport, AReleasedBatchLendsItsBuffersToTheNextOne) {
  auto [tx, rx] = make_unbounded_channel<Table>();
  auto [etx, erx] = make_unbounded_channel<VariableEvents>();
  auto rows = std::make_unique<OutputRows>(
      OutputRows::batch_stream_with_line_numbers(std::move(tx), 1000, false, false, std::move(etx),
                                                 false));
  auto batch_of = [&](double x) {
    for (int i = 0; i < 1000; ++i) {
      EXPECT_TRUE(rows->flush());
      rows->row.cells.insert(intern_column("X"), Value(x));
      rows->row.cells.insert(intern_column("T"), Value(std::string("T1")));
    }
    EXPECT_TRUE(rows->flush());
    auto table = rx.try_recv();
    EXPECT_TRUE(table.has_value());
    auto data = table_to_batch_data(std::move(*table));
    EXPECT_TRUE(data.has_value());
    return std::move(*data);
  };
  auto column = [](const std::shared_ptr<const BatchData>& data, std::string_view name) {
    for (const ArrowColumn& c : data->columns)
      if (c.name == name) return &c;
    ADD_FAILURE() << name;
    return &data->columns.front();
  };
  auto first = batch_of(1.0);
  const double* first_values = column(first, "X")->f64.data();
  const char* first_texts = column(first, "T")->chars.data();
  first.reset();  // released: its buffers wait for the next batch to be taken

  // the second batch's buffers were made when the first was taken; the
  // third's when the second was, from the first's
  auto second = batch_of(2.0);
  auto third = batch_of(3.0);
  EXPECT_EQ(column(third, "X")->f64.data(), first_values);
  EXPECT_EQ(column(third, "T")->chars.data(), first_texts);
  EXPECT_EQ(column(third, "X")->f64.front(), 3.0);
  EXPECT_EQ(column(third, "X")->length, 1000);
  EXPECT_EQ(column(third, "T")->chars.size(), 2000u);

  ASSERT_TRUE(rows->finish());
  rows.reset();
  // released after the run: its buffers are freed with it
  second.reset();
  third.reset();
}

TEST(ArrowExport, TheBufferPoolKeepsNoMoreThanItsLimit) {
  BufferPool pool(1000);
  ColumnData big;
  big.kind = ColumnKind::Float;
  big.f64.resize(200);  // 1600 bytes: beyond the limit
  pool.give_back(std::move(big));
  EXPECT_EQ(pool.held_bytes(), 0u);
  ColumnData small;
  small.kind = ColumnKind::Float;
  small.f64.assign(50, 1.0);
  small.length = 50;
  small.null_count = 3;
  small.validity.assign(7, 0);
  pool.give_back(std::move(small));
  EXPECT_GT(pool.held_bytes(), 400u);
  ColumnData taken = pool.take(ColumnKind::Float);
  EXPECT_GE(taken.f64.capacity(), 50u);
  EXPECT_TRUE(taken.f64.empty());
  EXPECT_TRUE(taken.validity.empty());
  EXPECT_EQ(taken.length, 0);
  EXPECT_EQ(taken.null_count, 0);
  EXPECT_EQ(pool.held_bytes(), 0u);
  EXPECT_EQ(pool.take(ColumnKind::Str).chars.capacity(), std::string().capacity());
}
