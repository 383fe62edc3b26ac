// The word decoder's shapes and refusals, the decoded-line executor, and the
// driver's modes, jumps, errors, configuration and statistics.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>

#include <string>
#include <vector>

#include "test_line_driver_fixture.hpp"

namespace kelvane::test {
namespace {

using line_driver::DecodeResult;
using line_driver::Word;

std::string describe_word(const Word& w) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::remove_cvref_t<decltype(x)>;
        if constexpr (std::is_same_v<T, Word::Number>) {
          return "num(" + std::string(x.name) + "," + errors::float_text(x.value) + ")";
        } else if constexpr (std::is_same_v<T, Word::Product>) {
          return std::string(x.incremental ? "ic(" : "prod(") + std::string(x.name) + "," +
                 (x.var ? std::string(*x.var) : "-") + "," + errors::float_text(x.factor) + ")";
        } else if constexpr (std::is_same_v<T, Word::Call>) {
          return "call[" + std::string(x.text) + "]";
        } else if constexpr (std::is_same_v<T, Word::Expr>) {
          return "expr(" + std::string(x.name) + "," + std::string(x.text) +
                 (x.lone.empty() ? "" : ",lone " + std::string(x.lone)) + ")";
        } else if constexpr (std::is_same_v<T, Word::GCommand>) {
          return "g(" + std::string(x.group) + "," + std::string(x.text) + ")";
        } else {
          return "m(" + std::string(x.text) + ")";
        }
      },
      w.v);
}

