#pragma once
// The NC grammar: one struct per rule of the rule list (rules.def), in the
// namespace g, and the characters each rule can start with.
#include <string_view>

#include "grammar_engine.hpp"

namespace kelvane::types::grammar {

// --- building blocks -------------------------------------------------------

using digit = pg::ascii::digit;
using alpha = pg::ascii::alpha;
using alnum = pg::ascii::alnum;
using word_char = pg::sor<alnum, pg::one<'_'>>;
using boundary = pg::not_at<word_char>;
template <char... Cs>
using lit = pg::string<Cs...>;
template <char... Cs>
using ilit = pg::istring<Cs...>;

namespace g {
#define RULE(name, description) struct name;
#include "rules.def"
#undef RULE
}  // namespace g

// Start characters (see first_chars).
#define K_FIRST(name, rule, ...)                             \
  template <>                                                \
  struct first_chars<g::name> {                              \
    static constexpr bool known = true;                      \
    static constexpr std::string_view chars = __VA_ARGS__;   \
    [[maybe_unused]] static constexpr Rule record = Rule::rule; \
  }
#define kLetters "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
#define kAxisLetters "XxYyZzAaBbCcUuVvWwIiJjKkTtSsFfDdHhEe"
#define kNumberStart "-0123456789"
#define kPrimaryStart "$_(" kLetters kNumberStart
#define kExpressionStart " \t" kPrimaryStart
// rules that begin with a literal, and atomic rules: they record themselves
K_FIRST(nc_variable, nc_variable, "$");
K_FIRST(m_command, m_command, "Mm");
K_FIRST(tool_selection, tool_selection, "Tt");
K_FIRST(definition, definition, "Dd");
K_FIRST(g_command_numbered, g_command_numbered, "G");
K_FIRST(axis_increment, axis_increment, "Ii");
K_FIRST(value_array, value_array, "S");
K_FIRST(value_repeating, value_repeating, "R");
K_FIRST(if_statement, if_statement, "Ii");
K_FIRST(if_goto_statement, if_goto_statement, "Ii");
K_FIRST(loop_statement, loop_statement, "Ll");
K_FIRST(for_statement, for_statement, "Ff");
K_FIRST(while_statement, while_statement, "Ww");
K_FIRST(repeat_until_statement, repeat_until_statement, "Rr");
K_FIRST(op_add, op_add, "+");
K_FIRST(op_sub, op_sub, "-");
K_FIRST(op_mul, op_mul, "*");
K_FIRST(op_div, op_div, "/");
K_FIRST(op_int_div, op_int_div, "Dd");
K_FIRST(op_mod, op_mod, "Mm");
K_FIRST(op_b_and, op_b_and, "Bb");
K_FIRST(op_b_xor, op_b_xor, "Bb");
K_FIRST(op_b_or, op_b_or, "Bb");
K_FIRST(op_and, op_and, "Aa");
K_FIRST(op_xor, op_xor, "Xx");
K_FIRST(op_or, op_or, "Oo");
K_FIRST(relational_operator, relational_operator, "<>=");
K_FIRST(neg, neg, "-");
K_FIRST(not_op, not_op, "Nn");
K_FIRST(comment, comment, ";");
K_FIRST(identifier, identifier, kLetters "_");
K_FIRST(label_name, label_name, kLetters "_");
K_FIRST(arith_fun_name, arith_fun_name, kLetters);
K_FIRST(variable_single_char, variable_single_char, kAxisLetters);
K_FIRST(value, value, kNumberStart);
K_FIRST(float_, float_, kNumberStart);
K_FIRST(integer, integer, kNumberStart);
K_FIRST(g_command, g_command, "Gg");
K_FIRST(gotos_statement, gotos_statement, "Gg");
K_FIRST(goto_kw, goto_kw, "Gg");
K_FIRST(case_kw, case_kw, "Cc");
K_FIRST(of_kw, of_kw, "Oo");
K_FIRST(default_kw, default_kw, "Dd");
K_FIRST(block_if_kw, block_if_kw, "Ii");
K_FIRST(structure_head_kw, structure_head_kw, "WwFfLlRr");
K_FIRST(body_end_kw, body_end_kw, "EeUu");
K_FIRST(frame_kw, frame_kw, "AaCcMmRrSsTt");
K_FIRST(string_value, string_value, "\"");
K_FIRST(block_number_set, block_number_set, "N");
K_FIRST(newline, newline, "\n\r");
// choices whose alternatives all fail at the first character recording two
// or more attempts, which the rule replaces by itself
K_FIRST(variable, variable, "$_" kLetters);
K_FIRST(variable_array, variable_array, "$_" kLetters);
K_FIRST(goto_target, goto_target, "_" kLetters kNumberStart);
K_FIRST(primary, primary, kPrimaryStart);
K_FIRST(assignment, assignment, "$_" kLetters);
K_FIRST(statement, statement, "$_" kLetters);
K_FIRST(control, control, "GgCcIiLlFfWwRr");
// an expression may begin with blanks, which its empty prefix list leaves
// to the implicit whitespace before the primary
K_FIRST(expression, expression, kExpressionStart);
K_FIRST(concat_operand, concat_operand, kExpressionStart "\"");
// rules whose first element fails recording one attempt, which stands for them
K_FIRST(axis_word, variable_single_char, kAxisLetters);
K_FIRST(frame_op, frame_kw, "AaCcMmRrSsTt");
K_FIRST(case_statement, case_kw, "Cc");
K_FIRST(goto_statement, goto_kw, "Gg");
K_FIRST(case_default, default_kw, "Dd");
K_FIRST(case_arm, value, kNumberStart);
K_FIRST(arith_fun, arith_fun_name, kLetters);
K_FIRST(block_number, integer, kNumberStart);
K_FIRST(assignment_multi, variable_array, "$_" kLetters);
K_FIRST(non_returning_function_call, identifier, kLetters "_");
K_FIRST(condition, expression, kExpressionStart);
K_FIRST(indices, expression, kExpressionStart);
K_FIRST(string_expression, concat_operand, kExpressionStart "\"<");
#undef kExpressionStart
#undef kPrimaryStart
#undef kNumberStart
#undef kAxisLetters
#undef kLetters
#undef K_FIRST

// A line of a block list that the parse's skimmer takes: one `block` node
// with its block number's node and no other, ending where the block rule ends
// on such a line (at the line end, before the "\r" of "\r\n"). It fails, and
// records nothing, where the skimmer does not take the line.
//
// While the skimmer is on, a line that begins with a keyword that ends a
// structure body (ELSE, ENDIF, ENDWHILE, ENDFOR, ENDLOOP, UNTIL) gets the
// empty block the block rule matches there, without the attempts.
struct skimmed_block {
  using rule_t = skimmed_block;
  using subs_t = pg::empty_list;

