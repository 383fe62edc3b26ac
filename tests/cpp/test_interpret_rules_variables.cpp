// Variable and array reads: names, element keys, axis-name subscripts, the
// actual-position system variables and undefined reads.
#include "test_interpret_rules_fixture.hpp"

#include <algorithm>

namespace kelvane::test {
namespace {

TEST(Variables, NamesAreUpperCased) {
  state::State st = make_state();
  st.symbol_table.insert_or_assign("R1", 5.0);
  auto v = eval_on(st, "r1 + R1");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, 10.0);
  st.symbol_table.insert_or_assign("$MC_X", 2.0);
  v = eval_on(st, "$mc_x * 2");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, 4.0);
  EXPECT_EQ(*eval_on(st, "TRUE + FALSE"), 1.0);
}

TEST(Variables, UndefinedScalarRead) {
  {
    auto v = eval("R7 + 1");
    ASSERT_FALSE(v.has_value());
    const auto* e = v.error().get_if<errors::UndefinedVariable>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, "R7");
    EXPECT_EQ(e->line, 1u);
    EXPECT_EQ(e->line_text, "R0=R7 + 1");
  }
  Options o;
  o.allow_undefined = true;
  state::State st = make_state(o);
  std::string warn;
  auto v = eval_on(st, "r7 + 1", &warn);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, 1.0);
  EXPECT_EQ(warn, "Warning: Variable 'R7' is undefined, initializing to 0.0\n");
  v = eval_on(st, "R7", &warn);
  EXPECT_EQ(warn, "");  // stored by the first read
  ASSERT_NE(st.symbol_table.find(std::string_view("R7")), st.symbol_table.end());
}

TEST(Variables, StringVariableInNumericExpression) {
  for (bool allow : {false, true}) {
    Options o;
    o.allow_undefined = allow;
    state::State st = make_state(o);
    st.string_table.insert_or_assign("S", "abc");
    auto v = eval_on(st, "S + 1");
    ASSERT_FALSE(v.has_value());
    const auto* pc = v.error().get_if<errors::ParseContext>();
    ASSERT_NE(pc, nullptr);
    EXPECT_EQ(pc->context, "expression evaluation");
    EXPECT_EQ(pc->message,
              "'S' is a STRING variable; string values cannot be used in numeric expressions "
              "(string expressions are not supported)");
  }
}

TEST(Variables, ArrayElements) {
  state::State st = make_state();
  for (int i = 0; i <= 3; ++i) st.symbol_table.insert_or_assign("A[" + std::to_string(i) + "]", i * 1.5);
  st.symbol_table.insert_or_assign("B[1,2]", 7.0);
  st.symbol_table.insert_or_assign("C[0,0,7]", 9.0);
  EXPECT_EQ(*eval_on(st, "A[2]"), 3.0);
  EXPECT_EQ(*eval_on(st, "a[1+1]"), 3.0);
  EXPECT_EQ(*eval_on(st, "A[-0]"), 0.0);
  EXPECT_EQ(*eval_on(st, "B[1, 2]"), 7.0);
  EXPECT_EQ(*eval_on(st, "C[0,0,7]"), 9.0);

  auto v = eval_on(st, "A[4]");
  ASSERT_FALSE(v.has_value());
  const auto* uv = v.error().get_if<errors::UnknownVariable>();
  ASSERT_NE(uv, nullptr);
  EXPECT_EQ(uv->name, "A[4]");

  struct Bad {
    const char* expr;
    const char* axis;
    std::size_t index;
  };
  const Bad bad[] = {{"A[1.5]", "1.5", 1},  {"A[-1]", "-1", 0},     {"A[SQRT(-1)]", "SQRT(-1)", 0},
                     {"A[1/0]", "1/0", SIZE_MAX}, {"A[2147483647]", "2147483647", 2147483647},
                     {"A[1, 4294967296]", "4294967296", 4294967296}};
  for (const Bad& b : bad) {
    auto r = eval_on(st, b.expr);
    ASSERT_FALSE(r.has_value()) << b.expr;
    const auto* ia = r.error().get_if<errors::InvalidAxisIndex>();
    ASSERT_NE(ia, nullptr) << b.expr << ": " << r.error().message();
    EXPECT_EQ(ia->axis, b.axis);
    EXPECT_EQ(ia->index, b.index) << b.expr;
  }
  auto many = eval_on(st, "A[1,2,3,4]");
  ASSERT_FALSE(many.has_value());
  EXPECT_EQ(many.error().message(), "Parse error: Invalid number of indices for variable array");
}

