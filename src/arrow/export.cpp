#include "arrow/export.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

namespace korvel::arrow {

namespace {

// ---- schemas ----

struct SchemaPrivate {
  std::string format, name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_ptrs;
};

void release_schema(ArrowSchema* s) {
  if (!s || !s->release) return;
  for (int64_t i = 0; i < s->n_children; ++i) {
    ArrowSchema* c = s->children[i];
    if (c->release) c->release(c);
  }
  delete static_cast<SchemaPrivate*>(s->private_data);
  s->release = nullptr;
}

void fill_schema(ArrowSchema* out, SchemaPrivate* p, int64_t flags) {
  out->format = p->format.c_str();
  out->name = p->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<int64_t>(p->children.size());
  out->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = p;
}

Status check_exportable(const DataType& t, const std::string& what) {
  if (t.id == TypeId::Other)
    return Error::not_implemented("export of " + what + " of type " + to_string(t));
  return Ok{};
}

// ---- arrays ----

struct ArrayPrivate {
  ArrayRef data;  // keeps the buffers alive
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_ptrs;
  BufferPtr variadic_sizes;
};

void release_array(ArrowArray* a) {
  if (!a || !a->release) return;
  for (int64_t i = 0; i < a->n_children; ++i) {
    ArrowArray* c = a->children[i];
    if (c->release) c->release(c);
  }
  delete static_cast<ArrayPrivate*>(a->private_data);
  a->release = nullptr;
}

void fill_array(ArrowArray* out, ArrayPrivate* p, int64_t length, int64_t null_count,
                int64_t offset) {
  out->length = length;
  out->null_count = null_count;
  out->offset = offset;
  out->n_buffers = static_cast<int64_t>(p->buffers.size());
  out->n_children = static_cast<int64_t>(p->children.size());
  out->buffers = p->buffers.empty() ? nullptr : p->buffers.data();
  out->children = p->child_ptrs.empty() ? nullptr : p->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = p;
}

std::unique_ptr<ArrayPrivate> new_array_private(size_t n_children) {
  auto p = std::make_unique<ArrayPrivate>();
  p->children.resize(n_children);
  for (ArrowArray& c : p->children) {
    std::memset(&c, 0, sizeof c);
    p->child_ptrs.push_back(&c);
  }
  return p;
}

Status export_array_impl(const ArrayRef& array, ArrowArray* out) {
  const ArrayData& a = *array;
  ARROW_TRY(check_exportable(a.type, "an array"));
  auto p = new_array_private(0);
  p->data = array;
  if (a.type.id != TypeId::Null) {
    for (const auto& b : a.buffers) p->buffers.push_back(b ? b->data() : nullptr);
    if (p->buffers.empty()) p->buffers.push_back(nullptr);
    if (is_view(a.type.id)) {
      // The C interface wants the data block sizes as a trailing int64 buffer.
      const size_t n_data = a.buffers.size() > 2 ? a.buffers.size() - 2 : 0;
      if (a.buffers.size() < 2) return Error::invalid("string view array without views");
      ARROW_ASSIGN_OR_RETURN(p->variadic_sizes, Buffer::allocate(n_data * 8, true));
      int64_t* sizes = p->variadic_sizes->mutable_as<int64_t>();
      for (size_t i = 0; i < n_data; ++i)
        sizes[i] = a.buffers[2 + i] ? static_cast<int64_t>(a.buffers[2 + i]->size()) : 0;
      p->buffers.push_back(p->variadic_sizes->data());
    }
  }
  fill_array(out, p.release(), a.length, a.null_count, a.offset);
  return Ok{};
}

template <typename F>
Status guarded(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory("out of memory while exporting");
  }
}

// ---- streams ----

struct StreamPrivate {
  std::shared_ptr<const Schema> schema;
  std::vector<RecordBatch> batches;
  size_t next = 0;
  std::string last_error;
};

// The errno value a stream callback returns for an error.
int error_code(const Error& e) {
  return e.code() == ErrorCode::OutOfMemory ? ENOMEM : EINVAL;
}

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) noexcept {
  if (!s || !s->release || !out) return EINVAL;
  auto* p = static_cast<StreamPrivate*>(s->private_data);
  try {
    Status st = export_schema(*p->schema, out);
    if (!st.ok()) {
      p->last_error = st.error().message();
      return error_code(st.error());
    }
  } catch (...) {
    return ENOMEM;
  }
  return 0;
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) noexcept {
  if (!s || !s->release || !out) return EINVAL;
  auto* p = static_cast<StreamPrivate*>(s->private_data);
  if (p->next >= p->batches.size()) {
    mark_released(out);  // end of stream
    return 0;
  }
  try {
    Status st = export_record_batch(p->batches[p->next], out);
    if (!st.ok()) {
      p->last_error = st.error().message();
      return error_code(st.error());
    }
  } catch (...) {
    return ENOMEM;
  }
  // Each batch goes out once; the consumer's structure now shares its buffers.
  p->batches[p->next] = RecordBatch();
  ++p->next;
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream* s) noexcept {
  if (!s || !s->release) return nullptr;
  auto* p = static_cast<StreamPrivate*>(s->private_data);
  return p->last_error.empty() ? nullptr : p->last_error.c_str();
}

