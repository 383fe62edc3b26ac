// Spline runs: ASPLINE, BSPLINE, CSPLINE and the curve helpers.
#include "test_flatten_fixture.hpp"

#include <functional>

using namespace flatten_test;
namespace fl = kelvane::flatten;

namespace {

using P2 = std::pair<double, double>;

double dist_to_segment(P2 x, P2 a, P2 b) {
  const double dx = b.first - a.first, dy = b.second - a.second;
  const double dd = dx * dx + dy * dy;
  double s = dd > 0 ? ((x.first - a.first) * dx + (x.second - a.second) * dy) / dd : 0;
  s = std::clamp(s, 0.0, 1.0);
  return std::hypot(x.first - (a.first + s * dx), x.second - (a.second + s * dy));
}

std::vector<P2> xy_path(P2 start, const std::vector<Row>& rows) {
  std::vector<P2> path{start};
  for (const Row& r : rows) {
    auto x = num(r, "X"), y = num(r, "Y");
    if (x && y) path.emplace_back(*x, *y);
  }
  return path;
}

// The polyline stays within `tol` of the curve (checked at dense curve
// points), and every vertex lies on the curve.
void expect_follows(const std::vector<P2>& path, const std::function<P2(double)>& curve,
                    double tol) {
  double worst = 0;
  for (int i = 0; i <= 2000; ++i) {
    const P2 c = curve(i / 2000.0);
    double best = INFINITY;
    for (std::size_t k = 1; k < path.size(); ++k)
      best = std::min(best, dist_to_segment(c, path[k - 1], path[k]));
    worst = std::max(worst, best);
  }
  EXPECT_LE(worst, tol * 1.05);
  for (const P2& v : path) {
    double best = INFINITY;
    for (int i = 0; i <= 20000; ++i) {
      const P2 c = curve(i / 20000.0);
      best = std::min(best, std::hypot(c.first - v.first, c.second - v.second));
    }
    EXPECT_LT(best, 0.01) << v.first << "," << v.second;
  }
}

std::size_t flagged(const std::vector<Row>& rows) {
  std::size_t n = 0;
  for (const Row& r : rows) n += r.cells.contains("flattened");
  return n;
}

Row start_at(double x, double y) { return row(1, {{"gg01_motion", "G1"}, {"X", x}, {"Y", y}}); }

}  // namespace

TEST(FlattenSpline, CsplineRunFollowsNaturalCubicAndClosesBeforeNextMotion) {
  const double tol = 0.01;
  Flattener f = make_flattener(tol);
  auto run = feed(f,
                  {start_at(0, 0), row(2, {{"gg01_motion", "CSPLINE"}, {"X", 10.0}, {"Y", 0.0}}),
                   row(3, {{"X", 20.0}, {"Y", 10.0}}),
                   row(4, {{"gg01_motion", "G1"}, {"X", 30.0}, {"Y", 10.0}})},
                  /*flush=*/false);
  EXPECT_EQ(run.warnings, "");
  EXPECT_FALSE(f.has_pending());
  // order: start row, the run's rows, then the G1 row
  ASSERT_GT(run.out.size(), 4u);
  EXPECT_EQ(run.out.front().line, 1u);
  EXPECT_EQ(run.out.back().line, 4u);
  std::vector<Row> spline(run.out.begin() + 1, run.out.end() - 1);

  // the rows of each block end exactly at its point, unflagged; the others are flagged
  std::size_t last2 = 0;
  for (std::size_t i = 0; i < spline.size(); ++i)
    if (spline[i].line == 2) last2 = i;
  EXPECT_EQ(*num(spline[last2], "X"), 10.0);
  EXPECT_EQ(*num(spline[last2], "Y"), 0.0);
  EXPECT_FALSE(spline[last2].cells.contains("flattened"));
  EXPECT_FALSE(spline.back().cells.contains("flattened"));
  EXPECT_EQ(*num(spline.back(), "X"), 20.0);
  EXPECT_EQ(flagged(spline), spline.size() - 2);
  EXPECT_EQ(text(spline.front(), "gg01_motion"), "G1");
  EXPECT_FALSE(spline[last2 + 1].cells.contains("gg01_motion"));

  // natural cubic through (0,0), (10,0), (20,10) over chord length, written
  // in second-derivative form
  const double h0 = 10, h1 = std::hypot(10, 10);
  auto natural = [&](double y0, double y1, double y2) {
    const double m1 = 6 * ((y2 - y1) / h1 - (y1 - y0) / h0) / (2 * (h0 + h1));
    return [=](double t) {
      if (t <= h0) {
        const double a = h0 - t, b = t;
        return m1 * b * b * b / (6 * h0) + y0 / h0 * a + (y1 / h0 - m1 * h0 / 6) * b;
      }
      const double a = h0 + h1 - t, b = t - h0;
      return m1 * a * a * a / (6 * h1) + (y1 / h1 - m1 * h1 / 6) * a + y2 / h1 * b;
    };
  };
  auto cx = natural(0, 10, 20), cy = natural(0, 0, 10);
  expect_follows(xy_path({0, 0}, spline),
                 [&](double u) { return P2{cx(u * (h0 + h1)), cy(u * (h0 + h1))}; }, tol);
}

