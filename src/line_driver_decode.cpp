#include "line_driver_decode.hpp"

#include "interpret_rules.hpp"

#include <array>
#include <charconv>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>

#include "line_driver_scan.hpp"
#include "modal_groups.hpp"
#include "text.hpp"

namespace kelvane::line_driver {

// A number of more than 15 digits, read by the standard conversion.
[[gnu::noinline]] double convert_number(std::string_view text) {
  double v = 0.0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
  if (res.ec == std::errc::result_out_of_range) {
    // overflow reads as an infinity, underflow as zero
    std::string copy(text);
    v = std::strtod(copy.c_str(), nullptr);
  }
  return v;
}

namespace {

// The listed words are letters and "_" only: a name with a digit (R10) is
// none (the callers have seen that its last character is none).
[[gnu::noinline]] bool in_list(std::string_view word, std::span<const std::string_view> list) {
  for (char c : word)
    if (is_digit(c)) return false;
  for (std::string_view w : list)
    if (text::iequals(word, w)) return true;
  return false;
}

constexpr std::array<std::string_view, 21> kReserved{
    "IF",   "ELSE", "ENDIF", "GOTOB", "GOTOF",  "GOTOC", "GOTOS", "GOTO",  "CASE",     "OF",    "DEFAULT",
    "LOOP", "FOR",  "WHILE", "REPEAT", "LABEL", "TO",    "UNTIL", "ENDWHILE", "ENDFOR", "ENDLOOP"};
constexpr std::array<std::string_view, 8> kOperatorWords{"DIV", "MOD",  "AND",  "OR",
                                                         "XOR", "B_AND", "B_OR", "B_XOR"};
constexpr std::array<std::string_view, 11> kFrameKeywords{
    "TRANS", "ATRANS", "ROT", "AROT", "ROTS", "AROTS", "CROTS", "SCALE", "ASCALE", "MIRROR", "AMIRROR"};

// Bit n is set when a listed word has n letters: most names (X, R10, YP)
// are told apart by their length alone.
template <std::size_t N>
constexpr std::uint32_t word_lengths(const std::array<std::string_view, N>& list) {
  std::uint32_t mask = 0;
  for (std::string_view w : list) mask |= std::uint32_t{1} << w.size();
  return mask;
}
constexpr std::uint32_t kReservedLengths = word_lengths(kReserved);
constexpr std::uint32_t kOperatorLengths = word_lengths(kOperatorWords);
constexpr std::uint32_t kFrameLengths = word_lengths(kFrameKeywords);
// Whether a word may be one of a list: a length the list has, and a last
// character that is no digit. Most names are told apart here, inline.
inline bool may_be_listed(std::uint32_t lengths, std::string_view w) {
  return w.size() < 32 && (lengths >> w.size() & 1u) != 0 && !is_digit(w.back());
}

inline bool is_reserved(std::string_view w) {
  return may_be_listed(kReservedLengths, w) && in_list(w, kReserved);
}
inline bool is_operator_word(std::string_view w) {
  return may_be_listed(kOperatorLengths, w) && in_list(w, kOperatorWords);
}
inline bool is_frame_word(std::string_view w) {
  return may_be_listed(kFrameLengths, w) && in_list(w, kFrameKeywords);
}

// The address letters: the static one-letter name of an upper-case letter, or
// nothing for L, N, O, P, Q, R (G and M have their own forms).
constexpr std::string_view kLetterNames = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
std::optional<std::string_view> address_name(char upper) {
  switch (upper) {
    case 'X': case 'Y': case 'Z': case 'A': case 'B': case 'C': case 'U': case 'V': case 'W':
    case 'I': case 'J': case 'K': case 'T': case 'S': case 'F': case 'D': case 'H': case 'E':
      return kLetterNames.substr(static_cast<std::size_t>(upper - 'A'), 1);
    default:
      return std::nullopt;
  }
}

// The G-group of an identifier or G word (upper-cased on the stack first).
std::optional<modal_groups::GGroup> classify_upper(std::string_view text) {
  char buf[64];
  if (text.size() > sizeof buf) return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) buf[i] = text::ascii_upper(text[i]);
  return modal_groups::classify_g_command(std::string_view(buf, text.size()));
}

// An identifier inside a parenthesised product: identifier characters, not a
// reserved word (frame and operator words are allowed) and not NOT, which the
// grammar reads as the prefix operator there.
[[gnu::always_inline]] inline std::optional<std::string_view> product_identifier(
    std::string_view s, std::size_t& pos) {
  std::size_t q = pos;
  while (q < s.size() && is_ident(s[q])) ++q;
  if (q == pos) return std::nullopt;
  const std::string_view id = s.substr(pos, q - pos);
  if (!is_letter(id[0]) && id[0] != '_') return std::nullopt;
  if (is_reserved(id) || (id.size() == 3 && text::iequals(id, "NOT"))) return std::nullopt;
  pos = q;
  return id;
}

// Expressions of the assignment form: + - * / over numbers and variables
// with sign prefixes and parentheses, no functions. A variable is an
// identifier that is no reserved, operator or frame word and no NOT, not
// followed by "(" (a function) or "[" (an array element). One reading of
// the text serves both uses: a sink either computes the value as it goes
// (ExprReader: `read` gives a variable's value) or writes the steps down
// for later (ExprCompiler).
struct ExprReader {
  using Value = double;
  VariableReader read;
  void* context;
  std::size_t variables = 0;
  std::size_t operators = 0;

