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

Table VariableEvents::to_table() const {
  auto ints = [](std::string name, const std::vector<std::uint32_t>& in) {
    ColumnData c;
    c.name = std::move(name);
    c.kind = ColumnKind::Int;
    c.length = static_cast<std::int64_t>(in.size());
    c.i64.assign(in.begin(), in.end());
    return c;
  };
  ColumnData values;
  values.name = "value";
  values.kind = ColumnKind::Float;
  values.length = static_cast<std::int64_t>(value.size());
  values.f64 = value;
  Table t;
  t.columns.push_back(ints("row_idx", row_idx));
  t.columns.push_back(ints("name_id", name_id));
  t.columns.push_back(std::move(values));
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

}  // namespace

std::uint32_t BatchBuilder::writer_for(std::string_view name) {
  if (auto it = writer_of.find(name); it != writer_of.end()) return it->second;
  const std::string_view stored = intern_column(name);
  const auto id = static_cast<std::uint32_t>(writers.size());
  writers.emplace_back(stored, column_kind_of(stored),
                       !disable_forward_fill && is_forward_filled_column(stored));
  if (first_room != 0) writers.back().reserve(first_room);
  writer_of.emplace(stored, id);
  columns.push_back(stored);
  canonical_order(columns);
  return id;
}

void BatchBuilder::put_line_number_at(std::size_t row, std::size_t line) {
  if (!line_numbers) {
    line_numbers.emplace("line_no", ColumnKind::Int, false);
    if (first_room != 0) line_numbers->reserve(first_room);
  }
  line_numbers->put_int(row, static_cast<std::int64_t>(line));
}

void BatchBuilder::add_row(Row& row) {
  for (Cell& cell : row.cells) recent_writer(cell.name).put(rows, std::move(cell.value));
  if (include_line_numbers) put_line_number(row.line);
  ++rows;
}

void BatchBuilder::add_staged(const StagedRow& staged, std::size_t line) {
  for (const StagedRow::Cell& cell : staged) {
    ColumnWriter& w = recent_writer(cell.name);
    if (cell.is_text) w.put_text(rows, staged.text_of(cell));
    else w.put_number(rows, cell.number);
  }
  if (include_line_numbers) put_line_number(line);
  ++rows;
}

Table BatchBuilder::take_table() {
  if (!pool) pool = std::make_shared<BufferPool>(limits::kRecycledBatchBytes);
  Table table;
  table.recycle = pool;
  table.columns.reserve(columns.size() + 1);
  if (line_numbers) table.columns.push_back(line_numbers->take(rows, pool.get()));
  for (std::string_view name : columns)
    table.columns.push_back(writers[writer_of.find(name)->second].take(rows, pool.get()));
  rows = 0;
  return table;
}

Status BatchStreamSink::emit() {
  if (builder.rows == 0) return {};
  if (!tables_tx.send(builder.take_table())) return errors::fail(errors::StreamClosed{});
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

OutputRows OutputRows::streaming(Sender<Row> rows_tx, std::shared_ptr<RowReturns> returns) {
  OutputRows o;
  o.cancel = rows_tx.cancel_probe();
  o.sink.v.emplace<RowSink::Stream>(RowSink::Stream{std::move(rows_tx), std::move(returns), {}});
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
  s.builder.first_room = std::min(s.batch_size, limits::kFirstBatchRoom);
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
  if (direct_row) {
    direct_row = false;
    if (Status st = std::get<BatchStreamSink>(sink.v).take_direct(); !st) return st;
  }
  if (!staged.empty()) {
    // a staged row goes straight into its batch, unless cells were written
    // into it after its line (a comment behind a closing keyword)
    if (row.cells.empty()) {
      start_batch_writer();
      if (batch_writer) return batch_writer->push_staged(staged, row);
      Status st = std::get<BatchStreamSink>(sink.v).take_staged(staged, row);
      staged.clear();
      row.reset_for_reuse();
      return st;
    }
    unstage();
  }
  if (!row.has_content()) return {};

  rewrite_dwell(row.cells);

  if (!warned_g91) {
    if (const Value* mode = row.cells.get(modal_groups::kMeasureModeColumn)) {
      if (const auto* code = std::get_if<std::string>(mode); code && *code == "G91") {
        text::write_warning_line(text::warning_prefix(row.line) +
                                 "G91 incremental dimensioning is not interpreted - axis values are "
                                 "emitted as absolute positions and will be wrong from this block on");
        warned_g91 = true;
      }
    }
  }

  // a batch takes the row's cells where they are, and the row is used again
  if (!flattener) {
    start_batch_writer();
    if (batch_writer) {
      Status st = batch_writer->push(row);
      row.reset_for_reuse();
      return st;
    }
    if (auto* batches = std::get_if<BatchStreamSink>(&sink.v)) {
      Status st = batches->take_row(row);
      row.reset_for_reuse();
      return st;
    }
  }

  Row taken = std::exchange(row, Row{});
  if (!flattener) {
    auto delivered = deliver_to_sink(std::move(taken));
    if (!delivered) return errors::fail(std::move(delivered.error()));
    if (*delivered) row = std::move(**delivered);
    return {};
  }

  // The filter stage may turn one row into none or several; each is delivered
  // in order. One spare row is kept for the next block.
  std::vector<Row> produced;
  flattener->push(std::move(taken), produced);
  std::optional<Row> held;
  for (Row& r : produced) {
    auto delivered = deliver_to_sink(std::move(r));
    if (!delivered) return errors::fail(std::move(delivered.error()));
    if (*delivered) held = std::move(**delivered);
  }
  if (held) row = std::move(*held);
  return {};
}

void OutputRows::start_batch_writer_now() {
  if (auto* batches = std::get_if<BatchStreamSink>(&sink.v))
    batch_writer = std::make_unique<BatchWriterThread>(std::move(*batches));
}

void OutputRows::unstage() {
  CellMap later = std::move(row.cells);
  row.cells.clear();
  for (const StagedRow::Cell& c : staged) {
    if (c.is_text) row.cells.insert(c.name, Value(std::string(staged.text_of(c))));
    else row.cells.insert(c.name, Value(c.number));
  }
  for (Cell& c : later) row.cells.insert(c.name, std::move(c.value));
  staged.clear();
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
          if (s.spare.empty() && s.returns) s.returns->take_all(s.spare);
          if (s.spare.empty()) return std::optional<Row>{};
          std::optional<Row> reused{std::move(s.spare.back())};
          s.spare.pop_back();
          reused->reset_for_reuse();
          return reused;
        } else if constexpr (std::is_same_v<S, RowSink::Discard>) {
          // nobody reads these rows; the run still stops with its consumer
          if (cancel.cancelled()) return errors::fail(errors::StreamClosed{});
          r.reset_for_reuse();
          return std::optional<Row>{std::move(r)};
        } else {
          if (auto st = s.take_row(r); !st) return errors::fail(std::move(st.error()));
          r.reset_for_reuse();
          return std::optional<Row>{std::move(r)};
        }
      },
      sink.v);
}

