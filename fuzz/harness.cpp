#include "harness.hpp"

#include <sys/mman.h>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/common_interface_defs.h>
#endif
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "output.hpp"
#include "state.hpp"
#include "worker.hpp"

namespace kelvane::fuzz {

namespace {

// How long a consumer waits for the next row before it hangs up: a program
// that computes without output for this long is cut short. A FOR is not
// bounded by the iteration limit, so an endless FOR without rows (or in the
// initial-state program, whose rows nobody sees) ends only here, and such
// loops would take most of a campaign's time at a longer limit; an ordinary
// input runs in a few milliseconds even under the sanitizers.
constexpr auto kQuietLimit = std::chrono::milliseconds(40);
// How many variable changes a consumer keeps, all rows together, before it
// hangs up: a DEF of a large array in a loop records millions a pass.
constexpr std::size_t kHeldVariablesLimit = std::size_t{1} << 22;

std::string value_text(const types::Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return "'" + *s + "'";
  if (const auto* x = std::get_if<double>(&v)) return errors::float_text(*x);
  std::string out = "[";
  for (const auto& s : std::get<std::vector<std::string>>(v)) out += "'" + s + "',";
  return out + "]";
}

}  // namespace

std::string row_text(const output::Row& row) {
  std::string out = std::to_string(row.line) + ":";
  for (const auto& cell : row.cells) {
    out += ' ';
    out += cell.name;
    out += '=';
    out += value_text(cell.value);
  }
  if (!row.variables.empty()) {
    out += " |";
    for (const auto& [name, value] : row.variables) out += " " + name + "=" + errors::float_text(value);
  }
  return out + "\n";
}

namespace {

bool same_number(double x, double y) {
  return (std::isnan(x) && std::isnan(y)) || (x == y && std::signbit(x) == std::signbit(y));
}

}  // namespace

bool same_row(const output::Row& a, const output::Row& b) {
  if (a.line != b.line || a.cells.size() != b.cells.size() ||
      a.variables.size() != b.variables.size())
    return false;
  for (std::size_t i = 0; i < a.cells.size(); ++i) {
    if (a.cells[i].name != b.cells[i].name ||
        value_text(a.cells[i].value) != value_text(b.cells[i].value))
      return false;
  }
  for (std::size_t i = 0; i < a.variables.size(); ++i) {
    if (a.variables[i].first != b.variables[i].first ||
        !same_number(a.variables[i].second, b.variables[i].second))
      return false;
  }
  return true;
}

namespace {

template <typename Map, typename Show>
std::string sorted_map_text(const char* title, const Map& map, Show show) {
  std::vector<std::string> entries;
  for (const auto& [k, v] : map) entries.push_back(std::string(k) + "=" + show(v));
  std::sort(entries.begin(), entries.end());
  std::string out = std::string(title) + ":";
  for (const auto& e : entries) out += " " + e;
  return out + "\n";
}

std::string number_text(double x) { return errors::float_text(x); }
std::string quoted_text(const std::string& s) { return "'" + s + "'"; }

// The final state with every map's keys sorted, for a report.
std::string final_state_text(const state::FinalState& fs) {
  std::string out = sorted_map_text("axes", fs.axes, number_text);
  out += sorted_map_text("symbols", fs.symbol_table, number_text);
  out += sorted_map_text("translation", fs.translation, number_text);
  out += "rotation:";
  for (const auto& r : fs.rotation)
    for (double x : r) out += " " + errors::float_text(x);
  out += "\n";
  out += sorted_map_text("strings", fs.string_table, quoted_text);
  return out;
}

std::uint64_t mix(std::uint64_t h) {  // splitmix64's finaliser
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  return h ^ (h >> 31);
}

std::uint64_t text_hash(std::string_view text, std::uint64_t seed) {
  std::uint64_t h = mix(seed ^ text.size());
  for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;  // FNV-1a steps
  return mix(h);
}

// Each entry hashed with its map's title and added up: the same entries in
// any order give the same digest.
template <typename Map, typename Show>
std::uint64_t map_digest(std::uint64_t title, const Map& map, Show show) {
  std::uint64_t sum = mix(title + map.size());
  for (const auto& [k, v] : map) sum += text_hash(std::string(k) + "=" + show(v), title);
  return sum;
}

std::uint64_t final_state_digest(const state::FinalState& fs) {
  std::uint64_t d = map_digest(1, fs.axes, number_text);
  d = mix(d) + map_digest(2, fs.symbol_table, number_text);
  d = mix(d) + map_digest(3, fs.translation, number_text);
  for (const auto& r : fs.rotation)
    for (double x : r) d = mix(d) + text_hash(errors::float_text(x), 4);
  return mix(d) + map_digest(5, fs.string_table, quoted_text);
}

// Standard error goes to a memory file while a run lasts. The file and the
// saved standard error are made once for the process and reused by every
// run, since making and closing them per run costs more than a short run.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    if (files().memfd < 0 || files().saved < 0) return;
    if (ftruncate(files().memfd, 0) != 0 || lseek(files().memfd, 0, SEEK_SET) != 0) return;
    active_ = dup2(files().memfd, 2) >= 0;
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // The captured text; standard error is restored.
  std::string finish() {
    if (!active_) return {};
    std::fflush(stderr);
    active_ = false;
    dup2(files().saved, 2);
    std::string text;
    off_t size = lseek(files().memfd, 0, SEEK_END);
    text.resize(static_cast<std::size_t>(std::max<off_t>(size, 0)));
    if (size > 0 && pread(files().memfd, text.data(), text.size(), 0) != size) text.clear();
    return text;
  }
  ~StderrCapture() { finish(); }

