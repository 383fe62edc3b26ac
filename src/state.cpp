#include "state.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <stdexcept>

#include "output.hpp"

namespace kelvane::state {

using text::to_upper;
using text::write_warning_line;

using errors::ParsingError;
using errors::Result;
using errors::Status;
using types::Value;

// ---------------------------------------------------------------------------
// Helpers

Matrix3 mat_mul(const Matrix3& a, const Matrix3& b) {
  Matrix3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  return r;
}

std::array<double, 3> mat_vec(const Matrix3& m, const std::array<double, 3>& v) {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2],
          m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

namespace {

constexpr std::array<std::string_view, 3> kGeometryNames{"X", "Y", "Z"};

// 0, 1, 2 for a name that is exactly X, Y or Z; -1 otherwise.
int geometry_index(std::string_view name) {
  if (name.size() != 1) return -1;
  switch (name[0]) {
    case 'X': return 0;
    case 'Y': return 1;
    case 'Z': return 2;
    default: return -1;
  }
}

using text::equals_upper;

std::string_view intern(std::string_view name) { return std::string_view(output::intern_column(name)); }

// An axis_index_map key must name a configured axis once upper-cased.
Status check_index_key(std::string_view key, const std::vector<std::string>& axes) {
  for (const auto& axis : axes) {
    if (equals_upper(key, axis)) return {};
  }
  return errors::fail(errors::ParseError{"Axis '" + std::string(key) +
                                         "' in axis_index_map is not a valid axis"});
}

}  // namespace

// ---------------------------------------------------------------------------
// Symbol table

void format_element_key(std::string& out, std::string_view name,
                        std::span<const std::int32_t> index) {
  out.assign(name);
  out.push_back('[');
  for (std::size_t d = 0; d < index.size(); ++d) {
    if (d) out.push_back(',');
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, index[d]);
    out.append(buf, res.ptr);
  }
  out.push_back(']');
}

