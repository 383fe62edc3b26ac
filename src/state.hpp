#pragma once
// The one mutable state of a run: configured axes and their programmed
// positions, variables, the programmable frame, the working plane, jump
// scopes, the loop limit, the output-key table and the source text.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <tsl/robin_map.h>
#include <tsl/robin_set.h>

#include "errors.hpp"
#include "fx_hash.hpp"
#include "limits.hpp"
#include "text.hpp"

namespace kelvane::output {
class CellMap;  // the cells of a row, which the frame writes rotated positions into
}

namespace kelvane::state {

// The text of a program and what keeps it alive: a string of the run's own,
// or the caller's text it borrows (the Python str it was given).
struct SourceText {
  std::string_view text;
  std::shared_ptr<const void> owner;
  operator std::string_view() const noexcept { return text; }
};

// ---------------------------------------------------------------------------
// Hashing

using kelvane::FxHash;  // the Fx hash of axis, translation and output-key maps

// The standard hash of a text, usable with string_view lookups.
struct StrHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
  std::size_t operator()(const std::string& s) const noexcept { return (*this)(std::string_view(s)); }
  std::size_t operator()(const char* s) const noexcept { return (*this)(std::string_view(s)); }
};

using StrEq = kelvane::NameEq;

// Maps and sets keyed by owned texts that take std::string_view lookups
// without allocating: `map.find(std::string_view("X"))`.
template <typename V>
using FxMap = tsl::robin_map<std::string, V, FxHash, StrEq>;
template <typename V>
using StrMap = tsl::robin_map<std::string, V, StrHash, StrEq>;
using StrSet = tsl::robin_set<std::string, StrHash, StrEq>;

// ---------------------------------------------------------------------------
// Symbol table

// Numeric variables and array elements by key: "R1", "A[1,2]". Scalars, and
// elements that are assigned or read one at a time, live in a hash map. The
// elements a DEF creates live in one dense block per array name and number
// of indices (one value per element of the block's box), so that a declared
// element costs eight bytes instead of a map entry. Lookups, writes and
// iteration by key text see both kinds alike; a key that falls inside a
// block's box is never held in the map.
class SymbolTable {
  // The elements of a DEF-declared box, row-major, the first index
  // outermost. Every element of the box exists: a block is only ever made
  // or grown to boxes that DEFs declared whole.
  struct DenseArray {
    std::array<std::int32_t, 3> bounds{0, 0, 0};  // inclusive; unused dimensions 0
    std::vector<double> values;
  };
  // Everything held for one array name.
  struct ArrayShapes {
    std::string name;
    std::array<std::optional<DenseArray>, 3> dense;  // by number of indices - 1
    std::array<std::size_t, 3> sparse{0, 0, 0};      // element keys of each rank in the map
  };

 public:
  SymbolTable() = default;

  // Forward iterator over (key, value) pairs: the map's entries first, then
  // the elements of every block in row-major order. `*it` is a pair
  // of references valid until the iterator moves; `it.value()` is the value.
  template <bool Const>
  class Iter {
    using Value = std::conditional_t<Const, const double, double>;
    using Table = std::conditional_t<Const, const SymbolTable, SymbolTable>;
    using MapIter =
        std::conditional_t<Const, StrMap<double>::const_iterator, StrMap<double>::iterator>;

   public:
    using Entry = std::pair<const std::string&, Value&>;
    using iterator_category = std::forward_iterator_tag;
    using difference_type = std::ptrdiff_t;
    using value_type = std::pair<std::string, double>;
    struct Arrow {
      Entry entry;
      const Entry* operator->() const { return &entry; }
    };

    Iter() = default;
    Iter(const Iter& o) { *this = o; }
    Iter& operator=(const Iter& o) {
      table_ = o.table_;
      map_it_ = o.map_it_;
      in_map_ = o.in_map_;
      shape_ = o.shape_;
      rank_ = o.rank_;
      slot_ = o.slot_;
      element_key_ = o.element_key_;
      key_ = o.key_ == &o.element_key_ ? &element_key_ : o.key_;
      value_ = o.value_;
      return *this;
    }

    Entry operator*() const { return Entry(*key_, *value_); }
    Arrow operator->() const { return Arrow{**this}; }
    Value& value() const { return *value_; }
    Iter& operator++() {
      table_->advance(*this);
      return *this;
    }
    Iter operator++(int) {
      Iter old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const Iter& a, const Iter& b) { return a.value_ == b.value_; }

