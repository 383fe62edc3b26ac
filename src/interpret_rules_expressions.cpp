#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"

// Expressions: the operator levels from the relations down to the unary
// prefixes, and the operands (literals, variables, array elements, calls).
namespace kelvane::interpret_rules {

using errors::fail;
using errors::float_text;

bool approximately_equal(double a, double b) {
  if (a == b) return true;
  const double scale = std::fmax(std::fabs(a), std::fabs(b));
  return std::fabs(a - b) <= scale * 1e-12;
}

errors::Result<std::int64_t> bit_operand(double value, const types::Pair& op,
                                         const state::State& state) {
  if (std::isfinite(value) && std::fabs(value) < 9007199254740992.0 && value == std::trunc(value))
    return static_cast<std::int64_t>(value);
  return fail(annotate_error(
      op, "bit-by-bit operator",
      cat({op.as_str(), " requires integer operands (manual 4.1.3.2: types CHAR/INT), got ",
           float_text(value)}),
      state));
}

namespace {

// The flat child list of one expression with its shared cursor.
struct ExprWalk {
  const types::Pair& expr;
  state::State& state;
  // token indices of the children; small lists stay on the stack
  std::array<std::uint32_t, 24> inline_nodes{};
  std::vector<std::uint32_t> heap_nodes;
  const std::uint32_t* nodes = nullptr;
  std::size_t count = 0;
  std::size_t cursor = 0;
  // the loosest kind of binary operator among the children: the levels
  // above it would only hand their operand through
  enum class Loosest : std::uint8_t { None, Multiplicative, Additive, Other } loosest = Loosest::None;

  ExprWalk(const types::Pair& e, state::State& s) : expr(e), state(s) {
    const auto& tokens = e.tree()->tokens;
    const std::uint32_t begin = e.token_index() + 1;
    const std::uint32_t end = tokens[e.token_index()].next;
    std::size_t n = 0;
    for (std::uint32_t i = begin; i < end; i = tokens[i].next) {
      switch (tokens[i].rule) {
        case types::Rule::primary:
        case types::Rule::neg:
        case types::Rule::not_op:
        case types::Rule::relational_operator:
          break;
        case types::Rule::op_mul:
        case types::Rule::op_div:
        case types::Rule::op_int_div:
        case types::Rule::op_mod:
          if (loosest < Loosest::Multiplicative) loosest = Loosest::Multiplicative;
          break;
        case types::Rule::op_add:
        case types::Rule::op_sub:
          if (loosest < Loosest::Additive) loosest = Loosest::Additive;
          break;
        default:
          loosest = Loosest::Other;
          break;
      }
      if (n < inline_nodes.size()) {
        inline_nodes[n] = i;
      } else {
        if (heap_nodes.empty()) heap_nodes.assign(inline_nodes.begin(), inline_nodes.end());
        heap_nodes.push_back(i);
      }
      ++n;
    }
    count = n;
    nodes = heap_nodes.empty() ? inline_nodes.data() : heap_nodes.data();
  }

