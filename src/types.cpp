#include "types.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <sys/mman.h>
#include <limits>
#include <ostream>
#include <tuple>

#include <tao/pegtl.hpp>

namespace kelvane::types {

namespace {
constexpr std::string_view kRuleNames[kRuleCount] = {
    "EOI",
    "file",
    "single_line",
    "sparse_lines",
    "blocks",
    "newline",
    "WHITESPACE",
    "QUOTE",
    "comment",
    "block",
    "structure_line_kw",
    "structure_head_kw",
    "block_if_kw",
    "body_end_kw",
    "head_end",
    "block_number_set",
    "control",
    "label_def",
    "label_name",
    "goto_statement",
    "goto_kw",
    "gotos_statement",
    "goto_target",
    "if_goto_statement",
    "case_statement",
    "case_kw",
    "of_kw",
    "case_arm",
    "case_default",
    "default_kw",
    "if_statement",
    "loop_statement",
    "for_statement",
    "while_statement",
    "repeat_until_statement",
    "block_number",
    "condition",
    "relational_operator",
    "statement",
    "axis_word",
    "definition",
    "data_type",
    "expression",
    "reserved",
    "identifier",
    "variable",
    "variable_single_char",
    "variable_array",
    "indices",
    "assignment",
    "axis_increment",
    "string_value",
    "string_expression",
    "concat_operand",
    "assignment_multi",
    "value_array",
    "value_repeating",
    "value_none",
    "value",
    "op",
    "op_add",
    "op_sub",
    "op_mul",
    "op_div",
    "op_int_div",
    "op_mod",
    "op_b_and",
    "op_b_xor",
    "op_b_or",
    "op_and",
    "op_xor",
    "op_or",
    "prefix",
    "neg",
    "not_op",
    "primary",
    "float",
    "integer",
    "arith_fun",
    "arith_fun_name",
    "tool_selection",
    "frame_op",
    "frame_kw",
    "non_returning_function_call",
    "function_arguments",
    "function_argument",
    "string",
    "nc_variable",
    "m_command",
    "g_command_numbered",
    "g_command",
};
}  // namespace

std::string_view rule_name(Rule rule) {
  const auto i = static_cast<std::size_t>(rule);
  return i < kRuleCount ? kRuleNames[i] : std::string_view("?");
}

std::ostream& operator<<(std::ostream& os, Rule rule) { return os << rule_name(rule); }

// ---------------------------------------------------------------------------
// Token storage

static_assert(std::is_trivially_copyable_v<QueueableToken>);
static_assert(sizeof(QueueableToken) == 12);

TokenBuffer& TokenBuffer::operator=(TokenBuffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
    mapped_ = std::exchange(o.mapped_, false);
  }
  return *this;
}

TokenBuffer::~TokenBuffer() { release(); }

void TokenBuffer::release() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    ::munmap(static_cast<void*>(data_), capacity_ * sizeof(QueueableToken));
  } else {
    std::free(static_cast<void*>(data_));
  }
  data_ = nullptr;
}

namespace {
constexpr std::size_t kPageBytes = 4096;
// Token lists from this size on get pages of their own, which grow by
// remapping instead of copying, backed by huge pages where the system allows:
// first-touch page faults dominate the cost of a large token list.
constexpr std::size_t kMappedBytes = std::size_t(4) << 20;
}  // namespace

void TokenBuffer::reserve(std::size_t n) {
  if (n <= capacity_) return;
  std::size_t bytes = n * sizeof(QueueableToken);
  if (bytes < kMappedBytes) {
    void* p = std::realloc(static_cast<void*>(data_), bytes);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<QueueableToken*>(p);
    capacity_ = n;
    return;
  }
  // whole pages, a whole number of tokens
  const std::size_t unit = kPageBytes * sizeof(QueueableToken);
  bytes = (bytes + unit - 1) / unit * unit;
  void* p = nullptr;
  if (mapped_) {
    p = ::mremap(static_cast<void*>(data_), capacity_ * sizeof(QueueableToken), bytes,
                 MREMAP_MAYMOVE);
  } else {
    p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED && data_ != nullptr)
      std::memcpy(p, static_cast<const void*>(data_), size_ * sizeof(QueueableToken));
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  (void)::madvise(p, bytes, MADV_HUGEPAGE);
  if (!mapped_) std::free(static_cast<void*>(data_));
  data_ = static_cast<QueueableToken*>(p);
  capacity_ = bytes / sizeof(QueueableToken);
  mapped_ = true;
}

void TokenBuffer::grow() { reserve(capacity_ < 64 ? 64 : capacity_ * 2); }

// ---------------------------------------------------------------------------
// Lines and columns

