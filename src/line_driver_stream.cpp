#include "line_driver_parts.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
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
// grow with the program. A chunk holds its quick lines (line_driver_quick.hpp)
// in stretches, their cells grouped by column, which the executor writes a
// column at a time; the other lines stand between the stretches, decoded by
// the word decoder.
namespace kelvane::line_driver {

namespace {

using output::OutputRows;
using state::State;

// Bytes a chunk covers (some eight thousand lines of motion blocks), and
// chunks in the ring: enough to keep both threads busy, a few MB in all.
constexpr std::size_t kChunkBytes = std::size_t{256} << 10;
constexpr std::size_t kRingChunks = 4;

// A piece of a chunk: a stretch of quick and blank lines, or one line for the
// word decoder (or the grammar).
struct Piece {
  std::uint32_t first_line = 0;  // counted from the chunk's first line
  std::uint32_t lines = 0;
  std::size_t start = 0;  // its bytes in the program [start, end)
  std::size_t end = 0;
  bool other = false;
  std::uint32_t decoded = 0;  // an other line's entry in `decoded`
  // a stretch: its columns, its rows' lines, the address slots it writes
  std::uint32_t column_begin = 0;
  std::uint32_t column_end = 0;
  std::uint32_t row_begin = 0;
  std::uint32_t row_end = 0;
  std::uint32_t letters = 0;
};
struct DecodedLine {
  std::string_view text;
  DecodeResult result;  // its line number counted from the chunk's first line
};

// Entries that grow without their new room being filled first: each is
// written once, as its stretch is closed.
class Entries {
 public:
  void clear() { size_ = 0; }
  std::size_t size() const { return size_; }
  QuickEntry& operator[](std::size_t i) { return data_[i]; }
  operator std::span<const QuickEntry>() const { return {data_.get(), size_}; }
  void grow_to(std::size_t n) {
    if (n > room_) {
      const std::size_t room = std::max(n, 2 * room_);
      auto more = std::make_unique_for_overwrite<QuickEntry[]>(room);
      std::copy(data_.get(), data_.get() + size_, more.get());
      data_ = std::move(more);
      room_ = room;
    }
    size_ = n;
  }

 private:
  std::unique_ptr<QuickEntry[]> data_;
  std::size_t size_ = 0;
  std::size_t room_ = 0;
};

struct StreamChunk {
  std::vector<Piece> pieces;
  std::vector<QuickColumn> columns;
  Entries entries;
  std::vector<std::uint32_t> row_lines;
  std::vector<DecodedLine> decoded;
  std::vector<Word> words;
  std::size_t lines = 0;

  // Decodes the lines of [start, end) of the program: quickly when `quick`,
  // else, or when the quick decoder does not take a line or the line writes
  // an address of `declined`, with the word decoder.
  void decode(std::string_view program, std::size_t start, std::size_t end, bool quick,
              std::uint32_t declined) {
    pieces.clear();
    columns.clear();
    entries.clear();
    row_lines.clear();
    decoded.clear();
    words.clear();
    const std::string_view text = program.substr(0, end);
    std::uint32_t index = 0;
    for (std::size_t pos = start; pos < end; ++index) {
      const std::size_t line_start = pos;
      const std::string_view line = next_line(text, pos);
      if (quick) {
        QuickCell cells[kMaxQuickCells];
        std::size_t count = 0;
        std::uint32_t letters = 0;
        const QuickForm form = quick_decode(line, cells, count, letters);
        if (form != QuickForm::Other && (letters & declined) == 0) {
          if (!stretch_open_) open_stretch(index, line_start);
          Piece& p = pieces.back();
          ++p.lines;
          p.end = pos;
          if (form == QuickForm::Quick) {
            const auto row = static_cast<std::uint32_t>(row_lines.size()) - p.row_begin;
            row_lines.push_back(index - p.first_line);
            p.letters |= letters;
            for (std::size_t c = 0; c < count; ++c) {
              stretch_cells_.push_back(cells[c]);
              stretch_rows_.push_back(row);
            }
          }
          continue;
        }
      }
      close_stretch();
      Piece& p = pieces.emplace_back();
      p.first_line = index;
      p.lines = 1;
      p.start = line_start;
      p.end = pos;
      p.other = true;
      p.decoded = static_cast<std::uint32_t>(decoded.size());
      decoded.push_back(DecodedLine{line, decode_line(line, index + 1, words)});
    }
    close_stretch();
    lines = index;
  }

  QuickStretch stretch(const Piece& p) const {
    return QuickStretch{
        std::span<const QuickColumn>(columns.data() + p.column_begin, p.column_end - p.column_begin),
        entries,
        std::span<const std::uint32_t>(row_lines.data() + p.row_begin, p.row_end - p.row_begin),
        p.letters};
  }

