#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "text.hpp"

// Jumps: the keys of labels and block numbers, the jump table of a block
// list, where a request lands, the jump-not-found error with its hint, and
// the GOTO, IF ... GOTO, CASE and GOTOS statements.
namespace kelvane::interpret_rules {

using errors::fail;

std::string label_jump_key(std::string_view label) {
  return "LABEL:" + text::to_upper(text::trim(label, kBlanks));
}

std::string block_number_jump_key(std::string_view digits) {
  digits = text::trim(digits, kBlanks);
  const auto nz = digits.find_first_not_of('0');
  std::string_view rest = nz == std::string_view::npos ? std::string_view("0") : digits.substr(nz);
  return "N:" + std::string(rest);
}

std::string target_jump_key(std::string_view target) {
  const std::string_view t = text::trim(target, kBlanks);
  std::string_view s = t;
  if (t.size() > 1 && (t[0] == 'N' || t[0] == 'n')) s = t.substr(1);
  bool digits = !s.empty();
  for (char c : s) {
    if (c < '0' || c > '9') {
      digits = false;
      break;
    }
  }
  if (digits) return block_number_jump_key(s);
  return "LABEL:" + text::to_upper(t);
}

namespace {

// The jump key a child of a block carries: its label or its block number.
std::optional<std::string> carried_jump_key(const Pair& child) {
  if (child.as_rule() == Rule::label_def) {
    auto name = child.into_inner().next();
    std::string_view text = name ? name->as_str() : child.as_str();
    if (!name && text.ends_with(':')) text.remove_suffix(1);
    return label_jump_key(text);
  }
  if (child.as_rule() == Rule::block_number) return block_number_jump_key(child.as_str());
  return std::nullopt;
}

// The table of the blocks' keys; only those in `named` when it is given.
JumpTable scan_keys(std::span<const Pair> blocks, const state::StrSet* named) {
  JumpTable table;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    for (Pair child : blocks[i].into_inner()) {
      std::optional<std::string> key = carried_jump_key(child);
      if (key && (named == nullptr || named->find(*key) != named->end()))
        table[std::move(*key)].push_back(i);
    }
  }
  return table;
}

}  // namespace

JumpTable scan_jump_targets(std::span<const Pair> blocks) { return scan_keys(blocks, nullptr); }

JumpTable scan_jump_targets(std::span<const Pair> blocks, const state::StrSet& named) {
  return scan_keys(blocks, &named);
}

namespace {

// Whether a text holds the letters GOTO in any case: a tree without them has
// no jump statement to look for.
bool holds_goto_letters(std::string_view s) {
  if (s.size() < 4) return false;
  const char* const last = s.data() + s.size() - 3;  // a match starts before it
  auto find = [last](const char* from, char c) -> const char* {
    return from < last ? static_cast<const char*>(std::memchr(from, c, static_cast<std::size_t>(last - from)))
                       : nullptr;
  };
  const char* upper = find(s.data(), 'G');
  const char* lower = find(s.data(), 'g');
  while (upper != nullptr || lower != nullptr) {
    const bool take_upper = lower == nullptr || (upper != nullptr && upper < lower);
    const char* at = take_upper ? upper : lower;
    if (text::equals_upper(std::string_view(at, 4), "GOTO")) return true;
    if (take_upper) upper = find(at + 1, 'G');
    else lower = find(at + 1, 'g');
  }
  return false;
}

}  // namespace

state::StrSet named_jump_keys(const types::ParseTree& tree) {
  state::StrSet named;
  if (!holds_goto_letters(tree.input)) return named;
  const types::TokenBuffer& tokens = tree.tokens;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const types::NodeToken& t = tokens[i];
    if (t.rule != Rule::goto_target) continue;
    named.insert(target_jump_key(tree.input.substr(t.pos, t.end - t.pos)));
  }
  return named;
}

