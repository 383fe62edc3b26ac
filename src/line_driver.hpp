#pragma once
// The per-line fast path for programs without IF, WHILE, FOR, LOOP or REPEAT
// blocks: a hand-written word decoder for simple lines, direct execution of
// the decoded words, the grammar for every line the decoder refuses, jumps
// resolved by line index, parallel decoding of large programs and
// line-by-line streaming of very large ones.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "limits.hpp"
#include "line_driver_decode.hpp"
#include "line_driver_execute.hpp"
#include "output.hpp"
#include "state.hpp"
#include "structure_scan.hpp"
#include "types.hpp"

namespace kelvane::line_driver {

using interpret_rules::Flow;

// ---------------------------------------------------------------------------
// Driver

// One source line of an in-memory run.
struct LineExec {
  struct Decoded {
    std::uint32_t chunk = 0;                          // index of its word list
    const DecodeResult::Decoded* line = nullptr;      // owned by the chunk
  };
  struct Grammar {
    types::Pair block;  // the line's block from the sparse parse
  };
  struct Skip {};
  std::variant<Decoded, Grammar, Skip> v;
};

// The words and results of one chunk of consecutive lines.
struct DecodedChunk {
  std::vector<Word> words;
  std::vector<DecodeResult> results;  // one per line
};

struct DecodedProgram {
  std::vector<DecodedChunk> chunks;
  std::size_t chunk_lines = 0;  // lines per chunk (the last may hold fewer)
};

// The thresholds of parallel decoding and streaming (see limits.hpp).
using limits::kDefaultStreamMinBytes;
using limits::kMinChunkLines;
using limits::kParallelDecodeMinBytes;

// The program split at "\n"; a "\r" before a "\n" is dropped; a final line
// end adds no empty line.
std::vector<std::string_view> split_lines(std::string_view program);

// Decodes chunk `k` (its `lines`) into `out`; line numbers are
// k * chunk_lines + position + 1.
void decode_chunk(std::size_t k, std::size_t chunk_lines, std::span<const std::string_view> lines,
                  DecodedChunk& out);
// Decodes every line: in parallel chunks on the pool when `byte_length` is at
// least 4 MiB and the pool has two or more threads, else one chunk here.
DecodedProgram decode_all_lines(std::span<const std::string_view> lines, std::size_t byte_length);

// The streaming pre-check of one byte range (whole lines). HasControl (a jump,
// GOTOS, CASE or IF-GOTO) and SpansLines (a string literal that runs over a
// line end) send the program to the in-memory mode.
struct PreflightScan {
  enum class Status : std::uint8_t { ParseFailed = 0, HasControl = 1, Ok = 2, SpansLines = 3 };
  Status status = Status::Ok;
  std::size_t failing_line = 0;  // 0-based within the range
  std::size_t lines = 0;
  std::size_t non_blank = 0;
  std::size_t needs_grammar = 0;
};
PreflightScan preflight_streaming_in(std::string_view program, std::size_t start, std::size_t end);

// The byte ranges of the streaming pre-check for `n` wanted ranges.
std::vector<std::pair<std::size_t, std::size_t>> cut_byte_ranges(std::string_view program,
                                                                 std::size_t n);

// What one pass over a program large enough to stream learns of the lines of
// one byte range (whole lines). Most lines of such programs are the quick
// decoder's (line_driver_quick.hpp), and only the others can open or close a
// structure, be refused by the word decoder or jump.
struct RangeSurvey {
  std::size_t start = 0;  // the byte range [start, end)
  std::size_t end = 0;
  std::size_t lines = 0;
  std::size_t non_blank = 0;
  // the first lines the quick decoder does not take: their starts (in the
  // program) and their 0-based indices in the range
  std::vector<std::pair<std::size_t, std::size_t>> others;
  bool more_others = false;  // the range holds more of them than were noted
  // its structure keyword lines, numbered in the range
  std::vector<structure_scan::KeywordLine> keywords;
};
struct ProgramSurvey {
  std::vector<RangeSurvey> ranges;
  std::chrono::steady_clock::time_point started;  // when the pass began
  // Every structure keyword line of the program, numbered in it.
  std::vector<structure_scan::KeywordLine> keyword_lines() const;
};
// Surveys the program's lines, the ranges at once on the pool.
ProgramSurvey survey_program(std::string_view program);
// The streaming pre-check of a range surveyed before: only the lines the
// quick decoder does not take are looked at.
PreflightScan preflight_surveyed(std::string_view program, const RangeSurvey& range);
// Whether a run of the program may be streamed, so that a survey of it serves.
bool may_stream(std::string_view program, const state::State& state);

// Parses one line with the rule `single_line`; the returned block reports
// source lines (line offset = `index`, 0-based). A line that fails is
// reported as the whole-program parse reports it: when it is a line of the
// state's source, from the program's text with its line end.
errors::Result<types::Pair> parse_single_line(std::string_view line, std::size_t index,
                                              const state::State& state);

// Runs a whole program without structure blocks. The State must hold the same
// program as its source. Continue at the end, End after an end-of-program M
// code, or Jump with a request that no line resolves.
// A survey of the program, when one was made, spares the streaming attempt
// its own pass.
errors::Result<Flow> interpret_lines(std::string_view program, output::OutputRows& rows,
                                     state::State& state,
                                     const ProgramSurvey* survey = nullptr);

// ---------------------------------------------------------------------------
// Configuration (environment, read anew on every call but the pool's size)

// NC_STAGE1 unset, or anything but "0" and "off" (any case).
bool stage1_enabled();
// NC_STREAM_MIN_BYTES as an unsigned decimal ("+" allowed), else 67108864.
std::size_t stream_min_bytes();
// NC_STAGE1_STATS set to any valid UTF-8 value.
bool stats_enabled();

// Threads of the process-wide work-stealing pool: RAYON_NUM_THREADS (read
// once; unset, 0 or unreadable = the machine's default concurrency).
std::size_t pool_threads();

// Runs job(k) for every k in [0, n) on the pool and returns once all are done.
void for_each_on_pool(std::size_t n, const std::function<void(std::size_t)>& job);

}  // namespace kelvane::line_driver
