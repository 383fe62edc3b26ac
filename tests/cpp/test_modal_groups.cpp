#include <gtest/gtest.h>

#include <set>
#include <string>

#include "modal_groups.hpp"

using kelvane::modal_groups::classify_g_command;
using kelvane::modal_groups::GGroup;
using kelvane::modal_groups::group_column_rank;
using kelvane::modal_groups::is_group_column;
using kelvane::modal_groups::is_non_modal_column;
using kelvane::modal_groups::kModalColumns;
using kelvane::modal_groups::kNonModalColumns;

TEST(ClassifyGCommand, WordsAndTheirGroups) {
  struct Case { const char* word; const char* column; bool modal; };
  const Case known[] = {
      {"G0", "gg01_motion", true},          {"G1", "gg01_motion", true},
      {"G3", "gg01_motion", true},          {"G336", "gg01_motion", true},
      {"CT", "gg01_motion", true},          {"POLY", "gg01_motion", true},
      {"G4", "gg02_wait", false},           {"REPOSQA", "gg02_wait", false},
      {"G9", "gg11_exact_stop_non_modal", false},
      {"CP", "gg49_ptp_motion", true},      {"PTPWOC", "gg49_ptp_motion", true},
      {"G505", "gg08_work_offset", true},   {"G599", "gg08_work_offset", true},
      {"G500", "gg08_work_offset", true},   {"G57", "gg08_work_offset", true},
      {"TRANS", "gg03_frame_area_limit", false}, {"ROT", "gg03_frame_area_limit", false},
      {"AMIRROR", "gg03_frame_area_limit", false}, {"G112", "gg03_frame_area_limit", false},
      {"GFRAME[0]", "gg64_grinding_frames", true}, {"GFRAME[100]", "gg64_grinding_frames", true},
      {"GFRAME[57]", "gg64_grinding_frames", true},
      {"WALCS0", "gg59_area_limit", true},  {"WALCS10", "gg59_area_limit", true},
      {"G91", "gg14_wp_measure_mode", true}, {"G17", "gg06_plane_select", true},
      {"G973", "gg15_feed_type", true},     {"G829", "gg32_oem_g", true},
      {"FENDNORM", "gg57_corner_decel", true}, {"G621", "gg57_corner_decel", true},
      {"RMNBL", "gg62_repos_non_modal", false}, {"SUPD", "gg09_frame_tool_suppress", false},
      {"DYNSEMIFIN", "gg58_dyn_resp_path", true}, {"ORISON", "gg61_tool_orient_smooth", true},
  };
  for (const Case& c : known) {
    auto g = classify_g_command(c.word);
    ASSERT_TRUE(g.has_value()) << c.word;
    EXPECT_EQ(g->column, c.column) << c.word;
    EXPECT_EQ(g->modal, c.modal) << c.word;
  }

  const char* unknown[] = {
      "",        "G",          "g1",          "G01",        "G00",        "G04",
      "G504",    "G600",       "G6",          "G1000",      "G0001",      "G-1",
      "G1 ",     " G1",        "GFRAME[101]", "GFRAME[00]", "GFRAME[07]", "GFRAME[]",
      "GFRAME[1", "GFRAME1]",  "WALCS11",     "walcs1",     "Trans",      "TRANSX",
      "X",       "M3",         "BSPLINEX",    "A",          "ZZZZZZZZZZZZ", "CUT3DCCDXXXX",
  };
  for (const char* w : unknown) EXPECT_FALSE(classify_g_command(w).has_value()) << w;
  EXPECT_FALSE(classify_g_command(std::string_view("G1\0", 3)).has_value());
}

TEST(ClassifyGCommand, AcceptsExactlyTheNumberedAndFrameWords) {
  // Every G number up to four digits, with and without leading zeros: only
  // plain numbers of the vocabulary are accepted, and the group columns are
  // always among the 60.
  const std::set<std::string_view> columns = [] {
    std::set<std::string_view> s(kModalColumns.begin(), kModalColumns.end());
    s.insert(kNonModalColumns.begin(), kNonModalColumns.end());
    return s;
  }();
  std::size_t numbered = 0;
  for (int n = 0; n < 10000; ++n) {
    const std::string plain = "G" + std::to_string(n);
    if (auto g = classify_g_command(plain)) {
      ++numbered;
      EXPECT_TRUE(columns.count(g->column)) << plain;
      EXPECT_EQ(g->modal, !is_non_modal_column(g->column)) << plain;
    }
    EXPECT_FALSE(classify_g_command("G0" + std::to_string(n)).has_value()) << n;
  }
  EXPECT_EQ(numbered, 203u);

  std::size_t frames = 0;
  for (int n = 0; n < 1000; ++n)
    frames += classify_g_command("GFRAME[" + std::to_string(n) + "]").has_value();
  EXPECT_EQ(frames, 101u);
}

TEST(GroupColumns, ListsAndPredicates) {
  std::set<std::string_view> all(kModalColumns.begin(), kModalColumns.end());
  all.insert(kNonModalColumns.begin(), kNonModalColumns.end());
  EXPECT_EQ(all.size(), 60u);
  EXPECT_EQ(kModalColumns.front(), "gg01_motion");
  EXPECT_EQ(kModalColumns.back(), "gg64_grinding_frames");
  for (std::size_t i = 0; i < kModalColumns.size(); ++i) {
    EXPECT_TRUE(is_group_column(kModalColumns[i]));
    EXPECT_FALSE(is_non_modal_column(kModalColumns[i]));
    EXPECT_EQ(group_column_rank(kModalColumns[i]), i);
  }
  for (std::size_t i = 0; i < kNonModalColumns.size(); ++i) {
    EXPECT_TRUE(is_non_modal_column(kNonModalColumns[i]));
    EXPECT_EQ(group_column_rank(kNonModalColumns[i]), 55 + i);
  }
  for (const char* name : {"gg05_x", "gg01_Motion", "gg01_motio", "gg01_motionx", "gg64", "GG01_motion", "N"})
    EXPECT_FALSE(is_group_column(name)) << name;
}
