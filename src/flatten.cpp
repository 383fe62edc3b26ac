#include "flatten.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <utility>

#include "limits.hpp"
#include "modal_groups.hpp"
#include "text.hpp"

namespace kelvane::flatten {

using limits::kMaxArcSegments;
using limits::kMaxSplineSegments;
using output::intern_column;
using output::same_column;
using text::to_upper;
using text::warning_prefix;
using text::write_warning_line;
using types::Value;

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr unsigned kMaxDepth = 20;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// Column names this module writes or reads, interned once.
struct Names {
  std::string_view motion = intern_column(modal_groups::kMotionColumn);
  std::string_view plane = intern_column(modal_groups::kPlaneColumn);
  std::string_view flattened = intern_column("flattened");
  std::string_view cr = intern_column("CR");
  std::string_view turn = intern_column("TURN");
  std::string_view sd = intern_column("SD");
  std::string_view pw = intern_column("PW");
  std::string_view x = intern_column("X");
  std::string_view y = intern_column("Y");
  std::string_view z = intern_column("Z");
  std::string_view i = intern_column("I");
  std::string_view j = intern_column("J");
  std::string_view k = intern_column("K");
};
const Names& names() {
  static const Names n;
  return n;
}

const double* float_cell(const CellMap& cells, std::string_view name) {
  const Value* v = cells.get(name);
  return v ? std::get_if<double>(v) : nullptr;
}

const std::string* text_cell(const CellMap& cells, std::string_view name) {
  const Value* v = cells.get(name);
  return v ? std::get_if<std::string>(v) : nullptr;
}

bool contains_name(std::span<const std::string_view> list, std::string_view name) {
  for (std::string_view n : list)
    if (same_column(n, name)) return true;
  return false;
}

// ceil(|q|) as an unsigned count; NaN gives 0, anything too large saturates.
std::uint64_t saturating_ceil(double q) {
  if (std::isnan(q) || q <= 0.0) return 0;
  const double c = std::ceil(q);
  if (c >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(c);
}

using Point = std::vector<double>;

}  // namespace

// ---------------------------------------------------------------------------
// Classification

MotionKind motion_kind_of(std::string_view m) {
  if (m == "G0" || m == "G1") return LinearMotion{};
  if (m == "G2") return ArcMotion{true};
  if (m == "G3") return ArcMotion{false};
  if (m == "ASPLINE") return SplineMotion{SplineKind::Akima};
  if (m == "BSPLINE") return SplineMotion{SplineKind::BSpline};
  if (m == "CSPLINE") return SplineMotion{SplineKind::NaturalCubic};
  return OtherMotion{};
}

PlaneAxes plane_axes_of(std::string_view p) {
  const Names& n = names();
  if (p == "G18") return {n.z, n.x, n.k, n.i};
  if (p == "G19") return {n.y, n.z, n.j, n.k};
  return {n.x, n.y, n.i, n.j};
}

// ---------------------------------------------------------------------------
// Construction and positions

errors::Result<Flattener> Flattener::create(std::span<const std::string> axis_identifiers,
                                            double tolerance) {
  if (!std::isfinite(tolerance) || !(tolerance > 0.0)) {
    return errors::fail(errors::ParseError{"flatten tolerance must be a positive number, got " +
                                           errors::float_text(tolerance)});
  }
  Flattener f;
  f.tolerance = tolerance;
  for (const std::string& id : axis_identifiers) {
    std::string up = to_upper(id);
    if (up == "D" || up == "F" || up == "N" || up == "S" || up == "T") continue;
    std::string_view name = intern_column(up);
    // an axis configured twice (in any letter case) is one axis here
    if (std::find(f.axes.begin(), f.axes.end(), name) != f.axes.end()) continue;
    f.axes.push_back(name);
  }
  f.positions.assign(f.axes.size(), std::nullopt);
  (void)names();
  return f;
}

std::optional<std::size_t> Flattener::axis_index(std::string_view name) const {
  for (std::size_t i = 0; i < axes.size(); ++i)
    if (same_column(axes[i], name)) return i;
  return std::nullopt;
}

void Flattener::seed_position(std::string_view name, double value) {
  if (auto i = axis_index(to_upper(name))) positions[*i] = value;
}

void Flattener::update_positions(const CellMap& cells) {
  for (const output::Cell& c : cells) {
    const double* v = std::get_if<double>(&c.value);
    if (!v) continue;
    for (std::size_t i = 0; i < axes.size(); ++i) {
      if (same_column(axes[i], c.name)) {
        positions[i] = *v;
        break;
      }
    }
  }
}

void Flattener::pass_through_with_warning(Row&& row, std::string_view reason,
                                          std::vector<Row>& out) {
  std::string msg = warning_prefix(row.line);
  msg += "cannot flatten block (";
  msg += reason;
  msg += "); emitting it unchanged";
  write_warning_line(std::move(msg));
  update_positions(row.cells);
  out.push_back(std::move(row));
}

// ---------------------------------------------------------------------------
// Dispatch

void Flattener::push(Row&& row, std::vector<Row>& out) {
  const Names& n = names();
  const std::string* motion_text = text_cell(row.cells, n.motion);
  if (motion_text) {
    MotionKind next = motion_kind_of(*motion_text);
    if (!pending.empty() && next != motion) flush_spline(out);
    motion = next;
  }
  if (const std::string* plane_text = text_cell(row.cells, n.plane)) plane = plane_axes_of(*plane_text);

  std::visit(
      Overloaded{
          [&](const LinearMotion&) {
            update_positions(row.cells);
            out.push_back(std::move(row));
          },
          [&](const OtherMotion&) {
            if (motion_text && std::find(warned_motions.begin(), warned_motions.end(),
                                         *motion_text) == warned_motions.end()) {
              write_warning_line(warning_prefix(row.line) + *motion_text +
                                 " interpolation is not flattened; its blocks pass through "
                                 "unchanged");
              warned_motions.push_back(*motion_text);
            }
            update_positions(row.cells);
            out.push_back(std::move(row));
          },
          [&](const SplineMotion&) {
            if (pending.empty()) {
              spline_start = positions;
              spline_degree = 3;
            }
            if (const double* sd = float_cell(row.cells, n.sd)) {
              // truncated toward zero; negative and NaN give 0, huge values saturate
              const double t = std::trunc(*sd);
              unsigned d = 0;
              if (t > 0.0) d = t >= 4294967295.0 ? std::numeric_limits<unsigned>::max()
                                                 : static_cast<unsigned>(t);
              spline_degree = std::max(d, 1u);
            }
            bool programs_axis = false;
            for (std::string_view a : axes)
              if (float_cell(row.cells, a)) {
                programs_axis = true;
                break;
              }
            update_positions(row.cells);
            if (programs_axis)
              pending.emplace_back(SplinePoint{std::move(row)});
            else
              pending.emplace_back(SplinePassthrough{std::move(row)});
          },
          [&](const ArcMotion& arc) { flatten_arc(std::move(row), arc.clockwise, out); },
      },
      motion);
}

// ---------------------------------------------------------------------------
// Arcs

void Flattener::flatten_arc(Row&& row, bool cw, std::vector<Row>& out) {
  const Names& n = names();
  const CellMap& cells = row.cells;
  const PlaneAxes pl = plane;

  const double* o1 = float_cell(cells, pl.first_offset);
  const double* o2 = float_cell(cells, pl.second_offset);
  const double* cr = float_cell(cells, n.cr);
  bool applies = o1 || o2 || cr;
  for (std::size_t i = 0; !applies && i < axes.size(); ++i) applies = float_cell(cells, axes[i]);
  if (!applies) {
    out.push_back(std::move(row));
    return;
  }

  const auto i1 = axis_index(pl.first_axis);
  const auto i2 = axis_index(pl.second_axis);
  if (!i1 || !i2 || !positions[*i1] || !positions[*i2])
    return pass_through_with_warning(std::move(row), "arc start position is unknown", out);
  const double s1 = *positions[*i1];
  const double s2 = *positions[*i2];
  const double* e1p = float_cell(cells, pl.first_axis);
  const double* e2p = float_cell(cells, pl.second_axis);
  const double e1 = e1p ? *e1p : s1;
  const double e2 = e2p ? *e2p : s2;

  double c1 = 0.0;
  double c2 = 0.0;
  if (o2) {
    c1 = s1 + (o1 ? *o1 : 0.0);
    c2 = s2 + *o2;
  } else if (o1) {
    c1 = s1 + *o1;
    c2 = s2;
  } else if (cr) {
    const double r = *cr;
    const double dx = e1 - s1;
    const double dy = e2 - s2;
    const double chord = std::sqrt(dx * dx + dy * dy);
    if (chord < 1e-12)
      return pass_through_with_warning(std::move(row), "CR arc with coincident start and end point",
                                       out);
    if (std::abs(r) < chord / 2.0 - 1e-9)
      return pass_through_with_warning(std::move(row), "CR radius is smaller than half the chord",
                                       out);
    const double d = r * r - (chord / 2.0) * (chord / 2.0);
    double h = d > 0.0 ? std::sqrt(d) : 0.0;
    if ((r < 0.0) != cw) h = -h;
    c1 = (s1 + e1) / 2.0 - (dy / chord) * h;
    c2 = (s2 + e2) / 2.0 + (dx / chord) * h;
  } else {
    return pass_through_with_warning(std::move(row),
                                     "arc block without I/J/K centre offsets or CR radius", out);
  }

  const double r0 = std::hypot(s1 - c1, s2 - c2);
  const double r1 = std::hypot(e1 - c1, e2 - c2);
  if (r0 < 1e-9 || r1 < 1e-9)
    return pass_through_with_warning(std::move(row), "arc with zero radius", out);

  const double a0 = std::atan2(s2 - c2, s1 - c1);
  const double a1 = std::atan2(e2 - c2, e1 - c1);
  double ccw = std::fmod(a1 - a0, kTwoPi);
  if (ccw < 0.0) ccw += kTwoPi;
  const bool closed = std::abs(e1 - s1) < 1e-9 && std::abs(e2 - s2) < 1e-9;
  if (closed && ccw < 1e-12) ccw = kTwoPi;
  double sweep = ccw;
  if (cw) sweep = (closed && ccw - kTwoPi > -1e-12) ? -kTwoPi : ccw - kTwoPi;

  if (const double* turn = float_cell(cells, n.turn)) {
    const double t = *turn > 0.0 ? std::round(*turn) : 0.0;
    sweep += (cw ? -kTwoPi : kTwoPi) * t;
  }

  std::uint64_t count = 1;
  const double q = std::clamp(1.0 - tolerance / std::max(r0, r1), -1.0, 1.0);
  const double phi = 2.0 * std::acos(q);
  if (phi > 1e-12) {
    count = saturating_ceil(std::abs(sweep) / phi);
    if (count == 0) count = 1;
    if (count > kMaxArcSegments) {
      write_warning_line(warning_prefix(row.line) + "arc needs " + std::to_string(count) +
                         " segments to meet the tolerance; clamped to " +
                         std::to_string(kMaxArcSegments) +
                         " (deviation will exceed the requested tolerance)");
      count = kMaxArcSegments;
    }
  }

  // axes moving along with the arc (a helix's infeed and the like)
  struct Companion {
    std::string_view name;
    double start;
    double end;
  };
  std::vector<Companion> companions;
  std::vector<std::string_view> excluded{pl.first_axis, pl.second_axis};
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (i == *i1 || i == *i2) continue;
    const double* end = float_cell(cells, axes[i]);
    if (!end) continue;
    double start = *end;
    if (positions[i]) {
      start = *positions[i];
    } else {
      write_warning_line(warning_prefix(row.line) + "start position of axis " +
                         std::string(axes[i]) + " is unknown; it is held at " +
                         errors::float_text(*end) + " over the flattened arc");
    }
    companions.push_back({axes[i], start, *end});
    excluded.push_back(axes[i]);
  }

