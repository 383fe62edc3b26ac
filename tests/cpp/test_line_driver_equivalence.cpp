// The line driver must give the same rows, warnings, outcome and final state
// as the grammar path for every structure-free program, in memory and when
// streaming, decoded sequentially and in parallel chunks.
#include <gtest/gtest.h>

#include <algorithm>
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
  Config many_axes;
  many_axes.axes = std::vector<std::string>{"X", "Y", "Z", "A", "B", "C", "U", "V", "W",
                                            "D", "E", "F", "S", "H", "K2"};
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
      {"expressions with variables",
       "R1=2 R2=-3\nX=R1*2+R2 Y=R1-R2/4\nR3=R1+R2*R1-1\nR4=-R1+ -2*R2\nZ=R1*-2\n"
       "R5=R1 - -R2\nR6=R1/0\nX=r1*2 ;lower\nR7=R1*2 R8=R7+1\nN5 R1=R1+1 X=R1*3\n"
       "Y=R1+2 G1 X=R2*R1\nF=R1*100\nR9=2*R1*R1/3-R2\nI=R1*2 J=R2+1\nAP=R1+1\n"
       "X=IC(2) Y=R1+X\nR10 = R1 + 1 R11 = - R10\nTURN=R1+1\n"},
      {"expressions the decoder leaves to the grammar",
       "R1=2\nR2=R1 AND 1\nR3=R1 DIV 2\nR4=R1<3\nR5=SIN(R1)+1\nR7=R1 OR2\nR9=NOT R1+1\n"
       "R10=R1+NOTE\nR12=R1\nX=R1\nR13=(R1+1)*2\nR14=R1*(2)\n", undefined_ok},
      {"parenthesised expressions",
       "R1=2 R2=3\nX=(R1+R2)/2 Y=R1*(R2-(1/R1))\nZ=(R1*2)+3\nA=(-R1*2) B=(1+R1)\n"
       "R3=((R1+1)*(R2-1))/-(R1)\nX=( R1 + 1 ) ;c\nY=(R1)*1\nR4=(NOPE+1)\n"},
      {"identifiers of a letter and digits",
       "R1=2\nR2=R1+1 X=R2*2\nL100\nP2\nQ1=5 R3=Q1*2\nO5 X1\nR4\nR5 X1\nL10(1,2)\nr6=3\n"
       "R7=R6\nR8=-R1*1\nR9=R8/R1\nN10 R10=1\nX1 R11=2 Y=R11*2\nR12=1E3\nR13=1.5.2\n"
       "  R1I\nL1X(2)\nP2Q\n"},
      {"not-a-number negated", "R1=0/0\nX=-R1*1\nY=- -R1*1\nZ=R1*-1\n"},
      {"motion blocks among frames",
       "N1 X1 Y1 CR=2\nTRANS X10 Z-1\nN2 X2 Y2 Z3\nG3 X3 CR=-2.5 I1\nATRANS Y5\nX4\nROT Z45\n"
       "X5 Y5\nG2 X6 Y6 I1 J1\nROT\nX6\nTRANS\nX7 Y7 Z7\nx=8 y = -8\n"},
      {"axes positioned one after another",
       "X1\nY1\nZ1\nX2\nA1\nB1\nX3 Y3\nC1\nU1\nV1\nW1 X4\nD1\nE1\nF1 S1\nH1\nX5 Y5 Z5 A5 B5 C5 "
       "U5 V5 W5 D5 E5 F5 S5 H5\n",
       many_axes},
      {"letters that are variables on motion lines", "T1 X1\nH2 Y2\nX3 T2\nR1=T\nW4 X=R1\n"},
      {"block numbers and m words",
       "N0010 X1\nN007\nN123456789012345678 X2\nN1234567890123456789 X3\nN10 M3 S6000\n"
       "M3 X1 M8 M5\nm3 X2\nM03 M0 M117\nM1 M3 M4 M5 M6\nX9 M30\nX10\n"},
      {"repeated words and modes",
       "X1 X2 Y1 Y=2\nG1 G0 X3\ng1 x4 g0\nG91 X1\nG91 X2\nG4 F1\nG4 S2 X1\nN007 X1\n"
       "R5=2 X=R5\nR6=1\nR7=2\nN8\nFOO X1 FOO\n"},
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

