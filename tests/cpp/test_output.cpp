#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "output.hpp"

using namespace kelvane::output;
using kelvane::types::Value;

namespace {

std::vector<std::string> names_of(const CellMap& cells) {
  std::vector<std::string> out;
  for (const Cell& c : cells) out.emplace_back(c.name);
  return out;
}

// Writes the cells of one block into the collector's current row.
void write_block(OutputRows& out, std::size_t line,
                 std::initializer_list<std::pair<std::string_view, Value>> cells) {
  out.row.line = line;
  for (const auto& [name, value] : cells) out.row.cells.insert(intern_column(name), value);
}

std::size_t count_occurrences(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

}  // namespace

TEST(CellMap, KeepsFirstInsertionOrderAndReplacesInPlace) {
  CellMap m;
  EXPECT_FALSE(m.insert("X", 1.0).has_value());
  EXPECT_EQ(m.capacity(), 8u);
  m.insert("gg01_motion", std::string("G1"));
  m.insert("Y", 2.0);
  // a name with the same content but another pointer is the same column
  std::string x = "X";
  auto old = m.insert(std::string_view(x), 5.0);
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(std::get<double>(*old), 1.0);
  EXPECT_EQ(names_of(m), (std::vector<std::string>{"X", "gg01_motion", "Y"}));
  EXPECT_EQ(std::get<double>(*m.get("X")), 5.0);

  auto removed = m.remove("gg01_motion");
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(std::get<std::string>(*removed), "G1");
  EXPECT_FALSE(m.remove("gg01_motion").has_value());
  EXPECT_EQ(names_of(m), (std::vector<std::string>{"X", "Y"}));
  m.insert("Z", 3.0);
  EXPECT_EQ(names_of(m), (std::vector<std::string>{"X", "Y", "Z"}));

  Row r;
  r.cells.insert("X", 1.0);
  r.variables.emplace_back("R1", 1.0);
  r.line = 7;
  r.reset_for_reuse();
  EXPECT_TRUE(r.cells.empty());
  EXPECT_TRUE(r.variables.empty());
  EXPECT_EQ(r.line, 0u);
  EXPECT_GE(r.cells.capacity(), 8u);
}

TEST(InternColumn, EqualNamesShareOneStoredCopyAcrossThreads) {
  std::vector<std::thread> threads;
  std::vector<const char*> seen(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < 1000; ++i) intern_column("Q" + std::to_string(i));
      std::string local = "SHARED_NAME";
      seen[t] = intern_column(local).data();
    });
  for (auto& th : threads) th.join();
  for (const char* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(intern_column("SHARED_NAME"), "SHARED_NAME");
  EXPECT_EQ(intern_column("Q5").data(), intern_column(std::string("Q5")).data());
}

TEST(ColumnPredicates, TextAndForwardFilledColumns) {
  for (const char* n : {"gg01_motion", "gg02_wait", "gg64_grinding_frames", "gg62_repos_non_modal",
                        "T", "comment", "non_returning_function_call"})
    EXPECT_TRUE(is_string_column(n)) << n;
  for (const char* n : {"N", "M", "X", "dwell", "flattened", "I", "line_no", "t", "Comment", "gg05"})
    EXPECT_FALSE(is_string_column(n)) << n;

  for (const char* n : {"flattened", "dwell", "M", "T", "I", "J", "K", "CR", "PW", "SD", "PL",
                        "TURN", "comment", "gg02_wait", "gg03_frame_area_limit",
                        "gg09_frame_tool_suppress", "gg11_exact_stop_non_modal",
                        "gg62_repos_non_modal", "non_returning_function_call"})
    EXPECT_FALSE(is_forward_filled_column(n)) << n;
  for (const char* n : {"N", "X", "F", "S", "RA1", "Q", "gg01_motion", "gg64_grinding_frames",
                        "m", "turn", "DWELL", "gg02_waitx"})
    EXPECT_TRUE(is_forward_filled_column(n)) << n;
}