namespace {

using Index = std::array<std::int32_t, 3>;

// An element key split into its array name and indices: "A[1,2]" gives A,
// two indices, 1 and 2. Only the form element keys are written in (decimal
// indices without sign or leading zeros, no blanks) is taken.
struct ParsedKey {
  std::string_view name;
  std::size_t rank = 0;
  Index index{0, 0, 0};
};

std::optional<ParsedKey> parse_element_key(std::string_view key) {
  if (key.size() < 4 || key.back() != ']') return std::nullopt;
  const std::size_t open = key.find('[');
  if (open == 0 || open == std::string_view::npos) return std::nullopt;
  ParsedKey out;
  out.name = key.substr(0, open);
  std::size_t i = open + 1;
  const std::size_t stop = key.size() - 1;
  while (true) {
    if (out.rank == 3 || i >= stop) return std::nullopt;
    const std::size_t first = i;
    std::int64_t v = 0;
    while (i < stop && key[i] >= '0' && key[i] <= '9') {
      v = v * 10 + (key[i] - '0');
      if (v > INT32_MAX) return std::nullopt;
      ++i;
    }
    if (i == first || (key[first] == '0' && i - first > 1)) return std::nullopt;
    out.index[out.rank++] = static_cast<std::int32_t>(v);
    if (i == stop) return out;
    if (key[i] != ',') return std::nullopt;
    ++i;
  }
}

void format_key(std::string& out, std::string_view name, std::size_t rank, const Index& idx) {
  format_element_key(out, name, std::span<const std::int32_t>(idx.data(), rank));
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Elements of the box [0, b0] x ... (saturating).
std::uint64_t box_size(std::size_t rank, const Index& bounds) {
  std::uint64_t n = 1;
  for (std::size_t d = 0; d < rank; ++d)
    n = saturating_mul(n, static_cast<std::uint64_t>(bounds[d]) + 1);
  return n;
}

bool box_holds(std::size_t rank, const Index& box, const Index& idx) {
  for (std::size_t d = 0; d < rank; ++d)
    if (idx[d] > box[d]) return false;
  return true;
}

// Row-major position of an index in a box.
std::size_t slot_in(std::size_t rank, const Index& box, const Index& idx) {
  std::size_t slot = 0;
  for (std::size_t d = 0; d < rank; ++d)
    slot = slot * (static_cast<std::size_t>(box[d]) + 1) + static_cast<std::size_t>(idx[d]);
  return slot;
}

Index index_of_slot(std::size_t rank, const Index& box, std::size_t slot) {
  Index idx{0, 0, 0};
  for (std::size_t d = rank; d-- > 0;) {
    const std::size_t extent = static_cast<std::size_t>(box[d]) + 1;
    idx[d] = static_cast<std::int32_t>(slot % extent);
    slot /= extent;
  }
  return idx;
}

// Calls fn(index) for every index of the box, row-major.
template <typename F>
void for_each_index(std::size_t rank, const Index& box, F&& fn) {
  Index idx{0, 0, 0};
  while (true) {
    fn(idx);
    std::size_t d = rank;
    while (true) {
      --d;
      if (idx[d] < box[d]) {
        ++idx[d];
        break;
      }
      idx[d] = 0;
      if (d == 0) return;
    }
  }
}

}  // namespace

SymbolTable::Located SymbolTable::locate(std::string_view key) const {
  Located at;
  if (key.empty() || key.back() != ']') return at;
  auto parsed = parse_element_key(key);
  if (!parsed) return at;
  at.rank = parsed->rank;
  auto it = array_index_.find(parsed->name);
  if (it == array_index_.end()) return at;
  at.shapes = &arrays_[it->second];
  const std::optional<DenseArray>& block = at.shapes->dense[parsed->rank - 1];
  if (block && box_holds(parsed->rank, block->bounds, parsed->index)) {
    at.block = &*block;
    at.slot = slot_in(parsed->rank, block->bounds, parsed->index);
  }
  return at;
}

const double* SymbolTable::find_value(std::string_view key) const {
  // an element key ends with its index; names are looked up in the map alone
  if (!key.empty() && key.back() == ']') {
    const Located at = locate(key);
    if (at.block) return &at.block->values[at.slot];
  }
  auto it = named_.find(key);
  return it == named_.end() ? nullptr : &it->second;
}

const double* SymbolTable::find_value(std::string_view key, std::size_t hash) const {
  if (!key.empty() && key.back() == ']') return find_value(key);
  auto it = named_.find(key, hash);
  return it == named_.end() ? nullptr : &it->second;
}

SymbolTable::ArrayShapes& SymbolTable::shapes_of(std::string_view name) {
  auto it = array_index_.find(name);
  if (it != array_index_.end()) return arrays_[it->second];
  array_index_.emplace(std::string(name), arrays_.size());
  arrays_.emplace_back();
  arrays_.back().name.assign(name);
  return arrays_.back();
}

double& SymbolTable::slot_for_write(std::string_view key, bool& inserted) {
  const Located at = locate(key);
  if (at.block) {
    inserted = false;
    return const_cast<DenseArray*>(at.block)->values[at.slot];
  }
  auto [it, fresh] = named_.try_emplace(std::string(key), 0.0);
  inserted = fresh;
  if (fresh && at.rank) {
    // an element key held in the map: counted so that a block growing over
    // it later knows to take it out
    const std::string_view name = key.substr(0, key.find('['));
    ++shapes_of(name).sparse[at.rank - 1];
  }
  return it.value();
}

template <bool Const, typename MapIt>
void SymbolTable::at_map_entry(Iter<Const>& it, MapIt m) {
  it.in_map_ = true;
  it.map_it_ = m;
  it.key_ = &m->first;
  it.value_ = &m.value();
}

template <typename Self>
SymbolTable::Iter<std::is_const_v<Self>> SymbolTable::find_in(Self& self, std::string_view key) {
  Iter<std::is_const_v<Self>> it;
  it.table_ = &self;
  const Located at = self.locate(key);
  if (at.block) {
    self.position(it, static_cast<std::size_t>(at.shapes - self.arrays_.data()), at.rank - 1,
                  at.slot);
    return it;
  }
  auto m = self.named_.find(key);
  if (m == self.named_.end()) return {};
  at_map_entry(it, m);
  return it;
}

template <typename Self>
SymbolTable::Iter<std::is_const_v<Self>> SymbolTable::first_of(Self& self) {
  Iter<std::is_const_v<Self>> it;
  it.table_ = &self;
  if (self.named_.begin() != self.named_.end()) {
    at_map_entry(it, self.named_.begin());
    return it;
  }
  self.position(it, 0, 0, 0);
  return it;
}

SymbolTable::iterator SymbolTable::find(std::string_view key) { return find_in(*this, key); }

SymbolTable::const_iterator SymbolTable::find(std::string_view key) const {
  return find_in(*this, key);
}

template <bool Const>
void SymbolTable::position(Iter<Const>& it, std::size_t shape, std::size_t rank,
                           std::size_t slot) const {
  // the first element at or after (shape, rank, slot)
  for (; shape < arrays_.size(); ++shape, rank = 0, slot = 0) {
    const ArrayShapes& a = arrays_[shape];
    for (; rank < 3; ++rank, slot = 0) {
      const std::optional<DenseArray>& block = a.dense[rank];
      if (!block || slot >= block->values.size()) continue;
      it.in_map_ = false;
      it.shape_ = shape;
      it.rank_ = rank;
      it.slot_ = slot;
      format_key(it.element_key_, a.name, rank + 1, index_of_slot(rank + 1, block->bounds, slot));
      it.key_ = &it.element_key_;
      it.value_ = const_cast<typename Iter<Const>::Value*>(&block->values[slot]);
      return;
    }
  }
  it.key_ = nullptr;
  it.value_ = nullptr;
}

template <bool Const>
void SymbolTable::advance(Iter<Const>& it) const {
  if (it.in_map_) {
    ++it.map_it_;
    if (it.map_it_ != named_.end()) {
      it.key_ = &it.map_it_->first;
      it.value_ = const_cast<typename Iter<Const>::Value*>(&it.map_it_->second);
      return;
    }
    position(it, 0, 0, 0);
    return;
  }
  position(it, it.shape_, it.rank_, it.slot_ + 1);
}

template void SymbolTable::advance<false>(Iter<false>&) const;
template void SymbolTable::advance<true>(Iter<true>&) const;

SymbolTable::iterator SymbolTable::begin() { return first_of(*this); }

SymbolTable::const_iterator SymbolTable::begin() const { return first_of(*this); }

const double& SymbolTable::at(std::string_view key) const {
  const double* v = find_value(key);
  if (!v) throw std::out_of_range("no variable " + std::string(key));
  return *v;
}

double& SymbolTable::operator[](std::string_view key) {
  bool inserted = false;
  return slot_for_write(key, inserted);
}

bool SymbolTable::insert_or_assign(std::string_view key, double value) {
  bool inserted = false;
  slot_for_write(key, inserted) = value;
  return inserted;
}

bool SymbolTable::emplace(std::string_view key, double value) {
  if (find_value(key)) return false;
  return insert_or_assign(key, value);
}

std::size_t SymbolTable::size() const {
  std::size_t n = named_.size();
  for (const ArrayShapes& a : arrays_)
    for (const std::optional<DenseArray>& block : a.dense)
      if (block) n += block->values.size();
  return n;
}

std::optional<std::uint64_t> SymbolTable::declare_array(std::string_view name,
                                                        std::span<const std::int32_t> bounds,
                                                        std::uint64_t limit) {
  const std::size_t rank = bounds.size();
  Index box{0, 0, 0};
  for (std::size_t d = 0; d < rank && d < 3; ++d) box[d] = bounds[d];
  const std::uint64_t room = declared_ >= limit ? 0 : limit - declared_;
  const std::uint64_t n = box_size(rank, box);
  ArrayShapes& shapes = shapes_of(name);
  std::optional<DenseArray>& held = shapes.dense[rank - 1];
  std::size_t& sparse = shapes.sparse[rank - 1];
  std::string key;

  // Element keys of this shape that the map holds inside `region` but
  // outside `old` (none: no old box) are dropped: the block now holds them.
  auto take_from_map = [&](const Index& region, const std::optional<Index>& old) {
    if (sparse == 0) return;
    for_each_index(rank, region, [&](const Index& idx) {
      if (sparse == 0 || (old && box_holds(rank, *old, idx))) return;
      format_key(key, name, rank, idx);
      if (named_.erase(key)) --sparse;
    });
  };
  // Every element of `region` (inside the block's box) becomes 0.0.
  auto zero_region = [&](DenseArray& block, const Index& region) {
    for_each_index(rank, region, [&](const Index& idx) {
      block.values[slot_in(rank, block.bounds, idx)] = 0.0;
    });
  };
  auto make_block = [&](const Index& b, std::size_t count) {
    DenseArray block;
    block.bounds = b;
    block.values.assign(count, 0.0);
    return block;
  };

  if (!held) {
    if (n > room) return saturating_add(declared_, n);
    held = make_block(box, static_cast<std::size_t>(n));
    take_from_map(box, std::nullopt);
    declared_ += n;
    return std::nullopt;
  }

  DenseArray& block = *held;
  Index common{0, 0, 0};
  Index joint{0, 0, 0};
  for (std::size_t d = 0; d < rank; ++d) {
    common[d] = std::min(box[d], block.bounds[d]);
    joint[d] = std::max(box[d], block.bounds[d]);
  }
  const std::uint64_t outside = n - box_size(rank, common);  // elements beyond the block
  if (outside == 0) {
    zero_region(block, box);
    return std::nullopt;
  }
  const std::uint64_t old_size = block.values.size();
  if (box_size(rank, joint) == saturating_add(old_size, outside)) {
    // the joint box holds nothing but declared elements: the block grows
    if (outside > room) return saturating_add(declared_, outside);
    DenseArray grown = make_block(joint, static_cast<std::size_t>(old_size + outside));
    for_each_index(rank, block.bounds, [&](const Index& idx) {
      grown.values[slot_in(rank, joint, idx)] = block.values[slot_in(rank, block.bounds, idx)];
    });
    const Index old_bounds = block.bounds;
    block = std::move(grown);
    take_from_map(box, old_bounds);
    zero_region(block, box);
    declared_ += outside;
    return std::nullopt;
  }

  // Boxes that cross: the elements beyond the block go to the map one by one.
  const std::uint64_t surely_new = outside - std::min<std::uint64_t>(outside, sparse);
  if (surely_new > room) return saturating_add(declared_, surely_new);
  std::uint64_t fresh = 0;
  for_each_index(rank, box, [&](const Index& idx) {
    if (box_holds(rank, block.bounds, idx)) return;
    format_key(key, name, rank, idx);
    if (named_.find(key) == named_.end()) ++fresh;
  });
  if (fresh > room) return saturating_add(declared_, fresh);
  zero_region(block, common);
  for_each_index(rank, box, [&](const Index& idx) {
    if (box_holds(rank, block.bounds, idx)) return;
    format_key(key, name, rank, idx);
    if (named_.insert_or_assign(key, 0.0).second) ++sparse;
  });
  declared_ += fresh;
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Construction

Result<State> State::create(std::vector<std::string> axis_list, std::size_t iteration_limit,
                            std::optional<StrMap<std::size_t>> axis_index_map,
                            bool allow_undefined_variables) {
  State s;
  s.symbol_table.emplace("TRUE", 1.0);
  s.symbol_table.emplace("FALSE", 0.0);
  // sized once: growing them entry by entry rehashes their texts several times
  s.translation_.reserve(axis_list.size());
  s.output_keys.reserve(axis_list.size() + kBlockAddresses.size());
  for (const auto& name : axis_list) s.translation_.insert_or_assign(name, 0.0);
  if (axis_index_map) {
    for (const auto& entry : *axis_index_map) {
      if (auto st = check_index_key(entry.first, axis_list); !st) return errors::fail(st.error());
    }
  }
  for (const auto& name : axis_list) {
    std::string up = to_upper(name);
    std::string_view column = intern(up);
    const bool as_configured =
        std::find(axis_list.begin(), axis_list.end(), up) != axis_list.end();
    s.output_keys.insert_or_assign(std::move(up), OutputKey{ColKind::Axis, column, as_configured});
  }
  for (std::string_view address : kBlockAddresses) {
    if (s.output_keys.find(address) == s.output_keys.end()) {
      s.output_keys.emplace(std::string(address), OutputKey{ColKind::BlockAddress, intern(address)});
    }
  }
  for (std::size_t i = 0; i < 3; ++i) {
    auto it = s.output_keys.find(kGeometryNames[i]);
    if (it != s.output_keys.end()) s.geometry_columns[i] = it->second.column;
  }
  s.arc_center_columns = {intern("I"), intern("J"), intern("K")};
  s.axis_identifiers = std::move(axis_list);
  s.iteration_limit = iteration_limit;
  s.axis_index_map = std::move(axis_index_map);
  s.allow_undefined_variables = allow_undefined_variables;
  return s;
}

Result<State> build_state(std::optional<std::vector<std::string>> axis_identifiers,
                          std::optional<std::vector<std::string>> extra_axes,
                          std::size_t iteration_limit,
                          std::optional<std::vector<std::pair<std::string, std::size_t>>> axis_index_map,
                          bool allow_undefined_variables) {
  std::vector<std::string> axes;
  if (axis_identifiers) {
    axes = std::move(*axis_identifiers);
  } else {
    axes.assign(kDefaultAxes.begin(), kDefaultAxes.end());
  }
  if (extra_axes) {
    for (auto& name : *extra_axes) axes.push_back(std::move(name));
  }
  // Check the keys in the caller's order so the first bad one is reported.
  std::optional<StrMap<std::size_t>> map;
  if (axis_index_map) {
    for (const auto& entry : *axis_index_map) {
      if (auto st = check_index_key(entry.first, axes); !st) return errors::fail(st.error());
    }
    map.emplace();
    for (auto& [key, index] : *axis_index_map) map->insert_or_assign(std::move(key), index);
  }
  return State::create(std::move(axes), iteration_limit, std::move(map), allow_undefined_variables);
}

// ---------------------------------------------------------------------------
// Accessors

FinalState State::final_state() const {
  return FinalState{axes, symbol_table, translation_, rotation, string_table};
}

Result<std::size_t> State::get_axis_index(std::string_view name, std::size_t line,
                                          std::string_view line_text) const {
  if (axis_index_map) {
    auto it = axis_index_map->find(name);
    if (it != axis_index_map->end()) return it->second;
  }
  return errors::fail(errors::MissingAxisMapping{std::string(line_text), std::string(name), line});
}

std::optional<double> State::get_axis_local(std::string_view name) const {
  auto it = axes.find(name);
  if (it == axes.end()) return std::nullopt;
  return it->second;
}

bool State::is_axis(std::string_view name) const {
  for (const auto& axis : axis_identifiers) {
    if (equals_upper(name, axis)) return true;
  }
  return false;
}

bool State::is_block_address(std::string_view name) {
  for (std::string_view address : kBlockAddresses) {
    if (equals_upper(name, address)) return true;
  }
  return false;
}

std::optional<OutputKey> State::resolve_output_key(std::string_view name) const {
  if (name.size() == 1 && name[0] >= 'A' && name[0] <= 'Z') {
    const auto i = static_cast<std::size_t>(name[0] - 'A');
    if (letter_key_seen[i] == LetterKey::Found) return letter_keys[i];
    if (letter_key_seen[i] == LetterKey::None) return std::nullopt;
    auto found = output_keys.find(name);
    if (found == output_keys.end()) {
      letter_key_seen[i] = LetterKey::None;
      return std::nullopt;
    }
    letter_keys[i] = found->second;
    letter_key_seen[i] = LetterKey::Found;
    return found->second;
  }
  auto it = output_keys.find(name);
  if (it != output_keys.end()) return it->second;
  // upper-cased on the stack for the short names that matter
  const text::UpperBuf up(name);
  if (up.view() == name) return std::nullopt;
  it = output_keys.find(up.view());
  if (it != output_keys.end()) return it->second;
  return std::nullopt;
}

bool State::jump_target_visible(std::string_view key) const {
  for (const auto& scope : label_scopes) {
    if (scope.find(key) != scope.end()) return true;
  }
  return false;
}

std::optional<std::string_view> State::get_line(std::size_t n) const {
  const std::string_view text = source_text();
  if (!line_starts) return n == 1 ? std::optional<std::string_view>(text) : std::nullopt;
  if (n == 0 || n > line_starts->newlines + 1) return std::nullopt;
  const std::size_t block = (n - 1) / LineIndex::kStride;
  if (block >= line_starts->starts.size()) return std::nullopt;
  std::size_t begin = line_starts->starts[block];
  for (std::size_t skip = (n - 1) % LineIndex::kStride; skip > 0; --skip) {
    const void* hit = std::memchr(text.data() + begin, '\n', text.size() - begin);
    if (hit == nullptr) return std::nullopt;
    begin = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) + 1;
  }
  if (begin > text.size()) return std::nullopt;
  const void* hit = std::memchr(text.data() + begin, '\n', text.size() - begin);
  const std::size_t end =
      hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) : text.size();
  return text.substr(begin, end - begin);
}

