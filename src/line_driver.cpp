#include "line_driver_parts.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "text.hpp"

namespace kelvane::line_driver {

using errors::fail;
using errors::ParsingError;
using output::OutputRows;
using state::State;
using types::Rule;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// A statistics line goes to standard error whole, as a warning does.
void print_stats(std::string line) { text::write_warning_line(std::move(line)); }

std::string fixed3(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

bool contains_goto_letters(std::string_view s) {
  for (std::size_t i = 0; i + 4 <= s.size(); ++i)
    if (text::equals_upper(s.substr(i, 4), "GOTO")) return true;
  return false;
}

// Pops the scope pushed for the program when execution ends.
struct ScopeGuard {
  State& state;
  ~ScopeGuard() {
    if (!state.label_scopes.empty()) state.label_scopes.pop_back();
  }
};

const DecodeResult& result_at(const DecodedProgram& decoded, std::size_t i) {
  return decoded.chunks[i / decoded.chunk_lines].results[i % decoded.chunk_lines];
}

// What the first pass leaves for the second: the continuation lines, in
// ascending order, and the counts of the statistics line.
struct Survey {
  std::vector<std::size_t> continuation;
  std::size_t non_blank = 0;
  std::size_t needs_grammar = 0;
  std::size_t total_words = 0;
};

// A string literal that runs over a line end holds the lines up to its
// closing quote: they go to the grammar with the line that opens it (and are
// noted as continuation lines).
Survey survey_lines(DecodedProgram& decoded, std::span<const std::string_view> lines) {
  Survey survey;
  bool inside = false;
  std::size_t i = 0;
  for (DecodedChunk& chunk : decoded.chunks) {
    survey.total_words += chunk.words.size();
    for (DecodeResult& r : chunk.results) {
      if (inside) {
        survey.continuation.push_back(i);
        if (!r.needs_grammar()) r = DecodeResult{DecodeResult::NeedsGrammar{}};
        inside = ends_inside_string(lines[i], true);
      } else if (r.needs_grammar()) {
        inside = ends_inside_string(lines[i], false);
      }
      if (!r.is_blank()) ++survey.non_blank;
      if (r.needs_grammar()) ++survey.needs_grammar;
      ++i;
    }
  }
  return survey;
}

// The refused lines in a text that keeps every line in its place, the others
// left empty. A refused line keeps its own line end, so that a string literal
// over several lines keeps its text and a carriage return at the end of a line
// stays apart from the line end that follows. Whether a refused line holds the
// letters GOTO.
bool write_sparse_text(std::string_view program, std::span<const std::string_view> lines,
                       const DecodedProgram& decoded, std::string& sparse) {
  bool has_goto = false;
  sparse.reserve(program.size() + 2);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!result_at(decoded, i).needs_grammar()) {
      sparse += '\n';
      continue;
    }
    const std::size_t start = static_cast<std::size_t>(lines[i].data() - program.data());
    const std::size_t end = terminated_end(program, lines[i]);
    sparse.append(program.substr(start, end - start));
    if (end == start + lines[i].size()) {
      // the last line, without a line end
      if (!lines[i].empty() && lines[i].back() == '\r') sparse += '\r';
      sparse += '\n';
    }
    if (!has_goto && contains_goto_letters(lines[i])) has_goto = true;
  }
  return has_goto;
}

// A failed parse of the refused lines, explained from the program's own text
// as the whole-program parse does (the lines of a string literal over several
// lines together).
ParsingError sparse_parse_error(std::string_view program, std::span<const std::string_view> lines,
                                const std::vector<std::size_t>& continuation,
                                const types::ParseFailure& f, const State& state) {
  auto continues = [&](std::size_t i) {
    return std::binary_search(continuation.begin(), continuation.end(), i);
  };
  std::size_t last = std::clamp<std::size_t>(f.line, 1, lines.size()) - 1;
  std::size_t first = last;
  while (first > 0 && continues(first)) --first;
  while (last + 1 < lines.size() && continues(last + 1)) ++last;
  const std::size_t start = static_cast<std::size_t>(lines[first].data() - program.data());
  return line_parse_error(program, start, terminated_end(program, lines[last]), first, f, state);
}

