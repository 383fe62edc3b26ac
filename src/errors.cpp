#include "errors.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace kelvane::errors {

namespace {

constexpr std::array<std::string_view, 21> kKindStrings = {
    "parse_context",
    "unknown_variable",
    "undefined_variable",
    "unexpected_rule",
    "parse_error",
    "invalid_element_count",
    "invalid_condition",
    "unexpected_operator",
    "loop_limit",
    "stream_closed",
    "too_many_m_commands",
    "unexpected_axis",
    "axis_used_as_variable",
    "reserved_name_used_as_variable",
    "missing_axis_mapping",
    "invalid_axis_index",
    "unsupported_statement",
    "jump_target_not_found",
    "unmatched_structure",
    "unknown_g_command",
    "invalid_function_arity",
};
static_assert(std::variant_size_v<ParsingErrorVariant> == kKindStrings.size());

const std::string kRuler(40, '-');

// The framed display form: title and line, a ruler, the line text, details.
std::string framed(std::string_view title, std::size_t line, std::string_view line_text,
                   std::string_view details) {
  std::string out;
  out.reserve(title.size() + line_text.size() + details.size() + 80);
  out += '\n';
  out += title;
  out += " on line ";
  out += std::to_string(line);
  out += '\n';
  out += kRuler;
  out += "\nLine: ";
  out += line_text;
  out += "\n\nDetails: ";
  out += details;
  return out;
}

ErrorLocation plain_location(std::string_view line_text, std::size_t line) {
  return ErrorLocation{std::nullopt, std::nullopt, std::string(line_text), line};
}

}  // namespace

std::string_view kind_string(std::size_t ordinal) {
  return ordinal < kKindStrings.size() ? kKindStrings[ordinal] : std::string_view{};
}

ParsingError ParsingError::with_context(std::size_t line, std::string_view line_text,
                                        std::string_view context, std::string_view message) {
  return ParseContext{std::nullopt, std::string(line_text), std::string(context),
                      std::string(message), line};
}

std::string_view ParsingError::kind() const { return kind_string(v.index()); }

std::optional<ErrorLocation> ParsingError::location() const {
  using R = std::optional<ErrorLocation>;
  return std::visit(
      [](const auto& e) -> R {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, ParseContext>) {
          return ErrorLocation{e.column, e.context, e.line_text, e.line};
        } else if constexpr (std::is_same_v<T, UnexpectedRule>) {
          return ErrorLocation{std::nullopt, e.context, e.line_text, e.line};
        } else if constexpr (std::is_same_v<T, ParseError> ||
                             std::is_same_v<T, InvalidElementCount> ||
                             std::is_same_v<T, InvalidCondition> ||
                             std::is_same_v<T, UnexpectedOperator> ||
                             std::is_same_v<T, LoopLimit> || std::is_same_v<T, StreamClosed>) {
          return std::nullopt;
        } else {
          return plain_location(e.line_text, e.line);
        }
      },
      v);
}