  const std::size_t segments = static_cast<std::size_t>(count);
  const std::size_t first_out = out.size();
  out.resize(first_out + segments);
  for (std::size_t s = 1; s <= segments; ++s) {
    Row& r = out[first_out + s - 1];
    r.line = row.line;
    const double t = static_cast<double>(s) / static_cast<double>(segments);
    if (s < segments) {
      const double alpha = a0 + sweep * t;
      const double rho = r0 + (r1 - r0) * t;
      r.cells.insert(pl.first_axis, c1 + rho * std::cos(alpha));
      r.cells.insert(pl.second_axis, c2 + rho * std::sin(alpha));
      r.cells.insert(n.flattened, 1.0);
      for (const Companion& c : companions) r.cells.insert(c.name, c.start + (c.end - c.start) * t);
    } else {
      r.cells.insert(pl.first_axis, e1);
      r.cells.insert(pl.second_axis, e2);
      for (const Companion& c : companions) r.cells.insert(c.name, c.end);
    }
  }
  Row& head = out[first_out];
  merge_aux_cells(cells, head.cells, excluded);
  head.variables = std::move(row.variables);
  update_positions(cells);
}

void merge_aux_cells(const CellMap& source, CellMap& target,
                     std::span<const std::string_view> excluded) {
  static constexpr std::string_view kAddresses[] = {"I", "J", "K", "CR", "PW", "SD", "PL", "TURN"};
  const Names& n = names();
  for (const output::Cell& c : source) {
    if (contains_name(excluded, c.name) || contains_name(kAddresses, c.name)) continue;
    if (same_column(c.name, n.motion))
      target.insert(n.motion, Value{std::string("G1")});
    else
      target.insert(c.name, c.value);
  }
  if (!target.contains(n.motion)) target.insert(n.motion, Value{std::string("G1")});
}