// "refused", "blank", or the decoded fields: N, label, words, comment, content flag.
std::string decode(std::string_view line) {
  std::vector<Word> words;
  words.push_back(Word{Word::Number{1.0, "X"}});  // a word of an earlier line
  const DecodeResult r = line_driver::decode_line(line, 7, words);
  if (r.needs_grammar()) {
    EXPECT_EQ(words.size(), 1u) << "a refused line leaves no words: " << line;
    return "refused";
  }
  if (r.is_blank()) return "blank";
  const DecodeResult::Decoded& d = *r.decoded();
  EXPECT_EQ(d.line_no, 7u);
  EXPECT_EQ(d.words.begin, 1u);
  EXPECT_EQ(d.words.end, words.size());
  std::string s;
  if (d.block_number) s += "N" + std::string(*d.block_number) + " ";
  if (d.label) s += *d.label + ": ";
  for (std::size_t i = d.words.begin; i < d.words.end; ++i) s += describe_word(words[i]) + " ";
  if (d.comment) s += "comment[" + std::string(*d.comment) + "] ";
  if (!d.has_content) s += "(no content)";
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

TEST(LineDecoder, ShapesAndRefusals) {
  struct Case {
    std::string line;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", "blank"},
      {" \t  ", "blank"},
      {"START:", "START: (no content)"},
      {"start: X1", "START: num(X,1)"},
      {"N10 X10.5 Y-2 ;go", "N10 num(X,10.5) num(Y,-2) comment[;go]"},
      {"N0010", "N0010"},
      {"N10X5", "refused"},
      {"n10 X1", "refused"},
      {"X1 N20", "refused"},
      {"R1=5", "num(R1,5)"},
      {"L100", "call[L100]"},
      {"P2", "call[P2]"},
      {"R1=R2*2+1 X=-R1/4", "expr(R1,R2*2+1) expr(X,-R1/4)"},
      {"R1=R2", "expr(R1,R2,lone R2)"},  // a lone variable may be a text: looked at when it runs
      {"Y=-r2 X=R1*1", "expr(Y,-r2,lone r2) expr(X,R1*1)"},
      {"R1=R2 AND 1", "refused"},
      {"R1=SIN(R2)+1", "refused"},
      {"R1=R[2]+1", "refused"},
      {"R1=R2+", "refused"},
      {"R-1", "refused"},
      {"X10Y20", "refused"},
      {"X10 Y20", "num(X,10) num(Y,20)"},
      {"X1Y2Z", "refused"},
      {"X", "call[X]"},
      {"g1 x5", "g(gg01_motion,g1) num(X,5)"},
      {"G01", "refused"},
      {"G1.5", "refused"},
      {"G-1", "refused"},
      {"M3 m30", "m(M3) m(m30)"},
      {"M3.1", "refused"},
      {"ASPLINE X1", "g(gg01_motion,ASPLINE) num(X,1)"},
      {"ASPLINE(1)", "refused"},
      {"TRANS X10", "refused"},
      {"CIP", "g(gg01_motion,CIP)"},
      {"FOO", "call[FOO]"},
      {"FOO (1, -2.5)", "call[FOO (1, -2.5)]"},
      {"FOO  X1", "call[FOO  ] num(X,1)"},
      {"FOO()", "call[FOO()]"},
      {"FOO(1,)", "refused"},
      {"FOO(A)", "refused"},
      {"FOO(1", "refused"},
      {"ABC = 2*3 - 1", "num(ABC,5)"},
      {"ABC=(2*R1)", "prod(ABC,R1,2)"},
      {"B=( R1 * 3 )", "prod(B,R1,3)"},
      {"B=(R1)", "expr(B,(R1),lone R1)"},
      {"B=(-R1*2)", "expr(B,(-R1*2))"},
      {"B=(1+R1)", "expr(B,(1+R1))"},
      // parentheses in expressions; a product followed by an operator is one
      {"X=(R2+R4)/2 Y=R1*(R2-(1/R3))", "expr(X,(R2+R4)/2) expr(Y,R1*(R2-(1/R3)))"},
      {"X=(R1*2)+3", "expr(X,(R1*2)+3)"},
      {"X=( 1 + 2 ) * -3", "num(X,-9)"},
      {"X=((R1))", "expr(X,((R1)),lone R1)"},
      {"X=(R1>2)*1", "refused"},
      {"X=(R1+1", "refused"},
      {"X=" + std::string(16, '(') + "R1+1" + std::string(16, ')'), "expr(X," + std::string(16, '(') + "R1+1" + std::string(16, ')') + ")"},
      {"X=" + std::string(17, '(') + "R1+1" + std::string(17, ')'), "refused"},
      {"B=(2*IF)", "refused"},
      {"B=(2*TRANS)", "prod(B,TRANS,2)"},
      {"X=IC(-1.5)", "ic(X,-,-1.5)"},
      {"x=ic(2*Q)", "ic(x,Q,2)"},
      {"X=IC(2+1)", "refused"},
      {"X=(R1)", "expr(X,(R1),lone R1)"},
      {"X=SIN(1)", "refused"},
      {"T=\"DRILL\"", "refused"},
      {"IF=1", "refused"},
      {"TRANS=1", "refused"},
      {"DEF REAL A", "refused"},
      {"A AND B", "refused"},
      {"DEF=5", "num(DEF,5)"},
      {"DEFINT B", "refused"},
      {"DEFREALX=2", "refused"},
      {"N=2", "num(N,2)"},
      {"N30 N=2", "refused"},
      {"N30 n=IC(1)", "refused"},
      {"B=(2*NOT)", "refused"},
      {"B=(not*2)", "refused"},
      {std::string(33, 'A') + ":", "refused"},
      {std::string(32, 'A') + ":", std::string(32, 'A') + ": (no content)"},
      {"A1: X1", "refused"},
      {"_A: X1", "_A: num(X,1)"},
      {"X1\r", "refused"},
      {"X1 ;c\r", "num(X,1) comment[;c\r]"},
      {"X1 $", "refused"},
      {"X[1]=2", "refused"},
      {"A=5--3", "num(A,8)"},
      {"A=- -3", "num(A,3)"},
      {"A=1/0", "num(A,inf)"},
      {"A=-4/-2", "num(A,2)"},
      {"A=1+2*3", "num(A,7)"},
      {"A=-.5", "refused"},
      {"A=+5", "refused"},
      {"A=5 B=6", "num(A,5) num(B,6)"},
      {"A=5B=6", "refused"},
      {"X5.", "num(X,5)"},
      {"X.5", "refused"},
      {"X1e3", "refused"},
      {"X1_", "refused"},
      {"X+1", "refused"},
      {"X1..2", "refused"},
      {"N10 ;only", "N10 comment[;only]"},
      {";", "comment[;]"},
  };
  for (const Case& c : cases) EXPECT_EQ(decode(c.line), c.expected) << "line: " << c.line;
}

// Conditions compiled to steps: sides and relations, or nothing for the
// tree's forms.
TEST(LineDecoder, ConditionsCompileToSidesAndRelations) {
  struct Case {
    const char* text;
    std::size_t sides;  // 0: refused
    std::vector<std::string> relations;
  };
  const Case cases[] = {
      {"R10<7", 2, {"<"}},
      {" R1 <> -3 ", 2, {"<>"}},
      {"R1+1<=R2*(2-R3)", 2, {"<="}},
      {"R1==R2>=0", 3, {"==", ">="}},
      {"R1", 1, {}},
      {"R1><2", 0, {}},
      {"(R1<2)", 0, {}},
      {"R1 AND R2", 0, {}},
      {"SIN(R1)>0", 0, {}},
      {"R[1]<2", 0, {}},
      {"R1=2", 0, {}},
      {"R1<", 0, {}},
      {"", 0, {}},
      {"NOT R1", 0, {}},
  };
  for (const Case& c : cases) {
    const auto compiled = line_driver::compile_condition_text(c.text);
    EXPECT_EQ(compiled ? compiled->sides.size() : 0u, c.sides) << c.text;
    if (compiled) {
      EXPECT_EQ(compiled->relations, c.relations) << c.text;
    }
  }
}

TEST(LineDecoder, NumbersAndFrameKeywords) {
  std::size_t pos = 0;
  EXPECT_EQ(line_driver::parse_number("-12.50;", pos), -12.5);
  EXPECT_EQ(pos, 6u);
  pos = 0;
  EXPECT_EQ(line_driver::parse_number("1" + std::string(400, '0'), pos),
            std::numeric_limits<double>::infinity());
  // every number reads as the C library reads its text, short or long
  for (std::string text : {"0.1", "0.3", "-0", "-0.0", "2.675", "1.", "123456789012345",
                           "0.000000000000001", "1234567890123456", "9007199254740993",
                           "3.14159265358979323846", "0.1000000000000000055511151231257827",
                           "-98765.4321", "000000000000000000001.5", "4.35", "1e0"}) {
    pos = 0;
    const auto read = line_driver::parse_number(text, pos);
    if (text == "1e0") {
      EXPECT_FALSE(read);
      continue;
    }
    ASSERT_TRUE(read) << text;
    const double expected = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*read), std::bit_cast<std::uint64_t>(expected)) << text;
  }
  for (std::string_view bad : {"", "-", ".5", "-.5", "+1", "1e3", "1.2.3", "1_", "1a"}) {
    pos = 0;
    EXPECT_FALSE(line_driver::parse_number(bad, pos)) << bad;
    EXPECT_EQ(pos, 0u);
  }
  for (std::string_view kw : {"TRANS", "atrans", "Rot", "AROT", "ROTS", "AROTS", "CROTS", "SCALE",
                              "ASCALE", "MIRROR", "amirror"})
    EXPECT_TRUE(line_driver::is_frame_keyword(kw)) << kw;
  for (std::string_view kw : {"TRANSX", "TRAN", "", "DEF"})
    EXPECT_FALSE(line_driver::is_frame_keyword(kw)) << kw;
}

