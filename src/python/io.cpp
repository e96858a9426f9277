#include "python/io.hpp"

#include <memory>

#include "arrow/export.hpp"
#include "arrow_errors.hpp"
#include "column_types.hpp"
#include "python/metadata_object.hpp"
#include "scanner.hpp"

namespace korvel::py {
namespace {

constexpr size_t kReadBuffer = size_t{64} << 20;    // whole-file and metadata reads
constexpr size_t kBatchBuffer = size_t{256} << 10;  // the batch reader
constexpr size_t kDefaultBatchSize = 100000;
constexpr const char* kStreamCapsule = "arrow_array_stream";

// ----- _ArrowData ---------------------------------------------------------------------

struct ArrowDataObject {
  PyObject_HEAD std::unique_ptr<const arrow::RecordBatch>
      batch;  // see new_instance() and free_instance()
};

PyObject* arrow_data_type_obj = nullptr;

void stream_capsule_destructor(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (!stream) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  // A consumer that took the stream over has cleared its release callback.
  if (stream->release) stream->release(stream);
  delete stream;
}

PyObject* ad_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args("__arrow_c_stream__", args, nargs, kwnames, {"requested_schema"}, 0, a)) {
      return nullptr;
    }
    if (!is_none(a[0]) && !PyCapsule_CheckExact(a[0])) {
      PyErr_Format(PyExc_TypeError, "argument 'requested_schema': expected PyCapsule, got %s",
                   Py_TYPE(a[0])->tp_name);
      return nullptr;
    }
    const arrow::RecordBatch& batch = *reinterpret_cast<ArrowDataObject*>(self)->batch;
    auto stream = std::make_unique<ArrowArrayStream>();
    arrow::mark_released(stream.get());
    Status st = from_arrow(arrow::export_stream(batch.schema, {batch}, stream.get()));
    if (!st.ok()) return raise_spss_error(st.error());
    PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, stream_capsule_destructor);
    if (!capsule) {
      stream->release(stream.get());
      return nullptr;
    }
    stream.release();
    return capsule;
  });
}

PyObject* ad_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const arrow::RecordBatch& b = *reinterpret_cast<ArrowDataObject*>(self)->batch;
    return str("_ArrowData(rows=" + std::to_string(b.num_rows) +
               ", cols=" + std::to_string(b.num_columns()) + ")")
        .release();
  });
}

void ad_dealloc(PyObject* self) {
  free_instance(self, reinterpret_cast<ArrowDataObject*>(self)->batch);
}

// ----- _SavBatchReader ----------------------------------------------------------------

struct BatchReaderObject {
  PyObject_HEAD std::unique_ptr<SavScanner>
      scanner;  // owns the open file; see new_instance() and free_instance()
  int borrow;   // > 0: shared borrows, -1: an exclusive one
};

PyObject* batch_reader_type_obj = nullptr;

// Borrows the reader for one call; fails when the borrow would overlap another.
class Borrow {
 public:
  Borrow(PyObject* self, bool exclusive) : o_(reinterpret_cast<BatchReaderObject*>(self)) {
    if (exclusive ? o_->borrow != 0 : o_->borrow < 0) {
      PyErr_SetString(PyExc_RuntimeError,
                      exclusive ? "Already borrowed" : "Already mutably borrowed");
      o_ = nullptr;
      return;
    }
    exclusive_ = exclusive;
    o_->borrow = exclusive ? -1 : o_->borrow + 1;
  }
  ~Borrow() {
    if (o_) o_->borrow = exclusive_ ? 0 : o_->borrow - 1;
  }
  explicit operator bool() const { return o_ != nullptr; }
  SavScanner& scanner() const { return *o_->scanner; }

 private:
  BatchReaderObject* o_;
  bool exclusive_ = false;
};

PyObject* br_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* a[2];
    if (!parse_tuple_args("_SavBatchReader", args, kwargs, {"path", "batch_size"}, 1, a)) {
      return nullptr;
    }
    auto path = as_path(a[0], "path");
    if (!path) return nullptr;
    size_t batch_size = kDefaultBatchSize;
    if (!is_none(a[1])) {
      auto n = as_size(a[1], "batch_size");
      if (!n) return nullptr;
      batch_size = *n;
    }
    auto file = BufferedReader::open_file(*path, kBatchBuffer);
    // The system's text alone, unlike the read functions.
    if (!file.ok()) return raise(PyExc_OSError, file.error().detail());
    auto scanner = SavScanner::open(std::move(file).value(), batch_size);
    if (!scanner.ok()) return raise_spss_error(scanner.error());
    PyObject* self = new_instance(type, &BatchReaderObject::scanner, std::move(scanner).value());
    if (self) reinterpret_cast<BatchReaderObject*>(self)->borrow = 0;
    return self;
  });
}