LineIndex::LineIndex(std::string_view input) {
  starts.reserve(input.size() / 24 + 2);
  starts.push_back(0);
  const char* const base = input.data();
  const char* p = base;
  const char* const end = base + input.size();
  while (p < end) {
    const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (hit == nullptr) break;
    p = static_cast<const char*>(hit) + 1;
    starts.push_back(static_cast<std::size_t>(p - base));
  }
}

namespace {
// Characters are counted as UTF-8 lead bytes: every byte that is not a
// continuation byte starts a character, so any byte sequence has a count.
std::size_t count_chars(std::string_view text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u;
  return n;
}
}  // namespace

std::pair<std::size_t, std::size_t> LineIndex::line_col(std::string_view input,
                                                        std::size_t pos) const {
  pos = std::min(pos, input.size());
  const auto it = std::upper_bound(starts.begin(), starts.end(), pos);
  const std::size_t line = static_cast<std::size_t>(it - starts.begin());  // >= 1
  const std::size_t start = starts[line - 1];
  return {line, 1 + count_chars(input.substr(start, pos - start))};
}

std::pair<std::size_t, std::size_t> Pair::line_col() const {
  auto lc = tree_->lines.line_col(tree_->input, start_pos());
  lc.first += line_offset_;
  return lc;
}

std::size_t Pairs::count() const {
  std::size_t n = 0;
  for (std::uint32_t p = pos_; p < end_; p = tree_->tokens[p].partner + 1) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// The grammar on PEGTL, with the bookkeeping of a PEG parser state:
// a flat token list, atomicity, lookahead and the attempts at the furthest
// position.

namespace {

namespace pg = tao::pegtl;

// The nesting bound: every recursion of the grammar passes through an
// `expression` or a `blocks` match. A level of nesting is an expression inside
// another one (a parenthesis, an array index or a function argument) or a block
// list inside another one (a structure body); the outermost expression of a
// statement and the program's own block list are none, so a line nests as deep
// whether it is parsed with the whole program or alone. One level takes about
// 1 KiB of stack in an optimised build and up to 8 KiB with sanitizers, so
// kMaxNesting levels stay far inside a 2 MiB worker stack; real programs nest a
// few levels deep.
constexpr std::size_t kMaxTokens = std::numeric_limits<std::uint32_t>::max() - 2;

enum class Atomicity : std::uint8_t { NonAtomic, Atomic, CompoundAtomic };
enum class Lookahead : std::uint8_t { None, Positive, Negative };
enum class Kind : std::uint8_t { Normal, Silent, Atomic, CompoundAtomic };

enum class Abort : std::uint8_t { None, TooDeep, TooLarge };

// The rules attempted at the furthest position, in the order they were
// recorded: one byte each, the rule's ordinal with kNegativeMark when it was
// unexpected (matched inside a negative lookahead). The first entries live
// inside the parse state, so a parse of one line allocates nothing for them.
constexpr std::uint8_t kNegativeMark = 0x80;
static_assert(kRuleCount <= kNegativeMark);

class AttemptList {
 public:
  AttemptList() = default;
  AttemptList(const AttemptList&) = delete;
  AttemptList& operator=(const AttemptList&) = delete;

  std::size_t size() const { return size_; }
  void truncate(std::size_t n) { size_ = n; }
  [[gnu::always_inline]] void push(std::uint8_t entry) {
    if (size_ == capacity_) [[unlikely]] grow();
    data_[size_++] = entry;
  }
  // The positives or the negatives, in recorded order.
  std::vector<Rule> rules(bool negative) const {
    std::vector<Rule> out;
    for (std::size_t i = 0; i < size_; ++i) {
      const std::uint8_t e = data_[i];
      if (((e & kNegativeMark) != 0) == negative)
        out.push_back(static_cast<Rule>(e & ~kNegativeMark & 0xFF));
    }
    return out;
  }

 private:
  static constexpr std::size_t kInline = 96;
  [[gnu::noinline]] void grow() {
    std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[capacity_ * 2]);
    std::memcpy(bigger.get(), data_, size_);
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ *= 2;
  }
  std::uint8_t* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  std::unique_ptr<std::uint8_t[]> heap_;
  std::uint8_t inline_[kInline];
};

struct PState {
  TokenBuffer tokens;
  AttemptList attempts;
  std::size_t attempt_pos = 0;
  const char* begin = nullptr;
  std::uint32_t depth = 0;        // levels of nesting (see kMaxNesting)
  std::uint32_t expressions = 0;  // active `expression` matches
  std::uint32_t block_lists = 0;  // active `blocks` matches, plus one outside `file`
  Atomicity atomicity = Atomicity::NonAtomic;
  Lookahead lookahead = Lookahead::None;
  Abort abort = Abort::None;
  std::size_t abort_pos = 0;
  // the last identifier scanned: where it starts and where it ends (null: none there)
  const char* ident_at = nullptr;
  const char* ident_end = nullptr;

  // The number of attempts recorded at `pos` so far.
  std::size_t attempts_at(std::size_t pos) const {
    return attempt_pos == pos ? attempts.size() : 0;
  }

  // Records a failed (or, inside a negative lookahead, a matched) rule that
  // started at `pos`, when `prev` attempts were recorded there. The caller
  // has checked that `pos` is not behind the furthest position.
  [[gnu::always_inline]] void track(Rule rule, std::size_t pos, std::size_t prev) {
    if (pos == attempt_pos) {
      // One attempt made by the sub-rules stands for the rule itself; more
      // are dropped in its favour.
      const std::size_t curr = attempts.size();
      if (curr > prev && curr - prev == 1) return;
      attempts.truncate(prev);
    } else {
      // further than anything so far: what was recorded before is dropped
      attempts.truncate(0);
      attempt_pos = pos;
    }
    attempts.push(static_cast<std::uint8_t>(
        static_cast<std::uint8_t>(rule) |
        (lookahead == Lookahead::Negative ? kNegativeMark : std::uint8_t{0})));
  }
};

using Input = pg::memory_input<pg::tracking_mode::lazy, pg::eol::lf_crlf, const char*>;

inline std::size_t offset(const Input& in, const PState& st) {
  return static_cast<std::size_t>(in.current() - st.begin);
}

// Implicit whitespace: blanks and tabs, only while no atomic or
// compound-atomic rule is running.
[[gnu::always_inline]] inline void skip_ws(Input& in, const PState& st) {
  if (st.atomicity != Atomicity::NonAtomic) return;
  const char* p = in.current();
  const char* const end = in.end();
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  in.iterator() = p;
}

#define K_MATCH_SIGNATURE                                                              \
  template <pg::apply_mode A, pg::rewind_mode M, template <typename...> class Action,  \
            template <typename...> class Control, typename ParseInput, typename... States>
#define K_SUB(R) Control<R>::template match<A, pg::rewind_mode::required, Action, Control>(in, st)

// Sequence with implicit whitespace between the elements.
template <typename R0, typename... Rs>
struct wseq {
  using rule_t = wseq;
  using subs_t = pg::type_list<R0, Rs...>;
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    const char* const saved = in.current();
    const std::size_t ntok = st.tokens.size();
    const bool ok = K_SUB(R0) && ((skip_ws(in, st), K_SUB(Rs)) && ...);
    if (!ok) {
      in.iterator() = saved;
      st.tokens.truncate(ntok);
    }
    return ok;
  }
};