output::RowFilter into_row_filter(Flattener flattener) {
  auto f = std::make_shared<Flattener>(std::move(flattener));
  return output::RowFilter{
      [f](Row&& row, std::vector<Row>& out) { f->push(std::move(row), out); },
      [f] { return f->has_pending(); },
      [f](std::vector<Row>& out) { f->flush_spline(out); },
  };
}

// ---------------------------------------------------------------------------
// Curve helpers

double deviation(std::span<const double> x, std::span<const double> a, std::span<const double> b,
                 std::span<const std::size_t> dims) {
  double dd = 0.0;
  double xd = 0.0;
  for (std::size_t k : dims) {
    const double d = b[k] - a[k];
    dd += d * d;
    xd += (x[k] - a[k]) * d;
  }
  double s = 0.0;
  if (dd > 0.0) s = std::clamp(xd / dd, 0.0, 1.0);
  double sum = 0.0;
  for (std::size_t k : dims) {
    const double e = x[k] - (a[k] + s * (b[k] - a[k]));
    sum += e * e;
  }
  return std::sqrt(sum);
}

std::vector<double> akima_slopes(std::span<const double> t, std::span<const double> y) {
  const std::size_t n = t.size();
  if (n < 2) return std::vector<double>(n, 0.0);
  if (n == 2) {
    const double m = (y[1] - y[0]) / (t[1] - t[0]);
    return {m, m};
  }
  // m[i + 2] is the slope of segment i, for i = -2 .. n
  std::vector<double> m(n + 3);
  for (std::size_t i = 0; i + 1 < n; ++i) m[i + 2] = (y[i + 1] - y[i]) / (t[i + 1] - t[i]);
  m[1] = 2.0 * m[2] - m[3];
  m[0] = 2.0 * m[1] - m[2];
  m[n + 1] = 2.0 * m[n] - m[n - 1];
  m[n + 2] = 2.0 * m[n + 1] - m[n];
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double mm2 = m[i];      // m[i-2]
    const double mm1 = m[i + 1];  // m[i-1]
    const double m0 = m[i + 2];   // m[i]
    const double mp1 = m[i + 3];  // m[i+1]
    const double w1 = std::abs(mm1 - mm2);
    const double w2 = std::abs(mp1 - m0);
    out[i] = (w1 + w2 > 1e-12) ? (w1 * m0 + mm1 * w2) / (w1 + w2) : (mm1 + m0) / 2.0;
  }
  return out;
}

