#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "output.hpp"
#include "state.hpp"

using kelvane::output::CellMap;
using kelvane::output::intern_column;
using kelvane::state::build_state;
using kelvane::state::ColKind;
using kelvane::state::Matrix3;
using kelvane::state::State;
using kelvane::types::Value;

namespace {

using Names = std::vector<std::string>;
using IndexMap = std::vector<std::pair<std::string, std::size_t>>;

State make(std::optional<Names> axes = std::nullopt, std::optional<Names> extra = std::nullopt,
           std::optional<IndexMap> map = std::nullopt) {
  auto s = build_state(std::move(axes), std::move(extra), 10000, std::move(map), false);
  EXPECT_TRUE(s.has_value());
  return std::move(*s);
}

Matrix3 rot_x(double deg) {
  const double a = deg * std::numbers::pi / 180.0, c = std::cos(a), s = std::sin(a);
  return {{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
}
Matrix3 rot_y(double deg) {
  const double a = deg * std::numbers::pi / 180.0, c = std::cos(a), s = std::sin(a);
  return {{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}};
}
Matrix3 rot_z(double deg) {
  const double a = deg * std::numbers::pi / 180.0, c = std::cos(a), s = std::sin(a);
  return {{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}

double cell(const CellMap& cells, std::string_view name) {
  const Value* v = cells.get(name);
  EXPECT_NE(v, nullptr) << name;
  if (!v) return NAN;
  EXPECT_TRUE(std::holds_alternative<double>(*v)) << name;
  return std::holds_alternative<double>(*v) ? std::get<double>(*v) : NAN;
}

// Runs `f` and returns what it wrote to standard error.
template <typename F>
std::string stderr_of(F&& f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

}  // namespace

// ---------------------------------------------------------------------------
// build_state

TEST(BuildState, DefaultAxes) {
  State s = make();
  ASSERT_EQ(s.axis_identifiers.size(), 19u);
  EXPECT_EQ(s.axis_identifiers.front(), "N");
  EXPECT_EQ(s.axis_identifiers.back(), "RA6");
  EXPECT_EQ(s.translation().size(), 19u);
  for (const auto& [name, t] : s.translation()) EXPECT_EQ(t, 0.0) << name;
  EXPECT_EQ(s.output_keys.size(), 27u);
  ASSERT_TRUE(s.geometry_columns[0] && s.geometry_columns[1] && s.geometry_columns[2]);
  EXPECT_EQ(*s.geometry_columns[0], "X");
  EXPECT_EQ(*s.geometry_columns[2], "Z");
  EXPECT_EQ(s.symbol_table.size(), 2u);
  EXPECT_EQ(s.symbol_table.at("TRUE"), 1.0);
  EXPECT_EQ(s.symbol_table.at("FALSE"), 0.0);
  EXPECT_TRUE(s.axes.empty());
  EXPECT_FALSE(s.rotation_active);
  EXPECT_EQ(s.active_plane, 0);
  EXPECT_EQ(s.iteration_limit, 10000u);
  EXPECT_TRUE(s.is_axis("ra1"));
  EXPECT_FALSE(s.get_line(2).has_value());  // no source yet: one empty line
}

TEST(BuildState, ConfiguredAndExtraAxes) {
  // only X and Y: no Z column, Z is a user variable
  State xy = make(Names{"X", "Y"});
  EXPECT_FALSE(xy.geometry_columns[2].has_value());
  EXPECT_FALSE(xy.resolve_output_key("Z").has_value());
  EXPECT_EQ(xy.output_keys.size(), 10u);

  // a configured axis named like a block address stays an axis
  State with_i = make(Names{"X", "I"});
  auto i = with_i.resolve_output_key("I");
  ASSERT_TRUE(i);
  EXPECT_EQ(i->kind, ColKind::Axis);
  EXPECT_EQ(with_i.resolve_output_key("J")->kind, ColKind::BlockAddress);

  // extra axes are appended unchanged, duplicates kept
  State extra = make(std::nullopt, Names{"q1", "X"});
  ASSERT_EQ(extra.axis_identifiers.size(), 21u);
  EXPECT_EQ(extra.axis_identifiers[19], "q1");
  EXPECT_EQ(extra.axis_identifiers[20], "X");
  EXPECT_EQ(extra.translation().size(), 20u);
  EXPECT_TRUE(extra.translation().contains("q1"));
  EXPECT_EQ(extra.resolve_output_key("Q1")->column, "Q1");
  EXPECT_EQ(extra.output_keys.size(), 28u);
}

TEST(BuildState, LowerCaseAxisName) {
  State s = make(Names{"x", "Y"});
  auto x = s.resolve_output_key("x");
  ASSERT_TRUE(x);
  EXPECT_EQ(x->kind, ColKind::Axis);
  EXPECT_EQ(x->column, "X");
  ASSERT_TRUE(s.geometry_columns[0]);
  EXPECT_EQ(*s.geometry_columns[0], "X");
  // the upper-cased name is compared with the name as configured
  EXPECT_FALSE(s.is_axis("x"));
  EXPECT_FALSE(s.is_axis("X"));
  EXPECT_TRUE(s.is_axis("y"));
  EXPECT_TRUE(s.translation().contains("x"));
  EXPECT_FALSE(s.translation().contains("X"));
}

TEST(BuildState, AxisIndexMapCheck) {
  EXPECT_TRUE(build_state(std::nullopt, std::nullopt, 5, IndexMap{{"x", 0}}, false).has_value());

  struct Case {
    std::optional<Names> axes;
    IndexMap map;
    std::string bad;
  };
  const std::vector<Case> cases{
      {std::nullopt, {{"Q", 1}}, "Q"},
      {std::nullopt, {{"X", 0}, {"Qa", 1}, {"Zz", 2}}, "Qa"},  // first bad key in the given order
      {Names{"x"}, {{"x", 0}}, "x"},                            // X is not byte-equal to x
      {Names{}, {{"X", 0}}, "X"},                               // no axes: every key fails
  };
  for (const auto& c : cases) {
    auto s = build_state(c.axes, std::nullopt, 5, c.map, false);
    ASSERT_FALSE(s.has_value()) << c.bad;
    const auto* e = s.error().get_if<kelvane::errors::ParseError>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->message, "Axis '" + c.bad + "' in axis_index_map is not a valid axis");
  }
}

TEST(State, AxisIndexLookupKeepsCase) {
  State s = make(Names{"X", "Y"}, std::nullopt, IndexMap{{"X", 0}, {"Y", 1}});
  EXPECT_EQ(s.get_axis_index("Y", 1, "l").value(), 1u);
  auto miss = s.get_axis_index("y", 4, "A[y]=1");
  ASSERT_FALSE(miss);
  const auto* e = miss.error().get_if<kelvane::errors::MissingAxisMapping>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->axis, "y");
  EXPECT_EQ(e->line, 4u);
  EXPECT_EQ(e->line_text, "A[y]=1");
  State no_map = make();
  EXPECT_FALSE(no_map.get_axis_index("X", 1, "").has_value());
}

// ---------------------------------------------------------------------------
// Accessors

TEST(State, GetLineEdges) {
  struct Case {
    std::string source;
    std::size_t n;
    std::optional<std::string> line;
  };
  const std::vector<Case> cases{
      {"A\r\nB", 1, "A\r"},
      {"A\r\nB", 2, "B"},
      {"A\r\nB", 3, std::nullopt},
      {"A\r\nB", 0, std::nullopt},
      {"A\n", 1, "A"},
      {"A\n", 2, ""},
      {"A\n", 3, std::nullopt},
      {"", 1, ""},
      {"", 2, std::nullopt},
      {"first\n\nthird\nlast", 1, "first"},
      {"first\n\nthird\nlast", 2, ""},
      {"first\n\nthird\nlast", 3, "third"},
      {"first\n\nthird\nlast", 4, "last"},
      {"first\n\nthird\nlast", 5, std::nullopt},
  };
  State s = make();
  for (const auto& c : cases) {
    s.set_input(std::string_view(c.source));
    auto got = s.get_line(c.n);
    ASSERT_EQ(got.has_value(), c.line.has_value()) << c.source << " line " << c.n;
    if (got) {
      EXPECT_EQ(*got, *c.line) << c.source << " line " << c.n;
    }
  }
  s.set_input(std::string_view("G1\nG2"));
  EXPECT_EQ(s.line_text(2), "G2");
  EXPECT_EQ(s.line_text(3), "(could not retrieve line)");
  // a later input replaces the earlier one
  s.set_input(std::string_view("only"));
  EXPECT_FALSE(s.get_line(2).has_value());
  EXPECT_EQ(*s.get_line(1), "only");
}

TEST(State, ResolveOutputKey) {
  State s = make();
  auto cr = s.resolve_output_key("cr");
  ASSERT_TRUE(cr);
  EXPECT_EQ(cr->kind, ColKind::BlockAddress);
  EXPECT_EQ(cr->column, "CR");
  EXPECT_EQ(cr->column.data(), intern_column("CR").data());  // the shared copy
  auto ra = s.resolve_output_key("ra3");
  ASSERT_TRUE(ra);
  EXPECT_EQ(ra->kind, ColKind::Axis);
  EXPECT_EQ(ra->column, "RA3");
  EXPECT_FALSE(s.resolve_output_key("R1").has_value());
  EXPECT_FALSE(s.resolve_output_key("turnx").has_value());
  EXPECT_FALSE(s.resolve_output_key(std::string(100, 'x')).has_value());
  EXPECT_TRUE(State::is_block_address("turn"));
  EXPECT_FALSE(State::is_block_address("X"));
}

TEST(State, JumpTargetVisible) {
  State s = make();
  EXPECT_FALSE(s.jump_target_visible("L1"));
  s.label_scopes.push_back({"OUTER"});
  s.label_scopes.push_back({"INNER"});
  EXPECT_TRUE(s.jump_target_visible("OUTER"));
  EXPECT_TRUE(s.jump_target_visible("INNER"));
  EXPECT_FALSE(s.jump_target_visible("inner"));
}

TEST(State, UnsupportedAddressWarnsOncePerAddress) {
  State s = make();
  EXPECT_EQ(stderr_of([&] { s.warn_unsupported_address("ar", 3); }),
            "Warning [line 3]: address 'AR' - arc opening angle (G2/G3 ... AR=) - is not interpreted "
            "and is treated as a user variable; the motion it programs will be wrong\n");
  EXPECT_EQ(stderr_of([&] { s.warn_unsupported_address("AR", 9); }), "");
  EXPECT_EQ(stderr_of([&] { s.warn_unsupported_address("R1", 1); }), "");
  EXPECT_EQ(stderr_of([&] { s.warn_unsupported_address("ARC", 1); }), "");
  EXPECT_EQ(stderr_of([&] { s.warn_unsupported_address("k1", 7); }),
            "Warning [line 7]: address 'K1' - CIP intermediate point (I1= J1= K1=) - is not "
            "interpreted and is treated as a user variable; the motion it programs will be wrong\n");
  EXPECT_EQ(stderr_of([&] { s.warn_unsupported_address("rp", 2); }),
            "Warning [line 2]: address 'RP' - polar radius (G0..G3 AP= RP=) - is not interpreted and "
            "is treated as a user variable; the motion it programs will be wrong\n");
}

TEST(State, FinalStateIsACopy) {
  State s = make();
  s.update_axis("X", 5);
  s.symbol_table["R1"] = 2;
  s.string_table["S"] = "txt";
  s.set_translation("X", 1);
  s.set_rotation(rot_z(90));
  auto f = s.final_state();
  s.update_axis("X", 7);
  s.symbol_table["R1"] = 3;
  EXPECT_EQ(f.axes.at("X"), 5.0);
  EXPECT_EQ(f.symbol_table.at("R1"), 2.0);
  EXPECT_EQ(f.string_table.at("S"), "txt");
  EXPECT_EQ(f.translation.at("X"), 1.0);
  EXPECT_NEAR(f.rotation[1][0], 1.0, 1e-12);
}

// ---------------------------------------------------------------------------
// Frame and geometry

TEST(Frame, TranslationWithoutRotation) {
  State s = make();
  s.set_translation("X", 10);
  s.update_axis("X", 20);
  EXPECT_EQ(s.get_axis_local("X"), 20.0);
  EXPECT_EQ(s.get_axis_machine("X"), 30.0);
  EXPECT_FALSE(s.get_axis_machine("Y").has_value());
  s.update_axis("A", 3);  // non-geometry axis with no translation
  EXPECT_EQ(s.get_axis_machine("A"), 3.0);
}

TEST(Frame, FirstPositioningUnderRotationPullsInCoupledAxes) {
  State s = make();
  s.set_rotation(rot_z(90));
  ASSERT_TRUE(s.rotation_active);
  std::string err = stderr_of([&] { s.update_axis("X", 10); });
  EXPECT_EQ(err,
            "Warning: the frame rotation couples axis Y to a positioned axis before any block "
            "positioned it; assuming it is at machine position 0 (a real control would use the "
            "actual axis position).\n");
  EXPECT_EQ(s.axes.at("X"), 10.0);
  ASSERT_TRUE(s.axes.contains("Y"));
  EXPECT_NEAR(s.axes.at("Y"), 0.0, 1e-12);
  EXPECT_FALSE(s.axes.contains("Z"));  // a turn about Z does not couple Z

  CellMap cells;
  s.insert_rotated_geometry(cells);
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_EQ(cells[0].name, "X");
  EXPECT_NEAR(cell(cells, "X"), 0.0, 1e-12);
  EXPECT_NEAR(cell(cells, "Y"), 10.0, 1e-12);
  EXPECT_NEAR(*s.get_axis_machine("Y"), 10.0, 1e-12);

  // the warning is given once per axis for the whole run
  State t = std::move(s);
  t.axes.clear();
  EXPECT_EQ(stderr_of([&] { t.update_axis("X", 1); }), "");
}

TEST(Frame, CouplingChainsAndSkipsUnconfiguredAxes) {
  // a turn about X then Y couples all three once X is positioned
  State s = make();
  s.set_rotation(kelvane::state::mat_mul(rot_y(30), rot_x(40)));
  stderr_of([&] { s.update_axis("X", 5); });
  EXPECT_TRUE(s.axes.contains("Y"));
  EXPECT_TRUE(s.axes.contains("Z"));
  // the machine positions of the pulled-in axes are 0
  auto m = s.machine_geometry();
  auto expect_x = kelvane::state::mat_vec(s.rotation, {5, s.axes.at("Y"), s.axes.at("Z")});
  EXPECT_NEAR(m[0], expect_x[0], 1e-12);
  auto l0 = s.local_of_machine({0, 0, 0});
  EXPECT_NEAR(s.axes.at("Y"), l0[1], 1e-12);
  EXPECT_NEAR(s.axes.at("Z"), l0[2], 1e-12);

  // an axis that is not configured is never pulled in
  State xy = make(Names{"X", "Y"});
  xy.set_rotation(rot_x(30));
  stderr_of([&] { xy.update_axis("Y", 2); });
  EXPECT_FALSE(xy.axes.contains("Z"));
  EXPECT_FALSE(xy.axes.contains("X"));
  EXPECT_EQ(xy.axes.at("Y"), 2.0);
}

TEST(Frame, LocalMachineRoundTrip) {
  State s = make();
  s.set_translation("X", 3);
  s.set_translation("Y", -7.5);
  s.set_translation("Z", 100);
  s.set_rotation(kelvane::state::mat_mul(rot_z(33), kelvane::state::mat_mul(rot_y(-12), rot_x(71))));
  stderr_of([&] {
    s.update_axis("X", 12.5);
    s.update_axis("Y", -4);
    s.update_axis("Z", 0.25);
  });
  auto g = s.local_geometry();
  EXPECT_TRUE(g.has_x && g.has_y && g.has_z);
  auto back = s.local_of_machine(s.machine_geometry());
  EXPECT_NEAR(back[0], 12.5, 1e-9);
  EXPECT_NEAR(back[1], -4, 1e-9);
  EXPECT_NEAR(back[2], 0.25, 1e-9);
  EXPECT_NEAR(*s.get_axis_machine("Z"), s.machine_geometry()[2], 0);
}

TEST(Frame, NearIdentityCountsAsNoRotation) {
  State s = make();
  Matrix3 r = kelvane::state::kIdentity;
  r[0][1] = 1e-10;
  r[2][2] = 1 - 1e-10;
  s.set_rotation(r);
  EXPECT_FALSE(s.rotation_active);
  r[1][0] = 2e-9;
  s.set_rotation(r);
  EXPECT_TRUE(s.rotation_active);
}

TEST(Frame, FinishBlockRotatesArcCentres) {
  State s = make();
  s.set_rotation(rot_z(30));
  CellMap cells;
  cells.insert(intern_column("X"), Value(1.0));
  cells.insert(intern_column("I"), Value(1.0));
  cells.insert(intern_column("J"), Value(0.0));
  ASSERT_TRUE(s.finish_block_frame(cells, 1));
  EXPECT_NEAR(cell(cells, "I"), std::cos(std::numbers::pi / 6), 1e-12);
  EXPECT_NEAR(cell(cells, "J"), std::sin(std::numbers::pi / 6), 1e-12);
  EXPECT_FALSE(cells.contains("K"));
  EXPECT_EQ(cell(cells, "X"), 1.0);

  // a centre that appears only through the rotation is written
  State g18 = make();
  g18.active_plane = 1;
  g18.set_rotation(rot_y(90));
  CellMap k_only;
  k_only.insert(intern_column("K"), Value(2.0));
  ASSERT_TRUE(g18.finish_block_frame(k_only, 1));
  EXPECT_NEAR(cell(k_only, "I"), 2.0, 1e-12);
  EXPECT_NEAR(cell(k_only, "K"), 0.0, 1e-12);

  // CR alone changes nothing; no rotation changes nothing
  CellMap cr;
  cr.insert(intern_column("CR"), Value(5.0));
  ASSERT_TRUE(s.finish_block_frame(cr, 1));
  EXPECT_EQ(cr.size(), 1u);
  State plain = make();
  CellMap ij;
  ij.insert(intern_column("I"), Value(1.0));
  ASSERT_TRUE(plain.finish_block_frame(ij, 1));
  EXPECT_EQ(cell(ij, "I"), 1.0);
  EXPECT_EQ(ij.size(), 1u);
}

TEST(Frame, FinishBlockRefusesTiltedArcPlane) {
  State s = make();
  s.set_input(std::string_view("ROT X=30\nG2 X1 I1\n"));
  s.set_rotation(rot_x(30));
  for (const char* addr : {"I", "J", "K", "CR"}) {
    CellMap cells;
    cells.insert(intern_column(addr), Value(1.0));
    auto st = s.finish_block_frame(cells, 2);
    ASSERT_FALSE(st) << addr;
    const auto* e = st.error().get_if<kelvane::errors::UnsupportedStatement>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->statement, "A circular arc under a frame rotation that tilts the G17 plane");
    EXPECT_EQ(e->hint,
              "Arcs are modeled only while the programmable frame rotates about the normal of the "
              "active plane (RPL, or ROT/AROT about that axis); a tilted arc plane is not flattened "
              "and would produce wrong coordinates.");
    EXPECT_EQ(e->line, 2u);
    EXPECT_EQ(e->line_text, "G2 X1 I1");
  }
  CellMap far;
  far.insert(intern_column("I"), Value(1.0));
  auto st = s.finish_block_frame(far, 9);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().get_if<kelvane::errors::UnsupportedStatement>()->line_text,
            "(could not retrieve line)");
  // G19 turns about X: accepted
  s.active_plane = 2;
  CellMap jk;
  jk.insert(intern_column("J"), Value(1.0));
  ASSERT_TRUE(s.finish_block_frame(jk, 2));
  EXPECT_NEAR(cell(jk, "J"), std::cos(std::numbers::pi / 6), 1e-12);
  EXPECT_NEAR(cell(jk, "K"), std::sin(std::numbers::pi / 6), 1e-12);
  // a string I cell is no arc data
  s.active_plane = 0;
  CellMap text;
  text.insert(intern_column("I"), Value(std::string("x")));
  EXPECT_TRUE(s.finish_block_frame(text, 2));
}

TEST(Frame, ChangeFrameKeepsMachinePositions) {
  State s = make();
  s.update_axis("X", 50);
  s.update_axis("A", 7);
  auto st = s.change_frame([](State& st) -> kelvane::errors::Status {
    st.reset_frame();
    st.set_translation("X", 10);
    st.set_translation("A", 2);
    return {};
  });
  ASSERT_TRUE(st);
  EXPECT_EQ(s.axes.at("X"), 40.0);
  EXPECT_EQ(s.axes.at("A"), 5.0);
  EXPECT_EQ(s.get_axis_machine("X"), 50.0);
  EXPECT_FALSE(s.axes.contains("Y"));

  // under a rotation: machine X, Y, Z stay where they were
  State r = make();
  r.set_translation("Y", 4);
  r.update_axis("X", 10);
  r.update_axis("Y", 20);
  r.update_axis("Z", 30);
  const auto before = r.machine_geometry();
  std::string err = stderr_of([&] {
    ASSERT_TRUE(r.change_frame([](State& st) -> kelvane::errors::Status {
      st.set_rotation(kelvane::state::mat_mul(st.rotation, rot_z(30)));
      st.set_translation("Z", -1);
      return {};
    }));
    ASSERT_TRUE(r.change_frame([](State& st) -> kelvane::errors::Status {
      st.set_rotation(kelvane::state::mat_mul(st.rotation, rot_x(45)));
      return {};
    }));
  });
  EXPECT_EQ(err, "");  // every geometry axis was positioned: nothing pulled in
  const auto after = r.machine_geometry();
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(after[i], before[i], 1e-9) << i;
  EXPECT_TRUE(r.rotation_active);

  // pulled in by the change: a positioned X under a turn about Y brings in Z at machine 0
  State p = make();
  p.update_axis("X", 10);
  err = stderr_of([&] {
    ASSERT_TRUE(p.change_frame([](State& st) -> kelvane::errors::Status {
      st.set_rotation(rot_y(90));
      return {};
    }));
  });
  EXPECT_NE(err.find("couples axis Z"), std::string::npos);
  ASSERT_TRUE(p.axes.contains("Z"));
  EXPECT_FALSE(p.axes.contains("Y"));
  const auto m = p.machine_geometry();
  EXPECT_NEAR(m[0], 10, 1e-9);
  EXPECT_NEAR(m[2], 0, 1e-9);
}

TEST(Frame, ChangeFrameFailureAndNoPositions) {
  State s = make();
  s.update_axis("X", 5);
  auto st = s.change_frame([](State& st) -> kelvane::errors::Status {
    st.set_translation("X", 100);  // already changed when the instruction fails
    return kelvane::errors::fail(kelvane::errors::ParseError{"bad"});
  });
  ASSERT_FALSE(st);
  EXPECT_EQ(s.axes.at("X"), 5.0);  // positions left as they were

  State empty = make();
  ASSERT_TRUE(empty.change_frame([](State& st) -> kelvane::errors::Status {
    st.set_rotation(rot_z(45));
    st.set_translation("X", 3);
    return {};
  }));
  EXPECT_TRUE(empty.axes.empty());

  // reset keeps the keys and clears the rotation
  empty.reset_frame();
  EXPECT_EQ(empty.translation().size(), 19u);
  EXPECT_EQ(empty.translation().at("X"), 0.0);
  EXPECT_FALSE(empty.rotation_active);

  // a translation is read back until the frame is reset, a -0.0 one with its
  // sign (it keeps the sign of a -0.0 position it is added to)
  for (const double t : {7.5, -0.0}) {
    empty.set_translation("Y", t);
    EXPECT_EQ(empty.translation_of("Y"), t);
    EXPECT_EQ(std::signbit(empty.translation_of("Y")), std::signbit(t));
    EXPECT_EQ(empty.translation_of("X"), 0.0);
    empty.reset_frame();
    EXPECT_FALSE(std::signbit(empty.translation_of("Y")));
  }
}

TEST(Hash, HeterogeneousLookup) {
  kelvane::state::FxMap<int> m;
  m.emplace("RA1", 1);
  m.emplace("X", 2);
  m.emplace("ABCDEFGHIJKL", 3);
  std::string key = "ABCDEFGHIJKL";
  EXPECT_EQ(m.find(std::string_view(key))->second, 3);
  EXPECT_EQ(m.find(std::string_view("X"))->second, 2);
  EXPECT_EQ(m.find(std::string_view("RA1"))->second, 1);
  EXPECT_EQ(m.find(std::string_view("RA2")), m.end());
  kelvane::state::FxHash h;
  EXPECT_EQ(h(std::string_view("abc")), h(std::string("abc")));
  // the tail bytes and the length count
  EXPECT_NE(h(std::string_view("X")), h(std::string_view("X\0", 2)));
  EXPECT_NE(h(std::string_view("ABCDEFGHa")), h(std::string_view("ABCDEFGHb")));
}
