// _write_sav: the module's writing entry.
#include <limits>

#include "arrow/import_dictionary.hpp"
#include "io_utils.hpp"
#include "python/io.hpp"
#include "python/metadata_object.hpp"
#include "writer/layout.hpp"
#include "writer/write_sav.hpp"

namespace korvel::py {
namespace {

constexpr size_t kWriteBuffer = size_t{4} << 20;

#define KORVEL_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

std::optional<Compression> compression_named(const std::string& name) {
  if (name == "uncompressed" || name == "none") return Compression::Uncompressed;
  if (name == "bytecode") return Compression::Bytecode;
  if (name == "zlib") return Compression::Zlib;
  return std::nullopt;
}

// Metadata's missing values against what the metadata alone says of each variable's kind.
bool check_metadata_missing_kinds(const SpssMetadata& m) {
  for (const auto& [name, specs] : m.variable_missing_values) {
    bool is_string;
    if (const std::string* f = m.variable_formats.find(name)) {
      is_string = !f->empty() && (*f)[0] == 'A';
    } else if (const std::string* t = m.arrow_data_types.find(name)) {
      is_string = *t == "String" || *t == "Utf8View";
    } else {
      continue;
    }
    Status st = korvel::check_missing_kinds(name, is_string, specs);
    if (!st.ok()) {
      raise(PyExc_ValueError, st.error().detail());
      return false;
    }
  }
  return true;
}

// The whole Arrow C stream of `data`, as one table of its batches in order.
std::optional<WriteTable> import_data(PyObject* data) {
  Ref capsule = Ref::steal(PyObject_CallMethod(data, "__arrow_c_stream__", "O", Py_None));
  if (!capsule) return std::nullopt;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCapsule'",
                 Py_TYPE(capsule.get())->tp_name);
    return std::nullopt;
  }
  auto* stream = static_cast<ArrowArrayStream*>(
      PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get())));
  if (!stream) return std::nullopt;
  bool schema_failed = false;
  auto imported = arrow::import_stream_with_dictionaries(stream, &schema_failed);
  if (!imported.ok()) {
    raise(PyExc_OSError,
          (schema_failed ? "failed to read Arrow stream: " : "error reading Arrow batch: ") +
              imported.error().message());
    return std::nullopt;
  }
  WriteTable t;
  t.schema = imported.value().schema;
  t.batches = std::move(imported.value().batches);
  return t;
}

PyObject* write_sav(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* a[5];
    if (!parse_args("_write_sav", args, nargs, kwnames,
                    {"path", "data", "metadata", "compression", "compression_level"}, 2, a)) {
      return nullptr;
    }
    auto path = as_path(a[0], "path");
    if (!path) return nullptr;
    std::string compression_text = "bytecode";
    if (a[3]) {
      auto c = as_str(a[3], "compression");
      if (!c) return nullptr;
      compression_text = *c;
    }
    std::optional<uint32_t> level;
    if (!is_none(a[4])) {
      auto n = as_size(a[4], "compression_level");
      if (!n) return nullptr;
      if (*n > std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError,
                        "argument 'compression_level': int too big to convert");
        return nullptr;
      }
      level = static_cast<uint32_t>(*n);
    }
    const SpssMetadata* given = nullptr;
    if (!is_none(a[2])) {
      given = metadata_of(a[2], "metadata");
      if (!given) return nullptr;
    }
    const auto compression = compression_named(compression_text);
    if (!compression)
      return raise(PyExc_OSError, "unknown compression: " + quote_escaped(compression_text) +
                                      ". Expected 'uncompressed', 'bytecode', or 'zlib'");
    if (given && !check_metadata_missing_kinds(*given)) return nullptr;
    std::optional<WriteTable> table = import_data(a[1]);
    if (!table) return nullptr;
    SpssMetadata metadata;
    if (given) {
      metadata = *given;
    } else {
      auto defaults = default_metadata(*table);
      if (!defaults.ok()) return raise_spss_error(defaults.error());
      metadata = std::move(defaults).value();
    }
    auto file = BufferedWriter::create_file(*path, kWriteBuffer);
    if (!file.ok()) return raise_spss_error(file.error());
    Status st = write_sav_to_writer(std::move(file).value(), *table, metadata, *compression, level);
    if (!st.ok()) return raise_spss_error(st.error());
    Py_RETURN_NONE;
  });
}

PyMethodDef write_sav_def = {
    "_write_sav", KORVEL_FASTCALL(write_sav), METH_FASTCALL | METH_KEYWORDS,
    "_write_sav(path, data, metadata=None, compression=\"bytecode\", compression_level=None)\n--"
    "\n\nWrite a DataFrame to an SPSS .sav or .zsav file.\n\nAccepts any object that implements "
    "the Arrow PyCapsule Interface\n(`__arrow_c_stream__`), such as a Polars DataFrame."};

}  // namespace

PyObject* write_sav_function() {
  return PyCFunction_New(&write_sav_def, nullptr);
}

}  // namespace korvel::py
