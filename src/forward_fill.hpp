#pragma once
// Forward fill, the one rule of rows and batches alike: a forward-filled
// column shows its last value in the rows after it that lack one. Columns
// are told apart by their text, never by where the text is stored, since
// rows may carry different copies of one name.
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kelvane::output {

// Every column carries its last value forward except "flattened", "dwell", "M",
// "T", "I", "J", "K", "CR", "PW", "SD", "PL", "TURN", "comment", the five
// non-modal group columns and "non_returning_function_call".
bool is_forward_filled_column(std::string_view name);

// The carried value of each forward-filled column, in the order the columns
// first came. Names are process-lifetime texts, like those of cells.
template <typename V>
class Carried {
 public:
  struct Entry {
    std::string_view name;
    V value;
  };

  // The value carried for a column; nullptr before its first value.
  const V* find(std::string_view name) const noexcept {
    const std::size_t i = position(name);
    return i == entries_.size() ? nullptr : &entries_[i].value;
  }
  // Carries a column's newest value: the column's position, and whether the
  // value differs from the one carried before.
  template <typename U>
  std::pair<std::size_t, bool> carry(std::string_view name, U&& value) {
    const std::size_t i = position(name);
    if (i == entries_.size()) {
      entries_.push_back(Entry{name, V(std::forward<U>(value))});
      return {i, true};
    }
    if (entries_[i].value == value) return {i, false};
    entries_[i].value = std::forward<U>(value);
    return {i, true};
  }
  const std::vector<Entry>& entries() const noexcept { return entries_; }

 private:
  // Linear: a run has a few dozen columns, and most names are one interned
  // copy, so the address comparison settles them.
  std::size_t position(std::string_view name) const noexcept {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::string_view n = entries_[i].name;
      if (n.size() != name.size()) continue;
      if (n.data() == name.data() || n.empty() || (n[0] == name[0] && n == name)) return i;
    }
    return entries_.size();
  }
  std::vector<Entry> entries_;
};

}  // namespace kelvane::output