  Value number(double v) { return v; }
  std::optional<Value> variable(std::string_view id) {
    auto v = read(context, id);
    if (v) ++variables;
    return v;
  }
  Value negated(Value v) { return -v; }
  Value apply(char op, Value l, Value r) {
    ++operators;
    switch (op) {
      case '*': return l * r;
      case '/': return l / r;
      case '+': return l + r;
      default: return l - r;
    }
  }
};

struct ExprCompiler {
  struct Value {};
  ExprProgram& program;

  Value number(double v) {
    program.steps.push_back(ExprStep{ExprStep::Op::Number, v, {}});
    return {};
  }
  std::optional<Value> variable(std::string_view id) {
    program.steps.push_back(ExprStep{ExprStep::Op::Variable, 0.0, text::to_upper(id)});
    return Value{};
  }
  // the operand just written down is the one negated
  Value negated(Value v) {
    program.steps.push_back(ExprStep{ExprStep::Op::Negate, 0.0, {}});
    return v;
  }
  Value apply(char op, Value l, Value) {
    const ExprStep::Op o = op == '*'   ? ExprStep::Op::Mul
                           : op == '/' ? ExprStep::Op::Div
                           : op == '+' ? ExprStep::Op::Add
                                       : ExprStep::Op::Sub;
    program.steps.push_back(ExprStep{o, 0.0, {}});
    return l;
  }
};

template <typename Sink>
std::optional<typename Sink::Value> expr_sum(std::string_view s, std::size_t& pos, Sink& r,
                                             std::size_t depth = 0);

// Parentheses deeper than this are the grammar's, which bounds the nesting.
constexpr std::size_t kMaxParenDepth = 16;

template <typename Sink>
[[gnu::always_inline]] inline std::optional<typename Sink::Value> expr_factor(
    std::string_view s, std::size_t& pos, Sink& r, std::size_t depth) {
  bool negate = false;
  std::size_t p = pos;
  for (;;) {
    p = skip_blanks(s, p);
    if (p < s.size() && s[p] == '-' && !(p + 1 < s.size() && (is_digit(s[p + 1]) || s[p + 1] == '.'))) {
      negate = !negate;
      ++p;
      continue;
    }
    break;
  }
  std::optional<typename Sink::Value> v;
  if (p < s.size() && (is_letter(s[p]) || s[p] == '_')) {
    std::size_t q = p;
    auto id = product_identifier(s, q);
    if (!id || is_operator_word(*id) || is_frame_word(*id)) return std::nullopt;
    const std::size_t after = skip_blanks(s, q);
    if (after < s.size() && (s[after] == '(' || s[after] == '[')) return std::nullopt;
    v = r.variable(*id);
    if (!v) return std::nullopt;
    p = q;
  } else if (p < s.size() && s[p] == '(') {
    if (depth >= kMaxParenDepth) return std::nullopt;
    std::size_t q = p + 1;
    v = expr_sum(s, q, r, depth + 1);
    if (!v) return std::nullopt;
    q = skip_blanks(s, q);
    if (q >= s.size() || s[q] != ')') return std::nullopt;
    p = q + 1;
  } else {
    auto number = scan_number(s, p);
    if (!number) return std::nullopt;
    v = r.number(*number);
  }
  pos = p;
  return negate ? r.negated(*v) : *v;
}

template <typename Sink>
[[gnu::always_inline]] inline std::optional<typename Sink::Value> expr_term(
    std::string_view s, std::size_t& pos, Sink& r, std::size_t depth) {
  auto left = expr_factor(s, pos, r, depth);
  if (!left) return std::nullopt;
  typename Sink::Value v = *left;
  for (;;) {
    const std::size_t p = skip_blanks(s, pos);
    if (p >= s.size() || (s[p] != '*' && s[p] != '/')) break;
    std::size_t q = p + 1;
    auto right = expr_factor(s, q, r, depth);
    if (!right) return std::nullopt;
    v = r.apply(s[p], v, *right);
    pos = q;
  }
  return v;
}

template <typename Sink>
std::optional<typename Sink::Value> expr_sum(std::string_view s, std::size_t& pos, Sink& r,
                                             std::size_t depth) {
  auto left = expr_term(s, pos, r, depth);
  if (!left) return std::nullopt;
  typename Sink::Value v = *left;
  for (;;) {
    const std::size_t p = skip_blanks(s, pos);
    if (p >= s.size() || (s[p] != '+' && s[p] != '-')) break;
    std::size_t q = p + 1;
    auto right = expr_term(s, q, r, depth);
    if (!right) return std::nullopt;
    v = r.apply(s[p], v, *right);
    pos = q;
  }
  return v;
}

}  // namespace

