// Arc flattening, pass-through and the tolerance check.
#include "test_flatten_fixture.hpp"

#include <numbers>

using namespace flatten_test;
using kelvane::flatten::into_row_filter;

namespace {

constexpr double kPi = std::numbers::pi;

std::size_t expected_segments(double radius, double sweep, double tol) {
  return static_cast<std::size_t>(std::ceil(std::abs(sweep) / (2.0 * std::acos(1.0 - tol / radius))));
}

// Every emitted point lies on the circle, every chord (from the start point
// on) stays within `tol` of it, and the arc turns monotonically by `sweep`.
void expect_on_arc(const std::vector<Row>& rows, std::string_view a1, std::string_view a2,
                   double s1, double s2, double c1, double c2, double radius, double sweep,
                   double tol) {
  ASSERT_FALSE(rows.empty());
  double p1 = s1, p2 = s2;
  double turned = 0.0;
  double prev_angle = std::atan2(s2 - c2, s1 - c1);
  for (const Row& r : rows) {
    const double q1 = *num(r, a1), q2 = *num(r, a2);
    EXPECT_NEAR(std::hypot(q1 - c1, q2 - c2), radius, 1e-9);
    const double mid = std::hypot((p1 + q1) / 2 - c1, (p2 + q2) / 2 - c2);
    EXPECT_LE(radius - mid, tol * (1 + 1e-9));
    const double angle = std::atan2(q2 - c2, q1 - c1);
    double step = std::remainder(angle - prev_angle, 2 * kPi);
    if (sweep < 0 && step > 0) step -= 2 * kPi;
    if (sweep > 0 && step < 0) step += 2 * kPi;
    EXPECT_GT(step * sweep, 0.0);
    turned += step;
    prev_angle = angle;
    p1 = q1;
    p2 = q2;
  }
  EXPECT_NEAR(turned, sweep, 1e-6);
}

Row start_at(double x, double y) { return row(1, {{"gg01_motion", "G1"}, {"X", x}, {"Y", y}}); }

}  // namespace

TEST(FlattenArc, HalfCircleWithOffsetsSplitsIntoMarkedSegments) {
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {start_at(0, 0),
                      row(2, {{"N", "20"},
                              {"gg01_motion", "G2"},
                              {"X", 10.0},
                              {"Y", 0.0},
                              {"I", 5.0},
                              {"J", 0.0},
                              {"F", 200.0},
                              {"comment", "; cut"}})});
  EXPECT_EQ(run.warnings, "");
  ASSERT_GE(run.out.size(), 2u);
  std::vector<Row> arc(run.out.begin() + 1, run.out.end());
  ASSERT_EQ(arc.size(), expected_segments(5, kPi, 0.01));
  expect_on_arc(arc, "X", "Y", 0, 0, 5, 0, 5, -kPi, 0.01);

  // first row: geometry, the flag, then the block's other cells with the motion as G1
  EXPECT_EQ(cell_names(arc.front()),
            (std::vector<std::string>{"X", "Y", "flattened", "N", "gg01_motion", "F", "comment"}));
  EXPECT_EQ(*text(arc.front(), "gg01_motion"), "G1");
  EXPECT_EQ(*num(arc.front(), "F"), 200.0);
  for (std::size_t i = 1; i + 1 < arc.size(); ++i)
    EXPECT_EQ(cell_names(arc[i]), (std::vector<std::string>{"X", "Y", "flattened"}));
  // the last row is exactly the programmed end, without the flag
  EXPECT_EQ(cell_names(arc.back()), (std::vector<std::string>{"X", "Y"}));
  EXPECT_EQ(*num(arc.back(), "X"), 10.0);
  EXPECT_EQ(*num(arc.back(), "Y"), 0.0);
  for (const Row& r : arc) {
    EXPECT_EQ(r.line, 2u);
    EXPECT_GE(*num(r, "Y"), -1e-12);  // clockwise from (0,0) to (10,0) over the top
  }
}