TEST(FlattenSpline, BsplineDegreeTwoIsTheQuadraticBezierWithinTolerance) {
  // SD=5 with two control blocks: the degree is limited to 2, one span
  for (double tol : {0.1, 0.01, 0.001}) {
    SCOPED_TRACE(tol);
    Flattener f = make_flattener(tol);
    auto run = feed(f, {start_at(0, 0),
                        row(2, {{"gg01_motion", "BSPLINE"}, {"SD", 5.0}, {"X", 10.0}, {"Y", 20.0}}),
                        row(3, {{"X", 20.0}, {"Y", 0.0}})});
    std::vector<Row> spline(run.out.begin() + 1, run.out.end());
    expect_follows(xy_path({0, 0}, spline),
                   [](double t) {
                     const double b = 2 * t * (1 - t), c = t * t;
                     return P2{10 * b + 20 * c, 20 * b};
                   },
                   tol);
    // only the curve's end is unflagged, and it is the last programmed point
    EXPECT_EQ(flagged(spline), spline.size() - 1);
    EXPECT_EQ(*num(spline.back(), "X"), 20.0);
    EXPECT_EQ(*num(spline.back(), "Y"), 0.0);
    EXPECT_FALSE(spline.front().cells.contains("SD"));
  }
}

TEST(FlattenSpline, BsplineWeightsPullTheCurve) {
  // PW=0 counts as 0.0001: the middle control point hardly pulls; PW=4 pulls hard
  auto peak = [](double pw) {
    Flattener f = make_flattener(0.001);
    auto run = feed(f, {start_at(0, 0),
                        row(2, {{"gg01_motion", "BSPLINE"}, {"X", 10.0}, {"Y", 20.0}, {"PW", pw}}),
                        row(3, {{"X", 20.0}, {"Y", 0.0}})});
    double top = 0;
    for (const Row& r : run.out) top = std::max(top, num(r, "Y").value_or(0));
    return top;
  };
  // rational quadratic Bezier peak at t = 0.5: w·20·0.5 / (0.25 + w·0.5 + 0.25)
  auto expected = [](double w) { return 20 * w / (1 + w); };
  EXPECT_NEAR(peak(0.0), expected(0.0001), 1e-3);
  EXPECT_NEAR(peak(1.0), expected(1.0), 1e-3);
  EXPECT_NEAR(peak(4.0), expected(4.0), 1e-3);
}

