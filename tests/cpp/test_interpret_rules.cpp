// Block and statement execution through interpret_block on parsed programs.
#include "test_interpret_rules_fixture.hpp"

namespace kelvane::test {
namespace {

using StrList = std::vector<std::string>;

TEST(Blocks, CellsInSourceOrder) {
  auto r = run("N10 G1 X5 M3 ;start");
  ASSERT_FALSE(r.error) << r.error->message();
  ASSERT_EQ(r.rows.size(), 1u);
  const Row& row = r.rows[0];
  EXPECT_EQ(names(row), (StrList{"N", "gg01_motion", "X", "M", "comment"}));
  EXPECT_EQ(scell(row, "N"), "10");
  EXPECT_EQ(scell(row, "gg01_motion"), "G1");
  EXPECT_EQ(fcell(row, "X"), 5.0);
  EXPECT_EQ(std::get<StrList>(*cell(row, "M")), StrList{"M3"});
  EXPECT_EQ(scell(row, "comment"), ";start");
  EXPECT_EQ(row.line, 1u);
}

TEST(Blocks, RowsAndLines) {
  auto r = run("N0010 X1\n\nLBL: \n  ; only a comment\r\nG0 G1 Y2\n");
  ASSERT_FALSE(r.error) << r.error->message();
  ASSERT_EQ(r.rows.size(), 3u);  // the empty and the label-only lines give no row
  EXPECT_EQ(scell(r.rows[0], "N"), "0010");
  EXPECT_EQ(r.rows[1].line, 4u);
  EXPECT_EQ(scell(r.rows[1], "comment"), "; only a comment");
  EXPECT_EQ(r.rows[2].line, 5u);
  EXPECT_EQ(names(r.rows[2]), (StrList{"gg01_motion", "Y"}));  // G1 replaced G0 in place
  EXPECT_EQ(scell(r.rows[2], "gg01_motion"), "G1");
}

TEST(Blocks, MWords) {
  auto five = run("M1 M2 m3 M4 M5");
  ASSERT_FALSE(five.error);
  EXPECT_EQ(std::get<StrList>(*cell(five.rows[0], "M")), (StrList{"M1", "M2", "M3", "M4", "M5"}));
  EXPECT_TRUE(five.ended);  // M2 ends the program after the block

  auto six = run("X1\nM3 M4 M5 M6 M7 M8\n");
  ASSERT_TRUE(six.error);
  const auto* e = six.error->get_if<errors::TooManyMCommands>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->details, "Too many M commands in a single block");
  EXPECT_EQ(e->line, 2u);
  EXPECT_EQ(e->line_text, "M3 M4 M5 M6 M7 M8");

  // "M" configured as an axis and assigned first: the cell is no list
  Options o;
  o.axes = StrList{"X", "M"};
  auto clash = run("M=5 M3", o);
  ASSERT_TRUE(clash.error);
  EXPECT_EQ(clash.error->message(), "Parse error: M command key 'M' is not a list");
}

TEST(Blocks, EndOfProgramCodes) {
  struct C {
    const char* text;
    bool end;
  };
  const C codes[] = {{"M2", true},   {"M02", true},  {"M002", true}, {"M17", true},
                     {"M017", true}, {"M30", true},  {"M030", true}, {"m30", true},
                     {"MM30", true}, {"M0", false},  {"M20", false}, {"M300", false},
                     {"M 30", false}, {"M3", false}, {"M", false}};
  for (const C& c : codes)
    EXPECT_EQ(interpret_rules::is_end_of_program_m_code(c.text), c.end) << c.text;

  auto r = run("M30 X10 ;done\nX20\n");
  ASSERT_FALSE(r.error);
  EXPECT_TRUE(r.ended);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(names(r.rows[0]), (StrList{"M", "X", "comment"}));  // the rest of the block ran

  auto blank = run("M 30\nX20\n");
  ASSERT_FALSE(blank.error);
  EXPECT_FALSE(blank.ended);
  EXPECT_EQ(std::get<StrList>(*cell(blank.rows[0], "M")), StrList{"M 30"});
}

TEST(Blocks, GWordsAndPlane) {
  state::State st = make_state();
  auto r = run_on(st, "G18 X1\nX2\n");
  ASSERT_FALSE(r.error);
  EXPECT_EQ(st.active_plane, 1);
  EXPECT_EQ(scell(r.rows[0], "gg06_plane_select"), "G18");
  run_on(st, "g19");
  EXPECT_EQ(st.active_plane, 2);
  run_on(st, "G17");
  EXPECT_EQ(st.active_plane, 0);

  auto lower = run("g1 gframe[2] X1");
  ASSERT_FALSE(lower.error) << lower.error->message();
  EXPECT_EQ(scell(lower.rows[0], "gg01_motion"), "G1");
  EXPECT_EQ(scell(lower.rows[0], "gg64_grinding_frames"), "GFRAME[2]");

  auto bad = run("X1\nG999 X2\n");
  ASSERT_TRUE(bad.error);
  const auto* e = bad.error->get_if<errors::UnknownGCommand>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->code, "G999");
  EXPECT_EQ(e->line, 2u);
  EXPECT_EQ(e->line_text, "G999 X2");
}

