#include "output.hpp"

#include <algorithm>
#include <type_traits>
#include <unordered_set>

#include "modal_groups.hpp"
#include "number_text.hpp"
#include "text.hpp"

namespace kelvane::output {

namespace {

struct InternPool {
  std::mutex mutex;
  std::unordered_set<std::string_view> names;
};

InternPool& intern_pool() {
  // never destroyed: names stay valid while worker threads outlive main
  static InternPool* pool = new InternPool();
  return *pool;
}

}  // namespace

// ---------------------------------------------------------------------------
// Column names

std::string_view intern_column(std::string_view name) {
  InternPool& pool = intern_pool();
  std::lock_guard lock(pool.mutex);
  if (auto it = pool.names.find(name); it != pool.names.end()) return *it;
  char* copy = new char[name.size() + 1];  // never freed: lives for the process
  std::memcpy(copy, name.data(), name.size());
  copy[name.size()] = '\0';
  std::string_view stored(copy, name.size());
  pool.names.insert(stored);
  return stored;
}

bool is_string_column(std::string_view name) {
  if (name.size() >= 6 && name[0] == 'g' && name[1] == 'g') return modal_groups::is_group_column(name);
  return name == "T" || name == "comment" || name == "non_returning_function_call";
}

// ---------------------------------------------------------------------------
// Cells

std::optional<Value> CellMap::insert(std::string_view name, Value value) {
  for (Cell& c : cells_) {
    if (same_column(c.name, name)) {
      Value old = std::exchange(c.value, std::move(value));
      return old;
    }
  }
  if (cells_.empty() && cells_.capacity() < 8) cells_.reserve(8);
  cells_.push_back(Cell{name, std::move(value)});
  return std::nullopt;
}

std::optional<Value> CellMap::remove(std::string_view name) {
  for (auto it = cells_.begin(); it != cells_.end(); ++it) {
    if (same_column(it->name, name)) {
      Value old = std::move(it->value);
      cells_.erase(it);
      return old;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Columns and tables

ColumnKind column_kind_of(std::string_view name) {
  if (name == "N" || name == "line_no") return ColumnKind::Int;
  if (name == "M") return ColumnKind::List;
  if (is_string_column(name)) return ColumnKind::Str;
  return ColumnKind::Float;
}

std::size_t column_len(const Column& c) {
  return std::visit([](const auto& v) { return v.size(); }, c);
}

Table VariableEvents::to_table() const {
  auto widen = [](const std::vector<std::uint32_t>& in) {
    IntColumn out;
    out.reserve(in.size());
    for (std::uint32_t x : in) out.emplace_back(static_cast<std::int64_t>(x));
    return out;
  };
  FloatColumn values;
  values.reserve(value.size());
  for (double x : value) values.emplace_back(x);
  Table t;
  t.columns.emplace_back("row_idx", widen(row_idx));
  t.columns.emplace_back("name_id", widen(name_id));
  t.columns.emplace_back("value", std::move(values));
  return t;
}

namespace {

// Canonical position class of a column name; names of the same class are
// ordered byte-wise (only the class of "other" names holds more than one).
constexpr std::string_view kFixedAxes[] = {"X", "Y", "Z", "A", "B", "C", "D", "E", "F",
                                           "S", "U", "V", "RA1", "RA2", "RA3", "RA4", "RA5", "RA6"};
constexpr std::string_view kTrailing[] = {"I",     "J",         "K", "CR", "TURN",
                                          "PW",    "SD",        "PL", "dwell", "flattened",
                                          "T",     "M",         "non_returning_function_call",
                                          "comment"};
constexpr std::size_t kRankAxes = 61;
constexpr std::size_t kRankOther = kRankAxes + std::size(kFixedAxes);
constexpr std::size_t kRankTrailing = kRankOther + 1;

std::size_t canonical_rank(std::string_view name) {
  if (name == "N") return 0;
  if (auto g = modal_groups::group_column_rank(name)) return 1 + *g;
  for (std::size_t i = 0; i < std::size(kFixedAxes); ++i)
    if (kFixedAxes[i] == name) return kRankAxes + i;
  for (std::size_t i = 0; i < std::size(kTrailing); ++i)
    if (kTrailing[i] == name) return kRankTrailing + i;
  return kRankOther;
}

void canonical_order(std::vector<std::string_view>& names) {
  std::vector<std::pair<std::size_t, std::string_view>> ranked;
  ranked.reserve(names.size());
  for (std::string_view n : names) ranked.emplace_back(canonical_rank(n), n);
  std::sort(ranked.begin(), ranked.end());  // string_view compares byte-wise
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = ranked[i].second;
}

Column make_null_column(ColumnKind kind, std::size_t n) {
  switch (kind) {
    case ColumnKind::Float: return FloatColumn(n);
    case ColumnKind::Int: return IntColumn(n);
    case ColumnKind::Str: return StrColumn(n);
    case ColumnKind::List: return ListColumn(n);
  }
  return FloatColumn(n);
}

// Puts one cell value into entry i of its column, consuming the value.
void put_cell(Column& column, std::size_t i, Value&& value) {
  std::visit(
      [&](auto& col) {
        using C = std::remove_cvref_t<decltype(col)>;
        if constexpr (std::is_same_v<C, FloatColumn>) {
          if (auto* s = std::get_if<std::string>(&value)) col[i] = parse_float(*s);
          else if (auto* x = std::get_if<double>(&value)) col[i] = *x;
        } else if constexpr (std::is_same_v<C, IntColumn>) {
          if (auto* s = std::get_if<std::string>(&value)) col[i] = parse_int_or_truncated(*s);
          else if (auto* x = std::get_if<double>(&value)) col[i] = truncate_to_int(*x);
        } else if constexpr (std::is_same_v<C, StrColumn>) {
          if (auto* s = std::get_if<std::string>(&value)) col[i] = std::move(*s);
          else if (auto* x = std::get_if<double>(&value)) col[i] = errors::float_text(*x);
        } else {
          if (auto* s = std::get_if<std::string>(&value))
            col[i] = std::vector<std::string>{std::move(*s)};
          else if (auto* l = std::get_if<std::vector<std::string>>(&value)) col[i] = std::move(*l);
        }
      },
      column);
}

}  // namespace

Status BatchStreamSink::emit() {
  if (rows.empty()) return {};
  const std::size_t n = rows.size();
  BatchBuilder& b = builder;

  // Name set: the columns of earlier batches plus every cell name of this one.
  FxMap<std::uint32_t> index;
  index.reserve(b.columns.size() + 8);
  for (std::size_t i = 0; i < b.columns.size(); ++i)
    index.emplace(b.columns[i], static_cast<std::uint32_t>(i));
  bool grew = false;
  for (const Row& r : rows) {
    for (const Cell& c : r.cells) {
      if (index.find(c.name) == index.end()) {
        std::string_view stored = intern_column(c.name);
        index.emplace(stored, static_cast<std::uint32_t>(b.columns.size()));
        b.columns.push_back(stored);
        grew = true;
      }
    }
  }
  if (grew) {
    canonical_order(b.columns);
    for (std::size_t i = 0; i < b.columns.size(); ++i)
      index[b.columns[i]] = static_cast<std::uint32_t>(i);
  }

  std::vector<Column> columns;
  columns.reserve(b.columns.size());
  for (std::string_view name : b.columns) columns.push_back(make_null_column(column_kind_of(name), n));

  // Cells into columns. Rows mostly repeat the layout of the row before, so
  // the column of each cell position is remembered by name pointer.
  std::vector<std::pair<std::string_view, std::uint32_t>> by_position;
  for (std::size_t i = 0; i < n; ++i) {
    CellMap& cells = rows[i].cells;
    if (by_position.size() < cells.size()) by_position.resize(cells.size());
    for (std::size_t j = 0; j < cells.size(); ++j) {
      Cell& cell = cells[j];
      auto& cached = by_position[j];
      std::uint32_t col;
      if (cached.first.data() == cell.name.data() && cached.first.size() == cell.name.size()) {
        col = cached.second;
      } else {
        col = index.find(cell.name)->second;
        cached = {cell.name, col};
      }
      put_cell(columns[col], i, std::move(cell.value));
    }
  }

  if (!b.disable_forward_fill) {
    for (std::size_t k = 0; k < b.columns.size(); ++k) {
      const std::string_view name = b.columns[k];
      if (!is_forward_filled_column(name)) continue;
      std::visit([&](auto& col) { fill_forward(col, name, b.carry); }, columns[k]);
    }
  }

  Table table;
  table.columns.reserve(b.columns.size() + 1);
  if (b.include_line_numbers) {
    IntColumn lines;
    lines.reserve(n);
    for (const Row& r : rows) lines.emplace_back(static_cast<std::int64_t>(r.line));
    table.columns.emplace_back("line_no", std::move(lines));
  }
  for (std::size_t k = 0; k < b.columns.size(); ++k)
    table.columns.emplace_back(std::string(b.columns[k]), std::move(columns[k]));

  pool.reserve(pool.size() + rows.size());
  for (Row& r : rows) {
    r.reset_for_reuse();
    pool.push_back(std::move(r));
  }
  rows.clear();

  if (!tables_tx.send(std::move(table))) return errors::fail(errors::StreamClosed{});
  return {};
}

// ---------------------------------------------------------------------------
// Row collector

OutputRows OutputRows::collecting() {
  OutputRows o;
  o.sink.v.emplace<RowSink::Collect>();
  o.track_variables = false;
  return o;
}

OutputRows OutputRows::discarding(CancelProbe cancel) {
  OutputRows o;
  o.sink.v.emplace<RowSink::Discard>();
  o.track_variables = false;
  o.cancel = std::move(cancel);
  return o;
}

OutputRows OutputRows::streaming(Sender<Row> rows_tx) {
  OutputRows o;
  o.cancel = rows_tx.cancel_probe();
  o.sink.v.emplace<RowSink::Stream>(RowSink::Stream{std::move(rows_tx)});
  o.track_variables = true;
  return o;
}

OutputRows OutputRows::batch_stream_with_line_numbers(Sender<Table> tables_tx,
                                                      std::size_t batch_size,
                                                      bool disable_forward_fill,
                                                      bool include_variables,
                                                      Sender<VariableEvents> events_tx,
                                                      bool include_line_numbers) {
  OutputRows o;
  o.cancel = tables_tx.cancel_probe();
  BatchStreamSink& s = o.sink.v.emplace<BatchStreamSink>();
  s.tables_tx = std::move(tables_tx);
  s.events_tx = std::move(events_tx);
  s.batch_size = batch_size == 0 ? 1 : batch_size;
  s.include_variables = include_variables;
  s.builder.disable_forward_fill = disable_forward_fill;
  s.builder.include_line_numbers = include_line_numbers;
  o.track_variables = include_variables;
  return o;
}

namespace {

// G4 moves its F value (else its S value) into the cell "dwell".
void rewrite_dwell(CellMap& cells) {
  const Value* wait = cells.get(modal_groups::kWaitColumn);
  if (wait == nullptr) return;
  const auto* code = std::get_if<std::string>(wait);
  if (code == nullptr || *code != "G4") return;
  std::optional<Value> f = cells.remove("F");
  std::optional<Value> s = cells.remove("S");
  std::optional<Value>& dwell = f ? f : s;
  if (!dwell) return;
  static const std::string_view kDwell = intern_column("dwell");
  cells.insert(kDwell, std::move(*dwell));
}

}  // namespace

Status OutputRows::flush() {
  if (!row.has_content()) return {};
  Row taken = std::exchange(row, Row{});

  rewrite_dwell(taken.cells);

  if (!warned_g91) {
    if (const Value* mode = taken.cells.get(modal_groups::kMeasureModeColumn)) {
      if (const auto* code = std::get_if<std::string>(mode); code && *code == "G91") {
        text::write_warning_line(text::warning_prefix(taken.line) +
                                 "G91 incremental dimensioning is not interpreted - axis values are "
                                 "emitted as absolute positions and will be wrong from this block on");
        warned_g91 = true;
      }
    }
  }

  if (!flattener) {
    auto delivered = deliver_to_sink(std::move(taken));
    if (!delivered) return errors::fail(std::move(delivered.error()));
    if (*delivered) row = std::move(**delivered);
    return {};
  }

  // The filter stage may turn one row into none or several; each is delivered
  // in order. One spare row is kept for the next block, further spares go
  // back to the batch pool.
  std::vector<Row> produced;
  flattener->push(std::move(taken), produced);
  std::optional<Row> held;
  for (Row& r : produced) {
    auto delivered = deliver_to_sink(std::move(r));
    if (!delivered) return errors::fail(std::move(delivered.error()));
    if (!*delivered) continue;
    if (held) {
      if (auto* b = std::get_if<BatchStreamSink>(&sink.v)) b->pool.push_back(std::move(*held));
    }
    held = std::move(**delivered);
  }
  if (held) row = std::move(*held);
  return {};
}

Result<std::optional<Row>> OutputRows::deliver_to_sink(Row r) {
  return std::visit(
      [&](auto& s) -> Result<std::optional<Row>> {
        using S = std::remove_cvref_t<decltype(s)>;
        if constexpr (std::is_same_v<S, RowSink::Collect>) {
          s.rows.push_back(std::move(r));
          return std::optional<Row>{};
        } else if constexpr (std::is_same_v<S, RowSink::Stream>) {
          if (!s.tx.send(std::move(r))) return errors::fail(errors::StreamClosed{});
          return std::optional<Row>{};
        } else if constexpr (std::is_same_v<S, RowSink::Discard>) {
          // nobody reads these rows; the run still stops with its consumer
          if (cancel.cancelled()) return errors::fail(errors::StreamClosed{});
          r.reset_for_reuse();
          return std::optional<Row>{std::move(r)};
        } else {
          if (s.include_variables) {
            for (const auto& [name, value] : r.variables) {
              std::uint32_t id;
              if (auto it = s.name_ids.find(name); it != s.name_ids.end()) {
                id = it->second;
              } else {
                id = static_cast<std::uint32_t>(s.events.names.size());
                s.events.names.push_back(name);
                s.name_ids.emplace(name, id);
              }
              s.events.row_idx.push_back(s.rows_seen);
              s.events.name_id.push_back(id);
              s.events.value.push_back(value);
            }
          }
          if (r.cells.empty()) {
            r.reset_for_reuse();
            return std::optional<Row>{std::move(r)};
          }
          // the row index saturates rather than wrapping past 2^32 rows
          if (s.rows_seen != std::numeric_limits<std::uint32_t>::max()) ++s.rows_seen;
          if (s.rows.capacity() == 0) s.rows.reserve(std::min<std::size_t>(s.batch_size, 1u << 20));
          s.rows.push_back(std::move(r));
          if (s.rows.size() >= s.batch_size) {
            if (auto e = s.emit(); !e) return errors::fail(std::move(e.error()));
          }
          if (s.pool.empty()) return std::optional<Row>{};
          Row spare = std::move(s.pool.back());
          s.pool.pop_back();
          return std::optional<Row>{std::move(spare)};
        }
      },
      sink.v);
}

void OutputRows::record_variable_change(std::string_view name, double value) {
  if (!track_variables) return;
  row.variables.emplace_back(std::string(name), value);
}

Result<std::vector<Row>> OutputRows::finish() {
  if (auto e = flush(); !e) return errors::fail(std::move(e.error()));

  if (flattener) {
    if (flattener->has_pending && flattener->has_pending()) {
      std::vector<Row> pending;
      flattener->flush_pending(pending);
      for (Row& r : pending) {
        auto delivered = deliver_to_sink(std::move(r));
        if (!delivered) return errors::fail(std::move(delivered.error()));
      }
    }
    flattener.reset();
  }

  return std::visit(
      [&](auto& s) -> Result<std::vector<Row>> {
        using S = std::remove_cvref_t<decltype(s)>;
        if constexpr (std::is_same_v<S, RowSink::Collect>) {
          return std::move(s.rows);
        } else if constexpr (std::is_same_v<S, RowSink::Stream>) {
          s.tx.close();
          return std::vector<Row>{};
        } else if constexpr (std::is_same_v<S, RowSink::Discard>) {
          return std::vector<Row>{};
        } else {
          if (auto e = s.emit(); !e) return errors::fail(std::move(e.error()));
          if (s.include_variables) (void)s.events_tx.send(std::exchange(s.events, VariableEvents{}));
          s.tables_tx.close();
          s.events_tx.close();
          return std::vector<Row>{};
        }
      },
      sink.v);
}

}  // namespace kelvane::output
