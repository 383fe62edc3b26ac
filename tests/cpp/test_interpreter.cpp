#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "interpreter.hpp"
#include "output.hpp"
#include "state.hpp"

using namespace kelvane;
using interpreter::install_flattener;
using interpreter::interpret_file;

namespace {

state::State fresh_state(std::size_t iteration_limit = 100) {
  auto st = state::build_state(std::nullopt, std::nullopt, iteration_limit, std::nullopt, false);
  EXPECT_TRUE(st.has_value());
  return std::move(*st);
}

// One text per row: "line: NAME=value ..." in cell order.
std::vector<std::string> render(const std::vector<output::Row>& rows) {
  std::vector<std::string> out;
  for (const auto& row : rows) {
    std::string s = std::to_string(row.line) + ":";
    for (const auto& c : row.cells) {
      s += " " + std::string(c.name) + "=";
      if (const auto* d = std::get_if<double>(&c.value)) s += errors::float_text(*d);
      else if (const auto* t = std::get_if<std::string>(&c.value)) s += *t;
      else
        for (const auto& m : std::get<std::vector<std::string>>(c.value)) s += "[" + m + "]";
    }
    out.push_back(s);
  }
  return out;
}

struct Run {
  errors::Status status;
  std::vector<std::string> rows;
};

Run run(const std::string& program, state::State& st) {
  auto rows = output::OutputRows::collecting();
  Run r{interpret_file(program, st, rows), {}};
  auto done = rows.finish();
  EXPECT_TRUE(done.has_value());
  if (done) r.rows = render(*done);
  return r;
}

Run run(const std::string& program) {
  auto st = fresh_state();
  return run(program, st);
}

// Sets an environment variable for one scope.
struct EnvGuard {
  std::string name;
  EnvGuard(const char* n, const char* value) : name(n) {
    if (value) setenv(n, value, 1);
    else unsetenv(n);
  }
  ~EnvGuard() { unsetenv(name.c_str()); }
};

}  // namespace

TEST(InterpretFile, StructuredProgramRowByRow) {
  const auto r = run(
      "G1 X10 Y20\n"
      "R1=0\n"
      "WHILE R1<3\n"
      "R1=R1+1\n"
      "X=R1*2\n"
      "ENDWHILE\n"
      "IF R1==3\n"
      "Y=5 M3\n"
      "ELSE\n"
      "Y=6\n"
      "ENDIF\n");
  ASSERT_TRUE(r.status.has_value()) << r.status.error().message();
  const std::vector<std::string> expected = {
      "1: gg01_motion=G1 X=10 Y=20", "5: X=2", "5: X=4", "5: X=6", "8: Y=5 M=[M3]"};
  EXPECT_EQ(r.rows, expected);
}

TEST(InterpretFile, EndOfProgramStopsTheRun) {
  const auto r = run("X1\nM30\nX2\n");
  ASSERT_TRUE(r.status.has_value());
  const std::vector<std::string> expected = {"1: X=1", "2: M=[M30]"};
  EXPECT_EQ(r.rows, expected);
}

TEST(InterpretFile, PathChoiceDoesNotChangeTheResult) {
  // Without structure blocks, with NC_STAGE1 off, and with NC_VM=1, the
  // program gives the same rows.
  const std::string program = "X1\nIF R1==0 GOTOF SKIP\nX2\nSKIP:\nX3\n";
  const std::vector<std::string> expected = {"1: X=1", "5: X=3"};
  for (const char* stage1 : {static_cast<const char*>(nullptr), "0", "oFf", "false"}) {
    for (const char* vm : {static_cast<const char*>(nullptr), "1", "01"}) {
      EnvGuard g1("NC_STAGE1", stage1);
      EnvGuard g2("NC_VM", vm);
      auto s = fresh_state();
      s.allow_undefined_variables = true;
      const auto r = run(program, s);
      ASSERT_TRUE(r.status.has_value()) << r.status.error().message();
      EXPECT_EQ(r.rows, expected);
    }
  }
}

