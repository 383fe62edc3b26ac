// One program on every execution path: the per-line fast path in memory and
// streaming, the whole-program parse with the recursive executor and with
// the frame-stack executor. The whole-program parse is the reference; any
// difference in rows, warnings, error (kind, line, text) or final state is a
// finding, printed with both outcomes. The fast path's batches, which it
// writes without rows, are compared with the reference's batches too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>
#include <string>

#include "harness.hpp"

using namespace kelvane::fuzz;

namespace {

constexpr std::size_t kRowCap = 2000;

// The differences that are meant to be, and nothing else:
// - the line driver reports a parse failure of a refused line in the context
//   "line parsing", the whole-program parse in "initial file parsing";
// - the frame-stack executor counts a loop body's backward jumps over all
//   passes of one entry of the loop, the recursive executor per pass, so
//   their loop-limit errors may fall apart.
std::string normalised_message(std::string message) {
  const std::string line_ctx = "Parse error in line parsing on line";
  if (message.rfind("\n" + line_ctx, 0) == 0)
    message.replace(1, line_ctx.size(), "Parse error in initial file parsing on line");
  return message;
}
bool loop_limits_may_differ(const Outcome& a, const Outcome& b, Path path) {
  return path == Path::FrameStack && (a.error_kind == "loop_limit" || b.error_kind == "loop_limit");
}

bool same(const Outcome& a, const Outcome& b) {
  return a.rows.size() == b.rows.size() &&
         std::equal(a.rows.begin(), a.rows.end(), b.rows.begin(), same_row) &&
         a.warnings == b.warnings &&
         a.error_kind == b.error_kind &&
         a.error_line == b.error_line &&
         normalised_message(a.error_message) == normalised_message(b.error_message) &&
         a.final_state.has_value() == b.final_state.has_value() &&
         a.final_state_digest == b.final_state_digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input input = split_input(data, size);
  RunSettings settings;
  settings.allow_undefined_variables = (input.options & 1) != 0;
  settings.iteration_limit = 40;
  settings.path = Path::Grammar;
  const Outcome reference = run(input, settings, kRowCap);
  // a run cut short by the consumer (too many rows, or quiet too long) has
  // no comparable end
  if (reference.ended_at_row_cap) return 0;
  std::vector<Path> batch_paths;  // the fast path's runs that ended as the reference did
  for (Path path : {Path::FrameStack, Path::LineDriver, Path::LineDriverStreaming}) {
    settings.path = path;
    const Outcome other = run(input, settings, kRowCap);
    if (other.ended_at_row_cap || loop_limits_may_differ(reference, other, path)) continue;
    if (path != Path::FrameStack) batch_paths.push_back(path);
    if (!same(reference, other)) {
      std::string report = describe_difference(reference, path_name(Path::Grammar), other, path_name(path));
      std::fprintf(stderr, "the paths differ on this program:\n%s\n", report.c_str());
      std::abort();
    }
  }
  if (batch_paths.empty()) return 0;
  constexpr std::size_t kBatchRows = 3;  // batches end inside most programs
  settings.path = Path::Grammar;
  const std::string reference_batches = batches_text(input, settings, kBatchRows);
  for (Path path : batch_paths) {
    settings.path = path;
    const std::string batches = batches_text(input, settings, kBatchRows);
    if (batches != reference_batches) {
      std::fprintf(stderr, "the batches differ on this program:\n=== %s ===\n%s=== %s ===\n%s\n",
                   path_name(Path::Grammar), reference_batches.c_str(), path_name(path),
                   batches.c_str());
      std::abort();
    }
  }
  return 0;
}