TEST(FlattenArc, CrRadiusPicksShortOrLongArc) {
  const double h = std::sqrt(75.0);
  struct Case {
    const char* motion;
    double cr;
    double c2;     // centre's Y; X is 5
    double sweep;  // signed
  } cases[] = {
      {"G2", 5, 0, -kPi},
      {"G2", -5, 0, -kPi},
      {"G2", 10, -h, -kPi / 3},         // centre below the chord, 60 degrees
      {"G2", -10, h, -5 * kPi / 3},     // centre above, the long way round
      {"G3", 10, h, kPi / 3},
      {"G3", -10, -h, 5 * kPi / 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.motion) + " CR=" + std::to_string(c.cr));
    Flattener f = make_flattener(0.01);
    auto run = feed(f, {start_at(0, 0),
                        row(2, {{"gg01_motion", c.motion}, {"X", 10.0}, {"Y", 0.0}, {"CR", c.cr}})});
    EXPECT_EQ(run.warnings, "");
    std::vector<Row> arc(run.out.begin() + 1, run.out.end());
    EXPECT_EQ(arc.size(), expected_segments(std::abs(c.cr), c.sweep, 0.01));
    expect_on_arc(arc, "X", "Y", 0, 0, 5, c.c2, std::abs(c.cr), c.sweep, 0.01);
    EXPECT_FALSE(arc.front().cells.contains("CR"));
  }
}

TEST(FlattenArc, FullCirclesAndTurns) {
  struct Case {
    const char* motion;
    std::optional<double> turn;
    double sweep;
  } cases[] = {
      {"G3", std::nullopt, 2 * kPi}, {"G2", std::nullopt, -2 * kPi}, {"G3", 1.0, 4 * kPi},
      {"G2", 2.0, -6 * kPi},         {"G3", -3.0, 2 * kPi},         {"G3", 0.5, 4 * kPi},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.motion) + " TURN=" + (c.turn ? std::to_string(*c.turn) : "-"));
    Flattener f = make_flattener(0.05);
    Row arc_row = row(2, {{"gg01_motion", c.motion}, {"X", 0.0}, {"Y", 0.0}, {"I", 5.0}});
    if (c.turn) arc_row.cells.insert("TURN", *c.turn);
    auto run = feed(f, {start_at(0, 0), std::move(arc_row)});
    std::vector<Row> arc(run.out.begin() + 1, run.out.end());
    EXPECT_EQ(arc.size(), expected_segments(5, c.sweep, 0.05));
    expect_on_arc(arc, "X", "Y", 0, 0, 5, 0, 5, c.sweep, 0.05);
    EXPECT_FALSE(arc.front().cells.contains("TURN"));
  }
}

TEST(FlattenArc, PlanesUseTheirAxesAndOffsets) {
  struct Case {
    const char* plane;
    const char* a1;
    const char* a2;
    const char* o1;
  } cases[] = {{"G17", "X", "Y", "I"}, {"G18", "Z", "X", "K"}, {"G19", "Y", "Z", "J"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plane);
    Flattener f = make_flattener(0.01);
    auto run = feed(f, {row(1, {{"gg06_plane_select", c.plane}, {"X", 0.0}, {"Y", 0.0}, {"Z", 0.0}}),
                        row(2, {{"gg01_motion", "G3"}, {c.a1, 10.0}, {c.o1, 5.0}})});
    EXPECT_EQ(run.warnings, "");
    std::vector<Row> arc(run.out.begin() + 1, run.out.end());
    expect_on_arc(arc, c.a1, c.a2, 0, 0, 5, 0, 5, kPi, 0.01);
    for (std::size_t i = 0; i + 1 < arc.size(); ++i)
      EXPECT_EQ(arc[i].cells.size(), i == 0 ? 4u : 3u);  // the two plane axes, the flag (+ motion)
  }
}

TEST(FlattenArc, HelicalCompanionAxisMovesLinearly) {
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {row(1, {{"gg01_motion", "G1"}, {"X", 0.0}, {"Y", 0.0}, {"Z", 0.0}}),
                      row(2, {{"gg01_motion", "G2"}, {"X", 10.0}, {"Z", 5.0}, {"I", 5.0}})});
  EXPECT_EQ(run.warnings, "");
  std::vector<Row> arc(run.out.begin() + 1, run.out.end());
  const std::size_t n = arc.size();
  ASSERT_GT(n, 2u);
  for (std::size_t i = 0; i < n; ++i)
    EXPECT_NEAR(*num(arc[i], "Z"), 5.0 * (i + 1) / n, 1e-12);
  EXPECT_EQ(*num(arc.back(), "Z"), 5.0);

  // a later linear move starts where the helix ended
  auto next = feed(f, {row(3, {{"gg01_motion", "G3"}, {"X", 0.0}, {"I", -5.0}})});
  expect_on_arc(next.out, "X", "Y", 10, 0, 5, 0, 5, kPi, 0.01);
}