TEST(Blocks, DwellAndG91ThroughBlocks) {
  auto r = run("G4 F2.5\nG4 S100\nG4 F1 S2\nG91 X1\nG91 X2\n");
  ASSERT_FALSE(r.error);
  ASSERT_EQ(r.rows.size(), 5u);
  EXPECT_EQ(names(r.rows[0]), (StrList{"gg02_wait", "dwell"}));
  EXPECT_EQ(fcell(r.rows[0], "dwell"), 2.5);
  EXPECT_EQ(fcell(r.rows[1], "dwell"), 100.0);
  EXPECT_EQ(fcell(r.rows[2], "dwell"), 1.0);
  EXPECT_FALSE(cell(r.rows[2], "S"));
  EXPECT_EQ(fcell(r.rows[4], "X"), 2.0);  // not interpreted as an increment
  EXPECT_EQ(r.warnings,
            "Warning [line 4]: G91 incremental dimensioning is not interpreted - axis values are "
            "emitted as absolute positions and will be wrong from this block on\n");
}

TEST(Blocks, ToolSelectionAndNamedCalls) {
  auto r = run("T=\"DRILL_10\"\nT5\nX10Y20\nL100\nMYCYCLE(1,2)\nmycycle ;c\nX10 SOFT\n");
  ASSERT_FALSE(r.error) << r.error->message();
  ASSERT_EQ(r.rows.size(), 7u);
  EXPECT_EQ(scell(r.rows[0], "T"), "DRILL_10");
  EXPECT_TRUE(r.rows[1].cells.empty());  // T5 is a variable assignment
  ASSERT_EQ(r.rows[1].variables.size(), 1u);
  EXPECT_EQ(r.rows[1].variables[0], (std::pair<std::string, double>{"T", 5.0}));
  EXPECT_EQ(scell(r.rows[2], "non_returning_function_call"), "X10Y20");
  EXPECT_EQ(scell(r.rows[3], "non_returning_function_call"), "L100");
  EXPECT_EQ(scell(r.rows[4], "non_returning_function_call"), "MYCYCLE(1,2)");
  // the call as written, with the blank before the comment
  EXPECT_EQ(scell(r.rows[5], "non_returning_function_call"), "mycycle ");
  EXPECT_EQ(names(r.rows[6]), (StrList{"X", "gg21_accel_profile"}));
  EXPECT_EQ(scell(r.rows[6], "gg21_accel_profile"), "SOFT");
  EXPECT_EQ(r.warnings,
            "Warning: 'X10Y20' (line 3) is interpreted as a subprogram call; did you mean one or "
            "more axis words (e.g. Y20)?\n");
}

TEST(Blocks, AxisWordTypoTest) {
  struct C {
    const char* name;
    bool typo;
  };
  const C cases[] = {{"X10Y20", true}, {"Z5A", true},  {"X10", false}, {"AB1", false},
                     {"X1_", false},   {"X1", false},  {"1XY", false}, {"X1\xC3\xA9", false},
                     {"X\xC3\xA9Y", false}, {"", false}};
  for (const C& c : cases)
    EXPECT_EQ(interpret_rules::looks_like_axis_word_typo(c.name), c.typo) << c.name;
}

TEST(Blocks, FrameKeywordAfterStatement) {
  auto r = run("X1\nX10 rot\n");
  ASSERT_TRUE(r.error);
  const auto* e = r.error->get_if<errors::UnsupportedStatement>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->statement, "The frame instruction rot after another statement");
  EXPECT_EQ(e->hint,
            "Frame instructions must be programmed in a separate NC block (manual 3.12.2.1).");
  EXPECT_EQ(e->line, 2u);
  EXPECT_EQ(e->line_text, "X10 rot");
}

TEST(Blocks, AssignmentOutput) {
  state::State st = make_state();
  st.set_translation("X", 5.0);
  st.set_translation("I", 7.0);  // block addresses take no translation
  auto r = run_on(st, "X10 I=2 R1=5 CR=3.5\nAR=30\nAR=31\n");
  ASSERT_FALSE(r.error) << r.error->message();
  ASSERT_EQ(r.rows.size(), 3u);
  EXPECT_EQ(names(r.rows[0]), (StrList{"X", "I", "CR"}));
  EXPECT_EQ(fcell(r.rows[0], "X"), 15.0);
  EXPECT_EQ(fcell(r.rows[0], "I"), 2.0);
  ASSERT_EQ(r.rows[0].variables.size(), 1u);
  EXPECT_EQ(r.rows[0].variables[0].first, "R1");
  EXPECT_TRUE(r.rows[1].cells.empty());
  EXPECT_EQ(r.warnings,
            "Warning [line 2]: address 'AR' - arc opening angle (G2/G3 ... AR=) - is not "
            "interpreted and is treated as a user variable; the motion it programs will be "
            "wrong\n");
}

