#include "output_columns.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "limits.hpp"
#include "modal_groups.hpp"
#include "number_text.hpp"
#include "output.hpp"

namespace kelvane::output {

ColumnKind column_kind_of(std::string_view name) {
  if (name == "N" || name == "line_no") return ColumnKind::Int;
  if (name == "M") return ColumnKind::List;
  if (is_string_column(name)) return ColumnKind::Str;
  return ColumnKind::Float;
}

std::size_t column_len(const Column& c) {
  return std::visit([](const auto& v) { return v.size(); }, c);
}

// ---------------------------------------------------------------------------
// ColumnWriter

namespace {
// `count` copies of `x` behind the values: most gaps are a row or two long,
// and those are pushed one by one rather than inserted.
// Copies a text; the short ones (most cells: "G1", "G17") by fixed-size
// moves, overlapping where the length is between two sizes.
inline void copy_text(char* out, const char* src, std::size_t len) {
  if (len >= 8 && len <= 16) {
    std::memcpy(out, src, 8);
    std::memcpy(out + len - 8, src + len - 8, 8);
  } else if (len >= 4 && len < 8) {
    std::memcpy(out, src, 4);
    std::memcpy(out + len - 4, src + len - 4, 4);
  } else if (len >= 2 && len < 4) {
    std::memcpy(out, src, 2);
    std::memcpy(out + len - 2, src + len - 2, 2);
  } else if (len == 1) {
    *out = *src;
  } else if (len > 16) {
    std::memcpy(out, src, len);
  }
}

// Appends `count` copies of a text (from a copy of its own: `chars` may move).
void append_texts(std::string& chars, std::string_view text, std::size_t count) {
  const std::size_t len = text.size();
  if (count == 0 || len == 0) return;
  const std::size_t start = chars.size();
  // room grown by doubling: resizing alone would grow it to the size asked
  if (start + count * len > chars.capacity())
    chars.reserve(std::max(start + count * len, 2 * chars.capacity()));
  chars.resize_and_overwrite(start + count * len, [&](char* p, std::size_t n) {
    char* out = p + start;
    copy_text(out, text.data(), len);
    // the rest doubled from the copies already written
    for (std::size_t done = 1; done < count;) {
      const std::size_t more = std::min(done, count - done);
      std::memcpy(out + done * len, out, more * len);
      done += more;
    }
    return n;
  });
}

template <typename T>
void append_copies(std::vector<T>& values, std::size_t count, T x) {
  if (count <= 4) {
    for (std::size_t i = 0; i < count; ++i) values.push_back(x);
  } else {
    values.insert(values.end(), count, x);
  }
}
}  // namespace

ColumnWriter::ColumnWriter(std::string_view name, ColumnKind kind, bool forward_fill)
    : name_(name), forward_fill_(forward_fill) {
  data_.kind = kind;
  if (kind == ColumnKind::Str || kind == ColumnKind::List) data_.offsets.push_back(0);
  if (kind == ColumnKind::List) data_.item_offsets.push_back(0);
}

// The bitmap is made with the first null (every entry before it valid), so
// that a column without nulls never writes one. New bitmap bytes start all
// valid; a null clears its bit.
void ColumnWriter::add_validity(std::size_t count, bool valid) {
  if (valid && data_.null_count == 0) {  // no bitmap yet, and none needed
    data_.length += static_cast<std::int64_t>(count);
    return;
  }
  if (count == 0) return;
  const auto first = static_cast<std::size_t>(data_.length);
  const std::size_t end = first + count;
  if (!valid && data_.null_count == 0) data_.validity.assign((first + 7) / 8, 0xff);
  if (!valid || data_.null_count != 0) {
    if (data_.validity.size() < (end + 7) / 8) data_.validity.resize((end + 7) / 8, 0xff);
    if (!valid) {
      // bit by bit up to a byte boundary, then whole bytes, then the rest
      std::size_t i = first;
      for (; i < end && i % 8 != 0; ++i)
        data_.validity[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
      if (end - i >= 8) {
        std::memset(data_.validity.data() + i / 8, 0, (end - i) / 8);
        i += (end - i) / 8 * 8;
      }
      for (; i < end; ++i)
        data_.validity[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
      data_.null_count += static_cast<std::int64_t>(count);
    }
  }
  data_.length = static_cast<std::int64_t>(end);
}

void ColumnWriter::close_texts() {
  const std::size_t end = data_.kind == ColumnKind::List ? data_.item_offsets.size() - 1
                                                         : data_.chars.size();
  data_.offsets.push_back(static_cast<std::int32_t>(end));
}

void ColumnWriter::push_float(double x) {
  data_.f64.push_back(x);
  add_valid_one();
  if (forward_fill_) {
    has_last_ = true;
    last_f64_ = x;
  }
}

void ColumnWriter::push_text(std::string_view s) {
  if (!data_.texts_overflow && s.size() <= limits::kMaxArrowOffset - data_.chars.size())
    append_texts(data_.chars, s, 1);
  else
    data_.texts_overflow = true;
  close_texts();
  add_valid_one();
  if (forward_fill_) {
    has_last_ = true;
    if (std::string_view(last_text_) != s) last_text_.assign(s);
  }
}

template <typename Items>
void ColumnWriter::push_list(const Items& items) {
  for (const std::string_view s : items) {
    if (!data_.texts_overflow && s.size() <= limits::kMaxArrowOffset - data_.chars.size() &&
        data_.item_offsets.size() <= limits::kMaxArrowOffset) {
      data_.chars.append(s);
      data_.item_offsets.push_back(static_cast<std::int32_t>(data_.chars.size()));
      ++data_.item_count;
    } else {
      data_.texts_overflow = true;
    }
  }
  close_texts();
  add_valid_one();
}

void ColumnWriter::fill_to(std::size_t rows) { fill_to(rows, forward_fill_ && has_last_); }

void ColumnWriter::add_many_nulls(std::size_t count) { fill_to(length() + count, false); }

// Entries up to `rows`: the last value again, or null. Values first, then
// the bitmap, each in one go.
void ColumnWriter::fill_to(std::size_t rows, bool with_last) {
  if (length() >= rows) return;
  const std::size_t count = rows - length();
  if (data_.kind == ColumnKind::List) with_last = false;  // lists are never carried
  switch (data_.kind) {
    case ColumnKind::Float:
      append_copies(data_.f64, count, with_last ? last_f64_ : 0.0);
      break;
    case ColumnKind::Int:
      append_copies(data_.i64, count, with_last ? last_i64_ : std::int64_t{0});
      break;
    case ColumnKind::Str:
      if (with_last && !last_text_.empty()) {
        if (data_.texts_overflow || count > (limits::kMaxArrowOffset - data_.chars.size()) / last_text_.size()) {
          data_.texts_overflow = true;
          data_.offsets.insert(data_.offsets.end(), count, static_cast<std::int32_t>(data_.chars.size()));
          break;
        }
        const std::size_t len = last_text_.size();
        const std::size_t start = data_.chars.size();
        append_texts(data_.chars, last_text_, count);  // the writer's own copy
        data_.offsets.reserve(data_.offsets.size() + count);
        for (std::size_t i = 1; i <= count; ++i)
          data_.offsets.push_back(static_cast<std::int32_t>(start + i * len));
        break;
      }
      data_.offsets.insert(data_.offsets.end(), count, static_cast<std::int32_t>(data_.chars.size()));
      break;
    case ColumnKind::List:
      data_.offsets.insert(data_.offsets.end(), count,
                           static_cast<std::int32_t>(data_.item_offsets.size() - 1));
      break;
  }
  add_validity(count, with_last);
}

namespace {
// The integer of a text of up to 18 decimal digits (a block number), which
// every reading of it gives; nothing for any other text.
std::optional<std::int64_t> plain_digits(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  std::int64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}
}  // namespace

void ColumnWriter::put_any(std::size_t row, Value&& value) {
  if (auto* s = std::get_if<std::string>(&value)) return put_text(row, *s);
  if (auto* x = std::get_if<double>(&value)) return put_number_any(row, *x);
  put_list(row, std::get<std::vector<std::string>>(value));
}

// Entry `row` from `push`: nothing when the row has its value already; the
// rows before it filled first, and a null when `push` could not read the value.
template <typename Push>
void ColumnWriter::put_entry(std::size_t row, Push&& push) {
  if (row < length()) return;  // one value a row: a second one is not taken
  if (row > length()) fill_to(row);
  push();
  if (length() <= row) fill_to(row + 1);  // a value the column could not read
}

void ColumnWriter::put_number_any(std::size_t row, double x) {
  put_entry(row, [&] {
    switch (data_.kind) {
      case ColumnKind::Float: push_float(x); break;
      case ColumnKind::Int: push_int(truncate_to_int(x)); break;
      case ColumnKind::Str: push_text(errors::float_text(x)); break;
      case ColumnKind::List: break;
    }
  });
}

void ColumnWriter::put_text_any(std::size_t row, std::string_view s) {
  put_entry(row, [&] {
    switch (data_.kind) {
      case ColumnKind::Float:
        if (auto x = parse_float(s)) push_float(*x);
        break;
      case ColumnKind::Int:
        if (auto d = plain_digits(s)) push_int(*d);
        else if (auto x = parse_int_or_truncated(s)) push_int(*x);
        break;
      case ColumnKind::Str: push_text(s); break;
      case ColumnKind::List: {
        const std::vector<std::string> one{std::string(s)};
        push_list(one);
        break;
      }
    }
  });
}

void ColumnWriter::put_list(std::size_t row, const std::vector<std::string>& items) {
  put_entry(row, [&] {
    if (data_.kind == ColumnKind::List) push_list(items);
  });
}

void ColumnWriter::put_texts(std::size_t row, const std::string_view* items, std::size_t count) {
  put_entry(row, [&] {
    if (data_.kind == ColumnKind::List) push_list(std::span<const std::string_view>(items, count));
  });
}

void ColumnWriter::reserve(std::size_t rows) {
  switch (data_.kind) {
    case ColumnKind::Float: data_.f64.reserve(rows); break;
    case ColumnKind::Int: data_.i64.reserve(rows); break;
    case ColumnKind::Str:
      data_.offsets.reserve(rows + 1);
      data_.chars.reserve(rows * 4);
      break;
    case ColumnKind::List: data_.offsets.reserve(rows + 1); break;
  }
}

ColumnData ColumnWriter::take(std::size_t rows, BufferPool* pool) {
  fill_to(rows);
  ColumnData out = std::move(data_);
  out.name = name_;

  data_ = pool != nullptr ? pool->take(out.kind) : ColumnData{};
  data_.kind = out.kind;
  switch (out.kind) {
    case ColumnKind::Float: data_.f64.reserve(out.f64.size()); break;
    case ColumnKind::Int: data_.i64.reserve(out.i64.size()); break;
    case ColumnKind::Str:
    case ColumnKind::List:
      data_.offsets.reserve(out.offsets.size());
      data_.offsets.push_back(0);
      data_.chars.reserve(out.chars.size());
      if (out.kind == ColumnKind::List) data_.item_offsets.push_back(0);
      break;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Recycled buffers

namespace {
std::size_t room_of(const ColumnData& c) {
  return c.validity.capacity() + c.f64.capacity() * sizeof(double) +
         c.i64.capacity() * sizeof(std::int64_t) +
         (c.offsets.capacity() + c.item_offsets.capacity()) * sizeof(std::int32_t) +
         c.chars.capacity();
}
}  // namespace

ColumnData BufferPool::take(ColumnKind kind) {
  ColumnData out;
  {
    std::lock_guard lock(mutex_);
    std::vector<ColumnData>& spare = spare_[static_cast<std::size_t>(kind)];
    if (!spare.empty()) {
      out = std::move(spare.back());
      spare.pop_back();
      held_ -= room_of(out);
    }
  }
  out.kind = kind;
  return out;
}

void BufferPool::give_back(ColumnData&& column) {
  ColumnData c = std::move(column);
  c.name.clear();
  c.length = 0;
  c.null_count = 0;
  c.item_count = 0;
  c.texts_overflow = false;
  c.validity.clear();
  c.f64.clear();
  c.i64.clear();
  c.offsets.clear();
  c.item_offsets.clear();
  c.chars.clear();
  const std::size_t room = room_of(c);
  if (room == 0) return;
  std::lock_guard lock(mutex_);
  if (room > limit_ - std::min(held_, limit_)) return;  // freed on leaving, after the lock
  held_ += room;
  spare_[static_cast<std::size_t>(c.kind)].push_back(std::move(c));
}

std::size_t BufferPool::held_bytes() {
  std::lock_guard lock(mutex_);
  return held_;
}

// ---------------------------------------------------------------------------
// Entry by entry

std::string column_text(const ColumnData& column) {
  std::string s = column.name + ":";
  std::visit(
      [&](const auto& entries) {
        for (const auto& e : entries) {
          s += ' ';
          if (!e) {
            s += "null";
            continue;
          }
          using T = std::remove_cvref_t<decltype(*e)>;
          if constexpr (std::is_same_v<T, double>) s += errors::float_text(*e);
          else if constexpr (std::is_same_v<T, std::int64_t>) s += std::to_string(*e);
          else if constexpr (std::is_same_v<T, std::string>) s += "'" + *e + "'";
          else
            for (const auto& item : *e) s += "[" + item + "]";
        }
      },
      column_cells(column));
  return s + " (nulls " + std::to_string(column.null_count) + ")";
}

ColumnData column_data(std::string name, Column&& cells) {
  ColumnWriter w(name, column_kind(cells), false);
  const std::size_t n = column_len(cells);
  std::visit(
      [&](auto& entries) {
        using C = std::remove_cvref_t<decltype(entries)>;
        for (std::size_t i = 0; i < n; ++i) {
          if (!entries[i]) continue;
          if constexpr (std::is_same_v<C, IntColumn>) w.put_int(i, *entries[i]);
          else w.put(i, Value(std::move(*entries[i])));
        }
      },
      cells);
  return w.take(n);
}

Column column_cells(const ColumnData& c) {
  const auto n = static_cast<std::size_t>(c.length);
  auto valid = [&](std::size_t i) {
    return c.validity.empty() || ((c.validity[i / 8] >> (i % 8)) & 1) != 0;
  };
  auto text = [&](std::size_t from, std::size_t to) {
    return c.chars.substr(static_cast<std::size_t>(from), to - from);
  };
  switch (c.kind) {
    case ColumnKind::Float: {
      FloatColumn out(n);
      for (std::size_t i = 0; i < n; ++i)
        if (valid(i)) out[i] = c.f64[i];
      return out;
    }
    case ColumnKind::Int: {
      IntColumn out(n);
      for (std::size_t i = 0; i < n; ++i)
        if (valid(i)) out[i] = c.i64[i];
      return out;
    }
    case ColumnKind::Str: {
      StrColumn out(n);
      for (std::size_t i = 0; i < n; ++i)
        if (valid(i))
          out[i] = text(static_cast<std::size_t>(c.offsets[i]), static_cast<std::size_t>(c.offsets[i + 1]));
      return out;
    }
    case ColumnKind::List: {
      ListColumn out(n);
      for (std::size_t i = 0; i < n; ++i) {
        if (!valid(i)) continue;
        std::vector<std::string> items;
        for (auto k = static_cast<std::size_t>(c.offsets[i]); k < static_cast<std::size_t>(c.offsets[i + 1]); ++k)
          items.push_back(text(static_cast<std::size_t>(c.item_offsets[k]),
                               static_cast<std::size_t>(c.item_offsets[k + 1])));
        out[i] = std::move(items);
      }
      return out;
    }
  }
  return FloatColumn(n);
}

}  // namespace kelvane::output
