#include "line_driver_parts.hpp"

#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "output_ring.hpp"

// The line-by-line run of a large program that holds no control statement:
// with two or more pool threads, a decoder thread decodes chunks of lines
// ahead of the executor, into a small ring of reused chunks, so that
// decoding overlaps execution and memory does not grow with the program.
namespace kelvane::line_driver {

namespace {

using output::OutputRows;
using state::State;

// Lines a chunk of the ring holds, and chunks in the ring: enough to keep
// both threads busy, a few MB in all.
constexpr std::size_t kStreamChunkLines = 8192;
constexpr std::size_t kRingChunks = 4;

struct StreamChunk {
  std::vector<std::string_view> lines;
  std::vector<Word> words;
  std::vector<DecodeResult> results;
  std::size_t first_index = 0;  // 0-based index of its first line
};

// Runs one line: decoded lines directly, the others through the grammar.
// False once the run stops (an error, an end of program, a jump).
bool run_line(std::string_view line, std::size_t index, const DecodeResult& r,
              std::span<const Word> words, OutputRows& rows, State& state,
              errors::Result<Flow>& outcome) {
  if (r.is_blank()) return true;
  const DecodeResult::Decoded* d = r.decoded();
  if (d != nullptr && !needs_grammar_to_run(*d, words, state))
    outcome = execute_decoded(*d, words, rows, state);
  else
    outcome = run_line_by_grammar(line, index, rows, state);
  return outcome && outcome->is_continue();
}

errors::Result<Flow> stream_serially(std::string_view program, OutputRows& rows, State& state) {
  std::vector<Word> words;
  words.reserve(64);
  std::size_t index = 0;
  errors::Result<Flow> outcome = Flow::cont();
  for_each_line(program, [&](std::string_view line) {
    words.clear();
    const DecodeResult r = decode_line(line, index + 1, words);
    const std::size_t at = index++;
    return run_line(line, at, r, words, rows, state, outcome);
  });
  return outcome;
}

// The ring between the decoder thread and the executor.
using Ring = output::ChunkRing<StreamChunk, kRingChunks>;

void decode_ahead(std::string_view program, Ring& ring) {
  std::size_t k = 0;
  std::size_t index = 0;
  std::size_t pos = 0;
  const std::size_t n = program.size();
  while (true) {
    if (!ring.wait_for_room(k)) return;
    StreamChunk& chunk = ring.slot(k);
    chunk.lines.clear();
    chunk.words.clear();
    chunk.results.clear();
    chunk.first_index = index;
    while (pos < n && chunk.lines.size() < kStreamChunkLines)
      chunk.lines.push_back(next_line(program, pos));
    for (std::size_t i = 0; i < chunk.lines.size(); ++i)
      chunk.results.push_back(decode_line(chunk.lines[i], index + i + 1, chunk.words));
    index += chunk.lines.size();
    const bool last = pos >= n;
    ring.publish(k, last);
    if (last) return;
    ++k;
  }
}

errors::Result<Flow> stream_decoding_ahead(std::string_view program, OutputRows& rows,
                                           State& state) {
  Ring ring;
  // a failure of the decoder (out of memory) ends the chunks and is raised
  // here, as it would be were the lines decoded on this thread
  std::exception_ptr failure;
  std::thread decoder([&] {
    try {
      decode_ahead(program, ring);
    } catch (...) {
      failure = std::current_exception();
      ring.fail();
    }
  });
  errors::Result<Flow> outcome = Flow::cont();
  for (std::size_t k = 0; ring.wait_for_chunk(k); ++k) {
    const StreamChunk& chunk = ring.slot(k);
    bool going = true;
    for (std::size_t i = 0; i < chunk.lines.size() && going; ++i)
      going = run_line(chunk.lines[i], chunk.first_index + i, chunk.results[i], chunk.words, rows,
                       state, outcome);
    ring.release(k);
    if (!going) break;
  }
  ring.stop();
  decoder.join();
  if (failure) std::rethrow_exception(failure);
  return outcome;
}

}  // namespace

errors::Result<Flow> stream_lines(std::string_view program, OutputRows& rows, State& state) {
  if (pool_threads() < 2) return stream_serially(program, rows, state);
  return stream_decoding_ahead(program, rows, state);
}

}  // namespace kelvane::line_driver
