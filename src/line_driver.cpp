#include "line_driver.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/mman.h>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "modal_groups.hpp"
#include "parse_explain.hpp"

namespace kelvane::line_driver {

namespace {

using errors::fail;
using errors::ParsingError;
using output::CellMap;
using output::OutputRows;
using state::State;
using types::Rule;
using types::Value;

// ---------------------------------------------------------------------------
// Character classes (ASCII only; bytes above 127 belong to none)

enum : std::uint8_t { kBlank = 1, kLetter = 2, kDigit = 4, kIdent = 8 };

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  t[' '] = kBlank;
  t['\t'] = kBlank;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kLetter | kIdent;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kLetter | kIdent;
  for (int c = '0'; c <= '9'; ++c) t[c] = kDigit | kIdent;
  t['_'] = kIdent;
  return t;
}
constexpr std::array<std::uint8_t, 256> kClasses = make_classes();

inline bool is_blank(char c) { return kClasses[static_cast<unsigned char>(c)] & kBlank; }
inline bool is_letter(char c) { return kClasses[static_cast<unsigned char>(c)] & kLetter; }
inline bool is_digit(char c) { return kClasses[static_cast<unsigned char>(c)] & kDigit; }
inline bool is_ident(char c) { return kClasses[static_cast<unsigned char>(c)] & kIdent; }
inline char upper_char(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

inline std::size_t skip_blanks(std::string_view s, std::size_t p) {
  while (p < s.size() && is_blank(s[p])) ++p;
  return p;
}

// Large decoded lists are written once, front to back: ask for huge pages so
// that filling them costs few page faults.
template <typename T>
void advise_huge_pages(const std::vector<T>& v) {
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const std::size_t bytes = v.capacity() * sizeof(T);
  if (bytes < 2 * kHuge) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper_char(a[i]) != upper_char(b[i])) return false;
  return true;
}

bool in_list(std::string_view word, std::span<const std::string_view> list) {
  for (std::string_view w : list)
    if (iequals(word, w)) return true;
  return false;
}

constexpr std::array<std::string_view, 21> kReserved{
    "IF",   "ELSE", "ENDIF", "GOTOB", "GOTOF",  "GOTOC", "GOTOS", "GOTO",  "CASE",     "OF",    "DEFAULT",
    "LOOP", "FOR",  "WHILE", "REPEAT", "LABEL", "TO",    "UNTIL", "ENDWHILE", "ENDFOR", "ENDLOOP"};
constexpr std::array<std::string_view, 8> kOperatorWords{"DIV", "MOD",  "AND",  "OR",
                                                         "XOR", "B_AND", "B_OR", "B_XOR"};
constexpr std::array<std::string_view, 11> kFrameKeywords{
    "TRANS", "ATRANS", "ROT", "AROT", "ROTS", "AROTS", "CROTS", "SCALE", "ASCALE", "MIRROR", "AMIRROR"};

bool is_reserved(std::string_view w) { return w.size() <= 8 && in_list(w, kReserved); }
bool is_operator_word(std::string_view w) { return w.size() <= 5 && in_list(w, kOperatorWords); }

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
  for (std::size_t i = 0; i < text.size(); ++i) buf[i] = upper_char(text[i]);
  return modal_groups::classify_g_command(std::string_view(buf, text.size()));
}

double convert_number(std::string_view text) {
  double v = 0.0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
  if (res.ec == std::errc::result_out_of_range) {
    // overflow reads as an infinity, underflow as zero
    std::string copy(text);
    v = std::strtod(copy.c_str(), nullptr);
  }
  return v;
}

// Constant expressions of the assignment form: + - * / over numbers with
// sign prefixes, no parentheses, variables or functions.
std::optional<double> const_factor(std::string_view s, std::size_t& pos) {
  double sign = 1.0;
  std::size_t p = pos;
  for (;;) {
    p = skip_blanks(s, p);
    if (p < s.size() && s[p] == '-' && !(p + 1 < s.size() && (is_digit(s[p + 1]) || s[p + 1] == '.'))) {
      sign = -sign;
      ++p;
      continue;
    }
    break;
  }
  auto v = parse_number(s, p);
  if (!v) return std::nullopt;
  pos = p;
  return sign * *v;
}

std::optional<double> const_term(std::string_view s, std::size_t& pos) {
  auto left = const_factor(s, pos);
  if (!left) return std::nullopt;
  double v = *left;
  for (;;) {
    const std::size_t p = skip_blanks(s, pos);
    if (p >= s.size() || (s[p] != '*' && s[p] != '/')) break;
    std::size_t q = p + 1;
    auto right = const_factor(s, q);
    if (!right) return std::nullopt;
    v = s[p] == '*' ? v * *right : v / *right;
    pos = q;
  }
  return v;
}

std::optional<double> fold_const_expr(std::string_view s, std::size_t& pos) {
  auto left = const_term(s, pos);
  if (!left) return std::nullopt;
  double v = *left;
  for (;;) {
    const std::size_t p = skip_blanks(s, pos);
    if (p >= s.size() || (s[p] != '+' && s[p] != '-')) break;
    std::size_t q = p + 1;
    auto right = const_term(s, q);
    if (!right) return std::nullopt;
    v = s[p] == '+' ? v + *right : v - *right;
    pos = q;
  }
  return v;
}

