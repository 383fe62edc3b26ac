#pragma once

namespace kelvane::interpret_rules {}  // namespace kelvane::interpret_rules