TEST(LineDriverConfig, EnvironmentSwitches) {
  for (auto [value, enabled] : std::vector<std::pair<std::optional<std::string>, bool>>{
           {std::nullopt, true}, {"0", false}, {"off", false}, {"OFF", false}, {"Off", false},
           {"false", true}, {"00", true}, {"", true}, {" 0", true}, {"no", true}}) {
    EnvVar v("NC_STAGE1", value);
    EXPECT_EQ(line_driver::stage1_enabled(), enabled) << value.value_or("(unset)");
  }
  for (auto [value, bytes] : std::vector<std::pair<std::optional<std::string>, std::size_t>>{
           {std::nullopt, 67108864}, {"+100", 100}, {"0", 0}, {"-1", 67108864}, {"1e6", 67108864},
           {"12a", 67108864}, {"", 67108864}, {"+", 67108864}, {"18446744073709551615", SIZE_MAX},
           {"18446744073709551616", 67108864}}) {
    EnvVar v("NC_STREAM_MIN_BYTES", value);
    EXPECT_EQ(line_driver::stream_min_bytes(), bytes) << value.value_or("(unset)");
  }
  {
    EnvVar v("NC_STAGE1_STATS", "");
    EXPECT_TRUE(line_driver::stats_enabled());
  }
  {
    EnvVar v("NC_STAGE1_STATS", "\xff");
    EXPECT_FALSE(line_driver::stats_enabled());
  }
  EXPECT_GE(line_driver::pool_threads(), 1u);
}