TEST(FlattenSpline, BsplineWithThreeControlBlocksEndsOnLastPoint) {
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {start_at(0, 0),
                      row(2, {{"gg01_motion", "BSPLINE"}, {"SD", 2.0}, {"X", 10.0}, {"Y", 10.0}}),
                      row(3, {{"X", 20.0}, {"Y", -10.0}}), row(4, {{"X", 30.0}, {"Y", 0.0}})});
  std::vector<Row> spline(run.out.begin() + 1, run.out.end());
  EXPECT_EQ(flagged(spline), spline.size() - 1);
  EXPECT_EQ(*num(spline.back(), "X"), 30.0);
  EXPECT_EQ(*num(spline.back(), "Y"), 0.0);
  EXPECT_EQ(spline.back().line, 4u);
  // rows come in block order
  for (std::size_t i = 1; i < spline.size(); ++i) EXPECT_LE(spline[i - 1].line, spline[i].line);
}

TEST(FlattenSpline, BsplineBlockWithoutSamplesKeepsItsPlace) {
  // degree 3 over five collinear points, coarse tolerance: samples fall only
  // at the span ends, so the first and third control blocks get none
  Flattener f = make_flattener(100.0);
  auto run = feed(f, {start_at(0, 0),
                      row(2, {{"gg01_motion", "BSPLINE"}, {"X", 10.0}, {"F", 50.0}}),
                      row(3, {{"X", 20.0}}), row(4, {{"X", 30.0}}), row(5, {{"X", 40.0}})});
  ASSERT_EQ(run.out.size(), 5u);
  // block 2: no axis cells, its other cells and the motion
  EXPECT_EQ(cell_names(run.out[1]), (std::vector<std::string>{"gg01_motion", "F"}));
  EXPECT_EQ(run.out[2].line, 3u);
  EXPECT_TRUE(run.out[2].cells.contains("X"));
  // block 4 programs nothing but axes: a row without cells
  EXPECT_EQ(run.out[3].line, 4u);
  EXPECT_TRUE(run.out[3].cells.empty());
  EXPECT_EQ(*num(run.out[4], "X"), 40.0);
  EXPECT_FALSE(run.out[4].cells.contains("flattened"));
}

TEST(FlattenSpline, AkimaPassesThroughPointsAndSkipsRepeats) {
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {start_at(0, 0),
                      row(2, {{"gg01_motion", "ASPLINE"}, {"X", 10.0}, {"Y", 5.0}}),
                      row(3, {{"X", 10.0}, {"Y", 5.0}}),  // same point again
                      row(4, {{"X", 20.0}, {"Y", 0.0}}), row(5, {{"X", 30.0}, {"Y", 5.0}}),
                      row(6, {{"F", 300.0}}),  // no axis: emitted at its place
                      row(7, {{"X", 40.0}, {"Y", 0.0}})});
  std::vector<Row> spline(run.out.begin() + 1, run.out.end());
  std::vector<std::size_t> per_line(8, 0);
  for (const Row& r : spline) ++per_line[r.line];
  EXPECT_EQ(per_line[3], 1u);
  EXPECT_EQ(per_line[6], 1u);
  for (const Row& r : spline) {
    if (r.line == 3) {
      EXPECT_EQ(cell_names(r), (std::vector<std::string>{"X", "Y"}));
      EXPECT_EQ(*num(r, "X"), 10.0);
    }
    if (r.line == 6) {
      EXPECT_EQ(cell_names(r), (std::vector<std::string>{"F"}));
    }
  }
  // every block's rows end on its programmed point
  const double want[][2] = {{0, 0}, {0, 0}, {10, 5}, {10, 5}, {20, 0}, {30, 5}, {0, 0}, {40, 0}};
  for (std::size_t line : {2, 3, 4, 5, 7}) {
    const Row* last = nullptr;
    for (const Row& r : spline)
      if (r.line == line) last = &r;
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(*num(*last, "X"), want[line][0]);
    EXPECT_EQ(*num(*last, "Y"), want[line][1]);
    EXPECT_FALSE(last->cells.contains("flattened"));
  }
  // the curve stays near the programmed polygon
  for (const Row& r : spline) {
    if (auto y = num(r, "Y")) {
      EXPECT_TRUE(*y > -2 && *y < 7);
    }
  }
  // only the first emitted row carries the motion
  std::size_t with_motion = 0;
  for (const Row& r : spline) with_motion += r.cells.contains("gg01_motion");
  EXPECT_EQ(with_motion, 1u);
  EXPECT_EQ(text(spline.front(), "gg01_motion"), "G1");
}

