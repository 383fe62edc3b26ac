#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "errors.hpp"
#include "parse_explain.hpp"
#include "structure_scan.hpp"
#include "types.hpp"

using namespace kelvane;
using parse_explain::describe_parse_error;
using parse_explain::rule_description;
using parse_explain::text_from_error_column;
using types::ParseFailure;
using types::Rule;

namespace {
ParseFailure failure(std::string line, std::size_t column, std::vector<Rule> positives,
                     std::string display = "parser text") {
  ParseFailure f;
  f.line_text = std::move(line);
  f.column = column;
  f.positives = std::move(positives);
  f.display = std::move(display);
  return f;
}

const std::string kAfterBlock =
    "' after a complete block: only a comment (;...) or the end of the line may follow here. "
    "If this is a second statement, put it on its own line";
}  // namespace

TEST(DescribeParseError, StepsInOrder) {
  struct Case { const char* what; ParseFailure f; std::string text; };
  const std::vector<Case> cases = {
      {"1: misplaced closing keyword wins over any expected list",
       failure("X10 ENDIF", 5, {Rule::EOI, Rule::comment}),
       "ENDIF must start its own block: a control-structure keyword cannot follow other "
       "content on the same line, so put ENDIF on its own line"},
      {"2: jump label on a structure line", failure("LBL1: WHILE R1<3 X", 18, {Rule::comment}),
       "the jump label LBL1: is not allowed in a block with WHILE (a real control raises "
       "alarm 12630), so write the label alone in the block before it"},
      {"3: empty expected list gives the parser's text", failure("X=)", 3, {}, "raw text"),
       "raw text"},
      {"4: text after a structure head",
       failure("WHILE R1<3 X10", 12, {Rule::comment, Rule::relational_operator, Rule::op_add}),
       "unexpected text 'X10' on the WHILE line: a control-structure keyword stands alone in "
       "its block and only a comment (;...) may follow it. If this is a statement of the "
       "body, put it on the next line"},
      {"4 needs a head keyword: IF lines go on",
       failure("IF R1 X10", 7, {Rule::comment, Rule::op_add}),
       "expected a comment (;...), or an operator"},
      {"4 needs comment expected", failure("LOOP X", 6, {Rule::op_add}), "expected an operator"},
      {"5: leftover after a complete block", failure("G1 X10 )", 8, {Rule::EOI, Rule::newline, Rule::comment}),
       "unexpected text ')" + kAfterBlock},
      {"5: only whitespace left falls through to the list",
       failure("G1 X10   ", 8, {Rule::EOI, Rule::newline, Rule::comment}),
       "expected the end of the program, or a new line, or a comment (;...)"},
      {"4 without text goes on to 5 and 6",
       failure("ELSE  ", 5, {Rule::EOI, Rule::comment}),
       "expected the end of the program, or a comment (;...)"},
      {"5: long leftover is cut at 40 characters",
       failure("X1 " + std::string(45, 'a'), 4, {Rule::EOI}),
       "unexpected text '" + std::string(40, 'a') + "..." + kAfterBlock},
      {"6: repeated descriptions kept once",
       failure("R1=1+", 6, {Rule::op_add, Rule::op_sub, Rule::neg, Rule::not_op, Rule::primary}),
       "expected an operator, or an expression"},
      {"6: concat_operand expands in place",
       failure("R1=", 4, {Rule::axis_increment, Rule::concat_operand, Rule::string}),
       "expected an incremental value IC(...), or an expression, or a quoted string"},
      {"6: rules above m_command read as G codes",
       failure("G", 1, {Rule::m_command, Rule::g_command_numbered, Rule::g_command}),
       "expected an M code, or a G code"},
  };
  for (const auto& c : cases) EXPECT_EQ(describe_parse_error(c.f), c.text) << c.what;

  ParseFailure custom = failure("X", 1, {Rule::EOI}, "call limit reached");
  custom.custom = true;
  EXPECT_EQ(describe_parse_error(custom), "call limit reached");
}

TEST(DescribeParseError, RealParserFailures) {
  struct Case { std::string program; std::size_t line; std::size_t column; std::string text; };
  const std::vector<Case> cases = {
      {"X10 ENDIF", 1, 6,
       "ENDIF must start its own block: a control-structure keyword cannot follow other "
       "content on the same line, so put ENDIF on its own line"},
      {"WHILE R1<3 X10\nENDWHILE", 1, 12,
       "unexpected text 'X10' on the WHILE line: a control-structure keyword stands alone in "
       "its block and only a comment (;...) may follow it. If this is a statement of the "
       "body, put it on the next line"},
      {"R1=5\nR2=", 2, 4, "expected an incremental value IC(...), or an expression, or a quoted string"},
      {"IF R1==1 GOTOF", 1, 15, "expected a jump destination (label or block number)"},
  };
  for (const auto& c : cases) {
    auto r = types::NCParser::parse(Rule::file, c.program);
    ASSERT_FALSE(r.has_value()) << c.program;
    EXPECT_EQ(r.error().line, c.line) << c.program;
    EXPECT_EQ(r.error().column, c.column) << c.program;
    EXPECT_EQ(describe_parse_error(r.error()), c.text) << c.program;
  }
}