// e*: a repetition and the whitespace before it form one step.
template <typename R>
struct wstar {
  using rule_t = wstar;
  using subs_t = pg::type_list<R>;
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    if (!K_SUB(R)) return true;
    for (;;) {
      const char* const saved = in.current();
      skip_ws(in, st);
      if (!K_SUB(R)) {
        in.iterator() = saved;
        return true;
      }
    }
  }
};

// e+ is e e*: the whitespace after the first e stays consumed.
template <typename R>
struct wplus {
  using rule_t = wplus;
  using subs_t = pg::type_list<R>;
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    if (!K_SUB(R)) return false;
    skip_ws(in, st);
    return wstar<R>::template match<A, M, Action, Control>(in, st);
  }
};

template <typename R>
struct opt_ {
  using rule_t = opt_;
  using subs_t = pg::type_list<R>;
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    (void)K_SUB(R);
    return true;
  }
};

// Lookaheads keep no nodes; a negative one inside a negative one is positive.
template <typename R>
struct pos_la {
  using rule_t = pos_la;
  using subs_t = pg::type_list<R>;
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    const char* const saved = in.current();
    const Lookahead prev = st.lookahead;
    st.lookahead = prev == Lookahead::Negative ? Lookahead::Negative : Lookahead::Positive;
    const bool ok = K_SUB(R);
    st.lookahead = prev;
    in.iterator() = saved;
    return ok;
  }
};

template <typename R>
struct neg_la {
  using rule_t = neg_la;
  using subs_t = pg::type_list<R>;
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    const char* const saved = in.current();
    const Lookahead prev = st.lookahead;
    st.lookahead = prev == Lookahead::Negative ? Lookahead::Positive : Lookahead::Negative;
    const bool ok = K_SUB(R);
    st.lookahead = prev;
    in.iterator() = saved;
    return !ok;
  }
};

// Text up to (not including) the next double quote, or to the end.
struct until_quote {
  using rule_t = until_quote;
  using subs_t = pg::empty_list;
  template <typename ParseInput>
  static bool match(ParseInput& in) {
    const char* p = in.current();
    const std::size_t n = static_cast<std::size_t>(in.end() - p);
    const void* hit = std::memchr(p, '"', n);
    in.iterator() = hit ? static_cast<const char*>(hit) : p + n;
    return true;
  }
};