std::vector<double> natural_cubic_slopes(std::span<const double> t, std::span<const double> y) {
  const std::size_t n = t.size();
  if (n < 2) return std::vector<double>(n, 0.0);
  if (n == 2) {
    const double m = (y[1] - y[0]) / (t[1] - t[0]);
    return {m, m};
  }
  std::vector<double> h(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i) h[i] = t[i + 1] - t[i];
  // tridiagonal system sub[i]·M[i-1] + diag[i]·M[i] + sup[i]·M[i+1] = rhs[i]
  std::vector<double> sub(n, 0.0), diag(n, 1.0), sup(n, 0.0), rhs(n, 0.0);
  for (std::size_t i = 1; i + 1 < n; ++i) {
    sub[i] = h[i - 1];
    diag[i] = 2.0 * (h[i - 1] + h[i]);
    sup[i] = h[i];
    rhs[i] = 6.0 * ((y[i + 1] - y[i]) / h[i] - (y[i] - y[i - 1]) / h[i - 1]);
  }
  for (std::size_t i = 1; i < n; ++i) {
    const double w = sub[i] / diag[i - 1];
    diag[i] -= w * sup[i - 1];
    rhs[i] -= w * rhs[i - 1];
  }
  std::vector<double> M(n);
  M[n - 1] = rhs[n - 1] / diag[n - 1];
  for (std::size_t i = n - 1; i-- > 0;) M[i] = (rhs[i] - sup[i] * M[i + 1]) / diag[i];
  std::vector<double> out(n);
  for (std::size_t i = 0; i + 1 < n; ++i)
    out[i] = (y[i + 1] - y[i]) / h[i] - h[i] * (2.0 * M[i] + M[i + 1]) / 6.0;
  out[n - 1] = (y[n - 1] - y[n - 2]) / h[n - 2] + h[n - 2] * (M[n - 2] + 2.0 * M[n - 1]) / 6.0;
  return out;
}