TEST(Flush, DwellRewrite) {
  struct Case {
    const char* wait;
    std::vector<std::pair<std::string_view, Value>> extra;
    std::vector<std::string> names;
    std::optional<double> dwell;
  };
  const std::vector<Case> cases = {
      {"G4", {{"F", 2.5}, {"X", 1.0}}, {"gg02_wait", "X", "dwell"}, 2.5},
      {"G4", {{"S", 100.0}}, {"gg02_wait", "dwell"}, 100.0},
      {"G4", {{"S", 2.0}, {"F", 1.0}}, {"gg02_wait", "dwell"}, 1.0},
      {"G4", {}, {"gg02_wait"}, std::nullopt},
      {"G5", {{"F", 10.0}}, {"gg02_wait", "F"}, std::nullopt},
      {"G63", {{"S", 10.0}}, {"gg02_wait", "S"}, std::nullopt},
      {"g4", {{"F", 10.0}}, {"gg02_wait", "F"}, std::nullopt},
  };
  for (const Case& c : cases) {
    OutputRows out = OutputRows::collecting();
    out.row.line = 1;
    out.row.cells.insert("gg02_wait", std::string(c.wait));
    for (const auto& [n, v] : c.extra) out.row.cells.insert(n, v);
    ASSERT_TRUE(out.flush());
    auto rows = out.finish();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    const CellMap& cells = (*rows)[0].cells;
    EXPECT_EQ(names_of(cells), c.names) << c.wait;
    if (c.dwell) {
      EXPECT_EQ(std::get<double>(*cells.get("dwell")), *c.dwell);
    }
  }
  // a text value keeps its type when it moves to dwell
  OutputRows out = OutputRows::collecting();
  out.row.cells.insert("gg02_wait", std::string("G4"));
  out.row.cells.insert("F", std::string("abc"));
  auto rows = out.finish();
  ASSERT_TRUE(rows);
  EXPECT_EQ(std::get<std::string>(*(*rows)[0].cells.get("dwell")), "abc");
}

TEST(Flush, G91WarnsOncePerCollectorWithTheFirstLine) {
  testing::internal::CaptureStderr();
  for (int run = 0; run < 2; ++run) {  // e.g. the initial-state program, then the main program
    OutputRows out = OutputRows::collecting();
    write_block(out, 3, {{"gg14_wp_measure_mode", std::string("G90")}});
    ASSERT_TRUE(out.flush());
    write_block(out, 4, {{"gg14_wp_measure_mode", std::string("G91")}, {"X", 1.0}});
    ASSERT_TRUE(out.flush());
    write_block(out, 9, {{"gg14_wp_measure_mode", std::string("G91")}});
    ASSERT_TRUE(out.flush());
    auto rows = out.finish();
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->size(), 3u);
    EXPECT_EQ(std::get<double>(*(*rows)[1].cells.get("X")), 1.0);  // values are not changed
  }
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string line =
      "Warning [line 4]: G91 incremental dimensioning is not interpreted - axis values are "
      "emitted as absolute positions and will be wrong from this block on\n";
  EXPECT_EQ(err, line + line);
  EXPECT_EQ(count_occurrences(err, "line 9"), 0u);
}

TEST(Flush, EmptyBlocksDeliverNothingAndVariableOnlyBlocksDeliverARow) {
  OutputRows out = OutputRows::collecting();
  out.track_variables = true;
  out.row.line = 1;
  ASSERT_TRUE(out.flush());  // nothing written: no row
  out.row.line = 2;
  out.record_variable_change("R1", 5.0);
  ASSERT_TRUE(out.flush());
  EXPECT_EQ(out.row.line, 0u);
  write_block(out, 3, {{"X", 1.0}});
  auto rows = out.finish();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[0].line, 2u);
  EXPECT_TRUE((*rows)[0].cells.empty());
  ASSERT_EQ((*rows)[0].variables.size(), 1u);
  EXPECT_EQ((*rows)[0].variables[0].first, "R1");
  EXPECT_EQ((*rows)[1].line, 3u);

  // the collecting form does not track variables by default
  OutputRows quiet = OutputRows::collecting();
  quiet.record_variable_change("R1", 1.0);
  EXPECT_TRUE(quiet.row.variables.empty());
  auto none = quiet.finish();
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(Channel, BoundedSendBlocksUntilTheReceiverTakesOne) {
  auto [tx, rx] = make_channel<int>(2);
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(tx.send(2));
  std::atomic<bool> third_sent{false};
  std::thread producer([&, tx2 = tx]() mutable {
    EXPECT_TRUE(tx2.send(3));
    third_sent = true;
  });
  // the producer cannot finish while two values wait; one recv lets it go
  for (int i = 0; i < 50 && !third_sent; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(third_sent.load());
  EXPECT_EQ(rx.recv(), 1);
  producer.join();
  EXPECT_TRUE(third_sent.load());
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.recv(), 3);
  tx.close();
  EXPECT_EQ(rx.recv(), std::nullopt);  // every sender gone, queue empty
  int v = 0;
  EXPECT_EQ(rx.recv_for(v, std::chrono::milliseconds(1)), RecvStatus::Closed);
}

