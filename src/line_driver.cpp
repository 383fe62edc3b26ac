#include "line_driver_parts.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "limits.hpp"
#include "line_driver_quick.hpp"
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
  bool has_goto = false;   // a refused line holds the letters GOTO
};

LineKind kind_of(const DecodeResult& r) {
  if (r.is_blank()) return LineKind::Blank;
  return r.needs_grammar() ? LineKind::Grammar : LineKind::Decoded;
}

// Decodes the lines [begin, end) into their kinds; the number of words.
std::size_t decode_kinds(std::span<const std::string_view> lines, std::size_t begin,
                         std::size_t end, std::vector<LineKind>& kinds) {
  std::size_t total = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const DecodeResult r = classify_line(lines[i], i + 1);
    if (const DecodeResult::Decoded* d = r.decoded()) total += d->words.size();
    kinds[i] = kind_of(r);
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
    if (kind == LineKind::Grammar) {
      ++survey.needs_grammar;
      if (!survey.has_goto && contains_goto_letters(lines[i])) survey.has_goto = true;
    }
  }
  return survey;
}

// The refused lines [first, end) in a text that keeps every line in its
// place, the others left empty. A refused line keeps its own line end, so that
// a string literal over several lines keeps its text and a carriage return at
// the end of a line stays apart from the line end that follows.
void write_sparse_text(std::string_view program, std::span<const std::string_view> lines,
                       std::span<const LineKind> kinds, std::size_t first, std::size_t end,
                       std::string& sparse) {
  // the refused lines' text and one line end for each other line
  std::size_t size = 2;
  for (std::size_t i = first; i < end; ++i)
    size += kinds[i] == LineKind::Grammar ? lines[i].size() + 2 : 1;
  sparse.reserve(size);
  for (std::size_t i = first; i < end; ++i) {
    if (kinds[i] != LineKind::Grammar) {
      sparse += '\n';
      continue;
    }
    const std::size_t start = static_cast<std::size_t>(lines[i].data() - program.data());
    const std::size_t stop = terminated_end(program, lines[i]);
    sparse.append(program.substr(start, stop - start));
    if (stop == start + lines[i].size()) {
      // the last line, without a line end
      if (!lines[i].empty() && lines[i].back() == '\r') sparse += '\r';
      sparse += '\n';
    }
  }
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

// The refused lines are parsed in chunks of whole lines (a string literal
// over several lines stays in one), in parallel for large programs. The trees
// are held up to a number of tokens (sixteen bytes each, one per node, some
// fifteen per refused line); a chunk beyond it is parsed again when one of
// its lines runs, the last few such chunks held.
inline constexpr std::size_t kSparseChunkLines = 32768;
inline constexpr std::size_t kHeldSparseTokens = std::size_t{1} << 23;
inline constexpr std::size_t kReparsedChunksHeld = 2;

// NC_SPARSE_CHUNK_LINES and NC_SPARSE_HELD_TOKENS as unsigned decimals, else
// the defaults (0 lines counts as 1).
std::size_t env_size(const char* name, std::size_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v < '0' || *v > '9') return fallback;
  char* end = nullptr;
  const unsigned long long n = std::strtoull(v, &end, 10);
  if (end == nullptr || *end != '\0') return fallback;
  return static_cast<std::size_t>(n);
}

// A chunk's text and its tree, which borrows the text: Pairs of the tree
// hold both.
struct HeldTree {
  std::string text;
  std::shared_ptr<const types::ParseTree> tree;
};

struct SparseChunk {
  std::size_t first = 0;  // its lines [first, end)
  std::size_t end = 0;
  bool has_grammar = false;
  std::shared_ptr<const types::ParseTree> tree;  // shares the HeldTree; null: not held
  std::optional<types::ParseFailure> failure;    // in program lines
  bool no_program = false;
  std::optional<std::size_t> missing_block;  // the first refused line that produced no block
  state::StrSet named;                        // keys of its jump statements
  std::vector<std::pair<std::size_t, std::string>> keys;  // jump keys of its blocks, by line
};