TEST(FlattenArc, CompanionWithUnknownStartIsHeldWithWarning) {
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {start_at(0, 0),
                      row(7, {{"gg01_motion", "G2"}, {"X", 10.0}, {"Z", 5.5}, {"I", 5.0}})});
  EXPECT_EQ(run.warnings,
            "Warning [line 7]: start position of axis Z is unknown; it is held at 5.5 over the "
            "flattened arc\n");
  for (std::size_t i = 1; i < run.out.size(); ++i) EXPECT_EQ(*num(run.out[i], "Z"), 5.5);
}

TEST(FlattenArc, SegmentCountIsClampedWithWarning) {
  const double tol = 1e-9, radius = 1000;
  Flattener f = make_flattener(tol);
  auto run = feed(f, {start_at(0, 0), row(4, {{"gg01_motion", "G3"}, {"X", 0.0}, {"I", radius}})});
  const double phi = 2 * std::acos(1 - tol / radius);
  const auto wanted = static_cast<std::uint64_t>(std::ceil(2 * kPi / phi));
  ASSERT_GT(wanted, 100000u);
  EXPECT_EQ(run.warnings, "Warning [line 4]: arc needs " + std::to_string(wanted) +
                              " segments to meet the tolerance; clamped to 100000 (deviation will "
                              "exceed the requested tolerance)\n");
  EXPECT_EQ(run.out.size(), 1u + 100000u);
  EXPECT_EQ(*num(run.out.back(), "X"), 0.0);
  EXPECT_EQ(*num(run.out.back(), "Y"), 0.0);
}

TEST(FlattenArc, CoarseToleranceGivesOneRowWithMergedCells) {
  Flattener f = make_flattener(100.0);
  auto run = feed(f, {start_at(0, 0),
                      row(2, {{"gg01_motion", "G2"}, {"X", 10.0}, {"Y", 0.0}, {"I", 5.0}, {"F", 9.0}})});
  ASSERT_EQ(run.out.size(), 2u);
  EXPECT_EQ(cell_names(run.out[1]), (std::vector<std::string>{"X", "Y", "gg01_motion", "F"}));
  EXPECT_EQ(*text(run.out[1], "gg01_motion"), "G1");
}

TEST(FlattenArc, NegligibleToleranceGivesOneSegment) {
  // 1 - tolerance/radius rounds to 1: the arc becomes its end point
  Flattener f = make_flattener(1e-300);
  auto run = feed(f, {start_at(0, 0), row(2, {{"gg01_motion", "G2"}, {"X", 10.0}, {"I", 5.0}})});
  EXPECT_EQ(run.warnings, "");
  ASSERT_EQ(run.out.size(), 2u);
  EXPECT_EQ(*num(run.out[1], "X"), 10.0);
}

TEST(FlattenArc, UnflattenableArcsPassThroughWithReason) {
  struct Case {
    std::vector<Row> rows;
    const char* reason;
  };
  auto arc = [](std::initializer_list<C> cells) { return row(5, cells); };
  Case cases[] = {
      {{arc({{"gg01_motion", "G2"}, {"X", 10.0}, {"Y", 0.0}, {"I", 5.0}})},
       "arc start position is unknown"},
      {{start_at(0, 0), arc({{"gg01_motion", "G2"}, {"X", 10.0}, {"Y", 0.0}})},
       "arc block without I/J/K centre offsets or CR radius"},
      {{start_at(0, 0), arc({{"gg01_motion", "G2"}, {"X", 0.0}, {"CR", 5.0}})},
       "CR arc with coincident start and end point"},
      {{start_at(0, 0), arc({{"gg01_motion", "G2"}, {"X", 10.0}, {"CR", 4.0}})},
       "CR radius is smaller than half the chord"},
      {{start_at(0, 0), arc({{"gg01_motion", "G2"}, {"X", 10.0}, {"I", 0.0}, {"J", 0.0}})},
       "arc with zero radius"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.reason);
    Flattener f = make_flattener(0.01);
    const std::size_t before = c.rows.size();
    const Row original = c.rows.back();
    auto run = feed(f, std::move(c.rows));
    EXPECT_EQ(run.warnings, std::string("Warning [line 5]: cannot flatten block (") + c.reason +
                                "); emitting it unchanged\n");
    ASSERT_EQ(run.out.size(), before);
    EXPECT_EQ(cell_names(run.out.back()), cell_names(original));
    EXPECT_EQ(text(run.out.back(), "gg01_motion"), "G2");

    // the passed block's end point is the next arc's start
    auto next = feed(f, {row(6, {{"X", 20.0}, {"Y", 0.0}, {"I", 5.0}})});
    EXPECT_EQ(next.warnings, "");
    EXPECT_GT(next.out.size(), 1u);
    EXPECT_EQ(*num(next.out.back(), "X"), 20.0);
  }
}

