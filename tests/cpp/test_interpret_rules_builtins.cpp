// Built-in functions, string values, SPRINT and SUBSTR.
#include "test_interpret_rules_fixture.hpp"

#include <limits>

namespace kelvane::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct NumCase {
  const char* expr;
  double expected;
};

void check_num(const NumCase& c, state::State& st) {
  auto v = eval_on(st, c.expr);
  ASSERT_TRUE(v.has_value()) << c.expr << ": " << v.error().message();
  if (std::isnan(c.expected)) EXPECT_TRUE(std::isnan(*v)) << c.expr << " gave " << *v;
  else EXPECT_EQ(*v, c.expected) << c.expr;
}

TEST(Builtins, NumericFunctions) {
  state::State st = make_state();
  const NumCase cases[] = {
      {"SIN(30)", 0.49999999999999994}, {"SIN(30) == 0.5", 1},   {"ATAN2(1, -1)", 135},
      {"ASIN(1)", 90},                  {"ACOS(2)", kNaN},       {"COS(90) <> 0", 1},
      {"TAN(45) == 1", 1},              {"ROUND(2.5)", 3},       {"ROUND(-2.5)", -3},
      {"TRUNC(-2.7)", -2},              {"ROUNDUP(-1.5)", -1},   {"ROUNDUP(1.2)", 2},
      {"POT(-3)", 9},                   {"LN(0)", -kInf},        {"abs(-2)", 2},
      {"EXP(0)", 1},                    {"SQRT(16)", 4},         {"SQRT(-1) <> 0", 1},
      {"MINVAL(3, SQRT(-1))", 3},       {"MAXVAL(SQRT(-1), 3)", 3}, {"MINVAL(2, -1)", -1},
      {"MAXVAL(2, -1)", 2},             {"BOUND(0, 10, 15)", 10}, {"BOUND(0, 10, -1)", 0},
      {"BOUND(0, 10, 5)", 5},           {"BOUND(0, 10, SQRT(-1))", kNaN},
      {"SIN(,30)", 0.49999999999999994},  // empty places are dropped
  };
  for (const NumCase& c : cases) check_num(c, st);
}

TEST(Builtins, NumericFunctionErrors) {
  state::State st = make_state();
  {
    auto v = eval_on(st, "sin(30, 1)");
    ASSERT_FALSE(v.has_value());
    const auto* a = v.error().get_if<errors::InvalidFunctionArity>();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->function, "sin");
    EXPECT_EQ(a->expected, 1u);
    EXPECT_EQ(a->received, 2u);
  }
  {
    auto v = eval_on(st, "FOO(1)");
    ASSERT_FALSE(v.has_value());
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->context, "expression");
    EXPECT_EQ(pc->message, "'FOO' is not a known arithmetic function");
  }
  EXPECT_EQ(eval_on(st, "FOO(R99)").error().kind(), "undefined_variable");
  {
    auto v = eval_on(st, "ABS(\"x\")");
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->context, "function argument");
    EXPECT_EQ(pc->message, "expected a number but got the string \"x\"");
  }
  {
    auto v = eval_on(st, "BOUND(10, 0, 5)");
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->context, "BOUND");
    EXPECT_EQ(pc->message, "BOUND minimum (10) is greater than maximum (0)");
  }
  EXPECT_EQ(eval_on(st, "BOUND(SQRT(-1), 0, 5)").error().kind(), "parse_context");
  for (const char* f : {"SPRINT(\"%d\", 1)", "substr(\"ab\", 1)"}) {
    auto v = eval_on(st, f);
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr) << f;
    EXPECT_EQ(pc->context, "expression");
    EXPECT_NE(pc->message.find("returns a string; it cannot be used where a number is required"),
              std::string::npos);
  }
}