namespace {

// adaptive_flatten that stops, returning false, instead of emitting more
// than `room` points; `room` is decreased by every point emitted.
bool split_adaptively(const CurveEval& eval, const std::vector<double>& a,
                      const std::vector<double>& b, std::span<const std::size_t> dims, double t0,
                      double t1, double tolerance, unsigned depth, std::uint64_t& room,
                      const std::function<void(double, const std::vector<double>&)>& emit) {
  auto take_chord = [&] {
    if (room == 0) return false;
    --room;
    emit(t1, b);
    return true;
  };
  const double tm = (t0 + t1) / 2.0;
  std::vector<double> pm = eval(tm);
  if (depth >= kMaxDepth) return take_chord();
  // A curve through a non-finite coordinate cannot be approached by splitting:
  // take the chord rather than splitting 20 levels deep for nothing.
  auto finite = [&](const std::vector<double>& p) {
    for (std::size_t k : dims)
      if (!std::isfinite(p[k])) return false;
    return true;
  };
  if (!finite(a) || !finite(b) || !finite(pm)) return take_chord();
  // a NaN deviation fails the test
  bool ok = deviation(pm, a, b, dims) <= tolerance;
  if (ok) ok = deviation(eval(t0 + 0.25 * (t1 - t0)), a, b, dims) <= tolerance;
  if (ok) ok = deviation(eval(t0 + 0.75 * (t1 - t0)), a, b, dims) <= tolerance;
  if (ok) return take_chord();
  return split_adaptively(eval, a, pm, dims, t0, tm, tolerance, depth + 1, room, emit) &&
         split_adaptively(eval, pm, b, dims, tm, t1, tolerance, depth + 1, room, emit);
}

}  // namespace

void adaptive_flatten(const CurveEval& eval, const std::vector<double>& a,
                      const std::vector<double>& b, std::span<const std::size_t> dims, double t0,
                      double t1, double tolerance, unsigned depth,
                      const std::function<void(double, const std::vector<double>&)>& emit) {
  std::uint64_t room = UINT64_MAX;
  split_adaptively(eval, a, b, dims, t0, t1, tolerance, depth, room, emit);
}