TEST(FlattenArc, ArcRowWithoutGeometryPassesSilently) {
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {start_at(0, 0), row(2, {{"gg01_motion", "G2"}, {"F", 100.0}}),
                      row(3, {{"comment", "; note"}})});
  EXPECT_EQ(run.warnings, "");
  ASSERT_EQ(run.out.size(), 3u);
  EXPECT_EQ(cell_names(run.out[1]), (std::vector<std::string>{"gg01_motion", "F"}));
}

TEST(FlattenMotion, OtherMotionWarnsOncePerWord) {
  Flattener f = make_flattener(0.01);
  auto run = feed(f, {row(1, {{"gg01_motion", "G1"}, {"X", 0.0}}),
                      row(2, {{"gg01_motion", "G33"}, {"Z", -5.0}, {"K", 1.0}}),
                      row(3, {{"Z", -10.0}}),
                      row(4, {{"gg01_motion", "G33"}, {"Z", -15.0}}),
                      row(5, {{"gg01_motion", "CIP"}, {"X", 3.0}}),
                      row(6, {{"gg01_motion", "G33"}, {"Z", -20.0}}),
                      row(7, {{"gg01_motion", "G3"}, {"X", 10.0}, {"Y", 0.0}, {"I", 5.0}})});
  EXPECT_EQ(run.warnings,
            "Warning [line 2]: G33 interpolation is not flattened; its blocks pass through unchanged\n"
            "Warning [line 5]: CIP interpolation is not flattened; its blocks pass through unchanged\n"
            "Warning [line 7]: cannot flatten block (arc start position is unknown); emitting it unchanged\n");
  EXPECT_EQ(run.out.size(), 7u);
  for (std::size_t i = 0; i < run.out.size(); ++i) EXPECT_EQ(run.out[i].line, i + 1);
}

TEST(FlattenMotion, LinearRowsPassUnchangedAndSeedPositions) {
  Flattener f = make_flattener(0.01);
  f.seed_position("x", 0.0);  // configured names are matched upper-cased
  f.seed_position("Y", 0.0);
  f.seed_position("Q", 1.0);  // not an axis: ignored
  Row linear = row(1, {{"gg01_motion", "G0"}, {"Z", 2.0}, {"M", 3.0}});
  linear.variables.emplace_back("R1", 4.0);
  auto run = feed(f, {std::move(linear),
                      row(2, {{"gg01_motion", "G3"}, {"X", 10.0}, {"I", 5.0}})});
  EXPECT_EQ(run.warnings, "");
  ASSERT_GT(run.out.size(), 2u);
  EXPECT_EQ(run.out[0].variables.size(), 1u);
  EXPECT_EQ(cell_names(run.out[0]), (std::vector<std::string>{"gg01_motion", "Z", "M"}));
  expect_on_arc({run.out.begin() + 1, run.out.end()}, "X", "Y", 0, 0, 5, 0, 5, kPi, 0.01);
}