TEST(TextFromErrorColumn, TrimAndCut) {
  struct Case { std::size_t column; std::string line; std::optional<std::string> text; };
  const std::vector<Case> cases = {
      {1, "  abc  ", "abc"},
      {0, "abc", "abc"},
      {3, "abcdef", "cdef"},
      {4, "abc", std::nullopt},
      {2, "a   \t", std::nullopt},
      {99, "abc", std::nullopt},
      // columns and the cut count characters, not bytes
      {3, "\u00E4\u00F6\u00FC\u00DF", "\u00FC\u00DF"},
      {1, std::string(40, 'x'), std::string(40, 'x')},
      {1, std::string(41, 'x'), std::string(40, 'x') + "..."},
      {1, "\u3000" + std::string(39, 'x') + "\u00E9\u00E9", std::string(39, 'x') + "\u00E9..."},
      // Unicode whitespace is trimmed at both ends
      {1, "\u00A0)\u2003", ")"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(text_from_error_column(c.column, c.line), c.text) << c.line << " @" << c.column;
}

TEST(RuleDescription, Table) {
  struct Case { Rule rule; const char* text; };
  const Case cases[] = {
      {Rule::EOI, "the end of the program"},
      {Rule::file, "an NC block"},
      {Rule::block, "an NC block"},
      {Rule::newline, "a new line"},
      {Rule::WHITESPACE, "whitespace"},
      {Rule::comment, "a comment (;...)"},
      {Rule::body_end_kw, "a control-structure keyword (ELSE/ENDIF/...)"},
      {Rule::label_name, "a jump label"},
      {Rule::goto_kw, "a jump (GOTO/GOTOF/GOTOB/GOTOC)"},
      {Rule::gotos_statement, "GOTOS"},
      {Rule::case_arm, "a CASE arm (<constant> GOTO...)"},
      {Rule::if_goto_statement, "IF"},
      {Rule::repeat_until_statement, "REPEAT"},
      {Rule::data_type, "a data type (REAL/INT/BOOL)"},
      {Rule::variable_single_char, "an axis letter"},
      {Rule::string, "a quoted string"},
      {Rule::value_none, "SET/REP values"},
      {Rule::float_, "a number"},
      {Rule::op_or, "an operator"},
      {Rule::not_op, "an operator"},
      {Rule::tool_selection, "a tool selection (T=\"...\")"},
      {Rule::frame_kw, "a frame instruction (TRANS/ROT/...)"},
      {Rule::non_returning_function_call, "a subprogram call"},
      {Rule::nc_variable, "a $-variable"},
      {Rule::m_command, "an M code"},
  };
  for (const auto& c : cases) EXPECT_EQ(rule_description(c.rule), c.text) << types::rule_name(c.rule);
  const Rule g_code_rules[] = {Rule::single_line, Rule::sparse_lines, Rule::QUOTE,
                               Rule::structure_line_kw, Rule::structure_head_kw, Rule::block_if_kw,
                               Rule::head_end, Rule::block_number_set, Rule::reserved,
                               Rule::concat_operand, Rule::op, Rule::prefix,
                               Rule::function_argument, Rule::g_command_numbered, Rule::g_command};
  for (Rule r : g_code_rules) EXPECT_EQ(rule_description(r), "a G code") << types::rule_name(r);
  // every rule has a description
  for (std::size_t i = 0; i < types::kRuleCount; ++i)
    EXPECT_FALSE(rule_description(static_cast<Rule>(i)).empty()) << i;
}

// A misplaced or labelled structure keyword is explained in the same words
// whether the pre-scan finds it or a parse fails on its line.
TEST(DescribeParseError, KeywordMistakesAsThePreScanExplainsThem) {
  struct Case { std::string program; std::string line; };
  const Case cases[] = {
      {"IF R1==1\nX10 ENDIF\n", "X10 ENDIF"},
      {"L1: WHILE R1<3\nENDWHILE\n", "L1: WHILE R1<3"},
  };
  for (const Case& c : cases) {
    auto scanned = structure_scan::check_structures(c.program);
    ASSERT_FALSE(scanned.has_value()) << c.program;
    const auto* context = scanned.error().get_if<errors::ParseContext>();
    ASSERT_NE(context, nullptr) << c.program;
    EXPECT_EQ(describe_parse_error(failure(c.line, 1, {Rule::EOI})), context->message) << c.line;
  }
}
