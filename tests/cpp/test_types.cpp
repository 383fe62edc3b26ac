#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <tao/pegtl/contrib/analyze.hpp>

#include "grammar.hpp"
#include "types.hpp"

using namespace kelvane::types;

namespace {

// Compact tree dump: a leaf is (rule "text"), an inner node (rule child ...).
void dump_into(const Pair& p, std::string& out) {
  out += '(';
  out += rule_name(p.as_rule());
  Pairs children = p.into_inner();
  if (children.empty()) {
    out += " \"";
    out += p.as_str();
    out += '"';
  }
  for (const Pair& c : children) {
    out += ' ';
    dump_into(c, out);
  }
  out += ')';
}

std::string dump(const Pairs& pairs) {
  std::string out;
  for (const Pair& p : pairs) {
    if (!out.empty()) out += ' ';
    dump_into(p, out);
  }
  return out;
}

std::string parse_dump(Rule rule, std::string_view text) {
  auto r = NCParser::parse(rule, text);
  if (!r) return "FAIL " + r.error().display;
  return dump(*r);
}

// The first node of `rule` in pre-order, if any.
std::optional<Pair> find(const Pair& p, Rule rule) {
  if (p.as_rule() == rule) return p;
  for (const Pair& c : p.into_inner())
    if (auto f = find(c, rule)) return f;
  return std::nullopt;
}

std::optional<Pair> find(const Pairs& pairs, Rule rule) {
  for (const Pair& p : pairs)
    if (auto f = find(p, rule)) return f;
  return std::nullopt;
}

struct TreeCase {
  Rule rule;
  const char* text;
  const char* tree;
};

void check_trees(const std::vector<TreeCase>& cases) {
  for (const auto& c : cases)
    EXPECT_EQ(parse_dump(c.rule, c.text), c.tree) << "input: " << c.text;
}

// Shorthands for the deep but regular expression chains.
std::string val(const std::string& v) { return "(primary (value \"" + v + "\"))"; }
std::string var(const std::string& v) { return "(primary (variable (identifier \"" + v + "\")))"; }
std::string sx(const std::string& inner) {
  return "(string_expression (concat_operand (expression " + inner + ")))";
}
std::string line(const std::string& block) {
  return "(single_line " + block + " (EOI \"\"))";
}
std::string assign(const std::string& name, const std::string& expr) {
  return line("(block (statement (assignment (variable (identifier \"" + name + "\")) " + sx(expr) +
              ")))");
}
const char* kAxisX1 = "(statement (axis_word (variable_single_char \"X\") (value \"1\")))";

}  // namespace

TEST(Rules, TextFormsAndOrder) {
  EXPECT_EQ(rule_name(Rule::EOI), "EOI");
  EXPECT_EQ(rule_name(static_cast<Rule>(54)), "assignment_multi");
  EXPECT_EQ(rule_name(Rule::float_), "float");
  EXPECT_EQ(rule_name(Rule::g_command), "g_command");
  EXPECT_EQ(static_cast<int>(Rule::g_command), 90);
  EXPECT_LT(Rule::comment, Rule::block);
  std::ostringstream os;
  os << Rule::if_statement;
  EXPECT_EQ(os.str(), "if_statement");
  static_assert(sizeof(Rule) == 1);
}

