#include "state.hpp"

namespace kelvane::state {}  // namespace kelvane::state
