// Parse throughput on generated programs of about 10 MB, one thread:
// `file` on a program with control structures, `single_line` line by line on
// simple motion lines.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "types.hpp"

using kelvane::types::NCParser;
using kelvane::types::Rule;

namespace {

constexpr std::size_t kTarget = 10u << 20;

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

int main() {
  const std::string program = structured_program();
  const std::string lines = motion_lines();
  std::vector<std::string_view> split;
  for (std::size_t start = 0; start < lines.size();) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    split.emplace_back(lines.data() + start, end - start);
    start = end + 1;
  }

  const int kRounds = 3;
  double best_file = 1e30;
  double best_line = 1e30;
  std::size_t tokens = 0;
  for (int round = 0; round < kRounds; ++round) {
    best_file = std::min(best_file, seconds([&] {
      auto r = NCParser::parse(Rule::file, program);
      if (!r) {
        std::fputs(r.error().display.c_str(), stderr);
        std::exit(1);
      }
      tokens = r->peek()->tree()->tokens.size();
    }));
    best_line = std::min(best_line, seconds([&] {
      for (std::string_view l : split) {
        auto r = NCParser::parse(Rule::single_line, l);
        if (!r) {
          std::fputs(r.error().display.c_str(), stderr);
          std::exit(1);
        }
      }
    }));
  }
  const double mb_file = static_cast<double>(program.size()) / 1e6;
  const double mb_line = static_cast<double>(lines.size()) / 1e6;
  std::printf("parse file        %6.1f MB in %7.3f s: %7.1f MB/s (%zu tokens)\n", mb_file,
              best_file, mb_file / best_file, tokens);
  std::printf("parse single_line %6.1f MB in %7.3f s: %7.1f MB/s (%zu lines)\n", mb_line,
              best_line, mb_line / best_line, split.size());
  return 0;
}