TEST(FlattenSpline, PwHasNoEffectOnInterpolatingSplines) {
  auto coords = [](bool with_pw) {
    Flattener f = make_flattener(0.01);
    Row mid = row(3, {{"X", 20.0}, {"Y", 10.0}});
    if (with_pw) mid.cells.insert("PW", 7.0);
    auto run = feed(f, {start_at(0, 0), row(2, {{"gg01_motion", "CSPLINE"}, {"X", 10.0}, {"Y", 0.0}}),
                        std::move(mid), row(4, {{"X", 30.0}, {"Y", 0.0}})});
    return xy_path({0, 0}, run.out);
  };
  EXPECT_EQ(coords(false), coords(true));
}

TEST(FlattenSpline, ChordsMeasuredOnXyzOnlyOtherAxesFollow) {
  // X and A: lengths on X; A interpolated along the same parameter
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {row(1, {{"X", 0.0}, {"A", 0.0}}),
                      row(2, {{"gg01_motion", "CSPLINE"}, {"X", 10.0}, {"A", 90.0}}),
                      row(3, {{"X", 20.0}, {"A", 180.0}})});
  std::vector<Row> spline(run.out.begin() + 1, run.out.end());
  // collinear in X: one row per block, A exact at the ends
  ASSERT_EQ(spline.size(), 2u);
  EXPECT_EQ(cell_names(spline[0]), (std::vector<std::string>{"X", "A", "gg01_motion"}));
  EXPECT_EQ(*num(spline[1], "A"), 180.0);

  // only A programmed: lengths and deviations use A
  Flattener g = make_flattener(0.01);
  auto only_a = feed(g, {row(1, {{"A", 0.0}}),
                         row(2, {{"gg01_motion", "BSPLINE"}, {"A", 90.0}}), row(3, {{"A", 0.0}})});
  std::vector<Row> a_rows(only_a.out.begin() + 1, only_a.out.end());
  // the peak of the curve in A is sampled (without a measure, one row per span)
  ASSERT_EQ(a_rows.size(), 2u);
  EXPECT_DOUBLE_EQ(*num(a_rows[0], "A"), 45.0);
  EXPECT_EQ(*num(a_rows[1], "A"), 0.0);
}

TEST(FlattenSpline, RunChangesFlushAndFinishFlushes) {
  Flattener f = make_flattener(0.1);
  auto run = feed(f,
                  {start_at(0, 0), row(2, {{"gg01_motion", "ASPLINE"}, {"X", 10.0}, {"Y", 5.0}}),
                   row(3, {{"gg01_motion", "BSPLINE"}, {"X", 20.0}, {"Y", 0.0}}),
                   row(4, {{"X", 30.0}, {"Y", 5.0}})},
                  /*flush=*/false);
  // the ASPLINE run closed when BSPLINE came; the BSPLINE run is still open
  ASSERT_EQ(run.out.size(), 2u);
  EXPECT_EQ(run.out[1].line, 2u);
  EXPECT_TRUE(f.has_pending());
  std::vector<Row> rest;
  f.flush_spline(rest);
  EXPECT_FALSE(f.has_pending());
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.front().line, 3u);
  EXPECT_EQ(text(rest.front(), "gg01_motion"), "G1");
  EXPECT_EQ(*num(rest.back(), "X"), 30.0);
  f.flush_spline(rest);  // nothing open: nothing happens
  EXPECT_EQ(*num(rest.back(), "X"), 30.0);
}