void stream_release(ArrowArrayStream* s) noexcept {
  if (!s || !s->release) return;
  delete static_cast<StreamPrivate*>(s->private_data);
  s->private_data = nullptr;
  s->release = nullptr;
}

}  // namespace

Status export_schema(const Schema& schema, ArrowSchema* out) {
  return guarded([&]() -> Status {
    for (const Field& f : schema.fields)
      ARROW_TRY(check_exportable(f.type, "field '" + f.name + "'"));
    auto root = std::make_unique<SchemaPrivate>();
    root->format = "+s";
    root->children.resize(schema.fields.size());
    // Children are complete before the root takes them, so a failure leaks nothing.
    std::vector<std::unique_ptr<SchemaPrivate>> kids;
    for (const Field& f : schema.fields) {
      auto k = std::make_unique<SchemaPrivate>();
      k->format = format_string(f.type);
      k->name = f.name;
      kids.push_back(std::move(k));
    }
    root->child_ptrs.reserve(kids.size());
    for (size_t i = 0; i < kids.size(); ++i) {
      ArrowSchema* c = &root->children[i];
      fill_schema(c, kids[i].release(), schema.fields[i].nullable ? ARROW_FLAG_NULLABLE : 0);
      root->child_ptrs.push_back(c);
    }
    fill_schema(out, root.release(), 0);
    return Ok{};
  });
}

Status export_array(const ArrayRef& array, ArrowArray* out) {
  if (!array) return Error::invalid("no array to export");
  return guarded([&]() -> Status { return export_array_impl(array, out); });
}

Status export_record_batch(const RecordBatch& batch, ArrowArray* out) {
  return guarded([&]() -> Status {
    auto p = new_array_private(batch.columns.size());
    p->buffers.push_back(nullptr);  // no struct-level nulls
    ArrowArray tmp;
    std::memset(&tmp, 0, sizeof tmp);
    fill_array(&tmp, p.release(), batch.num_rows, 0, 0);
    auto* priv = static_cast<ArrayPrivate*>(tmp.private_data);
    for (size_t i = 0; i < batch.columns.size(); ++i) {
      const ArrayRef& col = batch.columns[i];
      Status st = !col ? Status(Error::invalid("missing column"))
                  : col->length != batch.num_rows
                      ? Status(Error::invalid("column length differs from the batch's rows"))
                      : export_array_impl(col, &priv->children[i]);
      if (!st.ok()) {
        release_array(&tmp);  // frees the children exported so far
        return st;
      }
    }
    move_c_struct(&tmp, out);
    return Ok{};
  });
}

Status export_stream(std::shared_ptr<const Schema> schema, std::vector<RecordBatch> batches,
                     ArrowArrayStream* out) {
  if (!schema) return Error::invalid("a stream needs a schema");
  for (const RecordBatch& b : batches)
    if (!b.schema || (b.schema != schema && !(*b.schema == *schema)))
      return Error::invalid("batches of a stream must all have the stream's schema");
  return guarded([&]() -> Status {
    auto p = std::make_unique<StreamPrivate>();
    p->schema = std::move(schema);
    p->batches = std::move(batches);
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = p.release();
    return Ok{};
  });
}

}  // namespace korvel::arrow