TEST(Words, NumbersAxisWordsAndIdentifiers) {
  check_trees({
      {Rule::single_line, "X-5", line("(block (statement (axis_word (variable_single_char \"X\") (value \"-5\"))))").c_str()},
      {Rule::single_line, "x -5", line("(block (statement (axis_word (variable_single_char \"x\") (value \"-5\"))))").c_str()},
      {Rule::single_line, "X1.", line("(block (statement (axis_word (variable_single_char \"X\") (value \"1.\"))))").c_str()},
      // a number followed by a letter is no number: the word is one call
      {Rule::single_line, "X10Y20", line("(block (statement (non_returning_function_call (identifier \"X10Y20\"))))").c_str()},
      {Rule::single_line, "X1E5", line("(block (statement (non_returning_function_call (identifier \"X1E5\"))))").c_str()},
      {Rule::single_line, "N10X20", line("(block (statement (non_returning_function_call (identifier \"N10X20\"))))").c_str()},
      {Rule::single_line, "FORMAT", line("(block (statement (non_returning_function_call (identifier \"FORMAT\"))))").c_str()},
      {Rule::single_line, "_IF", line("(block (statement (non_returning_function_call (identifier \"_IF\"))))").c_str()},
      {Rule::single_line, "N 10 X1", line(std::string("(block (block_number (integer \"10\")) ") + kAxisX1 + ")").c_str()},
      {Rule::single_line, "n10 X1", line(std::string("(block (statement (non_returning_function_call (identifier \"n10\"))) ") + kAxisX1 + ")").c_str()},
      {Rule::single_line, "G01", line("(block (statement (g_command_numbered (g_command \"G01\"))))").c_str()},
      {Rule::single_line, "g01", line("(block (statement (g_command \"g01\")))").c_str()},
      {Rule::single_line, "gframe[0]", line("(block (statement (g_command \"gframe[0]\")))").c_str()},
      {Rule::single_line, "G1X10", line("(block (statement (non_returning_function_call (identifier \"G1X10\"))))").c_str()},
      {Rule::single_line, "M3X10", line("(block (statement (m_command \"M3\")) (statement (axis_word (variable_single_char \"X\") (value \"10\"))))").c_str()},
      {Rule::single_line, "M 3", line("(block (statement (m_command \"M 3\")))").c_str()},
      {Rule::single_line, "M3 X1", line(std::string("(block (statement (m_command \"M3 \")) ") + kAxisX1 + ")").c_str()},
      {Rule::single_line, "M34 X1", line(std::string("(block (statement (m_command \"M34\")) ") + kAxisX1 + ")").c_str()},
      {Rule::single_line, "T=\"drill\"", line("(block (statement (tool_selection (string_value (string \"drill\")))))").c_str()},
      {Rule::single_line, "TRANS", line("(block (frame_op (frame_kw \"TRANS\")))").c_str()},
      {Rule::single_line, "AROTS X1", line("(block (frame_op (frame_kw \"AROTS\") (assignment (variable_single_char \"X\") (value \"1\"))))").c_str()},
      {Rule::single_line, "CALL()", line("(block (statement (non_returning_function_call (identifier \"CALL\"))))").c_str()},
      {Rule::single_line, "DEFINT A", line("(block (definition (data_type \"INT\") (variable (identifier \"A\"))))").c_str()},
      {Rule::single_line, "DEF STRING [ 1 2 ] S", line("(block (definition (data_type \"STRING [ 1 2 ]\") (variable (identifier \"S\"))))").c_str()},
      // DEF without a size is no definition: three calls
      {Rule::single_line, "DEF STRING S", line("(block (statement (non_returning_function_call (identifier \"DEF\"))) (statement (non_returning_function_call (identifier \"STRING\"))) (statement (non_returning_function_call (identifier \"S\"))))").c_str()},
  });
}

// Reserved words are no identifiers in any letter case, at the end of the
// text or before more text; longer words, prefixes and words with digits or
// "_" are.
TEST(Words, ReservedWordsAreNoIdentifiers) {
  const std::vector<std::string> reserved = {
      "IF",  "ELSE",  "ENDIF",    "GOTOB",  "GOTOF",  "GOTOC", "GOTOS",
      "GOTO", "CASE", "OF",       "DEFAULT", "LOOP",  "FOR",   "WHILE",
      "REPEAT", "LABEL", "TO",    "UNTIL",  "ENDWHILE", "ENDFOR", "ENDLOOP"};
  const auto identifier = [](const std::string& text) -> std::string {
    auto r = NCParser::parse(Rule::identifier, text);
    if (!r) return "FAIL";
    return std::string(r->peek()->as_str());
  };
  for (const std::string& w : reserved) {
    std::string lower = w;
    for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
    std::string mixed = w;
    mixed[1] = lower[1];
    for (const std::string& v : {w, lower, mixed}) {
      EXPECT_EQ(identifier(v), "FAIL") << v;
      EXPECT_EQ(identifier(v + " = 1;comment"), "FAIL") << v;
      for (const char* tail : {"1", "_", "X"}) {
        EXPECT_EQ(identifier(v + tail), v + tail) << v;
        EXPECT_EQ(identifier(v + tail + " = 12345678"), v + tail) << v;
      }
      const std::string prefix = v.substr(0, v.size() - 1);
      const bool prefix_reserved = prefix == "GOTO" || prefix == "goto" || prefix == "GoTO";
      EXPECT_EQ(identifier(prefix + "(1)"), prefix_reserved ? "FAIL" : prefix) << v;
      EXPECT_EQ(identifier("_" + v), "_" + v) << v;
    }
  }
  for (const char* other : {"I", "IFF", "ELSEIF", "END", "ENDWHILES", "GOTOSX", "F0R", "0F"})
    EXPECT_EQ(identifier(other), other[0] == '0' ? "FAIL" : other) << other;
}

