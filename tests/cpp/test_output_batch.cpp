#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "output.hpp"

using namespace kelvane::output;
using kelvane::types::Value;

namespace {

using Cells = std::vector<std::pair<std::string_view, Value>>;

// Whether the runs of a test write their batches on a thread of their own.
bool g_writer_thread = false;

// A batch-mode run fed block by block; tables are collected at the end.
struct BatchRun {
  Receiver<Table> tables_rx;
  Receiver<VariableEvents> events_rx;
  OutputRows out;

  explicit BatchRun(std::size_t batch_size, bool disable_ff = false, bool vars = false,
                    bool line_numbers = false) {
    // unbounded here so that the test thread never blocks on its own tables
    auto [ttx, trx] = make_unbounded_channel<Table>();
    auto [etx, erx] = make_unbounded_channel<VariableEvents>();
    tables_rx = std::move(trx);
    events_rx = std::move(erx);
    out = OutputRows::batch_stream_with_line_numbers(std::move(ttx), batch_size, disable_ff, vars,
                                                     std::move(etx), line_numbers);
    out.batches_on_own_thread = g_writer_thread;
  }
  void block(std::size_t line, const Cells& cells, const std::vector<std::pair<std::string, double>>& vars = {}) {
    ASSERT_TRUE(out.flush());
    out.row.line = line;
    for (const auto& [n, v] : cells) out.row.cells.insert(intern_column(n), v);
    for (const auto& [n, v] : vars) out.record_variable_change(n, v);
  }
  std::vector<Table> finish() {
    auto r = out.finish();
    EXPECT_TRUE(r.has_value());
    std::vector<Table> tables;
    while (auto t = tables_rx.recv()) tables.push_back(std::move(*t));
    return tables;
  }
};

std::vector<std::string> column_names(const Table& t) {
  std::vector<std::string> out;
  for (const ColumnData& c : t.columns) out.push_back(c.name);
  return out;
}

// The entries of a column, read back from its buffers.
template <typename C>
C col(const Table& t, std::string_view name) {
  const ColumnData* c = t.find(name);
  EXPECT_NE(c, nullptr) << name;
  if (c == nullptr) return C{};
  Column cells = column_cells(*c);
  if (!std::holds_alternative<C>(cells)) {
    ADD_FAILURE() << "column " << name << " of another kind";
    return C{};
  }
  EXPECT_EQ(column_len(cells), t.num_rows()) << name;
  return std::get<C>(std::move(cells));
}

// Every batch, column and variable event is the same whether the rows are
// written on the executor's thread or on a writer thread of their own.
class BatchWriting : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { g_writer_thread = GetParam(); }
  void TearDown() override { g_writer_thread = false; }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(OnEitherThread, BatchWriting, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "writer_thread" : "executor"; });

TEST_P(BatchWriting, CanonicalColumnOrder) {
  BatchRun run(10);
  run.block(1, {{"comment", std::string("; c")}, {"M", std::vector<std::string>{"M3"}},
                {"B2", 1.0}, {"I", 1.0}, {"Q", 1.0}, {"A7", 1.0}, {"RA6", 1.0}, {"X", 1.0},
                {"gg02_wait", std::string("G5")}, {"gg64_grinding_frames", std::string("GFRAME[1]")},
                {"gg01_motion", std::string("G1")}, {"N", std::string("10")}, {"T", std::string("t")},
                {"dwell", 1.0}, {"flattened", 1.0}, {"non_returning_function_call", std::string("f()")},
                {"gg62_repos_non_modal", std::string("RMBBL")}, {"gg06_plane_select", std::string("G17")},
                {"TURN", 1.0}, {"F", 1.0}, {"RA1", 1.0}});
  auto tables = run.finish();
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(column_names(tables[0]),
            (std::vector<std::string>{"N", "gg01_motion", "gg06_plane_select", "gg64_grinding_frames",
                                      "gg02_wait", "gg62_repos_non_modal", "X", "F", "RA1", "RA6",
                                      "A7", "B2", "Q", "I", "TURN", "dwell", "flattened", "T", "M",
                                      "non_returning_function_call", "comment"}));
}