std::string State::line_text(std::size_t n) const {
  auto line = get_line(n);
  return line ? std::string(*line) : std::string(kNoLineText);
}

void State::warn_unsupported_address(std::string_view name, std::size_t line) {
  if (name.size() != 2) return;
  // most two-letter names (R1, XP) are none of the addresses: told by their letters
  const char a = text::ascii_upper(name[0]);
  const char b = text::ascii_upper(name[1]);
  const bool candidate = (a == 'A' && (b == 'R' || b == 'P')) || (a == 'R' && b == 'P') ||
                         ((a == 'I' || a == 'J' || a == 'K') && b == '1');
  if (!candidate) return;
  std::string up = to_upper(name);
  std::string_view description;
  if (up == "AR") {
    description = "arc opening angle (G2/G3 ... AR=)";
  } else if (up == "AP") {
    description = "polar angle (G0..G3 AP= RP=)";
  } else if (up == "RP") {
    description = "polar radius (G0..G3 AP= RP=)";
  } else if (up == "I1" || up == "J1" || up == "K1") {
    description = "CIP intermediate point (I1= J1= K1=)";
  } else {
    return;
  }
  if (!warned_addresses.insert(up).second) return;
  write_warning_line(text::warning_prefix(line) + "address '" + up + "' - " +
                     std::string(description) +
                     " - is not interpreted and is treated as a user variable; the motion it "
                     "programs will be wrong");
}