void br_dealloc(PyObject* self) {
  free_instance(self, reinterpret_cast<BatchReaderObject*>(self)->scanner);  // closes the file
}

PyObject* br_select(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args("select", args, nargs, kw, {"columns"}, 1, a)) return nullptr;
    auto names = as_str_list(a[0], "columns");
    if (!names) return nullptr;
    Borrow b(self, true);
    if (!b) return nullptr;
    Status st = b.scanner().select(*names);
    if (!st.ok()) return raise_spss_error(st.error());
    Py_RETURN_NONE;
  });
}

PyObject* br_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args("limit", args, nargs, kw, {"n"}, 1, a)) return nullptr;
    auto n = as_size(a[0], "n");
    if (!n) return nullptr;
    Borrow b(self, true);
    if (!b) return nullptr;
    b.scanner().progress.row_limit = *n;
    Py_RETURN_NONE;
  });
}

PyObject* br_schema(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Borrow b(self, false);
    if (!b) return nullptr;
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    // Held here: the fields must not outlive the schema that owns them.
    const auto schema = b.scanner().projected_schema();
    for (const auto& field : schema->fields) {
      Ref key = str(field.name);
      Ref value = str(schema_type_name(field.type));
      if (!key || !value || PyDict_SetItem(d.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return d.release();
  });
}

PyObject* br_metadata(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Borrow b(self, false);
    if (!b) return nullptr;
    return wrap_metadata(b.scanner().metadata());
  });
}

PyObject* br_next_batch(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Borrow b(self, true);
    if (!b) return nullptr;
    SavScanner& s = b.scanner();
    ReadProgress& p = s.progress;
    // A reached limit returns None without ending the reader: a larger limit may follow.
    if (p.exhausted || p.rows_wanted() == 0) Py_RETURN_NONE;
    auto batch = s.read_batch_columnar(p.next_batch_rows());
    if (!batch.ok()) return raise_spss_error(batch.error());
    if (!batch.value() || batch.value()->num_rows == 0) {
      p.exhausted = true;
      Py_RETURN_NONE;
    }
    p.rows_read += static_cast<size_t>(batch.value()->num_rows);
    return wrap_batch(std::move(*batch.value()));
  });
}

// ----- module functions ---------------------------------------------------------------

Result<std::unique_ptr<SavScanner>> open_for_read(const std::string& path, size_t batch_size) {
  KORVEL_ASSIGN_OR_RETURN(auto file, BufferedReader::open_file(path, kReadBuffer));
  return SavScanner::open(std::move(file), batch_size);
}

PyObject* read_sav(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[3];
    if (!parse_args("_read_sav", args, nargs, kwnames, {"path", "columns", "n_rows"}, 1, a)) {
      return nullptr;
    }
    auto path = as_path(a[0], "path");
    if (!path) return nullptr;
    std::optional<std::vector<std::string>> columns;
    if (!is_none(a[1])) {
      columns = as_str_list(a[1], "columns");
      if (!columns) return nullptr;
    }
    std::optional<size_t> n_rows;
    if (!is_none(a[2])) {
      n_rows = as_size(a[2], "n_rows");
      if (!n_rows) return nullptr;
    }
    auto opened = open_for_read(*path, kDefaultBatchSize);
    if (!opened.ok()) return raise_spss_error(opened.error());
    std::unique_ptr<SavScanner> scanner = std::move(opened).value();
    SpssMetadata metadata = scanner->metadata();
    if (columns) {
      Status st = scanner->select(*columns);
      if (!st.ok()) return raise_spss_error(st.error());
    }
    scanner->progress.row_limit = n_rows;
    // The whole file (or the first n_rows rows) in one batch.
    auto batch = scanner->read_batch_columnar(scanner->progress.rows_wanted());
    if (!batch.ok()) return raise_spss_error(batch.error());
    arrow::RecordBatch result = batch.value()
                                    ? std::move(*batch.value())
                                    : arrow::make_empty_record_batch(scanner->projected_schema());
    scanner.reset();  // closes the file before returning
    Ref data = Ref::steal(wrap_batch(std::move(result)));
    if (!data) return nullptr;
    Ref meta = Ref::steal(wrap_metadata(std::move(metadata)));
    if (!meta) return nullptr;
    return PyTuple_Pack(2, data.get(), meta.get());
  });
}