 private:
  void open_stretch(std::uint32_t index, std::size_t start) {
    stretch_open_ = true;
    Piece& p = pieces.emplace_back();
    p.first_line = index;
    p.start = start;
    p.row_begin = static_cast<std::uint32_t>(row_lines.size());
  }
  // The cells of the open stretch grouped by what they write, each column's
  // entries in the order of the rows.
  void close_stretch() {
    if (!stretch_open_) return;
    stretch_open_ = false;
    Piece& p = pieces.back();
    p.row_end = static_cast<std::uint32_t>(row_lines.size());
    p.column_begin = static_cast<std::uint32_t>(columns.size());
    std::uint32_t counts[quick_slot::kCount] = {};
    for (const QuickCell& c : stretch_cells_) ++counts[c.slot];
    std::uint32_t place[quick_slot::kCount];
    auto next = static_cast<std::uint32_t>(entries.size());
    for (std::size_t slot = 0; slot < quick_slot::kCount; ++slot) {
      if (counts[slot] == 0) continue;
      columns.push_back(QuickColumn{static_cast<std::uint8_t>(slot), next, next + counts[slot]});
      place[slot] = next;
      next += counts[slot];
    }
    p.column_end = static_cast<std::uint32_t>(columns.size());
    entries.grow_to(next);
    for (std::size_t i = 0; i < stretch_cells_.size(); ++i) {
      const QuickCell& c = stretch_cells_[i];
      QuickEntry& e = entries[place[c.slot]++];
      // the number, the integer or the text, bit for bit
      std::memcpy(static_cast<void*>(&e), static_cast<const void*>(&c), sizeof(double));
      e.length = c.length;
      e.row = stretch_rows_[i];
    }
    stretch_cells_.clear();
    stretch_rows_.clear();
  }

  bool stretch_open_ = false;
  // the cells of the open stretch, line by line, and their rows
  std::vector<QuickCell> stretch_cells_;
  std::vector<std::uint32_t> stretch_rows_;
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
      : rows_(rows),
        state_(state),
        lane_(QuickRunner::lane_open(rows)),
        declined_(QuickRunner::declined_letters(state)) {
    words_.reserve(64);
  }
  bool quick_lane() const { return lane_; }
  // the addresses of lines the word decoder is to decode
  std::uint32_t declined() const { return declined_; }
  errors::Result<Flow>& outcome() { return outcome_; }

  // The lines of a chunk whose first line has the 0-based index `first`;
  // false once the run stops (an error, an end of program).
  bool run(std::string_view program, const StreamChunk& chunk, std::size_t first) {
    for (const Piece& p : chunk.pieces) {
      const std::size_t index = first + p.first_line;
      if (p.other) {
        const DecodedLine& d = chunk.decoded[p.decoded];
        if (!run_decoded(d.text, index, d.result, chunk.words)) return false;
        continue;
      }
      if (auto st = quick_.run_stretch(chunk.stretch(p), index + 1, rows_, state_)) {
        if (*st) continue;
        outcome_ = errors::fail(std::move(st->error()));
        return false;
      }
      // a stretch the quick runner leaves is run line by line
      const std::string_view text = program.substr(0, p.end);
      std::size_t pos = p.start;
      for (std::uint32_t i = 0; i < p.lines; ++i) {
        QuickCell cells[kMaxQuickCells];
        std::size_t count = 0;
        std::uint32_t letters = 0;
        if (quick_decode(next_line(text, pos), cells, count, letters) == QuickForm::Quick &&
            !run_quick(std::span<const QuickCell>(cells, count), letters, index + i))
          return false;
      }
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
  std::uint32_t declined_;
  std::vector<Word> words_;
  char digits_[20];  // a block number's, for the words of a quick line
  errors::Result<Flow> outcome_ = Flow::cont();
};

// The chunks between the threads that decode them and the executor, which
// runs them in order. Chunk k goes into slot k % kRingChunks; a thread
// claims the next chunk nobody decodes yet while the ring has room for it.
class DecodedChunks {
 public:
  DecodedChunks(std::string_view program, bool quick, std::uint32_t declined)
      : program_(program),
        quick_(quick),
        declined_(declined),
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
        room_.wait(lock, [&] {
          return stopped_ || claimed_ >= count_ || claimed_ < taken_ + kRingChunks;
        });
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
    slot.chunk.decode(program_, chunk_start(program_, k), chunk_start(program_, k + 1), quick_,
                      declined_);
    {
      std::lock_guard lock(mutex_);
      slot.ready = k + 1;
    }
    ready_.notify_all();
  }

  const std::string_view program_;
  const bool quick_;
  const std::uint32_t declined_;
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
  DecodedChunks ring(program, runner.quick_lane(), runner.declined());
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
    const bool going = runner.run(program, chunk, first);
    first += chunk.lines;
    ring.release(k);
    if (!going) break;
  }
  ring.stop();
  if (decoder) decoder->join();
  return std::move(runner.outcome());
}

}  // namespace kelvane::line_driver
