// A loop body is collected once per loop entry and run on every pass: each
// pass must still get its own label scope and a fresh backward-jump count,
// and the scope stack must be left as found however the loop ends.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "errors.hpp"
#include "interpret_rules.hpp"
#include "output.hpp"
#include "state.hpp"
#include "types.hpp"

namespace {

using kelvane::errors::ParsingError;
using kelvane::output::OutputRows;
using kelvane::output::Row;
using kelvane::state::State;
using kelvane::types::NCParser;
using kelvane::types::Rule;

struct Outcome {
  std::vector<double> x;
  std::optional<ParsingError> error;
  std::size_t scopes_left = 0;
};

Outcome run(const std::string& text, std::size_t limit = 10000) {
  Outcome out;
  auto st = kelvane::state::build_state(std::nullopt, std::nullopt, limit, std::nullopt, false);
  EXPECT_TRUE(st.has_value());
  State state = std::move(*st);
  state.set_input(std::string_view(text));
  auto parsed = NCParser::parse(Rule::file, text);
  EXPECT_TRUE(parsed.has_value());
  if (!parsed) return out;
  auto blocks = parsed->next()->into_inner().next();
  OutputRows rows = OutputRows::collecting();
  auto flow = kelvane::interpret_rules::interpret_blocks(*blocks, rows, state);
  if (!flow) out.error = flow.error();
  else if (auto* req = flow->jump_request()) out.error = req->into_not_found_error(state);
  out.scopes_left = state.label_scopes.size();
  auto done = std::move(rows).finish();
  if (done) {
    for (const Row& row : *done) {
      if (const auto* v = row.cells.get("X")) {
        if (const double* d = std::get_if<double>(v)) out.x.push_back(*d);
      }
    }
  }
  return out;
}

TEST(LoopBody, EveryPassSeesItsLabelsAndTheScopeEndsWithTheLoop) {
  // each pass: a GOTOC to a label of the body is taken, a backward jump
  // inside the body runs twice (limit 4, six in all, two per pass); after the
  // loop the body's label is out of sight, so the last GOTOC continues
  const std::string body =
      "R2=0\nGOTOC SKIP\nX=99\nSKIP: X=R1\nIN: R2=R2+1\nIF R2<3 GOTOB IN\n";
  const std::vector<std::string> programs = {
      "R1=0\nWHILE R1<3\nR1=R1+1\n" + body + "ENDWHILE\nGOTOC SKIP\nX=10\n",
      "R1=0\nREPEAT\nR1=R1+1\n" + body + "UNTIL R1>=3\nGOTOC SKIP\nX=10\n",
      "FOR R1=1 TO 3\n" + body + "ENDFOR\nGOTOC SKIP\nX=10\n",
      "R1=0\nLOOP\nR1=R1+1\n" + body + "IF R1>=3 GOTOF OUT\nENDLOOP\nOUT: GOTOC SKIP\nX=10\n",
  };
  for (const std::string& program : programs) {
    Outcome r = run(program, 4);
    ASSERT_FALSE(r.error) << program << "\n" << r.error->message();
    EXPECT_EQ(r.x, (std::vector<double>{1, 2, 3, 10})) << program;
    EXPECT_EQ(r.scopes_left, 0u) << program;
  }
}

TEST(LoopBody, AFailingPassLeavesTheScopeStackAsFound) {
  // the third pass divides by zero: the error names its line, and neither
  // the nested loop nor the outer list leaves a scope behind
  Outcome r = run("R1=0\nWHILE R1<5\nR1=R1+1\nPASS: R2=1 DIV (3-R1)\nENDWHILE\n");
  ASSERT_TRUE(r.error);
  const auto where = r.error->location();
  ASSERT_TRUE(where) << r.error->message();
  EXPECT_EQ(where->line, 4u) << r.error->message();
  EXPECT_EQ(r.scopes_left, 0u);
  // a jump out of a nested body is placed by the outer list
  Outcome j = run("R1=0\nWHILE R1<5\nR1=R1+1\nPASS: IF R1==2 GOTOF OUT\nENDWHILE\nOUT: X=R1\n");
  ASSERT_FALSE(j.error) << j.error->message();
  EXPECT_EQ(j.x, (std::vector<double>{2}));
  EXPECT_EQ(j.scopes_left, 0u);
}

}  // namespace