// Text up to (not including) "\n" or "\r\n", or to the end.
struct until_line_end {
  using rule_t = until_line_end;
  using subs_t = pg::empty_list;
  template <typename ParseInput>
  static bool match(ParseInput& in) {
    const char* p = in.current();
    const char* const end = in.end();
    const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* stop = hit ? static_cast<const char*>(hit) : end;
    if (hit && stop > p && stop[-1] == '\r') --stop;
    in.iterator() = stop;
    return true;
  }
};

// The body of `identifier`: !(reserved !(ASCII_ALPHANUMERIC | "_")) then
// (ASCII_ALPHA | "_") (ASCII_ALPHANUMERIC | "_")*. No reserved word is a
// proper prefix of one listed before it, so the lookahead refuses exactly the
// words that equal a reserved word in any letter case.
struct identifier_body {
  using rule_t = identifier_body;
  using subs_t = pg::empty_list;
  static bool is_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }
  // A word of up to 8 ASCII letters as one number: byte i is letter i.
  static constexpr std::uint64_t word_key(std::string_view w) {
    std::uint64_t k = 0;
    for (std::size_t i = 0; i < w.size(); ++i)
      k |= static_cast<std::uint64_t>(static_cast<unsigned char>(w[i])) << (8 * i);
    return k;
  }
  static_assert(std::endian::native == std::endian::little, "word keys are read little-endian");
  // Whether the word [p, p + n) equals a reserved word in any letter case.
  static bool is_reserved(const char* p, std::size_t n, const char* end) {
    if (n < 2 || n > 8) return false;
    // The word as one number, letters upper-cased by clearing bit 5 of every
    // byte: that turns digits into control bytes and keeps "_", neither of
    // which occurs in a reserved word, so only letters can compare equal.
    std::uint64_t key = 0;
    if (end - p >= 8) {
      std::memcpy(&key, p, 8);
      if (n < 8) key &= (std::uint64_t{1} << (8 * n)) - 1;
    } else {
      for (std::size_t i = 0; i < n; ++i)
        key |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    }
    key &= 0xDFDFDFDFDFDFDFDFull >> (8 * (8 - n));
    switch (n) {
      case 2: return key == word_key("IF") || key == word_key("OF") || key == word_key("TO");
      case 3: return key == word_key("FOR");
      case 4:
        return key == word_key("ELSE") || key == word_key("GOTO") || key == word_key("CASE") ||
               key == word_key("LOOP");
      case 5:
        return key == word_key("ENDIF") || key == word_key("GOTOB") || key == word_key("GOTOF") ||
               key == word_key("GOTOC") || key == word_key("GOTOS") || key == word_key("WHILE") ||
               key == word_key("LABEL") || key == word_key("UNTIL");
      case 6: return key == word_key("REPEAT") || key == word_key("ENDFOR");
      case 7: return key == word_key("DEFAULT") || key == word_key("ENDLOOP");
      default: return key == word_key("ENDWHILE");
    }
  }
  // An identifier is often tried several times at one position (as a
  // variable, an array, a function name): the last answer is kept.
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    const char* const b = in.current();
    if (b != st.ident_at) {
      st.ident_at = b;
      st.ident_end = scan(b, in.end());
    }
    if (st.ident_end == nullptr) return false;
    in.iterator() = st.ident_end;
    return true;
  }
  // The end of the identifier at b, or null.
  static const char* scan(const char* const b, const char* const e) {
    if (b == e) return nullptr;
    const char c = *b;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')) return nullptr;
    const char* p = b + 1;
    while (p < e && is_word(*p)) ++p;
    if (is_reserved(b, static_cast<std::size_t>(p - b), e)) return nullptr;
    return p;
  }
};

// A grammar rule: its ordinal, kind and body.
template <Rule R, Kind K, typename Body, bool Nesting = false>
struct def {
  static constexpr Rule kRule = R;
  static constexpr Kind kKind = K;
  static constexpr bool kNesting = Nesting;
  using body = Body;
  using rule_t = def;
  using subs_t = pg::type_list<Body>;
};

template <typename T>
concept GrammarRule = requires { T::kRule; T::kKind; typename T::body; };

template <typename R, pg::apply_mode A, template <typename...> class Action,
          template <typename...> class Control>
bool match_body(Input& in, PState& st) {
  if constexpr (R::kNesting) {
    std::uint32_t& active = R::kRule == Rule::expression ? st.expressions : st.block_lists;
    // the outermost expression and the outermost block list are no level
    const std::uint32_t level = active > 0 ? 1 : 0;
    if (level != 0 && st.depth >= kMaxNesting) {
      if (st.abort == Abort::None) {
        st.abort = Abort::TooDeep;
        st.abort_pos = offset(in, st);
      }
      return false;
    }
    ++active;
    st.depth += level;
    const bool ok =
        Control<typename R::body>::template match<A, pg::rewind_mode::required, Action, Control>(
            in, st);
    st.depth -= level;
    --active;
    return ok;
  } else {
    return Control<typename R::body>::template match<A, pg::rewind_mode::required, Action,
                                                     Control>(in, st);
  }
}

