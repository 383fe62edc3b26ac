#pragma once
// The columns of a batch in the Arrow layout (values, a validity bitmap,
// 32-bit text offsets), and the writer that puts a run's cells into them row
// by row, forward fill included, so that no row is kept for a batch.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "limits.hpp"
#include "types.hpp"

namespace kelvane::output {

using types::Value;

// Column kinds: index 0 Float, 1 Int, 2 Str, 3 List.
enum class ColumnKind : std::uint8_t { Float = 0, Int = 1, Str = 2, List = 3 };
// A column's kind follows from its name alone: "line_no" and "N" Int, "M"
// List, text columns Str, every other name Float.
ColumnKind column_kind_of(std::string_view name);

// A column as one optional entry per row: the form in which the variable
// events and tests write a column, and tests read one back.
using FloatColumn = std::vector<std::optional<double>>;
using IntColumn = std::vector<std::optional<std::int64_t>>;
using StrColumn = std::vector<std::optional<std::string>>;
using ListColumn = std::vector<std::optional<std::vector<std::string>>>;
using Column = std::variant<FloatColumn, IntColumn, StrColumn, ListColumn>;
inline ColumnKind column_kind(const Column& c) { return static_cast<ColumnKind>(c.index()); }
std::size_t column_len(const Column& c);

// One column of a batch as the Arrow format lays it out: a null entry holds
// zero (or an empty text) behind its cleared validity bit.
struct ColumnData {
  std::string name;
  ColumnKind kind = ColumnKind::Float;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::vector<std::uint8_t> validity;      // empty when there is no null
  std::vector<double> f64;                 // Float values
  std::vector<std::int64_t> i64;           // Int values
  std::vector<std::int32_t> offsets;       // Str: text offsets; List: item offsets per row
  std::vector<std::int32_t> item_offsets;  // List: text offsets of the items
  std::string chars;                       // the texts (of the items for List)
  std::int64_t item_count = 0;             // List: items of all rows
  // The texts outgrew 32-bit offsets: the entries from there on hold no
  // text, and the batch is refused when it is exported.
  bool texts_overflow = false;
};

// The Arrow layout of a column given entry by entry, and back.
ColumnData column_data(std::string name, Column&& cells);
Column column_cells(const ColumnData& column);

// A column as one line of text, for reports: its name, every entry (null,
// a number as errors::float_text writes it, a text in quotes, list items in
// brackets), and its null count.
std::string column_text(const ColumnData& column);

// Column buffers handed back by the batches of a run once their consumer
// has released them, for the run's next batches: a batch written into pages
// touched before costs no page faults, where freed and fresh memory costs one
// per page. Holds at most `limit_bytes` of room; thread-safe, since batches
// are released on the consumer's threads.
class BufferPool {
 public:
  explicit BufferPool(std::size_t limit_bytes) : limit_(limit_bytes) {}
  // A column of `kind` with empty buffers, with the room of one handed back
  // when there is one.
  ColumnData take(ColumnKind kind);
  // Keeps the column's buffers, emptied, while the room held stays within
  // the limit; frees them otherwise.
  void give_back(ColumnData&& column);
  std::size_t held_bytes();

 private:
  std::mutex mutex_;
  std::vector<ColumnData> spare_[4];  // by ColumnKind
  std::size_t held_ = 0;
  std::size_t limit_;
};

// One batch: named typed nullable columns, each with one entry per row.
struct Table {
  std::vector<ColumnData> columns;
  // where the buffers go once the batch is released (nothing: freed)
  std::weak_ptr<BufferPool> recycle;