TEST(Variables, UndefinedArrayElementWithFlag) {
  Options o;
  o.allow_undefined = true;
  state::State st = make_state(o);
  std::string warn;
  auto v = eval_on(st, "q[3, 1]", &warn);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(warn, "Warning: Variable array element 'Q[3,1]' is undefined, initializing to 0.0\n");
  EXPECT_NE(st.symbol_table.find(std::string_view("Q[3,1]")), st.symbol_table.end());
  EXPECT_EQ(st.symbol_table.find(std::string_view("Q[0,0]")), st.symbol_table.end());
}

TEST(Variables, KeyListsForDefinitions) {
  state::State st = make_state();
  auto src = std::make_shared<const std::string>(
      "R0=A[1,2]+B[2]+C[1,0,1]+D[2147483646,2147483646]+E[2097151,2097151,4194303]");
  st.set_input(src);
  auto parsed = types::NCParser::parse(Rule::single_line, *src);
  ASSERT_TRUE(parsed.has_value());
  std::vector<Pair> arrays;
  std::function<void(const Pair&)> collect = [&](const Pair& n) {
    if (n.as_rule() == Rule::variable_array) arrays.push_back(n);
    for (const Pair& c : n.into_inner()) collect(c);
  };
  collect(*parsed->next());
  ASSERT_EQ(arrays.size(), 5u);
  auto k = interpret_rules::interpret_variable_array(arrays[0], st);
  ASSERT_TRUE(k.has_value());
  EXPECT_EQ(*k, (std::vector<std::string>{"A[0,0]", "A[0,1]", "A[0,2]", "A[1,0]", "A[1,1]",
                                          "A[1,2]"}));
  k = interpret_rules::interpret_variable_array(arrays[1], st);
  EXPECT_EQ(*k, (std::vector<std::string>{"B[0]", "B[1]", "B[2]"}));
  k = interpret_rules::interpret_variable_array(arrays[2], st);
  EXPECT_EQ(*k, (std::vector<std::string>{"C[0,0,0]", "C[0,0,1]", "C[1,0,0]", "C[1,0,1]"}));
  // a huge key list is refused before anything is allocated, also when its
  // size does not fit in 64 bits
  auto wrap = interpret_rules::interpret_variable_array(arrays[4], st);
  ASSERT_FALSE(wrap.has_value());
  EXPECT_NE(wrap.error().message().find("would have 18446744073709551616 elements"),
            std::string::npos)
      << wrap.error().message();
  auto huge = interpret_rules::interpret_variable_array(arrays[3], st);
  ASSERT_FALSE(huge.has_value());
  const auto* pc = huge.error().get_if<errors::ParseContext>();
  ASSERT_NE(pc, nullptr);
  EXPECT_EQ(pc->context, "array declaration");
  EXPECT_NE(pc->message.find("D[2147483646,2147483646] would have"), std::string::npos)
      << pc->message;
  // the addressed element alone is fine
  auto key = interpret_rules::interpret_variable_array_key(arrays[3], st);
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(*key, "D[2147483646,2147483646]");
}

TEST(Variables, AxisNameSubscripts) {
  Options o;
  o.axis_index_map = std::vector<std::pair<std::string, std::size_t>>{{"X", 0}, {"Y", 1}};
  state::State st = make_state(o);
  st.symbol_table.insert_or_assign("A[1]", 11.0);
  st.symbol_table.insert_or_assign("A[0]", 10.0);
  st.update_axis("X", 10.0);  // an axis-name subscript is never evaluated
  EXPECT_EQ(*eval_on(st, "A[Y]"), 11.0);
  EXPECT_EQ(*eval_on(st, "A[ X ]"), 10.0);
  auto v = eval_on(st, "A[y]");
  ASSERT_FALSE(v.has_value());
  const auto* mm = v.error().get_if<errors::MissingAxisMapping>();
  ASSERT_NE(mm, nullptr);
  EXPECT_EQ(mm->axis, "y");

  // no map at all
  state::State plain = make_state();
  auto w = eval_on(plain, "A[X]");
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().kind(), "missing_axis_mapping");

  // lower-case configured axes: no subscript counts as an axis name
  Options lower;
  lower.axes = std::vector<std::string>{"x", "Y"};
  state::State ls = make_state(lower);
  ls.symbol_table.insert_or_assign("X", 2.0);
  ls.symbol_table.insert_or_assign("A[2]", 5.0);
  EXPECT_EQ(*eval_on(ls, "A[X]"), 5.0);
  EXPECT_EQ(eval_on(ls, "A[Y]").error().kind(), "missing_axis_mapping");
}