TEST(Builtins, StringQueries) {
  state::State st = make_state();
  const NumCase cases[] = {
      {"STRLEN(12.5)", 4},                 {"STRLEN(\"\")", 0},
      {"STRLEN(\"h\xC3\xA9llo\")", 5},     // characters, not bytes
      {"INDEX(\"ABCABC\", \"B\")", 1},     {"RINDEX(\"ABCABC\", \"B\")", 4},
      {"INDEX(\"ABCABC\", \"BX\")", 1},    {"INDEX(\"ABCABC\", \"Z\")", -1},
      {"MINDEX(\"ABCABC\", \"XC\")", 2},   {"MINDEX(\"ABC\", \"\")", -1},
      {"MATCH(\"ABCABC\", \"CA\")", 2},    {"MATCH(\"ABCABC\", \"\")", 0},
      {"MATCH(\"ABCABC\", \"ABCABCD\")", -1},
      {"INDEX(\"\xC3\xA9\xC3\xA9x\", \"x\")", 2},
      {"NUMBER(\" 1.5 \")", 1.5},          {"NUMBER(\"2ex3\")", 2000},
      {"NUMBER(\"1e-3\")", 0.001},         {"NUMBER(\"+7\")", 7},
      {"NUMBER(\"nan\")", kNaN},           {"NUMBER(\"-inf\")", -kInf},
      {"NUMBER(\".5\")", 0.5},             {"ISNUMBER(\"0x10\")", 0},
      {"ISNUMBER(\"12\")", 1},             {"ISNUMBER(\"1 2\")", 0},
      {"ISNUMBER(\"1e\")", 0},             {"ISNUMBER(\".\")", 0},
  };
  for (const NumCase& c : cases) check_num(c, st);
}

TEST(Builtins, StringQueryErrors) {
  state::State st = make_state();
  {
    auto v = eval_on(st, "strlen(\"a\", R99)");  // the count is checked before evaluation
    const auto* a = v.error().get_if<errors::InvalidFunctionArity>();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->function, "STRLEN");
    EXPECT_EQ(a->expected, 1u);
    EXPECT_EQ(a->received, 2u);
  }
  {
    auto v = eval_on(st, "INDEX(\"ABC\", \"\")");
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->context, "INDEX");
    EXPECT_EQ(pc->message, "INDEX needs a non-empty search character");
  }
  for (const char* bad : {"NUMBER(\"\")", "NUMBER(\"1,5\")"}) {
    auto v = eval_on(st, bad);
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr) << bad;
    EXPECT_EQ(pc->context, "NUMBER");
  }
  EXPECT_EQ(eval_on(st, "NUMBER(\"1,5\")").error().get_if<errors::ParseContext>()->message,
            "NUMBER(\"1,5\"): the string is not a valid number");
}

TEST(Builtins, NumberToText) {
  struct C {
    double v;
    const char* text;
  };
  const C cases[] = {{3, "3"},         {-7, "-7"},           {-0.0, "0"},
                     {2.5, "2.5"},     {1.0 / 3, "0.3333333333"}, {2.0 / 3, "0.6666666667"},
                     {0.1 + 0.2, "0.3"}, {1e-11, "0"},        {-1e-11, "-0"},
                     {1e20, "100000000000000000000"},        {kNaN, "NaN"},
                     {kInf, "inf"},    {-kInf, "-inf"},       {9007199254740992.0, "9007199254740992"}};
  for (const C& c : cases) EXPECT_EQ(interpret_rules::number_to_text(c.v), c.text) << c.text;
}

struct TextCase {
  const char* expr;
  const char* expected;
};

TEST(Strings, ConcatenationAndVariables) {
  state::State st = make_state();
  st.string_table.insert_or_assign("S", "abc");
  const TextCase cases[] = {
      {"\"AB\" << \"CD\"", "ABCD"},     {"\"X=\" << 2.5", "X=2.5"},  {"\"X=\" << 10", "X=10"},
      {"\"X=\" << 1/3", "X=0.3333333333"}, {"S << \"d\"", "abcd"}, {"(S) << \"d\"", "abcd"},
      {"<< \"lead\"", "lead"},           {"\"a;b\"", "a;b"},        {"\"\"", ""},
      {"SUBSTR(S, 1) << SPRINT(\"%d\", 7)", "bc7"},
  };
  for (const TextCase& c : cases) {
    auto v = eval_text_on(st, c.expr);
    ASSERT_TRUE(v.has_value()) << c.expr << ": " << v.error().message();
    EXPECT_EQ(*v, c.expected) << c.expr;
  }
  EXPECT_EQ(eval_text_on(st, "-S << \"x\"").error().kind(), "parse_context");
}