void State::set_input(SourceText text) {
  auto index = std::make_shared<LineIndex>();
  index->starts.push_back(0);
  index->newlines = text::sampled_line_feeds(text.text, LineIndex::kStride, index->starts);
  line_starts = std::move(index);
  source = std::make_shared<const SourceText>(std::move(text));
}

void State::set_input(std::shared_ptr<const std::string> text) {
  if (!text) text = std::make_shared<const std::string>();
  const std::string_view view(*text);
  set_input(SourceText{view, std::move(text)});
}

void State::set_input(std::string_view text) {
  set_input(std::make_shared<const std::string>(text));
}

std::string State::axis_list() const {
  std::string out;
  for (std::size_t i = 0; i < axis_identifiers.size(); ++i) {
    if (i) out += ", ";
    out += axis_identifiers[i];
  }
  return out;
}

// ---------------------------------------------------------------------------
// Frame and geometry

double State::translated(std::string_view name) const {
  auto it = translation_.find(name);
  return it == translation_.end() ? 0.0 : it->second;
}

void State::set_translation(std::string_view name, double value) {
  if (auto it = translation_.find(name); it != translation_.end()) it.value() = value;
  else translation_.emplace(std::string(name), value);
  translation_zero_ = true;
  for (const auto& entry : translation_) {
    if (!(entry.second == 0.0 && !std::signbit(entry.second))) translation_zero_ = false;
  }
}

