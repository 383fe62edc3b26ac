// Expression evaluation: precedence over the flat operand list, operator
// semantics, tolerant comparisons and the errors of evaluation.
#include "test_interpret_rules_fixture.hpp"

#include <limits>

namespace kelvane::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
  const char* expr;
  double expected;
};

void expect_value(const char* expr, double expected, const Options& o = {}) {
  auto v = eval(expr, o);
  ASSERT_TRUE(v.has_value()) << expr << ": " << v.error().message();
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(*v)) << expr << " gave " << *v;
  } else {
    EXPECT_EQ(*v, expected) << expr;
    EXPECT_EQ(std::signbit(*v), std::signbit(expected)) << expr << " sign";
  }
}

TEST(Expressions, PrecedenceAndAssociativity) {
  const Case cases[] = {
      {"2 + 3 * 4", 14},      {"2 * 3 + 4", 10},        {"10 - 4 - 3", 3},
      {"-2 * 3", -6},         {"2*-3", -6},             {"- -5", 5},
      {"100 / 10 / 5", 2},    {"(2 + 3) * 4", 20},      {"2 * (3 + (4 - 1))", 12},
      {"1 OR 0 AND 0", 1},    {"1 XOR 1 OR 1", 1},      {"0 OR 1 XOR 1", 0},
      {"1 OR 1 XOR 1 AND 0", 1},                        // 1 OR (1 XOR (1 AND 0))
      {"1 B_OR 2 == 3", 1},   {"1 + 1 B_AND 3", 2},     // bit operators below + and -
      {"6 B_AND 3 B_OR 8", 10},                         // B_AND above B_OR
      {"1 B_OR 6 B_XOR 3 B_AND 1", 7},                  // 1 | (6 ^ (3 & 1))
      {"2 AND 3 B_AND 0", 0},                           // bit operators above logic
      {"1 < 2 < 3", 1},       {"3 > 2 > 1", 0},         {"NOT 0", 1},
      {"NOT 2", 0},           {"NOT NOT 3", 1},         {"NOT -0", 1},
      {"- NOT 5", -0.0},      {"NOT 0 + 1", 2},         // prefix binds to its operand
      {"not 1 or 1", 1},
  };
  for (const Case& c : cases) expect_value(c.expr, c.expected);
}

TEST(Expressions, ArithmeticSemantics) {
  const Case cases[] = {
      {"7 DIV 2", 3},      {"-7 DIV 2", -3},   {"7.5 DIV 2", 3},   {"7 div 2", 3},
      {"7 MOD 3", 1},      {"-7 MOD 3", -1},   {"7 MOD -3", 1},    {"5 MOD 0", kNaN},
      {"7 / 0", kInf},     {"-7 / 0", -kInf},  {"0 / 0", kNaN},
      {"5 B_AND 3", 1},    {"-1 B_AND 255", 255}, {"5 B_XOR 3", 6}, {"5 B_OR 2", 7},
      {"9007199254740991 B_AND 1", 1},
      {"1.", 1},           {"-0 * 1", -0.0},
  };
  for (const Case& c : cases) expect_value(c.expr, c.expected);
}

TEST(Expressions, TolerantComparisons) {
  const Case cases[] = {
      {"0.1 + 0.2 == 0.3", 1},          {"0.1 + 0.2 <> 0.3", 0},
      {"1 == 1.0000000000001", 1},      {"1 <= 1.0000000000001", 1},
      {"1 >= 1.0000000000001", 1},      {"1 < 1.0000000000001", 0},
      {"1.0000000000001 > 1", 0},       {"1 == 1.00000000001", 0},
      {"1 < 1.00000000001", 1},         {"0 == 0.0000000000001", 0},
      {"0 == -0", 1},                   {"2 >= 1", 1},  {"1 >= 2", 0},
      {"2 <= 1", 0},                    {"1 <> 2", 1},
      // an infinite operand makes the tolerance infinite
      {"1/0 == 5", 1},                  {"1/0 > 5", 0},  {"1/0 == 1/0", 1},
      // NaN: only <> holds
      {"SQRT(-1) <> SQRT(-1)", 1},      {"SQRT(-1) == SQRT(-1)", 0},
      {"SQRT(-1) < 1", 0},              {"SQRT(-1) >= 1", 0},  {"NOT SQRT(-1)", 0},
  };
  for (const Case& c : cases) expect_value(c.expr, c.expected);
  EXPECT_TRUE(interpret_rules::approximately_equal(1e300, 1e300 * (1 + 1e-13)));
  EXPECT_FALSE(interpret_rules::approximately_equal(kNaN, kNaN));
  EXPECT_FALSE(interpret_rules::approximately_equal(1e-300, 0.0));
}

