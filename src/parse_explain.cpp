#include "parse_explain.hpp"

#include <array>
#include <vector>

#include "structure_scan.hpp"
#include "text.hpp"

namespace kelvane::parse_explain {

using types::Rule;

namespace {

constexpr std::array<std::string_view, types::kRuleCount> kDescriptions = {
#define RULE(name, description) description,
#include "rules.def"
#undef RULE
};

bool is_head_keyword(std::string_view w) {
  return w == "FOR" || w == "LOOP" || w == "ELSE" || w == "WHILE" || w == "REPEAT";
}

}  // namespace

std::string_view rule_description(Rule rule) {
  const auto i = static_cast<std::size_t>(rule);
  return i < kDescriptions.size() ? kDescriptions[i] : std::string_view("a G code");
}

std::optional<std::string> text_from_error_column(std::size_t column, std::string_view line) {
  std::size_t pos = 0;
  for (std::size_t skip = column > 1 ? column - 1 : 0; skip > 0 && pos < line.size(); --skip)
    pos += text::decode_utf8(line, pos).len;
  const std::string_view rest = text::trim_unicode(line.substr(pos));
  if (rest.empty()) return std::nullopt;
  std::size_t end = 0;
  std::size_t chars = 0;
  while (end < rest.size() && chars < 40) {
    end += text::decode_utf8(rest, end).len;
    ++chars;
  }
  std::string out(rest.substr(0, end));
  if (end < rest.size()) out += "...";
  return out;
}

std::string describe_parse_error(const types::ParseFailure& failure) {
  const std::string_view line = failure.line_text;
  if (auto m = structure_scan::misplaced_structure_keyword(line))
    return structure_scan::misplaced_message(*m);
  if (auto l = structure_scan::labelled_structure_keyword(line))
    return structure_scan::labelled_message(*l);
  if (failure.custom || failure.positives.empty()) return failure.display;

  const auto& expected = failure.positives;
  auto has = [&](Rule r) {
    for (Rule e : expected)
      if (e == r) return true;
    return false;
  };
  if (has(Rule::comment)) {
    if (auto word = structure_scan::first_structure_word(line); word && is_head_keyword(*word)) {
      if (auto t = text_from_error_column(failure.column, line)) {
        return "unexpected text '" + *t + "' on the " + *word +
               " line: a control-structure keyword stands alone in its block and only a "
               "comment (;...) may follow it. If this is a statement of the body, put it on "
               "the next line";
      }
    }
  }
  bool only_block_end = true;
  for (Rule e : expected)
    if (e != Rule::EOI && e != Rule::newline && e != Rule::comment) only_block_end = false;
  if (only_block_end) {
    if (auto t = text_from_error_column(failure.column, line)) {
      return "unexpected text '" + *t +
             "' after a complete block: only a comment (;...) or the end of the line may "
             "follow here. If this is a second statement, put it on its own line";
    }
  }

  std::vector<std::string_view> kept;
  auto keep = [&kept](std::string_view d) {
    for (auto k : kept)
      if (k == d) return;
    kept.push_back(d);
  };
  for (Rule e : expected) {
    if (e == Rule::concat_operand) {
      keep(rule_description(Rule::expression));
      keep(rule_description(Rule::string_value));
    } else {
      keep(rule_description(e));
    }
  }
  std::string out = "expected ";
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out += ", or ";
    out += kept[i];
  }
  return out;
}

}  // namespace kelvane::parse_explain
