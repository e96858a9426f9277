#include "arrow/import.hpp"

#include <cstring>
#include <limits>
#include <string>

#include "arrow/array.hpp"

namespace korvel::arrow {

namespace {

// Largest element count we accept, so that byte sizes (up to 16 bytes per element) and
// offset + length sums cannot overflow.
constexpr int64_t kMaxElements = std::numeric_limits<int64_t>::max() / 32;

// The producer's array, released when the last imported buffer of it is dropped.
struct ImportedArray {
  ArrowArray array;
  ImportedArray() = default;
  ImportedArray(const ImportedArray&) = delete;
  ImportedArray& operator=(const ImportedArray&) = delete;
  ~ImportedArray() {
    if (array.release) array.release(&array);
  }
};

struct ColumnImporter {
  const ArrowArray& c;
  const Field& field;
  std::shared_ptr<const void> owner;

  Error fail(const std::string& text) const {
    return Error::interface("column '" + field.name + "': " + text);
  }

  // A producer buffer of `size` bytes. A null pointer is accepted for an empty buffer (or where
  // `may_be_null`) and reads as zeros; a pointer not aligned for its elements is copied into an
  // aligned block of our own.
  Result<std::shared_ptr<const Buffer>> wrap(int64_t index, size_t size, size_t align,
                                             bool may_be_null = false) const {
    const void* p = c.buffers[index];
    if (!p) {
      if (size == 0 || may_be_null) return std::shared_ptr<const Buffer>(Buffer::zeros());
      return fail("buffer " + std::to_string(index) + " is null");
    }
    if (reinterpret_cast<uintptr_t>(p) % align != 0) {
      ARROW_ASSIGN_OR_RETURN(BufferPtr copy, Buffer::allocate(size));
      std::memcpy(copy->mutable_data(), p, size);
      return std::shared_ptr<const Buffer>(std::move(copy));
    }
    return std::shared_ptr<const Buffer>(Buffer::wrap(p, size, owner));
  }

  template <typename O>
  Result<size_t> check_offsets(const Buffer& offsets, int64_t off, int64_t end) const {
    const O* o = offsets.as<O>();
    if (o[off] < 0) return fail("negative offset");
    for (int64_t i = off; i < end; ++i)
      if (o[i + 1] < o[i]) return fail("offsets are not increasing");
    if (static_cast<uint64_t>(o[end]) > static_cast<uint64_t>(kMaxElements))
      return fail("offset out of range");
    return static_cast<size_t>(o[end]);
  }

