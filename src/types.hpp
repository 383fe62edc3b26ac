#pragma once
// NC language front end: grammar rules, parse tree nodes and cell values.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <iosfwd>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "limits.hpp"

namespace kelvane::types {

// The grammar's rules in grammar order (rules.def); the ordinal orders
// error lists.
enum class Rule : std::uint8_t {
#define RULE(name, description) name,
#include "rules.def"
#undef RULE
};

inline constexpr std::size_t kRuleCount = 0
#define RULE(name, description) +1
#include "rules.def"
#undef RULE
    ;

// The deepest nesting a parse accepts, in levels: each parenthesis, array
// index, function argument list and structure body around a point adds one.
// The bound is the same for a whole program and for a line parsed alone; a
// deeper text fails with a custom failure that names it.
inline constexpr std::uint32_t kMaxNesting = limits::kMaxNesting;

// The rule's name exactly as written in the grammar.
std::string_view rule_name(Rule rule);
std::ostream& operator<<(std::ostream& os, Rule rule);

// The value of one output cell.
using Value = std::variant<std::string, double, std::vector<std::string>>;
// Value alternatives: index 0 = Str (text), 1 = Float, 2 = List (M words).
enum class ValueKind : std::uint8_t { Str = 0, Float = 1, List = 2 };
inline ValueKind value_kind(const Value& v) { return static_cast<ValueKind>(v.index()); }

// One entry of the flat token list kept by a parse: one per node, in the
// order the nodes start, a node before its descendants, so that the children
// of node i run from i + 1 to its `next`, one after another by their `next`.
// Inputs are shorter than 4 GiB.
struct NodeToken {
  std::uint32_t pos;   // byte offset of the node's start in the input
  std::uint32_t end;   // byte offset of its end
  std::uint32_t next;  // the index behind its last descendant
  Rule rule;
  NodeToken(std::size_t p, Rule r) : pos(static_cast<std::uint32_t>(p)), end(pos), next(0), rule(r) {}
};

// The token list of one parse: one contiguous block that grows in place where
// the allocator can (large blocks are remapped, not copied).
class TokenBuffer {
 public:
  TokenBuffer() = default;
  TokenBuffer(const TokenBuffer&) = delete;
  TokenBuffer& operator=(const TokenBuffer&) = delete;
  TokenBuffer(TokenBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)),
        mapped_(std::exchange(o.mapped_, false)) {}
  TokenBuffer& operator=(TokenBuffer&& o) noexcept;
  ~TokenBuffer();

  const NodeToken& operator[](std::size_t i) const { return data_[i]; }
  NodeToken& operator[](std::size_t i) { return data_[i]; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const NodeToken* begin() const { return data_; }
  const NodeToken* end() const { return data_ + size_; }

  void reserve(std::size_t n);
  [[gnu::always_inline]] void emplace_back(std::size_t pos, Rule rule) {
    if (size_ == capacity_) [[unlikely]] grow();
    new (data_ + size_) NodeToken(pos, rule);
    ++size_;
  }
  // Appends n tokens, their sibling indices moved by `shift`.
  void append(const NodeToken* from, std::size_t n, std::uint32_t shift);
  // Drops every token from index n on.
  void truncate(std::size_t n) {
    if (n < size_) size_ = n;
  }

 private:
  [[gnu::noinline]] void grow();
  void release() noexcept;
  NodeToken* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;  // a block of its own pages rather than a heap block
};

// Byte offsets at which lines begin (0 and after every "\n").
struct LineIndex {
  std::vector<std::size_t> starts;
  explicit LineIndex(std::string_view input);
  // 1-based (line, column in characters) of a byte offset.
  std::pair<std::size_t, std::size_t> line_col(std::string_view input, std::size_t pos) const;
};

// The line of the node looked up last in a tree (1-based): blocks run in
// source order, so the next lookup starts from it. Only a hint, checked
// before it is used; copies take its value.
class LineHint {
 public:
  LineHint() = default;
  LineHint(const LineHint& o) : line_(o.get()) {}
  LineHint& operator=(const LineHint& o) {
    set(o.get());
    return *this;
  }
  std::size_t get() const { return line_.load(std::memory_order_relaxed); }
  void set(std::size_t line) const { line_.store(line, std::memory_order_relaxed); }

 private:
  mutable std::atomic<std::size_t> line_{1};
};

struct ParseTree {
  TokenBuffer tokens;
  std::string_view input;
  LineIndex lines;
  LineHint line_hint;
};

class Pairs;

// One node of a parse tree: a small handle sharing the token list; copying it
// (or `clone`) copies no text and no tokens.
class Pair {
 public:
  Pair(std::shared_ptr<const ParseTree> tree, std::uint32_t start, std::size_t line_offset = 0)
      : tree_(std::move(tree)), start_(start), line_offset_(line_offset) {}

  Rule as_rule() const { return tree_->tokens[start_].rule; }
  // The exact input text the node's rule matched.
  std::string_view as_str() const {
    return tree_->input.substr(start_pos(), end_pos() - start_pos());
  }
  std::size_t start_pos() const { return tree_->tokens[start_].pos; }
  std::size_t end_pos() const { return tree_->tokens[start_].end; }
  // Direct children in source order, each with this node's line offset.
  Pairs into_inner() const;
  // 1-based (line + line_offset, column in characters) of the node's start.
  std::pair<std::size_t, std::size_t> line_col() const;
  std::size_t line_offset() const { return line_offset_; }
  Pair with_line_offset(std::size_t offset) const { return Pair(tree_, start_, offset); }
  Pair clone() const { return *this; }
  std::string_view input() const { return tree_->input; }
  const std::shared_ptr<const ParseTree>& tree() const { return tree_; }
  std::uint32_t token_index() const { return start_; }