std::string nested(std::size_t levels) {
  return "X=" + std::string(levels, '(') + "1" + std::string(levels, ')') + "\n";
}

// Lines on which the decoder, the sparse parse or the executor once gave
// other rows, warnings, errors or final state than the grammar path.
std::vector<Program> divergences() {
  Config lower_axes;
  lower_axes.axes = std::vector<std::string>{"x", "Y", "Z", "i", "N"};
  Config undefined_ok;
  undefined_ok.allow_undefined = true;
  const std::size_t bound = types::kMaxNesting;
  return {
      // the block number is written first on the grammar path, then N
      {"axis N assigned after a block number", "N30 N=2\nN40 n=IC(1)\nN50 X1 N=(3)\n"},
      // DEF and a data type open a definition, even glued to a name
      {"DEF glued to a data type", "DEFINT B\n"},
      {"DEF glued to a data type and a name", "DEFREALQQ=2\nX=(QQ*2)\n"},
      // NOT in a product is the prefix operator
      {"NOT after the factor", "X=(2*NOT)\n"},
      {"NOT before the factor", "X=(not*2)\n"},
      // string literals over line ends, with decodable lines inside
      {"string over a line end", "T=\"a\nb\"\nX1\n"},
      {"string over decodable lines", "T=\"a\nX1\n;c\n\nb\" X2\nY1\n"},
      {"string over a crlf", "T=\"a\r\nb\"\r\nX1\r\n"},
      {"string with a semicolon over a line end", "T=\"a;b\nc\" ;d\"\nX1\n"},
      {"string over a line end in a jump loop",
       "R1=0\nN10 T=\"a\nb\" R1=R1+1\nIF R1<2 GOTOB N10\nX=R1\n"},
      {"string never closed", "X1\nT=\"abc\nX2\n"},
      {"string over a line end, then a syntax error", "X1\nT=\"a\nb\" )\nX2\n"},
      {"string argument over a line end, then a syntax error", "X1\nFOO(\"a\nb\"X)\n"},
      // a carriage return not followed by a line feed is no line end
      {"carriage return ending the last line", "X1\nA\r"},
      {"carriage return alone on the last line", "X1\n\r"},
      {"carriage return before a crlf", "X1\r\r\nY1\n"},
      {"blanks and a carriage return ending the last line", "X1\r\n  \r"},
      // the explanation of a syntax error is the whole program's
      {"text after a complete block", "X1\nM2=5\nX2\n"},
      {"text after a complete block on the last line", "X1\nM2=5"},
      {"text after a label", "X1\nA1: X1\n"},
      {"syntax error at the start of the program", ")\nX1\n"},
      {"syntax error at the start of a line", "X1\n)\n"},
      {"non-ASCII character", "X1\n\xc3\xa9 X1\n"},
      // one nesting bound on every path
      {"nesting one level below the bound", nested(bound - 1)},
      {"nesting at the bound", "X1\n" + nested(bound)},
      {"nesting beyond the bound", "X1\n" + nested(bound + 1)},
      // the order of the increment and address warnings, and of the string test
      {"increment of an unsupported address", "RP=IC(1)\n"},
      {"STRING variable assigned an increment", "DEF STRING[4] AR\nAR=IC(1)\n"},
      {"STRING variable in a product", "DEF STRING[4] NM\nX=(NM*2)\n"},
      {"STRING variable in a product, undefined allowed", "DEF STRING[4] NM\nX=(2*NM)\n",
       undefined_ok},
      {"increment of negative zero without a position", "X=IC(-0)\n"},
      // axes configured in lower case are not positioned by their names
      {"axes configured in lower case",
       "X1 Y2\nx=3\nI5\ni=IC(2)\nX=IC(1)\nX=(2)\nR1=(2*X)\nTRANS X5\nX1\n", lower_axes},
      {"STRING variable named like a lower-case axis", "DEF STRING[4] X\nX=(2)\n", lower_axes},
      // expressions of variables: errors and values as the grammar reads them
      {"undefined variable in an expression", "X1\nR1=NOPE+1\nX2\n"},
      {"undefined variables allowed in an expression", "R1=NOPE*2+1\nX=R1+NOPE2\n", undefined_ok},
      {"STRING variable in an expression", "DEF STRING[4] SV\nX1\nR1=SV+1\n"},
      {"STRING variable assigned an expression", "DEF STRING[4] SV\nR1=1\nSV=R1+1\n"},
      {"array element in an expression", "R1=1\nR2=R1+R[1]\n"},
      {"frame word in an expression", "R1=1\nX=R1*TRANS\n"},
      {"expression in lower-case axes", "R1=2\nx=R1*2\ni=R1+1\nX=R1-1\n", lower_axes},
      // a lone variable is read as a number unless it, or the name it is
      // assigned to, is a STRING variable: then the grammar runs the line
      {"lone variables",
       "R1=2 R2=-3\nX=R1 Y=R2\nR3=R1\nZ=-R1 A=--R2\nB=((R1)) ;c\nN7 G1 X=R2 F=R1\n"
       "r4=r1\nx=r2\nT=R1\nR5=R9\n"},
      {"lone variables undefined allowed", "X=NOPE Y=-NOPE\nR1=NOPE2\nZ=R1\n", undefined_ok},
      {"lone variable undefined", "X1\nY=NOPE\nX2\n"},
      {"lone STRING variable assigned to an axis", "DEF STRING[4] SV\nSV=\"12\"\nX1 Y=SV Z2\n"},
      {"lone STRING variable negated", "DEF STRING[4] SV\nSV=\"ab\"\nY=-SV\n"},
      {"lone STRING variable assigned to a variable",
       "DEF STRING[4] SV\nSV=\"12\"\nR1=SV\nX=R1\nsv=\"3\"\nR2=sv X1\n"},
      {"lone variable assigned to a STRING variable",
       "DEF STRING[4] SV\nR1=2\nSV=R1\nX=SV\n"},
      {"lone variable in lower-case axes", "R1=2\nx=R1\ni=R1\nX=R1\n", lower_axes},
  };
}