// The bookkeeping of one rule match: node tokens, attempts, atomicity.
template <typename R, pg::apply_mode A, template <typename...> class Action,
          template <typename...> class Control>
bool match_rule(Input& in, PState& st) {
  if (st.abort != Abort::None) return false;
  if constexpr (R::kKind == Kind::Silent) {
    return match_body<R, A, Action, Control>(in, st);
  } else {
    const Atomicity outer = st.atomicity;
    if constexpr (R::kKind == Kind::CompoundAtomic) st.atomicity = Atomicity::CompoundAtomic;
    if (st.atomicity == Atomicity::Atomic) {
      // Inside an atomic rule: no node, no attempt, no whitespace.
      return match_body<R, A, Action, Control>(in, st);
    }
    const std::size_t pos = offset(in, st);
    const std::size_t index = st.tokens.size();
    const bool record = st.lookahead == Lookahead::None;
    if (record) {
      if (index >= kMaxTokens) [[unlikely]] {
        st.abort = Abort::TooLarge;
        st.abort_pos = pos;
        st.atomicity = outer;
        return false;
      }
      st.tokens.emplace_back(pos, 0, R::kRule, true);
    }
    const std::size_t prev_attempts = st.attempts_at(pos);
    if constexpr (R::kKind == Kind::Atomic) st.atomicity = Atomicity::Atomic;
    const bool ok = match_body<R, A, Action, Control>(in, st);
    if constexpr (R::kKind == Kind::Atomic) st.atomicity = outer;
    if (ok) {
      if (st.lookahead == Lookahead::Negative && pos >= st.attempt_pos) [[unlikely]]
        st.track(R::kRule, pos, prev_attempts);
      if (record) {
        const auto end_index = static_cast<std::uint32_t>(st.tokens.size());
        st.tokens[index].partner = end_index;
        st.tokens.emplace_back(offset(in, st), static_cast<std::uint32_t>(index), R::kRule, false);
      }
    } else {
      if (st.lookahead != Lookahead::Negative && pos >= st.attempt_pos)
        st.track(R::kRule, pos, prev_attempts);
      if (record) st.tokens.truncate(index);
    }
    st.atomicity = outer;
    return ok;
  }
}

// The characters a rule's match can start with, for rules that fail on any
// other character (and at the end of the input) before consuming anything,
// and whose failure there records one known rule: the rule itself, or the one
// sub-rule whose single attempt stands for it. Such a failure is settled
// before the rule is called, recording exactly what the full match would.
struct CharSet {
  bool has[256] = {};
  constexpr explicit CharSet(std::string_view chars) {
    for (const char c : chars) has[static_cast<unsigned char>(c)] = true;
  }
};
// Specialised below for the rules concerned: `known`, the start characters
// `chars` and the rule `record` that such a failure records.
template <typename R>
struct first_chars {
  static constexpr bool known = false;
};

// Whether a failure at the first character may be settled without the full
// match: far from the nesting and token bounds, which the full match checks.
[[gnu::always_inline]] inline bool may_settle_early(const PState& st) {
  return st.depth < kMaxNesting && st.tokens.size() < kMaxTokens - 64;
}

// The failure of rule R at a character it cannot start with.
template <typename R>
[[gnu::always_inline]] inline bool fail_at_first(const Input& in, PState& st) {
  if constexpr (R::kKind != Kind::Silent) {
    if (st.abort != Abort::None) return false;
    if constexpr (R::kKind != Kind::CompoundAtomic) {
      if (st.atomicity == Atomicity::Atomic) return false;
    }
    const std::size_t pos = offset(in, st);
    if (st.lookahead != Lookahead::Negative && pos >= st.attempt_pos)
      st.track(first_chars<R>::record, pos, st.attempts_at(pos));
  }
  return false;
}

template <typename R>
struct control : pg::normal<R> {
  template <pg::apply_mode A, pg::rewind_mode M, template <typename...> class Action,
            template <typename...> class Control, typename ParseInput, typename... States>
  static bool match(ParseInput& in, States&&... st) {
    if constexpr (GrammarRule<R>) {
      if constexpr (first_chars<R>::known) {
        static constexpr CharSet kFirst(first_chars<R>::chars);
        const char* const p = in.current();
        if ((p == in.end() || !kFirst.has[static_cast<unsigned char>(*p)]) &&
            may_settle_early(st...))
          return fail_at_first<R>(in, st...);
      }
      return match_rule<R, A, Action, Control>(in, st...);
    } else {
      return pg::normal<R>::template match<A, M, Action, Control>(in, st...);
    }
  }
};

