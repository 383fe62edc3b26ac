// Runs on the worker thread, as the Python iterators start them: rows or
// batches arrive, then the outcome; and a consumer that goes away, at any
// point, ends the worker. Also built under ThreadSanitizer.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <ostream>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "worker.hpp"

using namespace kelvane;
using namespace std::chrono_literals;

namespace {

worker::RunConfig config(std::string program, std::optional<std::string> initial_state = {}) {
  worker::RunConfig cfg;
  cfg.program = std::move(program);
  cfg.initial_state = std::move(initial_state);
  return cfg;
}

// The outcome of a run, waited for at most a while: nothing when the worker
// ended without one (its consumer went away) or when it did not end in time.
struct Ending {
  bool ended = false;
  std::optional<worker::Outcome> outcome;
};
Ending wait_for_ending(output::Receiver<worker::Outcome>& rx, worker::WorkerHandle& thread) {
  Ending e;
  std::optional<worker::Outcome> got;
  switch (rx.recv_for(got, 30s)) {
    case output::RecvStatus::Timeout:
      return e;  // the handle detaches the thread that is still running
    case output::RecvStatus::Ok:
      e.outcome = std::move(got);
      // the worker closes the outcome channel right after its one value
      if (std::optional<worker::Outcome> more; rx.recv_for(more, 30s) != output::RecvStatus::Closed)
        return e;
      break;
    case output::RecvStatus::Closed:
      break;
  }
  thread.join();
  e.ended = true;
  return e;
}

double symbol(const state::FinalState& fs, std::string_view name) {
  auto it = fs.symbol_table.find(name);
  return it == fs.symbol_table.end() ? -1.0 : it->second;
}

}  // namespace

TEST(RowRun, RowsArriveInOrderThenTheFinalState) {
  auto run = worker::start_row_run(config("G1 X1\nR1=5\nX=R1\n", "R2=7\n"), false);
  ASSERT_TRUE(run.has_value());
  std::vector<std::size_t> lines;
  while (auto row = run->rows.recv()) lines.push_back(row->line);
  EXPECT_EQ(lines, (std::vector<std::size_t>{1, 3}));  // R1=5 alone writes no row

  Ending e = wait_for_ending(run->outcome, run->worker);
  ASSERT_TRUE(e.ended);
  ASSERT_TRUE(e.outcome.has_value());
  const auto* fs = std::get_if<state::FinalState>(&*e.outcome);
  ASSERT_NE(fs, nullptr);
  EXPECT_EQ(symbol(*fs, "R1"), 5.0);
  EXPECT_EQ(symbol(*fs, "R2"), 7.0);  // the initial-state program ran first
}

TEST(RowRun, AnErrorIsTheOutcomeAfterTheRowsBeforeIt) {
  auto run = worker::start_row_run(config("X1\nX=R9\nX3\n"), false);
  ASSERT_TRUE(run.has_value());
  std::size_t rows = 0;
  while (run->rows.recv()) ++rows;
  EXPECT_EQ(rows, 1u);
  Ending e = wait_for_ending(run->outcome, run->worker);
  ASSERT_TRUE(e.ended && e.outcome.has_value());
  const auto* err = std::get_if<worker::ErrInfo>(&*e.outcome);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->kind, "undefined_variable");
  ASSERT_TRUE(err->location.has_value());
  EXPECT_EQ(err->location->line, 2u);
}

TEST(BatchRun, TablesThenTheOutcomeThenTheVariableEvents) {
  worker::BatchConfig bc;
  bc.batch_size = 2;
  bc.include_variables = true;
  auto run = worker::start_batch_run(config("X1\nX2\nR1=3\nX=R1\nX4\n"), bc);
  ASSERT_TRUE(run.has_value());
  std::vector<std::size_t> sizes;
  while (auto table = run->tables.recv()) sizes.push_back(table->num_rows());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{2, 2}));  // R1=3 alone writes no row

  Ending e = wait_for_ending(run->outcome, run->worker);
  ASSERT_TRUE(e.ended && e.outcome.has_value());
  ASSERT_TRUE(std::holds_alternative<state::FinalState>(*e.outcome));
  auto events = run->events.recv();
  ASSERT_TRUE(events.has_value());
  EXPECT_EQ(events->names, (std::vector<std::string>{"R1"}));
  EXPECT_EQ(events->row_idx, (std::vector<std::uint32_t>{2}));  // seen at the next row
}

// Programs that run until their consumer goes away: a FOR is not bounded by
// the iteration limit. Some send rows all the time, one never sends any.
struct Endless {
  const char* name;
  const char* program;
  bool in_initial_state;  // run as the initial-state program, whose rows nobody sees
  bool sends_rows;
};
constexpr Endless kEndless[] = {
    {"rows_every_pass", "FOR R1=1 TO 1000000000000000\nX=R1\nENDFOR\n", false, true},
    {"no_rows", "FOR R1=1 TO 1000000000000000\nR2=R1\nENDFOR\n", false, false},
    {"initial_state", "FOR R1=1 TO 1000000000000000\nX=R1\nENDFOR\n", true, false},
};

void PrintTo(const Endless& e, std::ostream* os) { *os << e.name; }

class EndlessRun : public ::testing::TestWithParam<Endless> {
 protected:
  worker::RunConfig endless_config() const {
    const Endless& p = GetParam();
    return p.in_initial_state ? config("X1\n", p.program) : config(p.program);
  }
};

TEST_P(EndlessRun, DroppingTheRowsEndsTheWorker) {
  auto run = worker::start_row_run(endless_config(), false);
  ASSERT_TRUE(run.has_value());
  if (GetParam().sends_rows) {
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(run->rows.recv().has_value());
  } else {
    std::this_thread::sleep_for(20ms);  // well into the loop
  }
  run->rows.close();
  Ending e = wait_for_ending(run->outcome, run->worker);
  EXPECT_TRUE(e.ended);
  EXPECT_FALSE(e.outcome.has_value());  // a consumer that left gets no outcome
}

TEST_P(EndlessRun, DroppingTheTablesEndsTheWorker) {
  worker::BatchConfig bc;
  bc.batch_size = 100;
  auto run = worker::start_batch_run(endless_config(), bc);
  ASSERT_TRUE(run.has_value());
  if (GetParam().sends_rows) {
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(run->tables.recv().has_value());
  } else {
    std::this_thread::sleep_for(20ms);
  }
  run->tables.close();
  Ending e = wait_for_ending(run->outcome, run->worker);
  EXPECT_TRUE(e.ended);
  EXPECT_FALSE(e.outcome.has_value());
}

TEST_P(EndlessRun, DroppingEverythingAtOnceEndsTheWorker) {
  auto run = worker::start_row_run(endless_config(), false);
  ASSERT_TRUE(run.has_value());
  worker::WorkerHandle thread = std::move(run->worker);
  auto outcome = std::move(run->outcome);
  run->rows.close();
  outcome.close();
  // with no outcome channel to watch, the join itself must come back
  std::promise<void> joined;
  std::future<void> done = joined.get_future();
  std::thread([t = std::move(thread), joined = std::move(joined)]() mutable {
    t.join();
    joined.set_value();
  }).detach();
  ASSERT_EQ(done.wait_for(30s), std::future_status::ready);
}

INSTANTIATE_TEST_SUITE_P(Worker, EndlessRun, ::testing::ValuesIn(kEndless),
                         [](const auto& info) { return std::string(info.param.name); });