// An identifier inside a parenthesised product: identifier characters, not a
// reserved word (frame and operator words are allowed) and not NOT, which the
// grammar reads as the prefix operator there.
std::optional<std::string_view> product_identifier(std::string_view s, std::size_t& pos) {
  std::size_t q = pos;
  while (q < s.size() && is_ident(s[q])) ++q;
  if (q == pos) return std::nullopt;
  const std::string_view id = s.substr(pos, q - pos);
  if (!is_letter(id[0]) && id[0] != '_') return std::nullopt;
  if (is_reserved(id) || iequals(id, "NOT")) return std::nullopt;
  pos = q;
  return id;
}

}  // namespace

// ===========================================================================
// Word decoder

std::optional<double> parse_number(std::string_view s, std::size_t& pos) {
  std::size_t p = pos;
  const std::size_t start = p;
  if (p < s.size() && s[p] == '-') ++p;
  const std::size_t digits = p;
  while (p < s.size() && is_digit(s[p])) ++p;
  if (p == digits) return std::nullopt;
  if (p < s.size() && s[p] == '.') {
    ++p;
    while (p < s.size() && is_digit(s[p])) ++p;
  }
  if (p < s.size() && (is_letter(s[p]) || s[p] == '.' || s[p] == '_')) return std::nullopt;
  pos = p;
  return convert_number(s.substr(start, p - start));
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

bool is_frame_keyword(std::string_view text) { return text.size() <= 7 && in_list(text, kFrameKeywords); }

DecodeResult decode_line(std::string_view s, std::size_t line_no, std::vector<Word>& words) {
  const std::size_t base = words.size();
  const std::size_t n = s.size();
  auto refuse = [&]() {
    words.erase(words.begin() + static_cast<std::ptrdiff_t>(base), words.end());
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
      std::string label(s.substr(p, len));
      for (char& c : label) c = upper_char(c);
      d.label = std::move(label);
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
    if (is_letter(c) && p + 1 < n && (is_digit(s[p + 1]) || s[p + 1] == '-' || s[p + 1] == '.')) {
      // address form
      const char u = upper_char(c);
      if (u == 'G' || u == 'M') {
        std::size_t q = p + 1;
        if (!is_digit(s[q])) return refuse();
        while (q < n && is_digit(s[q])) ++q;
        if (q < n && (is_letter(s[q]) || s[q] == '.' || s[q] == '_')) return refuse();
        const std::string_view text = s.substr(p, q - p);
        if (u == 'M') {
          words.push_back(Word{Word::MCode{text}});
        } else {
          auto group = classify_upper(text);
          if (!group) return refuse();
          words.push_back(Word{Word::GCommand{group->column, text}});
        }
        p = q;
      } else if (auto name = address_name(u)) {
        std::size_t q = p + 1;
        auto v = parse_number(s, q);
        if (!v) return refuse();
        if (q < n && s[q] == '[') return refuse();
        words.push_back(Word{Word::Number{*v, *name}});
        p = q;
      } else {
        return refuse();
      }
    } else {
      // identifier form
      std::size_t q = p;
      while (q < n && is_ident(s[q])) ++q;
      const std::string_view ident = s.substr(p, q - p);
      // DEF directly followed by a data type opens a definition (DEFINT B,
      // DEFREALX=2), whatever follows it
      if (ident.size() > 3 && iequals(ident.substr(0, 3), "DEF")) return refuse();
      const std::size_t eq = skip_blanks(s, q);
      if (eq < n && s[eq] == '=') {
        if (is_reserved(ident) || is_frame_keyword(ident)) return refuse();
        // the block number is written before the words on the grammar path,
        // so that an assignment to the axis N overwrites it there
        if (d.block_number && ident.size() == 1 && upper_char(ident[0]) == 'N') return refuse();
        std::size_t v = skip_blanks(s, eq + 1);
        if (v + 3 <= n && upper_char(s[v]) == 'I' && upper_char(s[v + 1]) == 'C' && s[v + 2] == '(') {
          auto pp = decode_paren_product(s, v + 3);
          if (!pp) return refuse();
          words.push_back(Word{Word::Product{true, pp->var, pp->factor, ident}});
          p = pp->end;
        } else if (v < n && s[v] == '(') {
          auto pp = decode_paren_product(s, v + 1);
          if (!pp) return refuse();
          words.push_back(Word{Word::Product{false, pp->var, pp->factor, ident}});
          p = pp->end;
        } else {
          auto value = fold_const_expr(s, v);
          if (!value) return refuse();
          words.push_back(Word{Word::Number{*value, ident}});
          p = v;
        }
      } else {
        if (q < n && !is_blank(s[q]) && s[q] != '(' && s[q] != ';') return refuse();
        if (auto group = classify_upper(ident)) {
          if (is_frame_keyword(ident)) return refuse();
          words.push_back(Word{Word::GCommand{group->column, ident}});
          p = q;
        } else {
          if (is_reserved(ident) || is_frame_keyword(ident) || iequals(ident, "DEF") ||
              is_operator_word(ident))
            return refuse();
          const std::size_t r = skip_blanks(s, q);
          if (r < n && s[r] == '(') {
            std::size_t a = skip_blanks(s, r + 1);
            if (a < n && s[a] == ')') {
              ++a;
            } else {
              for (;;) {
                if (!parse_number(s, a)) return refuse();
                a = skip_blanks(s, a);
                if (a >= n) return refuse();
                if (s[a] == ',') {
                  a = skip_blanks(s, a + 1);
                  continue;
                }
                if (s[a] == ')') {
                  ++a;
                  break;
                }
                return refuse();
              }
            }
            words.push_back(Word{Word::Call{s.substr(p, a - p)}});
            p = a;
          } else {
            words.push_back(Word{Word::Call{s.substr(p, r - p)}});
            p = r;
          }
        }
      }
    }
    p = skip_blanks(s, p);
  }

  d.words = WordRange{base, words.size()};
  d.has_content = d.block_number.has_value() || d.comment.has_value() || words.size() > base;
  if (!d.label && !d.has_content) return DecodeResult{DecodeResult::Blank{}};
  return DecodeResult{std::move(d)};
}

// ===========================================================================
// Decoded-line executor

namespace {

struct Columns {
  std::string_view n = output::intern_column("N");
  std::string_view comment = output::intern_column("comment");
  std::string_view call = output::intern_column("non_returning_function_call");
};
const Columns& columns() {
  static const Columns c;
  return c;
}

// An ASCII upper-case copy on the stack for short names, on the heap beyond.
class UpperName {
 public:
  explicit UpperName(std::string_view s) {
    char* dst = buf_;
    if (s.size() > sizeof buf_) {
      heap_.resize(s.size());
      dst = heap_.data();
    }
    for (std::size_t i = 0; i < s.size(); ++i) dst[i] = upper_char(s[i]);
    view_ = std::string_view(dst, s.size());
  }
  UpperName(const UpperName&) = delete;
  UpperName& operator=(const UpperName&) = delete;
  std::string_view view() const { return view_; }

 private:
  char buf_[48];
  std::string heap_;
  std::string_view view_;
};

std::string_view line_view(const State& state, std::size_t line) {
  auto v = state.get_line(line);
  return v ? *v : std::string_view();
}

void set_symbol(State& state, std::string_view name, double value) {
  auto it = state.symbol_table.find(name);
  if (it != state.symbol_table.end()) it.value() = value;
  else state.symbol_table.emplace(std::string(name), value);
}

// The cell of an axis: machine X, Y, Z under a rotation, else the programmed
// value moved by the translation.
void write_axis_cell(std::string_view column, double value, OutputRows& rows, State& state) {
  if (state.rotation_active && column.size() == 1 &&
      (column[0] == 'X' || column[0] == 'Y' || column[0] == 'Z')) {
    state.insert_rotated_geometry(rows.row.cells);
  } else {
    rows.row.cells.insert(column, Value(value + state.translation_of(column)));
  }
}

// An IC(...) increment added to the position of `name`; without a position
// the increment itself, with a warning.
double incremented(std::string_view name, double increment, const State& state) {
  if (auto it = state.axes.find(name); it != state.axes.end()) return it->second + increment;
  state::write_warning_line(
      "Warning: axis '" + std::string(name) +
      "' is incremented with IC() before any absolute position was set; assuming it starts at 0 "
      "(a real control would start from the actual axis position).");
  return increment;
}

// A decoded value assigned to `name` (as written), in the order of the
// grammar path: the increment, the store (axis position or variable), then the
// cell, or the address warning and the variable change.
errors::Status assign(std::string_view name, double value, bool incremental, std::size_t line,
                      OutputRows& rows, State& state) {
  const auto key = state.resolve_output_key(name);
  if (!key) {
    const UpperName upper(name);
    const std::string_view u = upper.view();
    if (incremental) value = incremented(u, value, state);
    if (auto st = reject_string_variable(u, state, line); !st) return st;
    set_symbol(state, u, value);
    state.warn_unsupported_address(u, line);
    rows.record_variable_change(u, value);
    return {};
  }
  const std::string_view column = key->column;
  if (incremental) value = incremented(column, value, state);
  if (key->kind == state::ColKind::BlockAddress) {
    rows.row.cells.insert(column, Value(value));
    return {};
  }
  if (key->is_axis) {
    state.update_axis(column, value);
  } else if (!State::is_block_address(column)) {
    // an axis configured in lower case is not positioned by its name: the
    // value is stored as a variable, and the axis cell is written all the same
    if (auto st = reject_string_variable(column, state, line); !st) return st;
    set_symbol(state, column, value);
  }
  write_axis_cell(column, value, rows, state);
  return {};
}

// The value of a product; its variable is read as in an expression.
errors::Result<double> product_value(const Word::Product& w, std::size_t line, State& state) {
  if (!w.var) return w.factor;
  const UpperName upper(*w.var);
  const std::string_view v = upper.view();
  if (auto it = state.symbol_table.find(v); it != state.symbol_table.end()) return it->second * w.factor;
  auto value = interpret_rules::read_scalar_variable(std::string(v), line, state.line_text(line), state);
  if (!value) return fail(std::move(value.error()));
  return *value * w.factor;
}

}  // namespace

errors::Status reject_string_variable(std::string_view name, const State& state, std::size_t line) {
  if (state.string_table.find(name) == state.string_table.end()) return {};
  return fail(ParsingError::with_context(
      line, line_view(state, line), "assignment",
      "'" + std::string(name) + "' is a STRING variable; it cannot be assigned a number"));
}

errors::Result<Flow> execute_decoded(const DecodeResult::Decoded& line,
                                     std::span<const Word> chunk_words, OutputRows& rows,
                                     State& state) {
  if (!line.has_content) return Flow::cont();
  if (auto st = rows.flush(); !st) return fail(std::move(st.error()));
  const std::size_t line_no = line.line_no;
  rows.row.line = line_no;
  Flow flow = Flow::cont();

  for (std::size_t i = line.words.begin; i < line.words.end; ++i) {
    const Word& word = chunk_words[i];
    errors::Status st = std::visit(
        [&](const auto& w) -> errors::Status {
          using W = std::remove_cvref_t<decltype(w)>;
          if constexpr (std::is_same_v<W, Word::Number>) {
            return assign(w.name, w.value, false, line_no, rows, state);
          } else if constexpr (std::is_same_v<W, Word::Product>) {
            auto value = product_value(w, line_no, state);
            if (!value) return fail(std::move(value.error()));
            return assign(w.name, *value, w.incremental, line_no, rows, state);
          } else if constexpr (std::is_same_v<W, Word::Call>) {
            // the call as written, blanks after a bare name included
            rows.row.cells.insert(columns().call, Value(std::string(w.text)));
            return {};
          } else if constexpr (std::is_same_v<W, Word::GCommand>) {
            const UpperName upper(w.text);
            const std::string_view u = upper.view();
            if (w.group == modal_groups::kPlaneColumn) {
              if (u == "G17") state.active_plane = 0;
              else if (u == "G18") state.active_plane = 1;
              else if (u == "G19") state.active_plane = 2;
            }
            rows.row.cells.insert(w.group, Value(std::string(u)));
            return {};
          } else {
            static_assert(std::is_same_v<W, Word::MCode>);
            if (auto st = interpret_rules::insert_m_key(rows.row.cells, w.text, line_no,
                                                        line_view(state, line_no));
                !st)
              return st;
            if (interpret_rules::is_end_of_program_m_code(w.text)) flow = Flow::end();
            return {};
          }
        },
        word.v);
    if (!st) return fail(std::move(st.error()));
  }

  if (auto st = state.finish_block_frame(rows.row.cells, line_no); !st) return fail(std::move(st.error()));
  if (line.block_number) rows.row.cells.insert(columns().n, Value(std::string(*line.block_number)));
  if (line.comment) rows.row.cells.insert(columns().comment, Value(std::string(*line.comment)));
  return flow;
}

// ===========================================================================
// Configuration

bool stage1_enabled() {
  const char* v = std::getenv("NC_STAGE1");
  if (v == nullptr) return true;
  const std::string_view s(v);
  if (s == "0") return false;
  if (s.size() == 3 && upper_char(s[0]) == 'O' && upper_char(s[1]) == 'F' && upper_char(s[2]) == 'F')
    return false;
  return true;
}

namespace {

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    char32_t cp = 0;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

// An optional "+" and decimal digits only, within 64 bits.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::size_t read_pool_threads() {
  if (const char* v = std::getenv("RAYON_NUM_THREADS")) {
    if (auto n = parse_u64(v); n && *n > 0) return static_cast<std::size_t>(std::min<std::uint64_t>(*n, 4096));
  }
  const int d = tbb::info::default_concurrency();
  return d > 0 ? static_cast<std::size_t>(d) : 1;
}

std::size_t configured_threads() {
  static const std::size_t threads = read_pool_threads();
  return threads;
}

[[maybe_unused]] tbb::task_arena& pool_arena() {  // not used by the thread-sanitizer build
  static tbb::task_arena arena(static_cast<int>(configured_threads()));
  return arena;
}

#if defined(__SANITIZE_THREAD__)
#define KELVANE_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KELVANE_UNDER_TSAN 1
#endif
#endif

// Runs job(k) for every k in [0, n) on the pool and returns once all are done.
template <typename Job>
void for_each_on_pool(std::size_t n, Job&& job) {
#ifdef KELVANE_UNDER_TSAN
  // The pool's library is not built with ThreadSanitizer, which therefore
  // cannot see how it orders its jobs: the sanitizer build runs the same jobs
  // on plain threads instead, so that races in the jobs themselves show.
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < std::min(configured_threads(), n); ++t)
    threads.emplace_back([&] {
      for (std::size_t k; (k = next.fetch_add(1)) < n;) job(k);
    });
  for (std::thread& t : threads) t.join();
#else
  pool_arena().execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        for (std::size_t k = r.begin(); k < r.end(); ++k) job(k);
                      });
  });