namespace {
// Rows a consumer may have handed back and not yet refilled: about two
// channels full.
constexpr std::size_t kMaxReturnedRows = 2 * limits::kRowChannelCapacity + 256;
// A row that grew this large (a DEF of an array records a variable change
// per element) is freed rather than kept for another block.
constexpr std::size_t kMaxReturnedRowEntries = 256;
}  // namespace

void RowReturns::give_back(std::vector<Row>& rows) {
  std::vector<Row> surplus;
  {
    std::lock_guard lock(mutex_);
    for (Row& r : rows) {
      if (rows_.size() < kMaxReturnedRows && r.cells.capacity() <= kMaxReturnedRowEntries &&
          r.variables.capacity() <= kMaxReturnedRowEntries)
        rows_.push_back(std::move(r));
      else
        surplus.push_back(std::move(r));
    }
    any_.store(!rows_.empty(), std::memory_order_release);
  }
  rows.clear();
  // `surplus` is freed here, outside the lock
}

void RowReturns::take_all(std::vector<Row>& out) {
  if (!any_.load(std::memory_order_acquire)) return;
  std::lock_guard lock(mutex_);
  if (out.empty()) {
    out.swap(rows_);
  } else {
    for (Row& r : rows_) out.push_back(std::move(r));
    rows_.clear();
  }
  any_.store(false, std::memory_order_release);
}

Status BatchStreamSink::take_staged(const StagedRow& staged, const Row& r) {
  record_variables(r);
  if (staged.empty()) return {};
  if (rows_seen != std::numeric_limits<std::uint32_t>::max()) ++rows_seen;
  builder.add_staged(staged, r.line);
  if (builder.rows >= batch_size) return emit();
  return {};
}

void BatchStreamSink::record_variable_events(const Row& r) {
  for (const auto& [name, value] : r.variables) {
    std::uint32_t id;
    if (auto it = name_ids.find(name); it != name_ids.end()) {
      id = it->second;
    } else {
      id = static_cast<std::uint32_t>(events.names.size());
      events.names.push_back(name);
      name_ids.emplace(name, id);
    }
    events.row_idx.push_back(rows_seen);
    events.name_id.push_back(id);
    events.value.push_back(value);
  }
}

Status BatchStreamSink::take_row(Row& r) {
  record_variables(r);
  // a row without cells is no row of the batch; its variable changes
  // belong to the next row that has cells
  if (r.cells.empty()) return {};
  // the row index saturates rather than wrapping past 2^32 rows
  if (rows_seen != std::numeric_limits<std::uint32_t>::max()) ++rows_seen;
  builder.add_row(r);
  if (builder.rows >= batch_size) return emit();
  return {};
}

void OutputRows::record_variable_change(std::string_view name, double value) {
  if (!track_variables) return;
  row.variables.emplace_back(std::string(name), value);
}

Result<std::vector<Row>> OutputRows::finish() {
  if (auto e = flush(); !e) return errors::fail(std::move(e.error()));
  if (batch_writer) {
    auto written = batch_writer->finish();
    batch_writer.reset();
    if (!written) return errors::fail(std::move(written.error()));
    sink.v.emplace<BatchStreamSink>(std::move(*written));
  }

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
