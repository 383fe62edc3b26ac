#include "structure_scan.hpp"

namespace kelvane::structure_scan {}  // namespace kelvane::structure_scan