#endif
}

}  // namespace

std::size_t stream_min_bytes() {
  const char* v = std::getenv("NC_STREAM_MIN_BYTES");
  if (v == nullptr) return kDefaultStreamMinBytes;
  auto n = parse_u64(v);
  if (!n) return kDefaultStreamMinBytes;
  return static_cast<std::size_t>(*n);
}

bool stats_enabled() {
  const char* v = std::getenv("NC_STAGE1_STATS");
  return v != nullptr && valid_utf8(v);
}

std::size_t pool_threads() { return configured_threads(); }

// ===========================================================================
// Lines, chunks and byte ranges

namespace {

// Calls f(line) for every line of `text` split at "\n" (a "\r" before the
// "\n" dropped; a final line end adds no empty line).
template <typename F>
void for_each_line(std::string_view text, F&& f) {
  std::size_t pos = 0;
  const std::size_t n = text.size();
  while (pos < n) {
    const void* hit = std::memchr(text.data() + pos, '\n', n - pos);
    if (hit == nullptr) {
      if (!f(text.substr(pos))) return;
      return;
    }
    const std::size_t nl = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    std::size_t end = nl;
    if (end > pos && text[end - 1] == '\r') --end;
    if (!f(text.substr(pos, end - pos))) return;
    pos = nl + 1;
  }
}

}  // namespace

