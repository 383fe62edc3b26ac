// The blocks of a structured program that the per-line decoder takes run as
// decoded lines when the fast path is on, and from the tree when it is off.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interpreter.hpp"
#include "line_driver_execute.hpp"
#include "types.hpp"
#include "test_line_driver_fixture.hpp"

namespace kelvane::test {
namespace {

// Programs with structures run whole; the blocks the decoder takes run as
// decoded lines when the fast path is on. Either way the outcome is the same,
// with both executors, in rows and in batches.
TEST(LineDriverEquivalence, DecodedBlocksInStructures) {
  Config undefined_ok;
  undefined_ok.allow_undefined = true;
  Config limit3;
  limit3.iteration_limit = 3;
  struct Program {
    const char* name;
    std::string text;
    Config config = {};
  };
  const std::vector<Program> programs = {
      {"while", "R1=0\nWHILE R1<3\nX=R1*2 Y=R1+1\nR1=R1+1\nENDWHILE\nM30\n"},
      {"loop with a jump out",
       "R1=0\nLOOP\nR1=R1+1\nIF R1>3 GOTOF DONE\nN10 G1 X=R1*10\nENDLOOP\nDONE: X0\n"},
      {"for", "FOR R2=1 TO 3\nX=R2*5 ;c\nG0 Y=R2-1\nENDFOR\n"},
      {"repeat", "R3=0\nREPEAT\nR3=R3+0.5 X=R3*1\nUNTIL R3>=2\n"},
      {"if else and row closers",
       "R1=1\nIF R1==1\nX1 Y=R1+1\nELSE\nX2\nENDIF\nG91 X1\nG4 F2\nM3 M5\nG91 X2\n"},
      {"frames", "R1=0\nTRANS X10\nWHILE R1<2\nX=R1+1\nR1=R1+1\nENDWHILE\nROT Z90\nX1 Y=R1*1\n"},
      {"blank and label lines in a body",
       "R1=0\nWHILE R1<2\n\nMARK:\nX=R1*1\nR1=R1+1\nENDWHILE\n"},
      {"jump back into a loop's list", "R1=0\nWHILE R1<2\nN5 X=R1*2\nR1=R1+1\nIF R1==1 GOTOB N5\nENDWHILE\n"},
      {"undefined variable in a body", "R1=0\nWHILE R1<2\nX=NOPE+1\nR1=R1+1\nENDWHILE\n"},
      {"undefined allowed in a body", "R1=0\nWHILE R1<2\nX=NOPE+1\nR1=R1+1\nENDWHILE\n", undefined_ok},
      {"STRING variable in a body", "DEF STRING[4] SV\nIF 1\nR1=SV+1\nENDIF\n"},
      {"comments behind closing keywords",
       "R1=0\nWHILE R1<2 ;w\nX=R1*1\nR1=R1+1\nENDWHILE ;done\nIF R1==2\nY1\nELSE\nY2\nENDIF ; c\nX5\n"},
      {"loop limit after a decoded block", "R1=0\nWHILE R1<5\nN10 X=R1*1\nN20 Y1\nENDWHILE\n", limit3},
      {"end of program in a body", "R1=0\nWHILE R1<5\nR1=R1+1 X=R1*1\nIF R1==2\nM30\nENDIF\nENDWHILE\nX99\n"},
      // lines that stand in the tree without their words
      {"jumps to block numbers of plain lines",
       "R1=0\nN10 X=R1*1\nR1=R1+1\nIF R1<3 GOTOB N10\nGOTOF N30\nN20 X99\nN30 Y1\nWHILE R1<4\nR1=R1+1\nENDWHILE\n"},
      {"labels, blanks after N and glued words",
       "WHILE R1<1\nMARK: X1\nN 20 Y2\nN30X1\nR1=R1+1\nENDWHILE\nGOTOB DONE\nDONE: Z1\n"},
      {"line ends, blanks and tabs",
       "R1=0\r\nWHILE R1<2\r\n  X=R1*2  \r\n\tY1 ;c \r\nR1=R1+1\r\nENDWHILE\r\nX9"},
      {"a parse error behind plain lines",
       "R1=0\nWHILE R1<2\nX=R1*2\nR1=R1+1\nENDWHILE\nX1\nY=(\nZ1\n"},
      {"an unclosed structure behind plain lines", "X1\nY2\nWHILE R1<2\nX=R1*2\nR1=R1+1\n"},
      {"a string over a line end", "IF 1\nMSG(\"a\nX1\nb\")\nENDIF\nX2\n"},
      // a body's expressions are compiled once it runs again
      {"expressions over passes",
       "R1=0 R2=4\nWHILE R1<4\nX=R1/R2-R1*-2 Y=- -R1+ --5 Z=-R1*-R2/3\n"
       "A=R1+R1+R1+R1+R1+R1+R1+R1+R1+R1+R1+R1+R1+R1+R1+R1+R1+R1-R2*R2/R2\n"
       "R1=R1+1\nENDWHILE\n"},
      {"an undefined variable over passes", "R1=0\nWHILE R1<3\nX=R1*2+NOPE\nR1=R1+1\nENDWHILE\n",
       undefined_ok},
      // conditions read from compiled steps, or from the tree where the
      // table lacks a variable
      {"conditions of every relation",
       "R1=0 R2=0\nWHILE R1<>4\nIF R1*2+1 >= R2-(-1)\nX=R1*1\nENDIF\nIF R1==R2==0\nY=R1+1\nENDIF\n"
       "IF R1<=-1+2\nZ1\nELSE\nZ2\nENDIF\nR2=R2+0.5 R1=R1+1\nENDWHILE\n"
       "REPEAT\nR1=R1-1\nUNTIL R1 < 2\nIF R1 GOTOF END\nX9\nEND: Y9\n"},
      {"conditions on not-a-number", "R1=0/0\nWHILE R1<>R1\nX1\nR1=1\nENDWHILE\nIF R1\nY1\nENDIF\n"},
      {"conditions the tree reads",
       "DEF STRING[4] SV\nR1=0\nWHILE R1<2 AND 1\nR1=R1+1\nIF SIN(R1)>0\nX=R1*1\nENDIF\nENDWHILE\n"
       "IF SV==\"a\"\nY1\nENDIF\nIF (R1<3)\nZ1\nENDIF\n"},
      {"a condition on an undefined variable", "R1=0\nWHILE R1<2\nR1=R1+1\nIF NOPE>1\nX1\nENDIF\nENDWHILE\n"},
      {"a condition on an undefined variable allowed",
       "R1=0\nWHILE R1+NOPE<2\nR1=R1+1\nENDWHILE\n", undefined_ok},
      {"an undefined variable on the first pass", "R1=0\nWHILE R1<3\nX=R1*2+NOPE\nR1=R1+1\nENDWHILE\n"},
      {"lone variables over passes, a STRING one on the last",
       "DEF STRING[4] SV\nR1=0 R2=5\nWHILE R1<3\nX=R1 Y=-R2\nN20 R3=R1\nIF R1==2\nZ=SV\nENDIF\n"
       "R1=R1+1\nENDWHILE\n"},
      {"a lone variable becomes a STRING between passes",
       "R1=0\nWHILE R1<2\nX=R1\nIF R1==0\nDEF STRING[4] R5\nENDIF\nR5=R1\nR1=R1+1\nENDWHILE\n"},
  };
  auto whole = [](state::State& state, output::OutputRows& rows) -> errors::Result<interpret_rules::Flow> {
    const std::string text(state.source_text());
    if (auto st = interpreter::interpret_file(std::string_view(text), state, rows); !st)
      return errors::fail(std::move(st.error()));
    return interpret_rules::Flow::cont();
  };
  for (const char* vm : {"0", "1"}) {
    EnvVar frame_stack("NC_VM", vm);
    // the tree's run writes its batches on the executor's thread, the
    // decoded one also hands them to a writer thread
    for (const OutputMode& output :
         {OutputMode{}, OutputMode{true, 2, true}, OutputMode{true, 2, true, true}}) {
      for (const Program& p : programs) {
        Outcome tree, decoded;
        {
          EnvVar stage1("NC_STAGE1", "0");
          OutputMode on_executor = output;
          on_executor.writer_thread = false;
          tree = run_program(p.text, p.config, whole, on_executor);
        }
        {
          EnvVar stage1("NC_STAGE1", "1");
          decoded = run_program(p.text, p.config, whole, output);
        }
        expect_same_outcome(tree, decoded,
                            std::string("executor ") + vm +
                                (!output.batches        ? ", rows: "
                                 : output.writer_thread ? ", batches on a writer thread: "
                                                        : ", batches: ") +
                                p.name);
      }
    }
  }
}

// The whole-program parse takes the lines the decoder runs as block nodes
// with only their block number inside: the same blocks, at the same places,
// as the full parse gives.
TEST(LineDriverEquivalence, SkimmedBlocksStandWhereTheFullParseHasThem) {
  auto shape = [](const types::ParseTree& tree, bool collapse) {
    return types::describe_tree(tree, collapse ? &line_driver::skimmable_line : nullptr);
  };
  const std::vector<std::string> programs = {
      "R1=0\nWHILE R1<3\nN10 X=R1*2 Y=R1+1 ;c\nR1=R1+1\nENDWHILE\nM30\n",
      "  X1  \n\tN20 Y2\t\nIF R1==0\n N30 G1 X=R2*5+R2 Y=R4-0.96 F400\nELSE\nX2\nENDIF ;e\n",
      "WHILE 1\r\nX1\r\nY2 ;c\r\nENDWHILE\r\nZ3",
      "WHILE 1\nMARK: X1\nN 40 Y2\nN50X1\nGOTOB MARK\nENDWHILE\n\n\nX1\n",
      "LOOP\nR1=R1+1\nIF R1>3 GOTOF DONE\nENDLOOP\nDONE: X0\nREPEAT\nX1\nUNTIL R1>1\n",
      "FOR R2=1 TO 3\nX=R2*5\nENDFOR\nMSG(\"a\nX1\")\nX2\n",
      // lines that begin with a closing keyword, or only look like one
      "IF 1\nX1\nelse ;c\nX2\nendif\nWHILE 1\nENDWHILEX=1\nEndWhile\nLOOP\nUNTIL_1=2\nENDLOOP\n",
      "REPEAT\nENDIF1=2\nUNTIL R1>2 ;u\nFOR R1=1 TO 2\n ENDFOR2 X1\n\tENDFOR\n",
  };
  for (const std::string& program : programs) {
    auto full = types::NCParser::parse(types::Rule::file, program);
    auto skimmed = types::NCParser::parse(types::Rule::file, program, &line_driver::skimmable_line);
    ASSERT_TRUE(full.has_value()) << program;
    ASSERT_TRUE(skimmed.has_value()) << program;
    const types::ParseTree& f = *full->peek()->tree();
    const types::ParseTree& s = *skimmed->peek()->tree();
    EXPECT_LT(s.tokens.size(), f.tokens.size()) << program;
    EXPECT_EQ(shape(f, true), shape(s, false)) << program;
  }
}

}  // namespace
}  // namespace kelvane::test
