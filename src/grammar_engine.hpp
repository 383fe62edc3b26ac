#pragma once
// The parsing machinery under the NC grammar, on PEGTL, with the bookkeeping
// of a PEG parser state: a flat token list, atomicity, lookahead, the
// attempts at the furthest position and the nesting bound; the combinators
// that skip implicit whitespace; and the matchers written by hand.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include <tao/pegtl.hpp>
#include <tao/pegtl/contrib/analyze_traits.hpp>

#include "limits.hpp"
#include "types.hpp"

namespace kelvane::types::grammar {

namespace pg = tao::pegtl;

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
  std::uint32_t depth = 0;        // levels of nesting (see match_body)
  std::uint32_t expressions = 0;  // active `expression` matches
  std::uint32_t block_lists = 0;  // active `blocks` matches, plus one outside `file`
  Atomicity atomicity = Atomicity::NonAtomic;
  Lookahead lookahead = Lookahead::None;
  Abort abort = Abort::None;
  std::size_t abort_pos = 0;
  // the last identifier scanned: where it starts and where it ends (null: none there)
  const char* ident_at = nullptr;
  const char* ident_end = nullptr;
  // the lines that stand as a block without their words (null: none)
  LineSkimmer skim = nullptr;
  // a text in quotes ran on to the end of the input: a parse of a part of a
  // program may have ended a string that runs on behind the part
  bool quote_ran_out = false;

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
  K_MATCH_SIGNATURE
  static bool match(ParseInput& in, PState& st) {
    const char* p = in.current();
    const std::size_t n = static_cast<std::size_t>(in.end() - p);
    const void* hit = std::memchr(p, '"', n);
    if (hit == nullptr) st.quote_ran_out = true;
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

// The nesting bound: every recursion of the grammar passes through an
// `expression` or a `blocks` match. A level of nesting is an expression inside
// another one (a parenthesis, an array index or a function argument) or a block
// list inside another one (a structure body); the outermost expression of a
// statement and the program's own block list are none, so a line nests as deep
// whether it is parsed with the whole program or alone. One level takes about
// 1 KiB of stack in an optimised build and up to 8 KiB with sanitizers, so
// limits::kMaxNesting levels stay far inside a 2 MiB worker stack; real
// programs nest a few levels deep.
template <typename R, pg::apply_mode A, template <typename...> class Action,
          template <typename...> class Control>
bool match_body(Input& in, PState& st) {
  if constexpr (R::kNesting) {
    std::uint32_t& active = R::kRule == Rule::expression ? st.expressions : st.block_lists;
    // the outermost expression and the outermost block list are no level
    const std::uint32_t level = active > 0 ? 1 : 0;
    if (level != 0 && st.depth >= limits::kMaxNesting) {
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
      if (index >= limits::kMaxParseTokens) [[unlikely]] {
        st.abort = Abort::TooLarge;
        st.abort_pos = pos;
        st.atomicity = outer;
        return false;
      }
      st.tokens.emplace_back(pos, R::kRule);
    }
    const std::size_t prev_attempts = st.attempts_at(pos);
    if constexpr (R::kKind == Kind::Atomic) st.atomicity = Atomicity::Atomic;
    const bool ok = match_body<R, A, Action, Control>(in, st);
    if constexpr (R::kKind == Kind::Atomic) st.atomicity = outer;
    if (ok) {
      if (st.lookahead == Lookahead::Negative && pos >= st.attempt_pos) [[unlikely]]
        st.track(R::kRule, pos, prev_attempts);
      if (record) {
        NodeToken& node = st.tokens[index];
        node.end = static_cast<std::uint32_t>(offset(in, st));
        node.next = static_cast<std::uint32_t>(st.tokens.size());
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
  return st.depth < limits::kMaxNesting && st.tokens.size() < limits::kMaxParseTokens - 64;
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

}  // namespace kelvane::types::grammar

// What PEGTL's grammar analysis needs to know of the combinators above: which
// may succeed without consuming input. Implicit whitespace is optional, so a
// sequence consumes exactly when one of its elements does.
namespace tao::pegtl {
namespace kg = kelvane::types::grammar;

template <typename Name, typename... Rs>
struct analyze_traits<Name, kg::wseq<Rs...>> : analyze_seq_traits<Rs...> {};
// a repetition is its element followed by itself, so that an element that may
// consume nothing shows as a cycle
template <typename Name, typename R>
struct analyze_traits<Name, kg::wstar<R>> : analyze_opt_traits<R, Name> {};
template <typename Name, typename R>
struct analyze_traits<Name, kg::wplus<R>> : analyze_seq_traits<R, kg::wstar<R>> {};
template <typename Name, typename R>
struct analyze_traits<Name, kg::opt_<R>> : analyze_opt_traits<R> {};
template <typename Name, typename R>
struct analyze_traits<Name, kg::pos_la<R>> : analyze_opt_traits<R> {};
template <typename Name, typename R>
struct analyze_traits<Name, kg::neg_la<R>> : analyze_opt_traits<R> {};
template <typename Name, typename... Rs>
struct analyze_traits<Name, kg::alt<Rs...>> : analyze_sor_traits<Rs...> {};
template <typename Name, kelvane::types::Rule R, kg::Kind K, typename Body, bool Nesting>
struct analyze_traits<Name, kg::def<R, K, Body, Nesting>> : analyze_seq_traits<Body> {};
// the text up to a quote or a line end may be empty
template <typename Name>
struct analyze_traits<Name, kg::until_quote> : analyze_opt_traits<> {};
template <typename Name>
struct analyze_traits<Name, kg::until_line_end> : analyze_opt_traits<> {};
// an identifier has at least one character
template <typename Name>
struct analyze_traits<Name, kg::identifier_body> : analyze_any_traits<> {};

}  // namespace tao::pegtl