// The rules of an ordered choice whose alternatives are all rules with known
// start characters: when none can start at the current character, they fail
// one after the other, each recording itself at the same position.
template <typename R>
constexpr bool first_known_rule() {
  if constexpr (GrammarRule<R>) {
    if constexpr (first_chars<R>::known)
      return R::kKind == Kind::Normal || R::kKind == Kind::Atomic;
    else
      return false;
  } else {
    return false;
  }
}
template <typename... Rs>
constexpr bool all_first_known() {
  return sizeof...(Rs) >= 2 && (first_known_rule<Rs>() && ...);
}

template <typename... Rs>
[[gnu::always_inline]] inline bool fail_all_at_first(const Input& in, PState& st) {
  if (st.abort != Abort::None || st.atomicity == Atomicity::Atomic) return false;
  const std::size_t pos = offset(in, st);
  if (st.lookahead != Lookahead::Negative && pos >= st.attempt_pos) {
    if (pos != st.attempt_pos) {
      st.attempts.truncate(0);
      st.attempt_pos = pos;
    }
    (st.attempts.push(static_cast<std::uint8_t>(first_chars<Rs>::record)), ...);
  }
  return false;
}

template <typename... Rs>
struct alt {
  using rule_t = alt;
  using subs_t = pg::type_list<Rs...>;
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    if constexpr (all_first_known<Rs...>()) {
      static constexpr CharSet kFirst = [] {
        CharSet set("");
        for (const std::string_view chars : {first_chars<Rs>::chars...})
          for (const char c : chars) set.has[static_cast<unsigned char>(c)] = true;
        return set;
      }();
      const char* const p = in.current();
      if ((p == in.end() || !kFirst.has[static_cast<unsigned char>(*p)]) && may_settle_early(st))
        return fail_all_at_first<Rs...>(in, st);
    }
    return (K_SUB(Rs) || ...);
  }
};

#undef K_SUB
#undef K_MATCH_SIGNATURE

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
struct EOI_;
struct file;
struct single_line;
struct sparse_lines;
struct blocks;
struct newline;
struct WHITESPACE;
struct QUOTE;
struct comment;
struct block;
struct structure_line_kw;
struct structure_head_kw;
struct block_if_kw;
struct body_end_kw;
struct head_end;
struct block_number_set;
struct control_;
struct label_def;
struct label_name;
struct goto_statement;
struct goto_kw;
struct gotos_statement;
struct goto_target;
struct if_goto_statement;
struct case_statement;
struct case_kw;
struct of_kw;
struct case_arm;
struct case_default;
struct default_kw;
struct if_statement;
struct loop_statement;
struct for_statement;
struct while_statement;
struct repeat_until_statement;
struct block_number;
struct condition;
struct relational_operator;
struct statement;
struct axis_word;
struct definition;
struct data_type;
struct expression;
struct reserved;
struct identifier;
struct variable;
struct variable_single_char;
struct variable_array;
struct indices;
struct assignment;
struct axis_increment;
struct string_value;
struct string_expression;
struct concat_operand;
struct assignment_multi;
struct value_array;
struct value_repeating;
struct value_none;
struct value;
struct op;
struct op_add;
struct op_sub;
struct op_mul;
struct op_div;
struct op_int_div;
struct op_mod;
struct op_b_and;
struct op_b_xor;
struct op_b_or;
struct op_and;
struct op_xor;
struct op_or;
struct prefix;
struct neg;
struct not_op;
struct primary;
struct float_;
struct integer;
struct arith_fun;
struct arith_fun_name;
struct tool_selection;
struct frame_op;
struct frame_kw;
struct non_returning_function_call;
struct function_arguments;
struct function_argument;
struct string;
struct nc_variable;
struct m_command;
struct g_command_numbered;
struct g_command;
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
K_FIRST(control_, control, "GgCcIiLlFfWwRr");
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