TEST(Channel, ReceiverWaitsForAllSendersAndTimesOut) {
  auto [tx, rx] = make_channel<int>(4);
  int v = 0;
  EXPECT_EQ(rx.recv_for(v, std::chrono::milliseconds(1)), RecvStatus::Timeout);
  Sender<int> second = tx;
  tx.close();
  std::thread t([s = std::move(second)]() mutable {
    s.send(42);
    s.close();
  });
  EXPECT_EQ(rx.recv(), 42);
  EXPECT_EQ(rx.recv(), std::nullopt);
  t.join();
}

TEST(Channel, ClosingTheReceiverWakesABlockedSender) {
  auto [tx, rx] = make_channel<std::string>(1);
  ASSERT_TRUE(tx.send("a"));
  std::thread t([&tx] { EXPECT_FALSE(tx.send("b")); });  // blocks: channel full
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  rx.close();
  t.join();
  EXPECT_FALSE(tx.send("c"));
}

namespace {

Row row_with_variables(std::size_t line, std::size_t count) {
  Row r;
  r.line = line;
  for (std::size_t i = 0; i < count; ++i) r.variables.emplace_back("B[" + std::to_string(i) + "]", 0.0);
  return r;
}

// Sends `row` on a thread of its own; `sent` is set once the send returned.
std::thread send_in_background(Sender<Row> tx, Row row, std::atomic<bool>& sent) {
  return std::thread([tx = std::move(tx), row = std::move(row), &sent]() mutable {
    EXPECT_TRUE(tx.send(std::move(row)));
    sent = true;
  });
}

bool stays_unsent(const std::atomic<bool>& sent) {
  for (int i = 0; i < 50 && !sent; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return !sent;
}

}  // namespace

// Rows heavy with variable changes (a DEF of a large array in a loop) are
// held back by what they carry, not only by their count.
TEST(Channel, RowsWaitForRoomInTheWeightBudget) {
  auto [tx, rx] = make_channel<Row>(1024, 100);
  ASSERT_TRUE(tx.send(row_with_variables(1, 0)));
  ASSERT_TRUE(tx.send(row_with_variables(2, 60)));

  // 62 of 100 taken: a row of 60 waits until the one of 60 is taken
  std::atomic<bool> third_sent{false};
  std::thread third = send_in_background(tx, row_with_variables(3, 60), third_sent);
  EXPECT_TRUE(stays_unsent(third_sent));
  EXPECT_EQ(rx.recv()->line, 1u);
  EXPECT_TRUE(stays_unsent(third_sent));
  EXPECT_EQ(rx.recv()->line, 2u);
  third.join();

  // a row heavier than the whole budget waits for an empty queue, then goes
  // in; while it waits there, every other row waits too
  std::atomic<bool> heavy_sent{false};
  std::thread heavy = send_in_background(tx, row_with_variables(4, 500), heavy_sent);
  EXPECT_TRUE(stays_unsent(heavy_sent));
  EXPECT_EQ(rx.recv()->line, 3u);
  heavy.join();
  std::atomic<bool> second_heavy_sent{false};
  std::thread second_heavy = send_in_background(tx, row_with_variables(5, 500), second_heavy_sent);
  EXPECT_TRUE(stays_unsent(second_heavy_sent));
  EXPECT_EQ(rx.recv()->line, 4u);
  second_heavy.join();
  std::atomic<bool> light_sent{false};
  std::thread light = send_in_background(tx, row_with_variables(6, 0), light_sent);
  EXPECT_TRUE(stays_unsent(light_sent));
  EXPECT_EQ(rx.recv()->line, 5u);
  light.join();
  EXPECT_EQ(rx.recv()->line, 6u);

  // the budget is whole again once the queue is empty: light rows pass freely
  for (std::size_t i = 0; i < 99; ++i) ASSERT_TRUE(tx.send(row_with_variables(10 + i, 0)));
  tx.close();
  std::size_t n = 0;
  while (rx.recv()) ++n;
  EXPECT_EQ(n, 99u);
}

TEST(Channel, ClosingTheReceiverWakesASenderWaitingForWeight) {
  auto [tx, rx] = make_channel<Row>(1024, 10);
  ASSERT_TRUE(tx.send(row_with_variables(1, 5)));
  std::thread t([&tx] { EXPECT_FALSE(tx.send(row_with_variables(2, 8))); });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  rx.close();
  t.join();
}

TEST(Channel, UnboundedNeverBlocks) {
  auto [tx, rx] = make_unbounded_channel<int>();
  for (int i = 0; i < 5000; ++i) ASSERT_TRUE(tx.send(i));
  tx.close();
  int n = 0;
  while (auto v = rx.recv()) EXPECT_EQ(*v, n++);
  EXPECT_EQ(n, 5000);
}

TEST(StreamSink, RowsArriveInOrderAndADroppedReceiverFailsTheNextSend) {
  auto [tx, rx] = make_channel<Row>(kRowChannelCapacity);
  OutputRows out = OutputRows::streaming(std::move(tx));
  std::thread consumer([rx = std::move(rx)]() mutable {
    std::size_t expected = 1;
    while (auto r = rx.recv()) {
      EXPECT_EQ(r->line, expected);
      if (expected == 2) {
        EXPECT_EQ(r->variables.size(), 1u);  // streaming tracks variables
      }
      ++expected;
    }
    EXPECT_EQ(expected, 3001u);
  });
  for (std::size_t line = 1; line <= 3000; ++line) {
    ASSERT_TRUE(out.flush());
    out.row.line = line;
    if (line == 2) out.record_variable_change("R2", 1.0);
    else out.row.cells.insert("X", static_cast<double>(line));
  }
  auto rest = out.finish();  // closes the channel: the consumer's loop ends
  ASSERT_TRUE(rest);
  EXPECT_TRUE(rest->empty());
  consumer.join();

  auto [tx2, rx2] = make_channel<Row>(kRowChannelCapacity);
  OutputRows dropped = OutputRows::streaming(std::move(tx2));
  rx2.close();
  write_block(dropped, 1, {{"X", 1.0}});
  auto e = dropped.flush();
  ASSERT_FALSE(e);
  EXPECT_EQ(e.error().kind(), "stream_closed");
  EXPECT_EQ(e.error().message(), "row stream closed by the consumer");
  EXPECT_FALSE(dropped.row.has_content());
}

TEST(StreamSink, ABlockedWorkerIsReleasedWhenTheConsumerGoesAway) {
  auto [tx, rx] = make_channel<Row>(kRowChannelCapacity);
  std::optional<kelvane::errors::ParsingError> failure;
  std::thread worker([&, tx = std::move(tx)]() mutable {
    OutputRows out = OutputRows::streaming(std::move(tx));
    for (std::size_t line = 1; line <= 5000; ++line) {
      if (auto e = out.flush(); !e) {
        failure = e.error();
        return;
      }
      write_block(out, line, {{"X", 1.0}});
    }
  });
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(rx.recv().has_value());
  rx.close();
  worker.join();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->kind(), "stream_closed");
}