TEST(Expressions, NoShortCircuit) {
  auto v = eval("0 AND R1");
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().kind(), "undefined_variable");
  auto w = eval("1 OR 1 DIV 0");
  ASSERT_FALSE(w.has_value());
  EXPECT_NE(w.error().message().find("Integer division (DIV) by zero"), std::string::npos);
}

TEST(Expressions, Errors) {
  {
    auto v = eval("7 DIV 0");
    ASSERT_FALSE(v.has_value());
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->context, "integer division");
    EXPECT_EQ(pc->message, "Integer division (DIV) by zero");
    EXPECT_EQ(pc->line, 1u);
    EXPECT_EQ(pc->line_text, "R0=7 DIV 0");
    EXPECT_FALSE(pc->column.has_value());
  }
  {
    auto v = eval("7 DIV -0");
    ASSERT_FALSE(v.has_value());
  }
  struct BitCase {
    const char* expr;
    const char* message;
  };
  const BitCase bit[] = {
      {"2.5 B_OR 1", "B_OR requires integer operands (manual 4.1.3.2: types CHAR/INT), got 2.5"},
      {"1 b_and 0.5", "b_and requires integer operands (manual 4.1.3.2: types CHAR/INT), got 0.5"},
      {"9007199254740992 B_XOR 1",
       "B_XOR requires integer operands (manual 4.1.3.2: types CHAR/INT), got 9007199254740992"},
      {"1 B_AND 1/0", "B_AND requires integer operands (manual 4.1.3.2: types CHAR/INT), got inf"},
  };
  for (const BitCase& c : bit) {
    auto v = eval(c.expr);
    ASSERT_FALSE(v.has_value()) << c.expr;
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr) << c.expr;
    EXPECT_EQ(pc->context, "bit-by-bit operator");
    EXPECT_EQ(pc->message, c.message);
  }
}

TEST(Expressions, ErrorLinesFollowTheNode) {
  state::State st = make_state();
  auto src = std::make_shared<const std::string>("N1\nIF 1 DIV 0 == 1 GOTOF N1\n");
  st.set_input(src);
  auto parsed = types::NCParser::parse(Rule::file, *src);
  ASSERT_TRUE(parsed.has_value());
  auto cond = find_rule(*parsed->next(), Rule::condition);
  ASSERT_TRUE(cond.has_value());
  auto r = interpret_rules::evaluate_condition(*cond, st);
  ASSERT_FALSE(r.has_value());
  auto loc = r.error().location();
  ASSERT_TRUE(loc.has_value());
  EXPECT_EQ(loc->line, 2u);
  EXPECT_EQ(loc->line_text, "IF 1 DIV 0 == 1 GOTOF N1");
}

TEST(Expressions, Conditions) {
  state::State st = make_state();
  struct C {
    const char* text;
    bool expected;
  };
  const C cases[] = {{"IF SQRT(-1) GOTOF N1", true}, {"IF -0 GOTOF N1", false},
                     {"IF 0.5 GOTOF N1", true},      {"IF 1 > 2 GOTOF N1", false}};
  for (const C& c : cases) {
    auto src = std::make_shared<const std::string>(c.text);
    st.set_input(src);
    auto parsed = types::NCParser::parse(Rule::single_line, *src);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    auto cond = find_rule(*parsed->next(), Rule::condition);
    ASSERT_TRUE(cond.has_value());
    auto r = interpret_rules::evaluate_condition(*cond, st);
    ASSERT_TRUE(r.has_value()) << c.text;
    EXPECT_EQ(*r, c.expected) << c.text;
  }
}

}  // namespace
}  // namespace kelvane::test