TEST_P(BatchWriting, CellConversionsByColumnKind) {
  const double nan = std::nan("");
  BatchRun run(10, /*disable_ff=*/true);
  run.block(1, {{"N", std::string("0010")}, {"gg01_motion", std::string("G1")}, {"X", std::string("1.5e1")},
                {"S", std::string("fast")}, {"T", 2.5}, {"M", std::vector<std::string>{"M3", "M8"}}});
  run.block(2, {{"N", 7.9}, {"X", 3.0}, {"S", std::string("+inf")}, {"T", 1.0},
                {"M", std::string("M5")}, {"comment", nan}});
  run.block(3, {{"N", std::string("1e3")}, {"X", std::vector<std::string>{"1"}}, {"S", std::string(".5")},
                {"comment", std::numeric_limits<double>::infinity()}});
  run.block(4, {{"N", std::string("99999999999999999999")}, {"S", std::string("1 ")}, {"T", -0.0}});
  run.block(5, {{"N", nan}, {"S", std::string("nan(1)")}, {"T", 0.1 + 0.2}});
  run.block(6, {{"N", -1e300}, {"S", std::string("+-1")}, {"X", std::string("INFINITY")}});
  auto tables = run.finish();
  ASSERT_EQ(tables.size(), 1u);
  const Table& t = tables[0];
  EXPECT_EQ(col<IntColumn>(t, "N"),
            (IntColumn{10, 7, 1000, std::numeric_limits<std::int64_t>::max(), 0,
                       std::numeric_limits<std::int64_t>::min()}));
  EXPECT_EQ(col<StrColumn>(t, "gg01_motion"), (StrColumn{"G1", {}, {}, {}, {}, {}}));
  const FloatColumn x = col<FloatColumn>(t, "X");
  EXPECT_EQ(x[0], 15.0);
  EXPECT_EQ(x[1], 3.0);
  EXPECT_FALSE(x[2].has_value());  // a list in a float column
  EXPECT_TRUE(std::isinf(*x[5]));
  const FloatColumn s = col<FloatColumn>(t, "S");
  EXPECT_FALSE(s[0].has_value());
  EXPECT_TRUE(std::isinf(*s[1]) && *s[1] > 0);
  EXPECT_EQ(s[2], 0.5);
  EXPECT_FALSE(s[3].has_value());
  EXPECT_FALSE(s[4].has_value());
  EXPECT_FALSE(s[5].has_value());
  EXPECT_EQ(col<StrColumn>(t, "T"), (StrColumn{"2.5", "1", {}, "-0", "0.30000000000000004", {}}));
  EXPECT_EQ(col<StrColumn>(t, "comment"), (StrColumn{{}, "NaN", "inf", {}, {}, {}}));
  EXPECT_EQ(col<ListColumn>(t, "M"),
            (ListColumn{std::vector<std::string>{"M3", "M8"}, std::vector<std::string>{"M5"}, {}, {}, {}, {}}));
}

TEST_P(BatchWriting, BatchesOfBatchSizeAndNoneWithoutRows) {
  BatchRun empty(2);
  EXPECT_TRUE(empty.finish().empty());

  BatchRun run(2);
  for (std::size_t i = 1; i <= 5; ++i) run.block(i, {{"X", static_cast<double>(i)}});
  auto tables = run.finish();
  ASSERT_EQ(tables.size(), 3u);
  EXPECT_EQ(tables[0].num_rows(), 2u);
  EXPECT_EQ(tables[1].num_rows(), 2u);
  EXPECT_EQ(tables[2].num_rows(), 1u);

  BatchRun ones(1);
  ones.block(1, {{"X", 1.0}});
  ones.block(2, {});  // writes nothing: no row
  ones.block(3, {{"Y", 1.0}});
  EXPECT_EQ(ones.finish().size(), 2u);
}

