#pragma once
// Small helpers for the flattener tests: rows from cell lists, cell reads,
// and a flattener over a fixed axis set.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flatten.hpp"

namespace flatten_test {

using kelvane::flatten::Flattener;
using kelvane::output::Row;
using kelvane::types::Value;

struct C {
  std::string_view name;
  Value value;
  C(std::string_view n, double v) : name(n), value(v) {}
  C(std::string_view n, const char* v) : name(n), value(std::string(v)) {}
};

inline Row row(std::size_t line, std::initializer_list<C> cells) {
  Row r;
  r.line = line;
  for (const C& c : cells) r.cells.insert(kelvane::output::intern_column(c.name), c.value);
  return r;
}

inline std::optional<double> num(const Row& r, std::string_view name) {
  const Value* v = r.cells.get(name);
  if (!v) return std::nullopt;
  if (const double* d = std::get_if<double>(v)) return *d;
  return std::nullopt;
}

inline std::optional<std::string> text(const Row& r, std::string_view name) {
  const Value* v = r.cells.get(name);
  if (!v) return std::nullopt;
  if (const std::string* s = std::get_if<std::string>(v)) return *s;
  return std::nullopt;
}

inline std::vector<std::string> cell_names(const Row& r) {
  std::vector<std::string> out;
  for (const auto& c : r.cells) out.emplace_back(c.name);
  return out;
}

// X Y Z A are flattened; F and N are not axes for the flattener.
inline Flattener make_flattener(double tolerance) {
  const std::vector<std::string> axes{"N", "X", "Y", "Z", "A", "F"};
  auto f = Flattener::create(axes, tolerance);
  EXPECT_TRUE(f.has_value());
  return std::move(*f);
}

// Feeds rows and returns everything emitted, with what was written to stderr.
struct Run {
  std::vector<Row> out;
  std::string warnings;
};

inline Run feed(Flattener& f, std::vector<Row> rows, bool flush = true) {
  Run run;
  testing::internal::CaptureStderr();
  for (Row& r : rows) f.push(std::move(r), run.out);
  if (flush) f.flush_spline(run.out);
  run.warnings = testing::internal::GetCapturedStderr();
  return run;
}

inline std::size_t count_lines(const std::string& s) {
  std::size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

}  // namespace flatten_test