  Result<ArrayRef> run(int64_t parent_offset, int64_t rows) const {
    if (c.length < 0 || c.offset < 0 || c.null_count < -1 || c.n_buffers < 0 || c.n_children < 0)
      return fail("negative length, offset, null count or buffer count");
    if (c.length < parent_offset + rows)
      return fail("array of length " + std::to_string(c.length) + " is shorter than the batch");
    if (c.offset > kMaxElements - parent_offset - rows) return fail("offset out of range");
    if (c.dictionary) return fail("dictionary-encoded columns are not supported");
    const TypeId id = field.type.id;
    auto a = std::make_shared<ArrayData>();
    a->type = field.type;
    a->length = rows;
    if (id == TypeId::Other) return ArrayRef(std::move(a));
    if (id == TypeId::Null) {
      a->null_count = rows;
      return ArrayRef(std::move(a));
    }
    const int64_t off = c.offset + parent_offset, end = off + rows;
    const int width = byte_width(id);
    const int64_t want = is_view(id) ? 3 : is_binary_like(id) ? 3 : 2;
    if (is_view(id) ? c.n_buffers < want : c.n_buffers != want)
      return fail("expected " + std::to_string(want) + " buffers, found " +
                  std::to_string(c.n_buffers));
    if (!c.buffers) return fail("buffers are missing");
    a->offset = off;

    // Validity: kept only when the window holds nulls.
    std::shared_ptr<const Buffer> validity;
    if (!c.buffers[0]) {
      if (c.null_count > 0) return fail("null count without a validity bitmap");
    } else if (c.null_count != 0) {
      ARROW_ASSIGN_OR_RETURN(validity, wrap(0, static_cast<size_t>((end + 7) / 8), 1));
      a->null_count = count_nulls(validity->data(), off, rows);
      if (a->null_count == 0) validity.reset();
    }
    a->buffers.push_back(validity);

    if (id == TypeId::Boolean || width > 0) {
      const size_t bytes = id == TypeId::Boolean ? static_cast<size_t>((end + 7) / 8)
                                                 : static_cast<size_t>(end) * width;
      ARROW_ASSIGN_OR_RETURN(auto values, wrap(1, bytes, id == TypeId::Boolean ? 1 : width));
      a->buffers.push_back(std::move(values));
    } else if (is_binary_like(id)) {
      const bool large = id == TypeId::LargeUtf8 || id == TypeId::LargeBinary;
      const size_t ow = large ? 8 : 4;
      // An empty array may come without its offsets buffer.
      ARROW_ASSIGN_OR_RETURN(auto offsets,
                             wrap(1, static_cast<size_t>(end + 1) * ow, ow, end == 0));
      size_t data_size = 0;
      if (large) {
        ARROW_ASSIGN_OR_RETURN(data_size, check_offsets<int64_t>(*offsets, off, end));
      } else {
        ARROW_ASSIGN_OR_RETURN(data_size, check_offsets<int32_t>(*offsets, off, end));
      }
      ARROW_ASSIGN_OR_RETURN(auto data, wrap(2, data_size, 1));
      a->buffers.push_back(std::move(offsets));
      a->buffers.push_back(std::move(data));
    } else if (is_view(id)) {
      const int64_t n_data = c.n_buffers - 3;
      const void* sizes_ptr = c.buffers[c.n_buffers - 1];
      if (n_data > 0 && !sizes_ptr) return fail("data buffer sizes are missing");
      ARROW_ASSIGN_OR_RETURN(auto views,
                             wrap(1, static_cast<size_t>(end) * sizeof(View), alignof(View)));
      a->buffers.push_back(std::move(views));
      std::vector<int64_t> sizes(static_cast<size_t>(n_data));
      if (n_data > 0) std::memcpy(sizes.data(), sizes_ptr, sizes.size() * 8);
      for (int64_t i = 0; i < n_data; ++i) {
        if (sizes[i] < 0 || sizes[i] > kMaxElements) return fail("invalid data buffer size");
        ARROW_ASSIGN_OR_RETURN(auto block, wrap(2 + i, static_cast<size_t>(sizes[i]), 1));
        a->buffers.push_back(std::move(block));
      }
      const View* v = a->buffers[1]->as<View>();
      for (int64_t i = off; i < end; ++i) {
        if (validity && !((validity->data()[i >> 3] >> (i & 7)) & 1)) continue;
        const View& e = v[i];
        if (e.length < 0) return fail("negative view length");
        if (e.length <= kMaxInlineView) continue;
        if (e.ref.buffer_index < 0 || e.ref.buffer_index >= n_data || e.ref.offset < 0 ||
            e.ref.offset > sizes[e.ref.buffer_index] - e.length)
          return fail("view out of the bounds of its data buffer");
      }
    }
    return ArrayRef(std::move(a));
  }
};

}  // namespace

Result<Schema> import_schema(ArrowSchema* schema) {
  if (!schema || !schema->release) return Error::interface("schema is already released");
  ArrowSchema local;
  move_c_struct(schema, &local);
  struct Guard {
    ArrowSchema* s;
    ~Guard() {
      if (s->release) s->release(s);
    }
  } guard{&local};
  if (!local.format || std::string_view(local.format) != "+s")
    return Error::interface("Unable to interpret C data struct as a Schema");
  if (local.n_children < 0 || (local.n_children > 0 && !local.children))
    return Error::interface("struct schema without its children");
  Schema out;
  out.fields.reserve(static_cast<size_t>(local.n_children));
  for (int64_t i = 0; i < local.n_children; ++i) {
    const ArrowSchema* c = local.children[i];
    if (!c || !c->format) return Error::interface("field " + std::to_string(i) + " has no format");
    Field f;
    f.name = c->name ? c->name : "";
    if (c->dictionary)
      return Error::interface("column '" + f.name +
                              "': dictionary-encoded columns are not supported");
    ARROW_ASSIGN_OR_RETURN(f.type, parse_format(c->format));
    f.nullable = (c->flags & ARROW_FLAG_NULLABLE) != 0;
    out.fields.push_back(std::move(f));
  }
  return out;
}

Result<RecordBatch> import_record_batch(ArrowArray* array, std::shared_ptr<const Schema> schema) {
  if (!array || !array->release) return Error::interface("array is already released");
  auto owner = std::make_shared<ImportedArray>();
  move_c_struct(array, &owner->array);
  if (!schema) return Error::interface("no schema for the imported array");
  const ArrowArray& a = owner->array;
  if (a.length < 0 || a.offset < 0 || a.length > kMaxElements || a.offset > kMaxElements - a.length)
    return Error::interface("invalid length or offset of the record batch array");
  if (a.n_children != static_cast<int64_t>(schema->fields.size()))
    return Error::interface("record batch array has " + std::to_string(a.n_children) +
                            " children, the schema " + std::to_string(schema->fields.size()) +
                            " fields");
  if (a.n_children > 0 && !a.children)
    return Error::interface("record batch array without its children");
  if (a.dictionary) return Error::interface("record batch array with a dictionary");
  if (a.null_count != 0 && a.n_buffers >= 1 && a.buffers && a.buffers[0] &&
      count_nulls(static_cast<const uint8_t*>(a.buffers[0]), a.offset, a.length) > 0)
    return Error::interface("cannot import a struct array with nulls as a record batch");
  RecordBatch batch;
  batch.num_rows = a.length;
  batch.columns.reserve(schema->fields.size());
  for (size_t i = 0; i < schema->fields.size(); ++i) {
    const ArrowArray* child = a.children[i];
    if (!child || !child->release)
      return Error::interface("column '" + schema->fields[i].name + "' is missing or released");
    ColumnImporter imp{*child, schema->fields[i], owner};
    ARROW_ASSIGN_OR_RETURN(ArrayRef col, imp.run(a.offset, a.length));
    batch.columns.push_back(std::move(col));
  }
  batch.schema = std::move(schema);
  return batch;
}

void ArrowStreamReader::Release::operator()(ArrowArrayStream* s) const {
  if (s->release) s->release(s);
  delete s;
}

namespace {
std::string last_error(ArrowArrayStream* s) {
  const char* e = s->get_last_error ? s->get_last_error(s) : nullptr;
  return e ? std::string(e) : std::string();
}
}  // namespace

Result<ArrowStreamReader> ArrowStreamReader::open(ArrowArrayStream* stream) {
  if (!stream || !stream->release) return Error::interface("input stream is already released");
  ArrowStreamReader r;
  r.stream_.reset(new ArrowArrayStream);
  move_c_struct(stream, r.stream_.get());
  ArrowArrayStream* s = r.stream_.get();
  if (!s->get_schema || !s->get_next) return Error::interface("input stream lacks its callbacks");
  ArrowSchema schema;
  std::memset(&schema, 0, sizeof schema);
  const int rc = s->get_schema(s, &schema);
  if (rc != 0) {
    if (schema.release) schema.release(&schema);
    std::string msg = last_error(s);
    return Error::interface("Cannot get schema from input stream. Error code: " +
                            std::to_string(rc) + (msg.empty() ? "" : ": " + msg));
  }
  ARROW_ASSIGN_OR_RETURN(Schema imported, import_schema(&schema));
  r.schema_ = std::make_shared<const Schema>(std::move(imported));
  return r;
}

Result<std::optional<RecordBatch>> ArrowStreamReader::next() {
  if (!stream_ || !stream_->release) return Error::interface("input stream is already released");
  ArrowArrayStream* s = stream_.get();
  ArrowArray array;
  std::memset(&array, 0, sizeof array);
  const int rc = s->get_next(s, &array);
  if (rc != 0) {
    if (array.release) array.release(&array);
    std::string msg = last_error(s);
    return Error::interface(msg.empty() ? "Cannot get next array from input stream. Error code: " +
                                              std::to_string(rc)
                                        : msg);
  }
  if (!array.release) return std::optional<RecordBatch>();
  ARROW_ASSIGN_OR_RETURN(RecordBatch batch, import_record_batch(&array, schema_));
  return std::optional<RecordBatch>(std::move(batch));
}

Result<ImportedStream> import_stream(ArrowArrayStream* stream) {
  ARROW_ASSIGN_OR_RETURN(ArrowStreamReader reader, ArrowStreamReader::open(stream));
  ImportedStream out;
  out.schema = reader.schema();
  for (;;) {
    ARROW_ASSIGN_OR_RETURN(std::optional<RecordBatch> batch, reader.next());
    if (!batch) break;
    out.batches.push_back(std::move(*batch));
  }
  return out;
}

}  // namespace korvel::arrow