   private:
    friend class SymbolTable;
    Table* table_ = nullptr;
    MapIter map_it_{};
    bool in_map_ = false;
    std::size_t shape_ = 0;  // block position: array, rank, element
    std::size_t rank_ = 0;
    std::size_t slot_ = 0;
    std::string element_key_;  // the key text of a block element
    const std::string* key_ = nullptr;
    Value* value_ = nullptr;  // null at the end
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  iterator begin();
  iterator end() { return iterator(); }
  const_iterator begin() const;
  const_iterator end() const { return const_iterator(); }

  iterator find(std::string_view key);
  const_iterator find(std::string_view key) const;
  bool contains(std::string_view key) const { return find_value(key) != nullptr; }
  // The value of a key, without an iterator (null when there is none); valid
  // until the table next gains or loses a key.
  const double* find_value(std::string_view key) const;
  double* find_value(std::string_view key) {
    return const_cast<double*>(std::as_const(*this).find_value(key));
  }
  // The same with the key's hash given (key_hash of the key), for a key
  // read many times.
  static std::size_t key_hash(std::string_view key) { return StrHash{}(key); }
  const double* find_value(std::string_view key, std::size_t hash) const;
  // The value of a key; std::out_of_range when there is none.
  const double& at(std::string_view key) const;
  // The value of a key, created as 0.0 when absent.
  double& operator[](std::string_view key);
  // Stores a value (insert or replace); true when the key was new.
  bool insert_or_assign(std::string_view key, double value);
  // Stores a value only when the key is absent; true when it was stored.
  bool emplace(std::string_view key, double value);
  // Number of variables and elements held.
  std::size_t size() const;

  // DEF of the array `name` with these inclusive bounds (one to three
  // indices): every element of the box becomes 0.0. Refused, with nothing
  // changed, when the elements declared in this table would exceed `limit`;
  // the result is then the number they would reach (saturating).
  std::optional<std::uint64_t> declare_array(std::string_view name,
                                             std::span<const std::int32_t> bounds,
                                             std::uint64_t limit = limits::kMaxArrayElementsPerRun);
  // The elements DEF has created so far (what the run-wide limit counts).
  std::uint64_t declared_elements() const noexcept { return declared_; }

 private:
  struct Located {
    const ArrayShapes* shapes = nullptr;  // the array's entry, when there is one
    const DenseArray* block = nullptr;    // the block whose box holds the element
    std::size_t rank = 0;                 // indices of an element key; 0 for other names
    std::size_t slot = 0;
  };
  Located locate(std::string_view key) const;
  double& slot_for_write(std::string_view key, bool& inserted);
  ArrayShapes& shapes_of(std::string_view name);
  template <bool Const>
  void position(Iter<Const>& it, std::size_t shape, std::size_t rank, std::size_t slot) const;
  // find and begin for a table of either constness
  template <typename Self>
  static Iter<std::is_const_v<Self>> find_in(Self& self, std::string_view key);
  template <typename Self>
  static Iter<std::is_const_v<Self>> first_of(Self& self);
  template <bool Const, typename MapIt>
  static void at_map_entry(Iter<Const>& it, MapIt m);
  template <bool Const>
  void advance(Iter<Const>& it) const;

