#include "line_driver_parts.hpp"

#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "line_driver_quick.hpp"

// The line-by-line run of a large program that holds no control statement.
// The program is cut into chunks of whole lines by bytes, so that any thread
// can decode any chunk: with two or more pool threads, a decoder thread
// decodes chunks ahead of the executor into a small ring of reused chunks,
// and the executor decodes the next chunks itself rather than wait for them.
// Decoding overlaps execution, both threads stay busy, and memory does not
// grow with the program.
namespace kelvane::line_driver {

namespace {

using output::OutputRows;
using state::State;

// Bytes a chunk covers (some eight thousand lines of motion blocks), and
// chunks in the ring: enough to keep both threads busy, a few MB in all.
constexpr std::size_t kChunkBytes = std::size_t{256} << 10;
constexpr std::size_t kRingChunks = 4;

// A line of a chunk: a quick line's cells, or the word decoder's answer.
struct ChunkLine {
  std::uint32_t first = 0;    // its first cell, or its entry in `decoded`
  std::uint32_t letters = 0;  // the address slots of its cells
  std::uint8_t count = 0;     // its cells
  QuickForm form = QuickForm::Blank;
};
struct DecodedLine {
  std::string_view text;
  DecodeResult result;  // its line number counted from the chunk's first line
};

struct StreamChunk {
  std::vector<ChunkLine> lines;
  std::vector<QuickCell> cells;  // a buffer: `used` of them are the lines'
  std::size_t used = 0;
  std::vector<DecodedLine> decoded;
  std::vector<Word> words;

  // Decodes the lines of [start, end) of the program: quickly when `quick`,
  // else, or when the quick decoder does not take a line, with the word
  // decoder.
  void decode(std::string_view program, std::size_t start, std::size_t end, bool quick) {
    lines.clear();
    used = 0;
    decoded.clear();
    words.clear();
    const std::string_view text = program.substr(0, end);
    for (std::size_t pos = start; pos < end;) add(next_line(text, pos), quick);
  }

 private:
  void add(std::string_view line, bool quick) {
    if (quick) {
      if (cells.size() < used + kMaxQuickCells) cells.resize(2 * cells.size() + kMaxQuickCells);
      std::size_t count = 0;
      std::uint32_t letters = 0;
      const QuickForm form = quick_decode(line, cells.data() + used, count, letters);
      if (form != QuickForm::Other) {
        lines.push_back(ChunkLine{static_cast<std::uint32_t>(used), letters,
                                  static_cast<std::uint8_t>(count), form});
        used += count;
        return;
      }
    }
    lines.push_back(ChunkLine{static_cast<std::uint32_t>(decoded.size()), 0, 0, QuickForm::Other});
    decoded.push_back(DecodedLine{line, decode_line(line, lines.size(), words)});
  }
};

// The start of chunk k: the first line that starts at or after k chunk
// lengths (the end of the program for the chunks behind it).
std::size_t chunk_start(std::string_view program, std::size_t k) {
  if (k == 0) return 0;
  const std::size_t at = k * kChunkBytes;
  if (at > program.size()) return program.size();
  const void* nl = std::memchr(program.data() + at - 1, '\n', program.size() - (at - 1));
  return nl == nullptr ? program.size()
                       : static_cast<std::size_t>(static_cast<const char*>(nl) - program.data()) + 1;
}

// Runs the lines of a run in order: quick lines straight into the batches
// when the run's rows allow it, every other line as the word decoder or the
// grammar has it.
class LineRunner {
 public:
  LineRunner(OutputRows& rows, State& state)
      : rows_(rows), state_(state), lane_(QuickRunner::lane_open(rows)) {
    words_.reserve(64);
  }
  bool quick_lane() const { return lane_; }
  errors::Result<Flow>& outcome() { return outcome_; }

  // The lines of a chunk whose first line has the 0-based index `first`;
  // false once the run stops (an error, an end of program).
  bool run(const StreamChunk& chunk, std::size_t first) {
    for (std::size_t i = 0; i < chunk.lines.size(); ++i) {
      const ChunkLine& line = chunk.lines[i];
      bool going = true;
      switch (line.form) {
        case QuickForm::Blank:
          break;
        case QuickForm::Quick:
          going = run_quick(std::span<const QuickCell>(chunk.cells.data() + line.first, line.count),
                            line.letters, first + i);
          break;
        case QuickForm::Other: {
          const DecodedLine& d = chunk.decoded[line.first];
          going = run_decoded(d.text, first + i, d.result, chunk.words);
          break;
        }
      }
      if (!going) return false;
    }
    return true;
  }

 private:
  bool run_quick(std::span<const QuickCell> cells, std::uint32_t letters, std::size_t index) {
    if (lane_) {
      if (auto st = quick_.run(cells, letters, index + 1, rows_, state_)) {
        if (*st) return true;
        outcome_ = errors::fail(std::move(st->error()));
        return false;
      }
    }
    words_.clear();
    const DecodeResult::Decoded d = quick_to_decoded(cells, index + 1, words_, digits_);
    outcome_ = execute_decoded(d, words_, rows_, state_);
    quick_.forget();
    return outcome_ && outcome_->is_continue();
  }

