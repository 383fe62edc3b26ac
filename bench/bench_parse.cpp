// Parse throughput on generated programs of about 10 MB, one thread:
// `file` on a program with control structures, `single_line` line by line on
// simple motion lines.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "types.hpp"

using kelvane::types::NCParser;
using kelvane::types::Rule;

namespace {

std::size_t kTarget = 10u << 20;

std::string structured_program() {
  std::string p;
  p.reserve(kTarget + 4096);
  p += "; generated program with control structures\nDEF REAL DEPTH, STEP=0.5\nG17 G90 G54\n";
  unsigned n = 10;
  while (p.size() < kTarget) {
    const std::string k = std::to_string(n % 997);
    p += "N" + std::to_string(n) + " G1 X" + k + ".25 Y-" + k + ".5 Z0.5 F1200 ; pass\n";
    p += "R1=R1+1\n";
    p += "IF R1>5 ; every sixth pass\n";
    p += "  G0 Z5\n  R2=SIN(R1*10)+COS(R1)/2\n";
    p += "ELSE\n  G2 X" + k + " Y1 I2.5 J0 M3 S1200\nENDIF\n";
    p += "WHILE R3<2\n  R3=R3+1\n  X=IC(0.1) Y=$AA_IW[X]+1\nENDWHILE\n";
    p += "FOR R4=1 TO 2\n  TRANS X1 Y2\n  GOTOF LBL" + k + "\n  LBL" + k + ": M5\nENDFOR\n";
    n += 10;
  }
  return p;
}

std::string motion_lines() {
  std::string p;
  p.reserve(kTarget + 256);
  unsigned n = 0;
  while (p.size() < kTarget) {
    const std::string a = std::to_string(n % 1000);
    const std::string b = std::to_string((n * 7) % 1000);
    p += "G1 X" + a + ".123 Y-" + b + ".45 Z1.5 F1200\n";
    if (n % 4 == 0) p += "X" + b + ".5 Y" + a + "\n";
    ++n;
  }
  return p;
}

template <typename F>
double seconds(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

// Usage: bench_parse [file|line|both] [rounds] [MiB]; both rules, 5 rounds and
// 10 MiB by default.
int main(int argc, char** argv) {
  const std::string_view which = argc > 1 ? argv[1] : "both";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  if (argc > 3) kTarget = static_cast<std::size_t>(std::max(1, std::atoi(argv[3]))) << 20;
  const bool do_file = which != "line";
  const bool do_line = which != "file";
  const std::string program = do_file ? structured_program() : std::string();
  const std::string lines = do_line ? motion_lines() : std::string();
  std::vector<std::string_view> split;
  for (std::size_t start = 0; start < lines.size();) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    split.emplace_back(lines.data() + start, end - start);
    start = end + 1;
  }

  std::vector<double> file_times;
  std::vector<double> line_times;
  std::size_t tokens = 0;
  for (int round = 0; round < rounds; ++round) {
    if (do_file) file_times.push_back(seconds([&] {
      auto r = NCParser::parse(Rule::file, program);
      if (!r) {
        std::fputs(r.error().display.c_str(), stderr);
        std::exit(1);
      }
      tokens = r->peek()->tree()->tokens.size();
    }));
    if (do_line) line_times.push_back(seconds([&] {
      for (std::string_view l : split) {
        auto r = NCParser::parse(Rule::single_line, l);
        if (!r) {
          std::fputs(r.error().display.c_str(), stderr);
          std::exit(1);
        }
      }
    }));
  }
  // best and median of the rounds
  const auto report = [](const char* name, double mb, std::vector<double> t, const char* what,
                         std::size_t count) {
    std::sort(t.begin(), t.end());
    const double median = t[t.size() / 2];
    std::printf("parse %-11s %6.1f MB: best %7.1f MB/s, median %7.1f MB/s (%zu %s)\n", name, mb,
                mb / t.front(), mb / median, count, what);
  };
  if (do_file) report("file", static_cast<double>(program.size()) / 1e6, file_times, "tokens", tokens);
  if (do_line)
    report("single_line", static_cast<double>(lines.size()) / 1e6, line_times, "lines", split.size());
  return 0;
}
