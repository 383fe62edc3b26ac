// The ArrowSchema and ArrowArray structures of a batch and their release
// callbacks.
#include "arrow_export.hpp"

#include <string>
#include <utility>
#include <vector>

namespace kelvane::arrow_export {

namespace {

// A non-null pointer for empty buffers: consumers may read a data buffer's
// address even when it holds nothing.
alignas(64) const std::uint64_t kEmptyBuffer[8] = {};

const void* buffer_ptr(const void* p, std::size_t size) {
  return size == 0 || p == nullptr ? static_cast<const void*>(kEmptyBuffer) : p;
}

struct SchemaPrivate {
  std::string format;
  std::string name;
  std::vector<ArrowSchema*> children;
};

void init_schema(ArrowSchema* out, std::string format, std::string name, int64_t flags,
                 std::vector<ArrowSchema*> children) {
  auto* priv = new SchemaPrivate{std::move(format), std::move(name), std::move(children)};
  out->format = priv->format.c_str();
  out->name = priv->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<int64_t>(priv->children.size());
  out->children = priv->children.empty() ? nullptr : priv->children.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = priv;
}

// Every array holds the batch, so the buffers live as long as any array or
// child the consumer still has.
struct ArrayPrivate {
  std::shared_ptr<const BatchData> data;
  std::vector<const void*> buffers;
  std::vector<ArrowArray*> children;
};

void init_array(ArrowArray* out, const std::shared_ptr<const BatchData>& data, int64_t length,
                int64_t null_count, std::vector<const void*> buffers,
                std::vector<ArrowArray*> children) {
  auto* priv = new ArrayPrivate{data, std::move(buffers), std::move(children)};
  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = static_cast<int64_t>(priv->buffers.size());
  out->n_children = static_cast<int64_t>(priv->children.size());
  out->buffers = priv->buffers.data();
  out->children = priv->children.empty() ? nullptr : priv->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = priv;
}

const char* arrow_format(output::ColumnKind kind) {
  switch (kind) {
    case output::ColumnKind::Float: return "g";
    case output::ColumnKind::Int: return "l";
    case output::ColumnKind::Str: return "u";
    case output::ColumnKind::List: return "+l";
  }
  return "g";
}

ArrowSchema* field_schema(const ArrowColumn& col) {
  std::vector<ArrowSchema*> children;
  if (col.kind == output::ColumnKind::List) {
    auto* item = new ArrowSchema{};
    init_schema(item, "u", "item", 0, {});
    children.push_back(item);
  }
  auto* field = new ArrowSchema{};
  init_schema(field, arrow_format(col.kind), col.name, ARROW_FLAG_NULLABLE, std::move(children));
  return field;
}

ArrowArray* column_array(const std::shared_ptr<const BatchData>& data, const ArrowColumn& col) {
  const void* validity = col.null_count == 0 ? nullptr : col.validity.data();
  auto* child = new ArrowArray{};
  switch (col.kind) {
    case output::ColumnKind::Float:
      init_array(child, data, col.length, col.null_count,
                 {validity, buffer_ptr(col.f64.data(), col.f64.size())}, {});
      break;
    case output::ColumnKind::Int:
      init_array(child, data, col.length, col.null_count,
                 {validity, buffer_ptr(col.i64.data(), col.i64.size())}, {});
      break;
    case output::ColumnKind::Str:
      init_array(child, data, col.length, col.null_count,
                 {validity, col.offsets.data(), buffer_ptr(col.chars.data(), col.chars.size())},
                 {});
      break;
    case output::ColumnKind::List: {
      auto* items = new ArrowArray{};
      init_array(items, data, col.item_count, 0,
                 {nullptr, col.item_offsets.data(), buffer_ptr(col.chars.data(), col.chars.size())},
                 {});
      init_array(child, data, col.length, col.null_count, {validity, col.offsets.data()}, {items});
      break;
    }
  }
  return child;
}

}  // namespace

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  auto* priv = static_cast<SchemaPrivate*>(schema->private_data);
  for (ArrowSchema* child : priv->children) {
    if (child->release != nullptr) child->release(child);  // a moved-out child is marked released
    delete child;
  }
  delete priv;
  schema->release = nullptr;
  schema->private_data = nullptr;
}

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  auto* priv = static_cast<ArrayPrivate*>(array->private_data);
  for (ArrowArray* child : priv->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete priv;
  array->release = nullptr;
  array->private_data = nullptr;
}

void export_schema(const BatchData& data, ArrowSchema* out) {
  std::vector<ArrowSchema*> fields;
  fields.reserve(data.columns.size());
  for (const ArrowColumn& col : data.columns) fields.push_back(field_schema(col));
  init_schema(out, "+s", "", 0, std::move(fields));
}

void export_array(const std::shared_ptr<const BatchData>& data, ArrowArray* out) {
  std::vector<ArrowArray*> children;
  children.reserve(data->columns.size());
  for (const ArrowColumn& col : data->columns) children.push_back(column_array(data, col));
  init_array(out, data, data->length, 0, {nullptr}, std::move(children));
}

void export_batch(const std::shared_ptr<const BatchData>& data, ArrowSchema* schema,
                  ArrowArray* array) {
  export_schema(*data, schema);
  try {
    export_array(data, array);
  } catch (...) {
    release_schema(schema);
    throw;
  }
}

}  // namespace kelvane::arrow_export