LocalGeometry State::local_geometry() const {
  LocalGeometry g;
  if (auto it = axes.find(std::string_view("X")); it != axes.end()) {
    g.x = it->second;
    g.has_x = true;
  }
  if (auto it = axes.find(std::string_view("Y")); it != axes.end()) {
    g.y = it->second;
    g.has_y = true;
  }
  if (auto it = axes.find(std::string_view("Z")); it != axes.end()) {
    g.z = it->second;
    g.has_z = true;
  }
  return g;
}

std::array<double, 3> State::machine_geometry() const {
  const auto local = local_geometry().pos();
  auto m = mat_vec(rotation, local);
  m[0] += translation_of("X");
  m[1] += translation_of("Y");
  m[2] += translation_of("Z");
  return m;
}

std::array<double, 3> State::local_of_machine(std::array<double, 3> machine) const {
  const std::array<double, 3> d{machine[0] - translation_of("X"), machine[1] - translation_of("Y"),
                                machine[2] - translation_of("Z")};
  // the transpose of a rotation is its inverse
  return {rotation[0][0] * d[0] + rotation[1][0] * d[1] + rotation[2][0] * d[2],
          rotation[0][1] * d[0] + rotation[1][1] * d[1] + rotation[2][1] * d[2],
          rotation[0][2] * d[0] + rotation[1][2] * d[1] + rotation[2][2] * d[2]};
}

