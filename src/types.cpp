#include "types.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <tuple>
#include <type_traits>

#include <sys/mman.h>

#include "grammar.hpp"

namespace kelvane::types {

namespace {

// The name as written in the grammar: the identifier without the "_" that
// keeps it apart from a C++ keyword.
constexpr std::string_view printed_name(std::string_view identifier) {
  return identifier.ends_with('_') ? identifier.substr(0, identifier.size() - 1) : identifier;
}

constexpr std::string_view kRuleNames[kRuleCount] = {
#define RULE(name, description) printed_name(#name),
#include "rules.def"
#undef RULE
};

}  // namespace

std::string_view rule_name(Rule rule) {
  const auto i = static_cast<std::size_t>(rule);
  return i < kRuleCount ? kRuleNames[i] : std::string_view("?");
}

std::ostream& operator<<(std::ostream& os, Rule rule) { return os << rule_name(rule); }

// ---------------------------------------------------------------------------
// Token storage

static_assert(std::is_trivially_copyable_v<NodeToken>);
static_assert(sizeof(NodeToken) == 16);

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
    ::munmap(static_cast<void*>(data_), capacity_ * sizeof(NodeToken));
  } else {
    std::free(static_cast<void*>(data_));
  }
  data_ = nullptr;
}

namespace {
constexpr std::size_t kPageBytes = 4096;
// Token lists from this size on get pages of their own, which grow by
// remapping instead of copying. They are not asked for huge pages: on a
// virtual machine whose host takes back free memory, huge pages come from
// the blocks it took, and their first touch costs several times the 4 KiB
// page faults (2.2 s more on a 100 MB program with loops).
constexpr std::size_t kMappedBytes = std::size_t(4) << 20;
}  // namespace

void TokenBuffer::reserve(std::size_t n) {
  if (n <= capacity_) return;
  std::size_t bytes = n * sizeof(NodeToken);
  if (bytes < kMappedBytes) {
    void* p = std::realloc(static_cast<void*>(data_), bytes);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<NodeToken*>(p);
    capacity_ = n;
    return;
  }
  // whole pages, a whole number of tokens
  const std::size_t unit = kPageBytes * sizeof(NodeToken);
  bytes = (bytes + unit - 1) / unit * unit;
  void* p = nullptr;
  if (mapped_) {
    p = ::mremap(static_cast<void*>(data_), capacity_ * sizeof(NodeToken), bytes,
                 MREMAP_MAYMOVE);
  } else {
    p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED && data_ != nullptr)
      std::memcpy(p, static_cast<const void*>(data_), size_ * sizeof(NodeToken));
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  if (!mapped_) std::free(static_cast<void*>(data_));
  data_ = static_cast<NodeToken*>(p);
  capacity_ = bytes / sizeof(NodeToken);
  mapped_ = true;
}

void TokenBuffer::grow() { reserve(capacity_ < 64 ? 64 : capacity_ * 2); }

void TokenBuffer::append(const NodeToken* from, std::size_t n, std::uint32_t shift) {
  if (size_ + n > capacity_) reserve(std::max(size_ + n, capacity_ * 2));
  NodeToken* out = data_ + size_;
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = from[i];
    out[i].next += shift;
  }
  size_ += n;
}

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
  for (std::uint32_t p = pos_; p < end_; p = tree_->tokens[p].next) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Parsing: the entry and the failure value