TEST(Strings, Substr) {
  state::State st = make_state();
  const TextCase cases[] = {
      {"SUBSTR(\"ABCDEF\", 2)", "CDEF"},      {"SUBSTR(\"ABCDEF\", 2, 3)", "CDE"},
      {"SUBSTR(\"ABCDEF\", 10)", ""},         {"SUBSTR(\"ABCDEF\", 2, 0)", ""},
      {"SUBSTR(\"ABCDEF\", 1, 1000000000000)", "BCDEF"},
      {"SUBSTR(\"ABCDEF\", 1/0 - 1/0 == 0, 2)", "AB"},
      {"SUBSTR(\"ABCDEF\", 0, 18446744073709551616)", "ABCDEF"},
      {"SUBSTR(\"\xC3\xA9t\xC3\xA9\", 1, 2)", "t\xC3\xA9"},  // characters, not bytes
      {"SUBSTR(\"a\xFF\x62\", 1, 1)", "\xFF"},                  // an invalid byte is one character
  };
  for (const TextCase& c : cases) {
    auto v = eval_text_on(st, c.expr);
    ASSERT_TRUE(v.has_value()) << c.expr << ": " << v.error().message();
    EXPECT_EQ(*v, c.expected) << c.expr;
  }
  for (const char* bad : {"SUBSTR(\"ABC\", -1)", "SUBSTR(\"ABC\", 1.5)", "SUBSTR(\"ABC\", 0, -2)",
                          "SUBSTR(\"ABC\", SQRT(-1))"}) {
    auto v = eval_text_on(st, bad);
    ASSERT_FALSE(v.has_value()) << bad;
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr) << bad;
    EXPECT_EQ(pc->context, "string index");
  }
  EXPECT_EQ(eval_text_on(st, "SUBSTR(\"ABC\", -1)").error().get_if<errors::ParseContext>()->message,
            "expected a non-negative integer index, got -1");
  for (const char* bad : {"SUBSTR(\"ABC\")", "SUBSTR(\"ABC\", 1, 2, 3)"}) {
    auto v = eval_text_on(st, bad);
    const auto* a = v.error().get_if<errors::InvalidFunctionArity>();
    ASSERT_NE(a, nullptr) << bad;
    EXPECT_EQ(a->function, "SUBSTR");
    EXPECT_EQ(a->expected, 2u);
  }
}

TEST(Strings, Sprint) {
  state::State st = make_state();
  const TextCase cases[] = {
      {"SPRINT(\"%d|%5d|%x\", 2.5, -2.5, 255)", "3|   -3|FF"},
      {"SPRINT(\"%x\", -1)", "FFFFFFFFFFFFFFFF"},
      {"SPRINT(\"%f\", 1/3)", "0.333333"},
      {"SPRINT(\"%.2f\", 2.675)", "2.67"},
      {"SPRINT(\"%8.3f\", 3.14159)", "   3.142"},
      {"SPRINT(\"%.0f\", 2.5)", "2"},
      {"SPRINT(\"%f\", SQRT(-1))", "NaN"},
      {"SPRINT(\"%s|%.2s|%b|%b|%c\", 7, \"hello\", \"\", 0.5, 65)", "7|he|FALSE|TRUE|A"},
      {"SPRINT(\"100%%\")", "100%"},
      {"SPRINT(\"%d\", 1, R99)", "1"},  // arguments left over are never evaluated
      {"SPRINT(\"%05d\", 42)", "   42"},
      {"SPRINT(\"%3s\", \"\xC3\xA9\")", "  \xC3\xA9"},  // width counts characters
      {"SPRINT(\"%c\", 255.4)", "\xC3\xBF"},
      {"SPRINT(\"%c\", \"xyz\")", "x"},
      {"SPRINT(\"%b\", SQRT(-1))", "TRUE"},
      {"SPRINT(\"%D\", POT(POT(POT(10000))))", "9223372036854775807"},
      {"SPRINT(\"%d\", SQRT(-1))", "0"},
      {"SPRINT(12)", "12"},
      {"SPRINT(\"%1s\", \"long\")", "long"},
  };
  for (const TextCase& c : cases) {
    auto v = eval_text_on(st, c.expr);
    ASSERT_TRUE(v.has_value()) << c.expr << ": " << v.error().message();
    EXPECT_EQ(*v, c.expected) << c.expr;
  }
  auto nul = eval_on(st, "STRLEN(SPRINT(\"%c\", 0))");
  ASSERT_TRUE(nul.has_value());
  EXPECT_EQ(*nul, 0.0);
}