TEST(FilterStage, EveryProducedRowIsDeliveredAndHeldRowsComeOutAtTheEnd) {
  OutputRows out = OutputRows::collecting();
  auto held = std::make_shared<std::vector<Row>>();
  out.flattener = RowFilter{
      // splits a row with "split" into two, holds rows with "hold"
      [held](Row&& r, std::vector<Row>& produced) {
        if (r.cells.contains("hold")) {
          held->push_back(std::move(r));
        } else if (r.cells.contains("split")) {
          Row a = r;
          a.cells.insert("flattened", 1.0);
          produced.push_back(std::move(a));
          produced.push_back(std::move(r));
        } else {
          produced.push_back(std::move(r));
        }
      },
      [held] { return !held->empty(); },
      [held](std::vector<Row>& produced) {
        for (Row& r : *held) produced.push_back(std::move(r));
        held->clear();
      }};
  write_block(out, 1, {{"X", 1.0}, {"split", 1.0}});
  ASSERT_TRUE(out.flush());
  write_block(out, 2, {{"X", 2.0}, {"hold", 1.0}});
  ASSERT_TRUE(out.flush());
  write_block(out, 3, {{"X", 3.0}});
  auto rows = out.finish();
  ASSERT_TRUE(rows);
  std::vector<std::size_t> lines;
  for (const Row& r : *rows) lines.push_back(r.line);
  EXPECT_EQ(lines, (std::vector<std::size_t>{1, 1, 3, 2}));
  EXPECT_TRUE((*rows)[0].cells.contains("flattened"));
  EXPECT_FALSE(out.flattener.has_value());
}

