#include "interpreter.hpp"

namespace kelvane::interpreter {}  // namespace kelvane::interpreter