std::optional<double> State::get_axis_machine(std::string_view name) const {
  auto it = axes.find(name);
  if (it == axes.end()) return std::nullopt;
  const int gi = geometry_index(name);
  if (gi >= 0 && rotation_active) return machine_geometry()[static_cast<std::size_t>(gi)];
  return it->second + translation_of(name);
}

void State::pull_in_coupled(std::array<bool, 3>& flags) {
  bool changed = true;
  while (changed) {
    changed = false;
    for (std::size_t i = 0; i < 3; ++i) {
      if (!geometry_columns[i] || flags[i]) continue;
      bool coupled = false;
      for (std::size_t j = 0; j < 3; ++j) {
        if (j == i || !flags[j]) continue;
        if (std::fabs(rotation[i][j]) > kFrameTolerance || std::fabs(rotation[j][i]) > kFrameTolerance) {
          coupled = true;
          break;
        }
      }
      if (!coupled) continue;
      flags[i] = true;
      changed = true;
      if (!coupled_warned[i]) {
        coupled_warned[i] = true;
        write_warning_line("Warning: the frame rotation couples axis " + std::string(*geometry_columns[i]) +
                           " to a positioned axis before any block positioned it; assuming it is at "
                           "machine position 0 (a real control would use the actual axis position).");
      }
    }
  }
}