// The grammar path writes its batches on the executor's thread; the line
// path is asked for a writer thread too, which it declines.
void check_all(const char* mode, const OutputMode& output = {}) {
  OutputMode on_executor = output;
  on_executor.writer_thread = false;
  for (const Program& p : divergences()) {
    const Outcome grammar = run_grammar(p.text, p.config, on_executor);
    const Outcome lines = run_lines(p.text, p.config, output);
    expect_same_outcome(grammar, lines, std::string(mode) + ": " + p.name);
  }
  for (const Program& p : corpus()) {
    const Outcome grammar = run_grammar(p.text, p.config, on_executor);
    const Outcome lines = run_lines(p.text, p.config, output);
    expect_same_outcome(grammar, lines, std::string(mode) + ": " + p.name);
  }
  for (const Program& p : broken()) {
    const Outcome grammar = run_grammar(p.text, p.config, on_executor);
    const Outcome lines = run_lines(p.text, p.config, output);
    EXPECT_TRUE(grammar.error) << p.name;
    expect_same_outcome(grammar, lines, std::string(mode) + ": " + p.name);
  }
}

// A call without arguments keeps the blanks written after its name.
TEST(LineDriverEquivalence, CallTextAsWritten) {
  const std::string program = "FOO  X1\nBAR ;c\nBAZ \nQUX\n";
  for (const Outcome& out : {run_grammar(program), run_lines(program)}) {
    ASSERT_EQ(out.rows.size(), 4u) << out.error.value_or("");
    const char* texts[] = {"FOO  ", "BAR ", "BAZ ", "QUX"};
    for (std::size_t i = 0; i < 4; ++i) {
      const Value* cell = out.rows[i].cells.get("non_returning_function_call");
      ASSERT_NE(cell, nullptr);
      EXPECT_EQ(std::get<std::string>(*cell), texts[i]);
    }
  }
}

TEST(LineDriverEquivalence, InMemory) {
  EnvVar stream("NC_STREAM_MIN_BYTES", std::nullopt);
  EnvVar stats("NC_STAGE1_STATS", std::nullopt);
  check_all("in memory");
}

// The refused lines parsed in chunks of one to three lines, every chunk's
// tree let go and parsed again when its lines run: the whole corpus still
// runs, fails and hints as the grammar path does.
TEST(LineDriverEquivalence, InMemoryInSmallChunksParsedAgain) {
  EnvVar stream("NC_STREAM_MIN_BYTES", std::nullopt);
  EnvVar stats("NC_STAGE1_STATS", std::nullopt);
  for (const char* chunk_lines : {"1", "3"}) {
    for (const char* held : {"0", "40"}) {
      EnvVar lines("NC_SPARSE_CHUNK_LINES", chunk_lines);
      EnvVar tokens("NC_SPARSE_HELD_TOKENS", held);
      check_all((std::string("chunks of ") + chunk_lines + " lines, " + held + " tokens held").c_str());
    }
  }
}