TEST(FlattenMotion, MotionAndVariablesCarryToTheFirstSegment) {
  Flattener f = make_flattener(0.01);
  Row arc = row(3, {{"X", 0.0}, {"Y", 10.0}, {"I", 5.0}, {"J", 5.0}});
  arc.variables.emplace_back("R2", 1.5);
  auto run = feed(f, {start_at(0, 0), row(2, {{"gg01_motion", "G2"}, {"X", 10.0}, {"I", 5.0}}),
                      std::move(arc)});
  // the second arc has no motion cell: G2 is modal, and its first row gets "G1" added
  std::size_t first_of_second = 0;
  for (std::size_t i = 0; i < run.out.size(); ++i)
    if (run.out[i].line == 3) {
      first_of_second = i;
      break;
    }
  ASSERT_GT(first_of_second, 0u);
  const Row& head = run.out[first_of_second];
  EXPECT_EQ(text(head, "gg01_motion"), "G1");
  ASSERT_EQ(head.variables.size(), 1u);
  EXPECT_EQ(head.variables[0].first, "R2");
  for (std::size_t i = first_of_second + 1; i < run.out.size(); ++i)
    EXPECT_TRUE(run.out[i].variables.empty());
  EXPECT_EQ(*num(run.out.back(), "X"), 0.0);
  EXPECT_EQ(*num(run.out.back(), "Y"), 10.0);
}

TEST(FlattenTolerance, BadTolerancesAreRefused) {
  const std::vector<std::string> axes{"X", "Y"};
  struct Case {
    double value;
    const char* shown;
  } cases[] = {{0.0, "0"},
               {-0.0, "-0"},
               {-1.0, "-1"},
               {std::nan(""), "NaN"},
               {INFINITY, "inf"},
               {-INFINITY, "-inf"}};
  for (const Case& c : cases) {
    auto f = Flattener::create(axes, c.value);
    ASSERT_FALSE(f.has_value()) << c.shown;
    EXPECT_EQ(f.error().kind(), "parse_error");
    EXPECT_EQ(f.error().message(),
              std::string("Parse error: flatten tolerance must be a positive number, got ") + c.shown);
  }
  EXPECT_TRUE(Flattener::create(axes, 5e-324).has_value());  // subnormal is positive
}

TEST(FlattenTolerance, AxesLeaveOutNonGeometryLetters) {
  const std::vector<std::string> axes{"N", "x", "Y", "D", "F", "S", "T", "ra1", "X"};
  auto f = Flattener::create(axes, 0.1);
  ASSERT_TRUE(f.has_value());
  std::vector<std::string> names(f->axes.begin(), f->axes.end());
  EXPECT_EQ(names, (std::vector<std::string>{"X", "Y", "RA1"}));
}

TEST(FlattenFilter, RowFilterForwardsToTheFlattener) {
  kelvane::output::RowFilter filter = into_row_filter(make_flattener(0.5));
  std::vector<Row> out;
  filter.push(start_at(0, 0), out);
  filter.push(row(2, {{"gg01_motion", "CSPLINE"}, {"X", 10.0}, {"Y", 5.0}}), out);
  EXPECT_EQ(out.size(), 1u);
  EXPECT_TRUE(filter.has_pending());
  filter.flush_pending(out);
  EXPECT_FALSE(filter.has_pending());
  EXPECT_EQ(*num(out.back(), "X"), 10.0);
}

TEST(FlattenFilter, CollectorDeliversSegmentsAndFlushesOpenRunAtFinish) {
  auto rows = kelvane::output::OutputRows::collecting();
  rows.flattener = into_row_filter(make_flattener(0.01));
  auto block = [&](Row r) {
    ASSERT_TRUE(rows.flush().has_value());
    rows.row = std::move(r);
  };
  block(start_at(0, 0));
  block(row(2, {{"gg01_motion", "G2"}, {"X", 10.0}, {"I", 5.0}}));
  block(row(3, {{"gg01_motion", "CSPLINE"}, {"X", 20.0}, {"Y", 5.0}}));
  block(row(4, {{"X", 30.0}, {"Y", 0.0}}));
  auto done = rows.finish();
  ASSERT_TRUE(done.has_value());
  const std::vector<Row>& out = *done;
  std::vector<std::size_t> per_line(5, 0);
  for (const Row& r : out) ++per_line[r.line];
  EXPECT_EQ(per_line[1], 1u);
  EXPECT_EQ(per_line[2], expected_segments(5, kPi, 0.01));
  EXPECT_GE(per_line[3], 1u);  // the spline run was held back until finish
  EXPECT_GE(per_line[4], 1u);
  EXPECT_EQ(out.back().line, 4u);
  EXPECT_EQ(*num(out.back(), "X"), 30.0);
  EXPECT_EQ(*num(out.back(), "Y"), 0.0);
}
