// The line driver must give the same rows, warnings, outcome and final state
// as the grammar path for every structure-free program, in memory and when
// streaming, decoded sequentially and in parallel chunks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_line_driver_fixture.hpp"

namespace kelvane::test {
namespace {

struct Program {
  const char* name;
  std::string text;
  Config config = {};
};

std::vector<Program> corpus() {
  Config limit3;
  limit3.iteration_limit = 3;
  Config undefined_ok;
  undefined_ok.allow_undefined = true;
  Config extra_axes;
  extra_axes.axes = std::vector<std::string>{"X", "Y", "Z", "A", "Q1", "W"};
  Config with_initial;
  with_initial.initial_state = "R1=4\nTRANS X100 Y-1\nG18\n";
  return {
      {"motion", "N10 G1 X10.5 Y-2 ;go\nX20\nG0 Z5 M3\nY-0 Z-.0\nX5. Y0.25 F1000 S2000\n"},
      {"lower case and odd spacing",
       "n10 x5\ng1  x1\ty2\n   \n\t\tG2 X1 Y1 I0.5 J0 ;arc\nm3  m8\n  N20   X1  ;  spaced  \n"},
      {"crlf", "N1 X1\r\nN2 Y2 ;c\r\n\r\nR1=5\r\nX=R1*2\r\nX2 ;c\r"},
      {"no final line end", "X1\nY2"},
      {"empty", ""},
      {"blank lines only", "\n  \n\t\n"},
      {"comments", ";only a comment\nX1 ; after\n N5 ;block number and comment\n;\n"},
      {"constant assignments",
       "A=5\nABC = 2*3 - 1\nD=1/0\nE=-4/-2\nF=5--3\nR7=- -3\nVAL=1+2*3\nZERO=0/0\nNEG=-0\n"
       "U= 2 * 3 / 4\n"},
      {"products and increments",
       "AA=4\nB=(3*AA)\nC=(AA*2)\nX=IC(1)\nX=IC(2*AA)\nY=( 2 * aa )\nQQ=IC(-1.5)\nQQ=IC(2)\n"
       "I=IC(1)\nK=(0.5)\n"},
      {"increment before position", "Z=IC(5)\nY=IC(AA*2)\n", undefined_ok},
      {"undefined variable in a product", "X1\nB=(3*NOPE)\nX2\n"},
      {"undefined allowed", "B=(3*NOPE)\nC=(NOPE*2)\n", undefined_ok},
      {"block addresses", "G2 X1 Y1 I2 J-3 K0\nCR=5 TURN=2\nPL=1 SD=2 PW=3\nI=(2)\n"},
      {"m words", "M3 M8 m5\nM1 M2 M3 M4 M5\nM6 M7 M8 M9 M10 M11\n"},
      {"end of program", "X1\nM30 X5\nX99\n"},
      {"m2 then more", "M02\nX2\n"},
      {"g words and planes",
       "G17\nG18 G2 X1 Z1 K1\ng19\nG4 F2\nG4 S3\nG91 X1\nG90 X2\nG91\nG64 G90\nG500\n"},
      {"named g commands", "ASPLINE X1 Y2\nCIP X1\nBSPLINE\nCSPLINE X3\nG1 CIP\n"},
      {"calls",
       "FOO\nFOO (1, -2.5)\nBAR()\nFOO  X1\nX\nSUB_1 ( )\nL100\nP2\nPROG(1,2,3) X1 CALLME\n"},
      {"axis typo calls", "X10Y20\nXY10Z\nX1Y2Z\nAB12C X1\n"},
      {"refused lines", "G01 X1\nR1=5\nR2=R1*2 X=R1\nX=SIN(30)\nX=IC(2+1)\nA[1]=1\n"},
      {"labels", "START: X1\nLOOP_1:\nab: Y1\n_x: Z1\nN20 LBL: X3\n"},
      {"jumps forward",
       "R1=0\nGOTOF SKIP\nX1\nSKIP: X2\nGOTOF N40\nX3\nN40 X4\nGOTO N0050\nX5\nN50 X6\n"},
      {"jumps backward with limit", "N10 X1\nR1=R1+1\nGOTOB N10\n", limit3},
      {"jump to label alone on its line", "R1=0\nMARK:\nX=R1\nR1=R1+1\nIF R1<3 GOTOB MARK\nX99\n"},
      {"jump not found", "X1\nGOTOF NOWHERE\nX2\n"},
      {"gotoc and gotos", "X1\nGOTOC NOWHERE\nGOTOS\nX2\n"},
      {"case",
       "R2=2\nCASE R2 OF 1 GOTOF LA 2 GOTOF LB DEFAULT GOTOF LC\nLA: X1\nLB: X2\nLC: X3\n"},
      {"if goto in a loop", "R1=0\nN10 R1=R1+1 X=R1\nIF R1<5 GOTOB N10\nM30\n"},
      {"frames",
       "TRANS X10\nX5\nATRANS Y2\nX1 Y1\nAROT Z90\nX1 Y0\nG2 X0 Y1 I-1 J0\nX=IC(1)\nTRANS\nX1\n"
       "ROT Z30\nZ5\nX=(2)\nROT\nX0\n"},
      {"strings", "DEF STRING[10] NAME=\"abc\"\nT=\"DRILL\"\nX1\nNAME=5\n"},
      {"string product target", "DEF STRING[8] SS\nSS=(2)\n"},
      {"numeric definitions", "DEF REAL Q=2\nQ=Q+1\nDEF INT K1=3\nX=(2*Q)\n"},
      {"unsupported addresses", "AR=90\nAP=1 RP=2\nAR=5\nap=(2) RP=IC(3)\n"},
      {"reserved and frame words", "DEF=5\nDIV=2\nTO=1\nTRANS=1\nA AND B\nROT X1\n"},
      {"custom axes", "Q1=5\nq1=(2)\nW7 Q1=IC(1)\nB5\nw=(3)\n", extra_axes},
      {"initial state carries over", "X1 Y1\nX=(R1*2)\nG2 X1 Z1 I1 K0\n", with_initial},
      {"number forms", "X1.\nX-1.5\nX00012.500\nX-0\nY=1.\nY=-0.\nX1e3\nX1_\nX2 Y1_\n"},
      {"huge numbers",
       "X" + std::string(400, '9') + "\nY0." + std::string(400, '0') + "1\nA=" +
           std::string(320, '9') + "*" + std::string(320, '9') + "\n"},
      {"long label run", std::string(32, 'B') + ": X2\n" + "N1 " + std::string(32, 'B') + ": X2\n"},
      {"non ascii", "X1 ;Ümlaut comment\nX2 ;\t tab\n"},
  };
}

// Programs with a syntax error on one line after valid ones: the error is
// found at the same place and no row is produced.
std::vector<Program> broken() {
  return {
      {"closing parenthesis", "X1\nY2\nX1 )\n"},
      {"dollar", "X1\nX1 $\n"},
      {"quote", "X1\nX1 \"a\"\n"},
      {"dangling equals", "X1\nY2 =\n"},
      {"leading point", "X1\nX.5\n"},
      {"plus sign", "X1\nX+1\n"},
      {"two points", "X1\nX1..2\n"},
      {"label too long", "X1\n" + std::string(33, 'A') + ": X1\n"},
      {"non ascii word", "X1\nX2 \xc3\x9c\n"},
      {"address with value and equals", "X1\nA1=4\n"},
      {"unknown g code", "X1\nG01 X1\n"},
      {"too many m words", "X1\nM1 M2 M3 M4 M5 M6\nX2\n"},
      {"string assigned a number", "DEF STRING[4] SN\nX1\nSN=5\n"},
  };
}

void check_all(const char* mode) {
  for (const Program& p : corpus()) {
    const Outcome grammar = run_grammar(p.text, p.config);
    const Outcome lines = run_lines(p.text, p.config);
    expect_same_outcome(grammar, lines, std::string(mode) + ": " + p.name);
  }
  for (const Program& p : broken()) {
    const Outcome grammar = run_grammar(p.text, p.config);
    const Outcome lines = run_lines(p.text, p.config);
    EXPECT_TRUE(grammar.error) << p.name;
    expect_same_outcome(grammar, lines, std::string(mode) + ": " + p.name);
  }
}

TEST(LineDriverEquivalence, InMemory) {
  EnvVar stream("NC_STREAM_MIN_BYTES", std::nullopt);
  EnvVar stats("NC_STAGE1_STATS", std::nullopt);
  check_all("in memory");
}

TEST(LineDriverEquivalence, StreamingOrItsFallback) {
  // every program is long enough to try streaming; those with jumps fall back
  EnvVar stream("NC_STREAM_MIN_BYTES", "0");
  EnvVar stats("NC_STAGE1_STATS", std::nullopt);
  check_all("streaming");
}

// A program above the parallel threshold, made of the corpus' jump-free
// programs repeated, decoded in parallel chunks (and streamed in ranges).
TEST(LineDriverEquivalence, ParallelChunksAndRanges) {
  if (line_driver::pool_threads() < 2) GTEST_SKIP() << "the pool has one thread";
  std::string unit =
      "N10 G1 X10.5 Y-2 ;go\nX20 Y=(2*R1)\nR1=R1+1 A=IC(0.5)\nG2 X1 Y1 I0.5 J0\nM3 M8\n"
      "FOO(1, 2)\nR2=R1*2 X=R2\n\nG0 Z5 ;c\nBSPLINE X1\nB=(R1*3) C=IC(1)\n";
  std::string program = "R1=0\n";
  while (program.size() < line_driver::kParallelDecodeMinBytes + 4096) program += unit;
  const Outcome grammar = run_grammar(program);
  ASSERT_FALSE(grammar.error) << *grammar.error;
  {
    EnvVar stream("NC_STREAM_MIN_BYTES", std::nullopt);
    expect_same_outcome(grammar, run_lines(program), "parallel in memory");
  }
  {
    EnvVar stream("NC_STREAM_MIN_BYTES", "1000");
    expect_same_outcome(grammar, run_lines(program), "parallel streaming");
  }
  // a jump anywhere keeps the in-memory mode, still in parallel chunks
  const std::string with_jump = program + "GOTOF DONE\nX1\nDONE: X2\n";
  const Outcome grammar_jump = run_grammar(with_jump);
  EnvVar stream("NC_STREAM_MIN_BYTES", "1000");
  expect_same_outcome(grammar_jump, run_lines(with_jump), "parallel with a jump");
}

}  // namespace
}  // namespace kelvane::test