TEST(Strings, SprintErrors) {
  state::State st = make_state();
  const TextCase cases[] = {
      {"SPRINT(\"%d\")", "SPRINT format has more conversions than arguments"},
      {"SPRINT(\"%d %d\", 1)", "SPRINT format has more conversions than arguments"},
      {"SPRINT(\"abc%\", 1)", "dangling '%' at end of SPRINT format"},
      {"SPRINT(\"abc%12\", 1)", "dangling '%' at end of SPRINT format"},
      {"SPRINT(\"%q\", 1)",
       "SPRINT conversion '%Q' is not supported (supported: %d %f %s %x %b %c)"},
      {"SPRINT(\"%5.q\", 1)", "invalid SPRINT precision ''"},
      {"SPRINT(\"%.f\", 1)", "invalid SPRINT precision ''"},
      {"SPRINT(\"%5.2.1f\", 1)", "invalid SPRINT precision '2.1'"},
      {"SPRINT(\"%99999999999999999999d\", 1)",
       "invalid SPRINT field width '99999999999999999999'"},
      {"SPRINT(\"%c\", 256)", "%c character code 256 is outside 0..255"},
      {"SPRINT(\"%c\", -1)", "%c character code -1 is outside 0..255"},
      {"SPRINT(\"%.70000f\", 1)", "SPRINT precision 70000 is too large (at most 65535)"},
      {"SPRINT(\"%99999999s\", \"a\")",
       "SPRINT field width 99999999 is too large (at most 1048576)"},
  };
  for (const TextCase& c : cases) {
    auto v = eval_text_on(st, c.expr);
    ASSERT_FALSE(v.has_value()) << c.expr;
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr) << c.expr << ": " << v.error().message();
    EXPECT_EQ(pc->context, "SPRINT") << c.expr;
    EXPECT_EQ(pc->message, c.expected) << c.expr;
    EXPECT_EQ(pc->line, 1u);
  }
  auto lit = eval_text_on(st, "SPRINT(\"%d\", \"x\")");
  ASSERT_FALSE(lit.has_value());
  EXPECT_EQ(lit.error().get_if<errors::ParseContext>()->message,
            "expected a number but got the string \"x\"");
  // precisions up to the bound are honoured
  auto wide = eval_text_on(st, "SPRINT(\"%.65535f\", 1)");
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->size(), 65537u);
}

TEST(Strings, ExpressionIsString) {
  state::State st = make_state();
  st.string_table.insert_or_assign("S", "v");
  struct C {
    const char* expr;
    bool text;
  };
  const C cases[] = {{"S", true},          {"(S)", true},          {"((s))", true},
                     {"SPRINT(\"x\")", true}, {"substr(\"x\", 0)", true}, {"S + 1", false},
                     {"-S", false},        {"STRLEN(S)", false},   {"R1", false},
                     {"A[1]", false}};
  for (const C& c : cases) {
    auto src = std::make_shared<const std::string>(std::string("R0=") + c.expr);
    st.set_input(src);
    auto parsed = types::NCParser::parse(Rule::single_line, *src);
    ASSERT_TRUE(parsed.has_value()) << c.expr;
    auto e = find_rule(*parsed->next(), Rule::expression);
    ASSERT_TRUE(e.has_value()) << c.expr;
    EXPECT_EQ(interpret_rules::expression_is_string(*e, st), c.text) << c.expr;
  }
}

}  // namespace
}  // namespace kelvane::test