  bool at_end() const { return cursor >= count; }
  types::Rule rule_at(std::size_t i) const {
    const auto& tokens = expr.tree()->tokens;
    return tokens[nodes[i]].rule;
  }
  types::Pair pair_at(std::size_t i) const {
    return types::Pair(expr.tree(), nodes[i], expr.line_offset());
  }
};

errors::Result<double> eval_or(ExprWalk& w);

errors::Result<double> interpret_primary(const types::Pair& primary, state::State& state) {
  auto child = first_child(primary);
  if (!child) {
    return fail(annotate_error(primary, "interpret_primary", "Expected inner pair, found none",
                               state));
  }
  switch (child->as_rule()) {
    case types::Rule::expression:
      return evaluate_expression(*child, state);
    case types::Rule::variable: {
      auto name = interpret_variable(*child, state);
      if (!name) return fail(std::move(name.error()));
      const std::size_t line = node_line(*child);
      // fast path: a defined variable needs no line text
      if (const double* value = state.symbol_table.find_value(*name)) return *value;
      return read_scalar_variable(*name, line, state.line_text(line), state);
    }
    case types::Rule::variable_array: {
      if (auto sysvar = actual_position_sysvar_name(*child)) {
        bool handled = false;
        auto v = read_actual_position(*child, *sysvar, state, handled);
        if (handled || !v) return v;
      }
      auto key = interpret_variable_array_key(*child, state);
      if (!key) return fail(std::move(key.error()));
      if (const double* value = state.symbol_table.find_value(*key)) return *value;
      const std::size_t line = node_line(*child);
      return read_array_element(*key, line, state.line_text(line), state);
    }
    case types::Rule::value: {
      const std::string_view text = child->as_str();
      if (auto v = parse_literal(text)) return *v;
      return fail(annotate_error(*child, "numeric literal",
                                 cat({"'", text, "' is not a valid number"}), state));
    }
    case types::Rule::arith_fun:
      return evaluate_function(*child, state);
    default:
      return fail(unexpected_rule_error(
          *child, "interpret_primary",
          cat({"Unexpected rule in interpret_primary: ", types::rule_name(child->as_rule())}),
          state));
  }
}

errors::Result<double> eval_unary(ExprWalk& w) {
  // prefixes nearest the operand are applied first
  std::array<types::Rule, 16> inline_prefixes{};
  std::vector<types::Rule> more_prefixes;
  std::size_t n_prefix = 0;
  while (!w.at_end()) {
    const types::Rule r = w.rule_at(w.cursor);
    if (r != types::Rule::neg && r != types::Rule::not_op) break;
    if (n_prefix < inline_prefixes.size()) inline_prefixes[n_prefix] = r;
    else more_prefixes.push_back(r);
    ++n_prefix;
    ++w.cursor;
  }
  if (w.at_end()) {
    if (w.count == 0) {
      return fail(errors::ParsingError::with_context(0, state::kNoLineText, "evaluate_unary",
                                                     "Expected an operand at end of expression"));
    }
    return fail(annotate_error(w.pair_at(w.count - 1), "evaluate_unary",
                               "Expected an operand at end of expression", w.state));
  }
  if (w.rule_at(w.cursor) != types::Rule::primary) {
    const types::Pair node = w.pair_at(w.cursor);
    return fail(unexpected_rule_error(
        node, "evaluate_unary",
        cat({"Expected an operand, found ", types::rule_name(node.as_rule())}), w.state));
  }
  const types::Pair primary = w.pair_at(w.cursor);
  ++w.cursor;
  auto value = interpret_primary(primary, w.state);
  if (!value) return value;
  double v = *value;
  for (std::size_t i = n_prefix; i-- > 0;) {
    const types::Rule r =
        i < inline_prefixes.size() ? inline_prefixes[i] : more_prefixes[i - inline_prefixes.size()];
    if (r == types::Rule::neg) v = -v;
    else v = (v == 0.0) ? 1.0 : 0.0;
  }
  return v;
}

using LevelFn = errors::Result<double> (*)(ExprWalk&);
// One operator of a level applied to its operands; the operator's node is
// at `op_index` of the walk, for its errors.
using ApplyFn = errors::Result<double> (*)(types::Rule op, double l, double r,
                                           std::size_t op_index, ExprWalk& w);

// One level of binary operators, left-associative: operands of the next
// tighter level joined by this level's operators. Both operands are always
// evaluated.
template <bool (*IsOp)(types::Rule), LevelFn Next, ApplyFn Apply>
errors::Result<double> eval_level(ExprWalk& w) {
  auto left = Next(w);
  if (!left) return left;
  double l = *left;
  while (!w.at_end() && IsOp(w.rule_at(w.cursor))) {
    const types::Rule op = w.rule_at(w.cursor);
    const std::size_t op_index = w.cursor++;
    auto right = Next(w);
    if (!right) return right;
    auto value = Apply(op, l, *right, op_index, w);
    if (!value) return value;
    l = *value;
  }
  return l;
}

bool is_multiplicative(types::Rule r) {
  return r == types::Rule::op_mul || r == types::Rule::op_div || r == types::Rule::op_int_div ||
         r == types::Rule::op_mod;
}

errors::Result<double> multiply(types::Rule op, double l, double r, std::size_t op_index,
                                ExprWalk& w) {
  switch (op) {
    case types::Rule::op_mul: return l * r;
    case types::Rule::op_div: return l / r;
    case types::Rule::op_int_div:
      if (r == 0.0) {
        return fail(annotate_error(w.pair_at(op_index), "integer division",
                                   "Integer division (DIV) by zero", w.state));
      }
      return std::trunc(l / r);
    default: return std::fmod(l, r);
  }
}

bool is_additive(types::Rule r) { return r == types::Rule::op_add || r == types::Rule::op_sub; }

errors::Result<double> add(types::Rule op, double l, double r, std::size_t, ExprWalk&) {
  return op == types::Rule::op_add ? l + r : l - r;
}

template <types::Rule Op>
bool is(types::Rule r) {
  return r == Op;
}

// B_AND, B_XOR, B_OR on operands that must be integers.
errors::Result<double> combine_bits(types::Rule op, double l, double r, std::size_t op_index,
                                    ExprWalk& w) {
  const types::Pair node = w.pair_at(op_index);
  auto a = bit_operand(l, node, w.state);
  if (!a) return fail(std::move(a.error()));
  auto b = bit_operand(r, node, w.state);
  if (!b) return fail(std::move(b.error()));
  if (op == types::Rule::op_b_and) return static_cast<double>(*a & *b);
  if (op == types::Rule::op_b_xor) return static_cast<double>(*a ^ *b);
  return static_cast<double>(*a | *b);
}

// AND, XOR, OR on the truth of the operands.
errors::Result<double> combine_truths(types::Rule op, double l, double r, std::size_t,
                                      ExprWalk&) {
  const bool a = l != 0.0;
  const bool b = r != 0.0;
  bool res;
  if (op == types::Rule::op_and) res = a && b;
  else if (op == types::Rule::op_xor) res = a != b;
  else res = a || b;
  return res ? 1.0 : 0.0;
}

constexpr LevelFn kMul = &eval_level<&is_multiplicative, &eval_unary, &multiply>;
constexpr LevelFn kAdd = &eval_level<&is_additive, kMul, &add>;
constexpr LevelFn kBAnd = &eval_level<&is<types::Rule::op_b_and>, kAdd, &combine_bits>;
constexpr LevelFn kBXor = &eval_level<&is<types::Rule::op_b_xor>, kBAnd, &combine_bits>;
constexpr LevelFn kBOr = &eval_level<&is<types::Rule::op_b_or>, kBXor, &combine_bits>;
constexpr LevelFn kAnd = &eval_level<&is<types::Rule::op_and>, kBOr, &combine_truths>;
constexpr LevelFn kXor = &eval_level<&is<types::Rule::op_xor>, kAnd, &combine_truths>;
constexpr LevelFn kOr = &eval_level<&is<types::Rule::op_or>, kXor, &combine_truths>;

errors::Result<double> eval_or(ExprWalk& w) {
  switch (w.loosest) {
    case ExprWalk::Loosest::None: return eval_unary(w);
    case ExprWalk::Loosest::Multiplicative: return kMul(w);
    case ExprWalk::Loosest::Additive: return kAdd(w);
    default: return kOr(w);
  }
}

}  // namespace

errors::Result<double> evaluate_expression(const types::Pair& expression, state::State& state) {
  ExprWalk w(expression, state);
  auto left = eval_or(w);
  if (!left) return left;
  double l = *left;
  while (!w.at_end() && w.rule_at(w.cursor) == types::Rule::relational_operator) {
    const types::Pair op = w.pair_at(w.cursor);
    ++w.cursor;
    auto right = eval_or(w);
    if (!right) return right;
    const double a = l, b = *right;
    const std::string_view t = op.as_str();
    const std::optional<bool> res = relation_holds(t, a, b);
    if (!res) return fail(errors::UnexpectedOperator{std::string(t)});
    l = *res ? 1.0 : 0.0;
  }
  if (!w.at_end()) {
    const types::Pair node = w.pair_at(w.cursor);
    return fail(unexpected_rule_error(
        node, "evaluate_expression",
        cat({"Unexpected trailing rule in expression: ", types::rule_name(node.as_rule())}),
        state));
  }
  return l;
}

std::optional<bool> relation_holds(std::string_view op, double a, double b) {
  // the operator by its characters
  if (op.empty() || op.size() > 2) return std::nullopt;
  const char c0 = op[0];
  const char c1 = op.size() == 2 ? op[1] : '\0';
  const bool eq = approximately_equal(a, b);
  if (c0 == '=' && c1 == '=') return eq;
  if (c0 == '<' && c1 == '>') return !eq;
  if (c0 == '<' && c1 == '=') return a <= b || eq;
  if (c0 == '>' && c1 == '=') return a >= b || eq;
  if (c0 == '<' && c1 == '\0') return a < b && !eq;
  if (c0 == '>' && c1 == '\0') return a > b && !eq;
  return std::nullopt;
}

errors::Result<bool> evaluate_condition(const types::Pair& condition, state::State& state) {
  if (auto quick = try_condition_shortcut(condition, state)) return std::move(*quick);
  auto inner = condition.into_inner();
  auto expr = inner.next();
  if (!expr || inner.next()) return fail(errors::InvalidCondition{});
  auto v = evaluate_expression(*expr, state);
  if (!v) return fail(std::move(v.error()));
  return *v != 0.0;
}
}  // namespace kelvane::interpret_rules
