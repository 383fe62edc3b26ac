#include "interpret_rules_flow.hpp"

namespace kelvane::interpret_rules {}  // namespace kelvane::interpret_rules