TEST(InterpretFile, TargetsOfTheInitialStateAreKnownToTheMainProgramsHints) {
  // a block number or label the initial-state program defines is named as
  // defined but out of reach on every path, not left without a hint
  struct Case { const char* initial; const char* program; const char* target; };
  const Case cases[] = {{"N0\n", "GOTO 0\n", "0"},
                        {"N7 X1\n", "GOTOF N7\n", "N7"},
                        {"MARK:\nX1\n", "X2\nGOTOB MARK\n", "MARK"}};
  for (const auto& c : cases) {
    for (const char* stage1 : {static_cast<const char*>(nullptr), "0"}) {
      for (const char* vm : {static_cast<const char*>(nullptr), "1"}) {
        for (const char* stream : {static_cast<const char*>(nullptr), "1"}) {
          EnvGuard g1("NC_STAGE1", stage1);
          EnvGuard g2("NC_VM", vm);
          EnvGuard g3("NC_STREAM_MIN_BYTES", stream);
          auto st = fresh_state();
          auto discard = output::OutputRows::collecting();
          ASSERT_TRUE(interpreter::interpret_initial_state(c.initial, st, discard).has_value());
          const auto r = run(c.program, st);
          ASSERT_FALSE(r.status.has_value()) << c.program;
          const std::string message = r.status.error().message();
          EXPECT_NE(message.find(std::string("'") + c.target +
                                 "' is defined, but not where this jump searches"),
                    std::string::npos)
              << c.program << " stage1=" << (stage1 ? stage1 : "on") << " vm="
              << (vm ? vm : "off") << " streaming=" << (stream ? "yes" : "no") << "\n" << message;
        }
      }
    }
  }
}

TEST(InterpretFile, TheInitialStatesLastRowWarnsOnEveryPath) {
  // the G91 warning is given when a row closes: the initial-state run's last
  // row is closed whether or not a blank line follows it
  for (const char* initial : {"G91", "G91\n", "X1\nG91 X2\n\n"}) {
    for (const char* stage1 : {static_cast<const char*>(nullptr), "0"}) {
      for (const char* vm : {static_cast<const char*>(nullptr), "1"}) {
        EnvGuard g1("NC_STAGE1", stage1);
        EnvGuard g2("NC_VM", vm);
        auto st = fresh_state();
        auto discard = output::OutputRows::collecting();
        testing::internal::CaptureStderr();
        const auto r = interpreter::interpret_initial_state(initial, st, discard);
        const std::string warnings = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(r.has_value());
        EXPECT_NE(warnings.find("G91 incremental dimensioning is not interpreted"),
                  std::string::npos)
            << initial << " stage1=" << (stage1 ? stage1 : "on") << " vm=" << (vm ? vm : "off");
      }
    }
  }
}

TEST(InterpretFile, EnvironmentSwitches) {
  struct Case { const char* value; bool stage1; };
  const Case cases[] = {{nullptr, true}, {"0", false}, {"off", false}, {"OFF", false},
                        {"Off", false},  {"", true},   {"00", true},   {"false", true},
                        {"no", true},    {" 0", true}, {"offf", true}};
  for (const auto& c : cases) {
    EnvGuard g("NC_STAGE1", c.value);
    EXPECT_EQ(interpreter::stage1_enabled(), c.stage1) << (c.value ? c.value : "(unset)");
  }
  struct VmCase { const char* value; bool vm; };
  const VmCase vms[] = {{nullptr, false}, {"1", true}, {"01", false}, {"1 ", false},
                        {"true", false}};
  for (const auto& c : vms) {
    EnvGuard g("NC_VM", c.value);
    EXPECT_EQ(interpreter::vm_requested(), c.vm) << (c.value ? c.value : "(unset)");
  }
}

TEST(InterpretFile, SyntaxErrorIsLocatedAndNothingRuns) {
  struct Case { const char* program; const char* stage1; const char* context; };
  const Case cases[] = {
      // whole-program parse: forced, or because the program has a structure
      {"X1\r\nX2\r\nX10 )\r\nX4\r\n", "0", "initial file parsing"},
      {"X1\r\nX2\r\nX10 )\r\nWHILE 0\r\nENDWHILE\r\n", nullptr, "initial file parsing"},
      // the per-line path parses the lines it refuses itself
      {"X1\r\nX2\r\nX10 )\r\nX4\r\n", nullptr, "line parsing"},
  };
  for (const auto& c : cases) {
    EnvGuard g("NC_STAGE1", c.stage1);
    const auto r = run(c.program);
    ASSERT_FALSE(r.status.has_value()) << c.program;
    const auto* e = r.status.error().get_if<errors::ParseContext>();
    ASSERT_NE(e, nullptr) << r.status.error().message();
    EXPECT_EQ(e->line, 3u);
    EXPECT_EQ(e->column, 5u);
    EXPECT_EQ(e->context, c.context);
    EXPECT_EQ(e->line_text, "X10 )\r");  // the line as stored, with its "\r"
    EXPECT_TRUE(r.rows.empty()) << c.program;
  }
  EnvGuard g("NC_STAGE1", "0");
  const auto r = run("X1\nX2\nX10 )\n");
  ASSERT_FALSE(r.status.has_value());
  EXPECT_EQ(r.status.error().get_if<errors::ParseContext>()->message,
            "expected the end of the program, or a comment (;...), or a statement");
}

