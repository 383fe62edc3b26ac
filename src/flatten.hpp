#pragma once
// Path flattening: the optional row filter between the row collector and its
// sink. It replaces circular arcs (G2/G3 with I/J/K or CR, TURN, helical
// companion axes) and ASPLINE/BSPLINE/CSPLINE runs by straight segments that
// stay within a tolerance, marks intermediate points with "flattened" = 1.0,
// and passes every block it cannot flatten through unchanged with a warning.
// Flattening never fails a run; only a bad tolerance is refused up front.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "errors.hpp"
#include "output.hpp"

namespace kelvane::flatten {

using output::CellMap;
using output::Row;


enum class SplineKind : std::uint8_t { Akima, BSpline, NaturalCubic };

// The interpolation type of the current block, from its "gg01_motion" text.
struct LinearMotion {
  friend bool operator==(const LinearMotion&, const LinearMotion&) = default;
};
struct ArcMotion {
  bool clockwise = false;  // G2
  friend bool operator==(const ArcMotion&, const ArcMotion&) = default;
};
struct SplineMotion {
  SplineKind kind = SplineKind::Akima;
  friend bool operator==(const SplineMotion&, const SplineMotion&) = default;
};
struct OtherMotion {
  friend bool operator==(const OtherMotion&, const OtherMotion&) = default;
};
using MotionKind = std::variant<LinearMotion, ArcMotion, SplineMotion, OtherMotion>;

// "G0"/"G1" linear, "G2"/"G3" arcs, "ASPLINE"/"BSPLINE"/"CSPLINE" splines,
// anything else (CIP, CT, POLY, G33, ...) other. Exact, case-sensitive.
MotionKind motion_kind_of(std::string_view motion_text);

// The working plane: its two axes and their centre-offset words.
struct PlaneAxes {
  std::string_view first_axis;
  std::string_view second_axis;
  std::string_view first_offset;
  std::string_view second_offset;
};
// "G18": Z X K I; "G19": Y Z J K; anything else: X Y I J.
PlaneAxes plane_axes_of(std::string_view plane_text);

// A row queued in an open spline run: a control point (the row programs at
// least one flattened axis) or a row that passes at its place.
struct SplinePoint {
  Row row;
};
struct SplinePassthrough {
  Row row;
};
using SplineItem = std::variant<SplinePoint, SplinePassthrough>;

struct Flattener {
  // The axes flattening moves (configured names upper-cased, without the
  // one-letter D, F, N, S and T), interned, in configured order.
  std::vector<std::string_view> axes;
  // The last known position of each axis, one entry per `axes` entry.
  std::vector<std::optional<double>> positions;
  std::vector<SplineItem> pending;
  // `positions` as they were when the open spline run began.
  std::vector<std::optional<double>> spline_start;
  std::vector<std::string> warned_motions;
  PlaneAxes plane = plane_axes_of("G17");
  double tolerance = 0.0;
  unsigned spline_degree = 3;
  MotionKind motion = LinearMotion{};

  // A flattener for these configured axis names; ParseError "flatten
  // tolerance must be a positive number, got {}" unless the tolerance is
  // finite and greater than 0.
  static errors::Result<Flattener> create(std::span<const std::string> axis_identifiers,
                                          double tolerance);

  // Records a known axis position (the name is upper-cased; names that are
  // not flattened axes are ignored).
  void seed_position(std::string_view name, double value);

  // Consumes one finished row and appends the rows replacing it to `out`: the
  // row itself, the segments of an arc, or nothing while a spline run is open
  // (a run that closes because the motion changed is appended first).
  void push(Row&& row, std::vector<Row>& out);

  // Closes the open spline run, if any, and appends its rows to `out`.
  void flush_spline(std::vector<Row>& out);

  // Whether a spline run is open.
  bool has_pending() const noexcept { return !pending.empty(); }

  // Warns "cannot flatten block (<reason>); emitting it unchanged", takes the
  // row's axis positions and appends it unchanged.
  void pass_through_with_warning(Row&& row, std::string_view reason, std::vector<Row>& out);

 private:
  void flatten_arc(Row&& row, bool clockwise, std::vector<Row>& out);
  void update_positions(const CellMap& cells);
  std::optional<std::size_t> axis_index(std::string_view name) const;
};

// Copies the non-geometry cells of `source` into `target` (the first row
// emitted for a block): skips the excluded names and I, J, K, CR, PW, SD, PL,
// TURN; the motion becomes "G1" (added when absent).
void merge_aux_cells(const CellMap& source, CellMap& target,
                     std::span<const std::string_view> excluded);

// Wraps a flattener as the row collector's filter stage:
//   rows.flattener = flatten::into_row_filter(std::move(flattener));
output::RowFilter into_row_filter(Flattener flattener);

// ---------------------------------------------------------------------------
// Curve helpers of the spline runs (exposed for tests).

// Distance from `x` to the segment a-b, measured on the coordinates in `dims`
// (0 without dims).
double deviation(std::span<const double> x, std::span<const double> a, std::span<const double> b,
                 std::span<const std::size_t> dims);

// Slopes at the points of one coordinate: Akima, and natural cubic spline.
// `t` (increasing) and `y` have the same length of at least 2.
std::vector<double> akima_slopes(std::span<const double> t, std::span<const double> y);
std::vector<double> natural_cubic_slopes(std::span<const double> t, std::span<const double> y);

// A curve point at a parameter.
using CurveEval = std::function<std::vector<double>(double)>;

// Splits [t0, t1] (with curve points a and b at its ends) until the curve's
// midpoint and quarter points lie within `tolerance` of each chord, at most
// 20 levels deep; emits the interval ends after t0 in increasing order.
void adaptive_flatten(const CurveEval& eval, const std::vector<double>& a,
                      const std::vector<double>& b, std::span<const std::size_t> dims, double t0,
                      double t1, double tolerance, unsigned depth,
                      const std::function<void(double, const std::vector<double>&)>& emit);

// The samples of one spline interval: those of adaptive_flatten when there
// are at most limits::kMaxSplineSegments of them; otherwise that many equal
// parameter steps, with a warning naming `line`. The last sample is (t1, b).
void flatten_interval(const CurveEval& eval, const std::vector<double>& a,
                      const std::vector<double>& b, std::span<const std::size_t> dims, double t0,
                      double t1, double tolerance, std::size_t line,
                      const std::function<void(double, const std::vector<double>&)>& emit);

// Rational B-spline with clamped uniform integer knots over N points.
struct BSpline {
  std::vector<double> knots;
  std::vector<std::vector<double>> control_points;  // coordinates times weight, then the weight
  unsigned degree = 1;
  unsigned spans = 1;
  unsigned coordinates = 0;

  // `degree` must be between 1 and points.size() - 1.
  static BSpline create(const std::vector<std::vector<double>>& points,
                        std::span<const double> weights, unsigned degree);
  std::vector<double> eval(double t) const;
};

}  // namespace kelvane::flatten