 private:
  struct Files {
    int memfd = memfd_create("kelvane-fuzz-stderr", 0);
    int saved = dup(2);
    // a sanitizer report made while a run is captured goes to the real
    // standard error, not into the capture
    Files() {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
      if (saved >= 0) __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(saved)));
#endif
#endif
    }
  };
  static Files& files() {
    static Files f;  // lives as long as the process
    return f;
  }
  bool active_ = false;
};

// The consumer of every run's rows: one thread for the process, since a
// thread started per run costs more than the run. It takes rows until the
// channel closes, or hangs up at the row cap, when the rows hold too many
// variable changes, or when the run is quiet too long.
class RowConsumer {
 public:
  static RowConsumer& instance() {
    static RowConsumer* consumer = new RowConsumer();  // lives as long as the process
    return *consumer;
  }
  void start(output::Receiver<output::Row> rx, Outcome& out, std::size_t row_cap) {
    std::lock_guard lock(mutex_);
    job_.emplace(Job{std::move(rx), &out, row_cap});
    done_ = false;
    wake_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return done_; });
  }

 private:
  struct Job {
    output::Receiver<output::Row> rx;
    Outcome* out;
    std::size_t row_cap;
  };
  RowConsumer() {
    std::thread([this] { serve(); }).detach();
  }
  void serve() {
    for (;;) {
      std::optional<Job> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return job_.has_value(); });
        job = std::move(job_);
        job_.reset();
      }
      drain(*job);
      job->rx.close();
      std::lock_guard lock(mutex_);
      done_ = true;
      wake_.notify_all();
    }
  }
  static void drain(Job& job) {
    Outcome& out = *job.out;
    std::size_t held_variables = 0;
    for (;;) {
      output::Row row;
      output::RecvStatus st = job.rx.recv_for(row, kQuietLimit);
      if (st == output::RecvStatus::Closed) return;
      held_variables += row.variables.size();
      if (st == output::RecvStatus::Timeout || out.row_count == job.row_cap ||
          held_variables > kHeldVariablesLimit) {
        out.ended_at_row_cap = true;
        return;
      }
      out.rows.push_back(std::move(row));
      ++out.row_count;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Job> job_;
  bool done_ = true;
};

void set_path_environment(Path path) {
  setenv("NC_STAGE1", path == Path::LineDriver || path == Path::LineDriverStreaming ? "1" : "0", 1);
  setenv("NC_VM", path == Path::FrameStack ? "1" : "0", 1);
  setenv("NC_STREAM_MIN_BYTES", path == Path::LineDriverStreaming ? "0" : "67108864", 1);
}

}  // namespace

Input split_input(const std::uint8_t* data, std::size_t size) {
  Input in;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!text.empty() && static_cast<unsigned char>(text[0]) < 0x20 && text[0] != '\n' &&
      text[0] != '\r' && text[0] != '\t') {
    in.options = static_cast<std::uint8_t>(text[0]);
    text.remove_prefix(1);
  }
  if (auto nul = text.find('\0'); nul != std::string_view::npos) {
    in.initial_state = text.substr(0, nul);
    text.remove_prefix(nul + 1);
  }
  in.program = text;
  return in;
}