TEST(Channel, ManyProducersThroughALargeQueueKeepEachProducersOrder) {
  for (std::size_t capacity : {std::size_t{1}, std::size_t{3}, kRowChannelCapacity}) {
    auto [tx, rx] = make_channel<std::pair<int, int>>(capacity);
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p)
      producers.emplace_back([p, s = tx]() mutable {
        for (int i = 0; i < 20000; ++i) ASSERT_TRUE(s.send({p, i}));
      });
    tx.close();
    std::vector<int> next(4, 0);
    std::size_t total = 0;
    while (auto v = rx.recv()) {
      ASSERT_EQ(v->second, next[v->first]) << "capacity " << capacity;
      ++next[v->first];
      ++total;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(total, 80000u);
  }
}

// Rows the consumer hands back are filled again by the worker: none of a
// handed-back row's cells, variable changes or line may show in a later row,
// and a row grown past the bound is freed rather than kept.
TEST(StreamSink, RowsHandedBackCarryNothingIntoLaterRows) {
  auto [tx, rx] = make_channel<Row>(kRowChannelCapacity);
  auto returns = std::make_shared<RowReturns>();
  OutputRows out = OutputRows::streaming(std::move(tx), returns);
  std::thread consumer([rx = std::move(rx), returns]() mutable {
    std::deque<Row> got;
    std::vector<Row> done;
    std::size_t expected = 1;
    for (;;) {
      if (got.empty() && rx.try_recv_all(got) == 0) {
        auto r = rx.recv();
        if (!r) break;
        got.push_back(std::move(*r));
      }
      Row r = std::move(got.front());
      got.pop_front();
      EXPECT_EQ(r.line, expected);
      // odd lines: X and a variable change; even lines: Y only
      if (expected % 2 == 1) {
        EXPECT_EQ(r.cells.size(), 1u);
        EXPECT_NE(r.cells.get("X"), nullptr);
        EXPECT_EQ(r.variables.size(), 1u);
      } else {
        EXPECT_EQ(r.cells.size(), 1u);
        EXPECT_NE(r.cells.get("Y"), nullptr);
        EXPECT_TRUE(r.variables.empty());
      }
      ++expected;
      done.push_back(std::move(r));  // handed back as received, not cleared
      if (done.size() >= 7) returns->give_back(done);
      EXPECT_TRUE(done.empty() || done.size() < 7);
    }
    EXPECT_EQ(expected, 5001u);
  });
  for (std::size_t line = 1; line <= 5000; ++line) {
    ASSERT_TRUE(out.flush());
    out.row.line = line;
    if (line % 2 == 1) {
      out.row.cells.insert("X", static_cast<double>(line));
      out.record_variable_change("R1", 1.0);
    } else {
      out.row.cells.insert("Y", static_cast<double>(line));
    }
  }
  ASSERT_TRUE(out.finish());
  consumer.join();

  // the bound: a large row is not kept for refilling
  RowReturns bounded;
  std::vector<Row> rows(2);
  rows[0].variables.resize(10000);
  rows[1].cells.insert("X", 1.0);
  bounded.give_back(rows);
  EXPECT_TRUE(rows.empty());
  std::vector<Row> back;
  bounded.take_all(back);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_NE(back[0].cells.get("X"), nullptr);
  bounded.take_all(back);
  EXPECT_EQ(back.size(), 1u);
}
