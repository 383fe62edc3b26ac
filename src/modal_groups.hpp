#pragma once
// The G-code vocabulary: every G word and named command, its group column and
// whether the group stays in force for later blocks (modal) or applies to its
// own block only.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvane::modal_groups {

// The group of a G word: its column (a literal that lives for the whole
// process, usable directly as a cell name) and the modal flag.
struct GGroup {
  std::string_view column;
  bool modal = false;
  friend bool operator==(const GGroup&, const GGroup&) = default;
};

// The 55 modal group columns, in ascending group number; also their order in a batch.
inline constexpr std::array<std::string_view, 55> kModalColumns = {
    "gg01_motion",
    "gg04_fifo",
    "gg06_plane_select",
    "gg07_tool_radius",
    "gg08_work_offset",
    "gg10_exact_stop_mode",
    "gg12_block_change_g60_g9",
    "gg13_wp_measure",
    "gg14_wp_measure_mode",
    "gg15_feed_type",
    "gg16_feedrate_override",
    "gg17_approach_retract_tool",
    "gg18_corner_behavior",
    "gg19_curve_start_spline",
    "gg20_curve_end_spline",
    "gg21_accel_profile",
    "gg22_tool_offset_type",
    "gg23_collision_monitor",
    "gg24_precontrol",
    "gg25_tool_orient_ref",
    "gg26_repos_mode",
    "gg27_tool_offset_change",
    "gg28_area_limit",
    "gg29_rad_diam_prog",
    "gg30_nc_compress",
    "gg31_oem_g",
    "gg32_oem_g",
    "gg33_fine_tool_offset",
    "gg34_tool_orient_smooth",
    "gg35_punch_nibble",
    "gg36_punch_delay",
    "gg37_feedrate_profile",
    "gg39_contour_acc",
    "gg40_tool_radius_const",
    "gg41_thread_interrupt",
    "gg42_tool_carrier",
    "gg43_sar_approach",
    "gg44_sar_segment",
    "gg45_path_ref_fgroup",
    "gg46_plane_fast_retract",
    "gg47_mode_switchover",
    "gg48_approach_retract_trc",
    "gg49_ptp_motion",
    "gg50_orient_prog",
    "gg51_interp_type_orient",
    "gg52_frame_rot_wp",
    "gg53_tool_wear",
    "gg54_vector_rot_poly",
    "gg55_rapid_traverse",
    "gg56_frame_rot_tool",
    "gg57_corner_decel",
    "gg58_dyn_resp_path",
    "gg59_area_limit",
    "gg61_tool_orient_smooth",
    "gg64_grinding_frames",
};

// The 5 non-modal group columns, in ascending group number.
inline constexpr std::array<std::string_view, 5> kNonModalColumns = {
    "gg02_wait",
    "gg03_frame_area_limit",
    "gg09_frame_tool_suppress",
    "gg11_exact_stop_non_modal",
    "gg62_repos_non_modal",
};

// Frequently written group columns, by name.
inline constexpr std::string_view kMotionColumn = "gg01_motion";
inline constexpr std::string_view kWaitColumn = "gg02_wait";
inline constexpr std::string_view kFrameColumn = "gg03_frame_area_limit";
inline constexpr std::string_view kPlaneColumn = "gg06_plane_select";
inline constexpr std::string_view kMeasureModeColumn = "gg14_wp_measure_mode";

// The group of an upper-case G word or named command (G1, G500, BSPLINE,
// GFRAME[7] ...), or nothing for a word outside the vocabulary. Exact,
// byte-wise: no case folding, no trimming, no leading zeros (G01 is unknown).
// Pure, never allocates.
std::optional<GGroup> classify_g_command(std::string_view name);

// True exactly for the 60 group column names (modal and non-modal).
bool is_group_column(std::string_view name);
// True exactly for the 5 non-modal group column names.
bool is_non_modal_column(std::string_view name);
// Position of a modal column in kModalColumns, or nothing.
std::optional<std::size_t> modal_column_index(std::string_view name);
// Position of a group column in the batch order (0-54 the modal columns as in
// kModalColumns, 55-59 the non-modal ones as in kNonModalColumns), or nothing.
std::optional<std::size_t> group_column_rank(std::string_view name);

}  // namespace kelvane::modal_groups
