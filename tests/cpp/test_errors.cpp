#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "errors.hpp"

using namespace kelvane::errors;
using kelvane::types::Rule;

TEST(FloatText, ShortestRoundTripWithoutExponent) {
  struct Case { double value; const char* text; };
  const Case cases[] = {
      {1.0, "1"},         {0.1, "0.1"},   {-2.5, "-2.5"},
      {1e21, "1000000000000000000000"},   {1e-7, "0.0000001"},
      {-0.0, "-0"},       {0.0, "0"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_text(c.value), c.text) << c.text;
}

TEST(FloatText, ExtremesKeepEveryDigit) {
  const std::string max = float_text(std::numeric_limits<double>::max());
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.substr(0, 6), "179769");
  const std::string tiny = float_text(std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(tiny.substr(0, 2), "0.");
  EXPECT_EQ(std::strtod(tiny.c_str(), nullptr), std::numeric_limits<double>::denorm_min());
}

namespace {
const std::string kHead = std::string(40, '-') + "\nLine: ";
std::string framed(const std::string& title, const std::string& line, const std::string& text) {
  return "\n" + title + " on line " + line + "\n" + kHead + text + "\n\nDetails: ";
}
}  // namespace

TEST(ParsingErrorText, EveryVariantDisplaysExactly) {
  struct Case { ParsingError error; std::string text; };
  const std::vector<Case> cases = {
      {ParsingError::with_context(12, "X1", "ctx", "msg"),
       framed("Parse error in ctx", "12", "X1") + "msg\n"},
      {UnknownVariable{"R[1]=A[2]", "A[2]", 3},
       framed("Parse error in array element read", "3", "R[1]=A[2]") +
           "Undefined array element 'A[2]'.\n"
           "This error occurs when an array element or an indexed system variable is\n"
           "read before any value was assigned to it. Define it before use, for example\n"
           "in an initial state file, or set the `allow_undefined_variables` flag to\n"
           "true (this will initialize undefined variables to 0.0).\n"},
      {UndefinedVariable{"X=FOO", "FOO", 4},
       framed("Parse error in assignment", "4", "X=FOO") +
           "Undefined variable 'FOO'.\n"
           "This error occurs when using an undefined variable in an expression.\n"
           "To fix this, make sure to define the variable before using it. This can \n"
           "be done by adding common definitions to an initial state file, or by\n"
           "setting the `allow_undefined_variables` flag to true (this will initialize\n"
           "undefined variables to 0.0).\n"},
      {UnexpectedRule{"block", "L", "d", 5, Rule::assignment_multi},
       framed("Unexpected rule 'assignment_multi' encountered in block", "5", "L") + "d\n"},
      {ParseError{"No blocks found"}, "Parse error: No blocks found"},
      {InvalidElementCount{3, 2}, "Expected 3 elements, found 2"},
      {InvalidCondition{}, "Invalid condition"},
      {UnexpectedOperator{"<<"}, "Unexpected operator: <<"},
      {LoopLimit{"1000"}, "Loop limit of 1000 reached"},
      {StreamClosed{}, "row stream closed by the consumer"},
      {TooManyMCommands{"M3 M4 M5 M6 M7 M8", "six M words", 6},
       framed("Too many M commands in a single block", "6", "M3 M4 M5 M6 M7 M8") +
           "six M words\nTo fix this, ensure that each block contains at most one M command.\n"},
      {UnexpectedAxis{"Q", "X, Y, Z", "Q1", 7}, "Unexpected axis 'Q'. Valid axes are: X, Y, Z"},
      {AxisUsedAsVariable{"X", "DEF REAL X", 8},
       "Cannot define a variable named 'X', as it conflicts with an axis name"},
      {ReservedNameUsedAsVariable{"PW", "DEF REAL PW", 9},
       "Cannot define a variable named 'PW', as it is a reserved block address (spline PW/SD/PL)"},
      {MissingAxisMapping{"R[X]=1", "X", 10},
       framed("Missing axis mapping", "10", "R[X]=1") +
           "No mapping found for axis 'X' in array indexing operation.\n"
           "To fix this, provide an axis_index_map that includes 'X'."},
      {InvalidAxisIndex{"R[Y]=1", "Y", 11, 99},
       framed("Invalid axis mapping", "11", "R[Y]=1") +
           "Invalid index 99 for axis 'Y' in array indexing operation.\n"
           "Array indices must be non-negative and within the valid range."},
      {UnsupportedStatement{"GOTOS", "GOTOS", "", 12},
       framed("Unsupported statement", "12", "GOTOS") +
           "GOTOS is not supported by this interpreter.\n\n"},
      {UnsupportedStatement{"MCALL", "MCALL", "Try X.", 12},
       framed("Unsupported statement", "12", "MCALL") +
           "MCALL is not supported by this interpreter.\nTry X.\n"},
      {JumpTargetNotFound{"GOTOF E1", "E1", "forward", "", 13},
       framed("Jump destination not found", "13", "GOTOF E1") +
           "No block with the jump label or block number 'E1' was found\n"
           "searching forward (alarm 14080 on a real control).\n"
           "Note: jump destinations inside IF/LOOP/FOR/WHILE/REPEAT bodies cannot be\n"
           "reached from outside those bodies.\n"},
      {JumpTargetNotFound{"GOTOF E1", "E1", "forward", " Did you mean E2?", 13},
       framed("Jump destination not found", "13", "GOTOF E1") +
           "No block with the jump label or block number 'E1' was found\n"
           "searching forward (alarm 14080 on a real control). Did you mean E2?\n"
           "Note: jump destinations inside IF/LOOP/FOR/WHILE/REPEAT bodies cannot be\n"
           "reached from outside those bodies.\n"},
      {UnmatchedStructure{"ENDIF", "ENDIF without a preceding IF", 14},
       framed("Unmatched control structure", "14", "ENDIF") + "ENDIF without a preceding IF.\n"},
      {UnknownGCommand{"G777", "G777", 15},
       framed("Unknown G code", "15", "G777") +
           "'G777' is not a G code known to this interpreter (a real control\n"
           "raises alarm 12470 \"undefined G function\"). If this is meant to be a\n"
           "subprogram call, note that program names cannot look like a G code.\n"},
      {InvalidFunctionArity{"R1=SIN(1,2)", "SIN", 16, 1, 2},
       framed("Invalid function call", "16", "R1=SIN(1,2)") +
           "Function SIN expects 1 argument(s), but received 2.\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.text) << c.error.kind();
}

TEST(ParsingErrorText, WithContextShape) {
  const auto e = ParsingError::with_context(12, std::string("G1 X"), "block", "bad");
  const std::string text = e.message();
  EXPECT_EQ(text.substr(0, 30), "\nParse error in block on line ");
  EXPECT_EQ(text.substr(text.size() - 13), "Details: bad\n");
  EXPECT_EQ(e.kind(), "parse_context");
}

TEST(ParsingErrorLocation, ByVariant) {
  struct Case {
    ParsingError error;
    std::optional<std::size_t> column;
    std::optional<std::string> context;
    std::optional<std::string> line_text;
    std::size_t line;
  };
  const std::vector<Case> cases = {
      {ParsingError::with_context(12, "L", "C", "M"), std::nullopt, "C", "L", 12},
      {ParseContext{5, "X1 )", "initial file parsing", "m", 3}, 5, "initial file parsing",
       "X1 )", 3},
      {UnexpectedRule{"ctx", "L2", "d", 2, Rule::block}, std::nullopt, "ctx", "L2", 2},
      {UnknownVariable{"L", "A", 1}, std::nullopt, std::nullopt, "L", 1},
      {UndefinedVariable{"L", "A", 2}, std::nullopt, std::nullopt, "L", 2},
      {TooManyMCommands{"L", "d", 3}, std::nullopt, std::nullopt, "L", 3},
      {UnexpectedAxis{"Q", "X", "L", 4}, std::nullopt, std::nullopt, "L", 4},
      {AxisUsedAsVariable{"X", "L", 5}, std::nullopt, std::nullopt, "L", 5},
      {ReservedNameUsedAsVariable{"PW", "L", 6}, std::nullopt, std::nullopt, "L", 6},
      {MissingAxisMapping{"L", "X", 7}, std::nullopt, std::nullopt, "L", 7},
      {InvalidAxisIndex{"L", "X", 8, 1}, std::nullopt, std::nullopt, "L", 8},
      {UnsupportedStatement{"L", "S", "", 9}, std::nullopt, std::nullopt, "L", 9},
      {JumpTargetNotFound{"L", "T", "s", "", 10}, std::nullopt, std::nullopt, "L", 10},
      {UnmatchedStructure{"L", "d", 11}, std::nullopt, std::nullopt, "L", 11},
      {UnknownGCommand{"L", "G9", 12}, std::nullopt, std::nullopt, "L", 12},
      {InvalidFunctionArity{"L", "F", 13, 1, 2}, std::nullopt, std::nullopt, "L", 13},
  };
  for (const auto& c : cases) {
    const auto loc = c.error.location();
    ASSERT_TRUE(loc.has_value()) << c.error.kind();
    EXPECT_EQ(loc->column, c.column) << c.error.kind();
    EXPECT_EQ(loc->context, c.context) << c.error.kind();
    EXPECT_EQ(loc->line_text, c.line_text) << c.error.kind();
    EXPECT_EQ(loc->line, c.line) << c.error.kind();
  }
  const ParsingError unlocated[] = {ParseError{"x"},       InvalidElementCount{1, 2},
                                    InvalidCondition{},    UnexpectedOperator{"x"},
                                    LoopLimit{"1"},        StreamClosed{}};
  for (const auto& e : unlocated) EXPECT_FALSE(e.location().has_value()) << e.kind();
}

TEST(ParsingErrorKind, StringsByOrdinal) {
  const char* expected[] = {
      "parse_context", "unknown_variable", "undefined_variable", "unexpected_rule",
      "parse_error", "invalid_element_count", "invalid_condition", "unexpected_operator",
      "loop_limit", "stream_closed", "too_many_m_commands", "unexpected_axis",
      "axis_used_as_variable", "reserved_name_used_as_variable", "missing_axis_mapping",
      "invalid_axis_index", "unsupported_statement", "jump_target_not_found",
      "unmatched_structure", "unknown_g_command", "invalid_function_arity"};
  for (std::size_t i = 0; i < 21; ++i) EXPECT_EQ(kind_string(i), expected[i]) << i;
  EXPECT_EQ(kind_string(21), "");
  EXPECT_EQ(ParsingError(InvalidFunctionArity{}).kind(), "invalid_function_arity");
  EXPECT_EQ(ParsingError(StreamClosed{}).kind(), "stream_closed");
}
