#include "arrow/import_dictionary.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "arrow/array.hpp"

namespace korvel::arrow {

namespace {

Error cdata(const std::string& text) {
  return Error::interface(text);
}

std::string last_error(ArrowArrayStream* s) {
  const char* e = s->get_last_error ? s->get_last_error(s) : nullptr;
  return e ? std::string(e) : std::string();
}

// What the plain importer cannot take and we handle around it, per column.
struct ColumnExtra {
  std::optional<DataType> dictionary_type;  // dictionary-encoded: the values' type
  int decimal_bits = 0;                     // decimal: 128 or 256
  int decimal_scale = 0;
};

// Parses "d:precision,scale[,bits]".
bool parse_decimal(std::string_view f, ColumnExtra& extra) {
  if (f.substr(0, 2) != "d:") return false;
  f.remove_prefix(2);
  int parts[3] = {0, 0, 128};
  for (int i = 0; i < 3 && !f.empty(); ++i) {
    auto [p, ec] = std::from_chars(f.data(), f.data() + f.size(), parts[i]);
    if (ec != std::errc()) return false;
    f.remove_prefix(static_cast<size_t>(p - f.data()));
    if (!f.empty() && f[0] == ',') f.remove_prefix(1);
  }
  if (parts[2] != 128 && parts[2] != 256) return false;
  extra.decimal_bits = parts[2];
  extra.decimal_scale = parts[1];
  return true;
}

// Takes the dictionary schemas off the root's children (recording their value types) and
// reads the schema with the plain importer.
Result<Schema> import_schema_detaching(ArrowSchema* root, std::vector<ColumnExtra>& extras) {
  if (root->release && root->n_children > 0 && root->children) {
    extras.resize(static_cast<size_t>(root->n_children));
    for (int64_t i = 0; i < root->n_children; ++i) {
      ArrowSchema* c = root->children[i];
      if (!c) continue;
      if (c->format && parse_decimal(c->format, extras[i])) continue;
      if (!c->dictionary) continue;
      ArrowSchema dict = *c->dictionary;  // moved out: the producer no longer releases it
      c->dictionary->release = nullptr;
      c->dictionary = nullptr;
      auto type = dict.format ? parse_format(dict.format) : Result<DataType>(cdata("no format"));
      if (dict.release) dict.release(&dict);
      if (!type.ok()) return std::move(type).error();
      extras[i].dictionary_type = std::move(type).value();
    }
  }
  return import_schema(root);
}

// A dictionary array moved into a one-column batch of its own, so that the plain importer
// checks it and ties its lifetime to its buffers.
struct DictionaryRoot {
  ArrowArray dict;
  ArrowArray* children[1];
  const void* buffers[1] = {nullptr};
};

void release_dictionary_root(ArrowArray* root) {
  auto* holder = static_cast<DictionaryRoot*>(root->private_data);
  if (holder->dict.release) holder->dict.release(&holder->dict);
  delete holder;
  root->release = nullptr;
}

Result<ArrayRef> import_dictionary(ArrowArray* dict, const DataType& type) {
  auto* holder = new DictionaryRoot();
  holder->dict = *dict;
  dict->release = nullptr;
  holder->children[0] = &holder->dict;
  ArrowArray root{};
  root.length = holder->dict.length;
  root.n_buffers = 1;
  root.n_children = 1;
  root.buffers = holder->buffers;
  root.children = holder->children;
  root.release = release_dictionary_root;
  root.private_data = holder;
  auto schema = std::make_shared<const Schema>(Schema{{Field{"dictionary", type, true}}});
  ARROW_ASSIGN_OR_RETURN(RecordBatch batch, import_record_batch(&root, schema));
  return batch.columns[0];
}

// The decimal child converted to Float64, checked like any fixed-width column.
Result<ArrayRef> import_decimal(const ArrowArray& c, const ColumnExtra& extra, int64_t parent_off,
                                int64_t rows, const std::string& name) {
  auto fail = [&](const std::string& t) { return cdata("column '" + name + "': " + t); };
  if (c.length < 0 || c.offset < 0 || c.n_buffers != 2 || !c.buffers)
    return fail("malformed decimal array");
  if (c.length < parent_off + rows) return fail("array is shorter than the batch");
  if (c.offset > (int64_t{1} << 40)) return fail("offset out of range");
  const int64_t off = c.offset + parent_off;
  const size_t width = static_cast<size_t>(extra.decimal_bits / 8);
  const auto* values = static_cast<const uint8_t*>(c.buffers[1]);
  const auto* validity = static_cast<const uint8_t*>(c.buffers[0]);
  if (!values && rows > 0) return fail("decimal values are missing");
  auto out = std::make_shared<ArrayData>();
  out->type = DataType(TypeId::Float64);
  out->length = rows;
  ARROW_ASSIGN_OR_RETURN(BufferPtr data, Buffer::allocate(static_cast<size_t>(rows) * 8));
  BufferPtr bits;
  if (validity && c.null_count != 0) {
    ARROW_ASSIGN_OR_RETURN(bits, Buffer::allocate(static_cast<size_t>(rows + 7) / 8, true));
  }
  const double scale = std::pow(10.0, -extra.decimal_scale);
  for (int64_t i = 0; i < rows; ++i) {
    const int64_t r = off + i;
    if (bits && !((validity[r >> 3] >> (r & 7)) & 1)) {
      ++out->null_count;
      continue;
    }
    if (bits) bits->mutable_data()[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
    // Two's complement in little-endian words: take the magnitude, then the sign, so that
    // small negative values do not vanish in the sum of large words.
    const uint8_t* p = values + static_cast<size_t>(r) * width;
    uint64_t w[4] = {};
    const size_t words = width / 8;
    std::memcpy(w, p, width);
    const bool negative = (w[words - 1] >> 63) != 0;
    if (negative) {
      uint64_t carry = 1;
      for (size_t k = 0; k < words; ++k) {
        w[k] = ~w[k] + carry;
        carry = carry && w[k] == 0;
      }
    }
    double v = 0.0;
    for (size_t k = words; k-- > 0;) v = v * 18446744073709551616.0 + static_cast<double>(w[k]);
    if (negative) v = -v;
    data->mutable_as<double>()[i] = v * scale;
  }
  out->buffers = {out->null_count ? std::shared_ptr<const Buffer>(bits) : nullptr,
                  std::shared_ptr<const Buffer>(data)};
  return ArrayRef(std::move(out));
}

// Dictionaries taken off a batch's columns, released unless imported.
struct MovedDictionaries {
  std::vector<ArrowArray> arrays;
  ~MovedDictionaries() {
    for (ArrowArray& a : arrays)
      if (a.release) a.release(&a);
  }
};

// Imports one struct array, with the extras of its columns.
Result<RecordBatch> import_batch(ArrowArray* array, const std::shared_ptr<const Schema>& schema,
                                 const std::vector<ColumnExtra>& extras) {
  MovedDictionaries moved;
  moved.arrays.resize(extras.size());
  std::vector<ArrayRef> decimals(extras.size());
  const bool sound = array->release && array->length >= 0 && array->offset >= 0 &&
                     array->n_children == static_cast<int64_t>(extras.size()) &&
                     (extras.empty() || array->children);
  for (size_t i = 0; sound && i < extras.size(); ++i) {
    ArrowArray* c = array->children[i];
    if (!c || !c->release) continue;  // the plain importer reports it
    if (extras[i].decimal_bits) {
      auto d = import_decimal(*c, extras[i], array->offset, array->length, schema->fields[i].name);
      if (!d.ok()) {
        array->release(array);
        return std::move(d).error();
      }
      decimals[i] = std::move(d).value();
    } else if (extras[i].dictionary_type && c->dictionary) {
      moved.arrays[i] = *c->dictionary;
      c->dictionary->release = nullptr;
      c->dictionary = nullptr;
    } else if (extras[i].dictionary_type) {
      array->release(array);
      return cdata("column '" + schema->fields[i].name + "': the dictionary is missing");
    }
  }
  ARROW_ASSIGN_OR_RETURN(RecordBatch b, import_record_batch(array, schema));
  for (size_t i = 0; i < extras.size(); ++i) {
    if (decimals[i]) b.columns[i] = decimals[i];
    if (!moved.arrays[i].release) continue;
    ARROW_ASSIGN_OR_RETURN(ArrayRef dict,
                            import_dictionary(&moved.arrays[i], *extras[i].dictionary_type));
    auto copy = std::make_shared<ArrayData>(*b.columns[i]);
    copy->dictionary = std::move(dict);
    b.columns[i] = std::move(copy);
  }
  return b;
}

}  // namespace

Result<ImportedStream> import_stream_with_dictionaries(ArrowArrayStream* stream,
                                                       bool* schema_failed) {
  bool ignored = false;
  if (!schema_failed) schema_failed = &ignored;
  *schema_failed = true;
  if (!stream || !stream->release) return cdata("input stream is already released");
  struct Owned {
    ArrowArrayStream s;
    ~Owned() {
      if (s.release) s.release(&s);
    }
  } owned{*stream};
  stream->release = nullptr;
  ArrowArrayStream* s = &owned.s;
  if (!s->get_schema || !s->get_next) return cdata("input stream lacks its callbacks");
  ArrowSchema root;
  std::memset(&root, 0, sizeof root);
  if (const int rc = s->get_schema(s, &root); rc != 0) {
    if (root.release) root.release(&root);
    const std::string msg = last_error(s);
    return cdata("Cannot get schema from input stream. Error code: " + std::to_string(rc) +
                 (msg.empty() ? "" : ": " + msg));
  }
  std::vector<ColumnExtra> extras;
  ARROW_ASSIGN_OR_RETURN(Schema plain, import_schema_detaching(&root, extras));
  extras.resize(plain.fields.size());
  for (size_t i = 0; i < extras.size(); ++i)
    if (extras[i].decimal_bits) plain.fields[i].type = DataType(TypeId::Float64);
  ImportedStream out;
  out.schema = std::make_shared<const Schema>(std::move(plain));
  *schema_failed = false;
  for (;;) {
    ArrowArray array;
    std::memset(&array, 0, sizeof array);
    if (const int rc = s->get_next(s, &array); rc != 0) {
      if (array.release) array.release(&array);
      const std::string msg = last_error(s);
      return cdata(msg.empty() ? "Cannot get next array from input stream. Error code: " +
                                     std::to_string(rc)
                               : msg);
    }
    if (!array.release) break;
    ARROW_ASSIGN_OR_RETURN(RecordBatch batch, import_batch(&array, out.schema, extras));
    out.batches.push_back(std::move(batch));
  }
  return out;
}

}  // namespace korvel::arrow