std::vector<std::string_view> split_lines(std::string_view program) {
  std::vector<std::string_view> lines;
  lines.reserve(program.size() / 24 + 1);
  advise_huge_pages(lines);
  for_each_line(program, [&](std::string_view line) {
    lines.push_back(line);
    return true;
  });
  return lines;
}

void decode_chunk(std::size_t k, std::size_t chunk_lines, std::span<const std::string_view> lines,
                  DecodedChunk& out) {
  out.words.clear();
  out.results.clear();
  // four words per line, more when the lines are long (about one word per
  // four bytes), so that the list is not moved while it grows
  std::size_t bytes = 0;
  if (!lines.empty()) bytes = static_cast<std::size_t>(lines.back().data() + lines.back().size() - lines.front().data());
  out.words.reserve(std::max(lines.size() * 4, bytes / 4));
  out.results.reserve(lines.size());
  advise_huge_pages(out.words);
  advise_huge_pages(out.results);
  const std::size_t first = k * chunk_lines + 1;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out.results.push_back(decode_line(lines[i], first + i, out.words));
  }
}

DecodedProgram decode_all_lines(std::span<const std::string_view> lines, std::size_t byte_length) {
  DecodedProgram program;
  const std::size_t threads = pool_threads();
  if (byte_length >= kParallelDecodeMinBytes && threads >= 2) {
    program.chunk_lines = std::max(lines.size() / (8 * threads), kMinChunkLines);
    const std::size_t nchunks = (lines.size() + program.chunk_lines - 1) / program.chunk_lines;
    program.chunks.resize(std::max<std::size_t>(nchunks, 1));
    const std::size_t chunk_lines = program.chunk_lines;
    for_each_on_pool(nchunks, [&](std::size_t k) {
      const std::size_t start = k * chunk_lines;
      const std::size_t count = std::min(chunk_lines, lines.size() - start);
      decode_chunk(k, chunk_lines, lines.subspan(start, count), program.chunks[k]);
    });
  } else {
    program.chunk_lines = std::max<std::size_t>(lines.size(), 1);
    program.chunks.resize(1);
    decode_chunk(0, program.chunk_lines, lines, program.chunks[0]);
  }
  return program;
}