using ChunkParse = std::expected<std::shared_ptr<const types::ParseTree>, types::ParseFailure>;

// How each line runs, and the jump targets of the lines: only the keys the
// program's jump statements name (most block numbers are never jumped to).
struct Plan {
  std::vector<std::uint32_t> exec;
  std::vector<LineKind> kinds;
  std::vector<SparseChunk> chunks;
  std::vector<std::size_t> reparsed;  // chunks parsed again while running, oldest first
  interpret_rules::JumpTable table;
  // the chunk after the one parsed again last, parsed meanwhile on another
  // thread (last: it reads the kinds, which outlive it)
  std::optional<std::pair<std::size_t, std::future<ChunkParse>>> ahead;
};

// Parses a chunk's refused lines; its tree, or the failure.
ChunkParse parse_chunk(std::string_view program, std::span<const std::string_view> lines,
                       std::span<const LineKind> kinds, std::size_t first, std::size_t end,
                       std::optional<types::Pair>& top) {
  auto held = std::make_shared<HeldTree>();
  write_sparse_text(program, lines, kinds, first, end, held->text);
  auto parsed = types::NCParser::parse(Rule::sparse_lines, held->text);
  if (!parsed) {
    types::ParseFailure f = std::move(parsed.error());
    types::offset_failure_lines(f, first);
    return std::unexpected(std::move(f));
  }
  top = parsed->next();
  if (!top) return std::shared_ptr<const types::ParseTree>();
  held->tree = top->tree();
  const types::ParseTree* tree = held->tree.get();
  return std::shared_ptr<const types::ParseTree>(std::move(held), tree);
}

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

// Parses and plans one chunk: how its lines run, the keys its jumps name and
// the keys of its blocks (when the program has jumps). The tree is kept while
// the held tokens stay within `budget`.
void plan_chunk(std::string_view program, std::span<const std::string_view> lines, Plan& plan,
                SparseChunk& chunk, bool has_goto, std::atomic<std::size_t>& held,
                std::size_t budget) {
  std::optional<types::Pair> top;
  std::shared_ptr<const types::ParseTree> tree;
  if (chunk.has_grammar) {
    auto parsed = parse_chunk(program, lines, plan.kinds, chunk.first, chunk.end, top);
    if (!parsed) {
      chunk.failure = std::move(parsed.error());
      return;
    }
    if (!*parsed) {
      chunk.no_program = true;
      return;
    }
    tree = std::move(*parsed);
  }
  std::optional<types::Pairs> blocks;
  if (top) blocks = top->with_line_offset(chunk.first).into_inner();
  std::size_t covered_until = chunk.first;  // lines before it belong to the last grammar block
  for (std::size_t i = chunk.first; i < chunk.end; ++i) {
    const LineKind kind = plan.kinds[i];
    if (kind == LineKind::Blank || i < covered_until) {
      plan.exec[i] = kSkipLine;
    } else if (kind == LineKind::Decoded) {
      plan.exec[i] = kDecodedLine;
    } else {
      std::optional<types::Pair> block;
      if (blocks) {
        if (auto next = blocks->peek();
            next && next->as_rule() == Rule::block && next->line_col().first == i + 1) {
          block = blocks->next();
        }
      }
      if (!block) {
        chunk.missing_block = i;
        return;
      }
      const std::string_view text = block->as_str();
      covered_until = i + 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
      if (has_goto) {
        const types::Pair one[1] = {*block};
        for (auto& [key, at] :
             interpret_rules::scan_jump_targets(std::span<const types::Pair>(one, 1))) {
          (void)at;
          chunk.keys.emplace_back(i, key);
        }
      }
      plan.exec[i] = kGrammarLine + block->token_index();
    }
  }
  if (!tree) return;
  if (has_goto) chunk.named = interpret_rules::named_jump_keys(*tree);
  const std::size_t tokens = tree->tokens.size();
  if (held.fetch_add(tokens) + tokens <= budget) chunk.tree = std::move(tree);
  else held.fetch_sub(tokens);
}