TEST(LineDriverLines, SplittingAndByteRanges) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(line_driver::split_lines(""), V{});
  EXPECT_EQ(line_driver::split_lines("\n"), V{""});
  EXPECT_EQ(line_driver::split_lines("a\r\nb\n\nc\r"), (V{"a", "b", "", "c\r"}));
  EXPECT_EQ(line_driver::split_lines("a\r\r\n"), V{"a\r"});

  EXPECT_TRUE(line_driver::cut_byte_ranges("", 4).empty());
  std::string program;
  for (int i = 0; i < 500; ++i) program += "X" + std::to_string(i) + (i % 7 ? "\n" : " ;long line\n");
  program += "Y1";  // no final line end
  for (std::size_t n : {1, 2, 8, 64, 5000}) {
    const auto ranges = line_driver::cut_byte_ranges(program, n);
    ASSERT_FALSE(ranges.empty());
    std::size_t expected_start = 0;
    for (const auto& [start, end] : ranges) {
      EXPECT_EQ(start, expected_start);
      EXPECT_LT(start, end);
      if (end < program.size()) {
        EXPECT_EQ(program[end - 1], '\n') << "ranges hold whole lines";
      }
      expected_start = end;
    }
    EXPECT_EQ(expected_start, program.size());
    if (n <= 64) {
      EXPECT_LE(ranges.size(), n);
    }
  }
}

// The survey of a large program finds its structure lines among the lines
// the quick decoder leaves: the structure check over them gives what the
// scan of every line gives, result or error, wherever in the program's byte
// ranges the structures stand.
TEST(LineDriverLines, SurveyFindsTheStructuresOfTheFullScan) {
  const std::vector<std::string> snippets = {
      "",
      "IF R1==1\nX1\nENDIF\n",
      "WHILE R1<3\nR1=R1+1\nENDWHILE\nN10 LOOP\nENDLOOP\nREPEAT\nUNTIL R1>5\n",
      "IF R1==1 GOTOF END1\nEND1:\n",
      "R1=1 ; ENDIF in a comment\nX1 ;WHILE\n",
      "ENDIF\n",
      "WHILE R1<3\r\nX1\n",
      "IF R1\nWHILE R2\nENDWHILE\n",
      "START: IF R1==1\nENDIF\n",
      "X1 ENDIF\nIF R1\n",
      "n20 if r1\nelse\nendif\n",
  };
  std::string quick;
  for (int i = 0; quick.size() < line_driver::kParallelDecodeMinBytes / 3; ++i)
    quick += "N" + std::to_string(i) + " G1 X" + std::to_string(i % 89) + ".5 Y-2 ;c\n";
  auto describe = [](const errors::Result<bool>& r) {
    if (r) return std::string(*r ? "opened" : "none");
    const auto loc = r.error().location();
    return r.error().message() + " @" + std::to_string(loc ? loc->line : 0);
  };
  for (std::size_t a = 0; a < snippets.size(); ++a) {
    for (std::size_t b = 0; b < snippets.size(); b += 3) {
      const std::string program = snippets[b] + quick + snippets[a] + quick + snippets[b] + quick;
      const line_driver::ProgramSurvey survey = line_driver::survey_program(program);
      EXPECT_EQ(describe(structure_scan::check_keyword_lines(program, survey.keyword_lines())),
                describe(structure_scan::check_structures(program)))
          << "snippets " << a << " and " << b;
    }
  }
}