TEST(Blocks, NonDefaultAndLowerCaseAxes) {
  Options o;
  o.axes = StrList{"x", "Y", "I", "Q1"};
  auto r = run("x10 Y5 I3 J4 Z6\nQ1=2\n", o);
  ASSERT_FALSE(r.error) << r.error->message();
  ASSERT_EQ(r.rows.size(), 2u);
  // x has the column X; I is an axis here; J stays a block address; Z is a variable
  EXPECT_EQ(names(r.rows[0]), (StrList{"X", "Y", "I", "J"}));
  EXPECT_EQ(fcell(r.rows[0], "X"), 10.0);
  EXPECT_EQ(fcell(r.rows[0], "I"), 3.0);
  ASSERT_EQ(r.rows[0].variables.size(), 1u);
  EXPECT_EQ(r.rows[0].variables[0].first, "Z");
  EXPECT_EQ(fcell(r.rows[1], "Q1"), 2.0);
}

TEST(Blocks, RotatedGeometryCells) {
  state::State st = make_state();
  st.set_rotation({{{0.0, -1.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}});  // 90 deg about Z
  auto r = run_on(st, "X10\n");
  ASSERT_FALSE(r.error) << r.error->message();
  ASSERT_EQ(r.rows.size(), 1u);
  auto x = fcell(r.rows[0], "X");
  auto y = fcell(r.rows[0], "Y");
  ASSERT_TRUE(x && y);
  EXPECT_NEAR(*x, 0.0, 1e-12);
  EXPECT_NEAR(*y, 10.0, 1e-12);
}

TEST(Blocks, StatementErrors) {
  auto r = run("X1\r\nA[1]=SET(1,2)\r\n");
  ASSERT_TRUE(r.error);
  const auto* e = r.error->get_if<errors::UnexpectedRule>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->context, "interpret_statement");
  EXPECT_EQ(e->details, "Unexpected rule in interpret_statement: assignment_multi");
  EXPECT_EQ(e->rule, Rule::assignment_multi);
  EXPECT_EQ(e->line, 2u);
  EXPECT_EQ(e->line_text, "A[1]=SET(1,2)\r");  // a carriage return stays in the line text
  ASSERT_EQ(r.rows.size(), 1u);  // the row before the error is delivered
}

TEST(Blocks, LocatedErrorHelpers) {
  state::State st = make_state();
  auto src = std::make_shared<const std::string>("X1\n  Y2 ;c\n");
  st.set_input(src);
  auto parsed = types::NCParser::parse(Rule::file, *src);
  ASSERT_TRUE(parsed.has_value());
  auto comment = find_rule(*parsed->next(), Rule::comment);
  ASSERT_TRUE(comment);
  auto [line, text] = interpret_rules::get_error_context(*comment, st);
  EXPECT_EQ(line, 2u);
  EXPECT_EQ(text, "  Y2 ;c");
  auto err = interpret_rules::annotate_error(comment->with_line_offset(5), "ctx", "msg", st);
  const auto* pc = err.get_if<errors::ParseContext>();
  ASSERT_NE(pc, nullptr);
  EXPECT_EQ(pc->line, 7u);
  EXPECT_EQ(pc->line_text, "(could not retrieve line)");
  EXPECT_FALSE(pc->column);
}


TEST(Blocks, LaterErrorWinsOverEnd) {
  auto r = run("M30 G999\n");
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->kind(), "unknown_g_command");
  EXPECT_FALSE(r.ended);
}

TEST(Blocks, HugeArrayDeclarationsAreRefused) {
  auto big_index = run("DEF REAL A[2147483647]\n");
  ASSERT_TRUE(big_index.error);
  const auto* ia = big_index.error->get_if<errors::InvalidAxisIndex>();
  ASSERT_NE(ia, nullptr) << big_index.error->message();
  EXPECT_EQ(ia->index, 2147483647u);
  EXPECT_EQ(big_index.error->message(),
            "\nInvalid axis mapping on line 1\n" + std::string(40, '-') +
                "\nLine: DEF REAL A[2147483647]\n\nDetails: Invalid index 2147483647 for axis "
                "'2147483647' in array indexing operation.\nArray indices must be non-negative "
                "and within the valid range.");

  auto many = run("X1\nDEF REAL B[100000, 100000]\n");
  ASSERT_TRUE(many.error);
  const auto* pc = many.error->get_if<errors::ParseContext>();
  ASSERT_NE(pc, nullptr) << many.error->message();
  EXPECT_EQ(pc->context, "array declaration");
  EXPECT_EQ(pc->message,
            "array B[100000,100000] would have 10000200001 elements; at most 4194304 array "
            "elements per run are supported");
  EXPECT_EQ(pc->line, 2u);

  auto fine = run("DEF REAL C[2, 1]\nR1 = C[2, 1] + 1\n");
  ASSERT_FALSE(fine.error) << fine.error->message();
}

TEST(Blocks, LocatedErrorText) {
  auto r = run("X1\nR1 = 7 DIV 0\n");
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->message(), "\nParse error in integer division on line 2\n" +
                                    std::string(40, '-') +
                                    "\nLine: R1 = 7 DIV 0\n\nDetails: Integer division (DIV) by "
                                    "zero\n");
}

}  // namespace
}  // namespace kelvane::test