std::vector<std::pair<std::size_t, std::size_t>> cut_byte_ranges(std::string_view program,
                                                                 std::size_t n) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  const std::size_t len = program.size();
  if (n == 0) n = 1;
  const std::size_t chunk = len / n;
  std::size_t e = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t c = i * chunk;
    if (c <= e) continue;
    const std::size_t nl = program.find('\n', c);
    if (nl == std::string_view::npos) break;
    ranges.emplace_back(e, nl + 1);
    e = nl + 1;
  }
  if (e < len) ranges.emplace_back(e, len);
  return ranges;
}

namespace {

// Whether a successfully parsed line holds a jump, GOTOS, CASE or IF-GOTO.
bool block_has_control(const types::Pair& block) {
  for (const types::Pair& child : block.into_inner())
    if (child.as_rule() == Rule::control) return true;
  return false;
}

// Whether a refused line ends inside a string literal that runs on over its
// line end, scanned from its start inside such a literal or not. Outside a
// literal a ";" begins the comment, which runs to the end of the line.
bool ends_inside_string(std::string_view line, bool inside) {
  for (const char c : line) {
    if (c == '"') inside = !inside;
    else if (c == ';' && !inside) return false;
  }
  return inside;
}

// The end of `line`, a line of `program`, behind its line end ("\n" or "\r\n").
std::size_t terminated_end(std::string_view program, std::string_view line) {
  std::size_t end = static_cast<std::size_t>(line.data() - program.data()) + line.size();
  if (end < program.size() && program[end] == '\r') ++end;  // the "\r" of a "\r\n"
  if (end < program.size() && program[end] == '\n') ++end;
  return end;
}

// The error of lines that fail to parse, as the whole-program parse reports
// it: the program's bytes from `start`, the start of the failing block's first
// line (`first`, 0-based), to `end`, the end of the failing line, are parsed
// with the rule `file`, behind an empty line unless they begin the program, so
// that the failing block does not start where the parse starts. Should they
// parse, `failure` (in source lines) is reported.
ParsingError line_parse_error(std::string_view program, std::size_t start, std::size_t end,
                              std::size_t first, types::ParseFailure failure, const State& state) {
  std::string text;
  if (first > 0) text += '\n';
  text.append(program.substr(start, end - start));
  auto reparsed = types::NCParser::parse(Rule::file, text);
  if (!reparsed) {
    failure = std::move(reparsed.error());
    types::offset_failure_lines(failure, first > 0 ? first - 1 : 0);
  }
  const std::size_t line = failure.line;
  return errors::ParseContext{failure.column, state.line_text(line), "line parsing",
                              parse_explain::describe_parse_error(failure), line};
}

std::optional<types::Pair> single_line_block(const types::ParseResult& parsed) {
  auto pairs = *parsed;
  auto top = pairs.next();
  if (!top) return std::nullopt;
  auto block = top->into_inner().next();
  if (!block || block->as_rule() != Rule::block) return std::nullopt;
  return block;
}

}  // namespace

