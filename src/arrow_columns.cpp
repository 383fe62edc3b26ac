// A table's columns laid out as Arrow buffers: values, validity bitmaps and
// the 32-bit offsets of texts and lists.
#include <string>
#include <utility>

#include "arrow_export.hpp"
#include "limits.hpp"

namespace kelvane::arrow_export {

namespace {

// Marks entry i null; the bitmap is made (all valid) with the first null, so
// that a column without nulls carries none.
void set_validity(ArrowColumn& col, std::size_t i, bool valid) {
  if (valid) return;
  if (col.validity.empty()) col.validity.assign((static_cast<std::size_t>(col.length) + 7) / 8, 0xff);
  col.validity[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8)));
  ++col.null_count;
}

std::unexpected<ExportError> offset_overflow(const std::string& name) {
  return std::unexpected(ExportError{"Invalid argument error: the texts of column '" + name +
                                     "' exceed the " + std::to_string(limits::kMaxArrowOffset) +
                                     " bytes of 32-bit offsets"});
}

// Float and Int: the values, a null read as zero behind its cleared bit.
template <typename T, typename Values>
void fill_fixed(ArrowColumn& col, std::vector<T>& out, const Values& values) {
  out.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    out[i] = values[i].value_or(T{});
    set_validity(col, i, values[i].has_value());
  }
}

std::expected<void, ExportError> fill_texts(ArrowColumn& col, const output::StrColumn& values) {
  std::size_t total = 0;
  for (const auto& v : values)
    if (v) total += v->size();
  if (total > limits::kMaxArrowOffset) return offset_overflow(col.name);
  col.chars.reserve(total);
  col.offsets.resize(values.size() + 1);
  col.offsets[0] = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i]) col.chars += *values[i];
    col.offsets[i + 1] = static_cast<std::int32_t>(col.chars.size());
    set_validity(col, i, values[i].has_value());
  }
  return {};
}

// A list of texts per row: the row offsets count items, the item offsets
// count bytes of `chars`.
std::expected<void, ExportError> fill_lists(ArrowColumn& col, const output::ListColumn& values) {
  std::size_t total = 0, items = 0;
  for (const auto& v : values)
    if (v) {
      items += v->size();
      for (const auto& s : *v) total += s.size();
    }
  if (total > limits::kMaxArrowOffset || items > limits::kMaxArrowOffset)
    return offset_overflow(col.name);
  col.chars.reserve(total);
  col.offsets.resize(values.size() + 1);
  col.item_offsets.reserve(items + 1);
  col.item_offsets.push_back(0);
  col.offsets[0] = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i]) {
      for (const auto& s : *values[i]) {
        col.chars += s;
        col.item_offsets.push_back(static_cast<std::int32_t>(col.chars.size()));
      }
    }
    col.offsets[i + 1] = static_cast<std::int32_t>(col.item_offsets.size() - 1);
    set_validity(col, i, values[i].has_value());
  }
  col.item_count = static_cast<int64_t>(col.item_offsets.size() - 1);
  return {};
}

}  // namespace

std::expected<ArrowColumn, ExportError> build_column(std::string name, output::Column&& column) {
  ArrowColumn col;
  col.name = std::move(name);
  col.kind = output::column_kind(column);
  col.length = static_cast<int64_t>(output::column_len(column));
  std::expected<void, ExportError> filled;
  switch (col.kind) {
    case output::ColumnKind::Float:
      fill_fixed(col, col.f64, std::get<output::FloatColumn>(column));
      break;
    case output::ColumnKind::Int:
      fill_fixed(col, col.i64, std::get<output::IntColumn>(column));
      break;
    case output::ColumnKind::Str:
      filled = fill_texts(col, std::get<output::StrColumn>(column));
      break;
    case output::ColumnKind::List:
      filled = fill_lists(col, std::get<output::ListColumn>(column));
      break;
  }
  if (!filled) return std::unexpected(std::move(filled.error()));
  output::Column().swap(column);  // the cells are freed as soon as they are copied
  return col;
}

std::expected<std::shared_ptr<const BatchData>, ExportError> table_to_batch_data(
    output::Table&& table) {
  auto data = std::make_shared<BatchData>();
  data->columns.reserve(table.columns.size());
  for (auto& [name, column] : table.columns) {
    auto col = build_column(std::move(name), std::move(column));
    if (!col) return std::unexpected(std::move(col.error()));
    if (!data->columns.empty() && col->length != data->columns.front().length)
      return std::unexpected(ExportError{
          "Invalid argument error: all columns in a record batch must have the same length"});
    data->columns.push_back(std::move(*col));
  }
  data->length = data->columns.empty() ? 0 : data->columns.front().length;
  return std::shared_ptr<const BatchData>(std::move(data));
}

}  // namespace kelvane::arrow_export
