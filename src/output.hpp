#pragma once
// Output of the interpreter: the cells of one block (CellMap, Row), the row
// collector OutputRows with its sinks, the bounded channels to the Python
// iterators, and the columnar batch builder (BatchStreamSink, Table).
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <tsl/robin_map.h>

#include "errors.hpp"
#include "forward_fill.hpp"
#include "fx_hash.hpp"
#include "limits.hpp"
#include "output_columns.hpp"
#include "output_ring.hpp"
#include "types.hpp"

namespace kelvane::output {

using types::Value;
using types::ValueKind;
using errors::ParsingError;
using errors::Result;
using errors::Status;

// ---------------------------------------------------------------------------
// Column names

// The process-wide copy of a column name: equal names always give the same
// view (same pointer), valid for the life of the process. Thread-safe.
std::string_view intern_column(std::string_view name);

// Column names compare by content; interned names (and the same literal) hit
// the pointer fast path.
inline bool same_column(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.data() == b.data() || a.empty()) return true;
  return a[0] == b[0] && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// Text columns: the 60 group columns, "T", "comment", "non_returning_function_call".
bool is_string_column(std::string_view name);

using kelvane::FxHash;
using kelvane::NameEq;
template <typename V>
using FxMap = tsl::robin_map<std::string_view, V, FxHash, NameEq>;

// ---------------------------------------------------------------------------
// Cells and rows

struct Cell {
  std::string_view name;  // a process-lifetime text (intern_column or a literal)
  Value value;
};

// The cells of one row, in first-insertion order, at most one per name.
// Lookups are linear scans from the front (rows hold few cells).
class CellMap {
 public:
  // Replaces the value of an existing cell in place (returning the old value),
  // or appends a new cell (the first insertion reserves room for 8 cells).
  std::optional<Value> insert(std::string_view name, Value value);
  // Removes the first cell of that name, keeping the order of the others.
  std::optional<Value> remove(std::string_view name);

  const Value* get(std::string_view name) const noexcept {
    for (const Cell& c : cells_)
      if (same_column(c.name, name)) return &c.value;
    return nullptr;
  }
  Value* get(std::string_view name) noexcept {
    for (Cell& c : cells_)
      if (same_column(c.name, name)) return &c.value;
    return nullptr;
  }
  bool contains(std::string_view name) const noexcept { return get(name) != nullptr; }

  std::size_t size() const noexcept { return cells_.size(); }
  bool empty() const noexcept { return cells_.empty(); }
  std::size_t capacity() const noexcept { return cells_.capacity(); }
  void clear() noexcept { cells_.clear(); }  // keeps the reserved room

  const Cell& operator[](std::size_t i) const { return cells_[i]; }
  Cell& operator[](std::size_t i) { return cells_[i]; }
  auto begin() const noexcept { return cells_.begin(); }
  auto end() const noexcept { return cells_.end(); }
  auto begin() noexcept { return cells_.begin(); }
  auto end() noexcept { return cells_.end(); }
  const std::vector<Cell>& cells() const noexcept { return cells_; }

 private:
  std::vector<Cell> cells_;
};

// The output of one block.
struct Row {
  CellMap cells;
  // The user-variable assignments of the block, in the order they were made.
  std::vector<std::pair<std::string, double>> variables;
  // 1-based source line of the block; 0 in a fresh or reset row.
  std::size_t line = 0;

  // Drops every cell and variable entry, line 0, keeps the reserved room.
  void reset_for_reuse() noexcept {
    cells.clear();
    variables.clear();
    line = 0;
  }
  bool has_content() const noexcept { return !cells.empty() || !variables.empty(); }
};

// The cells of a line written straight into a batch's columns, without a
// Value per cell: numbers and texts, at most one per name (a later one
// replaces the earlier in its place), in first-insertion order, as a CellMap
// would hold them. Kept by the collector and used again line after line.
class StagedRow {
 public:
  struct Cell {
    std::string_view name;  // a process-lifetime text
    double number = 0.0;
    // a text: a view that outlives the row, or, with no data, a slice of the
    // row's own copies
    const char* text_data = nullptr;
    std::uint32_t text_begin = 0;
    std::uint32_t text_size = 0;
    bool is_text = false;
  };

