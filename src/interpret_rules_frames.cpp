#include <array>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "text.hpp"

// Frame instructions: TRANS, ATRANS, ROT and AROT change the programmable
// frame; the scaling, mirroring and solid-angle frames are refused with
// arguments.
namespace kelvane::interpret_rules {

using errors::fail;

namespace {

state::Matrix3 rot_x(double a) {
  const double c = std::cos(a * kDegToRad), s = std::sin(a * kDegToRad);
  return {{{1.0, 0.0, 0.0}, {0.0, c, -s}, {0.0, s, c}}};
}
state::Matrix3 rot_y(double a) {
  const double c = std::cos(a * kDegToRad), s = std::sin(a * kDegToRad);
  return {{{c, 0.0, s}, {0.0, 1.0, 0.0}, {-s, 0.0, c}}};
}
state::Matrix3 rot_z(double a) {
  const double c = std::cos(a * kDegToRad), s = std::sin(a * kDegToRad);
  return {{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}};
}

// After ROT/AROT with arguments: a rotation that moves an unconfigured
// geometry axis is refused.
Status check_rotation(std::size_t line, std::string_view line_text, State& state) {
  static constexpr std::array<std::string_view, 3> kLetters{"X", "Y", "Z"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (state.geometry_columns[i]) continue;
    bool moved = false;
    for (std::size_t k = 0; k < 3; ++k) {
      const double unit = k == i ? 1.0 : 0.0;
      if (std::fabs(state.rotation[k][i] - unit) > state::kFrameTolerance) moved = true;
    }
    if (moved) {
      return fail(ParsingError::with_context(
          line, line_text, "frame rotation",
          fmt("the rotation moves geometry axis {}, which is not a configured axis ({})",
                      kLetters[i], state.axis_list())));
    }
  }
  return {};
}

ParsingError unsupported_frame(std::string_view keyword, std::size_t line,
                               std::string_view line_text) {
  return errors::UnsupportedStatement{
      std::string(line_text), fmt("The frame instruction {}", keyword),
      "Solid-angle rotation, scaling and mirroring frames are not modeled; interpreting this "
      "program would produce wrong coordinates. Only TRANS, ATRANS, ROT and AROT are supported.",
      line};
}

}  // namespace

Result<std::vector<std::pair<std::string, double>>> frame_assignments(
    std::span<const Pair> arguments, State& state) {
  const auto saved = state.axes;
  std::vector<std::pair<std::string, double>> pairs;
  for (const Pair& arg : arguments) {
    auto r = interpret_assignment(arg, state);
    if (!r) {
      state.axes = saved;
      return fail(r.error());
    }
    if (!r->second) {
      state.axes = saved;
      return fail(annotate_error(
          arg, "frame instruction",
          fmt("frame instruction cannot assign a string to '{}'", r->first), state));
    }
    if (!state.is_axis(r->first)) {
      state.axes = saved;
      const std::size_t line = node_line(arg);
      return fail(
          errors::UnexpectedAxis{r->first, state.axis_list(), line_text_of(state, line), line});
    }
    pairs.emplace_back(std::move(r->first), *r->second);
  }
  state.axes = saved;
  return pairs;
}

Result<RotationMatrix> rotation_assignments(std::span<const Pair> arguments, State& state,
                                            std::size_t line, std::string_view line_text) {
  std::array<double, 3> angles{0.0, 0.0, 0.0};
  bool any_axis = false;
  std::optional<double> rpl;
  for (const Pair& arg : arguments) {
    auto parts = two_children(arg);
    if (!parts) return fail(std::move(parts.error()));
    const Pair value = unwrap_lone_operand((*parts)[1]);
    const std::string name = text::to_upper(text::trim((*parts)[0].as_str(), kBlanks));
    double angle = 0.0;
    if (value.as_rule() == Rule::expression) {
      auto v = evaluate_expression(value, state);
      if (!v) return fail(v.error());
      angle = *v;
    } else if (value.as_rule() == Rule::value) {
      auto v = parse_literal(value.as_str());
      if (!v) {
        return fail(annotate_error(arg, "frame rotation",
                                   fmt("'{}' is not a valid angle", value.as_str()),
                                   state));
      }
      angle = *v;
    } else {
      return fail(annotate_error(
          arg, "frame rotation", fmt("{}= expects a numeric angle in degrees", name),
          state));
    }
    if (name == "X" || name == "Y" || name == "Z") {
      angles[static_cast<std::size_t>(name[0] - 'X')] = angle;
      any_axis = true;
    } else if (name == "RPL") {
      rpl = angle;
    } else {
      return fail(annotate_error(
          arg, "frame rotation",
          fmt("ROT/AROT angles refer to the geometry axes X, Y, Z only; '{}' cannot be "
                      "rotated about",
                      name),
          state));
    }
  }
  if (rpl && any_axis) {
    return fail(ParsingError::with_context(
        line, line_text, "frame rotation",
        "RPL= cannot be combined with X/Y/Z angles in one block (manual 3.12.2.4 lists them as "
        "alternative syntaxes)"));
  }
  if (rpl) {
    switch (state.active_plane) {
      case 1: return rot_y(*rpl);
      case 2: return rot_x(*rpl);
      default: return rot_z(*rpl);
    }
  }
  return state::mat_mul(state::mat_mul(rot_z(angles[2]), rot_y(angles[1])), rot_x(angles[0]));
}

namespace {

// ROT (absolute: the frame is reset first) and AROT (added to the rotation).
Status rotate_frame(bool absolute, std::span<const Pair> arguments, std::size_t line,
                    std::string_view line_text, State& state) {
  auto m = rotation_assignments(arguments, state, line, line_text);
  if (!m) return fail(m.error());
  if (absolute) {
    state.reset_frame();
    state.set_rotation(*m);
  } else {
    state.set_rotation(state::mat_mul(state.rotation, *m));
  }
  return check_rotation(line, line_text, state);
}

// ATRANS: the offsets add to the translation; under a rotation an offset of
// a geometry axis is taken along the rotated axis.
void add_translation(const std::vector<std::pair<std::string, double>>& offsets, State& state) {
  for (const auto& [name, value] : offsets) {
    const bool geometry = name == "X" || name == "Y" || name == "Z";
    if (!geometry || !state.rotation_active) {
      state.set_translation(name, state.translation_of(name) + value);
      continue;
    }
    const auto i = static_cast<std::size_t>(name[0] - 'X');
    for (std::size_t k = 0; k < 3; ++k) {
      const auto& column = state.geometry_columns[k];
      if (!column) continue;
      const std::string key(*column);
      state.set_translation(key, state.translation_of(key) + value * state.rotation[k][i]);
    }
  }
}

// TRANS (absolute: the frame is reset first) and ATRANS.
Status translate_frame(bool absolute, std::span<const Pair> arguments, State& state) {
  if (absolute) state.reset_frame();
  if (arguments.empty()) return {};
  auto pairs = frame_assignments(arguments, state);
  if (!pairs) return fail(pairs.error());
  if (absolute) {
    for (auto& [name, value] : *pairs) state.set_translation(name, value);
  } else {
    add_translation(*pairs, state);
  }
  return {};
}

}  // namespace

Status apply_frame_instruction(std::string_view keyword, std::span<const Pair> arguments,
                               std::size_t line, std::string_view line_text, State& state) {
  const bool has_args = !arguments.empty();
  if (keyword == "ROT" || keyword == "AROT") {
    const bool absolute = keyword == "ROT";
    if (has_args) return rotate_frame(absolute, arguments, line, line_text, state);
    if (absolute) state.reset_frame();
    return {};
  }
  if (keyword == "TRANS" || keyword == "ATRANS") {
    return translate_frame(keyword == "TRANS", arguments, state);
  }
  const bool absolute = keyword == "SCALE" || keyword == "MIRROR" || keyword == "ROTS" ||
                        keyword == "CROTS";
  const bool additive = keyword == "ASCALE" || keyword == "AMIRROR" || keyword == "AROTS";
  if (absolute || additive) {
    if (has_args) return fail(unsupported_frame(keyword, line, line_text));
    if (absolute) state.reset_frame();
    return {};
  }
  return fail(ParsingError::with_context(line, line_text, "frame instruction",
                                         fmt("Unexpected frame keyword '{}'", keyword)));
}

Status interpret_frame_op(const Pair& node, State& state) {
  const std::size_t line = node_line(node);
  const std::string line_text = line_text_of(state, line);
  std::vector<Pair> parts = children(node);
  if (parts.empty()) {
    return fail(annotate_error(node, "frame instruction", "missing frame keyword", state));
  }
  const std::string keyword = text::to_upper(text::trim(parts.front().as_str(), kBlanks));
  const std::span<const Pair> arguments(parts.data() + 1, parts.size() - 1);
  return state.change_frame([&](State& s) {
    return apply_frame_instruction(keyword, arguments, line, line_text, s);
  });
}

}  // namespace kelvane::interpret_rules