// How each line runs, and the jump targets of the lines when they are needed.
struct Plan {
  std::vector<LineExec> exec;
  interpret_rules::JumpTable table;
};

// The plan of the lines, taking their blocks from the sparse parse's `blocks`
// in order.
errors::Result<Plan> plan_lines(const DecodedProgram& decoded, std::size_t count,
                                std::optional<types::Pairs>& blocks, bool scan_targets) {
  Plan plan;
  plan.exec.reserve(count);
  std::size_t covered_until = 0;  // lines before it belong to the last grammar block
  for (std::size_t i = 0; i < count; ++i) {
    const DecodeResult& r = result_at(decoded, i);
    if (r.is_blank() || i < covered_until) {
      plan.exec.push_back(LineExec{LineExec::Skip{}});
    } else if (const DecodeResult::Decoded* d = r.decoded()) {
      const auto chunk = static_cast<std::uint32_t>(i / decoded.chunk_lines);
      plan.exec.push_back(LineExec{LineExec::Decoded{chunk, d}});
      if (scan_targets) {
        if (d->block_number)
          plan.table[interpret_rules::block_number_jump_key(*d->block_number)].push_back(i);
        if (d->label) plan.table[interpret_rules::label_jump_key(*d->label)].push_back(i);
      }
    } else {
      std::optional<types::Pair> block;
      if (blocks) {
        if (auto next = blocks->peek();
            next && next->as_rule() == Rule::block && next->line_col().first == i + 1) {
          block = blocks->next();
        }
      }
      if (!block) {
        return fail(errors::ParseError{"Line " + std::to_string(i + 1) +
                                       " produced no block in the sparse parse"});
      }
      const std::string_view text = block->as_str();
      covered_until = i + 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
      if (scan_targets) {
        const types::Pair one[1] = {*block};
        for (auto& [key, at] :
             interpret_rules::scan_jump_targets(std::span<const types::Pair>(one, 1))) {
          (void)at;
          plan.table[key].push_back(i);
        }
      }
      plan.exec.push_back(LineExec{LineExec::Grammar{*block}});
    }
  }
  return plan;
}

// Runs the plan from its first line, following jumps by line index.
errors::Result<Flow> run_plan(const Plan& plan, const DecodedProgram& decoded, OutputRows& rows,
                              State& state) {
  std::size_t backward = 0;
  std::size_t i = 0;
  const std::size_t n = plan.exec.size();
  while (i < n) {
    errors::Result<Flow> flow = std::visit(
        [&](const auto& e) -> errors::Result<Flow> {
          using E = std::remove_cvref_t<decltype(e)>;
          if constexpr (std::is_same_v<E, LineExec::Skip>) {
            return Flow::cont();
          } else if constexpr (std::is_same_v<E, LineExec::Decoded>) {
            return execute_decoded(*e.line, decoded.chunks[e.chunk].words, rows, state);
          } else {
            static_assert(std::is_same_v<E, LineExec::Grammar>);
            return interpret_rules::interpret_block(e.block, rows, state);
          }
        },
        plan.exec[i].v);
    if (!flow) return flow;
    if (flow->is_continue()) {
      ++i;
      continue;
    }
    if (flow->is_end()) return Flow::end();
    const interpret_rules::JumpRequest* request = flow->jump_request();
    auto target = interpret_rules::resolve_jump(plan.table, i, *request);
    if (!target) return flow;
    if (*target <= i) {
      ++backward;
      if (backward >= state.iteration_limit)
        return fail(errors::LoopLimit{std::to_string(state.iteration_limit)});
      // a backward jump may loop for long without a row: stop once nobody listens
      if (rows.consumer_gone()) return fail(errors::StreamClosed{});
    }
    i = *target;
  }
  return Flow::cont();
}