  void put_number(std::string_view name, double value) {
    Cell& c = slot(name);
    c.is_text = false;
    c.number = value;
  }
  // A text that outlives the row (a slice of the program).
  void put_text(std::string_view name, std::string_view text) {
    Cell& c = slot(name);
    c.is_text = true;
    c.text_data = text.data();
    c.text_size = static_cast<std::uint32_t>(text.size());
  }
  // A text the row keeps a copy of.
  void put_text_copy(std::string_view name, std::string_view text) {
    Cell& c = slot(name);
    c.is_text = true;
    c.text_data = nullptr;
    c.text_begin = static_cast<std::uint32_t>(copies_.size());
    c.text_size = static_cast<std::uint32_t>(text.size());
    copies_.append(text);
  }
  std::string_view text_of(const Cell& c) const noexcept {
    if (c.text_data != nullptr) return {c.text_data, c.text_size};
    return {copies_.data() + c.text_begin, c.text_size};
  }

  bool empty() const noexcept { return cells_.empty(); }
  std::size_t size() const noexcept { return cells_.size(); }
  void clear() noexcept {
    cells_.clear();
    copies_.clear();
  }
  auto begin() const noexcept { return cells_.begin(); }
  auto end() const noexcept { return cells_.end(); }

 private:
  Cell& slot(std::string_view name) {
    for (Cell& c : cells_)
      if (same_column(c.name, name)) return c;
    if (cells_.empty() && cells_.capacity() < 8) cells_.reserve(8);
    return cells_.emplace_back(Cell{name});
  }
  std::vector<Cell> cells_;
  std::string copies_;
};

// ---------------------------------------------------------------------------
// Channels: multi-producer queues with blocking send and receive. A bounded
// channel blocks its sender while full. A send fails once the receiver is
// gone; a receive returns nothing once every sender is gone and the queue is
// empty.

// What a value occupies of a channel's weight budget (make_channel): one,
// and a row one more for every variable change it carries, since a DEF of a
// large array records one per element in a single row.
template <typename T>
std::size_t channel_weight(const T&) noexcept {
  return 1;
}
inline std::size_t channel_weight(const Row& row) noexcept { return 1 + row.variables.size(); }

namespace detail {
template <typename T>
struct ChannelState {
  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable not_full;
  std::deque<T> queue;
  std::size_t capacity = 0;   // SIZE_MAX: unbounded
  std::size_t low_water = 0;  // a blocked sender is woken once the queue is this short
  std::size_t weight = 0;     // channel_weight of the queued values, added up
  std::size_t weight_capacity = SIZE_MAX;
  std::size_t senders = 0;
  std::size_t senders_waiting = 0;
  std::size_t receiver_waiting = 0;
  // written under the mutex; read without it by the cancellation probe
  std::atomic<bool> receiver_alive{true};