std::optional<double> parse_number(std::string_view s, std::size_t& pos) {
  return scan_number(s, pos);
}

std::optional<ParenProduct> decode_paren_product(std::string_view s, std::size_t pos) {
  ParenProduct out;
  std::size_t p = skip_blanks(s, pos);
  if (p < s.size() && (is_letter(s[p]) || s[p] == '_')) {
    auto id = product_identifier(s, p);
    if (!id) return std::nullopt;
    p = skip_blanks(s, p);
    if (p >= s.size() || s[p] != '*') return std::nullopt;
    p = skip_blanks(s, p + 1);
    auto v = parse_number(s, p);
    if (!v) return std::nullopt;
    out.var = *id;
    out.factor = *v;
  } else {
    auto v = parse_number(s, p);
    if (!v) return std::nullopt;
    out.factor = *v;
    const std::size_t after = skip_blanks(s, p);
    if (after < s.size() && s[after] == '*') {
      p = skip_blanks(s, after + 1);
      auto id = product_identifier(s, p);
      if (!id) return std::nullopt;
      out.var = *id;
    }
  }
  p = skip_blanks(s, p);
  if (p >= s.size() || s[p] != ')') return std::nullopt;
  out.end = p + 1;
  return out;
}

bool is_frame_keyword(std::string_view text) { return is_frame_word(text); }

std::optional<double> evaluate_expr_text(std::string_view text, VariableReader read, void* context) {
  ExprReader r{read, context};
  std::size_t pos = 0;
  return expr_sum(text, pos, r);
}