TEST(InterpretFile, StructureErrorComesBeforeAnyRow) {
  const auto r = run("X1\nX2\nENDIF\n");
  ASSERT_FALSE(r.status.has_value());
  const auto* e = r.status.error().get_if<errors::UnmatchedStructure>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->line, 3u);
  EXPECT_TRUE(r.rows.empty());
}

TEST(InterpretFile, UnresolvedJumpAfterEarlierRows) {
  const auto r = run("X1\nX2\nGOTOF NOWHERE\nX3\n");
  ASSERT_FALSE(r.status.has_value());
  const auto* e = r.status.error().get_if<errors::JumpTargetNotFound>();
  ASSERT_NE(e, nullptr) << r.status.error().message();
  EXPECT_EQ(e->line, 3u);
  EXPECT_EQ(e->target, "NOWHERE");
  EXPECT_EQ(e->line_text, "GOTOF NOWHERE");
  const std::vector<std::string> expected = {"1: X=1", "2: X=2"};
  EXPECT_EQ(r.rows, expected);
}

TEST(InterpretFile, InitialAndMainProgramsOnOneState) {
  auto st = fresh_state();
  const auto init = run("R1=5\nG1 X2\n", st);
  ASSERT_TRUE(init.status.has_value()) << init.status.error().message();
  // variables and modal state carry over; the main program's lines count anew
  const auto main = run("Y=R1\nX=R1+1\nR3=UNDEF\n", st);
  ASSERT_FALSE(main.status.has_value());
  const auto* e = main.status.error().get_if<errors::UndefinedVariable>();
  ASSERT_NE(e, nullptr) << main.status.error().message();
  EXPECT_EQ(e->line, 3u);
  EXPECT_EQ(e->line_text, "R3=UNDEF");
  const std::vector<std::string> expected = {"1: Y=5", "2: X=6"};
  EXPECT_EQ(main.rows, expected);

  // an error in the initial-state program carries its own lines
  auto st2 = fresh_state();
  const auto bad_init = run("R1=1\nR2=1\nX=(1\n", st2);
  ASSERT_FALSE(bad_init.status.has_value());
  const auto loc = bad_init.status.error().location();
  ASSERT_TRUE(loc.has_value());
  EXPECT_EQ(loc->line, 3u);
  EXPECT_EQ(loc->line_text, "X=(1");
  const auto next = run("X5\n", st2);
  EXPECT_TRUE(next.status.has_value());
}

namespace {

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

struct StackJob {
  std::string program;
  std::optional<Run> result;
};

// Runs a program on a thread with a 2 MiB stack, as the worker has.
void run_on_worker_stack(StackJob& job) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 2u << 20), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    auto* j = static_cast<StackJob*>(arg);
    j->result = run(j->program);
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

}  // namespace

// The deepest nesting the grammar accepts runs on the worker's stack, on the
// line driver's path and on the grammar path.
TEST(InterpretFile, DeepestNestingRunsOnAWorkerStack) {
  const std::size_t n = types::kMaxNesting;
  const std::vector<std::pair<std::string, std::string>> programs = {
      {"X=" + repeat("(", n) + "1" + repeat(")", n) + "\n", "1: X=1"},
      {"X=" + repeat("SIN(", n) + "0" + repeat(")", n) + "\n", "1: X=0"},
      {"DEF REAL AA[2]\nX=" + repeat("AA[", n) + "0" + repeat("]", n) + "\n", "2: X=0"},
      {"X=" + repeat("STRLEN(\"a\"<<", n) + "1" + repeat(")", n) + "\n", "1: X=2"},
      {repeat("IF 1\n", n) + "X=1\n" + repeat("ENDIF\n", n), std::to_string(n + 1) + ": X=1"},
  };
  for (const char* stage1 : {"1", "0"}) {
    EnvGuard path("NC_STAGE1", stage1);
    for (const auto& [program, last_row] : programs) {
      StackJob job{program, std::nullopt};
      run_on_worker_stack(job);
      ASSERT_TRUE(job.result) << program.substr(0, 40);
      ASSERT_TRUE(job.result->status) << job.result->status.error().message().substr(0, 400);
      ASSERT_FALSE(job.result->rows.empty());
      EXPECT_EQ(job.result->rows.back(), last_row) << "NC_STAGE1=" << stage1;
    }
  }
}