  // Wakes the sleeping side only when someone sleeps; a full queue wakes its
  // senders only once it has drained to low_water, so that a slow consumer
  // does not cost a thread switch per value.
  template <typename Out>  // T or std::optional<T>
  bool take_front(Out& out) {
    weight -= channel_weight(queue.front());
    out = std::move(queue.front());
    queue.pop_front();
    return senders_waiting > 0 && queue.size() <= low_water;
  }
  // Whether a value of weight `w` must wait: the queue holds `capacity`
  // values, or the value would take the queue past its weight budget (a
  // value heavier than the whole budget goes into an empty queue, and the
  // queue is then over budget for every value until it is empty again).
  bool over_budget_with(std::size_t w) const noexcept {
    return weight > weight_capacity || w > weight_capacity - weight;
  }
  bool full_for(std::size_t w) const noexcept {
    return queue.size() >= capacity || (!queue.empty() && over_budget_with(w));
  }
  bool room_for(std::size_t w) const noexcept {
    return queue.size() <= low_water && (queue.empty() || !over_budget_with(w));
  }
};
}  // namespace detail

enum class RecvStatus : std::uint8_t { Ok, Timeout, Closed };

// Tells a run whether anybody still receives its output: one atomic load, so
// loops may ask on every pass. A default probe is never cancelled.
class CancelProbe {
 public:
  CancelProbe() = default;
  explicit CancelProbe(std::shared_ptr<const std::atomic<bool>> receiver_alive)
      : alive_(std::move(receiver_alive)) {}
  bool cancelled() const noexcept {
    return alive_ != nullptr && !alive_->load(std::memory_order_relaxed);
  }

 private:
  std::shared_ptr<const std::atomic<bool>> alive_;
};

template <typename T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {
    if (s_) {
      std::lock_guard lock(s_->mutex);
      ++s_->senders;
    }
  }
  Sender(const Sender& o) : Sender(o.s_) {}
  Sender(Sender&& o) noexcept : s_(std::move(o.s_)) {}
  Sender& operator=(const Sender& o) {
    if (this != &o) { close(); *this = Sender(o); }
    return *this;
  }
  Sender& operator=(Sender&& o) noexcept {
    if (this != &o) { close(); s_ = std::move(o.s_); }
    return *this;
  }
  ~Sender() { close(); }

  // Blocks while the channel is full. False (and the value dropped) when the
  // receiver is gone or this sender is closed.
  bool send(T value) {
    if (!s_) return false;
    bool wake = false;
    const std::size_t w = channel_weight(value);
    {
      std::unique_lock lock(s_->mutex);
      if (s_->receiver_alive && s_->full_for(w)) {
        ++s_->senders_waiting;
        s_->not_full.wait(lock, [&] { return !s_->receiver_alive || s_->room_for(w); });
        --s_->senders_waiting;
      }
      if (!s_->receiver_alive) return false;
      s_->weight += w;
      s_->queue.push_back(std::move(value));
      wake = s_->receiver_waiting > 0;
    }
    if (wake) s_->not_empty.notify_one();
    return true;
  }
  // Drops this sending end; the last one dropped ends the receiver's wait.
  void close() noexcept {
    if (!s_) return;
    bool last = false;
    {
      std::lock_guard lock(s_->mutex);
      last = --s_->senders == 0;
    }
    if (last) s_->not_empty.notify_all();
    s_.reset();
  }
  bool is_open() const noexcept { return s_ != nullptr; }
  // Whether the receiving end is still there to take values.
  bool receiver_alive() const noexcept {
    return s_ != nullptr && s_->receiver_alive.load(std::memory_order_acquire);
  }
  // A probe that reports cancelled once the receiving end is gone; it stays
  // valid after this sender is closed. Never cancelled for a closed sender.
  CancelProbe cancel_probe() const {
    if (!s_) return CancelProbe();
    return CancelProbe(std::shared_ptr<const std::atomic<bool>>(s_, &s_->receiver_alive));
  }

 private:
  std::shared_ptr<detail::ChannelState<T>> s_;
};