TEST_P(BatchWriting, ForwardFillAcrossBatches) {
  for (bool disable : {false, true}) {
    BatchRun run(2, disable);
    run.block(1, {{"N", std::string("5")}, {"gg01_motion", std::string("G1")}, {"X", 1.0},
                  {"M", std::vector<std::string>{"M3"}}, {"I", 4.0}});
    run.block(2, {{"X", 10.0}, {"gg02_wait", std::string("G9")}});
    run.block(3, {{"Y", 2.0}});
    run.block(4, {{"Y", 3.0}});
    run.block(5, {{"N", std::string("9")}});
    auto tables = run.finish();
    ASSERT_EQ(tables.size(), 3u);
    // every later table has the columns of the earlier ones, in the same place
    EXPECT_EQ(column_names(tables[0]),
              (std::vector<std::string>{"N", "gg01_motion", "gg02_wait", "X", "I", "M"}));
    EXPECT_EQ(column_names(tables[1]),
              (std::vector<std::string>{"N", "gg01_motion", "gg02_wait", "X", "Y", "I", "M"}));
    EXPECT_EQ(column_names(tables[2]), column_names(tables[1]));
    const Table& second = tables[1];
    if (!disable) {
      EXPECT_EQ(col<FloatColumn>(second, "X"), (FloatColumn{10.0, 10.0}));
      EXPECT_EQ(col<IntColumn>(second, "N"), (IntColumn{5, 5}));
      EXPECT_EQ(col<StrColumn>(second, "gg01_motion"), (StrColumn{"G1", "G1"}));
      EXPECT_EQ(col<IntColumn>(tables[2], "N"), (IntColumn{9}));
      EXPECT_EQ(col<FloatColumn>(tables[2], "Y"), (FloatColumn{3.0}));
      EXPECT_EQ(col<FloatColumn>(tables[0], "I"), (FloatColumn{4.0, {}}));
    } else {
      EXPECT_EQ(col<FloatColumn>(second, "X"), (FloatColumn{{}, {}}));
      EXPECT_EQ(col<IntColumn>(second, "N"), (IntColumn{{}, {}}));
      EXPECT_EQ(col<FloatColumn>(tables[2], "Y"), (FloatColumn{{}}));
    }
    // never filled: M, block addresses, non-modal groups
    EXPECT_EQ(col<ListColumn>(second, "M"), (ListColumn{{}, {}}));
    EXPECT_EQ(col<FloatColumn>(second, "I"), (FloatColumn{{}, {}}));
    EXPECT_EQ(col<StrColumn>(second, "gg02_wait"), (StrColumn{{}, {}}));
    EXPECT_EQ(col<StrColumn>(tables[0], "gg02_wait"), (StrColumn{{}, "G9"}));
  }
}

TEST_P(BatchWriting, LineNumbersComeFirstAndAreNeverKeptAsAColumn) {
  BatchRun run(2, false, false, /*line_numbers=*/true);
  run.block(3, {{"X", 1.0}});
  run.block(7, {{"Y", 1.0}});
  run.block(8, {{"Z", 1.0}});
  auto tables = run.finish();
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_EQ(column_names(tables[0]), (std::vector<std::string>{"line_no", "X", "Y"}));
  EXPECT_EQ(col<IntColumn>(tables[0], "line_no"), (IntColumn{3, 7}));
  EXPECT_EQ(column_names(tables[1]), (std::vector<std::string>{"line_no", "X", "Y", "Z"}));
  EXPECT_EQ(col<IntColumn>(tables[1], "line_no"), (IntColumn{8}));
  const auto& columns = std::get<BatchStreamSink>(run.out.sink.v).builder.columns;
  EXPECT_EQ(std::count(columns.begin(), columns.end(), "line_no"), 0);
}

