#pragma once

namespace kelvane::output {}  // namespace kelvane::output
