#pragma once

namespace kelvane::state {}  // namespace kelvane::state