TEST(Words, ExpressionsAreFlatOperandLists) {
  check_trees({
      {Rule::single_line, "R1=-5", assign("R1", "(neg \"-\") " + val("5")).c_str()},
      {Rule::single_line, "R1=2*-3", assign("R1", val("2") + " (op_mul \"*\") (neg \"-\") " + val("3")).c_str()},
      {Rule::single_line, "R1=- -A", assign("R1", "(neg \"-\") (neg \"-\") " + var("A")).c_str()},
      {Rule::single_line, "R1=NOT A", assign("R1", "(not_op \"NOT\") " + var("A")).c_str()},
      {Rule::single_line, "R1=NOTA", assign("R1", var("NOTA")).c_str()},
      {Rule::single_line, "R1=A OR(B)", assign("R1", var("A") + " (op_or \"OR\") (primary (expression " + var("B") + "))").c_str()},
      {Rule::single_line, "R1=A<=B", assign("R1", var("A") + " (relational_operator \"<=\") " + var("B")).c_str()},
      {Rule::single_line, "R1=A b_xor 3 div 2", assign("R1", var("A") + " (op_b_xor \"b_xor\") " + val("3") + " (op_int_div \"div\") " + val("2")).c_str()},
      {Rule::single_line, "R1=F(,1,,2)",
       assign("R1", "(primary (arith_fun (arith_fun_name \"F\") (function_arguments " + sx(val("1")) + " " + sx(val("2")) + ")))").c_str()},
      {Rule::single_line, "R1=$AA_IW[X]",
       assign("R1", "(primary (variable_array (nc_variable (identifier \"AA_IW\")) (indices (expression " + var("X") + "))))").c_str()},
      {Rule::single_line, "R1=$ AA_IW", assign("R1", "(primary (variable (nc_variable (identifier \"AA_IW\"))))").c_str()},
      {Rule::single_line, "S=<<\"a\\\"<<\"b\"",
       line("(block (statement (assignment (variable (identifier \"S\")) (string_expression (concat_operand (string_value (string \"a\\\"))) (concat_operand (string_value (string \"b\")))))))").c_str()},
      {Rule::single_line, "S=\"\"",
       line("(block (statement (assignment (variable (identifier \"S\")) (string_expression (concat_operand (string_value (string \"\")))))))").c_str()},
      {Rule::single_line, "X=IC(5)", line("(block (statement (assignment (variable (identifier \"X\")) (axis_increment (expression " + val("5") + ")))))").c_str()},
      {Rule::single_line, "X=ic (5)", line("(block (statement (assignment (variable (identifier \"X\")) (axis_increment (expression " + val("5") + ")))))").c_str()},
      {Rule::single_line, "A[0]=SET(1,,3)",
       line("(block (statement (assignment_multi (variable_array (identifier \"A\") (indices (expression " + val("0") + "))) (value_array (expression " + val("1") + ") (value_none \"\") (expression " + val("3") + ")))))").c_str()},
      {Rule::single_line, "A[0]=SET()",
       line("(block (statement (assignment_multi (variable_array (identifier \"A\") (indices (expression " + val("0") + "))) (value_array (value_none \"\")))))").c_str()},
      {Rule::single_line, "A[0]=REP(7)",
       line("(block (statement (assignment_multi (variable_array (identifier \"A\") (indices (expression " + val("0") + "))) (value_repeating (expression " + val("7") + ")))))").c_str()},
      // lower-case set is a call, and so is a REP with three values
      {Rule::single_line, "A[0]=set(1)",
       line("(block (statement (assignment (variable_array (identifier \"A\") (indices (expression " + val("0") + "))) (string_expression (concat_operand (expression (primary (arith_fun (arith_fun_name \"set\") (function_arguments " + sx(val("1")) + ")))))))))").c_str()},
  });
}

TEST(Words, NodeTextsKeepSkippedBlanksBeforeEmptyTails) {
  struct Case { Rule start; const char* text; Rule rule; const char* node_text; };
  const Case cases[] = {
      {Rule::single_line, "M3 X1", Rule::m_command, "M3 "},
      {Rule::single_line, "M34 X1", Rule::m_command, "M34"},
      {Rule::single_line, "R1=A ;c", Rule::expression, "A "},
      {Rule::single_line, "R1=A+1 ;c", Rule::expression, "A+1"},
      {Rule::single_line, "CALL ;c", Rule::non_returning_function_call, "CALL "},
      {Rule::single_line, "TRANS ;c", Rule::frame_op, "TRANS "},
      {Rule::single_line, "CASE R1 OF 1 GOTOF A1 ;c", Rule::case_statement, "CASE R1 OF 1 GOTOF A1 "},
      {Rule::single_line, "CASE R1 OF 1 GOTOF A1", Rule::expression, "R1 "},
      {Rule::single_line, "X1 ;c", Rule::statement, "X1 "},  // the blank before the "[" guard
      {Rule::single_line, "$ AA_IW=1", Rule::nc_variable, "$ AA_IW"},
      {Rule::single_line, "LBL: X1", Rule::label_def, "LBL:"},
      {Rule::file, "LOOP\nN20 ENDLOOP", Rule::block_number, "20"},
  };
  for (const auto& c : cases) {
    auto r = NCParser::parse(c.start, c.text);
    ASSERT_TRUE(r) << c.text;
    auto node = find(*r, c.rule);
    ASSERT_TRUE(node) << c.text;
    EXPECT_EQ(node->as_str(), c.node_text) << c.text;
  }
}