  std::size_t num_rows() const {
    return columns.empty() ? 0 : static_cast<std::size_t>(columns.front().length);
  }
  const ColumnData* find(std::string_view name) const {
    for (const ColumnData& c : columns)
      if (c.name == name) return &c;
    return nullptr;
  }
  void add(std::string name, Column&& cells) {
    columns.push_back(column_data(std::move(name), std::move(cells)));
  }
};

// Writes one column of a run, batch after batch. Rows without a value of
// their own get the column's last value when the column is forward filled
// (the last value of an earlier batch included), else null. A cell whose
// value the column cannot read (a text that is no number in a Float column,
// a list in a text column) counts as no value.
class ColumnWriter {
 public:
  ColumnWriter(std::string_view name, ColumnKind kind, bool forward_fill);

  std::string_view name() const noexcept { return name_; }
  ColumnKind kind() const noexcept { return data_.kind; }
  // Entries written to the batch being built.
  std::size_t length() const noexcept { return static_cast<std::size_t>(data_.length); }

  // Entry `row` of the batch (at or after length()) takes the value; the
  // rows before it without a value are filled first.
  void put(std::size_t row, Value&& value) {
    // the common case inline: a number right behind the last entry of a
    // Float column without nulls
    if (const double* x = std::get_if<double>(&value)) return put_number(row, *x);
    put_any(row, std::move(value));
  }
  // The same for a number or a text that is not held in a Value.
  void put_number(std::size_t row, double value) {
    // the common case inline: a Float column whose skipped rows, if any,
    // take its last value or are null (valid entries: a bitmap, once there
    // is one, has its spare bits set, so it only grows)
    if (data_.kind == ColumnKind::Float && row >= length()) {
      if (row > length()) {
        if (!(forward_fill_ && has_last_)) {
          add_nulls(row - length());
        } else {
          for (std::size_t i = length(); i < row; ++i) data_.f64.push_back(last_f64_);
          if (data_.null_count != 0 && data_.validity.size() < (row + 7) / 8)
            data_.validity.resize((row + 7) / 8, 0xff);
          data_.length = static_cast<std::int64_t>(row);
        }
      }
      data_.f64.push_back(value);
      add_valid_one();
      if (forward_fill_) {
        has_last_ = true;
        last_f64_ = value;
      }
      return;
    }
    put_number_any(row, value);
  }
  void put_text(std::size_t row, std::string_view text) {
    // the common case inline: a short text right behind the last entry of a
    // text column, or behind a few rows that take its last text
    if (data_.kind == ColumnKind::Str && row >= length() && !data_.texts_overflow &&
        text.size() <= kShortText && data_.chars.size() < kMaxShortTexts) {
      if (row > length()) {
        if (forward_fill_ && has_last_ && row - length() <= 4 && !last_text_.empty() &&
            last_text_.size() <= kShortText) {
          for (std::size_t i = length(); i < row; ++i) append_short(last_text_);
        } else {
          fill_to(row);
        }
      }
      append_short(text);
      if (forward_fill_) {
        has_last_ = true;
        if (std::string_view(last_text_) != text) {
          // (the size handed to the writer may be the grown room, not the
          // size asked: the text's own size is what is copied and kept)
          last_text_.resize_and_overwrite(text.size(), [&](char* p, std::size_t) {
            std::memcpy(p, text.data(), text.size());
            return text.size();
          });
        }
      }
      return;
    }
    put_text_any(row, text);
  }
  // A List column's entry of `count` texts.
  void put_texts(std::size_t row, const std::string_view* items, std::size_t count);
  // An Int column's entry.
  void put_int(std::size_t row, std::int64_t value) {
    if (row < length()) return;
    if (row > length()) fill_to(row);
    push_int(value);
  }
  // Room for `rows` entries (texts of a few bytes each), taken at once
  // rather than grown by doubling as the first batch is written.
  void reserve(std::size_t rows);
  // Fills the batch up to `rows` entries and hands it out; the next batch
  // starts empty, with room for as many entries (buffers from `pool` when
  // it holds some).
  ColumnData take(std::size_t rows, BufferPool* pool = nullptr);