namespace {

using namespace grammar;

// --- entry ------------------------------------------------------------------

using MatchFn = bool (*)(Input&, PState&);

template <typename R>
bool run(Input& in, PState& st) {
  return control<R>::template match<pg::apply_mode::nothing, pg::rewind_mode::required,
                                    pg::nothing, control>(in, st);
}

constexpr MatchFn kMatchers[kRuleCount] = {
#define RULE(name, description) run<g::name>,
#include "rules.def"
#undef RULE
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

// The failure of a parse that did not match, or was stopped (`known` false
// when the rule is none of the grammar's).
ParseFailure failure_of(const PState& st, bool known, std::string_view input) {
  ParseFailure f;
  if (st.abort != Abort::None || !known) {
    f.custom = true;
    if (!known) {
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
  return f;
}

}  // namespace

void offset_failure_lines(ParseFailure& failure, std::size_t offset) {
  failure.line += offset;
  failure.display = failure_display(failure);
}

ParseResult NCParser::parse(Rule rule, std::string_view input, LineSkimmer skim) {
  const auto index = static_cast<std::size_t>(rule);
  const bool known = index < kRuleCount;
  PState st;
  st.begin = input.data();
  st.skim = skim;
  // a line parsed alone stands inside the program's block list
  if (rule != Rule::file && rule != Rule::blocks) st.block_lists = 1;
  Input in(input.data(), input.data() + input.size(), "");
  bool ok = false;
  if (known && input.size() > limits::kMaxParseBytes) {
    st.abort = Abort::TooLarge;  // token positions are 32 bits wide
  } else if (known) {
    // about 0.8 nodes per byte in programs; large lists grow without copying
    st.tokens.reserve(input.size() < 65536 ? input.size() + 16 : input.size() / 4);
    ok = kMatchers[index](in, st);
  }
  if (!ok || st.abort != Abort::None) {
    // the attempts inside a skimmed line were not made: the error is the full parse's
    if (skim != nullptr) return parse(rule, input, nullptr);
    return std::unexpected(failure_of(st, known, input));
  }
  auto tree = std::make_shared<ParseTree>(ParseTree{std::move(st.tokens), input, LineIndex(input), {}});
  const auto count = static_cast<std::uint32_t>(tree->tokens.size());
  return Pairs(std::move(tree), 0, count, 0);
}

std::string describe_tree(const ParseTree& tree, LineSkimmer collapse) {
  std::string out;
  const TokenBuffer& t = tree.tokens;
  std::vector<std::uint32_t> open;  // the ends of the enclosing nodes
  auto node = [&](std::uint32_t k, std::size_t depth) {
    out += std::to_string(depth) + ":" + std::string(rule_name(t[k].rule)) + "@" +
           std::to_string(t[k].pos) + "-" + std::to_string(t[k].end) + " ";
  };
  for (std::uint32_t i = 0; i < t.size();) {
    while (!open.empty() && open.back() <= i) open.pop_back();
    node(i, open.size());
    const std::string_view text = tree.input.substr(t[i].pos, t[i].end - t[i].pos);
    if (collapse != nullptr && t[i].rule == Rule::block &&
        text.find('\r') == std::string_view::npos && collapse(text)) {
      for (std::uint32_t j = i + 1; j < t[i].next; ++j) {
        if (t[j].rule != Rule::block_number) continue;
        node(j, open.size() + 1);
        for (std::uint32_t k = j + 1; k < t[j].next; ++k) node(k, open.size() + 2);
      }
      i = t[i].next;
      continue;
    }
    open.push_back(t[i].next);
    ++i;
  }
  return out;
}

namespace {

// One part of a program parsed on its own: the tokens of its blocks (the
// first part's behind the places of the file and blocks nodes; the last
// part's followed by the end-of-input node).
struct ProgramPart {
  std::size_t begin = 0;
  std::size_t end = 0;
  PState st;
  bool ok = false;
};

template <typename R>
bool run_part(Input& in, PState& st) {
  return control<R>::template match<pg::apply_mode::nothing, pg::rewind_mode::required,
                                    pg::nothing, control>(in, st);
}

void parse_part(std::string_view input, ProgramPart& part, bool first, bool last,
                LineSkimmer skim) {
  PState& st = part.st;
  st.begin = input.data();
  st.skim = skim;
  // the part's blocks stand inside the program's block list
  st.block_lists = 1;
  const std::size_t bytes = part.end - part.begin;
  st.tokens.reserve(bytes < 65536 ? bytes + 16 : bytes / 4);
  if (first) {
    st.tokens.emplace_back(0, Rule::file);
    st.tokens.emplace_back(0, Rule::blocks);
  }
  Input in(input.data() + part.begin, input.data() + part.end, "");
  skip_ws(in, st);
  if (first) st.tokens[1] = NodeToken(offset(in, st), Rule::blocks);
  const bool ok = last ? run_part<wseq<blocks_body, opt_<g::newline>, g::EOI>>(in, st)
                       : run_part<wseq<blocks_body, pg::eof>>(in, st);
  // a text in quotes that ran on to the end of a part may go on behind it
  part.ok = ok && st.abort == Abort::None && (last || !st.quote_ran_out);
}

}  // namespace

ParseResult NCParser::parse_file(std::string_view input, LineSkimmer skim,
                                 std::span<const std::size_t> cuts, PartRunner run) {
  auto whole = [&] { return parse(Rule::file, input, skim); };
  if (cuts.empty() || run == nullptr || input.size() > limits::kMaxParseBytes) return whole();
  const std::size_t n = cuts.size() + 1;
  std::vector<ProgramPart> parts(n);
  std::size_t begin = 0;
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t end = input.size();
    if (k + 1 < n) {
      const std::size_t cut = cuts[k];
      if (cut < begin || cut >= input.size() || input[cut] != '\n') return whole();
      end = cut > begin && input[cut - 1] == '\r' ? cut - 1 : cut;
    }
    parts[k].begin = begin;
    parts[k].end = end;
    if (k + 1 < n) begin = cuts[k] + 1;
  }
  run(n, [&](std::size_t k) { parse_part(input, parts[k], k == 0, k + 1 == n, skim); });
  std::size_t total = 0;
  for (const ProgramPart& part : parts) {
    if (!part.ok) return whole();
    total += part.st.tokens.size();
  }
  if (total >= limits::kMaxParseTokens) return whole();

  // the parts' nodes behind the first part's, their sibling indices moved
  TokenBuffer tokens = std::move(parts[0].st.tokens);
  tokens.reserve(total);
  std::uint32_t last_start = 2;  // the last part's first block
  for (std::size_t k = 1; k < n; ++k) {
    const TokenBuffer& t = parts[k].st.tokens;
    last_start = static_cast<std::uint32_t>(tokens.size());
    tokens.append(t.begin(), t.size(), static_cast<std::uint32_t>(tokens.size()));
    parts[k].st.tokens = TokenBuffer();
  }
  const auto count = static_cast<std::uint32_t>(tokens.size());
  const std::uint32_t eoi = count - 1;  // the last part ends with the end of input
  NodeToken& file = tokens[0];
  file.end = static_cast<std::uint32_t>(input.size());
  file.next = count;
  NodeToken& blocks = tokens[1];
  blocks.next = eoi;
  // the blocks end where their last block ends (every part holds a block)
  for (std::uint32_t i = last_start; i < eoi; i = tokens[i].next) blocks.end = tokens[i].end;
  auto tree = std::make_shared<ParseTree>(ParseTree{std::move(tokens), input, LineIndex(input), {}});
  return Pairs(std::move(tree), 0, count, 0);
}

}  // namespace kelvane::types
