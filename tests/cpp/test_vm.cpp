// The frame-stack executor against the recursive one: the same rows, errors
// and final state for a table of programs, the documented places where the
// two count differently, and nesting that does not use the machine stack.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"
#include "vm.hpp"

namespace {

using kelvane::errors::float_text;
using kelvane::errors::ParsingError;
using kelvane::interpret_rules::Flow;
using kelvane::output::OutputRows;
using kelvane::output::Row;
using kelvane::state::State;
using kelvane::types::NCParser;
using kelvane::types::Pair;
using kelvane::types::Rule;
using kelvane::types::Value;

enum class Exec { Recursive, Vm };

struct Outcome {
  std::vector<std::string> rows;  // one text per row
  std::optional<ParsingError> error;
  bool ended = false;
  std::string final_state;
  std::string warnings;
  std::size_t open_scopes = 0;  // label scopes left on the state
  State state;

  std::string error_text() const {
    return error ? std::string(error->kind()) + ": " + error->message() : "(none)";
  }
};

State make_state(std::size_t limit) {
  auto st = kelvane::state::build_state(std::nullopt, std::nullopt, limit, std::nullopt, false);
  EXPECT_TRUE(st.has_value());
  return std::move(*st);
}

std::string value_text(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return '"' + *s + '"';
  if (const auto* d = std::get_if<double>(&v)) return float_text(*d);
  std::string out = "[";
  for (const auto& s : std::get<std::vector<std::string>>(v)) out += s + ",";
  return out + "]";
}

std::string row_text(const Row& row) {
  std::string out = "line " + std::to_string(row.line) + ":";
  for (const auto& cell : row.cells) out += " " + std::string(cell.name) + "=" + value_text(cell.value);
  for (const auto& [name, value] : row.variables) out += " " + name + ":=" + float_text(value);
  return out;
}

template <typename M, typename F>
std::string sorted_text(const M& map, F show) {
  std::vector<std::string> parts;
  for (const auto& [k, v] : map) parts.push_back(std::string(k) + "=" + show(v));
  std::sort(parts.begin(), parts.end());
  std::string out;
  for (const auto& p : parts) out += p + " ";
  return out;
}

std::string state_text(const State& state) {
  const auto fs = state.final_state();
  auto num = [](double v) { return float_text(v); };
  std::string out = "axes: " + sorted_text(fs.axes, num);
  out += "| symbols: " + sorted_text(fs.symbol_table, num);
  out += "| translation: " + sorted_text(fs.translation, num);
  out += "| strings: " + sorted_text(fs.string_table, [](const std::string& s) { return s; });
  out += "| rotation:";
  for (const auto& r : fs.rotation)
    for (double v : r) out += " " + float_text(v);
  return out;
}

// Runs the blocks node of `text` with one executor; an unplaced jump of the
// recursive executor becomes the jump-not-found error, as at the program entry.
Outcome execute(const std::string& text, Exec exec, std::size_t limit = 10000) {
  Outcome r{{}, {}, false, {}, {}, 0, make_state(limit)};
  r.state.set_input(std::string_view(text));
  auto src = r.state.source;
  auto parsed = NCParser::parse(Rule::file, *src);
  if (!parsed) {
    ADD_FAILURE() << "parse failed: " << parsed.error().display;
    return r;
  }
  const Pair blocks = *parsed->next()->into_inner().next();
  OutputRows rows = OutputRows::collecting();
  rows.track_variables = true;
  testing::internal::CaptureStderr();
  auto flow = exec == Exec::Vm ? kelvane::interpret_rules::vm::run(blocks, rows, r.state)
                               : kelvane::interpret_rules::interpret_blocks(blocks, rows, r.state);
  if (!flow) {
    r.error = flow.error();
  } else if (const auto* req = flow->jump_request()) {
    EXPECT_EQ(exec, Exec::Recursive) << "the frame-stack executor never hands back a jump";
    r.error = req->into_not_found_error(r.state);
  } else {
    r.ended = flow->is_end();
  }
  auto done = std::move(rows).finish();
  r.warnings = testing::internal::GetCapturedStderr();
  if (!r.error && !done) r.error = done.error();
  if (done)
    for (const Row& row : *done) r.rows.push_back(row_text(row));
  r.final_state = state_text(r.state);
  r.open_scopes = r.state.label_scopes.size();
  return r;
}

double sym(const Outcome& r, const std::string& name) {
  auto it = r.state.symbol_table.find(name);
  return it == r.state.symbol_table.end() ? -12345.0 : it->second;
}

bool any_row_contains(const Outcome& r, const std::string& part) {
  for (const auto& row : r.rows)
    if (row.find(part) != std::string::npos) return true;
  return false;
}

// ---------------------------------------------------------------------------
// Same results as the recursive executor

struct Case {
  const char* name;
  const char* program;
  std::size_t limit = 10000;
};

const Case kSameCases[] = {
    {"no structures", "N10 X1\nN20 Y2 ; c\nGOTOF N40\nN30 X3\nN40 X4\nX5\n"},
    {"if else with comments",
     "R1=1\nIF R1==1 ; note\nX1\nELSE\nX2\nENDIF\nIF R1==2\nX3\nELSE ; other\nX4\nENDIF\n"},
    {"false if without else keeps its closing comment", "R1=0\nIF R1==1\nX1\nENDIF ; tail\nX2\n"},
    {"closing comments of bodies that ran",
     "R1=1\nIF R1==1\nX1\nENDIF ; tail\nR1=0\nWHILE R1<2\nR1=R1+1\n; inner\nENDWHILE ; w\n"
     "LOOP\nREPEAT\nX=R1\nUNTIL 1 ; r\nGOTOF OUT\nENDLOOP ; l\nOUT: Y1\n"
     "FOR R2=1 TO 2\nIF 1\nM30\nENDIF ; i\nENDFOR ; f\n"},
    {"while", "R1=0\nWHILE R1<3\nR1=R1+1 X=R1\nENDWHILE\nY1\n"},
    {"while head comment every pass", "R1=0\nWHILE R1<2 ; pass\nR1=R1+1\nENDWHILE\n"},
    {"while false from the start", "R1=5\nWHILE R1<3\nX1\nENDWHILE\nY2\n"},
    {"for", "FOR R1=1 TO 3\nX=R1\nENDFOR\nY1\n"},
    {"for end below start", "FOR R1=5 TO 1\nX=R1\nENDFOR\nY1\n"},
    {"for nan end", "FOR R1=1 TO SQRT(-1)\nX=R1\nENDFOR\n"},
    {"for axis counter", "FOR X=1 TO 3\nY=5\nENDFOR\n"},
    {"for body changes counter", "FOR R1=1 TO 3\nX=R1\nR1=10\nENDFOR\n"},
    {"for text counter", "DEF STRING[4] SS\nFOR SS=\"A\" TO 3\nENDFOR\n"},
    {"loop left by a jump", "R1=0\nLOOP\nR1=R1+1 X=R1\nIF R1>=3 GOTOF OUT\nENDLOOP\nX99\nOUT: Y1\n"},
    {"repeat", "R1=0\nREPEAT\nR1=R1+1 X=R1\nUNTIL R1>=2\nY1\n"},
    {"nested structures",
     "FOR R1=1 TO 2\nR2=0\nWHILE R2<2\nR2=R2+1\nIF R2==1\nX=R1*10+R2\nELSE\nY=R1*10+R2\nENDIF\n"
     "ENDWHILE\nREPEAT\nZ=R1\nUNTIL 1\nENDFOR\n"},
    {"jump out of two bodies", "R1=0\nWHILE 1\nIF 1\nGOTOF END1\nENDIF\nENDWHILE\nX1\nEND1: X7\n"},
    {"backward jump inside a body",
     "R1=0\nWHILE R1<2\nR2=0\nIN: R2=R2+1\nIF R2<3 GOTOB IN\nR1=R1+1 X=R1*10+R2\nENDWHILE\n"},
    {"backward jump from a body to the outer list",
     "R1=0\nTOP: R1=R1+1\nWHILE R1<3\nGOTOB TOP\nENDWHILE\nX=R1\n"},
    {"gotoc missing and visible",
     "X1\nGOTOC MISSING\nX2\nR1=0\nWHILE R1<1\nR1=R1+1\nIN: X3\nENDWHILE\nGOTOC IN\nX4\n"},
    {"gotoc from a body to the outer list",
     "R1=0\nWHILE R1<1\nR1=R1+1\nGOTOC AFTER\nX5\nENDWHILE\nAFTER: X6\n"},
    {"case in a body",
     "FOR R1=1 TO 3\nCASE R1 OF 1 GOTOF LA 2 GOTOF LB DEFAULT GOTOF LC\nLA: X=R1\nGOTOF NX\n"
     "LB: Y=R1\nGOTOF NX\nLC: Z=R1\nNX: G1\nENDFOR\n"},
    {"m30 inside nested bodies",
     "R1=0\nWHILE R1<5\nR1=R1+1\nFOR R2=1 TO 3\nX=R2\nIF R2==2\nN7 M30 ; stop\nENDIF\nENDFOR\n"
     "ENDWHILE\nX99\n"},
    {"error inside a body", "R1=0\nWHILE R1<2\nR1=R1+1\nX=R1\nG999\nENDWHILE\n"},
    {"undefined variable inside a for", "FOR R1=1 TO 2\nX=R1\nY=R9\nENDFOR\n"},
    {"jump not found from a body", "X1\nWHILE 1\nGOTOF NOWHERE\nENDWHILE\n"},
    {"jump into an if body", "R1=0\nGOTOF INSIDE\nIF R1==0\nINSIDE: X1\nENDIF\n"},
    {"jump to a body label after it ran",
     "R1=0\nIF R1==0\nINSIDE: X1\nENDIF\nGOTOB INSIDE\n"},
    {"frames and positions in a body", "FOR R1=1 TO 2\nTRANS X=R1\nG1 X0 Y=R1\nENDFOR\nX5\n"},
    {"backward jumps of the program list", "N10 X1\nGOTOB N10\n", 3},
    {"while limit", "R1=0\nWHILE R1<3\nR1=R1+1\nENDWHILE\n", 3},
    {"while below the limit", "R1=0\nWHILE R1<2\nR1=R1+1\nENDWHILE\n", 3},
    {"loop limit", "R1=0\nLOOP\nR1=R1+1\nENDLOOP\n", 7},
    {"repeat limit before until", "R1=0\nREPEAT\nR1=R1+1\nUNTIL R1>=2\n", 2},
    {"loop limit zero", "R1=0\nLOOP\nR1=R1+1\nENDLOOP\n", 0},
    {"repeat limit zero", "R1=0\nREPEAT\nR1=R1+1\nUNTIL 1\n", 0},
};

std::string program_of(std::string_view name) {
  for (const Case& c : kSameCases)
    if (name == c.name) return c.program;
  ADD_FAILURE() << "no case " << name;
  return "";
}

TEST(Vm, SameRowsErrorsAndStateAsTheRecursiveExecutor) {
  for (const Case& c : kSameCases) {
    SCOPED_TRACE(c.name);
    const Outcome rec = execute(c.program, Exec::Recursive, c.limit);
    const Outcome vm = execute(c.program, Exec::Vm, c.limit);
    ASSERT_EQ(vm.rows.size(), rec.rows.size());
    for (std::size_t i = 0; i < rec.rows.size(); ++i) EXPECT_EQ(vm.rows[i], rec.rows[i]) << "row " << i;
    EXPECT_EQ(vm.error_text(), rec.error_text());
    if (vm.error && rec.error) {
      EXPECT_EQ(vm.error->location().has_value(), rec.error->location().has_value());
      if (vm.error->location() && rec.error->location()) {
        EXPECT_EQ(vm.error->location()->line, rec.error->location()->line);
      }
    }
    EXPECT_EQ(vm.ended, rec.ended);
    EXPECT_EQ(vm.final_state, rec.final_state);
    EXPECT_EQ(vm.warnings, rec.warnings);
    EXPECT_EQ(vm.open_scopes, 0u);
    EXPECT_EQ(rec.open_scopes, 0u);
  }
}

TEST(Vm, SpotChecksOfTheSharedTable) {
  const Outcome w = execute("R1=0\nWHILE R1<3\nR1=R1+1\nENDWHILE\n", Exec::Vm, 3);
  ASSERT_TRUE(w.error.has_value());
  EXPECT_EQ(w.error->kind(), "loop_limit");
  EXPECT_NE(w.error->message().find("Loop limit of 3 reached"), std::string::npos);

  const Outcome f = execute("FOR R1=1 TO 3\nX=R1\nENDFOR\n", Exec::Vm);
  EXPECT_FALSE(f.error.has_value());
  EXPECT_EQ(sym(f, "R1"), 4.0);

  const Outcome m = execute(program_of("m30 inside nested bodies"), Exec::Vm);
  EXPECT_TRUE(m.ended);
  EXPECT_FALSE(any_row_contains(m, "X=99"));

  const Outcome out = execute(program_of("jump out of two bodies"), Exec::Vm);
  EXPECT_TRUE(any_row_contains(out, "X=7"));
  EXPECT_FALSE(any_row_contains(out, "X=1"));

  const Outcome j = execute(program_of("jump not found from a body"), Exec::Vm);
  ASSERT_TRUE(j.error.has_value());
  EXPECT_EQ(j.error->kind(), "jump_target_not_found");

  const Outcome s = execute("DEF STRING[4] SS\nFOR SS=\"A\" TO 3\nENDFOR\n", Exec::Vm);
  ASSERT_TRUE(s.error.has_value());
  EXPECT_NE(s.error->message().find("FOR counter 'SS' cannot be initialized with a string"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// Where the two executors differ

TEST(Vm, WhileIsSkippedWithoutErrorWhenTheLimitIsZero) {
  const char* program = "R1=0\nWHILE R1<3\nR1=R1+1\nENDWHILE\nX1\n";
  const Outcome vm = execute(program, Exec::Vm, 0);
  EXPECT_FALSE(vm.error.has_value()) << vm.error_text();
  EXPECT_EQ(sym(vm, "R1"), 0.0);
  EXPECT_TRUE(any_row_contains(vm, "X=1"));
  const Outcome rec = execute(program, Exec::Recursive, 0);
  ASSERT_TRUE(rec.error.has_value());
  EXPECT_EQ(rec.error->kind(), "loop_limit");
}

TEST(Vm, BackwardJumpsCountOverAllPassesOfOneLoopEntry) {
  // two backward jumps per pass, three passes
  const char* program =
      "R1=0\nWHILE R1<3\nR2=0\nIN: R2=R2+1\nIF R2<3 GOTOB IN\nR1=R1+1\nENDWHILE\nX1\n";
  const Outcome rec = execute(program, Exec::Recursive, 5);
  EXPECT_FALSE(rec.error.has_value()) << rec.error_text();
  EXPECT_EQ(sym(rec, "R1"), 3.0);
  const Outcome vm = execute(program, Exec::Vm, 5);
  ASSERT_TRUE(vm.error.has_value());
  EXPECT_EQ(vm.error->kind(), "loop_limit");
  EXPECT_NE(vm.error->message().find("Loop limit of 5 reached"), std::string::npos);
  // the fifth jump is the first one of the third pass
  EXPECT_EQ(sym(vm, "R1"), 2.0);
  EXPECT_EQ(sym(vm, "R2"), 1.0);
  EXPECT_EQ(vm.open_scopes, 0u);

  // a new entry of the loop starts a new count
  const char* twice =
      "FOR R9=1 TO 2\nR1=0\nWHILE R1<2\nR2=0\nIN: R2=R2+1\nIF R2<3 GOTOB IN\nR1=R1+1\nENDWHILE\n"
      "ENDFOR\n";
  const Outcome again = execute(twice, Exec::Vm, 5);
  EXPECT_FALSE(again.error.has_value()) << again.error_text();
}

TEST(Vm, CommentAfterAClosingKeywordIsKeptWhenTheBodyRan) {
  // the comment belongs to the block holding the structure: it goes into the
  // row current when the structure is left, as with the recursive executor
  const char* program = "R1=1\nIF R1==1\nX1\nENDIF ; tail\nX2\n";
  EXPECT_TRUE(any_row_contains(execute(program, Exec::Vm), "comment=\"; tail\""));
}

// ---------------------------------------------------------------------------
// Nesting without recursion

// Bytes of machine stack `fn` used on a thread of its own, found by filling
// the stack with a pattern first and looking for the deepest overwritten byte.
constexpr std::size_t kStackSize = 8u << 20;
constexpr unsigned char kPaint = 0xA5;

__attribute__((no_sanitize("address"))) std::size_t untouched_bytes(const unsigned char* p) {
  std::size_t i = 0;
  while (i < kStackSize && p[i] == kPaint) ++i;
  return i;
}

std::size_t stack_used(const std::function<void()>& fn) {
  void* mem = nullptr;
  if (posix_memalign(&mem, 1 << 16, kStackSize) != 0) return 0;
  std::memset(mem, kPaint, kStackSize);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, mem, kStackSize);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  const bool started = pthread_create(&thread, &attr, trampoline,
                                      const_cast<std::function<void()>*>(&fn)) == 0;
  if (started) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  const std::size_t used = started ? kStackSize - untouched_bytes(static_cast<unsigned char*>(mem)) : 0;
  std::free(mem);
  return used;
}

// IF and REPEAT structures nested `depth` deep around one positioning block.
std::string nested_program(std::size_t depth) {
  std::string p = "R1=0\n";
  for (std::size_t i = 0; i < depth; ++i) p += i % 2 == 0 ? "IF R1==0\n" : "REPEAT\n";
  p += "X=R1+1\n";
  for (std::size_t i = depth; i-- > 0;) p += i % 2 == 0 ? "ENDIF\n" : "UNTIL 1\n";
  return p + "Y2\n";
}

TEST(Vm, DeepNestingDoesNotGrowTheMachineStack) {
  // the deepest nesting the parser accepts
  std::size_t depth = 200;
  while (depth > 1 && !NCParser::parse(Rule::file, nested_program(depth))) --depth;
  ASSERT_GE(depth, 20u);
  const std::string deep = nested_program(depth);
  const std::string shallow = nested_program(1);

  const Outcome rec = execute(deep, Exec::Recursive);
  const Outcome vm = execute(deep, Exec::Vm);
  EXPECT_FALSE(vm.error.has_value()) << vm.error_text();
  EXPECT_EQ(vm.rows, rec.rows);
  EXPECT_EQ(vm.final_state, rec.final_state);
  EXPECT_TRUE(any_row_contains(vm, "X=1"));

  // parsing happens before the measurement: only the run is measured
  auto measure = [](const std::string& text, Exec exec) {
    State state = make_state(10000);
    state.set_input(std::string_view(text));
    auto src = state.source;
    auto parsed = NCParser::parse(Rule::file, *src);
    const Pair blocks = *parsed->next()->into_inner().next();
    return stack_used([&] {
      OutputRows rows = OutputRows::collecting();
      auto flow = exec == Exec::Vm ? kelvane::interpret_rules::vm::run(blocks, rows, state)
                                   : kelvane::interpret_rules::interpret_blocks(blocks, rows, state);
      EXPECT_TRUE(flow.has_value());
      (void)std::move(rows).finish();
    });
  };
  const std::size_t vm_shallow = measure(shallow, Exec::Vm);
  const std::size_t vm_deep = measure(deep, Exec::Vm);
  const std::size_t rec_shallow = measure(shallow, Exec::Recursive);
  const std::size_t rec_deep = measure(deep, Exec::Recursive);
  ASSERT_GT(vm_shallow, 0u);
  std::printf("stack bytes at depth 1 and %zu: frame-stack %zu, %zu; recursive %zu, %zu\n", depth,
              vm_shallow, vm_deep, rec_shallow, rec_deep);
  // the measurement sees recursion: the recursive executor grows per level
  EXPECT_GT(rec_deep, rec_shallow + depth * 64) << rec_shallow << " -> " << rec_deep;
  // the frame-stack executor does not
  EXPECT_LE(vm_deep, vm_shallow + 1024) << vm_shallow << " -> " << vm_deep << " at depth " << depth;
}

}  // namespace