TEST_P(BatchWriting, VariableEventsPointAtTheRowWithCellsTheyBelongTo) {
  BatchRun run(2, false, /*vars=*/true);
  run.block(1, {{"X", 1.0}}, {{"R1", 1.0}});    // row 0
  run.block(2, {}, {{"R2", 2.0}, {"R1", 3.0}}); // no cells: the next row (1)
  run.block(3, {{"X", 2.0}});                    // row 1, ends the first batch
  run.block(4, {}, {{"R3", 4.0}});               // next row is in the second batch
  run.block(5, {{"X", 3.0}});                    // row 2
  auto tables = run.finish();
  ASSERT_EQ(tables.size(), 2u);
  auto events = run.events_rx.recv();
  ASSERT_TRUE(events.has_value());
  EXPECT_EQ(events->names, (std::vector<std::string>{"R1", "R2", "R3"}));
  EXPECT_EQ(events->row_idx, (std::vector<std::uint32_t>{0, 1, 1, 2}));
  EXPECT_EQ(events->name_id, (std::vector<std::uint32_t>{0, 1, 0, 2}));
  EXPECT_EQ(events->value, (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
  EXPECT_FALSE(run.events_rx.recv().has_value());  // sent once

  Table t = events->to_table();
  EXPECT_EQ(column_names(t), (std::vector<std::string>{"row_idx", "name_id", "value"}));
  EXPECT_EQ(col<IntColumn>(t, "row_idx"), (IntColumn{0, 1, 1, 2}));
  EXPECT_EQ(col<IntColumn>(t, "name_id"), (IntColumn{0, 1, 0, 2}));
  EXPECT_EQ(col<FloatColumn>(t, "value"), (FloatColumn{1.0, 2.0, 3.0, 4.0}));

  // without include_variables nothing is recorded or sent
  BatchRun quiet(2);
  quiet.block(1, {{"X", 1.0}}, {{"R1", 1.0}});
  quiet.finish();
  EXPECT_FALSE(quiet.events_rx.recv().has_value());
}

TEST(BatchBuilder, RowsAreWrittenAsTheyComeAndTheCurrentRowKeepsItsRoom) {
  BatchRun run(4);
  const BatchStreamSink& sink = std::get<BatchStreamSink>(run.out.sink.v);
  for (std::size_t i = 1; i <= 3; ++i) run.block(i, {{"X", 1.0}, {"Y", 2.0}});
  ASSERT_TRUE(run.out.flush());
  EXPECT_EQ(sink.builder.rows, 3u);  // written into the columns, no row kept
  EXPECT_GE(run.out.row.cells.capacity(), 8u);
  EXPECT_FALSE(run.out.row.has_content());
  for (std::size_t i = 4; i <= 12; ++i) run.block(i, {{"X", static_cast<double>(i)}});
  auto tables = run.finish();
  ASSERT_EQ(tables.size(), 3u);
  EXPECT_EQ(col<FloatColumn>(tables[2], "X"), (FloatColumn{9.0, 10.0, 11.0, 12.0}));
  EXPECT_EQ(col<FloatColumn>(tables[2], "Y"), (FloatColumn{2.0, 2.0, 2.0, 2.0}));
}

TEST(BatchBuilder, ATableSendToADroppedReceiverFails) {
  auto [ttx, trx] = make_channel<Table>(kTableChannelCapacity);
  auto [etx, erx] = make_unbounded_channel<VariableEvents>();
  OutputRows out = OutputRows::batch_stream_with_line_numbers(std::move(ttx), 1, false, true,
                                                              std::move(etx), false);
  trx.close();
  out.row.cells.insert("X", 1.0);
  auto e = out.flush();
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().kind(), "stream_closed");
  auto f = out.finish();
  EXPECT_TRUE(f.has_value());  // nothing pending any more
}

// On a writer thread: many batches through a bounded channel keep their
// rows in order, and a consumer gone mid-run ends the run with the stream
// closed, at a later row or at the end.
TEST(BatchWriterThread, ManyChunksInOrderAndAGoneConsumerStopsTheRun) {
  auto [ttx, trx] = make_channel<Table>(kTableChannelCapacity);
  auto [etx, erx] = make_unbounded_channel<VariableEvents>();
  OutputRows out = OutputRows::batch_stream_with_line_numbers(std::move(ttx), 700, false, false,
                                                              std::move(etx), true);
  out.batches_on_own_thread = true;
  std::thread consumer([rx = std::move(trx)]() mutable {
    std::int64_t next = 1;
    while (auto t = rx.recv()) {
      for (const auto& v : col<IntColumn>(*t, "line_no")) EXPECT_EQ(*v, next++);
    }
    EXPECT_EQ(next, 10001);
  });
  for (std::size_t line = 1; line <= 10000; ++line) {
    ASSERT_TRUE(out.flush());
    out.row.line = line;
    out.row.cells.insert("X", static_cast<double>(line));
  }
  ASSERT_TRUE(out.finish());
  consumer.join();

  auto [ttx2, trx2] = make_channel<Table>(kTableChannelCapacity);
  auto [etx2, erx2] = make_unbounded_channel<VariableEvents>();
  OutputRows gone = OutputRows::batch_stream_with_line_numbers(std::move(ttx2), 1, false, false,
                                                               std::move(etx2), false);
  gone.batches_on_own_thread = true;
  trx2.close();
  std::optional<kelvane::errors::ParsingError> failure;
  for (std::size_t line = 1; line <= 100000 && !failure; ++line) {
    if (auto st = gone.flush(); !st) failure = st.error();
    gone.row.cells.insert("X", 1.0);
  }
  if (!failure) {
    auto f = gone.finish();
    ASSERT_FALSE(f);
    failure = f.error();
  }
  EXPECT_EQ(failure->kind(), "stream_closed");
}