  // A line as the word decoder answered: decoded lines directly, the others
  // through the grammar.
  bool run_decoded(std::string_view line, std::size_t index, const DecodeResult& r,
                   std::span<const Word> words) {
    if (r.is_blank()) return true;
    quick_.forget();
    if (const DecodeResult::Decoded* d = r.decoded(); d != nullptr) {
      if (!needs_grammar_to_run(*d, words, state_)) {
        DecodeResult::Decoded numbered = *d;
        numbered.line_no = index + 1;
        outcome_ = execute_decoded(numbered, words, rows_, state_);
        return outcome_ && outcome_->is_continue();
      }
    }
    outcome_ = run_line_by_grammar(line, index, rows_, state_);
    return outcome_ && outcome_->is_continue();
  }

  OutputRows& rows_;
  State& state_;
  QuickRunner quick_;
  bool lane_;
  std::vector<Word> words_;
  char digits_[20];  // a block number's, for the words of a quick line
  errors::Result<Flow> outcome_ = Flow::cont();
};

// The chunks between the threads that decode them and the executor, which
// runs them in order. Chunk k goes into slot k % kRingChunks; a thread
// claims the next chunk nobody decodes yet while the ring has room for it.
class DecodedChunks {
 public:
  DecodedChunks(std::string_view program, bool quick)
      : program_(program),
        quick_(quick),
        count_((program.size() + kChunkBytes - 1) / kChunkBytes) {}

  std::size_t count() const { return count_; }
  const StreamChunk& chunk(std::size_t k) const { return slots_[k % kRingChunks].chunk; }

  // A decoder thread: decodes chunks until there are none left or the
  // executor stopped. Should it fail (out of memory), the chunk it was
  // decoding is left to the executor, which decodes the rest itself.
  void decode_all() {
    for (;;) {
      std::size_t k;
      {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return stopped_ || claimed_ >= count_ || claimed_ < taken_ + kRingChunks; });
        if (stopped_ || claimed_ >= count_) return;
        k = claimed_++;
      }
      try {
        decode(k);
      } catch (...) {
        {
          std::lock_guard lock(mutex_);
          dropped_ = k + 1;
        }
        ready_.notify_all();
        return;
      }
    }
  }

  // The executor: waits for chunk k, decoding it, or a chunk after it, itself
  // rather than waiting idle.
  void wait_for(std::size_t k) {
    std::unique_lock lock(mutex_);
    while (slots_[k % kRingChunks].ready != k + 1) {
      if (dropped_ == k + 1) {
        dropped_ = 0;
        lock.unlock();
        decode(k);
        lock.lock();
      } else if (claimed_ < count_ && claimed_ < taken_ + kRingChunks) {
        const std::size_t j = claimed_++;
        lock.unlock();
        decode(j);
        lock.lock();
      } else {
        ready_.wait(lock);
      }
    }
  }
  // The executor is done with chunk k: its slot may be decoded into again.
  void release(std::size_t k) {
    {
      std::lock_guard lock(mutex_);
      taken_ = k + 1;
    }
    room_.notify_all();
  }
  // The executor wants no more chunks.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    room_.notify_all();
  }

 private:
  struct Slot {
    StreamChunk chunk;
    std::size_t ready = 0;  // the chunk number decoded into it, plus one
  };

  void decode(std::size_t k) {
    Slot& slot = slots_[k % kRingChunks];
    slot.chunk.decode(program_, chunk_start(program_, k), chunk_start(program_, k + 1), quick_);
    {
      std::lock_guard lock(mutex_);
      slot.ready = k + 1;
    }
    ready_.notify_all();
  }

  const std::string_view program_;
  const bool quick_;
  const std::size_t count_;
  Slot slots_[kRingChunks];
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::size_t claimed_ = 0;  // chunks a thread took up for decoding
  std::size_t taken_ = 0;    // chunks the executor is done with
  std::size_t dropped_ = 0;  // the chunk a failed decoder thread left, plus one
  bool stopped_ = false;
};

}  // namespace

errors::Result<Flow> stream_lines(std::string_view program, OutputRows& rows, State& state) {
  LineRunner runner(rows, state);
  DecodedChunks ring(program, runner.quick_lane());
  std::optional<std::thread> decoder;
  if (pool_threads() >= 2 && ring.count() > 1) decoder.emplace([&ring] { ring.decode_all(); });
  std::size_t first = 0;  // index of the chunk's first line
  for (std::size_t k = 0; k < ring.count(); ++k) {
    try {
      ring.wait_for(k);
    } catch (...) {
      ring.stop();
      if (decoder) decoder->join();
      throw;
    }
    const StreamChunk& chunk = ring.chunk(k);
    const bool going = runner.run(chunk, first);
    first += chunk.lines.size();
    ring.release(k);
    if (!going) break;
  }
  ring.stop();
  if (decoder) decoder->join();
  return std::move(runner.outcome());
}

}  // namespace kelvane::line_driver