PreflightScan preflight_streaming_in(std::string_view program, std::size_t start, std::size_t end) {
  PreflightScan scan;
  std::vector<Word> words;
  words.reserve(64);
  for_each_line(program.substr(start, end - start), [&](std::string_view line) {
    words.clear();
    const DecodeResult r = decode_line(line, scan.lines + 1, words);
    const std::size_t index = scan.lines;
    ++scan.lines;
    if (r.is_blank()) return true;
    ++scan.non_blank;
    if (!r.needs_grammar()) return true;
    ++scan.needs_grammar;
    // a string literal running over the line end needs its following lines
    if (ends_inside_string(line, false)) {
      scan.status = PreflightScan::Status::SpansLines;
      scan.failing_line = index;
      return false;
    }
    auto parsed = types::NCParser::parse(Rule::single_line, line);
    if (!parsed) {
      scan.status = PreflightScan::Status::ParseFailed;
      scan.failing_line = index;
      return false;
    }
    if (auto block = single_line_block(parsed); block && block_has_control(*block)) {
      scan.status = PreflightScan::Status::HasControl;
      scan.failing_line = index;
      return false;
    }
    return true;
  });
  return scan;
}

errors::Result<types::Pair> parse_single_line(std::string_view line, std::size_t index,
                                              const State& state) {
  auto parsed = types::NCParser::parse(Rule::single_line, line);
  if (!parsed) {
    types::ParseFailure f = std::move(parsed.error());
    types::offset_failure_lines(f, index);
    // a line of the program is explained with its line end, as in the program
    const std::string_view source = state.source_text();
    const std::less<const char*> before;
    if (!before(line.data(), source.data()) &&
        !before(source.data() + source.size(), line.data() + line.size())) {
      const std::size_t start = static_cast<std::size_t>(line.data() - source.data());
      return fail(line_parse_error(source, start, terminated_end(source, line), index, std::move(f),
                                   state));
    }
    return fail(line_parse_error(line, 0, line.size(), index, std::move(f), state));
  }
  auto block = single_line_block(parsed);
  if (!block) return fail(errors::ParseError{"The line produced no block"});
  return block->with_line_offset(index);
}

