#include "interpreter.hpp"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "flatten.hpp"
#include "interpret_rules.hpp"
#include "limits.hpp"
#include "line_driver.hpp"
#include "output.hpp"
#include "parse_explain.hpp"
#include "state.hpp"
#include "structure_scan.hpp"
#include "vm.hpp"

namespace kelvane::interpreter {

using types::Rule;

bool stage1_enabled() { return line_driver::stage1_enabled(); }

bool vm_requested() {
  const char* v = std::getenv("NC_VM");
  return v != nullptr && std::string_view(v) == "1";
}

errors::Status interpret_file(std::string_view source, state::State& state,
                              output::OutputRows& rows) {
  auto copy = std::make_shared<const std::string>(source);
  const std::string_view text(*copy);
  return interpret_file(state::SourceText{text, std::move(copy)}, state, rows);
}

errors::Status interpret_file(state::SourceText source, state::State& state,
                              output::OutputRows& rows) {
  // The tree borrows its text: the state shares it, and it is held for the run.
  state.set_input(source);
  const state::SourceText held = std::move(source);
  const std::string_view program = held.text;

  // a large program is parsed in parts at once, cut between its structures
  const std::size_t threads = line_driver::pool_threads();
  const std::size_t parts =
      threads >= 2 && stage1_enabled() && program.size() >= limits::kParallelParseMinBytes
          ? std::min(2 * threads, program.size() / (limits::kParallelParseMinBytes / 2))
          : 1;
  std::vector<std::size_t> cuts;
  // a program large enough to stream is surveyed in one pass, which finds
  // its structure lines among the few lines the quick decoder leaves
  std::optional<line_driver::ProgramSurvey> survey;
  if (stage1_enabled() && line_driver::may_stream(program, state))
    survey = line_driver::survey_program(program);
  auto scanned =
      survey ? structure_scan::check_keyword_lines(program, survey->keyword_lines(), parts, &cuts)
             : structure_scan::check_structures(program, threads >= 2, parts, &cuts);
  if (!scanned) return errors::fail(std::move(scanned.error()));
  const bool has_structure = *scanned;

  // A jump that no block list resolved is reported where it was made.
  auto outcome = [&state](errors::Result<interpret_rules::Flow> flow) -> errors::Status {
    if (!flow) return errors::fail(std::move(flow.error()));
    if (const auto* jump = flow->jump_request())
      return errors::fail(jump->into_not_found_error(state));
    return {};
  };

  // Programs without structure blocks take the per-line fast path.
  if (!has_structure && stage1_enabled())
    return outcome(line_driver::interpret_lines(program, rows, state, survey ? &*survey : nullptr));
  survey.reset();

  // the lines the per-line decoder takes are run from their text: their
  // words need no nodes
  auto parsed =
      stage1_enabled()
          ? types::NCParser::parse_file(program, &line_driver::skimmable_line, cuts,
                                        &line_driver::for_each_on_pool)
          : types::NCParser::parse(Rule::file, program);
  if (!parsed) {
    const types::ParseFailure& failure = parsed.error();
    return errors::fail(errors::ParseContext{failure.column, state.line_text(failure.line),
                                             "initial file parsing",
                                             parse_explain::describe_parse_error(failure), failure.line});
  }
  auto file = parsed->next();
  if (!file) return errors::fail(errors::ParseError{"No blocks found"});
  auto blocks = file->into_inner().next();
  if (!blocks) return errors::fail(errors::ParseError{"No inner blocks found"});

  const types::Pair program_blocks = blocks->with_line_offset(0);
  // the blocks the per-line decoder takes, and the conditions it reads, run
  // without a walk of their tree
  void* caches = line_driver::fresh_decoded_blocks();
  const interpret_rules::BlockShortcutScope shortcut(
      stage1_enabled() ? &line_driver::run_decodable_block : nullptr,
      stage1_enabled() ? &line_driver::run_compiled_condition : nullptr, caches);
  if (vm_requested()) return outcome(interpret_rules::vm::run(program_blocks, rows, state));
  return outcome(interpret_rules::interpret_blocks(program_blocks, rows, state));
}

errors::Status interpret_initial_state(std::string_view source, state::State& state,
                                       output::OutputRows& rows) {
  state.record_all_jump_targets = true;
  errors::Status r = interpret_file(source, state, rows);
  state.record_all_jump_targets = false;
  // the later program's hints read every target of this one: written out
  // now, so that this program's tree is not held through the later run
  interpret_rules::settle_jump_targets(state);
  state.tree_jump_keys = {};
  if (!r) return r;
  // its last row is closed as every other one, so that what closing a row
  // warns about is said on every path (the whole-program parse may or may not
  // close it with a blank block at the end)
  return rows.flush();
}

errors::Status install_flattener(output::OutputRows& rows, const state::State& state,
                                 std::optional<double> tolerance) {
  if (!tolerance) return {};
  auto flattener = flatten::Flattener::create(state.axis_identifiers, *tolerance);
  if (!flattener) return errors::fail(std::move(flattener.error()));
  // Start from the machine positions an initial-state program left behind.
  for (const auto& [name, value] : state.axes) {
    (void)value;
    if (auto machine = state.get_axis_machine(name)) flattener->seed_position(name, *machine);
  }
  rows.flattener = flatten::into_row_filter(std::move(*flattener));
  return {};
}

}  // namespace kelvane::interpreter
