#include "modal_groups.hpp"

#include <algorithm>
#include <cstdint>

namespace kelvane::modal_groups {
namespace {

// Every group column in ascending group number, with its modal flag.
constexpr GGroup kGroups[60] = {
    {"gg01_motion", true},
    {"gg02_wait", false},
    {"gg03_frame_area_limit", false},
    {"gg04_fifo", true},
    {"gg06_plane_select", true},
    {"gg07_tool_radius", true},
    {"gg08_work_offset", true},
    {"gg09_frame_tool_suppress", false},
    {"gg10_exact_stop_mode", true},
    {"gg11_exact_stop_non_modal", false},
    {"gg12_block_change_g60_g9", true},
    {"gg13_wp_measure", true},
    {"gg14_wp_measure_mode", true},
    {"gg15_feed_type", true},
    {"gg16_feedrate_override", true},
    {"gg17_approach_retract_tool", true},
    {"gg18_corner_behavior", true},
    {"gg19_curve_start_spline", true},
    {"gg20_curve_end_spline", true},
    {"gg21_accel_profile", true},
    {"gg22_tool_offset_type", true},
    {"gg23_collision_monitor", true},
    {"gg24_precontrol", true},
    {"gg25_tool_orient_ref", true},
    {"gg26_repos_mode", true},
    {"gg27_tool_offset_change", true},
    {"gg28_area_limit", true},
    {"gg29_rad_diam_prog", true},
    {"gg30_nc_compress", true},
    {"gg31_oem_g", true},
    {"gg32_oem_g", true},
    {"gg33_fine_tool_offset", true},
    {"gg34_tool_orient_smooth", true},
    {"gg35_punch_nibble", true},
    {"gg36_punch_delay", true},
    {"gg37_feedrate_profile", true},
    {"gg39_contour_acc", true},
    {"gg40_tool_radius_const", true},
    {"gg41_thread_interrupt", true},
    {"gg42_tool_carrier", true},
    {"gg43_sar_approach", true},
    {"gg44_sar_segment", true},
    {"gg45_path_ref_fgroup", true},
    {"gg46_plane_fast_retract", true},
    {"gg47_mode_switchover", true},
    {"gg48_approach_retract_trc", true},
    {"gg49_ptp_motion", true},
    {"gg50_orient_prog", true},
    {"gg51_interp_type_orient", true},
    {"gg52_frame_rot_wp", true},
    {"gg53_tool_wear", true},
    {"gg54_vector_rot_poly", true},
    {"gg55_rapid_traverse", true},
    {"gg56_frame_rot_tool", true},
    {"gg57_corner_decel", true},
    {"gg58_dyn_resp_path", true},
    {"gg59_area_limit", true},
    {"gg61_tool_orient_smooth", true},
    {"gg62_repos_non_modal", false},
    {"gg64_grinding_frames", true},
};

struct NumberedWord { std::uint16_t number; std::uint8_t group; };
// The numbered G words (G0 ... G973) with their group (index into kGroups).
constexpr NumberedWord kNumberedWords[] = {
    {0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 1}, {7, 1}, {9, 9}, {17, 4}, {18, 4}, {19, 4},
    {25, 2}, {26, 2}, {33, 0}, {34, 0}, {35, 0}, {40, 5}, {41, 5}, {42, 5}, {53, 7}, {54, 6},
    {55, 6}, {56, 6}, {57, 6}, {58, 2}, {59, 2}, {60, 8}, {62, 54}, {63, 1}, {64, 8}, {70, 11},
    {71, 11}, {74, 1}, {75, 1}, {90, 12}, {91, 12}, {93, 13}, {94, 13}, {95, 13}, {96, 13},
    {97, 13}, {110, 2}, {111, 2}, {112, 2}, {140, 40}, {141, 40}, {142, 40}, {143, 40},
    {147, 1}, {148, 1}, {153, 7}, {247, 1}, {248, 1}, {290, 44}, {291, 44}, {331, 0}, {332, 0},
    {335, 0}, {336, 0}, {340, 41}, {341, 41}, {347, 1}, {348, 1}, {450, 16}, {451, 16},
    {460, 45}, {461, 45}, {462, 45}, {500, 6}, {505, 6}, {506, 6}, {507, 6}, {508, 6}, {509, 6},
    {510, 6}, {511, 6}, {512, 6}, {513, 6}, {514, 6}, {515, 6}, {516, 6}, {517, 6}, {518, 6},
    {519, 6}, {520, 6}, {521, 6}, {522, 6}, {523, 6}, {524, 6}, {525, 6}, {526, 6}, {527, 6},
    {528, 6}, {529, 6}, {530, 6}, {531, 6}, {532, 6}, {533, 6}, {534, 6}, {535, 6}, {536, 6},
    {537, 6}, {538, 6}, {539, 6}, {540, 6}, {541, 6}, {542, 6}, {543, 6}, {544, 6}, {545, 6},
    {546, 6}, {547, 6}, {548, 6}, {549, 6}, {550, 6}, {551, 6}, {552, 6}, {553, 6}, {554, 6},
    {555, 6}, {556, 6}, {557, 6}, {558, 6}, {559, 6}, {560, 6}, {561, 6}, {562, 6}, {563, 6},
    {564, 6}, {565, 6}, {566, 6}, {567, 6}, {568, 6}, {569, 6}, {570, 6}, {571, 6}, {572, 6},
    {573, 6}, {574, 6}, {575, 6}, {576, 6}, {577, 6}, {578, 6}, {579, 6}, {580, 6}, {581, 6},
    {582, 6}, {583, 6}, {584, 6}, {585, 6}, {586, 6}, {587, 6}, {588, 6}, {589, 6}, {590, 6},
    {591, 6}, {592, 6}, {593, 6}, {594, 6}, {595, 6}, {596, 6}, {597, 6}, {598, 6}, {599, 6},
    {601, 10}, {602, 10}, {603, 10}, {621, 54}, {641, 8}, {642, 8}, {643, 8}, {644, 8},
    {645, 8}, {700, 11}, {710, 11}, {810, 29}, {811, 29}, {812, 29}, {813, 29}, {814, 29},
    {815, 29}, {816, 29}, {817, 29}, {818, 29}, {819, 29}, {820, 30}, {821, 30}, {822, 30},
    {823, 30}, {824, 30}, {825, 30}, {826, 30}, {827, 30}, {828, 30}, {829, 30}, {931, 13},
    {942, 13}, {952, 13}, {961, 13}, {962, 13}, {971, 13}, {972, 13}, {973, 13},
};

struct NamedWord { std::string_view word; std::uint8_t group; };
// The named commands, sorted byte-wise for binary search.
constexpr NamedWord kNamedWords[] = {
    {"AMIRROR", 2}, {"AROT", 2}, {"AROTS", 2}, {"ASCALE", 2}, {"ASPLINE", 0}, {"ATRANS", 2},
    {"BAUTO", 17}, {"BNAT", 17}, {"BRISK", 19}, {"BSPLINE", 0}, {"BTAN", 17}, {"CDOF", 21},
    {"CDOF2", 21}, {"CDON", 21}, {"CFC", 14}, {"CFIN", 14}, {"CFTCP", 14}, {"CIP", 0},
    {"COMPCAD", 28}, {"COMPCURV", 28}, {"COMPOF", 28}, {"COMPON", 28}, {"COMPSURF", 28},
    {"CP", 46}, {"CPRECOF", 36}, {"CPRECON", 36}, {"CSPLINE", 0}, {"CT", 0}, {"CUT2D", 20},
    {"CUT2DD", 20}, {"CUT2DF", 20}, {"CUT2DFD", 20}, {"CUT3DC", 20}, {"CUT3DCC", 20},
    {"CUT3DCCD", 20}, {"CUT3DCD", 20}, {"CUT3DF", 20}, {"CUT3DFD", 20}, {"CUT3DFF", 20},
    {"CUT3DFS", 20}, {"CUTCONOF", 37}, {"CUTCONON", 37}, {"DIAM90", 27}, {"DIAMCYCOF", 27},
    {"DIAMOF", 27}, {"DIAMON", 27}, {"DRIVE", 19}, {"DYNFINISH", 55}, {"DYNNORM", 55},
    {"DYNPOS", 55}, {"DYNPREC", 55}, {"DYNROUGH", 55}, {"DYNSEMIFIN", 55}, {"EAUTO", 18},
    {"ENAT", 18}, {"ETAN", 18}, {"FCUB", 35}, {"FENDNORM", 54}, {"FFWOF", 22}, {"FFWON", 22},
    {"FIFOCTRL", 3}, {"FLIN", 35}, {"FNORM", 35}, {"FTOCOF", 31}, {"FTOCON", 31}, {"INVCCW", 0},
    {"INVCW", 0}, {"KONT", 15}, {"KONTC", 15}, {"KONTT", 15}, {"LFOF", 38}, {"LFON", 38},
    {"LFPOS", 43}, {"LFTXT", 43}, {"LFWP", 43}, {"MIRROR", 2}, {"NORM", 15}, {"OEMIPO1", 0},
    {"OEMIPO2", 0}, {"ORIAXES", 48}, {"ORIAXPOS", 47}, {"ORIC", 25}, {"ORICONCCW", 48},
    {"ORICONCW", 48}, {"ORICONIO", 48}, {"ORICONTO", 48}, {"ORICURVE", 48}, {"ORID", 25},
    {"ORIEULER", 47}, {"ORIMKS", 23}, {"ORIPATH", 48}, {"ORIPATHS", 48}, {"ORIPLANE", 48},
    {"ORIROTA", 51}, {"ORIROTC", 51}, {"ORIROTR", 51}, {"ORIROTT", 51}, {"ORIRPY", 47},
    {"ORIRPY2", 47}, {"ORISOF", 57}, {"ORISON", 57}, {"ORIVECT", 48}, {"ORIVIRT1", 47},
    {"ORIVIRT2", 47}, {"ORIWKS", 23}, {"OSC", 32}, {"OSD", 32}, {"OSOF", 32}, {"OSS", 32},
    {"OSSE", 32}, {"OST", 32}, {"PAROT", 49}, {"PAROTOF", 49}, {"PDELAYOF", 34},
    {"PDELAYON", 34}, {"POLY", 0}, {"PON", 33}, {"PONS", 33}, {"PTP", 46}, {"PTPG0", 46},
    {"PTPWOC", 46}, {"REPOSA", 1}, {"REPOSH", 1}, {"REPOSHA", 1}, {"REPOSL", 1}, {"REPOSQ", 1},
    {"REPOSQA", 1}, {"RMB", 24}, {"RMBBL", 58}, {"RME", 24}, {"RMEBL", 58}, {"RMI", 24},
    {"RMIBL", 58}, {"RMN", 24}, {"RMNBL", 58}, {"ROT", 2}, {"ROTS", 2}, {"RTLIOF", 52},
    {"RTLION", 52}, {"SCALE", 2}, {"SOFT", 19}, {"SON", 33}, {"SONS", 33}, {"SPATH", 42},
    {"SPOF", 33}, {"STARTFIFO", 3}, {"STOPFIFO", 3}, {"SUPA", 7}, {"SUPD", 7}, {"TCOABS", 39},
    {"TCOFR", 39}, {"TCOFRX", 39}, {"TCOFRY", 39}, {"TCOFRZ", 39}, {"TOFRAME", 53},
    {"TOFRAMEX", 53}, {"TOFRAMEY", 53}, {"TOFRAMEZ", 53}, {"TOROT", 53}, {"TOROTOF", 53},
    {"TOROTX", 53}, {"TOROTY", 53}, {"TOROTZ", 53}, {"TOWBCS", 50}, {"TOWKCS", 50},
    {"TOWMCS", 50}, {"TOWSTD", 50}, {"TOWTCS", 50}, {"TOWWCS", 50}, {"TRANS", 2}, {"UPATH", 42},
    {"WALCS0", 56}, {"WALCS1", 56}, {"WALCS10", 56}, {"WALCS2", 56}, {"WALCS3", 56},
    {"WALCS4", 56}, {"WALCS5", 56}, {"WALCS6", 56}, {"WALCS7", 56}, {"WALCS8", 56},
    {"WALCS9", 56}, {"WALIMOF", 26}, {"WALIMON", 26},
};
constexpr std::uint8_t kGrindingFramesGroup = 59;

constexpr std::uint8_t kNone = 0xFF;

// Group of every G number below 1000 (G words have at most three digits).
constexpr std::array<std::uint8_t, 1000> kNumberTable = [] {
  std::array<std::uint8_t, 1000> t{};
  for (auto& g : t) g = kNone;
  for (const NumberedWord& w : kNumberedWords) t[w.number] = w.group;
  return t;
}();

static_assert(std::is_sorted(std::begin(kNamedWords), std::end(kNamedWords),
                             [](const NamedWord& a, const NamedWord& b) { return a.word < b.word; }));
static_assert(std::size(kNumberedWords) + std::size(kNamedWords) + 101 == 488);

// A decimal number of 1 to `max_digits` digits without leading zeros ("0"
// itself allowed); -1 otherwise.
constexpr int parse_plain_number(std::string_view digits, std::size_t max_digits) {
  if (digits.empty() || digits.size() > max_digits) return -1;
  if (digits[0] == '0' && digits.size() > 1) return -1;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// Group number of a group column name "ggNN_...", or -1.
constexpr int column_group_index(std::string_view name) {
  if (name.size() < 6 || name[0] != 'g' || name[1] != 'g' || name[4] != '_') return -1;
  if (name[2] < '0' || name[2] > '9' || name[3] < '0' || name[3] > '9') return -1;
  const int number = (name[2] - '0') * 10 + (name[3] - '0');
  // kGroups is in ascending group number: binary search on the number
  std::size_t lo = 0, hi = std::size(kGroups);
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    const std::string_view c = kGroups[mid].column;
    const int m = (c[2] - '0') * 10 + (c[3] - '0');
    if (m == number) return c == name ? static_cast<int>(mid) : -1;
    if (m < number) lo = mid + 1; else hi = mid;
  }
  return -1;
}

// Position of each group (index into kGroups) in the batch order: the modal
// columns first, then the non-modal ones, each in ascending group number.
constexpr std::array<std::uint8_t, 60> kBatchRank = [] {
  std::array<std::uint8_t, 60> r{};
  std::uint8_t modal = 0, non_modal = 55;
  for (std::size_t i = 0; i < 60; ++i) r[i] = kGroups[i].modal ? modal++ : non_modal++;
  return r;
}();

}  // namespace

std::optional<GGroup> classify_g_command(std::string_view name) {
  const std::size_t len = name.size();
  if (len < 2 || len > 11) return std::nullopt;
  if (name[0] == 'G') {
    const char c1 = name[1];
    if (c1 >= '0' && c1 <= '9') {
      const int n = parse_plain_number(name.substr(1), 3);
      if (n < 0 || kNumberTable[n] == kNone) return std::nullopt;
      return kGroups[kNumberTable[n]];
    }
    if (len >= 9 && name.starts_with("GFRAME[") && name.back() == ']') {
      const int n = parse_plain_number(name.substr(7, len - 8), 3);
      if (n < 0 || n > 100) return std::nullopt;
      return kGroups[kGrindingFramesGroup];
    }
  }
  const auto it = std::lower_bound(std::begin(kNamedWords), std::end(kNamedWords), name,
                                   [](const NamedWord& w, std::string_view n) { return w.word < n; });
  if (it == std::end(kNamedWords) || it->word != name) return std::nullopt;
  return kGroups[it->group];
}

bool is_group_column(std::string_view name) { return column_group_index(name) >= 0; }

bool is_non_modal_column(std::string_view name) {
  const int i = column_group_index(name);
  return i >= 0 && !kGroups[i].modal;
}

std::optional<std::size_t> modal_column_index(std::string_view name) {
  const int i = column_group_index(name);
  if (i < 0 || !kGroups[i].modal) return std::nullopt;
  return kBatchRank[i];
}

std::optional<std::size_t> group_column_rank(std::string_view name) {
  const int i = column_group_index(name);
  if (i < 0) return std::nullopt;
  return kBatchRank[i];
}

}  // namespace kelvane::modal_groups
