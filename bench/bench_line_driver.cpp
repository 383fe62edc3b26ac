// The line driver on about 100 MB of generated simple motion lines: the word
// decoder alone and whole runs (rows streamed to a draining consumer thread),
// in memory and streaming, with one pool thread and with the whole pool.
//
// The pool size is fixed per process (RAYON_NUM_THREADS is read once), so the
// program runs itself once per thread setting: `bench_line_driver` alone
// starts the children, `bench_line_driver --child` measures.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "line_driver.hpp"
#include "output.hpp"
#include "state.hpp"

using namespace kelvane;

namespace {

std::string generate(std::size_t target_bytes, std::size_t& lines) {
  std::string s;
  s.reserve(target_bytes + 4096);
  lines = 0;
  s += "G90 G17 G1 F1000\n";
  char buf[160];
  for (std::size_t i = 0; s.size() < target_bytes; ++i) {
    const double x = static_cast<double>(i % 2000) * 0.125;
    const double y = static_cast<double>((i * 7) % 1500) * 0.25 - 100.0;
    const double z = -static_cast<double>(i % 40) * 0.05;
    int n;
    switch (i % 8) {
      case 0: n = std::snprintf(buf, sizeof buf, "N%zu G1 X%.3f Y%.3f Z%.3f F1200\n", i, x, y, z); break;
      case 1: n = std::snprintf(buf, sizeof buf, "X%.3f Y%.3f\n", x, y); break;
      case 2: n = std::snprintf(buf, sizeof buf, "G0 Z%.2f ;retract\n", z + 5.0); break;
      case 3: n = std::snprintf(buf, sizeof buf, "G2 X%.3f Y%.3f I1.5 J-0.5\n", x, y); break;
      case 4: n = std::snprintf(buf, sizeof buf, "X%.3f Y%.3f Z%.3f\n", x, y, z); break;
      case 5: n = std::snprintf(buf, sizeof buf, "G1 X%.3f S8000 M3\n", x); break;
      case 6: n = std::snprintf(buf, sizeof buf, "Y%.3f\n", y); break;
      default: n = std::snprintf(buf, sizeof buf, "X%.3f Y%.3f\n", y, x); break;
    }
    s.append(buf, static_cast<std::size_t>(n));
    ++lines;
  }
  return s;
}

double seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One whole run with rows streamed over the row channel to a consumer thread.
double run_once(const std::string& program, bool streaming, std::size_t& rows_seen) {
  ::setenv("NC_STREAM_MIN_BYTES", streaming ? "0" : "18446744073709551615", 1);
  auto st = state::build_state(std::nullopt, std::nullopt, 10000, std::nullopt, false);
  if (!st) std::abort();
  state::State state = std::move(*st);
  auto [tx, rx] = output::make_channel<output::Row>(output::kRowChannelCapacity);
  std::size_t count = 0;
  std::thread consumer([&rx, &count] {
    while (auto row = rx.recv()) ++count;
  });
  const auto t0 = std::chrono::steady_clock::now();
  state.set_input(std::string_view(program));
  auto rows = output::OutputRows::streaming(std::move(tx));
  auto flow = line_driver::interpret_lines(state.source_text(), rows, state);
  if (!flow) {
    std::fprintf(stderr, "run failed: %s\n", flow.error().message().c_str());
    std::abort();
  }
  auto finished = rows.finish();
  const double t = seconds(t0);
  consumer.join();
  rows_seen = count;
  return t;
}

int child() {
  std::size_t lines = 0;
  const std::string program = generate(100u << 20, lines);
  const double mb = static_cast<double>(program.size()) / 1e6;
  std::printf("pool threads %zu, program %.1f MB, %zu lines\n", line_driver::pool_threads(), mb,
              lines);

  {
    const auto t0 = std::chrono::steady_clock::now();
    const auto split = line_driver::split_lines(program);
    const auto decoded = line_driver::decode_all_lines(split, program.size());
    const double t = seconds(t0);
    std::size_t words = 0;
    for (const auto& c : decoded.chunks) words += c.words.size();
    std::printf("  split+decode          %7.3f s  %8.1f MB/s  (%zu chunks, %zu words)\n", t, mb / t,
                decoded.chunks.size(), words);
  }
  for (bool streaming : {false, true}) {
    double best = 1e30;
    std::size_t rows = 0;
    for (int rep = 0; rep < 2; ++rep) best = std::min(best, run_once(program, streaming, rows));
    std::printf("  interpret_lines %-9s %6.3f s  %8.1f MB/s  (%zu rows)\n",
                streaming ? "streamed" : "in memory", best, mb / best, rows);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--child") return child();
  const std::string self = argv[0];
  int rc = std::system(("RAYON_NUM_THREADS=1 '" + self + "' --child").c_str());
  if (rc == 0) rc = std::system(("env -u RAYON_NUM_THREADS '" + self + "' --child").c_str());
  return rc == 0 ? 0 : 1;
}