TEST(Blocks, StartRulesOnEmptyAndSparseTexts) {
  check_trees({
      {Rule::file, "", "(file (blocks (block \"\")) (EOI \"\"))"},
      {Rule::single_line, "", "(single_line (block \"\") (EOI \"\"))"},
      {Rule::sparse_lines, "", "(sparse_lines (EOI \"\"))"},
      {Rule::file, "X1\nX1\n", (std::string("(file (blocks (block ") + kAxisX1 + ") (block " + kAxisX1 + ") (block \"\")) (EOI \"\"))").c_str()},
      {Rule::file, "X1\r\nX1\r\n", (std::string("(file (blocks (block ") + kAxisX1 + ") (block " + kAxisX1 + ") (block \"\")) (EOI \"\"))").c_str()},
      {Rule::file, "X1 ;a\rb\r\n", (std::string("(file (blocks (block ") + kAxisX1 + " (comment \";a\rb\")) (block \"\")) (EOI \"\"))").c_str()},
      {Rule::sparse_lines, "X1\n\n \nX1\n", (std::string("(sparse_lines (block ") + kAxisX1 + ") (block " + kAxisX1 + ") (EOI \"\"))").c_str()},
      {Rule::file, "LBL: IF R1 GOTOF LBL",
       "(file (blocks (block (label_def (label_name \"LBL\")) (control (if_goto_statement (condition (expression (primary (variable (identifier \"R1\"))))) (goto_statement (goto_kw \"GOTOF\") (goto_target (identifier \"LBL\"))))))) (EOI \"\"))"},
      {Rule::single_line, "GOTOF 100", line("(block (control (goto_statement (goto_kw \"GOTOF\") (goto_target (block_number (integer \"100\"))))))").c_str()},
      {Rule::single_line, "GOTOS", line("(block (control (gotos_statement \"GOTOS\")))").c_str()},
  });
}

TEST(Blocks, StructureBodies) {
  const std::string x1 = std::string("(block ") + kAxisX1 + ")";
  const std::string r1 = "(condition (expression (primary (variable (identifier \"R1\")))))";
  check_trees({
      {Rule::file, "LOOP\nENDLOOP", "(file (blocks (block (control (loop_statement (blocks (block \"\") (block \"\")))))) (EOI \"\"))"},
      {Rule::file, "IF R1\nENDIF", ("(file (blocks (block (control (if_statement " + r1 + " (blocks (block \"\")))))) (EOI \"\"))").c_str()},
      // the head line's comment is the body's first block; the closing line's comment the structure block's
      {Rule::file, "LOOP ; c\nX1\nENDLOOP ; e", ("(file (blocks (block (control (loop_statement (blocks (block (comment \"; c\")) " + x1 + " (block \"\")))) (comment \"; e\"))) (EOI \"\"))").c_str()},
      {Rule::file, "IF R1 ; c\nX1\nELSE\nX1\nN20 ENDIF",
       ("(file (blocks (block (control (if_statement " + r1 + " (comment \"; c\") (blocks " + x1 + " (block \"\")) (blocks (block \"\") " + x1 + " (block (block_number (integer \"20\")))))))) (EOI \"\"))").c_str()},
      {Rule::file, "WHILE R1\nFOR R1=1 TO 2\nX1\nENDFOR\nENDWHILE",
       ("(file (blocks (block (control (while_statement " + r1 + " (blocks (block \"\") (block (control (for_statement (assignment (variable (identifier \"R1\")) " + sx(val("1")) + ") (expression " + val("2") + ") (blocks (block \"\") " + x1 + " (block \"\"))))) (block \"\")))))) (EOI \"\"))").c_str()},
      {Rule::file, "REPEAT\nUNTIL R1", ("(file (blocks (block (control (repeat_until_statement (blocks (block \"\") (block \"\")) " + r1 + ")))) (EOI \"\"))").c_str()},
      {Rule::file, "IF R1\r\nX1\r\nENDIF\r\n", ("(file (blocks (block (control (if_statement " + r1 + " (blocks " + x1 + " (block \"\"))))) (block \"\")) (EOI \"\"))").c_str()},
  });
}