TEST(Variables, ActualPositions) {
  state::State st = make_state();
  st.update_axis("X", 10.0);
  st.set_translation("X", 5.0);
  EXPECT_EQ(*eval_on(st, "$AA_IW[X]"), 10.0);
  EXPECT_EQ(*eval_on(st, "$AA_IM[X]"), 15.0);
  EXPECT_EQ(*eval_on(st, "$aa_im[ x ]"), 15.0);

  auto v = eval_on(st, "$AA_IW[Y]");
  ASSERT_FALSE(v.has_value());
  const auto* pc = v.error().get_if<errors::ParseContext>();
  ASSERT_NE(pc, nullptr);
  EXPECT_EQ(pc->context, "actual-position system variable");
  EXPECT_EQ(pc->message,
            "$AA_IW[Y] is read before axis Y has a position; set a start position (e.g. via an "
            "initial-state file) or pass allow_undefined_variables");

  // an index that is no axis name is an ordinary array element
  st.symbol_table.insert_or_assign("$AA_IW[1]", 3.0);
  st.symbol_table.insert_or_assign("Q", 1.0);
  EXPECT_EQ(*eval_on(st, "$AA_IW[1]"), 3.0);
  EXPECT_EQ(*eval_on(st, "$AA_IW[Q]"), 3.0);

  Options o;
  o.allow_undefined = true;
  state::State lax = make_state(o);
  std::string warn;
  auto w = eval_on(lax, "$AA_IM[Z]", &warn);
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(*w, 0.0);
  EXPECT_EQ(warn,
            "Warning [line 1]: $AA_IM[Z] read before axis Z was positioned; returning 0.0\n");
  eval_on(lax, "$AA_IM[Z]", &warn);
  EXPECT_FALSE(warn.empty());  // nothing stored: warns on every read
  EXPECT_FALSE(lax.get_axis_local("Z").has_value());
}

// ---------------------------------------------------------------------------
// Declared arrays