// The chunks of the lines: `chunk_lines` lines each, a string literal over
// several lines kept in one.
std::vector<SparseChunk> chunk_lines_of(std::span<const LineKind> kinds,
                                        const std::vector<std::size_t>& continuation,
                                        std::size_t chunk_lines) {
  std::vector<SparseChunk> chunks;
  const std::size_t n = kinds.size();
  chunk_lines = std::max<std::size_t>(chunk_lines, 1);
  std::size_t first = 0;
  while (first < n) {
    std::size_t end = first + std::min(chunk_lines, n - first);
    while (end < n && std::binary_search(continuation.begin(), continuation.end(), end)) ++end;
    SparseChunk& c = chunks.emplace_back();
    c.first = first;
    c.end = end;
    for (std::size_t i = first; i < end && !c.has_grammar; ++i)
      c.has_grammar = kinds[i] == LineKind::Grammar;
    first = end;
  }
  return chunks;
}

// The plan of the lines: the sparse parse in chunks, the jump table of the
// keys the jumps name. An error of the parse is the whole text's first.
errors::Result<Plan> plan_lines(std::string_view program, std::span<const std::string_view> lines,
                                Survey&& survey, const State& state) {
  Plan plan;
  plan.exec.assign(lines.size(), kSkipLine);
  plan.kinds = std::move(survey.kinds);
  // a text too large for one parse fails as one
  const std::size_t chunk_lines = program.size() > limits::kMaxParseBytes
                                      ? lines.size()
                                      : env_size("NC_SPARSE_CHUNK_LINES", kSparseChunkLines);
  plan.chunks = chunk_lines_of(plan.kinds, survey.continuation, chunk_lines);
  const std::size_t budget = env_size("NC_SPARSE_HELD_TOKENS", kHeldSparseTokens);
  std::atomic<std::size_t> held{0};
  const bool has_goto = survey.has_goto;
  auto job = [&](std::size_t k) {
    plan_chunk(program, lines, plan, plan.chunks[k], has_goto, held, budget);
  };
  if (program.size() >= kParallelDecodeMinBytes && pool_threads() >= 2 && plan.chunks.size() > 1) {
    for_each_on_pool(plan.chunks.size(), job);
  } else {
    for (std::size_t k = 0; k < plan.chunks.size(); ++k) job(k);
  }
  for (const SparseChunk& c : plan.chunks)
    if (c.failure)
      return fail(sparse_parse_error(program, lines, survey.continuation, *c.failure, state));
  for (const SparseChunk& c : plan.chunks)
    if (c.no_program) return fail(errors::ParseError{"The sparse parse produced no program"});
  for (const SparseChunk& c : plan.chunks) {
    if (c.missing_block) {
      return fail(errors::ParseError{"Line " + std::to_string(*c.missing_block + 1) +
                                     " produced no block in the sparse parse"});
    }
  }

  // the keys the jump statements name: only they are looked up in the table
  // and in the scope
  state::StrSet named;
  for (SparseChunk& c : plan.chunks) {
    for (const std::string& key : c.named) named.insert(key);
    c.named = {};
  }
  std::vector<Word> words;
  for (SparseChunk& c : plan.chunks) {
    std::size_t next_key = 0;
    for (std::size_t i = c.first; i < c.end && !named.empty(); ++i) {
      const std::uint32_t e = plan.exec[i];
      if (e == kDecodedLine) {
        decoded_line_keys(lines[i], i, words, [&](std::string key) {
          if (named.find(key) != named.end()) plan.table[std::move(key)].push_back(i);
        });
      } else if (e >= kGrammarLine) {
        for (; next_key < c.keys.size() && c.keys[next_key].first == i; ++next_key) {
          std::string& key = c.keys[next_key].second;
          if (named.find(key) != named.end()) plan.table[std::move(key)].push_back(i);
        }
      }
    }
    c.keys = {};
  }
  return plan;
}

