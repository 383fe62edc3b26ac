#pragma once
// The quick lane of the per-line fast path. Most lines of large programs are
// plain motion blocks: a block number, address words with numbers, G words, a
// comment ("N40 G1 X121.2 Y108.19 F800 ;cut"). The quick decoder reads such a
// line into a few compact cells, and the quick runner writes those cells
// straight into the batch columns, each address resolved once for the run
// rather than once a word. Whatever either of them does not take goes the
// word decoder's way (line_driver_decode.hpp), which gives the same result
// more slowly.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "line_driver_decode.hpp"
#include "output.hpp"
#include "state.hpp"

namespace kelvane::line_driver {

// What a quick cell writes.
namespace quick_slot {
// 0 to 25: the address letters A to Z (those of the word decoder's table)
inline constexpr std::uint8_t kCR = 26;           // CR= and a number
inline constexpr std::uint8_t kBlockNumber = 27;  // the block number
inline constexpr std::uint8_t kComment = 28;      // from ";" to the end of the line
inline constexpr std::uint8_t kM = 29;            // an M word (an item of the list "M")
inline constexpr std::uint8_t kGroup = 32;        // + the G group's rank (0 to 59)
inline constexpr std::size_t kCount = kGroup + 60;
}  // namespace quick_slot

// One cell of a quick line: a number; the block number as an integer and
// the count of its digits (leading zeros included); or a text (the comment
// and an M word as slices of the line, a G word as its upper-case text, which
// lives for the process).
struct QuickCell {
  union {
    double number;
    std::int64_t integer;
    const char* text;
  };
  std::uint32_t length;  // of the text, or the block number's digits
  std::uint8_t slot;
};

// The quick decoder's answer for a line.
enum class QuickForm : std::uint8_t {
  Blank,  // nothing but blanks
  Quick,  // cells were appended
  Other,  // the word decoder's to decode
};

// The most cells a quick line has; a line with more is the word decoder's.
inline constexpr std::size_t kMaxQuickCells = 24;

// Decodes a line (without its line end) into at most kMaxQuickCells cells at
// `out`, in the order of the line; `count` is set to their number. A line is
// Quick only when the word decoder decodes it to the same words: a block
// number of at most 18 digits, address words (X12.5, y-3), one-letter or CR
// assignments of a plain number (CR=21.9), G words of up to three digits
// written without leading zeros (not the dwell group's, no G91), up to five
// upper-case M words that do not end the program, a comment, and no address,
// CR or G group twice. Pure: reads no state.
// `letters` is set to the mask of the address and CR slots of its cells
// (bit n for slot n).
QuickForm quick_decode(std::string_view line, QuickCell* out, std::size_t& count,
                       std::uint32_t& letters);
inline QuickForm quick_decode(std::string_view line, QuickCell* out, std::size_t& count) {
  std::uint32_t letters = 0;
  return quick_decode(line, out, count, letters);
}
// The same answer without the cells.
QuickForm quick_classify(std::string_view line);

// The quick lines of a stretch of a program with no other line among them
// (blank lines may be), their cells grouped by what they write: each column
// of the stretch with its entries in the order of the rows.
struct QuickEntry {
  union {
    double number;
    std::int64_t integer;
    const char* text;
  };
  std::uint32_t length;  // of a text, or the block number's digits
  std::uint32_t row;     // the row of the stretch it belongs to
};
struct QuickColumn {
  std::uint8_t slot;
  std::uint32_t begin;  // its entries
  std::uint32_t end;
};
struct QuickStretch {
  std::span<const QuickColumn> columns;
  std::span<const QuickEntry> entries;       // the columns' entries, by index
  std::span<const std::uint32_t> row_lines;  // each row's line, from the stretch's first line
  std::uint32_t letters = 0;                 // the address slots written
};

// The word decoder's form of a quick line: its words appended to `words`,
// the block number's digits written into `digits`, which the result borrows.
DecodeResult::Decoded quick_to_decoded(std::span<const QuickCell> cells, std::size_t line_no,
                                       std::vector<Word>& words, char (&digits)[20]);

// Runs quick lines straight into the batch columns of one run. It keeps what
// it resolved of each address (its column, its axis position, its
// translation); forget() must be called after any line ran another way,
// which may have moved axes or frames.
class QuickRunner {
 public:
  QuickRunner();

  // Whether quick lines of a run with these rows can be written straight into
  // its batches: batches built on the executor's thread, without a filter
  // stage. Rows that go elsewhere take the word decoder's way.
  static bool lane_open(const output::OutputRows& rows);
  // The address and CR slots the quick runner leaves to the word decoder in
  // a run with this state (variables, axes configured in lower case), as a
  // mask of quick_decode's letters: what the axes configured say, which no
  // line changes.
  static std::uint32_t declined_letters(const state::State& state);

  // Runs one quick line (line_no 1-based; `letters` the mask quick_decode
  // gave): closes the previous row and writes this one's cells. Nothing,
  // before anything was done, when the line must go the word decoder's way
  // (an address that is a variable, a rotation in force); otherwise the
  // outcome of closing the previous row.
  std::optional<errors::Status> run(std::span<const QuickCell> cells, std::uint32_t letters,
                                    std::size_t line_no, output::OutputRows& rows,
                                    state::State& state);

  // Runs the quick lines of a stretch (its first line `first_line_no`,
  // 1-based) as run() runs them one by one, column by column. Nothing,
  // before anything was done, when a line of it must go the word decoder's
  // way, or an axis of it takes its first position (the lines are then run
  // one by one).
  std::optional<errors::Status> run_stretch(const QuickStretch& stretch, std::size_t first_line_no,
                                            output::OutputRows& rows, state::State& state);

  // The axis positions and translations are read again before the next
  // quick line: another line ran, which may have moved axes or frames.
  void forget() noexcept { positions_read_ = false; }

 private:
  enum class Kind : std::uint8_t { Unresolved, Axis, Block, Declined };
  static constexpr std::uint32_t kNoWriter = 0xffffffffu;
  struct Slot {
    Kind kind = Kind::Unresolved;
    std::uint32_t writer = kNoWriter;  // the column's writer in the batch builder
    std::string_view column;           // an address's column, an axis's name
    double* position = nullptr;        // the axis's position in the state, when it has one
    double translation = 0.0;
  };
  // Resolves the addresses of `letters` not resolved yet; false when one of
  // them is the word decoder's.
  bool resolve(std::uint32_t letters, state::State& state);
  void read_position(Slot& slot, state::State& state);
  void read_positions(state::State& state);
  // The writer of a cell's column, made when the column is first written.
  std::uint32_t writer_of(std::uint8_t index, output::BatchBuilder& builder) {
    const std::uint32_t w = slots_[index].writer;
    return w != kNoWriter ? w : make_writer(index, builder);
  }
  std::uint32_t make_writer(std::uint8_t index, output::BatchBuilder& builder);

  Slot slots_[quick_slot::kCount];
  std::uint32_t ready_ = 0;  // the addresses resolved as an axis or a block address
  bool positions_read_ = false;
  std::uint8_t plane_slot_;
};

}  // namespace kelvane::line_driver