  // Whether [p, end) begins with a body-end keyword in any letter case that
  // is a whole word and no jump label ("ELSE:").
  static bool at_body_end(const char* p, const char* end) {
    auto word_is = [&](std::string_view w) {
      if (static_cast<std::size_t>(end - p) < w.size()) return false;
      for (std::size_t i = 0; i < w.size(); ++i)
        if ((p[i] & ~0x20) != w[i]) return false;
      if (static_cast<std::size_t>(end - p) == w.size()) return true;
      const char c = p[w.size()];
      return !(identifier_body::is_word(c) || c == ':');
    };
    switch (*p & ~0x20) {
      case 'E':
        return word_is("ELSE") || word_is("ENDIF") || word_is("ENDWHILE") || word_is("ENDFOR") ||
               word_is("ENDLOOP");
      case 'U': return word_is("UNTIL");
      default: return false;
    }
  }

  template <pg::apply_mode A, pg::rewind_mode M, template <typename...> class Action,
            template <typename...> class Control, typename ParseInput>
  static bool match(ParseInput& in, PState& st) {
    if (st.skim == nullptr || st.lookahead != Lookahead::None ||
        st.atomicity != Atomicity::NonAtomic || st.abort != Abort::None)
      return false;
    const char* const p = in.current();
    const char* const end = in.end();
    if (p < end && at_body_end(p, end) && st.tokens.size() + 1 < limits::kMaxParseTokens) {
      st.tokens.emplace_back(offset(in, st), Rule::block);
      st.tokens[st.tokens.size() - 1].next = static_cast<std::uint32_t>(st.tokens.size());
      return true;
    }
    const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* stop = hit ? static_cast<const char*>(hit) : end;
    if (hit && stop > p && stop[-1] == '\r') --stop;
    const auto n = static_cast<std::size_t>(stop - p);
    if (n == 0 || std::memchr(p, '\r', n) != nullptr) return false;
    if (st.tokens.size() + 2 >= limits::kMaxParseTokens) return false;
    if (!st.skim(std::string_view(p, n))) return false;
    const std::size_t index = st.tokens.size();
    st.tokens.emplace_back(offset(in, st), Rule::block);
    (void)Control<g::block_number_set>::template match<A, pg::rewind_mode::required, Action,
                                                      Control>(in, st);
    in.iterator() = stop;
    NodeToken& node = st.tokens[index];
    node.end = static_cast<std::uint32_t>(offset(in, st));
    node.next = static_cast<std::uint32_t>(st.tokens.size());
    return true;
  }
};
using list_block = alt<skimmed_block, g::block>;
// The body of `blocks`: a program's parts are parsed with it on their own.
using blocks_body = wseq<list_block, wstar<wseq<g::newline, list_block>>>;

namespace g {

#define K_RULE(name, kind, ...) \
  struct name : def<Rule::name, Kind::kind, __VA_ARGS__> {}
#define K_NESTING_RULE(name, kind, ...) \
  struct name : def<Rule::name, Kind::kind, __VA_ARGS__, true> {}

K_RULE(EOI, Normal, pg::eof);
K_RULE(file, Normal, wseq<pg::bof, blocks, opt_<newline>, EOI>);
K_RULE(single_line, Normal, wseq<pg::bof, block, EOI>);
K_RULE(sparse_lines, Normal,
       wseq<pg::bof, wstar<newline>, wstar<wseq<block, wplus<newline>>>, EOI>);
K_NESTING_RULE(blocks, Normal, blocks_body);
K_RULE(newline, Silent, alt<lit<'\n'>, lit<'\r', '\n'>>);
K_RULE(WHITESPACE, Silent, pg::one<' ', '\t'>);
K_RULE(QUOTE, Silent, lit<'"'>);
K_RULE(comment, Atomic, pg::seq<pg::one<';'>, until_line_end>);
K_RULE(block, Normal,
       wseq<opt_<block_number_set>, opt_<wseq<label_def, neg_la<structure_line_kw>>>,
            opt_<wseq<alt<definition, frame_op, wplus<statement>, control>, neg_la<body_end_kw>>>,
            opt_<comment>>);
K_RULE(structure_line_kw, Silent,
       alt<body_end_kw, structure_head_kw,
           wseq<block_if_kw, condition, opt_<comment>, alt<newline, EOI>>>);
K_RULE(structure_head_kw, Atomic,
       pg::seq<pg::sor<ilit<'W', 'H', 'I', 'L', 'E'>, ilit<'F', 'O', 'R'>, ilit<'L', 'O', 'O', 'P'>,
                       ilit<'R', 'E', 'P', 'E', 'A', 'T'>>,
               boundary>);
K_RULE(block_if_kw, Atomic, pg::seq<ilit<'I', 'F'>, boundary>);
K_RULE(body_end_kw, Atomic,
       pg::seq<pg::sor<ilit<'E', 'L', 'S', 'E'>, ilit<'E', 'N', 'D', 'I', 'F'>,
                       ilit<'E', 'N', 'D', 'W', 'H', 'I', 'L', 'E'>, ilit<'E', 'N', 'D', 'F', 'O', 'R'>,
                       ilit<'E', 'N', 'D', 'L', 'O', 'O', 'P'>, ilit<'U', 'N', 'T', 'I', 'L'>>,
               boundary>);
K_RULE(head_end, Silent, pos_la<wseq<opt_<comment>, newline>>);
K_RULE(block_number_set, Silent, wseq<lit<'N'>, block_number>);
K_RULE(control, Normal,
       alt<gotos_statement, goto_statement, case_statement, wplus<if_goto_statement>,
           if_statement, loop_statement, for_statement, while_statement, repeat_until_statement>);
K_RULE(label_def, CompoundAtomic, pg::seq<label_name, pg::one<':'>>);
K_RULE(label_name, Atomic,
       pg::seq<pg::sor<alpha, pg::one<'_'>>, pg::sor<alpha, pg::one<'_'>>,
               pg::rep_opt<30, word_char>>);
K_RULE(goto_statement, Normal, wseq<goto_kw, goto_target>);
K_RULE(goto_kw, Atomic,
       pg::seq<pg::sor<ilit<'G', 'O', 'T', 'O', 'C'>, ilit<'G', 'O', 'T', 'O', 'F'>,
                       ilit<'G', 'O', 'T', 'O', 'B'>, ilit<'G', 'O', 'T', 'O'>>,
               boundary>);
K_RULE(gotos_statement, Atomic, pg::seq<ilit<'G', 'O', 'T', 'O', 'S'>, boundary>);
K_RULE(goto_target, Normal, alt<identifier, block_number>);
K_RULE(if_goto_statement, Normal, wseq<ilit<'I', 'F'>, condition, goto_statement>);
K_RULE(case_statement, Normal,
       wseq<case_kw, expression, of_kw, wplus<case_arm>, opt_<case_default>>);
K_RULE(case_kw, Atomic, pg::seq<ilit<'C', 'A', 'S', 'E'>, boundary>);
K_RULE(of_kw, Atomic, pg::seq<ilit<'O', 'F'>, boundary>);
K_RULE(case_arm, Normal, wseq<value, goto_statement>);
K_RULE(case_default, Normal, wseq<default_kw, goto_statement>);
K_RULE(default_kw, Atomic, pg::seq<ilit<'D', 'E', 'F', 'A', 'U', 'L', 'T'>, boundary>);
K_RULE(if_statement, Normal,
       wseq<ilit<'I', 'F'>, condition, opt_<comment>, newline, blocks,
            opt_<wseq<ilit<'E', 'L', 'S', 'E'>, head_end, blocks>>, ilit<'E', 'N', 'D', 'I', 'F'>>);
K_RULE(loop_statement, Normal,
       wseq<ilit<'L', 'O', 'O', 'P'>, head_end, blocks, ilit<'E', 'N', 'D', 'L', 'O', 'O', 'P'>>);
K_RULE(for_statement, Normal,
       wseq<ilit<'F', 'O', 'R'>, assignment, ilit<'T', 'O'>, expression, head_end, blocks,
            ilit<'E', 'N', 'D', 'F', 'O', 'R'>>);
K_RULE(while_statement, Normal,
       wseq<ilit<'W', 'H', 'I', 'L', 'E'>, condition, head_end, blocks,
            ilit<'E', 'N', 'D', 'W', 'H', 'I', 'L', 'E'>>);
K_RULE(repeat_until_statement, Normal,
       wseq<ilit<'R', 'E', 'P', 'E', 'A', 'T'>, head_end, blocks, ilit<'U', 'N', 'T', 'I', 'L'>,
            condition>);
K_RULE(block_number, Normal, integer);
K_RULE(condition, Normal, expression);
K_RULE(relational_operator, Normal,
       alt<lit<'<', '='>, lit<'>', '='>, lit<'=', '='>, lit<'<', '>'>, lit<'<'>, lit<'>'>>);
K_RULE(statement, Normal,
       alt<axis_word, g_command_numbered, m_command, tool_selection, assignment_multi, assignment,
           g_command, non_returning_function_call>);
K_RULE(axis_word, Normal, wseq<variable_single_char, value, neg_la<lit<'['>>>);
using def_item = alt<assignment_multi, assignment, variable_array, variable>;
K_RULE(definition, Normal,
       wseq<ilit<'D', 'E', 'F'>, data_type, def_item, wstar<wseq<lit<','>, def_item>>>);
K_RULE(data_type, Normal,
       alt<ilit<'I', 'N', 'T'>, ilit<'R', 'E', 'A', 'L'>, ilit<'B', 'O', 'O', 'L'>,
           wseq<ilit<'S', 'T', 'R', 'I', 'N', 'G'>, lit<'['>, wplus<digit>, lit<']'>>>);
K_NESTING_RULE(expression, Normal,
               wseq<wstar<prefix>, primary, wstar<wseq<op, wstar<prefix>, primary>>>);
K_RULE(reserved, Silent,
       alt<ilit<'I', 'F'>, ilit<'E', 'L', 'S', 'E'>, ilit<'E', 'N', 'D', 'I', 'F'>,
           ilit<'G', 'O', 'T', 'O', 'B'>, ilit<'G', 'O', 'T', 'O', 'F'>, ilit<'G', 'O', 'T', 'O', 'C'>,
           ilit<'G', 'O', 'T', 'O', 'S'>, ilit<'G', 'O', 'T', 'O'>, ilit<'C', 'A', 'S', 'E'>,
           ilit<'O', 'F'>, ilit<'D', 'E', 'F', 'A', 'U', 'L', 'T'>, ilit<'L', 'O', 'O', 'P'>,
           ilit<'F', 'O', 'R'>, ilit<'W', 'H', 'I', 'L', 'E'>, ilit<'R', 'E', 'P', 'E', 'A', 'T'>,
           ilit<'L', 'A', 'B', 'E', 'L'>, ilit<'T', 'O'>, ilit<'U', 'N', 'T', 'I', 'L'>,
           ilit<'E', 'N', 'D', 'W', 'H', 'I', 'L', 'E'>, ilit<'E', 'N', 'D', 'F', 'O', 'R'>,
           ilit<'E', 'N', 'D', 'L', 'O', 'O', 'P'>>);
K_RULE(identifier, Atomic, identifier_body);
K_RULE(variable, Normal, alt<nc_variable, identifier>);
K_RULE(variable_single_char, Atomic,
       pg::one<'X', 'x', 'Y', 'y', 'Z', 'z', 'A', 'a', 'B', 'b', 'C', 'c', 'U', 'u', 'V', 'v', 'W',
               'w', 'I', 'i', 'J', 'j', 'K', 'k', 'T', 't', 'S', 's', 'F', 'f', 'D', 'd', 'H', 'h',
               'E', 'e'>);
K_RULE(variable_array, Normal, wseq<alt<nc_variable, identifier>, lit<'['>, indices, lit<']'>>);
K_RULE(indices, Normal, wseq<expression, wstar<wseq<lit<','>, expression>>>);
K_RULE(assignment, Normal,
       alt<wseq<variable_single_char, value>,
           wseq<variable, lit<'='>, alt<axis_increment, string_expression>>,
           wseq<variable_array, lit<'='>, string_expression>>);
K_RULE(axis_increment, Normal, wseq<ilit<'I', 'C'>, lit<'('>, expression, lit<')'>>);
K_RULE(string_value, CompoundAtomic, pg::seq<lit<'"'>, string, lit<'"'>>);
K_RULE(string_expression, Normal,
       alt<wseq<concat_operand, wstar<wseq<lit<'<', '<'>, concat_operand>>>,
           wplus<wseq<lit<'<', '<'>, concat_operand>>>);
K_RULE(concat_operand, Normal, alt<string_value, expression>);
K_RULE(assignment_multi, Normal,
       wseq<variable_array, lit<'='>, alt<value_array, value_repeating>>);
using set_item = alt<expression, value_none>;
K_RULE(value_array, Normal,
       wseq<lit<'S', 'E', 'T'>, lit<'('>, set_item, wstar<wseq<lit<','>, set_item>>, lit<')'>>);
K_RULE(value_repeating, Normal,
       wseq<lit<'R', 'E', 'P'>, lit<'('>, expression, opt_<wseq<lit<','>, expression>>, lit<')'>>);
K_RULE(value_none, Normal, pg::success);
K_RULE(value, Atomic, pg::sor<float_, integer>);
K_RULE(op, Silent,
       alt<op_add, op_sub, op_mul, op_div, op_int_div, op_mod, op_b_and, op_b_xor, op_b_or, op_and,
           op_xor, op_or, relational_operator>);
K_RULE(op_add, Normal, lit<'+'>);
K_RULE(op_sub, Normal, lit<'-'>);
K_RULE(op_mul, Normal, lit<'*'>);
K_RULE(op_div, Normal, lit<'/'>);
K_RULE(op_int_div, Atomic, pg::seq<ilit<'D', 'I', 'V'>, boundary>);
K_RULE(op_mod, Atomic, pg::seq<ilit<'M', 'O', 'D'>, boundary>);
K_RULE(op_b_and, Atomic, pg::seq<ilit<'B', '_', 'A', 'N', 'D'>, boundary>);
K_RULE(op_b_xor, Atomic, pg::seq<ilit<'B', '_', 'X', 'O', 'R'>, boundary>);
K_RULE(op_b_or, Atomic, pg::seq<ilit<'B', '_', 'O', 'R'>, boundary>);
K_RULE(op_and, Atomic, pg::seq<ilit<'A', 'N', 'D'>, boundary>);
K_RULE(op_xor, Atomic, pg::seq<ilit<'X', 'O', 'R'>, boundary>);
K_RULE(op_or, Atomic, pg::seq<ilit<'O', 'R'>, boundary>);
K_RULE(prefix, Silent, alt<neg, not_op>);
K_RULE(neg, Normal, lit<'-'>);
K_RULE(not_op, Atomic, pg::seq<ilit<'N', 'O', 'T'>, boundary>);
K_RULE(primary, Normal,
       alt<arith_fun, value, variable_array, variable, wseq<lit<'('>, expression, lit<')'>>>);
K_RULE(float_, Atomic,
       pg::seq<pg::opt<pg::one<'-'>>, pg::plus<digit>, pg::one<'.'>, pg::star<digit>,
               pg::not_at<alpha>>);
K_RULE(integer, Atomic, pg::seq<pg::opt<pg::one<'-'>>, pg::plus<digit>, pg::not_at<alpha>>);
K_RULE(arith_fun, Normal, wseq<arith_fun_name, lit<'('>, function_arguments, lit<')'>>);
K_RULE(arith_fun_name, Atomic, pg::seq<alpha, pg::star<word_char>>);
K_RULE(tool_selection, Normal, wseq<ilit<'T'>, lit<'='>, string_value>);
K_RULE(frame_op, Normal, wseq<frame_kw, wstar<assignment>>);
K_RULE(frame_kw, Atomic,
       pg::seq<pg::sor<ilit<'A', 'M', 'I', 'R', 'R', 'O', 'R'>, ilit<'A', 'R', 'O', 'T', 'S'>,
                       ilit<'A', 'R', 'O', 'T'>, ilit<'A', 'S', 'C', 'A', 'L', 'E'>,
                       ilit<'A', 'T', 'R', 'A', 'N', 'S'>, ilit<'C', 'R', 'O', 'T', 'S'>,
                       ilit<'M', 'I', 'R', 'R', 'O', 'R'>, ilit<'R', 'O', 'T', 'S'>,
                       ilit<'R', 'O', 'T'>, ilit<'S', 'C', 'A', 'L', 'E'>,
                       ilit<'T', 'R', 'A', 'N', 'S'>>,
               boundary>);
K_RULE(non_returning_function_call, Normal,
       wseq<identifier, opt_<wseq<lit<'('>, opt_<function_arguments>, lit<')'>>>>);
K_RULE(function_arguments, Normal,
       wseq<wstar<lit<','>>, function_argument,
            wstar<wseq<wplus<lit<','>>, function_argument>>>);
K_RULE(function_argument, Silent, string_expression);
K_RULE(string, Atomic, until_quote);
K_RULE(nc_variable, Normal, wseq<lit<'$'>, identifier>);
K_RULE(m_command, Normal, wseq<ilit<'M'>, wplus<digit>>);
K_RULE(g_command_numbered, Normal, wseq<pos_la<wseq<lit<'G'>, wplus<digit>>>, g_command>);
K_RULE(g_command, Atomic,
       pg::sor<pg::seq<ilit<'G', 'F', 'R', 'A', 'M', 'E'>, pg::one<'['>, pg::plus<digit>,
                       pg::one<']'>, boundary>,
               pg::seq<ilit<'G'>, pg::plus<digit>, boundary>>);

#undef K_RULE
#undef K_NESTING_RULE
}  // namespace g

}  // namespace kelvane::types::grammar

// a skimmed line holds at least one character
template <typename Name>
struct tao::pegtl::analyze_traits<Name, kelvane::types::grammar::skimmed_block>
    : analyze_any_traits<> {};
