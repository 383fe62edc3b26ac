#pragma once
// The explanation of parse failures in the system's own words: what the
// parser expected, said as a programmer would, and the common mistakes
// (a statement after a structure keyword, a second statement after a
// complete block, a misplaced or labelled structure keyword) named outright.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "types.hpp"

namespace kelvane::parse_explain {

// The explanation of a parse failure that becomes the message of its
// ParseContext error. Never fails.
std::string describe_parse_error(const types::ParseFailure& failure);

// The text of `line` from a 1-based character column on, trimmed of Unicode
// whitespace and cut to 40 characters (then followed by "..."); nothing when
// no text remains.
std::optional<std::string> text_from_error_column(std::size_t column, std::string_view line);

// What an expected rule is called in parse-failure explanations (rules.def).
std::string_view rule_description(types::Rule rule);

}  // namespace kelvane::parse_explain