void flatten_interval(const CurveEval& eval, const std::vector<double>& a,
                      const std::vector<double>& b, std::span<const std::size_t> dims, double t0,
                      double t1, double tolerance, std::size_t line,
                      const std::function<void(double, const std::vector<double>&)>& emit) {
  std::vector<std::pair<double, std::vector<double>>> adaptive;
  std::uint64_t room = kMaxSplineSegments;
  if (split_adaptively(eval, a, b, dims, t0, t1, tolerance, 0, room,
                       [&](double t, const std::vector<double>& p) { adaptive.emplace_back(t, p); })) {
    for (const auto& [t, p] : adaptive) emit(t, p);
    return;
  }
  adaptive = {};
  write_warning_line(warning_prefix(line) + "spline interval needs more than " +
                     std::to_string(kMaxSplineSegments) +
                     " segments to meet the tolerance; clamped to " +
                     std::to_string(kMaxSplineSegments) +
                     " (deviation will exceed the requested tolerance)");
  // equal parameter steps, the last one ending exactly on the interval's end
  const double steps = static_cast<double>(kMaxSplineSegments);
  for (std::uint64_t i = 1; i < kMaxSplineSegments; ++i) {
    const double t = t0 + (t1 - t0) * (static_cast<double>(i) / steps);
    emit(t, eval(t));
  }
  emit(t1, b);
}

BSpline BSpline::create(const std::vector<std::vector<double>>& points,
                        std::span<const double> weights, unsigned degree) {
  BSpline s;
  const std::size_t count = points.size();
  s.degree = degree;
  s.spans = static_cast<unsigned>(count - degree);
  s.coordinates = count ? static_cast<unsigned>(points.front().size()) : 0;
  s.knots.reserve(count + degree + 1);
  for (unsigned i = 0; i <= degree; ++i) s.knots.push_back(0.0);
  for (unsigned i = 1; i < s.spans; ++i) s.knots.push_back(static_cast<double>(i));
  for (unsigned i = 0; i <= degree; ++i) s.knots.push_back(static_cast<double>(s.spans));
  s.control_points.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<double> c(s.coordinates + 1);
    for (unsigned k = 0; k < s.coordinates; ++k) c[k] = points[i][k] * weights[i];
    c[s.coordinates] = weights[i];
    s.control_points.push_back(std::move(c));
  }
  return s;
}

std::vector<double> BSpline::eval(double t) const {
  const unsigned p = degree;
  t = std::clamp(t, 0.0, static_cast<double>(spans));
  const std::size_t k = t < static_cast<double>(spans)
                            ? p + static_cast<std::size_t>(t)
                            : control_points.size() - 1;
  std::vector<std::vector<double>> d(control_points.begin() + static_cast<std::ptrdiff_t>(k - p),
                                     control_points.begin() + static_cast<std::ptrdiff_t>(k + 1));
  for (unsigned r = 1; r <= p; ++r) {
    for (unsigned j = p; j >= r; --j) {
      const std::size_t i = k - p + j;
      const double den = knots[i + p - r + 1] - knots[i];
      const double alpha = std::abs(den) < 1e-30 ? 0.0 : (t - knots[i]) / den;
      for (unsigned c = 0; c <= coordinates; ++c)
        d[j][c] = (1.0 - alpha) * d[j - 1][c] + alpha * d[j][c];
    }
  }
  std::vector<double> out(coordinates);
  const double w = d[p][coordinates];
  for (unsigned c = 0; c < coordinates; ++c) out[c] = d[p][c] / w;
  return out;
}

// ---------------------------------------------------------------------------
// Spline runs