template <typename T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : s_(std::move(s)) {}
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&& o) noexcept : s_(std::move(o.s_)) {}
  Receiver& operator=(Receiver&& o) noexcept {
    if (this != &o) { close(); s_ = std::move(o.s_); }
    return *this;
  }
  ~Receiver() { close(); }

  // Blocks until a value arrives; nothing once every sender is gone and the
  // queue is empty (or this receiver is closed).
  std::optional<T> recv() {
    if (!s_) return std::nullopt;
    std::optional<T> out;
    bool wake = false;
    {
      std::unique_lock lock(s_->mutex);
      wait_for_value(lock);
      if (s_->queue.empty()) return std::nullopt;
      wake = s_->take_front(out);
    }
    if (wake) s_->not_full.notify_all();
    return out;
  }
  // Like recv, but gives up after `timeout` (RecvStatus::Timeout, `out`
  // untouched). `out` is a T or a std::optional<T>.
  template <typename Out, typename Rep, typename Period>
  RecvStatus recv_for(Out& out, std::chrono::duration<Rep, Period> timeout) {
    if (!s_) return RecvStatus::Closed;
    bool wake = false;
    {
      std::unique_lock lock(s_->mutex);
      if (s_->queue.empty() && s_->senders > 0) {
        ++s_->receiver_waiting;
        const bool ready = s_->not_empty.wait_for(
            lock, timeout, [&] { return !s_->queue.empty() || s_->senders == 0; });
        --s_->receiver_waiting;
        if (!ready) return RecvStatus::Timeout;
      }
      if (s_->queue.empty()) return RecvStatus::Closed;
      wake = s_->take_front(out);
    }
    if (wake) s_->not_full.notify_all();
    return RecvStatus::Ok;
  }
  // A value if one is waiting, without blocking.
  std::optional<T> try_recv() {
    if (!s_) return std::nullopt;
    std::optional<T> out;
    bool wake = false;
    {
      std::lock_guard lock(s_->mutex);
      if (s_->queue.empty()) return std::nullopt;
      wake = s_->take_front(out);
    }
    if (wake) s_->not_full.notify_all();
    return out;
  }
  // Every value waiting, moved to the end of `out` under one lock, without
  // blocking; how many there were.
  template <typename Out>  // a container of T with push_back
  std::size_t try_recv_all(Out& out) {
    if (!s_) return 0;
    std::size_t n = 0;
    bool wake = false;
    {
      std::lock_guard lock(s_->mutex);
      n = s_->queue.size();
      if (n == 0) return 0;
      for (T& v : s_->queue) out.push_back(std::move(v));
      s_->queue.clear();
      s_->weight = 0;
      wake = s_->senders_waiting > 0;
    }
    if (wake) s_->not_full.notify_all();
    return n;
  }
  // Drops the receiving end: waiting values are freed, blocked and later
  // sends fail.
  void close() noexcept {
    if (!s_) return;
    std::deque<T> drained;
    {
      std::lock_guard lock(s_->mutex);
      s_->receiver_alive = false;
      drained.swap(s_->queue);
      s_->weight = 0;
    }
    s_->not_full.notify_all();
    s_.reset();
    // `drained` is freed here, outside the lock
  }
  bool is_open() const noexcept { return s_ != nullptr; }

 private:
  void wait_for_value(std::unique_lock<std::mutex>& lock) {
    if (!s_->queue.empty() || s_->senders == 0) return;
    ++s_->receiver_waiting;
    s_->not_empty.wait(lock, [&] { return !s_->queue.empty() || s_->senders == 0; });
    --s_->receiver_waiting;
  }
  std::shared_ptr<detail::ChannelState<T>> s_;
};

// A channel holding at most `capacity` (>= 1) values and, besides, values
// of at most `weight_capacity` channel_weight together (one heavier value
// waits for an empty queue).
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity,
                                               std::size_t weight_capacity = SIZE_MAX) {
  auto s = std::make_shared<detail::ChannelState<T>>();
  s->capacity = capacity == 0 ? 1 : capacity;
  s->weight_capacity = weight_capacity;
  // large queues let a blocked sender sleep until a quarter has drained
  s->low_water = s->capacity >= 64 ? s->capacity - s->capacity / 4 : s->capacity - 1;
  Sender<T> tx(s);
  return {std::move(tx), Receiver<T>(std::move(s))};
}
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_unbounded_channel() {
  return make_channel<T>(std::numeric_limits<std::size_t>::max());
}