// The tree of chunk `k`, parsed again when it is not held.
errors::Result<const std::shared_ptr<const types::ParseTree>*> chunk_tree(
    Plan& plan, std::size_t k, std::string_view program, std::span<const std::string_view> lines) {
  SparseChunk& chunk = plan.chunks[k];
  if (!chunk.tree) {
    std::optional<types::Pair> top;
    ChunkParse parsed;
    if (plan.ahead && plan.ahead->first == k) {
      parsed = plan.ahead->second.get();
      plan.ahead.reset();
    } else {
      parsed = parse_chunk(program, lines, plan.kinds, chunk.first, chunk.end, top);
    }
    // the next chunk not held is parsed while this one runs
    if (!plan.ahead && k + 1 < plan.chunks.size() && !plan.chunks[k + 1].tree &&
        plan.chunks[k + 1].has_grammar) {
      const std::size_t first = plan.chunks[k + 1].first;
      const std::size_t end = plan.chunks[k + 1].end;
      const std::span<const LineKind> kinds = plan.kinds;
      plan.ahead.emplace(k + 1, std::async(std::launch::async, [=] {
                           std::optional<types::Pair> unused;
                           return parse_chunk(program, lines, kinds, first, end, unused);
                         }));
    }
    if (!parsed || !*parsed) {
      return fail(errors::ParseError{"Lines " + std::to_string(chunk.first + 1) + " to " +
                                     std::to_string(chunk.end) + " failed to parse again"});
    }
    chunk.tree = std::move(*parsed);
    plan.reparsed.push_back(k);
    if (plan.reparsed.size() > kReparsedChunksHeld) {
      plan.chunks[plan.reparsed.front()].tree.reset();
      plan.reparsed.erase(plan.reparsed.begin());
    }
  }
  return &chunk.tree;
}

// The chunk that holds line `i`.
std::size_t chunk_of(const Plan& plan, std::size_t i) {
  auto it = std::upper_bound(plan.chunks.begin(), plan.chunks.end(), i,
                             [](std::size_t line, const SparseChunk& c) { return line < c.first; });
  return static_cast<std::size_t>(it - plan.chunks.begin()) - 1;
}

// The block of grammar line `i`.
errors::Result<types::Pair> grammar_block(Plan& plan, std::size_t i, std::size_t& chunk,
                                          std::string_view program,
                                          std::span<const std::string_view> lines) {
  if (chunk >= plan.chunks.size() || i < plan.chunks[chunk].first || i >= plan.chunks[chunk].end)
    chunk = chunk_of(plan, i);
  auto tree = chunk_tree(plan, chunk, program, lines);
  if (!tree) return fail(std::move(tree.error()));
  return types::Pair(**tree, plan.exec[i] - kGrammarLine, plan.chunks[chunk].first);
}

// Every jump key of the lines, into `known`, as the table of all of them
// orders them: what the jump hints know of this program.
errors::Status note_all_jump_targets(Plan& plan, std::string_view program,
                                     std::span<const std::string_view> lines,
                                     state::StrSet& known) {
  interpret_rules::JumpTable table;
  std::vector<Word> words;
  std::size_t chunk = 0;
  for (std::size_t i = 0; i < plan.exec.size(); ++i) {
    const std::uint32_t e = plan.exec[i];
    if (e == kSkipLine) continue;
    if (e == kDecodedLine) {
      decoded_line_keys(lines[i], i, words,
                        [&](std::string key) { table[std::move(key)].push_back(i); });
      continue;
    }
    auto block = grammar_block(plan, i, chunk, program, lines);
    if (!block) return fail(std::move(block.error()));
    const types::Pair one[1] = {*block};
    for (auto& [key, at] :
         interpret_rules::scan_jump_targets(std::span<const types::Pair>(one, 1))) {
      (void)at;
      table[key].push_back(i);
    }
  }
  for (const auto& entry : table) known.insert(entry.first);
  return {};
}