errors::Result<Flow> run_in_memory(std::string_view program, OutputRows& rows, State& state) {
  const bool stats = stats_enabled();
  const Clock::time_point t0 = Clock::now();

  // pass 1: decode every line
  const std::vector<std::string_view> lines = split_lines(program);
  DecodedProgram decoded = decode_all_lines(lines, program.size());
  const Survey survey = survey_lines(decoded, lines);
  if (stats) {
    print_stats("STAGE1_STATS non_blank=" + std::to_string(survey.non_blank) +
                " needs_grammar=" + std::to_string(survey.needs_grammar) +
                " total_lines=" + std::to_string(lines.size()) + " pass1_decode=" +
                fixed3(seconds_since(t0)) + "s words=" + std::to_string(survey.total_words) +
                " nchunks=" + std::to_string(decoded.chunks.size()));
  }

  // pass 2: the refused lines, parsed at once; the tree borrows `sparse`
  std::string sparse;
  bool has_goto = false;
  std::optional<types::Pairs> blocks;
  if (survey.needs_grammar > 0) {
    has_goto = write_sparse_text(program, lines, decoded, sparse);
    auto parsed = types::NCParser::parse(Rule::sparse_lines, sparse);
    if (!parsed)
      return fail(sparse_parse_error(program, lines, survey.continuation, parsed.error(), state));
    auto top = parsed->next();
    if (!top) return fail(errors::ParseError{"The sparse parse produced no program"});
    blocks = top->into_inner();
  }

  auto plan = plan_lines(decoded, lines.size(), blocks, has_goto || state.record_all_jump_targets);
  if (!plan) return fail(std::move(plan.error()));
  state::StrSet& scope = state.label_scopes.emplace_back();
  for (const auto& entry : plan->table) {
    state.all_jump_targets.insert(entry.first);
    scope.insert(entry.first);
  }
  ScopeGuard guard{state};

  if (stats) {
    print_stats("STAGE1_STATS pass2_setup_done=" + fixed3(seconds_since(t0)) +
                "s (pass1+pass2, before execution)");
  }
  return run_plan(*plan, decoded, rows, state);
}

// Streams a program line by line after a parallel pre-check; nothing when
// the program holds a control statement (the caller runs it in memory).
std::optional<errors::Result<Flow>> try_streaming(std::string_view program, OutputRows& rows,
                                                  State& state) {
  const std::size_t threads = pool_threads();
  const std::size_t wanted =
      (threads >= 2 && program.size() >= kParallelDecodeMinBytes) ? 8 * threads : 1;
  const bool stats = stats_enabled();
  const Clock::time_point t0 = Clock::now();

  const auto ranges = cut_byte_ranges(program, wanted);
  std::vector<PreflightScan> scans(ranges.size());
  for_each_on_pool(ranges.size(), [&](std::size_t k) {
    scans[k] = preflight_streaming_in(program, ranges[k].first, ranges[k].second);
  });

  std::size_t lines = 0, non_blank = 0, needs_grammar = 0;
  for (std::size_t k = 0; k < scans.size(); ++k) {
    const PreflightScan& s = scans[k];
    switch (s.status) {
      case PreflightScan::Status::Ok:
        lines += s.lines;
        non_blank += s.non_blank;
        needs_grammar += s.needs_grammar;
        continue;
      case PreflightScan::Status::HasControl:
      case PreflightScan::Status::SpansLines:
        return std::nullopt;
      case PreflightScan::Status::ParseFailed: {
        const std::size_t index = lines + s.failing_line;
        const std::string_view text =
            line_in_range(program, ranges[k].first, ranges[k].second, s.failing_line);
        auto block = parse_single_line(text, index, state);
        if (!block) return errors::Result<Flow>(std::unexpected(std::move(block.error())));
        return errors::Result<Flow>(std::unexpected(ParsingError(errors::ParseError{
            "Line " + std::to_string(index + 1) + " failed to parse in the preflight scan"})));
      }
    }
  }
  if (stats) {
    print_stats("STAGE1_STATS mode=streaming non_blank=" + std::to_string(non_blank) +
                " needs_grammar=" + std::to_string(needs_grammar) +
                " total_lines=" + std::to_string(lines) + " preflight=" + fixed3(seconds_since(t0)) +
                "s");
  }

  return stream_lines(program, rows, state);
}

}  // namespace

errors::Result<Flow> interpret_lines(std::string_view program, OutputRows& rows, State& state) {
  // streaming keeps no jump table: a run whose targets a later program may
  // ask for is taken in memory
  if (program.size() >= stream_min_bytes() && !state.record_all_jump_targets) {
    if (auto streamed = try_streaming(program, rows, state)) return std::move(*streamed);
  }
  return run_in_memory(program, rows, state);
}

}  // namespace kelvane::line_driver
