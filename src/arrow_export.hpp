#pragma once
// Batches handed out through the Arrow C data interface: a table's columns
// laid out as Arrow buffers (BatchData), and the ArrowSchema / ArrowArray
// structures that describe them to a consumer, with their release callbacks.
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "output.hpp"

// The C data interface structures as the Arrow format defines them; the
// guard lets them meet another header's copy of the same declarations.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

namespace kelvane::arrow_export {

// ---------------------------------------------------------------------------
// Buffers of a batch, shared by every export of it

// A column's buffers: the batch builder writes them in the Arrow layout.
using ArrowColumn = output::ColumnData;

struct BatchData {
  std::vector<ArrowColumn> columns;
  int64_t length = 0;
  // the run's pool the buffers go back to when the last export is released
  std::weak_ptr<output::BufferPool> recycle;

  BatchData() = default;
  BatchData(const BatchData&) = delete;
  BatchData& operator=(const BatchData&) = delete;
  ~BatchData() {
    if (auto pool = recycle.lock())
      for (ArrowColumn& column : columns) pool->give_back(std::move(column));
  }
};

struct ExportError {
  std::string text;
};

// The buffers of a table, consumed; its columns must have one length, and
// texts within 32-bit offsets.
std::expected<std::shared_ptr<const BatchData>, ExportError> table_to_batch_data(
    output::Table&& table);

// ---------------------------------------------------------------------------
// Export. Every exported structure owns its private part and shares the
// batch's buffers; a child a consumer moves out is released on its own.

// The batch's schema: a struct ("+s") with one nullable field per column.
void export_schema(const BatchData& data, ArrowSchema* out);
// The batch's array: a struct array with one child array per column.
void export_array(const std::shared_ptr<const BatchData>& data, ArrowArray* out);
// Both; when the array cannot be made the schema is released again.
void export_batch(const std::shared_ptr<const BatchData>& data, ArrowSchema* schema,
                  ArrowArray* array);

// The release callbacks: they free the structure's children that were not
// moved out, then its private part, and mark it released.
void release_schema(ArrowSchema* schema);
void release_array(ArrowArray* array);

}  // namespace kelvane::arrow_export