namespace {

// Writes the keys of the held tree's started lists into all_jump_targets.
void settle_tree(state::State::TreeJumpKeys& keys, state::StrSet& known) {
  if (!keys.tree) return;
  for (const std::uint32_t at : keys.started) {
    const std::vector<Pair> blocks = block_nodes(Pair(keys.tree, at));
    for (const auto& entry : scan_jump_targets(blocks)) known.insert(entry.first);
  }
  keys.started.clear();
}

}  // namespace

state::State::TreeJumpKeys& tree_jump_keys(const Pair& node, const State& state) {
  state::State::TreeJumpKeys& keys = state.tree_jump_keys;
  if (keys.tree != node.tree()) {
    settle_tree(keys, state.all_jump_targets);
    keys.tree = node.tree();
    const std::string_view input = keys.tree->input;
    const std::string_view source = state.source_text();
    const std::less<const char*> before;
    const bool in_source = !input.empty() && !before(input.data(), source.data()) &&
                           !before(source.data() + source.size(), input.data() + input.size());
    keys.text = in_source ? state.source : nullptr;
    keys.named = named_jump_keys(*keys.tree);
    keys.seen.assign(keys.tree->tokens.size() / 64 + 1, 0);
  }
  return keys;
}

void settle_jump_targets(const State& state) {
  settle_tree(state.tree_jump_keys, state.all_jump_targets);
}

void settle_borrowed_jump_targets(const State& state) {
  state::State::TreeJumpKeys& keys = state.tree_jump_keys;
  if (!keys.tree || keys.text) return;
  settle_tree(keys, state.all_jump_targets);
  keys = {};
}

std::optional<std::size_t> resolve_jump(const JumpTable& table, std::size_t current,
                                        const JumpRequest& request) {
  auto it = table.find(request.key);
  if (it == table.end()) return std::nullopt;
  const std::vector<std::size_t>& at = it->second;
  auto backward = [&]() -> std::optional<std::size_t> {
    std::optional<std::size_t> best;
    for (std::size_t i : at) {
      if (i <= current) best = i;
      else break;
    }
    return best;
  };
  auto forward = [&]() -> std::optional<std::size_t> {
    for (std::size_t i : at) {
      if (i > current) return i;
    }
    return std::nullopt;
  };
  switch (request.direction) {
    case JumpDirection::Backward:
      return backward();
    case JumpDirection::Forward:
      return forward();
    case JumpDirection::Both:
      if (auto f = forward()) return f;
      return backward();
  }
  return std::nullopt;
}

namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t sub = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, sub});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

std::string key_as_written(std::string_view key) {
  if (key.starts_with("LABEL:")) return std::string(key.substr(6));
  if (key.starts_with("N:")) return "N" + std::string(key.substr(2));
  return std::string(key);
}

