// The blocks of a structured program that the per-line decoder takes run as
// decoded lines when the fast path is on, and from the tree when it is off.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "interpreter.hpp"
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
  };
  auto whole = [](state::State& state, output::OutputRows& rows) -> errors::Result<interpret_rules::Flow> {
    const std::string text(state.source_text());
    if (auto st = interpreter::interpret_file(std::string_view(text), state, rows); !st)
      return errors::fail(std::move(st.error()));
    return interpret_rules::Flow::cont();
  };
  for (const char* vm : {"0", "1"}) {
    EnvVar frame_stack("NC_VM", vm);
    for (const OutputMode& output : {OutputMode{}, OutputMode{true, 2, true}}) {
      for (const Program& p : programs) {
        Outcome tree, decoded;
        {
          EnvVar stage1("NC_STAGE1", "0");
          tree = run_program(p.text, p.config, whole, output);
        }
        {
          EnvVar stage1("NC_STAGE1", "1");
          decoded = run_program(p.text, p.config, whole, output);
        }
        expect_same_outcome(tree, decoded, std::string("executor ") + vm +
                                               (output.batches ? ", batches: " : ", rows: ") + p.name);
      }
    }
  }
}

}  // namespace
}  // namespace kelvane::test
