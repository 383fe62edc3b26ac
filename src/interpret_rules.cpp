#include "interpret_rules.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "interpret_rules_internal.hpp"
#include "text.hpp"

// What every part of the block interpreter uses: where a node stands, the
// errors located at it, node access and the small builders of messages.
namespace kelvane::interpret_rules {

using errors::fail;

// ---------------------------------------------------------------------------
// Locations

std::size_t node_line(const types::Pair& node) {
  const types::ParseTree& tree = *node.tree();
  const auto& starts = tree.lines.starts;
  const std::size_t pos = node.start_pos();
  // Blocks are executed in source order, so the line of the previous lookup
  // is usually the answer or a few lines before it.
  std::size_t line = tree.line_hint.get();  // 1-based, without line offset
  const std::size_t n = starts.size();
  if (line >= 1 && line <= n && starts[line - 1] <= pos) {
    std::size_t steps = 0;
    while (line < n && starts[line] <= pos && steps < 8) {
      ++line;
      ++steps;
    }
    if (line < n && starts[line] <= pos) line = 0;  // too far ahead: search
  } else {
    line = 0;
  }
  if (line == 0) {
    const auto it = std::upper_bound(starts.begin(), starts.end(), pos);
    line = static_cast<std::size_t>(it - starts.begin());
    if (line == 0) line = 1;
  }
  tree.line_hint.set(line);
  return line + node.line_offset();
}

std::string line_text_of(const state::State& state, std::size_t line) {
  return state.line_text(line);
}

errors::ParsingError annotate_error(const types::Pair& node, std::string_view context,
                                    std::string_view message, const state::State& state) {
  const std::size_t line = node_line(node);
  return errors::ParsingError::with_context(line, state.line_text(line), context, message);
}

std::pair<std::size_t, std::string> get_error_context(const types::Pair& node,
                                                      const state::State& state) {
  const std::size_t line = node_line(node);
  return {line, state.line_text(line)};
}
ParsingError unexpected_rule_error(const Pair& node, std::string_view context,
                                   std::string details, const State& state) {
  const std::size_t line = node_line(node);
  return errors::UnexpectedRule{std::string(context), state.line_text(line), std::move(details),
                                line, node.as_rule()};
}

ParsingError unexpected_rule(std::string_view context, std::string_view details_prefix,
                             const Pair& node, const State& state) {
  return unexpected_rule_error(node, context, cat({details_prefix, types::rule_name(node.as_rule())}),
                               state);
}

// ---------------------------------------------------------------------------
// Nodes

std::optional<Pair> first_child(const Pair& node) {
  const auto& tokens = node.tree()->tokens;
  const std::uint32_t start = node.token_index();
  if (tokens[start].next <= start + 1) return std::nullopt;  // no children
  return Pair(node.tree(), start + 1, node.line_offset());
}

std::vector<Pair> children(const Pair& node) {
  const types::Pairs inner = node.into_inner();
  std::vector<Pair> out;
  out.reserve(inner.count());
  for (Pair p : inner) out.push_back(std::move(p));
  return out;
}

Result<std::array<Pair, 2>> two_children(const Pair& node) {
  const std::uint32_t end = node.children_end();
  const std::uint32_t first = node.children_begin();
  if (first >= end) return fail(errors::InvalidElementCount{2, std::size_t{0}});
  const std::uint32_t second = node.next_sibling(first);
  if (second >= end) return fail(errors::InvalidElementCount{2, std::size_t{1}});
  return std::array<Pair, 2>{node.node_at(first), node.node_at(second)};
}

const Columns& columns() {
  static const Columns c;
  return c;
}

// ---------------------------------------------------------------------------
// Messages and numbers

std::string cat(std::initializer_list<std::string_view> parts) {
  std::size_t n = 0;
  for (auto p : parts) n += p.size();
  std::string out;
  out.reserve(n);
  for (auto p : parts) out.append(p);
  return out;
}

void append_int(std::string& out, std::int64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

std::uint64_t saturating_u64(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

std::optional<double> parse_literal(std::string_view text) {
  text = text::trim(text, kBlanks);
  if (text.empty()) return std::nullopt;
  double v = 0.0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (*first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, v, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // overflow reads as an infinity, underflow as zero, like strtod
    const std::string copy(text);
    return std::strtod(copy.c_str(), nullptr);
  }
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return v;
}

}  // namespace kelvane::interpret_rules