TEST(Blocks, MisplacedKeywordsAndBrokenLinesFail) {
  const char* failing[] = {
      "LBL: WHILE R1<3\nENDWHILE", "LBL: IF R1\nENDIF", "LBL: ENDLOOP", "X10 ENDIF",
      "IF R1\nENDIF ENDIF",        "LOOP X10\nENDLOOP", "LBL : X1",     "A1: X1",
      "X1\rY2",                    "CALL(1",            "X10[1]=5",     "R1=F(1,)",
      "R1=F()",                    "G 1",               "IF R1\nX1",    "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFG: X1",
  };
  for (const char* text : failing) EXPECT_FALSE(NCParser::parse(Rule::file, text)) << text;
  EXPECT_TRUE(NCParser::parse(Rule::file, "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEF: X1"));  // 32 characters
  EXPECT_TRUE(NCParser::parse(Rule::file, "IF R1\nENDIF ;x"));
  EXPECT_FALSE(NCParser::parse(Rule::single_line, "X1\nX1"));
  EXPECT_FALSE(NCParser::parse(Rule::sparse_lines, "X1\n\nX1"));
}

TEST(Pairs, LineColumnsCountCharactersAndAddTheOffset) {
  const std::string text = "X1\n\tY2 ;\xC3\xA4\xE2\x82\xAC Z\r\nZ3";
  auto r = NCParser::parse(Rule::file, text);
  ASSERT_TRUE(r);
  std::vector<std::pair<std::string, std::pair<std::size_t, std::size_t>>> seen;
  auto blocks = r->peek()->into_inner().peek()->into_inner();
  for (const Pair& block : blocks)
    for (const Pair& part : block.into_inner()) seen.push_back({std::string(part.as_str()), part.line_col()});
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].second, std::make_pair(std::size_t(1), std::size_t(1)));  // X1
  EXPECT_EQ(seen[1].second, std::make_pair(std::size_t(2), std::size_t(2)));  // after a tab
  EXPECT_EQ(seen[2].first, ";\xC3\xA4\xE2\x82\xAC Z");  // the \r of \r\n is no comment text
  EXPECT_EQ(seen[3].second, std::make_pair(std::size_t(3), std::size_t(1)));

  // one line parsed alone with an offset reports the program's line, down the tree
  auto one = NCParser::parse(Rule::single_line, "S=\"\xC3\xA4\" X5");
  ASSERT_TRUE(one);
  const Pair block = one->peek()->into_inner().peek()->with_line_offset(41);
  auto parts = block.into_inner();
  const Pair first = *parts.next();
  const Pair second = *parts.next();
  EXPECT_EQ(block.line_col(), std::make_pair(std::size_t(42), std::size_t(1)));
  EXPECT_EQ(second.line_col(), std::make_pair(std::size_t(42), std::size_t(7)));
  EXPECT_EQ(second.line_offset(), 41u);
  EXPECT_EQ(find(second, Rule::value)->line_col().first, 42u);
  (void)first;
}

TEST(Pairs, HandlesShareTheTreeAndParsesAreIndependent) {
  const std::string text = "IF R1\nX1 Y2\nENDIF\n";
  auto a = NCParser::parse(Rule::file, text);
  auto b = NCParser::parse(Rule::file, text);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(dump(*a), dump(*b));
  const Pair top = *a->peek();
  const Pair copy = top.clone();
  EXPECT_EQ(copy.tree().get(), top.tree().get());
  EXPECT_EQ(copy.token_index(), top.token_index());
  EXPECT_EQ(top.into_inner().count(), 2u);  // blocks, EOI
  Pairs it = top.into_inner();
  EXPECT_EQ(it.next()->as_rule(), Rule::blocks);
  EXPECT_EQ(it.peek()->as_rule(), Rule::EOI);
  EXPECT_EQ(it.next()->as_rule(), Rule::EOI);
  EXPECT_FALSE(it.next());
}

TEST(Pairs, EveryRuleCanStartAParse) {
  check_trees({
      {Rule::QUOTE, "\"", ""},
      {Rule::head_end, ";c\n", ""},
      {Rule::WHITESPACE, "\t", ""},
      {Rule::expression, "1+A xyz", ("(expression " + val("1") + " (op_add \"+\") " + var("A") + ")").c_str()},
      {Rule::value_none, "", "(value_none \"\")"},
      {Rule::EOI, "", "(EOI \"\")"},
      {Rule::integer, "-12", "(integer \"-12\")"},
  });
  for (std::size_t i = 0; i < kRuleCount; ++i) (void)NCParser::parse(static_cast<Rule>(i), "X1 ;c\n");
}