PyObject* read_sav_meta(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[1];
    if (!parse_args("_read_sav_meta", args, nargs, kwnames, {"path"}, 1, a)) return nullptr;
    auto path = as_path(a[0], "path");
    if (!path) return nullptr;
    auto opened = open_for_read(*path, 0);
    if (!opened.ok()) return raise_spss_error(opened.error());
    SpssMetadata metadata = opened.value()->metadata();
    opened.value().reset();
    return wrap_metadata(std::move(metadata));
  });
}

PyMethodDef read_sav_def = {
    "_read_sav", fastcall(read_sav), METH_FASTCALL | METH_KEYWORDS,
    "_read_sav(path, columns=None, n_rows=None)\n--\n\nRead an SPSS .sav/.zsav file. Returns "
    "(_ArrowData, SpssMetadata)."};
PyMethodDef read_sav_meta_def = {
    "_read_sav_meta", fastcall(read_sav_meta), METH_FASTCALL | METH_KEYWORDS,
    "_read_sav_meta(path)\n--\n\nRead only metadata from an SPSS file (no data)."};

}  // namespace

PyObject* read_sav_function() {
  return PyCFunction_New(&read_sav_def, nullptr);
}
PyObject* read_sav_meta_function() {
  return PyCFunction_New(&read_sav_meta_def, nullptr);
}

PyObject* arrow_data_type() {
  if (!arrow_data_type_obj) {
    static PyMethodDef methods[] = {
        {"__arrow_c_stream__", fastcall(ad_arrow_c_stream), METH_FASTCALL | METH_KEYWORDS,
         "__arrow_c_stream__($self, requested_schema=None)\n--\n\nArrow PyCapsule Interface: "
         "export as an ArrowArrayStream capsule."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc,
         const_cast<char*>(
             "Wraps an Arrow RecordBatch and exports it via the Arrow PyCapsule Interface.\n"
             "Consumers like Polars call `__arrow_c_stream__` to get the data with zero-copy.")},
        {Py_tp_methods, methods},
        {Py_tp_repr, reinterpret_cast<void*>(ad_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(ad_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "_korvel._ArrowData", sizeof(ArrowDataObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    arrow_data_type_obj = PyType_FromSpec(&spec);
    if (!arrow_data_type_obj) return nullptr;
  }
  Py_INCREF(arrow_data_type_obj);
  return arrow_data_type_obj;
}

PyObject* batch_reader_type() {
  if (!batch_reader_type_obj) {
    static PyMethodDef methods[] = {
        {"select", fastcall(br_select), METH_FASTCALL | METH_KEYWORDS,
         "select($self, columns)\n--\n\nSet column projection \xE2\x80\x94 only these columns "
         "will be decoded."},
        {"limit", fastcall(br_limit), METH_FASTCALL | METH_KEYWORDS,
         "limit($self, n)\n--\n\nSet a row limit."},
        {"schema", br_schema, METH_NOARGS,
         "schema($self)\n--\n\nReturn the schema as an ordered dict of {column_name: "
         "type_string}."},
        {"metadata", br_metadata, METH_NOARGS, "metadata($self)\n--\n\nReturn file metadata."},
        {"next_batch", br_next_batch, METH_NOARGS,
         "next_batch($self)\n--\n\nRead the next batch. Returns _ArrowData or None at EOF."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc,
         const_cast<char*>("_SavBatchReader(path, batch_size=None)\n--\n\nWraps a SavScanner and "
                           "exposes batch iteration to Python.\nEach batch is returned as an "
                           "_ArrowData object (PyCapsule-capable).")},
        {Py_tp_methods, methods},
        {Py_tp_new, reinterpret_cast<void*>(br_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(br_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"_korvel._SavBatchReader", sizeof(BatchReaderObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    batch_reader_type_obj = PyType_FromSpec(&spec);
    if (!batch_reader_type_obj) return nullptr;
  }
  Py_INCREF(batch_reader_type_obj);
  return batch_reader_type_obj;
}

PyObject* wrap_batch(arrow::RecordBatch batch) {
  Ref type = Ref::steal(arrow_data_type());
  if (!type) return nullptr;
  auto* t = reinterpret_cast<PyTypeObject*>(type.get());
  return new_instance(t, &ArrowDataObject::batch,
                      std::make_unique<const arrow::RecordBatch>(std::move(batch)));
}

}  // namespace korvel::py