const char* path_name(Path p) {
  switch (p) {
    case Path::LineDriver: return "line driver";
    case Path::LineDriverStreaming: return "line driver, streaming";
    case Path::Grammar: return "whole-program parse";
    case Path::FrameStack: return "frame-stack executor";
  }
  return "?";
}

namespace {

worker::RunConfig run_config(const Input& input, const RunSettings& settings) {
  worker::RunConfig cfg;
  cfg.program = std::string(input.program);
  if (input.initial_state) cfg.initial_state = std::string(*input.initial_state);
  cfg.iteration_limit = settings.iteration_limit;
  cfg.allow_undefined_variables = settings.allow_undefined_variables;
  cfg.flatten_tolerance = settings.flatten_tolerance;
  return cfg;
}

}  // namespace

Outcome run(const Input& input, const RunSettings& settings, std::size_t row_cap) {
  Outcome out;
  set_path_environment(settings.path);
  StderrCapture capture;

  auto [rows_tx, rows_rx] = output::make_channel<output::Row>(output::kRowChannelCapacity,
                                                                 output::kRowChannelWeight);
  RowConsumer::instance().start(std::move(rows_rx), out, row_cap);

  worker::RunConfig cfg = run_config(input, settings);
  // the worker's own steps, run on this thread
  auto result = worker::run_program(
      cfg, rows_tx.cancel_probe(),
      [&] { return output::OutputRows::streaming(std::move(rows_tx)); },
      [&] { rows_tx.close(); });
  rows_tx.close();
  RowConsumer::instance().wait();
  out.warnings = capture.finish();

  if (result) {
    out.final_state_digest = final_state_digest(*result);
    out.final_state = std::move(*result);
  } else {
    const errors::ParsingError& e = result.error();
    out.error_kind = std::string(e.kind());
    if (auto loc = e.location()) out.error_line = loc->line;
    out.error_message = e.message();
  }
  return out;
}

std::string batches_text(const Input& input, const RunSettings& settings, std::size_t batch_size) {
  set_path_environment(settings.path);
  StderrCapture capture;  // the warnings are the rows runs' to compare
  auto [tables_tx, tables_rx] = output::make_unbounded_channel<output::Table>();
  auto [events_tx, events_rx] = output::make_unbounded_channel<output::VariableEvents>();
  worker::RunConfig cfg = run_config(input, settings);
  auto result = worker::run_program(
      cfg, tables_tx.cancel_probe(),
      [&] {
        return output::OutputRows::batch_stream_with_line_numbers(
            std::move(tables_tx), batch_size, false, true, std::move(events_tx), true);
      },
      [&] {
        tables_tx.close();
        events_tx.close();
      });
  tables_tx.close();
  events_tx.close();
  (void)capture.finish();
  std::string out;
  while (auto t = tables_rx.try_recv()) {
    out += "batch\n";
    for (const auto& c : t->columns) out += output::column_text(c) + "\n";
  }
  while (auto e = events_rx.try_recv()) {
    out += "variable events\n";
    for (const auto& c : e->to_table().columns) out += output::column_text(c) + "\n";
  }
  if (!result) {
    out += "error " + std::string(result.error().kind());
    if (auto loc = result.error().location()) out += " on line " + std::to_string(loc->line);
    out += "\n";
  }
  return out;
}

std::string describe_difference(const Outcome& a, const char* a_name, const Outcome& b,
                                const char* b_name) {
  auto side = [](const Outcome& o, const char* name) {
    std::string s = std::string("=== ") + name + " ===\n";
    s += "error: " + (o.error_kind.empty() ? std::string("none")
                                            : o.error_kind + " on line " +
                                                  std::to_string(o.error_line) + "\n" +
                                                  o.error_message) + "\n";
    s += "rows (" + std::to_string(o.row_count) + (o.ended_at_row_cap ? ", cut short" : "") +
         "):\n";
    for (const auto& row : o.rows) s += row_text(row);
    s += "warnings:\n" + o.warnings;
    s += "final state:\n" + (o.final_state ? final_state_text(*o.final_state) : std::string());
    return s;
  };
  return side(a, a_name) + side(b, b_name);
}

}  // namespace kelvane::fuzz
