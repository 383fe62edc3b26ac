// A table's columns handed over as the buffers of a batch.
#include <string>
#include <utility>

#include "arrow_export.hpp"
#include "limits.hpp"

namespace kelvane::arrow_export {

std::expected<std::shared_ptr<const BatchData>, ExportError> table_to_batch_data(
    output::Table&& table) {
  auto data = std::make_shared<BatchData>();
  data->columns.reserve(table.columns.size());
  for (ArrowColumn& col : table.columns) {
    if (col.texts_overflow)
      return std::unexpected(ExportError{"Invalid argument error: the texts of column '" + col.name +
                                         "' exceed the " + std::to_string(limits::kMaxArrowOffset) +
                                         " bytes of 32-bit offsets"});
    if (!data->columns.empty() && col.length != data->columns.front().length)
      return std::unexpected(ExportError{
          "Invalid argument error: all columns in a record batch must have the same length"});
    data->columns.push_back(std::move(col));
  }
  data->length = data->columns.empty() ? 0 : data->columns.front().length;
  data->recycle = std::move(table.recycle);
  return std::shared_ptr<const BatchData>(std::move(data));
}

}  // namespace kelvane::arrow_export