namespace g {

#define K_RULE(name, kind, ...) \
  struct name : def<Rule::name, Kind::kind, __VA_ARGS__> {}
#define K_NESTING_RULE(name, kind, ...) \
  struct name : def<Rule::name, Kind::kind, __VA_ARGS__, true> {}

struct EOI_ : def<Rule::EOI, Kind::Normal, pg::eof> {};
K_RULE(file, Normal, wseq<pg::bof, blocks, opt_<newline>, EOI_>);
K_RULE(single_line, Normal, wseq<pg::bof, block, EOI_>);
K_RULE(sparse_lines, Normal,
       wseq<pg::bof, wstar<newline>, wstar<wseq<block, wplus<newline>>>, EOI_>);
K_NESTING_RULE(blocks, Normal, wseq<block, wstar<wseq<newline, block>>>);
K_RULE(newline, Silent, alt<lit<'\n'>, lit<'\r', '\n'>>);
K_RULE(WHITESPACE, Silent, pg::one<' ', '\t'>);
K_RULE(QUOTE, Silent, lit<'"'>);
K_RULE(comment, Atomic, pg::seq<pg::one<';'>, until_line_end>);
K_RULE(block, Normal,
       wseq<opt_<block_number_set>, opt_<wseq<label_def, neg_la<structure_line_kw>>>,
            opt_<wseq<alt<definition, frame_op, wplus<statement>, control_>, neg_la<body_end_kw>>>,
            opt_<comment>>);
K_RULE(structure_line_kw, Silent,
       alt<body_end_kw, structure_head_kw,
           wseq<block_if_kw, condition, opt_<comment>, alt<newline, EOI_>>>);
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
struct control_ : def<Rule::control, Kind::Normal,
                      alt<gotos_statement, goto_statement, case_statement,
                          wplus<if_goto_statement>, if_statement, loop_statement,
                          for_statement, while_statement, repeat_until_statement>> {};
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

// --- entry ------------------------------------------------------------------

using MatchFn = bool (*)(Input&, PState&);

template <typename R>
bool run(Input& in, PState& st) {
  return control<R>::template match<pg::apply_mode::nothing, pg::rewind_mode::required,
                                    pg::nothing, control>(in, st);
}

constexpr MatchFn kMatchers[kRuleCount] = {
    run<g::EOI_>,
    run<g::file>,
    run<g::single_line>,
    run<g::sparse_lines>,
    run<g::blocks>,
    run<g::newline>,
    run<g::WHITESPACE>,
    run<g::QUOTE>,
    run<g::comment>,
    run<g::block>,
    run<g::structure_line_kw>,
    run<g::structure_head_kw>,
    run<g::block_if_kw>,
    run<g::body_end_kw>,
    run<g::head_end>,
    run<g::block_number_set>,
    run<g::control_>,
    run<g::label_def>,
    run<g::label_name>,
    run<g::goto_statement>,
    run<g::goto_kw>,
    run<g::gotos_statement>,
    run<g::goto_target>,
    run<g::if_goto_statement>,
    run<g::case_statement>,
    run<g::case_kw>,
    run<g::of_kw>,
    run<g::case_arm>,
    run<g::case_default>,
    run<g::default_kw>,
    run<g::if_statement>,
    run<g::loop_statement>,
    run<g::for_statement>,
    run<g::while_statement>,
    run<g::repeat_until_statement>,
    run<g::block_number>,
    run<g::condition>,
    run<g::relational_operator>,
    run<g::statement>,
    run<g::axis_word>,
    run<g::definition>,
    run<g::data_type>,
    run<g::expression>,
    run<g::reserved>,
    run<g::identifier>,
    run<g::variable>,
    run<g::variable_single_char>,
    run<g::variable_array>,
    run<g::indices>,
    run<g::assignment>,
    run<g::axis_increment>,
    run<g::string_value>,
    run<g::string_expression>,
    run<g::concat_operand>,
    run<g::assignment_multi>,
    run<g::value_array>,
    run<g::value_repeating>,
    run<g::value_none>,
    run<g::value>,
    run<g::op>,
    run<g::op_add>,
    run<g::op_sub>,
    run<g::op_mul>,
    run<g::op_div>,
    run<g::op_int_div>,
    run<g::op_mod>,
    run<g::op_b_and>,
    run<g::op_b_xor>,
    run<g::op_b_or>,
    run<g::op_and>,
    run<g::op_xor>,
    run<g::op_or>,
    run<g::prefix>,
    run<g::neg>,
    run<g::not_op>,
    run<g::primary>,
    run<g::float_>,
    run<g::integer>,
    run<g::arith_fun>,
    run<g::arith_fun_name>,
    run<g::tool_selection>,
    run<g::frame_op>,
    run<g::frame_kw>,
    run<g::non_returning_function_call>,
    run<g::function_arguments>,
    run<g::function_argument>,
    run<g::string>,
    run<g::nc_variable>,
    run<g::m_command>,
    run<g::g_command_numbered>,
    run<g::g_command>,
};

// --- failure value -------------------------------------------------------------

// The line holding `pos`, with its line end; line ends shown as ␍/␊ when the
// position is on one, removed otherwise.
std::string failure_line_text(std::string_view input, std::size_t pos) {
  std::size_t start = 0;
  if (pos > 0) {
    const std::size_t nl = input.rfind('\n', pos - 1);
    if (nl != std::string_view::npos) start = nl + 1;
  }
  std::size_t end = input.size();
  if (!input.empty() && pos + 1 != input.size()) {
    const std::size_t nl = input.find('\n', pos);
    if (nl != std::string_view::npos) end = nl + 1;
  }
  if (start > end) start = end;
  const std::string_view line = input.substr(start, end - start);
  const bool visualize =
      pos < input.size() && (input[pos] == '\n' || input[pos] == '\r');
  std::string out;
  out.reserve(line.size() + 8);
  for (const char c : line) {
    if (c == '\r') {
      if (visualize) out += "\u240D";
    } else if (c == '\n') {
      if (visualize) out += "\u240A";
    } else {
      out += c;
    }
  }
  return out;
}

std::string enumerate_rules(const std::vector<Rule>& rules) {
  std::string out;
  const std::size_t n = rules.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += n == 2 ? " or " : (i + 1 == n ? ", or " : ", ");
    out += rule_name(rules[i]);
  }
  return out;
}

