// interpret_file on a generated program of about 10 MB with WHILE loops, IF
// blocks and R-parameter arithmetic, one thread, rows collected in memory.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "interpreter.hpp"
#include "output.hpp"
#include "state.hpp"

using namespace kelvane;

namespace {

std::string generate(std::size_t target_bytes, std::size_t& lines) {
  std::string s;
  s.reserve(target_bytes + 4096);
  lines = 0;
  auto add = [&](const std::string& l) {
    s += l;
    s += '\n';
    ++lines;
  };
  add("G90 G17 G1 F1000");
  add("R2=0 R3=0");
  for (std::size_t i = 0; s.size() < target_bytes; ++i) {
    const std::string n = std::to_string(i % 997);
    add("N" + std::to_string(10 * (i % 9999) + 10) + " R1=0 ; pass " + std::to_string(i));
    add("WHILE R1<4");
    add("  R1=R1+1");
    add("  R2=R2+R1*1.5-" + n + "/1000");
    add("  G1 X=R1*10+" + n + " Y=R2/2 Z=-R1*0.25");
    add("ENDWHILE");
    add("IF R2>100");
    add("  R2=R2-100 R3=R3+1");
    add("  G0 Z=R3");
    add("ELSE");
    add("  G1 X=SIN(R2)*5 Y=COS(R2)*5");
    add("ENDIF");
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10;
  std::size_t lines = 0;
  const std::string program = generate(mb * 1000 * 1000, lines);

  double best = 1e300;
  std::size_t rows_out = 0;
  for (int rep = 0; rep < 3; ++rep) {
    auto st = state::build_state(std::nullopt, std::nullopt, 10000, std::nullopt, false);
    if (!st) {
      std::fprintf(stderr, "%s\n", st.error().message().c_str());
      return 1;
    }
    auto rows = output::OutputRows::collecting();
    const auto t0 = std::chrono::steady_clock::now();
    auto r = interpreter::interpret_file(program, *st, rows);
    auto done = rows.finish();
    const auto t1 = std::chrono::steady_clock::now();
    if (!r) {
      std::fprintf(stderr, "%s\n", r.error().message().c_str());
      return 1;
    }
    rows_out = done ? done->size() : 0;
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  const double bytes = static_cast<double>(program.size());
  std::printf("interpret_file: %.1f MB, %zu source blocks, %zu rows\n", bytes / 1e6, lines,
              rows_out);
  std::printf("best of 3: %.3f s  %.1f MB/s  %.0f source blocks/s  %.0f rows/s\n", best,
              bytes / 1e6 / best, static_cast<double>(lines) / best,
              static_cast<double>(rows_out) / best);
  return 0;
}