// The known jump key nearest to `key`, one or two edits away, if any.
std::optional<std::string_view> nearest_key(const std::string& key, const state::StrSet& known) {
  std::optional<std::string_view> best;
  std::size_t best_distance = 3;
  for (const std::string& candidate : known) {
    // keys differing in length by more than 2 cannot be within distance 2
    const std::size_t diff = candidate.size() > key.size() ? candidate.size() - key.size()
                                                            : key.size() - candidate.size();
    if (diff > 2) continue;
    const std::size_t d = edit_distance(key, candidate);
    if (d >= 1 && d <= 2 && d < best_distance) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace

ParsingError JumpRequest::into_not_found_error(const State& state) const {
  std::string_view searched;
  std::string_view reason;
  switch (direction) {
    case JumpDirection::Backward:
      searched = "toward the beginning of the program (GOTOB)";
      reason = "GOTOB only searches toward the beginning of the program; use GOTOF or GOTO for a "
               "destination that lies after this block";
      break;
    case JumpDirection::Forward:
      searched = "toward the end of the program (GOTOF)";
      reason = "GOTOF only searches toward the end of the program; use GOTOB or GOTO for a "
               "destination that lies before this block";
      break;
    case JumpDirection::Both:
      searched = "in both directions (GOTO/GOTOC)";
      reason = "a jump cannot enter an IF or loop body from outside";
      break;
  }
  settle_jump_targets(state);
  std::string hint;
  if (state.all_jump_targets.empty()) {
    // no hint
  } else if (state.all_jump_targets.find(key) != state.all_jump_targets.end()) {
    hint = fmt("\n'{}' is defined, but not where this jump searches: {}.", target, reason);
  } else if (auto best = nearest_key(key, state.all_jump_targets)) {
    hint = fmt("\nDid you mean '{}'?", key_as_written(*best));
  }
  return errors::JumpTargetNotFound{line_text, target, std::string(searched), std::move(hint),
                                    line};
}

Result<Flow> interpret_goto(const Pair& goto_statement, State& state) {
  const std::size_t line = node_line(goto_statement);
  auto parts = goto_statement.into_inner();
  auto kw = parts.next();
  auto target_node = parts.next();
  if (!kw || !target_node) {
    return fail(annotate_error(goto_statement, "jump statement", "missing jump target", state));
  }
  const std::string keyword = text::to_upper(text::trim(kw->as_str(), kBlanks));
  JumpDirection direction;
  if (keyword == "GOTO" || keyword == "GOTOC") direction = JumpDirection::Both;
  else if (keyword == "GOTOB") direction = JumpDirection::Backward;
  else if (keyword == "GOTOF") direction = JumpDirection::Forward;
  else {
    return fail(annotate_error(goto_statement, "jump statement",
                               fmt("Unexpected jump keyword '{}'", keyword), state));
  }
  std::string target(text::trim(target_node->as_str(), kBlanks));
  std::string key = target_jump_key(target);
  if (keyword == "GOTOC" && !state.jump_target_visible(key)) {
    text::write_warning_line(fmt(
        "Warning: GOTOC destination '{}' not found; alarm suppressed, continuing with the next "
        "block (line {})",
        target, line));
    return Flow::cont();
  }
  return Flow::jump(JumpRequest{std::move(key), std::move(target), line_text_of(state, line), line,
                                direction});
}

Result<Flow> interpret_if_goto(const Pair& if_goto_statement, State& state) {
  auto parts = two_children(if_goto_statement);
  if (!parts) return fail(std::move(parts.error()));
  auto holds = evaluate_condition((*parts)[0], state);
  if (!holds) return fail(holds.error());
  if (!*holds) return Flow::cont();
  return interpret_goto((*parts)[1], state);
}

Result<Flow> interpret_case(const Pair& case_statement, State& state) {
  std::optional<double> selector;
  for (Pair child : case_statement.into_inner()) {
    switch (child.as_rule()) {
      case Rule::expression:
        if (!selector) {
          auto v = evaluate_expression(child, state);
          if (!v) return fail(v.error());
          selector = *v;
        }
        break;
      case Rule::case_arm: {
        auto parts = child.into_inner();
        auto constant = parts.next();
        auto jump = parts.next();
        if (!constant || !jump) return fail(errors::InvalidElementCount{2, 0});
        const std::string_view text = text::trim(constant->as_str(), kBlanks);
        auto c = parse_literal(text);
        if (!c) {
          return fail(annotate_error(*constant, "CASE constant",
                                     fmt("'{}' is not a valid number", text), state));
        }
        if (selector && approximately_equal(*selector, *c)) return interpret_goto(*jump, state);
        break;
      }
      case Rule::case_default: {
        for (Pair p : child.into_inner()) {
          if (p.as_rule() == Rule::goto_statement) return interpret_goto(p, state);
        }
        break;
      }
      default:
        break;  // CASE and OF keywords
    }
  }
  return Flow::cont();
}

Flow interpret_gotos(const Pair& gotos_statement, State& /*state*/) {
  text::write_warning_line(fmt(
      "Warning: GOTOS ignored (line {}): the program restart depends on the PLC signal "
      "enableGoToStart; continuing with the next block",
      node_line(gotos_statement)));
  return Flow::cont();
}

}  // namespace kelvane::interpret_rules
