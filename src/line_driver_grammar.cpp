#include "line_driver_parts.hpp"

#include <functional>
#include <string>
#include <utility>

#include "line_driver_quick.hpp"
#include "parse_explain.hpp"

// The lines the decoder refuses: parsed with the grammar one by one, and
// their parse failures reported as the whole-program parse reports them.
namespace kelvane::line_driver {

using errors::fail;
using errors::ParsingError;
using state::State;
using types::Rule;

namespace {

// Whether a successfully parsed line holds a jump, GOTOS, CASE or IF-GOTO.
bool block_has_control(const types::Pair& block) {
  for (const types::Pair& child : block.into_inner())
    if (child.as_rule() == Rule::control) return true;
  return false;
}

std::optional<types::Pair> single_line_block(const types::ParseResult& parsed) {
  auto pairs = *parsed;
  auto top = pairs.next();
  if (!top) return std::nullopt;
  auto block = top->into_inner().next();
  if (!block || block->as_rule() != Rule::block) return std::nullopt;
  return block;
}

}  // namespace

// The error of lines that fail to parse, as the whole-program parse reports
// it: the program's bytes from `start`, the start of the failing block's first
// line (`first`, 0-based), to `end`, the end of the failing line, are parsed
// with the rule `file`, behind an empty line unless they begin the program, so
// that the failing block does not start where the parse starts. Should they
// parse, `failure` (in source lines) is reported.
ParsingError line_parse_error(std::string_view program, std::size_t start, std::size_t end,
                              std::size_t first, types::ParseFailure failure, const State& state) {
  std::string text;
  if (first > 0) text += '\n';
  text.append(program.substr(start, end - start));
  auto reparsed = types::NCParser::parse(Rule::file, text);
  if (!reparsed) {
    failure = std::move(reparsed.error());
    types::offset_failure_lines(failure, first > 0 ? first - 1 : 0);
  }
  const std::size_t line = failure.line;
  return errors::ParseContext{failure.column, state.line_text(line), "line parsing",
                              parse_explain::describe_parse_error(failure), line};
}

namespace {

// The pre-check of a line the quick decoder does not take (line `index` of
// its range): the word decoder's, or a line that parses alone and does not
// jump. False, with the status set, when the program cannot stream.
bool precheck_other_line(std::string_view line, std::size_t index, PreflightScan& scan) {
  if (!classify_line(line, index + 1).needs_grammar()) return true;
  ++scan.needs_grammar;
  // a string literal running over the line end needs its following lines
  if (ends_inside_string(line, false)) {
    scan.status = PreflightScan::Status::SpansLines;
    scan.failing_line = index;
    return false;
  }
  auto parsed = types::NCParser::parse(Rule::single_line, line);
  if (!parsed) {
    scan.status = PreflightScan::Status::ParseFailed;
    scan.failing_line = index;
    return false;
  }
  if (auto block = single_line_block(parsed); block && block_has_control(*block)) {
    scan.status = PreflightScan::Status::HasControl;
    scan.failing_line = index;
    return false;
  }
  return true;
}

}  // namespace

PreflightScan preflight_streaming_in(std::string_view program, std::size_t start, std::size_t end) {
  PreflightScan scan;
  for_each_line(program.substr(start, end - start), [&](std::string_view line) {
    const std::size_t index = scan.lines;
    ++scan.lines;
    // most lines are the quick decoder's, which the word decoder takes too
    const QuickForm quick = quick_classify(line);
    if (quick == QuickForm::Blank) return true;
    ++scan.non_blank;
    return quick == QuickForm::Quick || precheck_other_line(line, index, scan);
  });
  return scan;
}

PreflightScan preflight_surveyed(std::string_view program, const RangeSurvey& range) {
  // a range of many such lines is looked at whole again
  if (range.more_others) return preflight_streaming_in(program, range.start, range.end);
  PreflightScan scan;
  scan.lines = range.lines;
  scan.non_blank = range.non_blank;
  for (const auto& [start, index] : range.others) {
    std::size_t pos = start;
    if (!precheck_other_line(next_line(program.substr(0, range.end), pos), index, scan)) break;
  }
  return scan;
}

errors::Result<types::Pair> parse_single_line(std::string_view line, std::size_t index,
                                              const State& state) {
  auto parsed = types::NCParser::parse(Rule::single_line, line);
  if (!parsed) {
    types::ParseFailure f = std::move(parsed.error());
    types::offset_failure_lines(f, index);
    // a line of the program is explained with its line end, as in the program
    const std::string_view source = state.source_text();
    const std::less<const char*> before;
    if (!before(line.data(), source.data()) &&
        !before(source.data() + source.size(), line.data() + line.size())) {
      const std::size_t start = static_cast<std::size_t>(line.data() - source.data());
      return fail(line_parse_error(source, start, terminated_end(source, line), index, std::move(f),
                                   state));
    }
    return fail(line_parse_error(line, 0, line.size(), index, std::move(f), state));
  }
  auto block = single_line_block(parsed);
  if (!block) return fail(errors::ParseError{"The line produced no block"});
  return block->with_line_offset(index);
}

errors::Result<Flow> run_line_by_grammar(std::string_view text, std::size_t index,
                                         output::OutputRows& rows, State& state) {
  auto block = parse_single_line(text, index, state);
  if (!block) return fail(std::move(block.error()));
  // the tree runs the line itself, not the decoded line again
  const interpret_rules::BlockShortcutScope tree_only(nullptr, nullptr);
  return interpret_rules::interpret_block(*block, rows, state);
}

}  // namespace kelvane::line_driver
