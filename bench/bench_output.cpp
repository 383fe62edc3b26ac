// Throughput of the row collector, the batch builder, the row channel and the
// G-word table on simple motion blocks (one worker thread, one consumer).
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "modal_groups.hpp"
#include "output.hpp"

using namespace kelvane::output;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kBlocks = 2'000'000;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The cells of one simple motion block: N, G1 every tenth block, X, Y, F.
void write_motion_block(OutputRows& out, std::size_t i, std::string_view n, std::string_view x,
                        std::string_view y, std::string_view f) {
  out.row.line = i + 1;
  out.row.cells.insert(n, std::to_string(i * 10));
  if (i % 10 == 0) out.row.cells.insert(kelvane::modal_groups::kMotionColumn, std::string("G1"));
  out.row.cells.insert(x, static_cast<double>(i % 1000) * 0.5);
  out.row.cells.insert(y, static_cast<double>(i % 777) * 0.25);
  if (i % 50 == 0) out.row.cells.insert(f, 1200.0);
}

void bench_batches(std::size_t batch_size) {
  auto [ttx, trx] = make_channel<Table>(kTableChannelCapacity);
  auto [etx, erx] = make_unbounded_channel<VariableEvents>();
  std::size_t received_rows = 0;
  std::thread consumer([&received_rows, rx = std::move(trx)]() mutable {
    while (auto t = rx.recv()) received_rows += t->num_rows();
  });
  const auto n = intern_column("N"), x = intern_column("X"), y = intern_column("Y"),
             f = intern_column("F");
  const auto t0 = Clock::now();
  OutputRows out = OutputRows::batch_stream_with_line_numbers(std::move(ttx), batch_size, false,
                                                              false, std::move(etx), true);
  for (std::size_t i = 0; i < kBlocks; ++i) {
    if (!out.flush()) break;
    write_motion_block(out, i, n, x, y, f);
  }
  (void)out.finish();
  consumer.join();
  const double s = seconds_since(t0);
  std::printf("batch builder (batch_size %zu): %zu rows in %.3f s, %.2f M rows/s\n", batch_size,
              received_rows, s, received_rows / s / 1e6);
}

void bench_row_stream() {
  auto [tx, rx] = make_channel<Row>(kRowChannelCapacity);
  std::size_t received = 0;
  std::thread consumer([&received, rx = std::move(rx)]() mutable {
    while (auto r = rx.recv()) received += r->cells.size() > 0;
  });
  const auto n = intern_column("N"), x = intern_column("X"), y = intern_column("Y"),
             f = intern_column("F");
  const auto t0 = Clock::now();
  OutputRows out = OutputRows::streaming(std::move(tx));
  for (std::size_t i = 0; i < kBlocks; ++i) {
    if (!out.flush()) break;
    write_motion_block(out, i, n, x, y, f);
  }
  (void)out.finish();
  consumer.join();
  const double s = seconds_since(t0);
  std::printf("row stream (capacity %zu): %zu rows in %.3f s, %.2f M rows/s\n", kRowChannelCapacity,
              received, s, received / s / 1e6);
}

void bench_classify() {
  const std::vector<std::string> words = {"G1", "G0", "G2", "G17", "G90", "G500", "G641",
                                          "TRANS", "BSPLINE", "CUT3DCC", "GFRAME[12]", "G01"};
  constexpr std::size_t kCalls = 50'000'000;
  std::size_t hits = 0;
  const auto t0 = Clock::now();
  for (std::size_t i = 0; i < kCalls; ++i) {
    const std::string& w = words[i % words.size()];
    hits += kelvane::modal_groups::classify_g_command(w).has_value();
  }
  const double s = seconds_since(t0);
  std::printf("classify_g_command: %.1f ns per call (%zu hits)\n", s / kCalls * 1e9, hits);
}

}  // namespace

int main() {
  bench_classify();
  bench_row_stream();
  bench_batches(500'000);
  bench_batches(1'000);
  return 0;
}