std::string ParsingError::message() const {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, ParseContext>) {
          return framed("Parse error in " + e.context, e.line, e.line_text, e.message) + "\n";
        } else if constexpr (std::is_same_v<T, UnknownVariable>) {
          return framed("Parse error in array element read", e.line, e.line_text,
                        "Undefined array element '" + e.name +
                            "'.\n"
                            "This error occurs when an array element or an indexed system "
                            "variable is\n"
                            "read before any value was assigned to it. Define it before use, "
                            "for example\n"
                            "in an initial state file, or set the `allow_undefined_variables` "
                            "flag to\n"
                            "true (this will initialize undefined variables to 0.0).\n");
        } else if constexpr (std::is_same_v<T, UndefinedVariable>) {
          return framed("Parse error in assignment", e.line, e.line_text,
                        "Undefined variable '" + e.name +
                            "'.\n"
                            "This error occurs when using an undefined variable in an "
                            "expression.\n"
                            "To fix this, make sure to define the variable before using it. "
                            "This can \n"
                            "be done by adding common definitions to an initial state file, "
                            "or by\n"
                            "setting the `allow_undefined_variables` flag to true (this will "
                            "initialize\n"
                            "undefined variables to 0.0).\n");
        } else if constexpr (std::is_same_v<T, UnexpectedRule>) {
          std::string title = "Unexpected rule '";
          title += types::rule_name(e.rule);
          title += "' encountered in ";
          title += e.context;
          return framed(title, e.line, e.line_text, e.details) + "\n";
        } else if constexpr (std::is_same_v<T, ParseError>) {
          return "Parse error: " + e.message;
        } else if constexpr (std::is_same_v<T, InvalidElementCount>) {
          return "Expected " + std::to_string(e.expected) + " elements, found " +
                 std::to_string(e.found);
        } else if constexpr (std::is_same_v<T, InvalidCondition>) {
          return "Invalid condition";
        } else if constexpr (std::is_same_v<T, UnexpectedOperator>) {
          return "Unexpected operator: " + e.text;
        } else if constexpr (std::is_same_v<T, LoopLimit>) {
          return "Loop limit of " + e.text + " reached";
        } else if constexpr (std::is_same_v<T, StreamClosed>) {
          return "row stream closed by the consumer";
        } else if constexpr (std::is_same_v<T, TooManyMCommands>) {
          return framed("Too many M commands in a single block", e.line, e.line_text,
                        e.details +
                            "\nTo fix this, ensure that each block contains at most one M "
                            "command.\n");
        } else if constexpr (std::is_same_v<T, UnexpectedAxis>) {
          return "Unexpected axis '" + e.axis + "'. Valid axes are: " + e.valid_axes;
        } else if constexpr (std::is_same_v<T, AxisUsedAsVariable>) {
          return "Cannot define a variable named '" + e.name +
                 "', as it conflicts with an axis name";
        } else if constexpr (std::is_same_v<T, ReservedNameUsedAsVariable>) {
          return "Cannot define a variable named '" + e.name +
                 "', as it is a reserved block address (spline PW/SD/PL)";
        } else if constexpr (std::is_same_v<T, MissingAxisMapping>) {
          return framed("Missing axis mapping", e.line, e.line_text,
                        "No mapping found for axis '" + e.axis +
                            "' in array indexing operation.\n"
                            "To fix this, provide an axis_index_map that includes '" +
                            e.axis + "'.");
        } else if constexpr (std::is_same_v<T, InvalidAxisIndex>) {
          return framed("Invalid axis mapping", e.line, e.line_text,
                        "Invalid index " + std::to_string(e.index) + " for axis '" + e.axis +
                            "' in array indexing operation.\n"
                            "Array indices must be non-negative and within the valid range.");
        } else if constexpr (std::is_same_v<T, UnsupportedStatement>) {
          return framed("Unsupported statement", e.line, e.line_text,
                        e.statement + " is not supported by this interpreter.\n" + e.hint +
                            "\n");
        } else if constexpr (std::is_same_v<T, JumpTargetNotFound>) {
          return framed("Jump destination not found", e.line, e.line_text,
                        "No block with the jump label or block number '" + e.target +
                            "' was found\n"
                            "searching " +
                            e.searched + " (alarm 14080 on a real control)." + e.hint +
                            "\n"
                            "Note: jump destinations inside IF/LOOP/FOR/WHILE/REPEAT bodies "
                            "cannot be\n"
                            "reached from outside those bodies.\n");
        } else if constexpr (std::is_same_v<T, UnmatchedStructure>) {
          return framed("Unmatched control structure", e.line, e.line_text,
                        e.details + ".\n");
        } else if constexpr (std::is_same_v<T, UnknownGCommand>) {
          return framed("Unknown G code", e.line, e.line_text,
                        "'" + e.code +
                            "' is not a G code known to this interpreter (a real control\n"
                            "raises alarm 12470 \"undefined G function\"). If this is meant "
                            "to be a\n"
                            "subprogram call, note that program names cannot look like a G "
                            "code.\n");
        } else {
          static_assert(std::is_same_v<T, InvalidFunctionArity>);
          return framed("Invalid function call", e.line, e.line_text,
                        "Function " + e.function + " expects " + std::to_string(e.expected) +
                            " argument(s), but received " + std::to_string(e.received) +
                            ".\n");
        }
      },
      v);
}

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0.0) return std::signbit(value) ? "-0" : "0";
  // fixed notation with the shortest digits that read back as the same value;
  // integral values come without a fraction. 1e308 needs 309 digits.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

}  // namespace kelvane::errors