namespace {
struct FailureCase {
  Rule rule;
  const char* text;
  std::size_t pos;
  std::vector<Rule> positives;
  std::vector<Rule> negatives;
};
}  // namespace

TEST(Failures, FurthestPositionAndRecordedRules) {
  const std::vector<FailureCase> cases = {
      // `value` is recorded twice at the furthest position; lists are sorted
      {Rule::single_line, "X-", 1, {Rule::EOI, Rule::comment, Rule::statement, Rule::value}, {}},
      // a rule whose sub-rules recorded exactly one attempt is replaced by it
      {Rule::block_number, "x", 0, {Rule::integer}, {}},
      {Rule::condition, "", 0, {Rule::expression}, {}},
      {Rule::single_line, "R1=A+", 5, {Rule::neg, Rule::not_op, Rule::primary}, {}},
      // every operator that could continue the expression is expected
      {Rule::single_line, "R1=2 3", 5,
       {Rule::EOI, Rule::comment, Rule::relational_operator, Rule::statement, Rule::op_add,
        Rule::op_sub, Rule::op_mul, Rule::op_div, Rule::op_int_div, Rule::op_mod, Rule::op_b_and,
        Rule::op_b_xor, Rule::op_b_or, Rule::op_and, Rule::op_xor, Rule::op_or},
       {}},
      {Rule::file, "LOOP X10\nENDLOOP", 5, {Rule::comment}, {}},
      // a keyword matched inside the closing-keyword guard is unexpected
      {Rule::file, "IF R1\nENDIF ENDIF", 12, {}, {Rule::body_end_kw}},
      {Rule::file, "LBL: WHILE R1<3\nENDWHILE", 5, {}, {Rule::structure_head_kw}},
  };
  for (const auto& c : cases) {
    auto r = NCParser::parse(c.rule, c.text);
    ASSERT_FALSE(r) << c.text;
    const ParseFailure& f = r.error();
    EXPECT_FALSE(f.custom);
    EXPECT_EQ(f.pos, c.pos) << c.text;
    EXPECT_EQ(f.positives, c.positives) << c.text << "\n" << f.display;
    EXPECT_EQ(f.negatives, c.negatives) << c.text << "\n" << f.display;
  }
}

TEST(Failures, PositionLineTextAndDisplay) {
  // columns count characters; on a line end the line ends are shown
  auto f = NCParser::parse(Rule::file, "X1\nS=\"\xC3\xA4\" R1=A+\nX2").error();
  EXPECT_EQ(f.pos, 15u);
  EXPECT_EQ(f.line, 2u);
  EXPECT_EQ(f.column, 12u);
  EXPECT_EQ(f.line_text, "S=\"\xC3\xA4\" R1=A+\u240A");
  EXPECT_EQ(f.display, " --> 2:12\n  |\n2 | S=\"\xC3\xA4\" R1=A+\u240A\n  |            ^---\n  |\n"
                       "  = expected neg, not_op, or primary");
  // elsewhere line ends are removed
  f = NCParser::parse(Rule::file, "X1\nR1=)\r\nX2").error();
  EXPECT_EQ(f.line_text, "R1=)");

  f = NCParser::parse(Rule::single_line, "X1 Y\r\n").error();
  EXPECT_EQ(f.pos, 4u);
  EXPECT_EQ(f.column, 5u);
  EXPECT_EQ(f.line_text, "X1 Y\u240D\u240A");
  f = NCParser::parse(Rule::single_line, "X1\rY").error();
  EXPECT_EQ(f.line_text, "X1\u240DY");
  EXPECT_NE(f.display.find("1:3"), std::string::npos);

  f = NCParser::parse(Rule::file, "IF R1\nENDIF ENDIF").error();
  EXPECT_EQ(f.display.substr(f.display.rfind('=')), "= unexpected body_end_kw");
  EXPECT_EQ(f.line_text, "ENDIF ENDIF");
}

namespace {
struct DeepJob {
  std::string text;
  Rule rule = Rule::file;
  bool parsed = true;
  ParseFailure failure;
};

void* run_deep(void* arg) {
  auto* job = static_cast<DeepJob*>(arg);
  auto r = NCParser::parse(job->rule, job->text);
  job->parsed = r.has_value();
  if (!r) job->failure = r.error();
  return nullptr;
}

// Parses on a thread with a 2 MiB stack, as the interpreter's worker has.
void parse_on_small_stack(DeepJob& job) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 2u << 20), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, run_deep, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}
}  // namespace