TEST(DecodedLineExecutor, CellsStateAndErrors) {
  Config config;
  state::State state = make_state(config);
  const std::string program = "N10 G1 X1 ;c\nSTART:\nG18 X10 I2 M30 X5\nS=5\n";
  state.set_input(std::string_view(program));
  auto rows = output::OutputRows::collecting();
  std::vector<Word> words;
  auto run = [&](std::string_view line, std::size_t no) {
    words.clear();
    const DecodeResult r = line_driver::decode_line(line, no, words);
    EXPECT_TRUE(r.decoded()) << line;
    return line_driver::execute_decoded(*r.decoded(), words, rows, state);
  };
  ASSERT_TRUE(run("N10 G1 X1 ;c", 1));
  std::vector<std::string> names;
  for (const auto& c : rows.row.cells) names.emplace_back(c.name);
  // in the order the grammar path writes them
  EXPECT_EQ(names, (std::vector<std::string>{"N", "gg01_motion", "X", "comment"}));

  // a label alone leaves the row open
  ASSERT_TRUE(run("START:", 2));
  EXPECT_EQ(rows.row.line, 1u);

  state.set_translation("X", 5.0);
  state.set_translation("I", 7.0);
  auto flow = run("G18 X10 I2 M30 X5", 3);
  ASSERT_TRUE(flow);
  EXPECT_TRUE(flow->is_end());
  EXPECT_EQ(state.active_plane, 1);
  EXPECT_EQ(std::get<double>(*rows.row.cells.get("X")), 10.0) << "X5 after M30 still applies";
  EXPECT_EQ(std::get<double>(*rows.row.cells.get("I")), 2.0) << "no translation on I";
  EXPECT_EQ(state.axes.at("X"), 5.0);

  state.string_table["SONE"] = "abc";
  words.clear();
  const DecodeResult r = line_driver::decode_line("X2 sone=5", 4, words);
  ASSERT_TRUE(r.decoded());
  auto failed = line_driver::execute_decoded(*r.decoded(), words, rows, state);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), "parse_context");
  EXPECT_NE(failed.error().message().find(
                "'SONE' is a STRING variable; it cannot be assigned a number"),
            std::string::npos);
  EXPECT_NE(failed.error().message().find("on line 4"), std::string::npos);
  EXPECT_TRUE(rows.row.cells.get("X")) << "cells written before the error stay";
}

// Lines 1-6 are valid, line 7 is not: nothing runs, the error names line 7.
TEST(LineDriver, SyntaxErrorBeforeAnyRowInBothModes) {
  const std::string program = "N1 X1\nX2\nR1=2\nX=R1\nFOO(1)\nG1 Y2\nX1 ) ;bad\nX3\n";
  for (std::optional<std::string> threshold : {std::optional<std::string>(), std::optional<std::string>("0")}) {
    EnvVar stream("NC_STREAM_MIN_BYTES", threshold);
    const Outcome out = run_lines(program);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error_kind, "parse_context");
    EXPECT_EQ(out.error_line, 7u);
    EXPECT_NE(out.error->find("Parse error in line parsing on line 7"), std::string::npos) << *out.error;
    EXPECT_NE(out.error->find("Line: X1 ) ;bad"), std::string::npos);
    EXPECT_TRUE(out.rows.empty());
  }
}

TEST(LineDriver, RuntimeErrorsNameTheirLine) {
  const Outcome out = run_lines("X1\nY1\nB=(3*NOPE)\n");
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error_kind, "undefined_variable");
  EXPECT_EQ(out.error_line, 3u);
  EXPECT_EQ(out.rows.size(), 2u) << "the rows of the lines before the error are delivered";
}

TEST(LineDriver, BackwardJumpsCountAgainstTheLimit) {
  Config config;
  config.iteration_limit = 3;
  const Outcome out = run_lines("N10 X1\nY2\nGOTOF N30\nX9\nN30 GOTOB N10\n", config);
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error_kind, "loop_limit");
  EXPECT_NE(out.error->find("3"), std::string::npos) << *out.error;
  std::size_t x1 = 0;
  for (const Row& row : out.rows) {
    EXPECT_NE(row.line, 4u) << "the forward jump skips line 4";
    if (row.line == 1) ++x1;
  }
  EXPECT_EQ(x1, 3u);

  config.iteration_limit = 0;
  const Outcome zero = run_lines("N10 X1\nGOTOB N10\n", config);
  EXPECT_EQ(zero.error_kind, "loop_limit");
}