std::string failure_message(const ParseFailure& f) {
  if (f.custom) return f.custom_message;
  const bool has_neg = !f.negatives.empty();
  const bool has_pos = !f.positives.empty();
  if (has_neg && has_pos)
    return "unexpected " + enumerate_rules(f.negatives) + "; expected " +
           enumerate_rules(f.positives);
  if (has_neg) return "unexpected " + enumerate_rules(f.negatives);
  if (has_pos) return "expected " + enumerate_rules(f.positives);
  return "unknown parsing error";
}

// " --> L:C", the line, a marker under the column, and the message.
std::string failure_display(const ParseFailure& f) {
  const std::string line_no = std::to_string(f.line);
  const std::string s(line_no.size(), ' ');
  std::string underline;
  std::size_t skipped = 0;
  for (std::size_t i = 0; i < f.line_text.size() && skipped + 1 < f.column; ++i) {
    const char c = f.line_text[i];
    if ((static_cast<unsigned char>(c) & 0xC0u) == 0x80u) continue;
    underline += c == '\t' ? '\t' : ' ';
    ++skipped;
  }
  underline += "^---";
  std::string out;
  out += s + "--> " + line_no + ":" + std::to_string(f.column) + "\n";
  out += s + " |\n";
  out += line_no + " | " + f.line_text + "\n";
  out += s + " | " + underline + "\n";
  out += s + " |\n";
  out += s + " = " + failure_message(f);
  return out;
}

void sort_dedup(std::vector<Rule>& rules) {
  std::sort(rules.begin(), rules.end());  // equal rules are alike: no need for stability
  rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
}

}  // namespace

void offset_failure_lines(ParseFailure& failure, std::size_t offset) {
  failure.line += offset;
  failure.display = failure_display(failure);
}

ParseResult NCParser::parse(Rule rule, std::string_view input) {
  const auto index = static_cast<std::size_t>(rule);
  PState st;
  st.begin = input.data();
  // a line parsed alone stands inside the program's block list
  if (rule != Rule::file && rule != Rule::blocks) st.block_lists = 1;
  Input in(input.data(), input.data() + input.size(), "");
  bool ok = false;
  if (index < kRuleCount && input.size() >= std::numeric_limits<std::uint32_t>::max()) {
    st.abort = Abort::TooLarge;  // token positions are 32 bits wide
  } else if (index < kRuleCount) {
    // about 1.6 tokens per byte in programs; large lists grow without copying
    st.tokens.reserve(input.size() < 65536 ? input.size() * 2 + 16 : input.size() / 2);
    ok = kMatchers[index](in, st);
  }
  if (ok && st.abort == Abort::None) {
    auto tree = std::make_shared<ParseTree>(
        ParseTree{std::move(st.tokens), input, LineIndex(input)});
    const auto count = static_cast<std::uint32_t>(tree->tokens.size());
    return Pairs(std::move(tree), 0, count, 0);
  }
  ParseFailure f;
  if (st.abort != Abort::None || index >= kRuleCount) {
    f.custom = true;
    if (index >= kRuleCount) {
      f.custom_message = "no such grammar rule";
    } else if (st.abort == Abort::TooDeep) {
      f.custom_message = "nesting too deep: more than " + std::to_string(kMaxNesting) +
                         " nested levels of parentheses, brackets, calls or control structures";
    } else {
      f.custom_message =
          "program too large for the parser: at most 4 GiB of text and 2^32 parse-tree tokens";
    }
    f.pos = st.abort_pos;
  } else {
    f.positives = st.attempts.rules(false);
    f.negatives = st.attempts.rules(true);
    sort_dedup(f.positives);
    sort_dedup(f.negatives);
    f.pos = st.attempt_pos;
  }
  f.pos = std::min(f.pos, input.size());
  const LineIndex lines(input);
  std::tie(f.line, f.column) = lines.line_col(input, f.pos);
  f.line_text = failure_line_text(input, f.pos);
  f.display = failure_display(f);
  return std::unexpected(std::move(f));
}

}  // namespace kelvane::types