inline constexpr std::size_t kRowChannelCapacity = limits::kRowChannelCapacity;
inline constexpr std::size_t kRowChannelWeight = limits::kRowChannelWeight;
inline constexpr std::size_t kTableChannelCapacity = limits::kTableChannelCapacity;

// ---------------------------------------------------------------------------
// Columnar batches

// The sparse variable-change events of a run: entry i of the first three
// lists is one assignment, names[name_id[i]] its variable.
struct VariableEvents {
  std::vector<std::uint32_t> row_idx;
  std::vector<std::uint32_t> name_id;
  std::vector<double> value;
  std::vector<std::string> names;  // in first-assignment order

  // Columns "row_idx" (Int), "name_id" (Int), "value" (Float), every entry present.
  Table to_table() const;
};

// The columns of a run's batches: their writers persist across batches, so
// that a column keeps its place and its forward-filled value.
struct BatchBuilder {
  std::vector<std::string_view> columns;  // canonical column list of the last batch; only grows
  std::vector<ColumnWriter> writers;      // one per column, in the order they first came
  FxMap<std::uint32_t> writer_of;         // column name -> index into writers
  std::optional<ColumnWriter> line_numbers;
  std::size_t rows = 0;  // rows of the batch being built
  // the rows a new column's first batch takes room for at once: the batch
  // size, up to a bound (the room is only address space until written)
  std::size_t first_room = 0;
  bool disable_forward_fill = false;
  bool include_line_numbers = false;
  // the buffers of released batches, for the next ones (made with the first
  // batch taken; the batches hold it weakly, so it goes with the builder)
  std::shared_ptr<BufferPool> pool;

  // Writes the cells of one row (their values are consumed) as the next row
  // of the batch.
  void add_row(Row& row);
  // The same for a staged row of source line `line`.
  void add_staged(const StagedRow& staged, std::size_t line);
  // The batch built so far as a table, "line_no" first when asked for; the
  // next batch starts empty.
  Table take_table();
  // The index in `writers` of a column's writer, made when the column is new.
  std::uint32_t writer_index(std::string_view name) { return writer_for(name); }
  // The source line of the row being written, when line numbers are included.
  void put_line_number(std::size_t line) { put_line_number_at(rows, line); }
  // The same for entry `row` of the batch.
  void put_line_number_at(std::size_t row, std::size_t line);

 private:
  std::uint32_t writer_for(std::string_view name);
  ColumnWriter& recent_writer(std::string_view name) {
    const auto address = reinterpret_cast<std::uintptr_t>(name.data());
    Recent& r = recent_[(address * 0x9E3779B97F4A7C15ull) >> 58];
    if (r.data != name.data() || r.size != name.size())
      r = Recent{name.data(), name.size(), writer_for(name)};
    return writers[r.id];
  }
  // The writers of recently seen name texts, by the text's address: cells
  // name their column with a few process-lifetime texts, so almost every
  // cell finds its writer here without hashing its name.
  struct Recent {
    const char* data = nullptr;
    std::size_t size = 0;
    std::uint32_t id = 0;
  };
  std::array<Recent, 64> recent_{};
};

struct BatchStreamSink {
  Sender<Table> tables_tx;
  BatchBuilder builder;
  Sender<VariableEvents> events_tx;
  VariableEvents events;
  std::unordered_map<std::string, std::uint32_t> name_ids;
  std::size_t batch_size = 1;
  std::uint32_t rows_seen = 0;
  bool include_variables = false;

