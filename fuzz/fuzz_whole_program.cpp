// A program text through the worker's calls: state, initial-state program,
// flattener, main program, finish; rows go to a consumer that hangs up after
// some thousands of rows. Any crash, sanitizer report or leak is a finding.
#include <cstddef>
#include <cstdint>

#include "harness.hpp"

using namespace kelvane::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input input = split_input(data, size);
  RunSettings settings;
  static constexpr Path kPaths[] = {Path::LineDriver, Path::LineDriverStreaming, Path::Grammar,
                                    Path::FrameStack};
  settings.path = kPaths[input.options & 3];
  settings.allow_undefined_variables = (input.options & 4) != 0;
  settings.iteration_limit = (input.options & 8) != 0 ? 0 : 30;
  if ((input.options & 16) != 0) settings.flatten_tolerance = 0.05;
  run(input, settings, 4000);
  return 0;
}
