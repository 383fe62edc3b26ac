#pragma once

namespace kelvane::modal_groups {}  // namespace kelvane::modal_groups