// ===========================================================================
// Driver

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void print_stats(std::string line) {
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string fixed3(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

bool contains_goto_letters(std::string_view s) {
  for (std::size_t i = 0; i + 4 <= s.size(); ++i) {
    if (upper_char(s[i]) == 'G' && upper_char(s[i + 1]) == 'O' && upper_char(s[i + 2]) == 'T' &&
        upper_char(s[i + 3]) == 'O')
      return true;
  }
  return false;
}

// Pops the scope pushed for the program when execution ends.
struct ScopeGuard {
  State& state;
  ~ScopeGuard() {
    if (!state.label_scopes.empty()) state.label_scopes.pop_back();
  }
};

errors::Result<Flow> run_in_memory(std::string_view program, OutputRows& rows, State& state) {
  const bool stats = stats_enabled();
  const Clock::time_point t0 = Clock::now();

  // pass 1: decode every line
  const std::vector<std::string_view> lines = split_lines(program);
  DecodedProgram decoded = decode_all_lines(lines, program.size());
  // A string literal that runs over a line end holds the lines up to its
  // closing quote: they go to the grammar with the line that opens it (and
  // are noted, in ascending order, as continuation lines).
  std::vector<std::size_t> continuation;
  std::size_t non_blank = 0, needs_grammar = 0, total_words = 0;
  {
    bool inside = false;
    std::size_t i = 0;
    for (DecodedChunk& chunk : decoded.chunks) {
      total_words += chunk.words.size();
      for (DecodeResult& r : chunk.results) {
        if (inside) {
          continuation.push_back(i);
          if (!r.needs_grammar()) r = DecodeResult{DecodeResult::NeedsGrammar{}};
          inside = ends_inside_string(lines[i], true);
        } else if (r.needs_grammar()) {
          inside = ends_inside_string(lines[i], false);
        }
        if (!r.is_blank()) ++non_blank;
        if (r.needs_grammar()) ++needs_grammar;
        ++i;
      }
    }
  }
  if (stats) {
    print_stats("STAGE1_STATS non_blank=" + std::to_string(non_blank) +
                " needs_grammar=" + std::to_string(needs_grammar) +
                " total_lines=" + std::to_string(lines.size()) + " pass1_decode=" +
                fixed3(seconds_since(t0)) + "s words=" + std::to_string(total_words) +
                " nchunks=" + std::to_string(decoded.chunks.size()));
  }

  auto result_at = [&](std::size_t i) -> const DecodeResult& {
    return decoded.chunks[i / decoded.chunk_lines].results[i % decoded.chunk_lines];
  };

  // pass 2: the refused lines, parsed at once in a text that keeps every line
  // in its place. A refused line keeps its own line end, so that a string
  // literal over several lines keeps its text and a carriage return at the end
  // of a line stays apart from the line end that follows.
  std::string sparse;
  bool has_goto = false;
  std::optional<types::Pairs> blocks;
  if (needs_grammar > 0) {
    sparse.reserve(program.size() + 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (result_at(i).needs_grammar()) {
        const std::size_t start = static_cast<std::size_t>(lines[i].data() - program.data());
        const std::size_t end = terminated_end(program, lines[i]);
        sparse.append(program.substr(start, end - start));
        if (end == start + lines[i].size()) {
          // the last line, without a line end
          if (!lines[i].empty() && lines[i].back() == '\r') sparse += '\r';
          sparse += '\n';
        }
        if (!has_goto && contains_goto_letters(lines[i])) has_goto = true;
      } else {
        sparse += '\n';
      }
    }
    auto parsed = types::NCParser::parse(Rule::sparse_lines, sparse);
    if (!parsed) {
      // explained from the program's own text, as the whole-program parse does
      // (the lines of a string literal over several lines together)
      const types::ParseFailure& f = parsed.error();
      auto continues = [&](std::size_t i) {
        return std::binary_search(continuation.begin(), continuation.end(), i);
      };
      std::size_t last = std::clamp<std::size_t>(f.line, 1, lines.size()) - 1;
      std::size_t first = last;
      while (first > 0 && continues(first)) --first;
      while (last + 1 < lines.size() && continues(last + 1)) ++last;
      const std::size_t start = static_cast<std::size_t>(lines[first].data() - program.data());
      return fail(line_parse_error(program, start, terminated_end(program, lines[last]), first, f,
                                   state));
    }
    auto top = parsed->next();
    if (!top) return fail(errors::ParseError{"The sparse parse produced no program"});
    blocks = top->into_inner();
  }

  std::vector<LineExec> exec;
  exec.reserve(lines.size());
  const bool scan_targets = has_goto || state.record_all_jump_targets;
  interpret_rules::JumpTable table;
  std::size_t covered_until = 0;  // lines before it belong to the last grammar block
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const DecodeResult& r = result_at(i);
    if (r.is_blank() || i < covered_until) {
      exec.push_back(LineExec{LineExec::Skip{}});
    } else if (const DecodeResult::Decoded* d = r.decoded()) {
      exec.push_back(LineExec{LineExec::Decoded{static_cast<std::uint32_t>(i / decoded.chunk_lines), d}});
      if (scan_targets) {
        if (d->block_number) table[interpret_rules::block_number_jump_key(*d->block_number)].push_back(i);
        if (d->label) table[interpret_rules::label_jump_key(*d->label)].push_back(i);
      }
    } else {
      std::optional<types::Pair> block;
      if (blocks) {
        if (auto next = blocks->peek();
            next && next->as_rule() == Rule::block && next->line_col().first == i + 1) {
          block = blocks->next();
        }
      }
      if (!block) {
        return fail(errors::ParseError{"Line " + std::to_string(i + 1) +
                                       " produced no block in the sparse parse"});
      }
      const std::string_view text = block->as_str();
      covered_until = i + 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
      if (scan_targets) {
        const types::Pair one[1] = {*block};
        for (auto& [key, at] : interpret_rules::scan_jump_targets(std::span<const types::Pair>(one, 1))) {
          (void)at;
          table[key].push_back(i);
        }
      }
      exec.push_back(LineExec{LineExec::Grammar{*block}});
    }
  }

  state::StrSet& scope = state.label_scopes.emplace_back();
  for (const auto& entry : table) {
    state.all_jump_targets.insert(entry.first);
    scope.insert(entry.first);
  }
  ScopeGuard guard{state};

  if (stats) {
    print_stats("STAGE1_STATS pass2_setup_done=" + fixed3(seconds_since(t0)) +
                "s (pass1+pass2, before execution)");
  }

  std::size_t backward = 0;
  std::size_t i = 0;
  const std::size_t n = exec.size();
  while (i < n) {
    errors::Result<Flow> flow = std::visit(
        [&](const auto& e) -> errors::Result<Flow> {
          using E = std::remove_cvref_t<decltype(e)>;
          if constexpr (std::is_same_v<E, LineExec::Skip>) {
            return Flow::cont();
          } else if constexpr (std::is_same_v<E, LineExec::Decoded>) {
            return execute_decoded(*e.line, decoded.chunks[e.chunk].words, rows, state);
          } else {
            static_assert(std::is_same_v<E, LineExec::Grammar>);
            return interpret_rules::interpret_block(e.block, rows, state);
          }
        },
        exec[i].v);
    if (!flow) return flow;
    if (flow->is_continue()) {
      ++i;
      continue;
    }
    if (flow->is_end()) return Flow::end();
    const interpret_rules::JumpRequest* request = flow->jump_request();
    auto target = interpret_rules::resolve_jump(table, i, *request);
    if (!target) return flow;
    if (*target <= i) {
      ++backward;
      if (backward >= state.iteration_limit)
        return fail(errors::LoopLimit{std::to_string(state.iteration_limit)});
      // a backward jump may loop for long without a row: stop once nobody listens
      if (rows.consumer_gone()) return fail(errors::StreamClosed{});
    }
    i = *target;
  }
  return Flow::cont();
}

// The text of line `index` (0-based) of the range starting at `start`.
std::string_view line_in_range(std::string_view program, std::size_t start, std::size_t end,
                               std::size_t index) {
  std::string_view found;
  std::size_t k = 0;
  for_each_line(program.substr(start, end - start), [&](std::string_view line) {
    if (k++ == index) {
      found = line;
      return false;
    }
    return true;
  });
  return found;
}

// Streams a program line by line after a parallel pre-check; nothing when
// the program holds a control statement (the caller runs it in memory).
std::optional<errors::Result<Flow>> try_streaming(std::string_view program, OutputRows& rows,
                                                  State& state) {
  const std::size_t threads = pool_threads();
  const std::size_t wanted =
      (threads >= 2 && program.size() >= kParallelDecodeMinBytes) ? 8 * threads : 1;
  const bool stats = stats_enabled();
  const Clock::time_point t0 = Clock::now();

  const auto ranges = cut_byte_ranges(program, wanted);
  std::vector<PreflightScan> scans(ranges.size());
  for_each_on_pool(ranges.size(), [&](std::size_t k) {
    scans[k] = preflight_streaming_in(program, ranges[k].first, ranges[k].second);
  });

  std::size_t lines = 0, non_blank = 0, needs_grammar = 0;
  for (std::size_t k = 0; k < scans.size(); ++k) {
    const PreflightScan& s = scans[k];
    switch (s.status) {
      case PreflightScan::Status::Ok:
        lines += s.lines;
        non_blank += s.non_blank;
        needs_grammar += s.needs_grammar;
        continue;
      case PreflightScan::Status::HasControl:
      case PreflightScan::Status::SpansLines:
        return std::nullopt;
      case PreflightScan::Status::ParseFailed: {
        const std::size_t index = lines + s.failing_line;
        const std::string_view text =
            line_in_range(program, ranges[k].first, ranges[k].second, s.failing_line);
        auto block = parse_single_line(text, index, state);
        if (!block) return errors::Result<Flow>(std::unexpected(std::move(block.error())));
        return errors::Result<Flow>(std::unexpected(ParsingError(errors::ParseError{
            "Line " + std::to_string(index + 1) + " failed to parse in the preflight scan"})));
      }
    }
  }
  if (stats) {
    print_stats("STAGE1_STATS mode=streaming non_blank=" + std::to_string(non_blank) +
                " needs_grammar=" + std::to_string(needs_grammar) +
                " total_lines=" + std::to_string(lines) + " preflight=" + fixed3(seconds_since(t0)) +
                "s");
  }

  std::vector<Word> words;
  words.reserve(64);
  std::size_t index = 0;
  errors::Result<Flow> outcome = Flow::cont();
  for_each_line(program, [&](std::string_view line) {
    words.clear();
    const DecodeResult r = decode_line(line, index + 1, words);
    const std::size_t at = index++;
    if (r.is_blank()) return true;
    if (const DecodeResult::Decoded* d = r.decoded()) {
      outcome = execute_decoded(*d, words, rows, state);
    } else {
      auto block = parse_single_line(line, at, state);
      if (!block) {
        outcome = std::unexpected(std::move(block.error()));
        return false;
      }
      outcome = interpret_rules::interpret_block(*block, rows, state);
    }
    return outcome && outcome->is_continue();
  });
  return outcome;
}

}  // namespace

errors::Result<Flow> interpret_lines(std::string_view program, OutputRows& rows, State& state) {
  if (program.size() >= stream_min_bytes()) {
    if (auto streamed = try_streaming(program, rows, state)) return std::move(*streamed);
  }
  return run_in_memory(program, rows, state);
}

}  // namespace kelvane::line_driver
