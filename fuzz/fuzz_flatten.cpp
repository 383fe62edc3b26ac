// The default path with a flattener whose tolerance comes from the input:
// arcs and spline runs of any shape, at any tolerance, must flatten without a
// crash, a sanitizer report or unbounded output.
#include <cstddef>
#include <cstdint>
#include <limits>

#include "harness.hpp"

using namespace kelvane::fuzz;

namespace {

// Tolerances from the ordinary to the absurd; the refused ones (zero,
// negative, NaN, infinite) must fail the run cleanly.
constexpr double kTolerances[] = {
    0.01, 0.001, 0.1, 1.0, 1e-6, 1e-12, 1e6, 1e-300, 5e-324, 0.5,
    0.0, -1.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
    2.0, 1e-3};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input input = split_input(data, size);
  RunSettings settings;
  settings.flatten_tolerance = kTolerances[input.options & 15];
  settings.path = (input.options & 16) != 0 ? Path::Grammar : Path::LineDriver;
  settings.iteration_limit = 20;
  run(input, settings, 3000);
  return 0;
}