  StrMap<double> named_;
  std::vector<ArrayShapes> arrays_;   // one entry per array name met
  StrMap<std::size_t> array_index_;   // name -> position in arrays_
  std::uint64_t declared_ = 0;
};

// ---------------------------------------------------------------------------
// Types

// Whether an output key is an axis or a block address (I, J, K, CR, TURN,
// PW, SD, PL); any other name is a user variable.
enum class ColKind : std::uint8_t { Axis = 0, BlockAddress = 1 };

// An output key's kind and its interned (process-lifetime) column name.
// `is_axis` tells whether the key itself names a configured axis as
// configured (State::is_axis): an axis configured in lower case has its
// upper-case column, but an assignment to that name does not position it.
struct OutputKey {
  ColKind kind;
  std::string_view column;
  bool is_axis = false;
};

using Matrix3 = std::array<std::array<double, 3>, 3>;  // row-major: m[row][col]

inline constexpr Matrix3 kIdentity{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
// Absolute tolerance of the identity, coupling, plane-normal and non-zero tests.
inline constexpr double kFrameTolerance = 1e-9;

// The text of a line that cannot be found.
inline constexpr std::string_view kNoLineText = "(could not retrieve line)";

// The 19 axes used when no axis list is configured.
inline constexpr std::array<std::string_view, 19> kDefaultAxes{
    "N", "X", "Y", "Z", "A", "B", "C", "D", "E", "F",
    "S", "U", "V", "RA1", "RA2", "RA3", "RA4", "RA5", "RA6"};
// The block addresses, in their table order.
inline constexpr std::array<std::string_view, 8> kBlockAddresses{
    "I", "J", "K", "CR", "TURN", "PW", "SD", "PL"};

// The positions (0.0 when absent) and presence flags of X, Y, Z.
struct LocalGeometry {
  double x = 0.0, y = 0.0, z = 0.0;
  bool has_x = false, has_y = false, has_z = false;
  std::array<double, 3> pos() const { return {x, y, z}; }
  std::array<bool, 3> flags() const { return {has_x, has_y, has_z}; }
};

// What a run hands back at its end: copies of the State fields.
struct FinalState {
  FxMap<double> axes;
  SymbolTable symbol_table;
  FxMap<double> translation;
  Matrix3 rotation = kIdentity;
  StrMap<std::string> string_table;
};

// The machine positions taken before a frame change, restored after it.
struct FrameSnapshot {
  std::array<double, 3> machine{0.0, 0.0, 0.0};  // X, Y, Z; 0.0 when unpositioned
  std::array<bool, 3> flags{false, false, false};
  std::vector<std::pair<std::string, double>> others;  // non-geometry axes: machine positions
};

struct State {
  // owned fields
  FxMap<double> axes;               // programmed (frame-local) position per upper-case axis name
  SymbolTable symbol_table;         // numeric variables and array elements
  StrMap<std::string> string_table; // STRING variables
  std::vector<std::string> axis_identifiers;  // as configured, in order, duplicates kept
  std::optional<StrMap<std::size_t>> axis_index_map;  // keys as the caller wrote them
  // jump keys of every block list being run, innermost last: only the keys
  // the program's jump statements name (the only keys a GOTOC asks about)
  std::vector<StrSet> label_scopes;
  // every jump key of every block list started, for the hints of jumps that
  // find no destination: the keys of a parse tree's lists are written in
  // when a hint reads them (see tree_jump_keys)
  mutable StrSet all_jump_targets;
  // The lists of one parse tree started so far whose keys are not yet in
  // all_jump_targets, and the keys its jump statements name. Most block
  // numbers are never jumped to: the tables and scopes of the tree's lists
  // hold only the named keys.
  struct TreeJumpKeys {
    std::shared_ptr<const types::ParseTree> tree;
    // the text the tree borrows, when it is a program's source: held with the
    // tree, so that the keys can be read after the run (null: a text of the
    // caller's, whose keys are written out when the run ends)
    std::shared_ptr<const SourceText> text;
    StrSet named;                         // keys named by the tree's jump statements
    std::vector<std::uint32_t> started;   // `blocks` token of each list, in first-start order
    std::vector<std::uint64_t> seen;      // bit per token: the list was started
  };
  mutable TreeJumpKeys tree_jump_keys;
  StrSet warned_addresses;           // upper-case unsupported addresses already warned about
  // Where the source's lines start: the byte offset of every 16th line's
  // start, and the count of "\n" (a line is found from the start before it;
  // a full index would hold 8 bytes for every line of a program of hundreds
  // of MB).
  struct LineIndex {
    static constexpr std::size_t kStride = 16;
    std::vector<std::size_t> starts;  // of lines 1, 17, 33, ...
    std::size_t newlines = 0;
  };
  std::shared_ptr<const LineIndex> line_starts;
  std::shared_ptr<const SourceText> source;                      // the program being run
  FxMap<OutputKey> output_keys;      // axis and block-address columns by upper-case key
  // resolve_output_key of the one-letter upper-case names, kept as first
  // asked: output_keys do not change once the state is built
  enum class LetterKey : std::uint8_t { NotAsked, None, Found };
  mutable std::array<LetterKey, 26> letter_key_seen{};
  mutable std::array<OutputKey, 26> letter_keys{};
  std::array<std::string_view, 3> arc_center_columns{"I", "J", "K"};  // interned
  Matrix3 rotation = kIdentity;      // machine = R * local + T for X, Y, Z
  // plain values
  std::size_t iteration_limit = limits::kDefaultIterationLimit;
  std::array<std::optional<std::string_view>, 3> geometry_columns;  // columns of X, Y, Z
  bool rotation_active = false;
  // a later program runs on this state (the initial-state run): every target of
  // this one is recorded for the hints of that program's jumps, even where no
  // jump of its own needs a table
  bool record_all_jump_targets = false;
  bool allow_undefined_variables = false;
  std::array<bool, 3> coupled_warned{false, false, false};
  std::uint8_t active_plane = 0;     // 0 = G17, 1 = G18, 2 = G19

  // The constructor: `axes` is the assembled axis list (defaults and extras
  // already applied). Fails for an axis_index_map key naming no configured axis.
  static errors::Result<State> create(std::vector<std::string> axes, std::size_t iteration_limit,
                                      std::optional<StrMap<std::size_t>> axis_index_map,
                                      bool allow_undefined_variables);

  // --- simple accessors ---
  FinalState final_state() const;
  // Index of an axis name used as an array subscript, looked up as written.
  errors::Result<std::size_t> get_axis_index(std::string_view name, std::size_t line,
                                             std::string_view line_text) const;
  std::optional<double> get_axis_local(std::string_view name) const;
  // `name` upper-cased equals a configured axis name as configured.
  bool is_axis(std::string_view name) const;
  // `name` upper-cased is one of the block addresses.
  static bool is_block_address(std::string_view name);
  // Exact lookup in output_keys, then upper-cased.
  std::optional<OutputKey> resolve_output_key(std::string_view name) const;
  bool jump_target_visible(std::string_view key) const;
  // Text of 1-based line n of `source` (without "\n", with a "\r" before it).
  std::optional<std::string_view> get_line(std::size_t n) const;
  // get_line(n) or "(could not retrieve line)", as an owned text for errors.
  std::string line_text(std::size_t n) const;
  // Prints the once-per-address note for AR, AP, RP, I1, J1, K1.
  void warn_unsupported_address(std::string_view name, std::size_t line);
  // Replaces the source text and its line index.
  void set_input(SourceText text);
  void set_input(std::shared_ptr<const std::string> text);
  void set_input(std::string_view text);
  // The text of `source` (empty before set_input).
  std::string_view source_text() const { return source ? source->text : std::string_view(); }
  // The configured axis names joined with ", ".
  std::string axis_list() const;

  // --- frame and geometry ---
  LocalGeometry local_geometry() const;
  std::array<double, 3> machine_geometry() const;
  std::array<double, 3> local_of_machine(std::array<double, 3> machine) const;
  std::optional<double> get_axis_machine(std::string_view name) const;
  // The translation per axis name as configured (missing counts as 0.0),
  // written through set_translation and reset_frame only.
  const FxMap<double>& translation() const { return translation_; }
  double translation_of(std::string_view name) const {  // 0.0 when absent
    return translation_zero_ ? 0.0 : translated(name);
  }
  void set_translation(std::string_view name, double value);
  // Sets the programmed position of an axis (pulls in coupled geometry axes
  // under a rotation on their first positioning). Never fails.
  void update_axis(std::string_view name, double value);
  void pull_in_coupled(std::array<bool, 3>& flags);
  // Writes the machine X, Y, Z cells of every positioned, configured geometry axis.
  void insert_rotated_geometry(output::CellMap& cells) const;
  // Last step of a block that ran a statement: rotates arc centres.
  errors::Status finish_block_frame(output::CellMap& cells, std::size_t line) const;

  // The frame change keeping machine positions: `apply(State&)` changes the
  // translation, rotation and rotation_active (frame instructions); on its
  // failure the error is returned and positions are left as they were.
  template <typename Apply>
  errors::Status change_frame(Apply&& apply) {
    FrameSnapshot snap = begin_frame_change();
    errors::Status st = std::forward<Apply>(apply)(*this);
    if (!st) return st;
    end_frame_change(std::move(snap));
    return {};
  }
  // The two halves of change_frame, for callers that cannot pass a callable.
  FrameSnapshot begin_frame_change() const;
  void end_frame_change(FrameSnapshot snap);

  // Frame helpers for the frame instructions.
  void reset_frame();                      // T all 0.0 (keys kept), R = I, inactive
  void set_rotation(const Matrix3& r);     // R = r and rotation_active from the 1e-9 test
  static bool differs_from_identity(const Matrix3& r);

 private:
  double translated(std::string_view name) const;
  FxMap<double> translation_;
  // every entry is +0.0: no frame moves the axes, as in most programs (a
  // -0.0 entry keeps the sign of a -0.0 value added to it)
  bool translation_zero_ = true;
};

// Assembles the axis list (defaults when `axis_identifiers` is absent, then
// `extra_axes` appended unchanged) and builds the State. Fails with a
// ParseError "Axis '{}' in axis_index_map is not a valid axis" for the first
// map key (in the given order) whose upper-case form names no configured axis.
errors::Result<State> build_state(
    std::optional<std::vector<std::string>> axis_identifiers,
    std::optional<std::vector<std::string>> extra_axes, std::size_t iteration_limit,
    std::optional<std::vector<std::pair<std::string, std::size_t>>> axis_index_map,
    bool allow_undefined_variables);

// The key of an array element, its name and indices: "A[1,2]", the form the
// symbol table reads back.
void format_element_key(std::string& out, std::string_view name,
                        std::span<const std::int32_t> index);

// 3x3 products.
Matrix3 mat_mul(const Matrix3& a, const Matrix3& b);
std::array<double, 3> mat_vec(const Matrix3& m, const std::array<double, 3>& v);

}  // namespace kelvane::state