  // Records the row's variable changes and writes its cells (consuming
  // their values) as the next row, sending the batch once it is full.
  Status take_row(Row& row);
  // The same for a row whose cells are staged (its variable changes and
  // line in `row`).
  Status take_staged(const StagedRow& staged, const Row& row);
  // Counts the row whose cells were written straight into the builder's
  // columns (entry `builder.rows` of each), sending the batch once it is full.
  Status take_direct() { return take_direct_rows(1); }
  // The same for `count` such rows (entries `builder.rows` on).
  Status take_direct_rows(std::size_t count) {
    constexpr std::uint32_t kMost = std::numeric_limits<std::uint32_t>::max();
    rows_seen = count >= kMost - rows_seen ? kMost : rows_seen + static_cast<std::uint32_t>(count);
    builder.rows += count;
    if (builder.rows >= batch_size) return emit();
    return {};
  }
  // Sends the batch built so far as one Table (blocking while three wait
  // unread). Nothing when it holds no row. StreamClosed when the receiver is
  // gone.
  Status emit();

 private:
  void record_variables(const Row& row) {
    if (include_variables) record_variable_events(row);
  }
  void record_variable_events(const Row& row);
};

// Writes a batch run's rows into its batches on a thread of its own, so that
// the executor only hands its rows over. Rows go through a small ring of
// reused chunks and are written in order; the batches, their sends and the
// variable events are exactly those of the same rows written on the
// executor's thread.
class BatchWriterThread {
 public:
  explicit BatchWriterThread(BatchStreamSink&& sink);
  BatchWriterThread(const BatchWriterThread&) = delete;
  BatchWriterThread& operator=(const BatchWriterThread&) = delete;
  // Writes every row handed over (full batches are sent, the last partial
  // one is not), then ends the thread.
  ~BatchWriterThread();

  // Hands the row over; it comes back empty, with the room of an earlier
  // row. Once writing has failed, the failure (StreamClosed when the
  // consumer is gone) and the row is dropped; a failure to allocate on the
  // writer's thread is raised here.
  Status push(Row& row);
  // The same for a row whose cells are staged (its variable changes and
  // line in `row`): both come back empty.
  Status push_staged(StagedRow& staged, Row& row);
  // Writes every row handed over and ends the thread: the sink, to finish
  // the run with, or the writer's failure.
  Result<BatchStreamSink> finish();

 private:
  static constexpr std::size_t kChunkRows = 512;
  static constexpr std::size_t kChunks = 4;
  struct RowChunk {
    std::vector<Row> rows;  // kChunkRows of them, reused
    // the cells of the rows handed over staged (empty for the others)
    std::vector<StagedRow> staged;
    std::size_t count = 0;  // the rows handed over in it
  };
  Status failure();
  void run();
  void publish(bool last);
  void drain();

  BatchStreamSink sink_;
  ChunkRing<RowChunk, kChunks> ring_;
  std::size_t filling_ = 0;  // sequence number of the chunk being filled
  std::size_t filled_ = 0;   // rows in it
  std::atomic<bool> failed_{false};
  std::optional<ParsingError> error_;  // written by the writer before failed_
  std::exception_ptr exception_;       // likewise
  bool drained_ = false;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// Row collector

// Rows handed back by the consumer of a row channel, so that the thread that
// made them fills them again: a row freed on another thread than the one
// that allocated it costs both threads the allocator's lock.
class RowReturns {
 public:
  // The consumer's side: hands back the rows (their contents as they are),
  // leaving `rows` empty. Beyond a bound the surplus is freed here instead.
  void give_back(std::vector<Row>& rows);
  // The maker's side: every row handed back so far, appended to `out`.
  void take_all(std::vector<Row>& out);