// Room for the steps of most expressions (R1*2+R3 takes five), taken at once.
constexpr std::size_t kStepsReserved = 8;

std::optional<CompiledCondition> compile_condition_text(std::string_view text) {
  CompiledCondition c;
  // most conditions are one relation between two short expressions
  c.sides.reserve(2);
  c.relations.reserve(1);
  std::size_t pos = 0;
  for (;;) {
    ExprProgram& side = c.sides.emplace_back();
    side.steps.reserve(kStepsReserved);
    ExprCompiler compiler{side};
    if (!expr_sum(text, pos, compiler)) return std::nullopt;
    pos = skip_blanks(text, pos);
    if (pos >= text.size()) return c;
    // the relation: the grammar tries the two-character ones first
    const char a = text[pos];
    const char b = pos + 1 < text.size() ? text[pos + 1] : '\0';
    std::size_t len = 0;
    if ((a == '<' && (b == '=' || b == '>')) || (a == '>' && b == '=') || (a == '=' && b == '='))
      len = 2;
    else if (a == '<' || a == '>')
      len = 1;
    else
      return std::nullopt;
    c.relations.emplace_back(text.substr(pos, len));
    pos += len;
  }
}

ExprProgram compile_expr_text(std::string_view text) {
  ExprProgram program;
  program.steps.reserve(kStepsReserved);
  ExprCompiler c{program};
  std::size_t pos = 0;
  if (!expr_sum(text, pos, c) || pos != text.size()) program.steps.clear();
  return program;
}