void Flattener::flush_spline(std::vector<Row>& out) {
  if (pending.empty()) return;
  std::vector<SplineItem> items = std::move(pending);
  pending.clear();
  std::vector<std::optional<double>> start = std::move(spline_start);
  spline_start.clear();
  start.resize(axes.size());

  const SplineMotion* sm = std::get_if<SplineMotion>(&motion);
  if (!sm) {
    // a run is only open under spline motion; keep the rows if that ever breaks
    for (SplineItem& item : items)
      std::visit([&](auto& it) { out.push_back(std::move(it.row)); }, item);
    return;
  }
  const SplineKind kind = sm->kind;
  const Names& n = names();

  auto point_row = [](SplineItem& item) -> Row* {
    auto* p = std::get_if<SplinePoint>(&item);
    return p ? &p->row : nullptr;
  };

  // the axes the run programs, in order of first appearance
  std::vector<std::size_t> spline_axes;  // indices into `axes`
  std::vector<char> seen(axes.size(), 0);
  for (SplineItem& item : items) {
    Row* r = point_row(item);
    if (!r) continue;
    for (std::size_t a = 0; a < axes.size(); ++a)
      if (!seen[a] && float_cell(r->cells, axes[a])) {
        seen[a] = 1;
        spline_axes.push_back(a);
      }
  }
  const std::size_t dim_count = spline_axes.size();

  Point running(dim_count, 0.0);
  for (std::size_t k = 0; k < dim_count; ++k) {
    const std::size_t a = spline_axes[k];
    if (start[a]) {
      running[k] = *start[a];
      continue;
    }
    for (SplineItem& item : items) {
      Row* r = point_row(item);
      if (!r) continue;
      if (const double* v = float_cell(r->cells, axes[a])) {
        running[k] = *v;
        break;
      }
    }
  }

  std::vector<Point> points{running};
  std::vector<double> weights{1.0};
  std::vector<std::size_t> owner{items.size()};  // items.size(): the start point
  for (std::size_t idx = 0; idx < items.size(); ++idx) {
    Row* r = point_row(items[idx]);
    if (!r) continue;
    for (std::size_t k = 0; k < dim_count; ++k)
      if (const double* v = float_cell(r->cells, axes[spline_axes[k]])) running[k] = *v;
    points.push_back(running);
    double w = 1.0;
    if (const double* pw = float_cell(r->cells, n.pw)) w = *pw > 0.0001 ? *pw : 0.0001;
    weights.push_back(w);
    owner.push_back(idx);
  }
  const std::size_t count = points.size();

  std::vector<std::size_t> dims;
  for (std::size_t k = 0; k < dim_count; ++k) {
    std::string_view name = axes[spline_axes[k]];
    if (name == "X" || name == "Y" || name == "Z") dims.push_back(k);
  }
  if (dims.empty())
    for (std::size_t k = 0; k < dim_count; ++k) dims.push_back(k);

  std::vector<std::vector<Point>> samples(items.size());
  if (count >= 2) {
    if (kind == SplineKind::BSpline) {
      const unsigned p =
          static_cast<unsigned>(std::clamp<std::size_t>(spline_degree, 1, count - 1));
      const BSpline curve = BSpline::create(points, weights, p);
      const CurveEval eval = [&curve](double t) { return curve.eval(t); };
      // each sample goes to the first point (not before the previous one)
      // whose Greville abscissa is at least its parameter
      auto greville = [&](std::size_t i) {
        double sum = 0.0;
        for (unsigned j = 1; j <= p; ++j) sum += curve.knots[i + j];
        return sum / p;
      };
      std::vector<std::pair<double, Point>> params;
      Point q0 = curve.eval(0.0);
      std::size_t span_owner = 1;  // the point the end of the span goes to
      for (unsigned u = 1; u <= curve.spans; ++u) {
        Point q1 = curve.eval(static_cast<double>(u));
        while (span_owner < count - 1 && static_cast<double>(u) > greville(span_owner))
          ++span_owner;
        const std::size_t line = point_row(items[owner[span_owner]])->line;
        flatten_interval(eval, q0, q1, dims, u - 1.0, static_cast<double>(u), tolerance, line,
                         [&](double t, const Point& pt) { params.emplace_back(t, pt); });
        q0 = std::move(q1);
      }
      std::size_t index = 1;
      for (auto& [t, pt] : params) {
        while (index < count - 1 && t > greville(index)) ++index;
        samples[owner[index]].push_back(std::move(pt));
      }
    } else {
      std::vector<double> tau(count, 0.0);
      for (std::size_t i = 1; i < count; ++i) {
        double sum = 0.0;
        for (std::size_t k : dims) {
          const double d = points[i][k] - points[i - 1][k];
          sum += d * d;
        }
        tau[i] = tau[i - 1] + std::sqrt(sum);
      }
      if (tau[count - 1] > 0.0) {
        // points on top of the previous one are left out of the fit
        std::vector<double> kt{tau[0]};
        std::vector<std::size_t> kept{0};
        for (std::size_t i = 1; i < count; ++i)
          if (tau[i] > kt.back() + 1e-12) {
            kt.push_back(tau[i]);
            kept.push_back(i);
          }
        if (kept.size() >= 2) {
          std::vector<std::vector<double>> slopes(dim_count);
          std::vector<double> values(kept.size());
          for (std::size_t k = 0; k < dim_count; ++k) {
            for (std::size_t i = 0; i < kept.size(); ++i) values[i] = points[kept[i]][k];
            slopes[k] = kind == SplineKind::Akima ? akima_slopes(kt, values)
                                                  : natural_cubic_slopes(kt, values);
          }
          const CurveEval eval = [&](double t) {
            auto it = std::lower_bound(kt.begin() + 1, kt.end(), t);
            const std::size_t seg = it == kt.end()
                                        ? kt.size() - 2
                                        : static_cast<std::size_t>(it - kt.begin()) - 1;
            const double len = kt[seg + 1] - kt[seg];
            const double s = std::clamp((t - kt[seg]) / len, 0.0, 1.0);
            const double s2 = s * s;
            const double s3 = s2 * s;
            const double h00 = 2 * s3 - 3 * s2 + 1;
            const double h10 = s3 - 2 * s2 + s;
            const double h01 = 3 * s2 - 2 * s3;
            const double h11 = s3 - s2;
            const Point& p0 = points[kept[seg]];
            const Point& p1 = points[kept[seg + 1]];
            Point r(dim_count);
            for (std::size_t k = 0; k < dim_count; ++k)
              r[k] = h00 * p0[k] + h10 * len * slopes[k][seg] + h01 * p1[k] +
                     h11 * len * slopes[k][seg + 1];
            return r;
          };
          for (std::size_t i = 1; i < count; ++i) {
            std::vector<Point>& into = samples[owner[i]];
            if (tau[i] - tau[i - 1] <= 1e-12) {
              into.push_back(points[i]);
              continue;
            }
            flatten_interval(eval, points[i - 1], points[i], dims, tau[i - 1], tau[i], tolerance,
                             point_row(items[owner[i]])->line,
                             [&](double, const Point& pt) { into.push_back(pt); });
          }
        }
      }
    }
  }

  std::size_t last_point_item = items.size();
  for (std::size_t idx = 0; idx < items.size(); ++idx)
    if (point_row(items[idx])) last_point_item = idx;

  std::vector<std::string_view> excluded;
  excluded.reserve(dim_count);
  for (std::size_t a : spline_axes) excluded.push_back(axes[a]);

  // every item gives at least one row: reserve for all of them at once
  std::size_t emitted = 0;
  for (const std::vector<Point>& mine : samples) emitted += std::max<std::size_t>(mine.size(), 1);
  out.reserve(out.size() + emitted);

  bool first_point = true;
  for (std::size_t idx = 0; idx < items.size(); ++idx) {
    Row* src = point_row(items[idx]);
    if (!src) {
      out.push_back(std::move(std::get<SplinePassthrough>(items[idx]).row));
      continue;
    }
    const std::size_t first_out = out.size();
    const std::vector<Point>& mine = samples[idx];
    if (!mine.empty()) {
      for (std::size_t s = 0; s < mine.size(); ++s) {
        Row r;
        r.line = src->line;
        for (std::size_t k = 0; k < dim_count; ++k) r.cells.insert(axes[spline_axes[k]], mine[s][k]);
        const bool last_sample = s + 1 == mine.size();
        const bool exact = kind == SplineKind::BSpline ? (last_sample && idx == last_point_item)
                                                       : last_sample;
        if (!exact) r.cells.insert(n.flattened, 1.0);
        out.push_back(std::move(r));
      }
    } else {
      Row r;
      r.line = src->line;
      if (kind != SplineKind::BSpline) {
        // the programmed values of the axes this block names
        std::size_t point_index = 0;
        for (std::size_t i = 1; i < count; ++i)
          if (owner[i] == idx) point_index = i;
        for (std::size_t k = 0; k < dim_count; ++k)
          if (float_cell(src->cells, axes[spline_axes[k]]))
            r.cells.insert(axes[spline_axes[k]], points[point_index][k]);
      }
      out.push_back(std::move(r));
    }
    Row& head = out[first_out];
    merge_aux_cells(src->cells, head.cells, excluded);
    head.variables = std::move(src->variables);
    if (first_point)
      head.cells.insert(n.motion, Value{std::string("G1")});
    else
      head.cells.remove(n.motion);
    first_point = false;
  }
}

}  // namespace kelvane::flatten