void State::update_axis(std::string_view name, double value) {
  if (auto it = axes.find(name); it != axes.end()) {
    it.value() = value;
    return;
  }
  const int gi = geometry_index(name);
  if (gi >= 0 && rotation_active) {
    const LocalGeometry g = local_geometry();
    const auto h = g.flags();
    auto m = machine_geometry();
    for (std::size_t i = 0; i < 3; ++i) {
      if (!h[i]) m[i] = 0.0;
    }
    auto flags = h;
    flags[static_cast<std::size_t>(gi)] = true;
    pull_in_coupled(flags);
    const auto l = local_of_machine(m);
    for (std::size_t i = 0; i < 3; ++i) {
      if (static_cast<int>(i) == gi || h[i] || !flags[i]) continue;
      axes.insert_or_assign(std::string(kGeometryNames[i]), l[i]);
    }
  }
  axes.insert_or_assign(std::string(name), value);
}

void State::insert_rotated_geometry(output::CellMap& cells) const {
  const LocalGeometry g = local_geometry();
  const auto flags = g.flags();
  const auto m = machine_geometry();
  for (std::size_t i = 0; i < 3; ++i) {
    if (flags[i] && geometry_columns[i]) cells.insert(*geometry_columns[i], Value(m[i]));
  }
}

Status State::finish_block_frame(output::CellMap& cells, std::size_t line) const {
  if (!rotation_active || cells.empty()) return {};
  std::array<double, 3> centre{0.0, 0.0, 0.0};
  std::array<bool, 3> present{false, false, false};
  for (std::size_t i = 0; i < 3; ++i) {
    const Value* v = cells.get(arc_center_columns[i]);
    if (v && std::holds_alternative<double>(*v)) {
      centre[i] = std::get<double>(*v);
      present[i] = true;
    }
  }
  const Value* cr = cells.get("CR");
  const bool has_cr = cr && std::holds_alternative<double>(*cr);
  if (!present[0] && !present[1] && !present[2] && !has_cr) return {};
  const std::size_t n = 2 - std::min<std::size_t>(active_plane, 2);
  bool about_normal = true;
  for (std::size_t r = 0; r < 3; ++r) {
    const double unit = r == n ? 1.0 : 0.0;
    if (std::fabs(rotation[r][n] - unit) > kFrameTolerance) about_normal = false;
  }
  if (!about_normal) {
    static constexpr std::array<std::string_view, 3> kPlanes{"G17", "G18", "G19"};
    return errors::fail(errors::UnsupportedStatement{
        line_text(line),
        "A circular arc under a frame rotation that tilts the " +
            std::string(kPlanes[std::min<std::size_t>(active_plane, 2)]) + " plane",
        "Arcs are modeled only while the programmable frame rotates about the normal of the "
        "active plane (RPL, or ROT/AROT about that axis); a tilted arc plane is not flattened "
        "and would produce wrong coordinates.",
        line});
  }
  const auto rotated = mat_vec(rotation, centre);
  for (std::size_t i = 0; i < 3; ++i) {
    if (present[i] || std::fabs(rotated[i]) > kFrameTolerance) {
      cells.insert(arc_center_columns[i], Value(rotated[i]));
    }
  }
  return {};
}

