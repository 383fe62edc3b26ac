#pragma once

namespace kelvane::structure_scan {}  // namespace kelvane::structure_scan
