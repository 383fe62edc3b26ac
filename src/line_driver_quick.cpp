#include "line_driver_quick.hpp"

#include <array>
#include <string>

#include "line_driver_scan.hpp"
#include "modal_groups.hpp"
#include "text.hpp"

namespace kelvane::line_driver {

using output::BatchBuilder;
using output::OutputRows;
using state::State;

namespace {

// ---------------------------------------------------------------------------
// G words of up to three digits

inline constexpr std::uint8_t kNoGroup = 0xff;

// The column of a G group by its rank (the order of the groups in a batch).
std::string_view group_column(std::size_t rank) {
  return rank < modal_groups::kModalColumns.size()
             ? modal_groups::kModalColumns[rank]
             : modal_groups::kNonModalColumns[rank - modal_groups::kModalColumns.size()];
}

// The group rank and the upper-case text of every G word G0 to G999 that the
// vocabulary knows, as classify_g_command gives them; kNoGroup for the others
// and for the words the quick lane leaves to the word decoder (the dwell
// group, whose row is rewritten when it closes, and G91, which is warned
// about then).
struct GTable {
  std::array<std::uint8_t, 1000> rank{};
  std::array<std::array<char, 4>, 1000> text{};
  std::uint8_t plane = kNoGroup;
  GTable() {
    const std::size_t wait = *modal_groups::group_column_rank(modal_groups::kWaitColumn);
    plane = static_cast<std::uint8_t>(*modal_groups::group_column_rank(modal_groups::kPlaneColumn));
    for (std::size_t code = 0; code < rank.size(); ++code) {
      const std::string word = "G" + std::to_string(code);
      word.copy(text[code].data(), word.size());
      rank[code] = kNoGroup;
      const auto group = modal_groups::classify_g_command(word);
      if (!group || code == 91) continue;
      const std::size_t r = *modal_groups::group_column_rank(group->column);
      if (r == wait) continue;
      rank[code] = static_cast<std::uint8_t>(r);
    }
  }
};
const GTable& g_table() {
  static const GTable table;
  return table;
}

// The address letters of the word decoder, as a mask of bits A = 0 to Z = 25.
constexpr std::uint32_t address_mask() {
  std::uint32_t m = 0;
  for (char c : std::string_view("XYZABCUVWIJKTSFDHE")) m |= 1u << (c - 'A');
  return m;
}
inline constexpr std::uint32_t kAddressLetters = address_mask();

inline bool is_address_letter(char upper) {
  const unsigned i = static_cast<unsigned char>(upper) - 'A';
  return i < 26 && ((kAddressLetters >> i) & 1u) != 0;
}

// Where decoded cells go: kept, or only counted.
struct KeepCells {
  QuickCell* out;
  void number(std::size_t i, std::uint8_t slot, double v) {
    out[i].number = v;
    out[i].length = 0;
    out[i].slot = slot;
  }
  void text(std::size_t i, std::uint8_t slot, const char* t, std::size_t len) {
    out[i].text = t;
    out[i].length = static_cast<std::uint32_t>(len);
    out[i].slot = slot;
  }
  void block_number(std::size_t i, std::int64_t value, std::size_t digits) {
    out[i].integer = value;
    out[i].length = static_cast<std::uint32_t>(digits);
    out[i].slot = quick_slot::kBlockNumber;
  }
};
struct CountCells {
  void number(std::size_t, std::uint8_t, double) {}
  void text(std::size_t, std::uint8_t, const char*, std::size_t) {}
  void block_number(std::size_t, std::int64_t, std::size_t) {}
};

// The decoder. Each shape it takes is read exactly as the word decoder reads
// it (the same blanks, the same number scanner); any other shape, and any
// doubt, is Other.
template <typename Cells>
[[gnu::always_inline]] inline QuickForm decode_quick(std::string_view s, Cells cells,
                                                      std::size_t& count, std::uint32_t& letters) {
  const std::size_t n = s.size();
  std::size_t k = 0;
  std::uint32_t seen_letters = 0;  // addresses and CR
  std::uint64_t seen_groups = 0;
  unsigned m_words = 0;
  std::size_t p = skip_blanks(s, 0);

  // block number: an upper-case N and at most 18 digits
  if (n - p >= 2 && s[p] == 'N' && is_digit(s[p + 1])) {
    std::size_t q = p + 1;
    std::uint64_t value = 0;  // wraps past 18 digits, which are refused
    for (; q < n && is_digit(s[q]); ++q) value = value * 10 + static_cast<std::uint64_t>(s[q] - '0');
    if ((q < n && is_letter(s[q])) || q - p - 1 > 18) return QuickForm::Other;
    cells.block_number(k++, static_cast<std::int64_t>(value), q - p - 1);
    p = skip_blanks(s, q);
  }

  // A label (an identifier and ":") is never taken: no ":" is, outside the comment.
  while (p < n) {
    const char c = s[p];
    if (c == ';') {
      cells.text(k++, quick_slot::kComment, s.data() + p, n - p);
      break;
    }
    if (!is_letter(c) || p + 1 >= n || k + 1 >= kMaxQuickCells) return QuickForm::Other;
    const char u = text::ascii_upper(c);
    const char d = s[p + 1];  // a letter alone is a call: the word decoder's
    if (c == 'M') {
      // M and digits, then no letter, "." or "_"; at most five a line (a
      // sixth is an error), none that ends the program (M2, M17, M30)
      if (!is_digit(d) || ++m_words > 5) return QuickForm::Other;
      std::size_t q = p + 1;
      while (q < n && s[q] == '0') ++q;
      const std::size_t significant = q;
      unsigned code = 0;
      while (q < n && is_digit(s[q])) code = code * 10 + static_cast<unsigned>(s[q++] - '0');
      if (q < n && (is_ident(s[q]) || s[q] == '.')) return QuickForm::Other;
      if (q - significant <= 2 && (code == 2 || code == 17 || code == 30)) return QuickForm::Other;
      cells.text(k++, quick_slot::kM, s.data() + p, q - p);
      p = skip_blanks(s, q);
      continue;
    }
    if (u == 'G') {
      // G and one to three digits, no leading zero, then no letter, "." or "_"
      if (!is_digit(d) || (d == '0' && p + 2 < n && is_digit(s[p + 2]))) return QuickForm::Other;
      std::size_t q = p + 1;
      unsigned code = 0;
      while (q < n && is_digit(s[q]) && q < p + 4)
        code = code * 10 + static_cast<unsigned>(s[q++] - '0');
      if (q < n && (is_ident(s[q]) || s[q] == '.')) return QuickForm::Other;
      const GTable& table = g_table();
      const std::uint8_t rank = table.rank[code];
      if (rank == kNoGroup || ((seen_groups >> rank) & 1u) != 0) return QuickForm::Other;
      seen_groups |= std::uint64_t{1} << rank;
      cells.text(k++, static_cast<std::uint8_t>(quick_slot::kGroup + rank), table.text[code].data(),
                 q - p);
      p = skip_blanks(s, q);
      continue;
    }
    std::uint8_t slot;
    std::size_t q;
    if (is_address_letter(u) && (is_digit(d) || d == '-' || d == '.')) {
      // an address word: the letter and a number
      q = p + 1;
      slot = static_cast<std::uint8_t>(u - 'A');
    } else {
      // an assignment of a plain number to an address letter or CR
      std::size_t e = p;
      while (e < n && is_ident(s[e])) ++e;
      if (e - p == 1 && is_address_letter(u)) {
        slot = static_cast<std::uint8_t>(u - 'A');
      } else if (e - p == 2 && u == 'C' && text::ascii_upper(d) == 'R') {
        slot = quick_slot::kCR;
      } else {
        return QuickForm::Other;
      }
      e = skip_blanks(s, e);
      if (e >= n || s[e] != '=') return QuickForm::Other;
      q = skip_blanks(s, e + 1);
      // a number, not a sign prefix, a parenthesis or a name
      if (q >= n || !(is_digit(s[q]) || (s[q] == '-' && q + 1 < n && is_digit(s[q + 1]))))
        return QuickForm::Other;
    }
    const auto value = scan_number(s, q);
    if (!value || ((seen_letters >> slot) & 1u) != 0) return QuickForm::Other;
    seen_letters |= 1u << slot;
    cells.number(k++, slot, *value);
    // what follows must begin a word or the comment: an array element
    // ("["), or an expression going on after an assignment ("+ - * /"),
    // leaves the loop as Other
    p = skip_blanks(s, q);
  }
  count = k;
  letters = seen_letters;
  return k == 0 ? QuickForm::Blank : QuickForm::Quick;
}

}  // namespace

QuickForm quick_decode(std::string_view line, QuickCell* out, std::size_t& count,
                       std::uint32_t& letters) {
  return decode_quick(line, KeepCells{out}, count, letters);
}

QuickForm quick_classify(std::string_view line) {
  std::size_t count = 0;
  std::uint32_t letters = 0;
  return decode_quick(line, CountCells{}, count, letters);
}

DecodeResult::Decoded quick_to_decoded(std::span<const QuickCell> cells, std::size_t line_no,
                                       std::vector<Word>& words, char (&digits)[20]) {
  static constexpr std::string_view kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  DecodeResult::Decoded d;
  d.line_no = line_no;
  d.words.begin = words.size();
  for (const QuickCell& c : cells) {
    const std::string_view t(c.text, c.length);
    if (c.slot < 26) {
      words.push_back(Word{Word::Number{c.number, kLetters.substr(c.slot, 1)}});
    } else if (c.slot == quick_slot::kCR) {
      words.push_back(Word{Word::Number{c.number, "CR"}});
    } else if (c.slot == quick_slot::kBlockNumber) {
      // the digits again, leading zeros included
      auto n = static_cast<std::uint64_t>(c.integer);
      for (std::uint32_t i = c.length; i > 0; --i, n /= 10)
        digits[i - 1] = static_cast<char>('0' + n % 10);
      d.block_number = std::string_view(digits, c.length);
    } else if (c.slot == quick_slot::kComment) {
      d.comment = t;
    } else if (c.slot == quick_slot::kM) {
      words.push_back(Word{Word::MCode{t}});
    } else {
      words.push_back(Word{Word::GCommand{group_column(c.slot - quick_slot::kGroup), t}});
    }
  }
  d.words.end = words.size();
  d.has_content = true;
  return d;
}

// ---------------------------------------------------------------------------
// The runner

bool QuickRunner::lane_open(const OutputRows& rows) {
  return !rows.flattener && !rows.batches_on_own_thread && !rows.batch_writer &&
         std::holds_alternative<output::BatchStreamSink>(rows.sink.v);
}

std::uint32_t QuickRunner::declined_letters(const State& state) {
  static constexpr std::string_view kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::uint32_t mask = 0;
  for (std::uint32_t index = 0; index <= quick_slot::kCR; ++index) {
    if (index < 26 && !is_address_letter(kLetters[index])) continue;
    const std::string_view name = index == quick_slot::kCR ? "CR" : kLetters.substr(index, 1);
    const auto key = state.resolve_output_key(name);
    if (!key || (key->kind == state::ColKind::Axis && !key->is_axis)) mask |= 1u << index;
  }
  return mask;
}

bool QuickRunner::resolve(std::uint32_t letters, State& state) {
  static constexpr std::string_view kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (std::uint32_t left = letters & ~ready_; left != 0; left &= left - 1) {
    const unsigned index = static_cast<unsigned>(__builtin_ctz(left));
    Slot& slot = slots_[index];
    if (slot.kind == Kind::Unresolved) {
      const std::string_view name = index == quick_slot::kCR ? "CR" : kLetters.substr(index, 1);
      const auto key = state.resolve_output_key(name);
      // a variable, or an axis configured in lower case (stored as a
      // variable): the word decoder's way
      if (!key || (key->kind == state::ColKind::Axis && !key->is_axis)) {
        slot.kind = Kind::Declined;
      } else {
        slot.kind = key->kind == state::ColKind::Axis ? Kind::Axis : Kind::Block;
        slot.column = key->column;
        // the writer is made when the column is first written: a column made
        // now would stand in the batch that closing the previous row may send
        slot.writer = kNoWriter;
      }
    }
    if (slot.kind == Kind::Declined) return false;
    if (slot.kind == Kind::Axis) read_position(slot, state);
    ready_ |= 1u << index;
  }
  return true;
}

void QuickRunner::read_position(Slot& slot, State& state) {
  auto it = state.axes.find(slot.column);
  slot.position = it != state.axes.end() ? &it.value() : nullptr;
  slot.translation = state.translation_of(slot.column);
}

void QuickRunner::read_positions(State& state) {
  for (std::uint32_t left = ready_; left != 0; left &= left - 1) {
    Slot& slot = slots_[__builtin_ctz(left)];
    if (slot.kind == Kind::Axis) read_position(slot, state);
  }
  positions_read_ = true;
}

std::uint32_t QuickRunner::make_writer(std::uint8_t index, BatchBuilder& builder) {
  Slot& slot = slots_[index];
  const std::string_view column = index == quick_slot::kBlockNumber ? "N"
                                  : index == quick_slot::kComment  ? "comment"
                                  : index == quick_slot::kM        ? "M"
                                  : index <= quick_slot::kCR
                                      ? slot.column
                                      : group_column(index - quick_slot::kGroup);
  slot.writer = builder.writer_index(column);
  return slot.writer;
}

std::optional<errors::Status> QuickRunner::run(std::span<const QuickCell> cells,
                                               std::uint32_t letters, std::size_t line_no,
                                               OutputRows& rows, State& state) {
  // under a rotation an axis word writes the machine X, Y and Z
  if (state.rotation_active) return std::nullopt;
  if ((letters & ~ready_) != 0 && !resolve(letters, state)) return std::nullopt;
  if (!positions_read_) read_positions(state);

  // the previous row is closed: a row of this lane is only counted
  output::BatchStreamSink& sink = std::get<output::BatchStreamSink>(rows.sink.v);
  if (rows.direct_row) {
    rows.direct_row = false;
    if (auto st = sink.take_direct(); !st) return st;
  } else if (!rows.staged.empty() || rows.row.has_content()) {
    if (auto st = rows.flush(); !st) return st;
  }

  BatchBuilder& builder = sink.builder;
  const std::size_t row = builder.rows;
  std::string_view m_items[5];
  std::size_t m_count = 0;
  for (const QuickCell& c : cells) {
    if (c.slot <= quick_slot::kCR) {
      Slot& slot = slots_[c.slot];
      double v = c.number;
      if (slot.kind == Kind::Axis) {
        if (slot.position != nullptr) [[likely]] {
          *slot.position = v;
        } else {
          // the axis's first position: a new entry, which may move the others
          state.update_axis(slot.column, v);
          read_positions(state);
        }
        v += slot.translation;
      }
      builder.writers[writer_of(c.slot, builder)].put_number(row, v);
    } else if (c.slot == quick_slot::kBlockNumber) {
      builder.writers[writer_of(c.slot, builder)].put_int(row, c.integer);
    } else if (c.slot == quick_slot::kM) {
      m_items[m_count++] = std::string_view(c.text, c.length);
    } else {
      if (c.slot == plane_slot_) {
        // G17, G18, G19 select the working plane
        if (c.length == 3 && c.text[1] == '1' && c.text[2] >= '7' && c.text[2] <= '9')
          state.active_plane = static_cast<std::uint8_t>(c.text[2] - '7');
      }
      builder.writers[writer_of(c.slot, builder)].put_text(row, std::string_view(c.text, c.length));
    }
  }
  // the M words of the row, one list
  if (m_count != 0)
    builder.writers[writer_of(quick_slot::kM, builder)].put_texts(row, m_items, m_count);
  if (builder.include_line_numbers) builder.put_line_number(line_no);
  rows.direct_row = true;
  return errors::Status{};
}

std::optional<errors::Status> QuickRunner::run_stretch(const QuickStretch& stretch,
                                                       std::size_t first_line_no,
                                                       OutputRows& rows, State& state) {
  const std::size_t n = stretch.row_lines.size();
  if (n == 0) return errors::Status{};
  if (state.rotation_active) return std::nullopt;
  if ((stretch.letters & ~ready_) != 0 && !resolve(stretch.letters, state)) return std::nullopt;
  if (!positions_read_) read_positions(state);
  // an axis's first position is a new entry in the state, which may move
  // the others: such lines run one at a time
  for (std::uint32_t left = stretch.letters; left != 0; left &= left - 1) {
    const Slot& slot = slots_[__builtin_ctz(left)];
    if (slot.kind == Kind::Axis && slot.position == nullptr) return std::nullopt;
  }

  output::BatchStreamSink& sink = std::get<output::BatchStreamSink>(rows.sink.v);
  BatchBuilder& builder = sink.builder;
  const std::span<const QuickEntry> entries = stretch.entries;
  std::uint32_t next[quick_slot::kCount];  // each column's next entry
  for (std::size_t c = 0; c < stretch.columns.size(); ++c) next[c] = stretch.columns[c].begin;

  // the rows in batches: each part fills at most the rest of the batch
  for (std::size_t done = 0; done < n;) {
    // the previous row is closed: a row of this lane is only counted
    if (rows.direct_row) {
      rows.direct_row = false;
      if (auto st = sink.take_direct(); !st) return st;
    } else if (!rows.staged.empty() || rows.row.has_content()) {
      if (auto st = rows.flush(); !st) return st;
    }
    const std::size_t base = builder.rows;  // where row `done` goes
    const std::size_t end_row = done + std::min(n - done, sink.batch_size - base);
    auto at = [&](std::uint32_t row) { return base + (row - done); };
    for (std::size_t c = 0; c < stretch.columns.size(); ++c) {
      const std::uint8_t index = stretch.columns[c].slot;
      const std::uint32_t end = stretch.columns[c].end;
      std::uint32_t& i = next[c];
      if (i == end || entries[i].row >= end_row) continue;
      output::ColumnWriter& w = builder.writers[writer_of(index, builder)];
      if (index <= quick_slot::kCR) {
        if (slots_[index].kind == Kind::Axis) {
          const double translation = slots_[index].translation;
          for (; i < end && entries[i].row < end_row; ++i)
            w.put_number(at(entries[i].row), entries[i].number + translation);
        } else {
          for (; i < end && entries[i].row < end_row; ++i)
            w.put_number(at(entries[i].row), entries[i].number);
        }
      } else if (index == quick_slot::kBlockNumber) {
        for (; i < end && entries[i].row < end_row; ++i)
          w.put_int(at(entries[i].row), entries[i].integer);
      } else if (index == quick_slot::kM) {
        // the M words of a row, one list
        while (i < end && entries[i].row < end_row) {
          std::string_view items[5];
          std::size_t count = 0;
          const std::uint32_t row = entries[i].row;
          for (; i < end && entries[i].row == row; ++i)
            items[count++] = std::string_view(entries[i].text, entries[i].length);
          w.put_texts(at(row), items, count);
        }
      } else {
        for (; i < end && entries[i].row < end_row; ++i)
          w.put_text(at(entries[i].row), std::string_view(entries[i].text, entries[i].length));
      }
    }
    if (builder.include_line_numbers) {
      for (std::size_t r = done; r < end_row; ++r)
        builder.put_line_number_at(at(static_cast<std::uint32_t>(r)),
                                   first_line_no + stretch.row_lines[r]);
    }
    // every row written but the last is closed now (none of them fills the
    // batch); the last one when the next row begins
    if (end_row - done > 1) {
      if (auto st = sink.take_direct_rows(end_row - done - 1); !st) return st;
    }
    rows.direct_row = true;
    done = end_row;
  }

  // the state as the stretch's last row leaves it
  for (const QuickColumn& c : stretch.columns) {
    if (c.slot <= quick_slot::kCR) {
      Slot& slot = slots_[c.slot];
      if (slot.kind == Kind::Axis) *slot.position = entries[c.end - 1].number;
    } else if (c.slot == plane_slot_) {
      // the last of G17, G18, G19 selects the working plane
      for (std::uint32_t i = c.end; i > c.begin; --i) {
        const QuickEntry& e = entries[i - 1];
        if (e.length == 3 && e.text[1] == '1' && e.text[2] >= '7' && e.text[2] <= '9') {
          state.active_plane = static_cast<std::uint8_t>(e.text[2] - '7');
          break;
        }
      }
    }
  }
  return errors::Status{};
}

QuickRunner::QuickRunner()
    : plane_slot_(static_cast<std::uint8_t>(quick_slot::kGroup + g_table().plane)) {}

}  // namespace kelvane::line_driver
