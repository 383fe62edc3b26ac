#pragma once

namespace kelvane::interpreter {}  // namespace kelvane::interpreter