 private:
  // Texts of up to kShortText bytes are appended inline while the column
  // holds less than kMaxShortTexts bytes (far from the 32-bit offsets' end).
  static constexpr std::size_t kShortText = 16;
  static constexpr std::size_t kMaxShortTexts = std::size_t{1} << 30;
  // A valid entry of a short text: its bytes, its end offset.
  void append_short(std::string_view text) {
    const std::size_t start = data_.chars.size();
    const std::size_t len = text.size();
    // room grown by doubling: resizing alone would grow it to the size asked
    if (start + len > data_.chars.capacity())
      data_.chars.reserve(std::max(start + len, 2 * data_.chars.capacity()));
    data_.chars.resize_and_overwrite(start + len, [&](char* p, std::size_t) {
      copy_short(p + start, text.data(), len);
      return start + len;
    });
    data_.offsets.push_back(static_cast<std::int32_t>(start + len));
    add_valid_one();
  }
  // Copies up to 16 bytes by fixed-size moves, overlapping where the length
  // lies between two sizes.
  static void copy_short(char* out, const char* src, std::size_t len) {
    if (len >= 8) {
      std::memcpy(out, src, 8);
      std::memcpy(out + len - 8, src + len - 8, 8);
    } else if (len >= 4) {
      std::memcpy(out, src, 4);
      std::memcpy(out + len - 4, src + len - 4, 4);
    } else if (len >= 2) {
      std::memcpy(out, src, 2);
      std::memcpy(out + len - 2, src + len - 2, 2);
    } else if (len == 1) {
      *out = *src;
    }
  }
  // `count` null entries of a Float column: a few inline (a block address
  // absent from a few rows), more by fill_to.
  void add_nulls(std::size_t count) {
    if (count > 8) return add_many_nulls(count);
    const std::size_t first = length();
    const std::size_t end = first + count;
    for (std::size_t i = 0; i < count; ++i) data_.f64.push_back(0.0);
    // the bitmap is made with the first null, every entry before it valid;
    // new bytes start all valid, a null clears its bit
    if (data_.null_count == 0) data_.validity.assign((first + 7) / 8, 0xff);
    while (data_.validity.size() < (end + 7) / 8) data_.validity.push_back(0xff);
    for (std::size_t i = first; i < end; ++i)
      data_.validity[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
    data_.null_count += static_cast<std::int64_t>(count);
    data_.length = static_cast<std::int64_t>(end);
  }
  void add_many_nulls(std::size_t count);
  template <typename Push>
  void put_entry(std::size_t row, Push&& push);
  void put_text_any(std::size_t row, std::string_view text);
  void put_any(std::size_t row, Value&& value);
  void put_number_any(std::size_t row, double value);
  void put_list(std::size_t row, const std::vector<std::string>& items);
  void fill_to(std::size_t rows);
  void fill_to(std::size_t rows, bool with_last);
  void add_validity(std::size_t count, bool valid);
  // One valid entry more: a bitmap, once there is one, is kept one bit a row
  // with its spare bits set, so only its size may need to grow.
  [[gnu::always_inline]] void add_valid_one() {
    const std::size_t end = length() + 1;
    if (data_.null_count != 0 && data_.validity.size() < (end + 7) / 8) data_.validity.push_back(0xff);
    data_.length = static_cast<std::int64_t>(end);
  }
  void push_float(double x);
  void push_int(std::int64_t x) {
    data_.i64.push_back(x);
    add_valid_one();
    if (forward_fill_) {
      has_last_ = true;
      last_i64_ = x;
    }
  }
  void push_text(std::string_view s);
  template <typename Items>
  void push_list(const Items& items);
  void close_texts();  // writes the offset behind the entry just added

  std::string name_;
  ColumnData data_;
  bool forward_fill_ = false;
  bool has_last_ = false;
  double last_f64_ = 0.0;
  std::int64_t last_i64_ = 0;
  std::string last_text_;
};

}  // namespace kelvane::output
