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

// What the first pass learns of a line. Its words are not kept: a decoded
// line is decoded again when it runs, which costs less than holding the words
// of the whole program.
enum class LineKind : std::uint8_t { Blank, Decoded, Grammar };

// What the first pass leaves for the second: the kind of every line, the
// continuation lines, in ascending order, and the counts of the statistics
// line.
struct Survey {
  std::vector<LineKind> kinds;
  std::vector<std::size_t> continuation;
  std::size_t non_blank = 0;
  std::size_t needs_grammar = 0;
  std::size_t total_words = 0;
  std::size_t chunks = 1;  // decoded in parallel chunks
};

LineKind kind_of(const DecodeResult& r) {
  if (r.is_blank()) return LineKind::Blank;
  return r.needs_grammar() ? LineKind::Grammar : LineKind::Decoded;
}

// Decodes the lines [begin, end) into their kinds; the number of words.
std::size_t decode_kinds(std::span<const std::string_view> lines, std::size_t begin,
                         std::size_t end, std::vector<LineKind>& kinds) {
  std::vector<Word> words;
  words.reserve(64);
  std::size_t total = 0;
  for (std::size_t i = begin; i < end; ++i) {
    words.clear();
    kinds[i] = kind_of(decode_line(lines[i], i + 1, words));
    total += words.size();
  }
  return total;
}

// A string literal that runs over a line end holds the lines up to its
// closing quote: they go to the grammar with the line that opens it (and are
// noted as continuation lines). Large programs are decoded in parallel
// chunks.
Survey survey_lines(std::span<const std::string_view> lines, std::size_t byte_length) {
  Survey survey;
  survey.kinds.resize(lines.size());
  const std::size_t threads = pool_threads();
  if (byte_length >= kParallelDecodeMinBytes && threads >= 2) {
    const std::size_t chunk_lines = std::max(lines.size() / (8 * threads), kMinChunkLines);
    const std::size_t nchunks = (lines.size() + chunk_lines - 1) / chunk_lines;
    std::vector<std::size_t> words(nchunks, 0);
    for_each_on_pool(nchunks, [&](std::size_t k) {
      const std::size_t begin = k * chunk_lines;
      words[k] = decode_kinds(lines, begin, std::min(begin + chunk_lines, lines.size()),
                              survey.kinds);
    });
    for (const std::size_t w : words) survey.total_words += w;
    survey.chunks = std::max<std::size_t>(nchunks, 1);
  } else {
    survey.total_words = decode_kinds(lines, 0, lines.size(), survey.kinds);
  }
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    LineKind& kind = survey.kinds[i];
    if (inside) {
      survey.continuation.push_back(i);
      kind = LineKind::Grammar;
      inside = ends_inside_string(lines[i], true);
    } else if (kind == LineKind::Grammar) {
      inside = ends_inside_string(lines[i], false);
    }
    if (kind != LineKind::Blank) ++survey.non_blank;
    if (kind == LineKind::Grammar) ++survey.needs_grammar;
  }
  return survey;
}

