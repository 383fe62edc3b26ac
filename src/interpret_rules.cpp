#include "interpret_rules.hpp"

namespace kelvane::interpret_rules {}  // namespace kelvane::interpret_rules
