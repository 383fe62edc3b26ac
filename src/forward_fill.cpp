#include "forward_fill.hpp"

#include <initializer_list>

#include "modal_groups.hpp"

namespace kelvane::output {

namespace {

bool is_one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names)
    if (n == name) return true;
  return false;
}

}  // namespace

// By length first: the question is asked for every cell of every row.
bool is_forward_filled_column(std::string_view name) {
  switch (name.size()) {
    case 1: return !is_one_of(name, {"M", "T", "I", "J", "K"});
    case 2: return !is_one_of(name, {"CR", "PW", "SD", "PL"});
    case 4: return name != "TURN";
    case 5: return name != "dwell";
    case 7: return name != "comment";
    case 9: return name != "flattened" && name != "gg02_wait";
    case 27: return name != "non_returning_function_call";
    default:
      if (name.size() >= 6 && name[0] == 'g' && name[1] == 'g')
        return !modal_groups::is_non_modal_column(name);
      return true;
  }
}

}  // namespace kelvane::output