TEST(InterpretFile, LoopLimitEndsTheRun) {
  auto st = fresh_state(3);
  const auto r = run("R1=0\nWHILE 1\nR1=R1+1\nX=R1\nENDWHILE\n", st);
  ASSERT_FALSE(r.status.has_value());
  EXPECT_EQ(r.status.error().kind(), "loop_limit");
  EXPECT_EQ(r.rows.size(), 3u);
}

TEST(InstallFlattener, ToleranceChecks) {
  auto st = fresh_state();
  auto rows = output::OutputRows::collecting();
  EXPECT_TRUE(install_flattener(rows, st, std::nullopt).has_value());
  EXPECT_FALSE(rows.flattener.has_value());

  struct Case { double tolerance; const char* shown; };
  const Case bad[] = {{0.0, "0"},
                      {-0.5, "-0.5"},
                      {std::numeric_limits<double>::infinity(), "inf"},
                      {-std::numeric_limits<double>::infinity(), "-inf"},
                      {std::numeric_limits<double>::quiet_NaN(), "NaN"}};
  for (const auto& c : bad) {
    const auto r = install_flattener(rows, st, c.tolerance);
    ASSERT_FALSE(r.has_value()) << c.shown;
    EXPECT_EQ(r.error().kind(), "parse_error");
    EXPECT_EQ(r.error().message(),
              std::string("Parse error: flatten tolerance must be a positive number, got ") +
                  c.shown);
  }
  EXPECT_FALSE(rows.flattener.has_value());
}

TEST(InstallFlattener, SeedsPositionsAndSplitsArcs) {
  // the initial-state program positions the axes; the flattened arc of the
  // main program starts from there
  auto st = fresh_state();
  const auto init = run("G1 X10 Y0\n", st);
  ASSERT_TRUE(init.status.has_value());
  auto rows = output::OutputRows::collecting();
  ASSERT_TRUE(install_flattener(rows, st, 0.01).has_value());
  ASSERT_TRUE(rows.flattener.has_value());
  auto status = interpret_file("G3 X0 Y10 I-10 J0\n", st, rows);
  ASSERT_TRUE(status.has_value()) << status.error().message();
  auto done = rows.finish();
  ASSERT_TRUE(done.has_value());
  ASSERT_GT(done->size(), 10u);  // a quarter circle of radius 10 within 0.01
  for (const auto& row : *done) {
    const auto* x = row.cells.get("X");
    const auto* y = row.cells.get("Y");
    ASSERT_TRUE(x && y);
    const double r = std::hypot(std::get<double>(*x), std::get<double>(*y));
    EXPECT_NEAR(r, 10.0, 1e-9);  // every point lies on the circle about (0, 0)
    EXPECT_EQ(row.line, 1u);
  }
  const auto& last = done->back();
  EXPECT_NEAR(std::get<double>(*last.cells.get("X")), 0.0, 1e-12);
  EXPECT_NEAR(std::get<double>(*last.cells.get("Y")), 10.0, 1e-12);
}