FrameSnapshot State::begin_frame_change() const {
  FrameSnapshot snap;
  const LocalGeometry g = local_geometry();
  snap.flags = g.flags();
  snap.machine = machine_geometry();
  for (std::size_t i = 0; i < 3; ++i) {
    if (!snap.flags[i]) snap.machine[i] = 0.0;
  }
  for (const auto& [name, value] : axes) {
    if (geometry_index(name) >= 0) continue;
    snap.others.emplace_back(name, value + translation_of(name));
  }
  return snap;
}

void State::end_frame_change(FrameSnapshot snap) {
  auto flags = snap.flags;
  pull_in_coupled(flags);
  const auto l = local_of_machine(snap.machine);
  for (std::size_t i = 0; i < 3; ++i) {
    if (flags[i]) axes.insert_or_assign(std::string(kGeometryNames[i]), l[i]);
  }
  for (auto& [name, machine] : snap.others) {
    const double t = translation_of(name);
    axes.insert_or_assign(std::move(name), machine - t);
  }
}

void State::reset_frame() {
  for (auto it = translation_.begin(); it != translation_.end(); ++it) it.value() = 0.0;
  translation_zero_ = true;
  rotation = kIdentity;
  rotation_active = false;
}

bool State::differs_from_identity(const Matrix3& r) {
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j)
      if (std::fabs(r[i][j] - kIdentity[i][j]) > kFrameTolerance) return true;
  return false;
}

void State::set_rotation(const Matrix3& r) {
  rotation = r;
  rotation_active = differs_from_identity(r);
}

}  // namespace kelvane::state