// Batches: a quick line writes its cells straight into the columns, a
// decoded line stages them, every other line goes through its row, on the
// executor's thread (the line driver declines a writer thread asked for);
// the batches, their columns and the variable events are those of the
// grammar path, in memory and streaming, with and without forward fill, at
// batch sizes that end a batch inside the corpus.
TEST(LineDriverEquivalence, Batches) {
  EnvVar stats("NC_STAGE1_STATS", std::nullopt);
  for (const char* stream : {"0", "67108864"}) {
    EnvVar min_bytes("NC_STREAM_MIN_BYTES", stream);
    for (const OutputMode& output : {OutputMode{true, 2, true}, OutputMode{true, 3, false},
                                     OutputMode{true, 1000, true}, OutputMode{true, 2, true, true},
                                     OutputMode{true, 3, false, true}}) {
      check_all((std::string("batches of ") + std::to_string(output.batch_size) +
                 (output.forward_fill ? ", filled" : ", not filled") +
                 (output.writer_thread ? ", on a writer thread" : "") +
                 (stream[0] == '0' ? ", streaming" : ", in memory"))
                    .c_str(),
                output);
    }
  }
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

// A streamed run that stops far into the program, with chunks still being
// decoded ahead: at an end of program and at an error, the rows, the outcome
// and its line are those of the grammar path.
TEST(LineDriverEquivalence, StreamingStopsFarIntoTheProgram) {
  std::string lines;
  for (int i = 0; i < 30000; ++i) lines += "N" + std::to_string(i) + " G1 X" + std::to_string(i % 97) + "\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"end of program", "R1=1\n" + lines + "M30\n" + lines},
      {"error", "DEF STRING[8] TXT\n" + lines + "TXT=5\n" + lines},
  };
  for (const auto& [name, program] : cases) {
    const Outcome grammar = run_grammar(program);
    EnvVar stream("NC_STREAM_MIN_BYTES", "1000");
    expect_same_outcome(grammar, run_lines(program), "streaming: " + name);
  }
}

// Divergences in programs above the parallel threshold: a string literal
// over the line end between two chunks decoded apart, and a syntax error after
// a program's worth of lines, in memory and streamed in byte ranges.
TEST(LineDriverEquivalence, ParallelDivergences) {
  if (line_driver::pool_threads() < 2) GTEST_SKIP() << "the pool has one thread";
  const std::vector<std::string> unit = {"N30 N=2 X1", "RP=IC(1) Y=(2*R1)", "FOO  X1 ;c", "",
                                         "X=IC(-0)", "G1 X2 Y3"};
  std::vector<std::string> lines = {"R1=1"};
  std::size_t bytes = 0;
  while (bytes < line_driver::kParallelDecodeMinBytes + 4096) {
    lines.push_back(unit[lines.size() % unit.size()]);
    bytes += lines.back().size() + 1;
  }
  auto join = [](const std::vector<std::string>& ls) {
    std::string out;
    for (const auto& l : ls) out += l + "\n";
    return out;
  };
  const std::string plain = join(lines);
  // the first chunk ends on the string's first line
  const std::size_t chunk_lines =
      std::max(lines.size() / (8 * line_driver::pool_threads()), line_driver::kMinChunkLines);
  lines[chunk_lines - 1] = "T=\"a";
  lines[chunk_lines] = "X1";
  lines[chunk_lines + 1] = "b\" X2";
  const std::string spanning = join(lines);
  const std::string broken = plain + "M2=5\nX1\n";
  for (const std::string* program : {&spanning, &broken}) {
    const Outcome grammar = run_grammar(*program);
    ASSERT_EQ(grammar.error.has_value(), program == &broken);
    {
      EnvVar stream("NC_STREAM_MIN_BYTES", std::nullopt);
      expect_same_outcome(grammar, run_lines(*program), "parallel in memory");
    }
    EnvVar stream("NC_STREAM_MIN_BYTES", "1000");
    expect_same_outcome(grammar, run_lines(*program), "streaming or its fallback");
  }
}

}  // namespace
}  // namespace kelvane::test
