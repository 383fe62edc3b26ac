#include <array>
#include <charconv>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "interpret_rules.hpp"
#include "interpret_rules_internal.hpp"
#include "limits.hpp"

// Array references: the keys of their elements ("A[1,2]"), the element
// lists of a reference, and DEF of a whole array.
namespace kelvane::interpret_rules {

using errors::fail;

namespace {

std::string element_key(std::string_view name, const std::int32_t* idx, std::size_t n) {
  std::string key;
  key.reserve(name.size() + 2 + n * 4);
  state::format_element_key(key, name, std::span<const std::int32_t>(idx, n));
  return key;
}

}  // namespace

errors::Result<ArrayRef> array_ref(const types::Pair& node, state::State& state) {
  auto inner = node.into_inner();
  auto name_node = inner.next();
  auto indices_node = inner.next();
  if (!name_node || !indices_node) {
    return fail(annotate_error(node, "variable parsing", "Expected inner pair, found none", state));
  }
  auto name = interpret_identifier(*name_node);
  if (!name) return fail(std::move(name.error()));
  auto values = interpret_indices(*indices_node, state);
  if (!values) return fail(std::move(values.error()));
  if (values->empty() || values->size() > 3) {
    return fail(errors::ParseError{"Invalid number of indices for variable array"});
  }
  ArrayRef ref{std::move(*name), {}};
  for (double v : *values) ref.bounds.push_back(static_cast<std::int32_t>(v));
  return ref;
}

namespace {

// The number of elements from the origin to the bounds, exact: three bounds
// near 2^31 make about 2^93 elements.
unsigned __int128 element_count(const ArrayRef& ref) {
  unsigned __int128 n = 1;
  for (std::int32_t b : ref.bounds) n *= static_cast<unsigned __int128>(b) + 1;
  return n;
}

std::string count_text(unsigned __int128 n) {
  char buf[48];
  char* p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(n % 10));
    n /= 10;
  } while (n);
  return std::string(p, buf + sizeof buf);
}

std::string bounds_text(const ArrayRef& ref) {
  std::string out;
  for (std::size_t i = 0; i < ref.bounds.size(); ++i) {
    if (i) out.push_back(',');
    append_int(out, ref.bounds[i]);
  }
  return out;
}

// Calls fn(key) for the element keys from the origin towards the bounds,
// row-major (the last index innermost), at most `limit` of them.
template <typename F>
void for_each_element_key(const ArrayRef& ref, std::uint64_t limit, F&& fn) {
  const std::size_t dims = ref.bounds.size();
  std::array<std::int32_t, 3> idx{0, 0, 0};
  for (std::uint64_t done = 0; done < limit; ++done) {
    fn(element_key(ref.name, idx.data(), dims));
    std::size_t d = dims;
    while (true) {
      --d;
      if (idx[d] < ref.bounds[d]) {
        ++idx[d];
        break;
      }
      idx[d] = 0;
      if (d == 0) return;
    }
  }
}

}  // namespace

errors::Result<std::string> interpret_variable_array_key(const types::Pair& node,
                                                         state::State& state) {
  auto ref = array_ref(node, state);
  if (!ref) return fail(std::move(ref.error()));
  return element_key(ref->name, ref->bounds.data(), ref->bounds.size());
}

errors::Result<std::vector<std::string>> interpret_variable_array(const types::Pair& node,
                                                                  state::State& state) {
  auto ref = array_ref(node, state);
  if (!ref) return fail(std::move(ref.error()));
  const unsigned __int128 total = element_count(*ref);
  if (total > kMaxArrayElements) {
    std::string limit;
    append_int(limit, static_cast<std::int64_t>(kMaxArrayElements));
    return fail(annotate_error(
        node, "array declaration",
        cat({"array ", ref->name, "[", bounds_text(*ref), "] would have ", count_text(total),
             " elements; at most ", limit, " elements per array are supported"}),
        state));
  }
  std::vector<std::string> keys;
  keys.reserve(static_cast<std::size_t>(total));
  for_each_element_key(*ref, static_cast<std::uint64_t>(total),
                       [&](std::string key) { keys.push_back(std::move(key)); });
  return keys;
}

// DEF of an array: every element from the origin to the bounds becomes 0.0
// and is recorded as a variable change, in row-major order. The elements
// that the DEFs of one run create, all arrays together, are bounded.
errors::Status declare_array(const types::Pair& node, output::OutputRows& rows,
                             state::State& state) {
  auto ref = array_ref(node, state);
  if (!ref) return fail(std::move(ref.error()));
  if (auto refused = state.symbol_table.declare_array(ref->name, ref->bounds)) {
    const unsigned __int128 count = element_count(*ref);
    std::string limit;
    append_int(limit, static_cast<std::int64_t>(limits::kMaxArrayElementsPerRun));
    std::string message = cat({"array ", ref->name, "[", bounds_text(*ref), "] would have ",
                               count_text(count), " elements"});
    if (count <= limits::kMaxArrayElementsPerRun)
      message += cat({", ", count_text(*refused), " in all arrays of this run"});
    message += cat({"; at most ", limit, " array elements per run are supported"});
    return fail(annotate_error(node, "array declaration", message, state));
  }
  if (rows.track_variables) {
    const auto count = static_cast<std::uint64_t>(element_count(*ref));
    rows.row.variables.reserve(rows.row.variables.size() + static_cast<std::size_t>(count));
    for_each_element_key(*ref, count,
                         [&](const std::string& key) { rows.record_variable_change(key, 0.0); });
  }
  return {};
}

// The first `count` element keys of an array reference (SET and REP lists),
// or InvalidElementCount when the array has fewer elements than `count`.
errors::Result<std::vector<std::string>> leading_element_keys(const ArrayRef& ref,
                                                              std::size_t count) {
  const unsigned __int128 total = element_count(ref);
  if (total < count) {
    return fail(errors::InvalidElementCount{static_cast<std::size_t>(total), count});
  }
  std::vector<std::string> keys;
  keys.reserve(count);
  for_each_element_key(ref, count, [&](std::string key) { keys.push_back(std::move(key)); });
  return keys;
}

}  // namespace kelvane::interpret_rules