// The elements DEF creates are bounded over a whole run: all arrays together,
// the initial-state program included; declaring an array again costs only
// the elements it adds.
TEST(DeclaredArrays, ElementsOfAllArraysAreBoundedPerRun) {
  struct Case {
    const char* initial;  // run first on the same state
    const char* program;
    std::size_t line;     // of the refused DEF; 0 when everything is accepted
    const char* message;
  } cases[] = {
      {"", "DEF REAL A[1499999]\nDEF REAL B[1499999]\nDEF REAL C[1499999]\n", 3,
       "array C[1499999] would have 1500000 elements, 4500000 in all arrays of this run; at "
       "most 4194304 array elements per run are supported"},
      {"DEF REAL A[1499999], B[1499999]\n", "X1\nDEF REAL C[999,1499]\n", 2,
       "array C[999,1499] would have 1500000 elements, 4500000 in all arrays of this run; at "
       "most 4194304 array elements per run are supported"},
      {"", "R1=0\nWHILE R1<5\nDEF REAL A[999999]\nR1=R1+1\nENDWHILE\nDEF REAL B[2999999]\n", 0,
       ""},
      {"", "DEF REAL A[1999999]\nDEF REAL A[3999999]\nDEF REAL B[199999]\n", 3,
       "array B[199999] would have 200000 elements, 4200000 in all arrays of this run; at most "
       "4194304 array elements per run are supported"},
      {"", "DEF REAL A[2097151]\nDEF REAL B[2097151]\n", 0, ""},
      {"", "DEF REAL A[4194304]\n", 1,
       "array A[4194304] would have 4194305 elements; at most 4194304 array elements per run "
       "are supported"},
      // 2^21 * 2^21 * 2^22 elements: 0 in 64-bit arithmetic
      {"", "DEF REAL A[2097151,2097151,4194303]\n", 1,
       "array A[2097151,2097151,4194303] would have 18446744073709551616 elements; at most "
       "4194304 array elements per run are supported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    state::State st = make_state();
    ASSERT_FALSE(run_on(st, c.initial, false).error);
    RunResult r = run_on(st, c.program, false);
    if (c.line == 0) {
      EXPECT_FALSE(r.error) << r.error->message();
      continue;
    }
    const auto* pc = as_context(r.error);
    if (!pc) {
      ADD_FAILURE() << (r.error ? r.error->message() : "no error");
      continue;
    }
    EXPECT_EQ(pc->context, "array declaration");
    EXPECT_EQ(pc->line, c.line);
    EXPECT_EQ(pc->message, c.message);
  }
}

// Sorted "key=value" entries of a symbol table, TRUE and FALSE left out.
template <typename Table>
std::vector<std::string> entries(const Table& table) {
  std::vector<std::string> out;
  for (const auto& [key, value] : table)
    if (key != "TRUE" && key != "FALSE") out.push_back(key + "=" + errors::float_text(value));
  std::sort(out.begin(), out.end());
  return out;
}

// Elements made by DEF are read, written, redeclared and listed exactly like
// elements assigned one by one.
TEST(DeclaredArrays, ElementsReadAndWriteLikeKeys) {
  struct Case {
    const char* program;
    std::vector<std::string> symbols;
  } cases[] = {
      // an element beyond the declared box stays; one inside it is reset
      {"A[5]=7\nA[2]=1\nDEF REAL A[3]\nA[2]=A[2]+4\nR1=A[2]+A[5]\n",
       {"A[0]=0", "A[1]=0", "A[2]=4", "A[3]=0", "A[5]=7", "R1=11"}},
      // a larger DEF resets what it covers, a smaller one leaves the rest
      {"DEF REAL A[1]\nA[1]=3\nA[4]=9\nDEF REAL A[2]\nR1=A[1]+A[4]\nA[2]=6\nDEF REAL A[1]\n",
       {"A[0]=0", "A[1]=0", "A[2]=6", "A[4]=9", "R1=9"}},
      {"DEF REAL E[1,1]\nE[0,1]=5\nE[2,0]=3\nDEF REAL E[2,2]\nE[1,1]=4\n",
       {"E[0,0]=0", "E[0,1]=0", "E[0,2]=0", "E[1,0]=0", "E[1,1]=4", "E[1,2]=0", "E[2,0]=0",
        "E[2,1]=0", "E[2,2]=0"}},
      // boxes that cross
      {"DEF REAL B[2,0]\nB[0,2]=5\nB[1,0]=2\nDEF REAL B[0,3]\nB[2,0]=1\nR1=B[0,3]+B[1,0]\n",
       {"B[0,0]=0", "B[0,1]=0", "B[0,2]=0", "B[0,3]=0", "B[1,0]=2", "B[2,0]=1", "R1=2"}},
      // one name with one, two and three indices: three arrays
      {"DEF REAL C[1], C[1,1], C[0,0,1]\nC[1]=2\nC[1,1]=3\nC[0,0,1]=4\n",
       {"C[0,0,0]=0", "C[0,0,1]=4", "C[0,0]=0", "C[0,1]=0", "C[0]=0", "C[1,0]=0", "C[1,1]=3",
        "C[1]=2"}},
      // SET and REP store only the elements they give a value
      {"DEF REAL D[2147483646,2147483646]=SET(4,,5)\nDEF REAL F[2147483646]=REP(7)\n",
       {"D[0,0]=4", "D[0,2]=5", "F[0]=7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    state::State st = make_state();
    RunResult r = run_on(st, c.program);
    ASSERT_FALSE(r.error) << r.error->message();
    EXPECT_EQ(entries(st.symbol_table), c.symbols);
    EXPECT_EQ(st.symbol_table.size(), c.symbols.size() + 2);
    for (const auto& [key, value] : st.symbol_table) {
      auto it = st.symbol_table.find(key);
      ASSERT_NE(it, st.symbol_table.end()) << key;
      EXPECT_EQ(it->first, key);
      EXPECT_EQ(it->second, value);
    }
    const state::FinalState fs = st.final_state();
    st.symbol_table.insert_or_assign(c.symbols.front().substr(0, c.symbols.front().find('=')),
                                      99.0);
    EXPECT_EQ(entries(fs.symbol_table), c.symbols);  // an independent copy
  }
}

TEST(Variables, NormalizeReservedCase) {
  Options o;
  o.axes = std::vector<std::string>{"X", "y"};
  state::State st = make_state(o);
  EXPECT_EQ(interpret_rules::normalize_reserved_case("x", st), "X");
  EXPECT_EQ(interpret_rules::normalize_reserved_case("y", st), "y");  // Y is not configured as Y
  EXPECT_EQ(interpret_rules::normalize_reserved_case("cr", st), "CR");
  EXPECT_EQ(interpret_rules::normalize_reserved_case("myVar", st), "myVar");
}

}  // namespace
}  // namespace kelvane::test