TEST(LineDriver, JumpsByLineIndex) {
  // a label alone on its line is a target; execution goes on after it
  const Outcome out = run_lines("R1=0\nGOTOF THERE\nX1\nTHERE:\nX2\n");
  EXPECT_FALSE(out.error);
  ASSERT_EQ(out.rows.size(), 2u);  // R1=0 (a variable change) and X2
  EXPECT_EQ(out.rows[1].line, 5u);

  const Outcome missing = run_lines("X1\nGOTOF NOWHERE\nX2\n");
  EXPECT_EQ(missing.flow, "jump");
  EXPECT_EQ(missing.error_kind, "jump_target_not_found");
}

TEST(LineDriver, ScopeIsPushedAndPopped) {
  for (const std::string program : {"", "X1\nGOTOF NOWHERE\n", "X1\nY1 )\n"}) {
    for (std::optional<std::string> threshold : {std::optional<std::string>(), std::optional<std::string>("0")}) {
      EnvVar stream("NC_STREAM_MIN_BYTES", threshold);
      state::State state = make_state({});
      state.set_input(std::string_view(program));
      auto rows = output::OutputRows::collecting();
      testing::internal::CaptureStderr();
      auto flow = line_driver::interpret_lines(state.source_text(), rows, state);
      testing::internal::GetCapturedStderr();
      EXPECT_TRUE(state.label_scopes.empty()) << program;
      if (program.empty()) {
        ASSERT_TRUE(flow);
        EXPECT_TRUE(flow->is_continue());
      }
    }
  }
}

// A final line ending in a lone carriage return is refused by the decoder. The
// grammar reads no line end there: the line fails, as in the whole program.
TEST(LineDriver, FinalCarriageReturn) {
  for (const std::string program : {"X1\r\nX2\r", "X1\r\n  \r"}) {
    const Outcome out = run_lines(program);
    ASSERT_TRUE(out.error) << program;
    EXPECT_EQ(out.error_line, 2u);
    EXPECT_TRUE(out.rows.empty());
    expect_same_outcome(run_grammar(program), out, program);
  }
}

std::vector<std::string> stats_lines(const std::string& err) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < err.size()) {
    std::size_t nl = err.find('\n', pos);
    if (nl == std::string::npos) nl = err.size();
    const std::string line = err.substr(pos, nl - pos);
    if (line.starts_with("STAGE1_STATS ")) out.push_back(line);
    pos = nl + 1;
  }
  return out;
}

TEST(LineDriver, StatisticsLines) {
  EnvVar stats("NC_STAGE1_STATS", "1");
  const std::string simple = "X1\n\nY2 )\n";
  {
    EnvVar stream("NC_STREAM_MIN_BYTES", std::nullopt);
    const auto lines = stats_lines(run_lines("X1\n\nFOO(R1)\nG1 Y2\n").warnings);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(
        "STAGE1_STATS non_blank=3 needs_grammar=1 total_lines=4 pass1_decode="))
        << lines[0];
    EXPECT_TRUE(lines[0].ends_with("s words=3 nchunks=1")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("STAGE1_STATS pass2_setup_done=")) << lines[1];
    EXPECT_TRUE(lines[1].ends_with("s (pass1+pass2, before execution)")) << lines[1];
  }
  {
    EnvVar stream("NC_STREAM_MIN_BYTES", "0");
    const auto lines = stats_lines(run_lines("X1\n\nFOO(R1)\nG1 Y2\n").warnings);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with(
        "STAGE1_STATS mode=streaming non_blank=3 needs_grammar=1 total_lines=4 preflight="))
        << lines[0];
    const auto fallback = stats_lines(run_lines("X1\nGOTOF EE\nEE: X2\n").warnings);
    ASSERT_EQ(fallback.size(), 2u);
    EXPECT_TRUE(fallback[0].starts_with("STAGE1_STATS non_blank=3 needs_grammar=1")) << fallback[0];
  }
}

}  // namespace
}  // namespace kelvane::test