  // Walking the children by token index, without a handle per step (each
  // handle shares the tree): the first child's index, the index behind the
  // last child, the sibling after the child at index i, and its rule and
  // start.
  std::uint32_t children_begin() const { return start_ + 1; }
  std::uint32_t children_end() const { return next_index(); }
  std::uint32_t next_sibling(std::uint32_t i) const { return tree_->tokens[i].next; }
  Rule rule_at(std::uint32_t i) const { return tree_->tokens[i].rule; }
  std::size_t start_pos_at(std::uint32_t i) const { return tree_->tokens[i].pos; }
  // The node at token index i of this tree, with this node's line offset.
  Pair node_at(std::uint32_t i) const { return Pair(tree_, i, line_offset_); }

 private:
  std::uint32_t next_index() const { return tree_->tokens[start_].next; }
  std::shared_ptr<const ParseTree> tree_;
  std::uint32_t start_;
  std::size_t line_offset_;
};

// A sequence of sibling nodes: tokens [start, end) of one tree.
class Pairs {
 public:
  Pairs(std::shared_ptr<const ParseTree> tree, std::uint32_t start, std::uint32_t end,
        std::size_t line_offset)
      : tree_(std::move(tree)), pos_(start), end_(end), line_offset_(line_offset) {}

  // The next sibling, or nothing at the end.
  std::optional<Pair> next() {
    if (pos_ >= end_) return std::nullopt;
    Pair p(tree_, pos_, line_offset_);
    pos_ = tree_->tokens[pos_].next;
    return p;
  }
  std::optional<Pair> peek() const {
    if (pos_ >= end_) return std::nullopt;
    return Pair(tree_, pos_, line_offset_);
  }
  bool empty() const { return pos_ >= end_; }
  std::size_t count() const;  // number of remaining siblings

  class iterator {
   public:
    iterator(const Pairs* owner, std::uint32_t pos) : owner_(owner), pos_(pos) {}
    Pair operator*() const { return Pair(owner_->tree_, pos_, owner_->line_offset_); }
    iterator& operator++() { pos_ = owner_->tree_->tokens[pos_].next; return *this; }
    bool operator!=(const iterator& o) const { return pos_ != o.pos_; }
    bool operator==(const iterator& o) const { return pos_ == o.pos_; }
   private:
    const Pairs* owner_;
    std::uint32_t pos_;
  };
  iterator begin() const { return iterator(this, pos_); }
  iterator end() const { return iterator(this, end_); }

 private:
  std::shared_ptr<const ParseTree> tree_;
  std::uint32_t pos_;
  std::uint32_t end_;
  std::size_t line_offset_;
};

inline Pairs Pair::into_inner() const {
  return Pairs(tree_, start_ + 1, next_index(), line_offset_);
}

// The error value of a failed parse.
struct ParseFailure {
  // Parsing-attempt failure (positives/negatives at the furthest position), or
  // a custom failure with a message (the nesting bound).
  bool custom = false;
  std::string custom_message;
  std::vector<Rule> positives;  // ascending ordinal, no duplicates
  std::vector<Rule> negatives;  // ascending ordinal, no duplicates
  std::size_t pos = 0;          // byte offset of the furthest position
  std::size_t line = 1;         // 1-based, no line offset
  std::size_t column = 1;       // 1-based, in characters
  std::string line_text;        // the line, with \r/\n shown as ␍/␊ at the position
  std::string display;          // the parser's own text: position and rules
};

using ParseResult = std::expected<Pairs, ParseFailure>;

// Tells whether a line (without its line end) may stand in a block list as a
// block node that holds only its block number: a line whose caller runs it
// from its text, and which the grammar takes whole as one block.
using LineSkimmer = bool (*)(std::string_view line);

// The nodes of a tree in token order, one "depth:rule@start-end " each.
// Under a block whose line `collapse` takes (a line without "\r"), only the
// nodes of its block number are given: the nodes a skimmed block holds, so
// that a skimmed parse and a full one can be compared.
std::string describe_tree(const ParseTree& tree, LineSkimmer collapse = nullptr);

// Gives a failure of a text that begins on line `offset` + 1 of a program the
// program's line number, in its line and in its display.
void offset_failure_lines(ParseFailure& failure, std::size_t offset);


// The parser of the NC grammar.
struct NCParser {
  // Runs `rule` from the start of `input` (which must outlive the result).
  // Start rules `file`, `single_line`, `sparse_lines` give one top-level node.
  // The lines `skim` takes are not parsed into their words (see LineSkimmer);
  // a parse that fails is made again without it, so that its error is the
  // grammar's own.
  static ParseResult parse(Rule rule, std::string_view input, LineSkimmer skim = nullptr);

  // Runs job(k) for every k in [0, n) and returns once all are done; the
  // jobs may run at the same time.
  using PartRunner = void (*)(std::size_t n, const std::function<void(std::size_t)>& job);
  // The rule `file` over `input`, the text cut into parts at the line ends
  // `cuts` (ascending offsets of "\n"): `run` parses the parts' blocks each on
  // its own, and they are joined into the tree the parse in one piece gives.
  // Where a part does not parse whole on its own (a cut inside a structure,
  // a text in quotes that runs on behind its part) the text is parsed in one
  // piece.
  static ParseResult parse_file(std::string_view input, LineSkimmer skim,
                                std::span<const std::size_t> cuts, PartRunner run);
};

}  // namespace kelvane::types