TEST(FlattenSpline, DegenerateRunsGiveOneRowPerBlock) {
  // every point on top of the start: no samples, programmed values kept
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {start_at(5, 5), row(2, {{"gg01_motion", "CSPLINE"}, {"X", 5.0}}),
                      row(3, {{"Y", 5.0}, {"F", 10.0}})});
  ASSERT_EQ(run.out.size(), 3u);
  EXPECT_EQ(cell_names(run.out[1]), (std::vector<std::string>{"X", "gg01_motion"}));
  EXPECT_EQ(cell_names(run.out[2]), (std::vector<std::string>{"Y", "F"}));

  // a run with no control point at all
  Flattener g = make_flattener(0.01);
  auto lone = feed(g, {row(1, {{"gg01_motion", "BSPLINE"}, {"F", 10.0}})});
  ASSERT_EQ(lone.out.size(), 1u);
  EXPECT_EQ(cell_names(lone.out[0]), (std::vector<std::string>{"gg01_motion", "F"}));
}

TEST(FlattenCurves, SlopesReproduceLinesAndParabolas) {
  const std::vector<double> t{0, 1, 3, 4, 7};
  std::vector<double> line, para;
  for (double v : t) {
    line.push_back(2 * v + 1);
    para.push_back(v * v);
  }
  for (double s : fl::akima_slopes(t, line)) EXPECT_NEAR(s, 2.0, 1e-12);
  for (double s : fl::natural_cubic_slopes(t, line)) EXPECT_NEAR(s, 2.0, 1e-12);
  // Akima is exact on a parabola at interior points with equal spacing
  const std::vector<double> te{0, 1, 2, 3, 4}, pe{0, 1, 4, 9, 16};
  auto ak = fl::akima_slopes(te, pe);
  EXPECT_NEAR(ak[2], 4.0, 1e-12);
  // two points: the chord slope for both
  const std::vector<double> t2{0, 2}, y2{1, 5};
  EXPECT_EQ(fl::akima_slopes(t2, y2), (std::vector<double>{2, 2}));
  EXPECT_EQ(fl::natural_cubic_slopes(t2, y2), (std::vector<double>{2, 2}));
}

TEST(FlattenCurves, DeviationIsDistanceToTheSegment) {
  const std::vector<double> a{0, 0, 0}, b{10, 0, 0};
  const std::vector<std::size_t> xy{0, 1}, none{};
  EXPECT_DOUBLE_EQ(fl::deviation(std::vector<double>{5, 3, 9}, a, b, xy), 3.0);
  EXPECT_DOUBLE_EQ(fl::deviation(std::vector<double>{-4, 3, 0}, a, b, xy), 5.0);
  EXPECT_DOUBLE_EQ(fl::deviation(std::vector<double>{14, 3, 0}, a, b, xy), 5.0);
  EXPECT_DOUBLE_EQ(fl::deviation(std::vector<double>{3, 4, 0}, a, a, xy), 5.0);
  EXPECT_EQ(fl::deviation(std::vector<double>{5, 3, 9}, a, b, none), 0.0);
}

TEST(FlattenCurves, AdaptiveFlattenStopsAtDepthLimit) {
  // a curve that never fits its chords is split 20 levels deep: each
  // midpoint rises 10 above both ends of its interval
  std::size_t emitted = 0;
  const fl::CurveEval wild = [](double t) {
    int digits = 0;
    while (digits < 60 && std::ldexp(t, digits) != std::floor(std::ldexp(t, digits))) ++digits;
    return std::vector<double>{t, 10.0 * digits};
  };
  const std::vector<std::size_t> dims{0, 1};
  fl::adaptive_flatten(wild, {0, 0}, {1, 0}, dims, 0, 1, 0.1, 0,
                       [&](double, const std::vector<double>&) { ++emitted; });
  EXPECT_EQ(emitted, std::size_t{1} << 20);

  // a non-finite curve is not split at all
  emitted = 0;
  const fl::CurveEval broken = [](double t) { return std::vector<double>{t, std::nan("")}; };
  fl::adaptive_flatten(broken, {0, 0}, {1, 0}, dims, 0, 1, 0.1, 0,
                       [&](double, const std::vector<double>&) { ++emitted; });
  EXPECT_EQ(emitted, 1u);
}