// The refused lines in a text that keeps every line in its place, the others
// left empty. A refused line keeps its own line end, so that a string literal
// over several lines keeps its text and a carriage return at the end of a line
// stays apart from the line end that follows. Whether a refused line holds the
// letters GOTO.
bool write_sparse_text(std::string_view program, std::span<const std::string_view> lines,
                       std::span<const LineKind> kinds, std::string& sparse) {
  bool has_goto = false;
  // the refused lines' text and one line end for each other line
  std::size_t size = 2;
  for (std::size_t i = 0; i < lines.size(); ++i)
    size += kinds[i] == LineKind::Grammar ? lines[i].size() + 2 : 1;
  sparse.reserve(std::min(size, program.size() + 2));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (kinds[i] != LineKind::Grammar) {
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

// How each line runs, in four bytes a line: skipped, decoded (again) and run,
// or its block of the sparse parse run (the block's token index, offset by
// kGrammarLine).
inline constexpr std::uint32_t kSkipLine = 0;
inline constexpr std::uint32_t kDecodedLine = 1;
inline constexpr std::uint32_t kGrammarLine = 2;

// How each line runs, and the jump targets of the lines: only the keys the
// program's jump statements name (most block numbers are never jumped to).
struct Plan {
  std::vector<std::uint32_t> exec;
  std::optional<types::Pair> tree;  // the sparse parse's top node, when there is one
  interpret_rules::JumpTable table;
};

// The jump keys of a decoded line, block number first.
template <typename F>
void decoded_line_keys(std::string_view line, std::size_t index, std::vector<Word>& words,
                       F&& f) {
  words.clear();
  const DecodeResult r = decode_line(line, index + 1, words);
  const DecodeResult::Decoded* d = r.decoded();
  if (!d) return;
  if (d->block_number) f(interpret_rules::block_number_jump_key(*d->block_number));
  if (d->label) f(interpret_rules::label_jump_key(*d->label));
}

// The plan of the lines, taking their blocks from the sparse parse's `blocks`
// in order; the table holds the keys in `named`.
errors::Result<Plan> plan_lines(std::span<const std::string_view> lines,
                                std::span<const LineKind> kinds, std::optional<types::Pair> top,
                                const state::StrSet& named) {
  Plan plan;
  plan.exec.reserve(lines.size());
  std::optional<types::Pairs> blocks;
  if (top) blocks = top->into_inner();
  plan.tree = std::move(top);
  std::vector<Word> words;
  std::size_t covered_until = 0;  // lines before it belong to the last grammar block
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const LineKind kind = kinds[i];
    if (kind == LineKind::Blank || i < covered_until) {
      plan.exec.push_back(kSkipLine);
    } else if (kind == LineKind::Decoded) {
      plan.exec.push_back(kDecodedLine);
      if (!named.empty()) {
        decoded_line_keys(lines[i], i, words, [&](std::string key) {
          if (named.find(key) != named.end()) plan.table[std::move(key)].push_back(i);
        });
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
      if (!named.empty()) {
        const types::Pair one[1] = {*block};
        for (auto& [key, at] :
             interpret_rules::scan_jump_targets(std::span<const types::Pair>(one, 1), named)) {
          (void)at;
          plan.table[key].push_back(i);
        }
      }
      plan.exec.push_back(kGrammarLine + block->token_index());
    }
  }
  return plan;
}

// Every jump key of the lines, into `known`, as the table of all of them
// orders them: what the jump hints know of this program.
void note_all_jump_targets(const Plan& plan, std::span<const std::string_view> lines,
                           state::StrSet& known) {
  interpret_rules::JumpTable table;
  std::vector<Word> words;
  for (std::size_t i = 0; i < plan.exec.size(); ++i) {
    const std::uint32_t e = plan.exec[i];
    if (e == kSkipLine) continue;
    if (e == kDecodedLine) {
      decoded_line_keys(lines[i], i, words,
                        [&](std::string key) { table[std::move(key)].push_back(i); });
      continue;
    }
    const types::Pair one[1] = {types::Pair(plan.tree->tree(), e - kGrammarLine,
                                            plan.tree->line_offset())};
    for (auto& [key, at] :
         interpret_rules::scan_jump_targets(std::span<const types::Pair>(one, 1))) {
      (void)at;
      table[key].push_back(i);
    }
  }
  for (const auto& entry : table) known.insert(entry.first);
}

// Runs the plan from its first line, following jumps by line index.
errors::Result<Flow> run_plan(const Plan& plan, std::span<const std::string_view> lines,
                              OutputRows& rows, State& state) {
  std::size_t backward = 0;
  std::size_t i = 0;
  const std::size_t n = plan.exec.size();
  std::vector<Word> words;
  words.reserve(64);
  while (i < n) {
    const std::uint32_t e = plan.exec[i];
    errors::Result<Flow> flow = Flow::cont();
    if (e == kSkipLine) {
      ++i;
      continue;
    } else if (e == kDecodedLine) {
      words.clear();
      const DecodeResult r = decode_line(lines[i], i + 1, words);
      flow = execute_decoded(*r.decoded(), words, rows, state);
    } else {
      const types::Pair block(plan.tree->tree(), e - kGrammarLine, plan.tree->line_offset());
      flow = interpret_rules::interpret_block(block, rows, state);
    }
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
  Survey survey = survey_lines(lines, program.size());
  if (stats) {
    print_stats("STAGE1_STATS non_blank=" + std::to_string(survey.non_blank) +
                " needs_grammar=" + std::to_string(survey.needs_grammar) +
                " total_lines=" + std::to_string(lines.size()) + " pass1_decode=" +
                fixed3(seconds_since(t0)) + "s words=" + std::to_string(survey.total_words) +
                " nchunks=" + std::to_string(survey.chunks));
  }

  // pass 2: the refused lines, parsed at once; the tree borrows `sparse`
  std::string sparse;
  bool has_goto = false;
  std::optional<types::Pair> top;
  if (survey.needs_grammar > 0) {
    has_goto = write_sparse_text(program, lines, survey.kinds, sparse);
    auto parsed = types::NCParser::parse(Rule::sparse_lines, sparse);
    if (!parsed)
      return fail(sparse_parse_error(program, lines, survey.continuation, parsed.error(), state));
    top = parsed->next();
    if (!top) return fail(errors::ParseError{"The sparse parse produced no program"});
  }

  // the keys the jump statements name: only they are looked up in the table
  // and in the scope
  state::StrSet named;
  if (has_goto) named = interpret_rules::named_jump_keys(*top->tree());
  auto plan = plan_lines(lines, survey.kinds, std::move(top), named);
  if (!plan) return fail(std::move(plan.error()));
  survey.kinds = {};
  state::StrSet& scope = state.label_scopes.emplace_back();
  for (const auto& entry : plan->table) scope.insert(entry.first);
  ScopeGuard guard{state};

  if (stats) {
    print_stats("STAGE1_STATS pass2_setup_done=" + fixed3(seconds_since(t0)) +
                "s (pass1+pass2, before execution)");
  }
  errors::Result<Flow> flow = run_plan(*plan, lines, rows, state);
  // the jump hints read every key: of a jump that no line places, or of a
  // later program
  if (state.record_all_jump_targets || (has_goto && flow && flow->is_jump())) {
    interpret_rules::settle_jump_targets(state);
    note_all_jump_targets(*plan, lines, state.all_jump_targets);
  }
  return flow;
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

  std::vector<Word> words;
  words.reserve(64);
  std::size_t index = 0;
  errors::Result<Flow> outcome = Flow::cont();
  for_each_line(program, [&](std::string_view line) {
    words.clear();
    const DecodeResult r = decode_line(line, index + 1, words);
    const std::size_t at = index++;
    if (r.is_blank()) return true;
    if (const DecodeResult::Decoded* d = r.decoded()) {
      outcome = execute_decoded(*d, words, rows, state);
    } else {
      auto block = parse_single_line(line, at, state);
      if (!block) {
        outcome = std::unexpected(std::move(block.error()));
        return false;
      }
      outcome = interpret_rules::interpret_block(*block, rows, state);
    }
    return outcome && outcome->is_continue();
  });
  return outcome;
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