TEST(Nesting, DeepInputFailsCleanlyOnAWorkerStack) {
  const std::vector<std::string> deep = {
      "X=" + repeat("(", 100000) + "1" + repeat(")", 100000),
      "X=" + repeat("(", 100000),
      "X=" + repeat("F(", 50000) + "1" + repeat(")", 50000),
      "X=" + repeat("A[", 50000) + "1" + repeat("]", 50000),
      repeat("IF R1>1\n", 20000) + repeat("ENDIF\n", 20000),
      repeat("WHILE R1\n", 20000),
  };
  for (const auto& text : deep) {
    DeepJob job{text, Rule::file, true, {}};
    parse_on_small_stack(job);
    EXPECT_FALSE(job.parsed);
    EXPECT_TRUE(job.failure.custom);
    EXPECT_EQ(job.failure.custom_message.rfind(
                  "nesting too deep: more than " + std::to_string(kMaxNesting) + " nested levels", 0),
              0u)
        << job.failure.custom_message;
    EXPECT_NE(job.failure.display.find(job.failure.custom_message), std::string::npos);
  }
}

// One bound, in levels of nesting, whether a line is parsed with its program
// or alone: kMaxNesting levels parse, one more fails with the message that
// names the bound.
TEST(Nesting, OneBoundForProgramsAndLines) {
  // each form nested k levels deep, the most stack-hungry ones included
  const std::vector<std::function<std::string(std::size_t)>> forms = {
      [](std::size_t k) { return "X=" + repeat("(", k) + "1" + repeat(")", k); },
      [](std::size_t k) { return "X=" + repeat("F(\"a\"<<", k) + "1" + repeat(")", k); },
      [](std::size_t k) { return "X=" + repeat("A[", k) + "1" + repeat("]", k); },
      [](std::size_t k) { return "N1 X1 Y=" + repeat("SIN(", k) + "1" + repeat(")", k) + " ;c"; },
  };
  const std::string bound = "nesting too deep: more than " + std::to_string(kMaxNesting) + " nested levels";
  for (const auto& form : forms) {
    for (const Rule rule : {Rule::file, Rule::single_line, Rule::sparse_lines}) {
      for (const std::size_t k : {std::size_t{kMaxNesting}, std::size_t{kMaxNesting} + 1}) {
        DeepJob job{form(k) + (rule == Rule::sparse_lines ? "\n" : ""), rule, true, {}};
        parse_on_small_stack(job);
        SCOPED_TRACE(rule_name(rule));
        SCOPED_TRACE(job.text.substr(0, 40) + " ... " + std::to_string(k) + " levels");
        EXPECT_EQ(job.parsed, k == kMaxNesting) << job.failure.display.substr(0, 200);
        if (!job.parsed) {
          EXPECT_EQ(job.failure.custom_message.rfind(bound, 0), 0u);
        }
      }
    }
  }
  // structure bodies, in whole programs
  for (const std::size_t k : {std::size_t{kMaxNesting}, std::size_t{kMaxNesting} + 1}) {
    DeepJob job{repeat("WHILE R1\n", k) + "X=R1+1\n" + repeat("ENDWHILE\n", k), Rule::file, true, {}};
    parse_on_small_stack(job);
    EXPECT_EQ(job.parsed, k == kMaxNesting) << k;
  }
}

TEST(Bytes, AnyByteSequenceIsHandled) {
  // invalid UTF-8, NUL bytes and lone continuation bytes
  const std::string texts[] = {
      std::string("X1 ;\xFF\xFE\x80\n\xC3"), std::string("\x80\x80\x80"), std::string("X1\0Y2", 5),
      std::string("S=\"\xF0\x9F\""),          std::string("\xE2\x82"),     std::string(";\xC0"),
  };
  for (const auto& t : texts) {
    for (Rule rule : {Rule::file, Rule::single_line, Rule::sparse_lines}) {
      auto r = NCParser::parse(rule, t);
      if (r) {
        (void)dump(*r);
      } else {
        EXPECT_LE(r.error().pos, t.size());
        EXPECT_GE(r.error().column, 1u);
      }
    }
  }
  auto r = NCParser::parse(Rule::file, std::string("X1 ;\xFF\xFE\n"));
  ASSERT_TRUE(r);  // a comment takes any bytes up to the line end
  auto f = NCParser::parse(Rule::file, std::string("\xFF\xFE X")).error();
  EXPECT_EQ(f.pos, 0u);
  EXPECT_EQ(f.column, 1u);
  const LineIndex lines("\x80\x80" "A");
  EXPECT_EQ(lines.line_col("\x80\x80" "A", 2), std::make_pair(std::size_t(1), std::size_t(1)));
  EXPECT_EQ(lines.line_col("\x80\x80" "A", 99).first, 1u);
}

