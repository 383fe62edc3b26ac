// Block lists, structures, jumps, CASE, assignments, DEF and frame
// instructions, run end to end from program text into collected rows.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"

namespace {

using kelvane::errors::ParsingError;
using kelvane::interpret_rules::Flow;
using kelvane::interpret_rules::interpret_blocks;
using kelvane::output::OutputRows;
using kelvane::output::Row;
using kelvane::state::State;
using kelvane::types::NCParser;
using kelvane::types::Rule;

struct Outcome {
  std::shared_ptr<std::string> text;
  State state;
  std::vector<Row> rows;
  std::optional<ParsingError> error;

  const ParsingError& err() const { return *error; }
  std::string message() const { return error ? error->message() : std::string("(no error)"); }
};

State make_state(std::size_t limit, std::optional<std::vector<std::string>> axes = std::nullopt) {
  auto st = kelvane::state::build_state(std::move(axes), std::nullopt, limit, std::nullopt, false);
  EXPECT_TRUE(st.has_value());
  return std::move(*st);
}

// Parses and runs `text` on `state`; an unplaced jump becomes the
// jump-not-found error, as at the top of a program.
void run_on(Outcome& r, OutputRows& rows) {
  r.state.set_input(std::string_view(*r.text));
  auto parsed = NCParser::parse(Rule::file, *r.text);
  ASSERT_TRUE(parsed.has_value()) << "parse failed: " << parsed.error().display;
  auto file = parsed->next();
  ASSERT_TRUE(file.has_value());
  auto blocks = file->into_inner().next();
  ASSERT_TRUE(blocks.has_value());
  auto flow = interpret_blocks(*blocks, rows, r.state);
  if (!flow) {
    r.error = flow.error();
  } else if (auto* req = flow->jump_request()) {
    r.error = req->into_not_found_error(r.state);
  }
  auto done = std::move(rows).finish();
  if (!r.error && !done) r.error = done.error();
  if (done) r.rows = std::move(*done);
}

Outcome run(std::string text, std::size_t limit = 10000,
        std::optional<std::vector<std::string>> axes = std::nullopt) {
  Outcome r{std::make_shared<std::string>(std::move(text)), make_state(limit, std::move(axes)), {}, {}};
  OutputRows rows = OutputRows::collecting();
  rows.track_variables = true;
  run_on(r, rows);
  return r;
}

std::optional<double> fcell(const Row& row, std::string_view col) {
  const auto* v = row.cells.get(col);
  if (!v) return std::nullopt;
  if (const double* d = std::get_if<double>(v)) return *d;
  return std::nullopt;
}
std::optional<std::string> scell(const Row& row, std::string_view col) {
  const auto* v = row.cells.get(col);
  if (!v) return std::nullopt;
  if (const auto* s = std::get_if<std::string>(v)) return *s;
  return std::nullopt;
}

// The X values of the rows, in order (rows without X are skipped).
std::vector<double> xs(const Outcome& r) {
  std::vector<double> out;
  for (const Row& row : r.rows)
    if (auto x = fcell(row, "X")) out.push_back(*x);
  return out;
}

double sym(const Outcome& r, const std::string& name) {
  auto it = r.state.symbol_table.find(name);
  EXPECT_NE(it, r.state.symbol_table.end()) << name;
  return it == r.state.symbol_table.end() ? NAN : it->second;
}
bool has_sym(const Outcome& r, const std::string& name) {
  return r.state.symbol_table.find(name) != r.state.symbol_table.end();
}

std::string loop_limit_text(const Outcome& r) {
  if (!r.error) return "(no error)";
  if (auto* l = r.err().get_if<kelvane::errors::LoopLimit>()) return l->text;
  return "(other error: " + r.message() + ")";
}

// ---------------------------------------------------------------------------
// Iteration limit

TEST(Loops, LimitsCountPassesAsSpecifiedIncludingZero) {
  const std::string kWhile3 = "R1=0\nWHILE R1<3\nR1=R1+1 X=R1\nENDWHILE\n";
  const std::string kWhileFalse = "R1=5\nWHILE R1<3\nX1\nENDWHILE\n";
  const std::string kLoop = "LOOP\nX=1\nENDLOOP\n";
  const std::string kRepeat2 = "R1=0\nREPEAT\nR1=R1+1 X=R1\nUNTIL R1>=2\n";
  struct Case {
    const std::string* program;
    std::size_t limit;
    bool fails;
    std::size_t x_rows;  // body rows produced before the end or the error
  } cases[] = {
      {&kWhile3, 3, true, 3},     {&kWhile3, 4, false, 3},    {&kWhile3, 1, true, 1},
      {&kWhile3, 0, true, 0},     {&kWhileFalse, 0, true, 0}, {&kWhileFalse, 1, false, 0},
      {&kLoop, 0, true, 1},       {&kLoop, 1, true, 1},       {&kLoop, 5, true, 5},
      {&kRepeat2, 0, true, 1},    {&kRepeat2, 2, true, 2},    {&kRepeat2, 3, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(*c.program + " L=" + std::to_string(c.limit));
    Outcome r = run(*c.program, c.limit);
    if (c.fails) {
      EXPECT_EQ(loop_limit_text(r), std::to_string(c.limit));
      EXPECT_EQ(r.err().kind(), "loop_limit");
    } else {
      EXPECT_FALSE(r.error) << r.message();
    }
    EXPECT_EQ(xs(r).size(), c.x_rows);
  }
}

TEST(Loops, ForRunsInclusiveRecordsCounterAndIsNotCounted) {
  Outcome r = run("FOR R1=1 TO 3\nX=R1\nENDFOR\nY1\n", 1);
  ASSERT_FALSE(r.error) << r.message();
  EXPECT_EQ(xs(r), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(sym(r, "R1"), 4.0);
  // start value in the FOR block's row, then 2, 3, 4 at the ends of the passes
  std::vector<double> recorded;
  for (const Row& row : r.rows)
    for (auto& [name, v] : row.variables)
      if (name == "R1") recorded.push_back(v);
  EXPECT_EQ(recorded, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(r.rows.front().line, 1u);

  struct Case {
    const char* program;
    std::size_t passes;
  } cases[] = {
      {"FOR R1=5 TO 1\nX=R1\nENDFOR\n", 0},
      {"FOR R1=1 TO 3\nX=R1\nR1=10\nENDFOR\n", 1},
      {"FOR R1=1 TO SQRT(-1)\nX=R1\nENDFOR\n", 0},
      {"FOR I=1 TO 3\nX=5\nENDFOR\n", 0},
      {"FOR Y=1 TO 3\nX=5\nENDFOR\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    Outcome rc = run(c.program);
    ASSERT_FALSE(rc.error) << rc.message();
    EXPECT_EQ(xs(rc).size(), c.passes);
  }
  EXPECT_EQ(sym(run("FOR R1=1 TO 3\nR1=10\nENDFOR\n"), "R1"), 11.0);
}

TEST(Loops, ForWithHugeEndStopsWhenTheConsumerIsGone) {
  auto [tx, rx] = kelvane::output::make_channel<Row>(4);
  { auto gone = std::move(rx); }  // the consumer drops its iterator
  Outcome r{std::make_shared<std::string>("FOR R1=1 TO 99999999999999999999999999\nX=R1\nENDFOR\n"), make_state(10000), {}, {}};
  OutputRows rows = OutputRows::streaming(std::move(tx));
  run_on(r, rows);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.err().kind(), "stream_closed");
}

TEST(Loops, ForWithSilentBodyStopsWhenTheBatchConsumerIsGone) {
  // batch mode without variable tracking sends nothing from this body
  auto [tx, rx] = kelvane::output::make_channel<kelvane::output::Table>(3);
  auto [etx, erx] = kelvane::output::make_unbounded_channel<kelvane::output::VariableEvents>();
  { auto gone = std::move(rx); }
  Outcome r{std::make_shared<std::string>("FOR R1=1 TO 99999999999999999999999999\nR2=R1\nENDFOR\n"), make_state(10000), {}, {}};
  OutputRows rows = OutputRows::batch_stream_with_line_numbers(std::move(tx), 100, false, false,
                                                               std::move(etx), false);
  run_on(r, rows);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.err().kind(), "stream_closed");
}

TEST(Loops, ForCounterThatNoLongerChangesFails) {
  Outcome r = run("FOR R1=9007199254740992 TO 99999999999999999999999999\nR2=R1\nENDFOR\n");
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.err().kind(), "parse_context");
  EXPECT_NE(r.message().find("FOR counter 'R1' stays at 9007199254740992"), std::string::npos)
      << r.message();
}

TEST(Loops, ForCounterGivenATextFails) {
  Outcome r = run("DEF STRING[4] SS\nFOR SS=\"A\" TO 3\nENDFOR\n");
  ASSERT_TRUE(r.error);
  const auto* pc = r.err().get_if<kelvane::errors::ParseContext>();
  ASSERT_NE(pc, nullptr) << r.message();
  EXPECT_EQ(pc->context, "FOR statement");
  EXPECT_EQ(pc->message, "FOR counter 'SS' cannot be initialized with a string");
  EXPECT_EQ(pc->line, 2u);
}

TEST(Structures, IfElseAndHeadLineComments) {
  Outcome r = run("R1=1\nIF R1==1 ; note\nX1\nELSE\nX2\nENDIF\nIF R1==2 ; other\nX3\nENDIF\n");
  ASSERT_FALSE(r.error) << r.message();
  EXPECT_EQ(xs(r), (std::vector<double>{1}));
  std::vector<std::pair<std::size_t, std::string>> comments;
  for (const Row& row : r.rows)
    if (auto c = scell(row, "comment")) comments.emplace_back(row.line, *c);
  ASSERT_EQ(comments.size(), 2u);
  EXPECT_EQ(comments[0], (std::pair<std::size_t, std::string>{2, "; note"}));
  EXPECT_EQ(comments[1], (std::pair<std::size_t, std::string>{7, "; other"}));

  Outcome w = run("R1=0\nWHILE R1<2 ; pass\nR1=R1+1\nENDWHILE\n");
  ASSERT_FALSE(w.error) << w.message();
  std::size_t head_rows = 0;
  for (const Row& row : w.rows)
    if (scell(row, "comment") == std::optional<std::string>("; pass") && row.line == 2) ++head_rows;
  EXPECT_EQ(head_rows, 2u);
}

TEST(Structures, RowsOfABodyAndEndOfProgram) {
  Outcome r = run("R1=0\nWHILE R1<2\nN5 X=R1\nR1=R1+1\nENDWHILE\nN9 M30\nX99\n");
  ASSERT_FALSE(r.error) << r.message();
  std::vector<std::size_t> lines;
  for (const Row& row : r.rows)
    if (!row.cells.empty()) lines.push_back(row.line);
  EXPECT_EQ(lines, (std::vector<std::size_t>{3, 3, 6}));
  EXPECT_EQ(xs(r), (std::vector<double>{0, 1}));
  ASSERT_EQ(scell(r.rows.back(), "N"), std::optional<std::string>("9"));

  // M30 inside a FOR body ends the program; the counter is not incremented
  Outcome f = run("FOR R1=1 TO 5\nX=R1\nIF R1==2\nM30\nENDIF\nENDFOR\nX99\n");
  ASSERT_FALSE(f.error) << f.message();
  EXPECT_EQ(xs(f), (std::vector<double>{1, 2}));
  EXPECT_EQ(sym(f, "R1"), 2.0);

  // an error inside a body is located on its own line
  Outcome e = run("R1=0\nWHILE R1<2\nR1=R1+1\nG999\nENDWHILE\n");
  ASSERT_TRUE(e.error);
  ASSERT_TRUE(e.err().location());
  EXPECT_EQ(e.err().location()->line, 4u);
  EXPECT_EQ(loop_limit_text(run("LOOP\nENDLOOP\n", 7)), "7");
  EXPECT_NE(run("LOOP\nENDLOOP\n", 7).message().find("Loop limit of 7 reached"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Jumps

TEST(Jumps, LeavingBodiesAndPlacingTargets) {
  struct Case {
    const char* program;
    std::vector<double> x;
  } cases[] = {
      // GOTOF out of a WHILE body to a label after ENDWHILE
      {"R1=0\nWHILE R1<5\nR1=R1+1 X=R1\nIF R1==2 GOTOF OUT\nENDWHILE\nX99\nOUT: X100\n", {1, 2, 100}},
      // forward first when the label lies on both sides
      {"LBL: X1\nGOTO LBL\nX2\nLBL: X3\n", {1, 3}},
      // nearest after / nearest at or before with two equal labels
      {"GOTOF AA\nAA: X1\nAA: X2\n", {1, 2}},
      {"R1=0\nAA: X1\nAA: X2\nR1=R1+1\nIF R1<2 GOTOB AA\n", {1, 2, 2}},
      // block numbers written in several ways
      {"GOTOF 20\nX1\nN20 X2\n", {2}},
      {"GOTOF N0020\nX1\nN20 X2\n", {2}},
      {"GOTOF n20\nX1\nN0020 X2\n", {2}},
      // a jump from inside a nested body to the program's list
      {"R1=0\nWHILE 1\nIF 1\nGOTOF END1\nENDIF\nENDWHILE\nEND1: X7\n", {7}},
      // only the first jumping IF ... GOTO of a block counts
      {"R1=1\nIF R1>0 GOTOF AA1 IF R1>0 GOTOF AA2\nAA2: X2\nAA1: X1\n", {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    Outcome r = run(c.program);
    ASSERT_FALSE(r.error) << r.message();
    EXPECT_EQ(xs(r), c.x);
  }
}

TEST(Jumps, BackwardJumpsCountPerRunOfAList) {
  const char* program_loop = "R1=0\nN10 R1=R1+1\nIF R1<5 GOTOB N10\nX=R1\n";
  EXPECT_FALSE(run(program_loop, 5).error);  // 4 backward jumps
  Outcome r = run(program_loop, 4);              // the 4th fails
  EXPECT_EQ(loop_limit_text(r), "4");
  EXPECT_EQ(loop_limit_text(run(program_loop, 0)), "0");
  // GOTOB onto the jumping block itself counts too
  EXPECT_EQ(loop_limit_text(run("R1=0\nSELF: IF R1<9 GOTOB SELF\n", 3)), "3");

  // inside a WHILE body the count starts anew with every pass: two backward
  // jumps per pass, four in all, under a limit of 3
  Outcome w2 = run("R1=0\nWHILE R1<2\nR2=0\nIN: R2=R2+1\nIF R2<3 GOTOB IN\nR1=R1+1\nENDWHILE\n", 3);
  EXPECT_FALSE(w2.error) << w2.message();
}

TEST(Jumps, GotocToAnInvisibleLabelContinues) {
  Outcome r = run("X1\nGOTOC MISSING\nX2\nR1=0\nWHILE R1<1\nR1=R1+1\nIN: X3\nENDWHILE\nGOTOC IN\nX4\n");
  ASSERT_FALSE(r.error) << r.message();
  EXPECT_EQ(xs(r), (std::vector<double>{1, 2, 3, 4}));
  // a visible GOTOC destination is taken
  Outcome v = run("GOTOC HERE\nX1\nHERE: X2\n");
  ASSERT_FALSE(v.error) << v.message();
  EXPECT_EQ(xs(v), (std::vector<double>{2}));
}

TEST(Jumps, NotFoundErrorsWithTheirHints) {
  struct Case {
    const char* program;
    const char* target;
    const char* searched;
    const char* hint;
    std::size_t line;
  } cases[] = {
      {"N10 X1\nGOTOF N10\n", "N10", "toward the end of the program (GOTOF)",
       "\n'N10' is defined, but not where this jump searches: GOTOF only searches toward the end "
       "of the program; use GOTOB or GOTO for a destination that lies before this block.",
       2},
      {"GOTOB LATER\nLATER: X1\n", "LATER", "toward the beginning of the program (GOTOB)",
       "\n'LATER' is defined, but not where this jump searches: GOTOB only searches toward the "
       "beginning of the program; use GOTOF or GOTO for a destination that lies after this block.",
       1},
      {"LOOP1: X1\nGOTOF LOOP2\n", "LOOP2", "toward the end of the program (GOTOF)",
       "\nDid you mean 'LOOP1'?", 2},
      {"N100 X1\nGOTO N101\n", "N101", "in both directions (GOTO/GOTOC)", "\nDid you mean 'N100'?",
       2},
      {"FARAWAY: X1\nGOTOF Q\n", "Q", "toward the end of the program (GOTOF)", "", 2},
      {"X1\nGOTO nowhere\n", "nowhere", "in both directions (GOTO/GOTOC)", "", 2},
      // into a body that has run: its keys are known
      {"R1=0\nWHILE R1<1\nR1=R1+1\nINSIDE: X1\nENDWHILE\nGOTO INSIDE\n", "INSIDE",
       "in both directions (GOTO/GOTOC)",
       "\n'INSIDE' is defined, but not where this jump searches: a jump cannot enter an IF or "
       "loop body from outside.",
       6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    Outcome r = run(c.program);
    ASSERT_TRUE(r.error);
    const auto* j = r.err().get_if<kelvane::errors::JumpTargetNotFound>();
    ASSERT_NE(j, nullptr) << r.message();
    EXPECT_EQ(j->target, c.target);
    EXPECT_EQ(j->searched, c.searched);
    EXPECT_EQ(j->hint, c.hint);
    EXPECT_EQ(j->line, c.line);
    EXPECT_EQ(r.err().kind(), "jump_target_not_found");
  }
}

TEST(Jumps, CaseArmsAndDefault) {
  struct Case {
    const char* selector;
    bool with_default;
    std::vector<double> x;
  } cases[] = {
      {"2", true, {2}},  {"2+0.0000000000001", true, {2}}, {"3", true, {3}},
      {"1", true, {1}},  {"3", false, {9}},      {"SQRT(-1)", true, {3}},
  };
  for (const Case& c : cases) {
    std::string p = std::string("R1=") + c.selector + "\nCASE R1 OF 1 GOTOF LA 2 GOTOF LB" +
                    (c.with_default ? " DEFAULT GOTOF LC" : "") +
                    "\nX9\nGOTOF LE\nLA: X1\nGOTOF LE\nLB: X2\nGOTOF LE\nLC: X3\nLE:\n";
    SCOPED_TRACE(p);
    Outcome r = run(p);
    ASSERT_FALSE(r.error) << r.message();
    EXPECT_EQ(xs(r), c.x);
  }
}

TEST(Jumps, GotosIsSkipped) {
  Outcome r = run("X1 \nGOTOS\nX2\n");
  ASSERT_FALSE(r.error) << r.message();
  EXPECT_EQ(xs(r), (std::vector<double>{1, 2}));
}

TEST(Jumps, JumpKeys) {
  using namespace kelvane::interpret_rules;
  EXPECT_EQ(target_jump_key("N10"), "N:10");
  EXPECT_EQ(target_jump_key("10"), "N:10");
  EXPECT_EQ(target_jump_key("N0010"), "N:10");
  EXPECT_EQ(target_jump_key("n10"), "N:10");
  EXPECT_EQ(target_jump_key("N000"), "N:0");
  EXPECT_EQ(target_jump_key("N"), "LABEL:N");
  EXPECT_EQ(target_jump_key("N1A"), "LABEL:N1A");
  EXPECT_EQ(target_jump_key(" loop1 "), "LABEL:LOOP1");
  EXPECT_EQ(block_number_jump_key("000"), "N:0");
}

// ---------------------------------------------------------------------------
// Assignments and DEF

TEST(Definitions, ArraysWithSetAndRep) {
  Outcome r = run(
      "DEF REAL PA[2]\nDEF REAL PB[3]=SET(1,,3)\nDEF REAL PC[4]=REP(7,3)\nDEF INT CNT=2.5\n");
  ASSERT_FALSE(r.error) << r.message();
  for (const char* k : {"PA[0]", "PA[1]", "PA[2]"}) EXPECT_EQ(sym(r, k), 0.0) << k;
  EXPECT_EQ(sym(r, "PB[0]"), 1.0);
  EXPECT_EQ(sym(r, "PB[2]"), 3.0);
  EXPECT_FALSE(has_sym(r, "PB[1]"));
  EXPECT_FALSE(has_sym(r, "PB[3]"));
  EXPECT_EQ(sym(r, "PC[0]"), 7.0);
  EXPECT_EQ(sym(r, "PC[1]"), 3.0);
  EXPECT_FALSE(has_sym(r, "PC[2]"));
  EXPECT_EQ(sym(r, "CNT"), 2.5);
  std::vector<std::string> recorded;
  for (const Row& row : r.rows)
    for (auto& [name, v] : row.variables) recorded.push_back(name);
  EXPECT_EQ(recorded, (std::vector<std::string>{"PA[0]", "PA[1]", "PA[2]", "PB[0]", "PB[2]",
                                                "PC[0]", "PC[1]", "CNT"}));
  EXPECT_TRUE(r.rows.empty() || r.rows.front().cells.empty());
}

TEST(Definitions, Refusals) {
  struct Case {
    const char* program;
    const char* kind;
    const char* text;  // a part of the message
  } cases[] = {
      {"DEF REAL PA[1]=SET(1,2,3)\n", "invalid_element_count", ""},
      {"DEF REAL X\n", "axis_used_as_variable", "X"},
      {"DEF REAL CR\n", "reserved_name_used_as_variable", "CR"},
      {"DEF REAL A[2]=5\n", "axis_used_as_variable", "A"},
      {"DEF REAL RR=\"T\"\n", "parse_context",
       "numeric variable 'RR' initialized with a string (declare it DEF STRING[n])"},
      {"DEF STRING[4] SS=5\n", "parse_context", "DEF STRING variable 'SS' initialized with a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    Outcome r = run(c.program);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.err().kind(), c.kind) << r.message();
    EXPECT_NE(r.message().find(c.text), std::string::npos) << r.message();
  }
  auto e = run("DEF REAL PA[1]=SET(1,2,3)\n");
  const auto* count = e.err().get_if<kelvane::errors::InvalidElementCount>();
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->expected, 2u);
  EXPECT_EQ(count->found, 3u);
  EXPECT_FALSE(run("DEF REAL A[2]\n").error);  // array elements of an axis name are fine
}

TEST(Assignments, StringsAndSingleCharacters) {
  Outcome r = run("DEF STRING[10] TXT\nTXT=\"HELLO\"\nTXT[1]=\"A\"\nDEF STRING[99999999999999] BIG\n");
  ASSERT_FALSE(r.error) << r.message();
  EXPECT_EQ(r.state.string_table.at("TXT"), "HALLO");
  EXPECT_EQ(r.state.string_table.at("BIG"), "");

  struct Case {
    const char* program;
    const char* context;
    const char* message;
    std::size_t line;
  } cases[] = {
      {"DEF STRING[8] TXT\nTXT=5\n", "assignment",
       "'TXT' is a STRING variable; it cannot be assigned a number", 2},
      {"X=\"A\"\n", "a numeric value", "cannot assign a string to 'X'", 1},
      {"R1=5\nR1=\"A\"\n", "a numeric value",
       "'R1' is a numeric variable; it cannot be assigned a string", 2},
      {"DEF STRING[9] TXT=\"HELLO\"\nTXT[5]=\"A\"\n", "single-character string write",
       "index 5 is out of range for 'TXT' (length 5); valid range is 0..4", 2},
      {"DEF STRING[9] TXT=\"HELLO\"\nTXT[1]=\"AB\"\n", "single-character string write",
       "single-character write into 'TXT' expects exactly one character on the right-hand side, "
       "got \"AB\"",
       2},
      {"R[1]=\"A\"\n", "single-character string write",
       "'R' is not a STRING variable; only strings support single-character (STRING[i] = \"c\") "
       "writes",
       1},
      {"DEF STRING[9] EE\nEE[0]=\"A\"\n", "single-character string write",
       "index 0 is out of range for 'EE' (length 0); valid range is 0..0", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    Outcome e = run(c.program);
    ASSERT_TRUE(e.error);
    const auto* pc = e.err().get_if<kelvane::errors::ParseContext>();
    ASSERT_NE(pc, nullptr) << e.message();
    EXPECT_EQ(pc->context, c.context);
    EXPECT_EQ(pc->message, c.message);
    EXPECT_EQ(pc->line, c.line);
  }
}

TEST(Assignments, IcAgainstATranslatedFrame) {
  Outcome r = run("X=IC(5)\nX=IC(5)\nX50\nTRANS X10\nX=IC(5)\nX50\n");
  ASSERT_FALSE(r.error) << r.message();
  EXPECT_EQ(xs(r), (std::vector<double>{5, 10, 50, 55, 60}));
  EXPECT_EQ(r.state.axes.at("X"), 50.0);
}

// ---------------------------------------------------------------------------
// Frame instructions

TEST(Frames, RotThenAxisWordsWriteMachineXYZ) {
  Outcome r = run("ROT Z=90\nX10\nY5\nROT\nX10\n");
  ASSERT_FALSE(r.error) << r.message();
  ASSERT_EQ(r.rows.size(), 3u);
  EXPECT_NEAR(*fcell(r.rows[0], "X"), 0.0, 1e-9);
  EXPECT_NEAR(*fcell(r.rows[0], "Y"), 10.0, 1e-9);
  EXPECT_NEAR(*fcell(r.rows[1], "X"), -5.0, 1e-9);
  EXPECT_NEAR(*fcell(r.rows[1], "Y"), 10.0, 1e-9);
  // after the reset the machine position was kept: local X = -5 ... then X10
  EXPECT_EQ(*fcell(r.rows[2], "X"), 10.0);
  EXPECT_FALSE(r.rows[2].cells.contains("Y"));

  Outcome a = run("ROT Z=30\nAROT Z=60\n");
  Outcome b = run("ROT Z=90\n");
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(a.state.rotation[i][j], b.state.rotation[i][j], 1e-12);

  Outcome t = run("ROT Z=90\nATRANS X10\n");
  EXPECT_NEAR(t.state.translation().at("X"), 0.0, 1e-9);
  EXPECT_NEAR(t.state.translation().at("Y"), 10.0, 1e-9);

  Outcome g18 = run("G18\nROT RPL=45\n");
  EXPECT_NEAR(g18.state.rotation[0][2], std::sin(M_PI / 4), 1e-12);
  EXPECT_NEAR(g18.state.rotation[2][0], -std::sin(M_PI / 4), 1e-12);
}

TEST(Frames, TranslationsAndResets) {
  Outcome r = run("X50\nTRANS X10\nX50\nTRANS Y5\nX50\nTRANS X10\nATRANS X5\nX50\n");
  ASSERT_FALSE(r.error) << r.message();
  EXPECT_EQ(xs(r), (std::vector<double>{50, 60, 50, 65}));
  EXPECT_EQ(r.state.translation().at("Y"), 0.0);
  Outcome s = run("TRANS X10\nSCALE\nX1\nTRANS X10\nASCALE\nX1\n");
  ASSERT_FALSE(s.error) << s.message();
  EXPECT_EQ(xs(s), (std::vector<double>{1, 11}));
}

TEST(Frames, Refusals) {
  struct Case {
    const char* program;
    const char* kind;
    const char* text;
  } cases[] = {
      {"ROT A=30\n", "parse_context",
       "ROT/AROT angles refer to the geometry axes X, Y, Z only; 'A' cannot be rotated about"},
      {"ROT Z=\"A\"\n", "parse_context", "Z= expects a numeric angle in degrees"},
      {"ROT RPL=45 X=10\n", "parse_context",
       "RPL= cannot be combined with X/Y/Z angles in one block (manual 3.12.2.4 lists them as "
       "alternative syntaxes)"},
      {"SCALE X2\n", "unsupported_statement", "The frame instruction SCALE"},
      {"TRANS Q=5\n", "unexpected_axis", "Q"},
      {"TRANS I5\n", "unexpected_axis", "I"},
      {"TRANS X=\"A\"\n", "parse_context", "cannot assign a string to 'X'"},
      {"TRANS QQ=\"A\"\n", "parse_context", "frame instruction cannot assign a string to 'QQ'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    Outcome r = run(c.program);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.err().kind(), c.kind) << r.message();
    EXPECT_NE(r.message().find(c.text), std::string::npos) << r.message();
  }
  Outcome xy = run("ROT X=30\n", 10000, std::vector<std::string>{"X", "Y"});
  ASSERT_TRUE(xy.error);
  EXPECT_NE(xy.message().find("the rotation moves geometry axis Z, which is not a configured axis "
                              "(X, Y)"),
            std::string::npos)
      << xy.message();
  EXPECT_FALSE(run("ROT Z=30\n", 10000, std::vector<std::string>{"X", "Y"}).error);
  // a failing angle leaves the previous frame in force
  Outcome keep = run("TRANS X10\nROT Z=1/0*UNDEFINED_VAR\n");
  ASSERT_TRUE(keep.error);
  EXPECT_EQ(keep.state.translation().at("X"), 10.0);
}

}  // namespace