// Loops that write no cell and would run for ages, each with the switches
// that send it to one executor.
struct EndlessLoop {
  const char* stage1;
  const char* vm;
  const char* program;
};
const EndlessLoop kEndlessLoops[] = {
    {"0", nullptr, "FOR R1=1 TO 1000000000000\nR2=R1\nENDFOR\n"},
    {"0", nullptr, "WHILE 1\nENDWHILE\n"},
    {"0", nullptr, "LOOP\nENDLOOP\n"},
    {"0", nullptr, "REPEAT\nUNTIL 0\n"},
    {"0", nullptr, "LBL1:\nGOTOB LBL1\n"},
    {"0", "1", "FOR R1=1 TO 1000000000000\nR2=R1\nENDFOR\n"},
    {"0", "1", "WHILE 1\nENDWHILE\n"},
    {"0", "1", "LOOP\nENDLOOP\n"},
    {"0", "1", "REPEAT\nUNTIL 0\n"},
    {"0", "1", "LBL1:\nGOTOB LBL1\n"},
    {nullptr, nullptr, "LBL1:\nGOTOB LBL1\n"},  // the line driver
};

std::string describe(const EndlessLoop& c) {
  return std::string("NC_STAGE1=") + (c.stage1 ? c.stage1 : "(unset)") +
         " NC_VM=" + (c.vm ? c.vm : "(unset)") + " " + c.program;
}

TEST(InterpretFile, EveryExecutorStopsInALoopOnceTheConsumerIsGone) {
  for (const auto& c : kEndlessLoops) {
    EnvGuard g1("NC_STAGE1", c.stage1);
    EnvGuard g2("NC_VM", c.vm);
    auto st = fresh_state(std::numeric_limits<std::size_t>::max());
    auto [tx, rx] = output::make_channel<output::Row>(1);
    auto rows = output::OutputRows::streaming(std::move(tx));
    errors::Status status;
    std::thread worker([&] { status = interpret_file(std::string("X1\n") + c.program, st, rows); });
    // the first row comes before the loop; then nobody listens any more
    auto first = rx.recv();
    ASSERT_TRUE(first.has_value()) << describe(c);
    EXPECT_EQ(first->line, 1u);
    rx.close();
    worker.join();
    ASSERT_FALSE(status.has_value()) << describe(c);
    EXPECT_EQ(status.error().kind(), "stream_closed") << describe(c);
  }
}

TEST(InterpretFile, ADiscardingRunKeepsNoRowsAndStopsWithItsProbe) {
  // nobody cancels: the rows are dropped, the state is the same as collecting
  auto st = fresh_state();
  auto [tx, rx] = output::make_channel<output::Row>(1);
  auto rows = output::OutputRows::discarding(tx.cancel_probe());
  ASSERT_TRUE(interpret_file("R1=0\nWHILE R1<5\nR1=R1+1\nX=R1\nENDWHILE\n", st, rows).has_value());
  auto done = rows.finish();
  ASSERT_TRUE(done.has_value());
  EXPECT_TRUE(done->empty());
  EXPECT_EQ(st.final_state().axes.at("X"), 5.0);

  // the channel the probe watches loses its receiver: every executor stops
  rx.close();
  for (const auto& c : kEndlessLoops) {
    EnvGuard g1("NC_STAGE1", c.stage1);
    EnvGuard g2("NC_VM", c.vm);
    auto st2 = fresh_state(std::numeric_limits<std::size_t>::max());
    auto quiet = output::OutputRows::discarding(tx.cancel_probe());
    const auto status = interpret_file(c.program, st2, quiet);
    ASSERT_FALSE(status.has_value()) << describe(c);
    EXPECT_EQ(status.error().kind(), "stream_closed") << describe(c);
  }
}

// The rows with the cells of each in name order: the decoded lines and the
// grammar write a row's cells in different orders.
static std::vector<std::string> cells_by_name(std::vector<std::string> rows) {
  for (std::string& row : rows) {
    const std::size_t colon = row.find(':');
    std::vector<std::string> cells;
    std::size_t at = colon + 1;
    while (at < row.size()) {
      const std::size_t from = at + 1;  // past the blank
      at = row.find(' ', from);
      if (at == std::string::npos) at = row.size();
      cells.push_back(row.substr(from, at - from));
    }
    std::sort(cells.begin(), cells.end());
    row.resize(colon + 1);
    for (const std::string& cell : cells) row += " " + cell;
  }
  return rows;
}