TEST(Pairs, LargeTextsKeepEveryToken) {
  // the token list moves from the heap to its own pages and then grows in place
  for (const auto& [unit, lines] : {std::pair<std::string, std::size_t>{"A=B\n", 15000},
                                    std::pair<std::string, std::size_t>{"X1\n", 350000}}) {
    const std::string text = repeat(unit, lines);
    auto r = NCParser::parse(Rule::file, text);
    ASSERT_TRUE(r);
    const Pair blocks = *r->peek()->into_inner().peek();
    EXPECT_EQ(blocks.into_inner().count(), lines + 1);
    std::optional<Pair> last;
    for (const Pair& b : blocks.into_inner())
      if (!b.into_inner().empty()) last = b;
    ASSERT_TRUE(last);
    EXPECT_EQ(last->line_col(), std::make_pair(lines, std::size_t(1)));
    EXPECT_EQ(last->as_str(), unit.substr(0, unit.size() - 1));
  }
}

// PEGTL's analysis of the grammar from every rule a parse starts at: no
// repetition can go round without consuming input, and no rule reaches itself
// again at the same position (which would recurse without end).
template <typename R>
std::size_t grammar_problems() {
  return tao::pegtl::analyze<R>(1);  // problems are printed with the rules involved
}

TEST(Grammar, AnalysisFindsNoProblems) {
  namespace g = kelvane::types::grammar::g;
  struct Case { const char* rule; std::size_t (*problems)(); };
  const Case cases[] = {
      {"file", grammar_problems<g::file>},
      {"single_line", grammar_problems<g::single_line>},
      {"sparse_lines", grammar_problems<g::sparse_lines>},
      {"blocks", grammar_problems<g::blocks>},
  };
  for (const Case& c : cases) EXPECT_EQ(c.problems(), 0u) << c.rule;
}

// A program parsed in parts gives the tree of the parse in one piece, token
// for token, wherever it is cut: between structures the parts are joined,
// elsewhere (inside a structure, inside a text in quotes that runs over a
// line end, behind a broken line) the text is parsed in one piece.
TEST(Parts, AnyCutGivesTheTreeOfTheWholeParse) {
  auto in_order = [](std::size_t n, const std::function<void(std::size_t)>& job) {
    for (std::size_t k = n; k-- > 0;) job(k);  // the last part first: no order is assumed
  };
  auto tokens_of = [](const ParseResult& r) {
    std::string out;
    if (!r) return "error: " + r.error().display;
    for (const NodeToken& t : r->peek()->tree()->tokens)
      out += std::to_string(static_cast<int>(t.rule)) + "@" + std::to_string(t.pos) + "-" +
             std::to_string(t.end) + ">" + std::to_string(t.next) + " ";
    return out;
  };
  const std::vector<std::string> programs = {
      "  X1\nWHILE R1<2\nR1=R1+1\nENDWHILE\nY2\nIF R1==2\nZ1\nELSE\nZ2\nENDIF ;c\n  \nX3",
      "X1\r\nLOOP\r\nX2\r\nENDLOOP\r\nY1\r\n",
      "WHILE 1\nMSG(\"a\nb\")\nENDWHILE\nMSG(\"c\nENDWHILE\nd\")\nX1\n",
      "X1\nWHILE 1\nX2\nENDWHILE\nY=(\nZ1\n",
      "N10 X1\nFOR R1=1 TO 2\nX=R1\nENDFOR\nREPEAT\nY1\nUNTIL R1>1\n\n",
      "IF 1\nX1\nENDIF\nENDIF\nX2\n",
  };
  for (const std::string& program : programs) {
    const std::string whole = tokens_of(NCParser::parse(Rule::file, program));
    std::vector<std::size_t> every;
    for (std::size_t i = 0; i < program.size(); ++i)
      if (program[i] == '\n') every.push_back(i);
    for (std::size_t cut : every) {
      const std::size_t one[] = {cut};
      EXPECT_EQ(tokens_of(NCParser::parse_file(program, nullptr, one, in_order)), whole)
          << program << "\ncut at " << cut;
    }
    EXPECT_EQ(tokens_of(NCParser::parse_file(program, nullptr, every, in_order)), whole) << program;
  }
}
