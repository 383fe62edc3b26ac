#pragma once
// The one error type of the interpreter, its kind strings, texts and locations.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <expected>

#include "types.hpp"

namespace kelvane::errors {

using types::Rule;

struct ParseContext {
  std::optional<std::size_t> column;  // 1-based character column
  std::string line_text;
  std::string context;
  std::string message;
  std::size_t line = 0;
};
struct UnknownVariable { std::string line_text; std::string name; std::size_t line = 0; };
struct UndefinedVariable { std::string line_text; std::string name; std::size_t line = 0; };
struct UnexpectedRule {
  std::string context;
  std::string line_text;
  std::string details;
  std::size_t line = 0;
  Rule rule = Rule::EOI;
};
struct ParseError { std::string message; };
struct InvalidElementCount { std::size_t expected = 0; std::size_t found = 0; };
struct InvalidCondition {};
struct UnexpectedOperator { std::string text; };
struct LoopLimit { std::string text; };
struct StreamClosed {};
struct TooManyMCommands { std::string line_text; std::string details; std::size_t line = 0; };
struct UnexpectedAxis {
  std::string axis;
  std::string valid_axes;
  std::string line_text;
  std::size_t line = 0;
};
struct AxisUsedAsVariable { std::string name; std::string line_text; std::size_t line = 0; };
struct ReservedNameUsedAsVariable { std::string name; std::string line_text; std::size_t line = 0; };
struct MissingAxisMapping { std::string line_text; std::string axis; std::size_t line = 0; };
struct InvalidAxisIndex {
  std::string line_text;
  std::string axis;
  std::size_t line = 0;
  std::size_t index = 0;
};
struct UnsupportedStatement {
  std::string line_text;
  std::string statement;
  std::string hint;
  std::size_t line = 0;
};
struct JumpTargetNotFound {
  std::string line_text;
  std::string target;
  std::string searched;
  std::string hint;  // may be empty
  std::size_t line = 0;
};
struct UnmatchedStructure { std::string line_text; std::string details; std::size_t line = 0; };
struct UnknownGCommand { std::string line_text; std::string code; std::size_t line = 0; };
struct InvalidFunctionArity {
  std::string line_text;
  std::string function;
  std::size_t line = 0;
  std::size_t expected = 0;
  std::size_t received = 0;
};

// Where an error happened, as handed to Python.
struct ErrorLocation {
  std::optional<std::size_t> column;
  std::optional<std::string> context;
  std::optional<std::string> line_text;
  std::size_t line = 0;
};

// The variants in their fixed order: the index selects the kind string.
using ParsingErrorVariant = std::variant<
    ParseContext, UnknownVariable, UndefinedVariable, UnexpectedRule, ParseError,
    InvalidElementCount, InvalidCondition, UnexpectedOperator, LoopLimit, StreamClosed,
    TooManyMCommands, UnexpectedAxis, AxisUsedAsVariable, ReservedNameUsedAsVariable,
    MissingAxisMapping, InvalidAxisIndex, UnsupportedStatement, JumpTargetNotFound,
    UnmatchedStructure, UnknownGCommand, InvalidFunctionArity>;

struct ParsingError {
  ParsingErrorVariant v;

  template <typename T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, ParsingError>)
  ParsingError(T&& variant) : v(std::forward<T>(variant)) {}  // implicit by design

  // A located error of the executors: ParseContext without a column.
  static ParsingError with_context(std::size_t line, std::string_view line_text,
                                   std::string_view context, std::string_view message);

  std::optional<ErrorLocation> location() const;
  std::string_view kind() const;
  // The display form: the whole text of the Python exception.
  std::string message() const;

  template <typename T>
  bool is() const { return std::holds_alternative<T>(v); }
  template <typename T>
  const T* get_if() const { return std::get_if<T>(&v); }
};

std::string_view kind_string(std::size_t ordinal);

// Results of interpreter operations.
template <typename T>
using Result = std::expected<T, ParsingError>;
using Status = std::expected<void, ParsingError>;
inline std::unexpected<ParsingError> fail(ParsingError e) { return std::unexpected(std::move(e)); }

// A float as messages and text cells show it: the shortest decimal form that
// reads back as the same value, no exponent, no fraction when integral;
// NaN, inf, -inf, -0.
std::string float_text(double value);

}  // namespace kelvane::errors