TEST(InterpretFile, JumpsLandWarnAndHintAlikeOnEveryPath) {
  // Tables and scopes hold only the keys the jumps name, and the known
  // targets of the hints are gathered only when a hint reads them: every
  // path must still land, warn and explain as if every key were listed.
  struct Case {
    const char* what;
    const char* program;
    std::vector<std::string> rows;
    const char* error;    // a part of the error message, or null
    const char* warning;  // a part of the warnings, or null
  };
  const Case cases[] = {
      {"GOTOF lands on the first of several blocks with its number after the jump",
       "N10 X1\nGOTOF N10\nN10 X2\nN10 X3\n", {"1: N=10 X=1", "3: N=10 X=2", "4: N=10 X=3"},
       nullptr, nullptr},
      {"GOTOB lands on the last of them at or before the jump",
       "N5 X1\nN5 X2\nR1=R1+1\nIF R1<2 GOTOB N0005\nX9\n",
       {"1: N=5 X=1", "2: N=5 X=2", "2: N=5 X=2", "5: X=9"}, nullptr, nullptr},
      {"GOTO searches forward first, then backward",
       "LBL:\nX1\nR1=R1+1\nIF R1<3 GOTO LBL\nX2\n", {"2: X=1", "2: X=1", "2: X=1", "5: X=2"},
       nullptr, nullptr},
      {"GOTOC to a target no block carries warns and goes on", "X1\nGOTOC NOWHERE\nX2\n",
       {"1: X=1", "3: X=2"}, nullptr, "GOTOC destination 'NOWHERE' not found"},
      {"the hint names a target one edit away", "N20 X1\nGOTOB N21\n", {"1: N=20 X=1"},
       "Did you mean 'N20'?", nullptr},
      {"the hint names a target that lies the other way", "N20 X1\nGOTOF N20\n",
       {"1: N=20 X=1"}, "'N20' is defined, but not where this jump searches", nullptr},
      {"a label of a list that runs no more is no GOTOC destination",
       "WHILE R1<1\nR1=R1+1\nINNER:\nX1\nENDWHILE\nGOTOC INNER\nX2\n", {"4: X=1", "7: X=2"},
       nullptr, "GOTOC destination 'INNER' not found"},
      {"GOTOC from a loop body to a label of the list around it leaves the loop",
       "WHILE R1<5\nR1=R1+1\nGOTOC OUT\nX1\nENDWHILE\nOUT:\nX2\n", {"7: X=2"}, nullptr, nullptr},
      {"the keys of a body that ran are known to the hint",
       "WHILE R1<1\nR1=R1+1\nN20 X1\nENDWHILE\nGOTOB N21\n", {"3: N=20 X=1"},
       "Did you mean 'N20'?", nullptr},
  };
  for (const auto& c : cases) {
    for (const char* stage1 : {static_cast<const char*>(nullptr), "0"}) {
      for (const char* vm : {static_cast<const char*>(nullptr), "1"}) {
        EnvGuard g1("NC_STAGE1", stage1);
        EnvGuard g2("NC_VM", vm);
        auto st = fresh_state();
        st.allow_undefined_variables = true;
        testing::internal::CaptureStderr();
        const auto r = run(c.program, st);
        const std::string warnings = testing::internal::GetCapturedStderr();
        const std::string where = std::string(c.what) + " (stage1=" + (stage1 ? stage1 : "on") +
                                  " vm=" + (vm ? vm : "off") + ")";
        EXPECT_EQ(cells_by_name(r.rows), c.rows) << where;
        if (c.error) {
          ASSERT_FALSE(r.status.has_value()) << where;
          EXPECT_NE(r.status.error().message().find(c.error), std::string::npos)
              << where << "\n" << r.status.error().message();
        } else {
          EXPECT_TRUE(r.status.has_value()) << where << "\n" << r.status.error().message();
        }
        if (c.warning) EXPECT_NE(warnings.find(c.warning), std::string::npos) << where;
        else EXPECT_EQ(warnings.find("GOTOC"), std::string::npos) << where << "\n" << warnings;
      }
    }
  }
}

TEST(InterpretFile, HintsOfABodyThatNeverRanDoNotNameItsTargets) {
  // the targets of a list are known once the list has started
  for (const char* vm : {static_cast<const char*>(nullptr), "1"}) {
    EnvGuard g("NC_VM", vm);
    const auto r = run("IF R1==5\nN20 X1\nENDIF\nN30 X2\nGOTOB N21\n");
    ASSERT_FALSE(r.status.has_value());
    const std::string message = r.status.error().message();
    EXPECT_EQ(message.find("N20"), std::string::npos) << message;
    EXPECT_EQ(message.find("Did you mean"), std::string::npos) << message;
  }
}
