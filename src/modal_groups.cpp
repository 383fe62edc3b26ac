#include "modal_groups.hpp"

namespace kelvane::modal_groups {}  // namespace kelvane::modal_groups