// Like an arc, each interval of a spline run gets at most 100000 segments,
// with a warning naming its block; the run still ends on its last point.
TEST(FlattenSpline, SegmentsPerIntervalAreClampedWithWarning) {
  const std::string clamped =
      " segments to meet the tolerance; clamped to 100000 (deviation will exceed the "
      "requested tolerance)\n";
  struct Case {
    const char* kind;
    std::vector<std::size_t> warned_lines;  // one warning per clamped interval
  } cases[] = {{"CSPLINE", {2, 3, 4}}, {"ASPLINE", {2, 3, 4}}, {"BSPLINE", {4}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    Flattener f = make_flattener(1e-12);
    auto run = feed(f, {start_at(0, 0), row(2, {{"gg01_motion", c.kind}, {"X", 10.0}, {"Y", 5.0}}),
                        row(3, {{"X", 20.0}, {"Y", -5.0}}), row(4, {{"X", 30.0}, {"Y", 0.0}})});
    std::string expected;
    for (std::size_t line : c.warned_lines)
      expected += "Warning [line " + std::to_string(line) +
                  "]: spline interval needs more than 100000" + clamped;
    EXPECT_EQ(run.warnings, expected);
    std::vector<std::size_t> per_line(5, 0);
    for (const Row& r : run.out) ++per_line[r.line];
    const std::size_t spline_rows = per_line[2] + per_line[3] + per_line[4];
    EXPECT_EQ(spline_rows, 100000 * c.warned_lines.size());
    if (c.warned_lines.size() == 3) {
      for (std::size_t line = 2; line <= 4; ++line) EXPECT_EQ(per_line[line], 100000u) << line;
    }
    EXPECT_EQ(flagged(run.out), spline_rows - (c.warned_lines.size() == 3 ? 3 : 1));
    EXPECT_EQ(*num(run.out.back(), "X"), 30.0);
    EXPECT_EQ(*num(run.out.back(), "Y"), 0.0);
  }

  // the interval helper: a curve that never fits its chords
  const fl::CurveEval wild = [](double t) {
    int digits = 0;
    while (digits < 60 && std::ldexp(t, digits) != std::floor(std::ldexp(t, digits))) ++digits;
    return std::vector<double>{t, 10.0 * digits};
  };
  const std::vector<std::size_t> dims{0, 1};
  std::vector<double> params;
  testing::internal::CaptureStderr();
  fl::flatten_interval(wild, {0, 0}, {1, 0}, dims, 0, 1, 0.1, 7,
                       [&](double t, const std::vector<double>&) { params.push_back(t); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning [line 7]: spline interval needs more than 100000" + clamped);
  ASSERT_EQ(params.size(), 100000u);
  EXPECT_TRUE(std::is_sorted(params.begin(), params.end()));
  EXPECT_EQ(params.back(), 1.0);
}

TEST(FlattenSpline, InfiniteCoordinateDoesNotExplodeTheRun) {
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {start_at(0, 0),
                      row(2, {{"gg01_motion", "CSPLINE"}, {"X", INFINITY}, {"Y", 5.0}}),
                      row(3, {{"X", 20.0}, {"Y", 0.0}}), row(4, {{"X", 30.0}, {"Y", 5.0}})});
  EXPECT_LT(run.out.size(), 100u);
  EXPECT_EQ(run.out.back().line, 4u);
}