 private:
  std::mutex mutex_;
  std::vector<Row> rows_;
  std::atomic<bool> any_{false};
};

// Where finished rows go.
struct RowSink {
  struct Collect {
    std::vector<Row> rows;
  };
  struct Stream {
    Sender<Row> tx;
    std::shared_ptr<RowReturns> returns;  // may be null: rows are not handed back
    std::vector<Row> spare;               // handed back, to be filled again
  };
  // Rows are dropped as they are made (a run whose rows nobody reads).
  struct Discard {};
  std::variant<BatchStreamSink, Collect, Stream, Discard> v;
};

// The path filter stage between the collector and its sink (installed by the
// program entry when a flatten tolerance is given). `push` consumes one
// finished row and appends the rows that replace it (none, the row itself, or
// several); `has_pending` tells whether rows are held back for a run still
// open; `flush_pending` appends the rows of that run at the end.
struct RowFilter {
  std::function<void(Row&&, std::vector<Row>&)> push;
  std::function<bool()> has_pending;
  std::function<void(std::vector<Row>&)> flush_pending;
};

struct OutputRows {
  Row row;  // the row of the block being executed; executors write line and cells
  StagedRow staged;  // its cells when written straight into the batch (can_stage)
  RowSink sink;
  std::optional<RowFilter> flattener;
  bool track_variables = false;
  bool warned_g91 = false;
  // The row of the block being executed was written straight into the batch
  // columns (a line of the quick lane: cells that closing a row neither
  // rewrites nor warns about, no variable change); closing it counts it.
  // Only the line driver writes such rows, and every line of it that writes
  // cells closes the row before it first.
  bool direct_row = false;
  // A batch sink writes its rows on a thread of its own (started with the
  // first row), when the machine has a core to spare for it.
  bool batches_on_own_thread = false;
  std::unique_ptr<BatchWriterThread> batch_writer;
  // Whether the consumer of the run's output has gone away; the streaming
  // and batch forms watch their own channel, a discarding one is handed the
  // probe of the channel its run feeds.
  CancelProbe cancel;

  // Sink Collect, no variable tracking.
  static OutputRows collecting();
  // Sink Discard, no variable tracking (the initial-state program): rows are
  // dropped once made; `cancel` stops the run when the main run's consumer
  // is gone.
  static OutputRows discarding(CancelProbe cancel);
  // Sink Stream over the row channel, variable changes tracked (rows mode);
  // rows the consumer hands back to `returns` are filled again.
  static OutputRows streaming(Sender<Row> rows_tx, std::shared_ptr<RowReturns> returns = nullptr);
  // Sink BatchStream (batch mode); variable changes tracked when include_variables.
  static OutputRows batch_stream_with_line_numbers(Sender<Table> tables_tx, std::size_t batch_size,
                                                   bool disable_forward_fill,
                                                   bool include_variables,
                                                   Sender<VariableEvents> events_tx,
                                                   bool include_line_numbers);

  // Closes the current row: nothing when it holds no cell and no variable
  // change; otherwise applies the G4 dwell rewrite and the one-time G91
  // warning, passes it through the filter stage if any, and delivers it.
  Status flush();
  // Whether a line may stage its cells rather than write them into `row`:
  // a batch sink without a filter stage, and a row just closed. The staged
  // cells are the row's until the next flush, which writes them straight
  // into the batch or hands them to the writer thread. Their texts are
  // slices of the program or the row's own copies: the program outlives the
  // writer's work.
  bool can_stage() const noexcept {
    return !flattener && row.cells.empty() && staged.empty() &&
           std::holds_alternative<BatchStreamSink>(sink.v);
  }
  // Moves the staged cells into `row`, before the cells written there since.
  void unstage();
  // Starts the writer thread with the first row, when the run has one.
  void start_batch_writer() {
    if (batch_writer || !batches_on_own_thread || flattener) return;
    start_batch_writer_now();
  }
  void start_batch_writer_now();
  // Hands one finished row to the sink; may return an emptied row to reuse.
  Result<std::optional<Row>> deliver_to_sink(Row row);
  // Records a user-variable assignment in the current row (when tracking).
  void record_variable_change(std::string_view name, double value);
  // Flushes the last row and any held-back rows, emits the last batch and
  // sends the variable events, closes the channels. Returns the collected rows
  // (Collect) or an empty list. The collector is spent afterwards.
  Result<std::vector<Row>> finish();
  // True once the consumer has gone away. Loops and backward jumps, which
  // may run for long without sending anything, check it on every pass.
  bool consumer_gone() const noexcept { return cancel.cancelled(); }
};

}  // namespace kelvane::output
