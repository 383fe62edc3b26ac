#include "output.hpp"

namespace kelvane::output {}  // namespace kelvane::output