namespace {

// A word decoder appends the word at `p` to the word list and answers the
// position after it, or nothing when the line must go to the grammar.
using Next = std::optional<std::size_t>;

// A word list that keeps no word, for the callers that want only the
// decoder's answer: it counts the words and remembers whether the last one
// is an expression of one variable.
struct WordCount {
  std::size_t count = 0;
  bool last_is_lone = false;
  std::size_t size() const { return count; }
  void push_back(const Word& w) {
    ++count;
    const auto* e = std::get_if<Word::Expr>(&w.v);
    last_is_lone = e != nullptr && !e->lone.empty();
  }
};
// What the decoder asks of either word list.
inline bool last_is_lone(const WordCount& words) { return words.last_is_lone; }
inline bool last_is_lone(const std::vector<Word>& words) {
  const auto* e = std::get_if<Word::Expr>(&words.back().v);
  return e != nullptr && !e->lone.empty();
}
inline void drop_from(WordCount& words, std::size_t base) { words.count = base; }
inline void drop_from(std::vector<Word>& words, std::size_t base) {
  words.erase(words.begin() + static_cast<std::ptrdiff_t>(base), words.end());
}

// A G or M word, or an address letter with a number (X12.5, F-3).
template <typename Words>
Next decode_address_word(std::string_view s, std::size_t p, Words& words) {
  const std::size_t n = s.size();
  const char u = text::ascii_upper(s[p]);
  if (u == 'G' || u == 'M') {
    std::size_t q = p + 1;
    if (!is_digit(s[q])) return std::nullopt;
    while (q < n && is_digit(s[q])) ++q;
    if (q < n && (is_letter(s[q]) || s[q] == '.' || s[q] == '_')) return std::nullopt;
    const std::string_view word = s.substr(p, q - p);
    if (u == 'M') {
      words.push_back(Word{Word::MCode{word}});
    } else {
      auto group = classify_upper(word);
      if (!group) return std::nullopt;
      words.push_back(Word{Word::GCommand{group->column, word}});
    }
    return q;
  }
  auto name = address_name(u);
  if (!name) return std::nullopt;
  std::size_t q = p + 1;
  auto v = scan_number(s, q);
  if (!v) return std::nullopt;
  if (q < n && s[q] == '[') return std::nullopt;
  words.push_back(Word{Word::Number{*v, *name}});
  return q;
}

// The value assigned to `ident` from the "=" at `eq` on: IC(product),
// (product) or an expression.
template <typename Words>
Next decode_assignment(std::string_view s, std::string_view ident, std::size_t eq,
                       Words& words) {
  const std::size_t n = s.size();
  std::size_t v = skip_blanks(s, eq + 1);
  if (v + 3 <= n && text::ascii_upper(s[v]) == 'I' && text::ascii_upper(s[v + 1]) == 'C' &&
      s[v + 2] == '(') {
    auto pp = decode_paren_product(s, v + 3);
    if (!pp) return std::nullopt;
    words.push_back(Word{Word::Product{true, pp->var, pp->factor, ident}});
    return pp->end;
  }
  if (v < n && s[v] == '(') {
    // a product in parentheses that an operator follows is part of an expression
    if (auto pp = decode_paren_product(s, v + 1)) {
      const std::size_t after = skip_blanks(s, pp->end);
      if (after >= n || (s[after] != '+' && s[after] != '-' && s[after] != '*' && s[after] != '/')) {
        words.push_back(Word{Word::Product{false, pp->var, pp->factor, ident}});
        return pp->end;
      }
    }
  }
  // constants are folded now; an expression with variables is checked now
  // and read when the line runs (a lone variable, which may be a text, is
  // looked at then)
  std::string_view last_variable;
  ExprReader check{[](void* seen, std::string_view id) -> std::optional<double> {
                     *static_cast<std::string_view*>(seen) = id;
                     return 0.0;
                   },
                   &last_variable};
  std::size_t end = v;
  const std::optional<double> value = expr_sum(s, end, check);
  if (!value) return std::nullopt;
  if (check.variables == 0) {
    words.push_back(Word{Word::Number{*value, ident}});
    return end;
  }
  Word::Expr expr{s.substr(v, end - v), ident, nullptr, {}};
  if (check.operators == 0) expr.lone = last_variable;
  words.push_back(Word{expr});
  return end;
}

// The end of a call's argument list, numbers only, from just after its "(".
Next call_arguments_end(std::string_view s, std::size_t from) {
  const std::size_t n = s.size();
  std::size_t a = skip_blanks(s, from);
  if (a < n && s[a] == ')') return a + 1;
  for (;;) {
    if (!parse_number(s, a)) return std::nullopt;
    a = skip_blanks(s, a);
    if (a >= n) return std::nullopt;
    if (s[a] == ')') return a + 1;
    if (s[a] != ',') return std::nullopt;
    a = skip_blanks(s, a + 1);
  }
}

// A named G command or a subprogram call: the name `ident` at `p` ends at `q`.
template <typename Words>
Next decode_name_word(std::string_view s, std::size_t p, std::size_t q, std::string_view ident,
                      Words& words) {
  const std::size_t n = s.size();
  if (q < n && !is_blank(s[q]) && s[q] != '(' && s[q] != ';') return std::nullopt;
  if (auto group = classify_upper(ident)) {
    if (is_frame_word(ident)) return std::nullopt;
    words.push_back(Word{Word::GCommand{group->column, ident}});
    return q;
  }
  if (is_reserved(ident) || is_frame_word(ident) || text::iequals(ident, "DEF") ||
      is_operator_word(ident))
    return std::nullopt;
  const std::size_t r = skip_blanks(s, q);
  if (r < n && s[r] == '(') {
    const Next end = call_arguments_end(s, r + 1);
    if (!end) return std::nullopt;
    words.push_back(Word{Word::Call{s.substr(p, *end - p)}});
    return end;
  }
  // a bare name like R1I is called with a warning (a mistyped axis word?)
  if (interpret_rules::looks_like_axis_word_typo(ident)) return std::nullopt;
  words.push_back(Word{Word::Call{s.substr(p, r - p)}});
  return r;
}

// A word that begins with an identifier: an assignment, a named G command or
// a subprogram call.
template <typename Words>
Next decode_identifier_word(std::string_view s, std::size_t p, bool has_block_number,
                            Words& words) {
  const std::size_t n = s.size();
  std::size_t q = p;
  while (q < n && is_ident(s[q])) ++q;
  const std::string_view ident = s.substr(p, q - p);
  // DEF directly followed by a data type opens a definition (DEFINT B,
  // DEFREALX=2), whatever follows it
  if (ident.size() > 3 && text::iequals(ident.substr(0, 3), "DEF")) return std::nullopt;
  const std::size_t eq = skip_blanks(s, q);
  if (eq >= n || s[eq] != '=') return decode_name_word(s, p, q, ident, words);
  if (is_reserved(ident) || is_frame_word(ident)) return std::nullopt;
  // the block number is written before the words on the grammar path, so
  // that an assignment to the axis N overwrites it there
  if (has_block_number && ident.size() == 1 && text::ascii_upper(ident[0]) == 'N')
    return std::nullopt;
  return decode_assignment(s, ident, eq, words);
}

template <typename Words>
DecodeResult decode_into(std::string_view s, std::size_t line_no, Words& words) {
  const std::size_t base = words.size();
  const std::size_t n = s.size();
  auto refuse = [&]() {
    drop_from(words, base);
    return DecodeResult{DecodeResult::NeedsGrammar{}};
  };
  DecodeResult::Decoded d;
  d.line_no = line_no;

  std::size_t p = skip_blanks(s, 0);

  // block number: an upper-case N and digits
  if (n - p >= 2 && s[p] == 'N' && is_digit(s[p + 1])) {
    std::size_t q = p + 1;
    while (q < n && is_digit(s[q])) ++q;
    if (q < n && is_letter(s[q])) return refuse();
    d.block_number = s.substr(p + 1, q - p - 1);
    p = skip_blanks(s, q);
  }

  // jump label: 2 to 32 identifier characters and ":"
  {
    std::size_t q = p;
    while (q < n && is_ident(s[q])) ++q;
    const std::size_t len = q - p;
    if (len >= 2 && len <= 32 && q < n && s[q] == ':' && !is_digit(s[p]) && !is_digit(s[p + 1])) {
      d.label = text::to_upper(s.substr(p, len));
      p = skip_blanks(s, q + 1);
    }
  }

  while (p < n) {
    const char c = s[p];
    if (c == ';') {
      d.comment = s.substr(p);
      break;
    }
    if (!is_letter(c) && c != '_') return refuse();
    // a letter with a number is an address word, but for the letters that
    // are none (R1, L100): those begin an identifier, as in the grammar
    const char u = text::ascii_upper(c);
    const bool identifier_letter = u == 'L' || u == 'O' || u == 'P' || u == 'Q' || u == 'R';
    const bool address =
        is_letter(c) && p + 1 < n &&
        (is_digit(s[p + 1]) || s[p + 1] == '-' || s[p + 1] == '.') &&
        !(identifier_letter && is_digit(s[p + 1]));
    const std::size_t before = words.size();
    const Next next = address ? decode_address_word(s, p, words)
                              : decode_identifier_word(s, p, d.block_number.has_value(), words);
    if (!next) return refuse();
    // an assignment is one word; only it may be an expression of one variable
    if (!address && words.size() == before + 1 && last_is_lone(words)) d.has_lone_variable = true;
    p = skip_blanks(s, *next);
  }

  d.words = WordRange{base, words.size()};
  d.has_content = d.block_number.has_value() || d.comment.has_value() || words.size() > base;
  if (!d.label && !d.has_content) return DecodeResult{DecodeResult::Blank{}};
  return DecodeResult{std::move(d)};
}

}  // namespace

DecodeResult decode_line(std::string_view s, std::size_t line_no, std::vector<Word>& words) {
  return decode_into(s, line_no, words);
}

DecodeResult classify_line(std::string_view s, std::size_t line_no) {
  WordCount words;
  return decode_into(s, line_no, words);
}

}  // namespace kelvane::line_driver