// Runs the plan from its first line, following jumps by line index.
errors::Result<Flow> run_plan(Plan& plan, std::string_view program,
                              std::span<const std::string_view> lines, OutputRows& rows,
                              State& state) {
  std::size_t backward = 0;
  std::size_t i = 0;
  std::size_t chunk = 0;
  const std::size_t n = plan.exec.size();
  std::vector<Word> words;
  words.reserve(64);
  QuickRunner quick;
  const bool lane = QuickRunner::lane_open(rows);
  QuickCell cells[kMaxQuickCells];
  while (i < n) {
    const std::uint32_t e = plan.exec[i];
    errors::Result<Flow> flow = Flow::cont();
    if (e == kSkipLine) {
      ++i;
      continue;
    } else if (e == kDecodedLine) {
      std::size_t count = 0;
      std::uint32_t letters = 0;
      if (lane && quick_decode(lines[i], cells, count, letters) == QuickForm::Quick) {
        if (auto ran = quick.run(std::span<const QuickCell>(cells, count), letters, i + 1, rows,
                                 state)) {
          if (!*ran) return fail(std::move(ran->error()));
          ++i;
          continue;
        }
      }
      quick.forget();
      words.clear();
      const DecodeResult r = decode_line(lines[i], i + 1, words);
      if (needs_grammar_to_run(*r.decoded(), words, state))
        flow = run_line_by_grammar(lines[i], i, rows, state);
      else
        flow = execute_decoded(*r.decoded(), words, rows, state);
    } else {
      quick.forget();
      auto block = grammar_block(plan, i, chunk, program, lines);
      if (!block) return fail(std::move(block.error()));
      flow = interpret_rules::interpret_block(*block, rows, state);
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

  // pass 2: the refused lines, parsed in chunks
  const bool has_goto = survey.has_goto;
  auto plan = plan_lines(program, lines, std::move(survey), state);
  if (!plan) return fail(std::move(plan.error()));
  state::StrSet& scope = state.label_scopes.emplace_back();
  for (const auto& entry : plan->table) scope.insert(entry.first);
  ScopeGuard guard{state};

  if (stats) {
    print_stats("STAGE1_STATS pass2_setup_done=" + fixed3(seconds_since(t0)) +
                "s (pass1+pass2, before execution)");
  }
  errors::Result<Flow> flow = run_plan(*plan, program, lines, rows, state);
  // the jump hints read every key: of a jump that no line places, or of a
  // later program
  if (state.record_all_jump_targets || (has_goto && flow && flow->is_jump())) {
    interpret_rules::settle_jump_targets(state);
    if (auto st = note_all_jump_targets(*plan, program, lines, state.all_jump_targets); !st)
      return fail(std::move(st.error()));
  }
  return flow;
}

// Streams a program line by line after a parallel pre-check; nothing when
// the program holds a control statement (the caller runs it in memory).
std::optional<errors::Result<Flow>> try_streaming(std::string_view program, OutputRows& rows,
                                                  State& state, const ProgramSurvey* survey) {
  const bool stats = stats_enabled();

  // the program's lines, surveyed here unless the caller did; the pre-check
  // begins with the survey
  std::optional<ProgramSurvey> own;
  if (survey == nullptr) survey = &own.emplace(survey_program(program));
  const Clock::time_point t0 = survey->started;
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (const RangeSurvey& r : survey->ranges) ranges.emplace_back(r.start, r.end);
  std::vector<PreflightScan> scans(ranges.size());
  for_each_on_pool(ranges.size(), [&](std::size_t k) {
    scans[k] = preflight_surveyed(program, survey->ranges[k]);
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

errors::Result<Flow> interpret_lines(std::string_view program, OutputRows& rows, State& state,
                                     const ProgramSurvey* survey) {
  // the quick lane writes its rows straight into the batches, at less cost
  // than handing them to a writer thread
  if (!rows.batch_writer) rows.batches_on_own_thread = false;
  if (may_stream(program, state)) {
    if (auto streamed = try_streaming(program, rows, state, survey)) return std::move(*streamed);
  }
  return run_in_memory(program, rows, state);
}

}  // namespace kelvane::line_driver
