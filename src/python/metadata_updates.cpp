// Construction from keyword fields and the immutable updates of SpssMetadata: every update
// converts into a private copy of the model value and wraps the copy only when all of it
// succeeded, so a failed update leaves nothing behind.
#include "python/metadata_updates.hpp"

#include <utility>

#include "python/conversions.hpp"
#include "python/diff.hpp"
#include "python/metadata_object.hpp"
#include "python/reports.hpp"

namespace korvel::py {
namespace {

// Merges the dict `d` into `map`: None removes a key, any other value is converted by
// `convert(value, name)` and inserted (replacing in place, or appended).
template <typename V, typename Convert>
bool merge(VarMap<V>& map, PyObject* d, const char* param, Convert&& convert) {
  if (!as_dict(d, param)) return false;
  return for_each_dict_item(d, [&](PyObject* key, PyObject* value) {
    auto name = as_str(key, param);
    if (!name) return false;
    if (value == Py_None) {
      map.remove(*name);
      return true;
    }
    auto converted = convert(value, *name);
    if (!converted) return false;
    map.insert(std::move(*name), std::move(*converted));
    return true;
  });
}

// ----- one applier per settable field ---------------------------------------------------
// Each takes the argument as given (None included) and names it `param` in its errors.

bool apply_file_label(SpssMetadata& m, PyObject* v, const char* param) {
  auto text = as_str(v, param);
  if (!text) return false;
  m.file_label = std::move(*text);
  return true;
}

bool apply_notes(SpssMetadata& m, PyObject* v, const char*) {
  auto notes = py_to_notes(v);
  if (!notes) return false;
  m.notes = std::move(*notes);
  return true;
}

bool apply_weight_variable(SpssMetadata& m, PyObject* v, const char* param) {
  if (v == Py_None) {
    m.weight_variable.reset();
    return true;
  }
  auto text = as_str(v, param);
  if (!text) return false;
  m.weight_variable = std::move(*text);
  return true;
}

bool apply_labels(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_labels, v, param,
               [&](PyObject* x, const std::string&) { return as_str(x, param); });
}

bool apply_formats(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_formats, v, param,
               [&](PyObject* x, const std::string&) { return as_str(x, param); });
}

bool apply_measures(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_measures, v, param,
               [&](PyObject* x, const std::string&) { return py_to_measure(x, param); });
}

bool apply_display_widths(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_display_widths, v, param,
               [](PyObject* x, const std::string&) { return py_to_display_width(x); });
}

bool apply_alignments(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_alignments, v, param,
               [&](PyObject* x, const std::string&) { return py_to_alignment(x, param); });
}

bool apply_roles(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_roles, v, param,
               [&](PyObject* x, const std::string&) { return py_to_role(x, param); });
}

bool apply_value_labels(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_value_labels, v, param,
               [&](PyObject* x, const std::string&) { return py_to_value_labels(x, param); });
}

bool apply_missing_values(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_missing_values, v, param,
               [&](PyObject* x, const std::string&) { return py_to_missing_specs(x, param); });
}

bool apply_attributes(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.variable_attributes, v, param,
               [&](PyObject* x, const std::string&) { return py_to_attributes(x, param); });
}

bool apply_mr_sets(SpssMetadata& m, PyObject* v, const char* param) {
  return merge(m.mr_sets, v, param,
               [&](PyObject* x, const std::string& name) { return py_to_mr_set(name, x, param); });
}

using Applier = bool (*)(SpssMetadata&, PyObject*, const char*);

// What a keyword given as None does.
enum class OnNone { ClearLabel, ClearNotes, Apply, Skip };

struct Keyword {
  const char* name;
  OnNone on_none;
  Applier apply;
};

// In the order in which the keywords are applied.
const Keyword kKeywords[] = {
    {"file_label", OnNone::ClearLabel, apply_file_label},
    {"notes", OnNone::ClearNotes, apply_notes},
    {"weight_variable", OnNone::Apply, apply_weight_variable},
    {"variable_labels", OnNone::Skip, apply_labels},
    {"variable_formats", OnNone::Skip, apply_formats},
    {"variable_measures", OnNone::Skip, apply_measures},
    {"variable_display_widths", OnNone::Skip, apply_display_widths},
    {"variable_alignments", OnNone::Skip, apply_alignments},
    {"variable_roles", OnNone::Skip, apply_roles},
    {"variable_value_labels", OnNone::Skip, apply_value_labels},
    {"variable_missing_values", OnNone::Skip, apply_missing_values},
    {"variable_attributes", OnNone::Skip, apply_attributes},
    {"mr_sets", OnNone::Skip, apply_mr_sets},
};

// Applies the keywords found by `find(name)` (a borrowed value, or nullptr when absent or
// on error, which `failed` tells apart); other keywords are ignored.
template <typename Find>
bool apply_keywords(SpssMetadata& m, Find&& find) {
  for (const Keyword& k : kKeywords) {
    bool failed = false;
    PyObject* v = find(k.name, failed);
    if (failed) return false;
    if (!v) continue;
    if (v == Py_None) {
      switch (k.on_none) {
        case OnNone::ClearLabel:
          m.file_label.clear();
          continue;
        case OnNone::ClearNotes:
          m.notes.clear();
          continue;
        case OnNone::Skip:
          continue;
        case OnNone::Apply:
          break;
      }
    }
    if (!k.apply(m, v, k.name)) return false;
  }
  return true;
}

PyObject* m_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const SpssMetadata* source = metadata_of(self, "self");
    if (!source) return nullptr;
    if (nargs > 0) {
      PyErr_Format(PyExc_TypeError, "update() takes 0 positional arguments but %zd were given",
                   nargs);
      return nullptr;
    }
    SpssMetadata copy = *source;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool ok = apply_keywords(copy, [&](const char* name, bool&) -> PyObject* {
      for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) return args[nargs + i];
      }
      return nullptr;
    });
    if (!ok) return nullptr;
    return wrap_metadata(std::move(copy));
  });
}

// ----- with_ methods ------------------------------------------------------------------

struct WithMethod {
  const char* name;
  const char* param;
  Applier apply;
  const char* doc;
};

// In registration order.
const WithMethod kWithMethods[] = {
    {"with_file_label", "label", apply_file_label,
     "with_file_label($self, label)\n--\n\nReturn a new SpssMetadata with the file label set."},
    {"with_notes", "notes", apply_notes,
     "with_notes($self, notes)\n--\n\nReturn a new SpssMetadata with notes set."},
    {"with_weight_variable", "var", apply_weight_variable,
     "with_weight_variable($self, var)\n--\n\nReturn a new SpssMetadata with the weight variable "
     "set (or cleared with None)."},
    {"with_variable_labels", "labels", apply_labels,
     "with_variable_labels($self, labels)\n--\n\nReturn a new SpssMetadata with variable labels "
     "merged."},
    {"with_variable_value_labels", "labels", apply_value_labels,
     "with_variable_value_labels($self, labels)\n--\n\nReturn a new SpssMetadata with variable "
     "value labels merged."},
    {"with_variable_formats", "formats", apply_formats,
     "with_variable_formats($self, formats)\n--\n\nReturn a new SpssMetadata with variable "
     "formats merged."},
    {"with_variable_measures", "measures", apply_measures,
     "with_variable_measures($self, measures)\n--\n\nReturn a new SpssMetadata with variable "
     "measures merged."},
    {"with_variable_display_widths", "widths", apply_display_widths,
     "with_variable_display_widths($self, widths)\n--\n\nReturn a new SpssMetadata with "
     "variable display widths merged."},
    {"with_variable_alignments", "alignments", apply_alignments,
     "with_variable_alignments($self, alignments)\n--\n\nReturn a new SpssMetadata with variable "
     "alignments merged."},
    {"with_variable_missing_values", "missing", apply_missing_values,
     "with_variable_missing_values($self, missing)\n--\n\nReturn a new SpssMetadata with "
     "variable missing values merged."},
    {"with_variable_roles", "roles", apply_roles,
     "with_variable_roles($self, roles)\n--\n\nReturn a new SpssMetadata with variable roles "
     "merged."},
    {"with_variable_attributes", "attributes", apply_attributes,
     "with_variable_attributes($self, attributes)\n--\n\nReturn a new SpssMetadata with variable "
     "attributes merged."},
    {"with_mr_sets", "mr_sets", apply_mr_sets,
     "with_mr_sets($self, mr_sets)\n--\n\nReturn a new SpssMetadata with MR sets merged."},
};

constexpr size_t kWithCount = sizeof kWithMethods / sizeof kWithMethods[0];

template <size_t I>
PyObject* m_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const WithMethod& w = kWithMethods[I];
    const SpssMetadata* source = metadata_of(self, "self");
    if (!source) return nullptr;
    PyObject* a[1];
    if (!parse_args(w.name, args, nargs, kwnames, {w.param}, 1, a)) return nullptr;
    SpssMetadata copy = *source;
    if (!w.apply(copy, a[0], w.param)) return nullptr;
    return wrap_metadata(std::move(copy));
  });
}

template <size_t... I>
void add_with_methods(std::vector<PyMethodDef>& t, std::index_sequence<I...>) {
  (t.push_back({kWithMethods[I].name, fastcall(m_with<I>), METH_FASTCALL | METH_KEYWORDS,
                kWithMethods[I].doc}),
   ...);
}

}  // namespace

bool apply_metadata_kwargs(SpssMetadata& value, PyObject* kwargs) {
  return apply_keywords(value, [&](const char* name, bool& failed) -> PyObject* {
    Ref key = str(name);
    if (!key) {
      failed = true;
      return nullptr;
    }
    PyObject* v = PyDict_GetItemWithError(kwargs, key.get());
    failed = !v && PyErr_Occurred();
    return v;
  });
}

const PyMethodDef& metadata_update_method() {
  static const PyMethodDef update = {
      "update", fastcall(m_update), METH_FASTCALL | METH_KEYWORDS,
      "update($self, **kwargs)\n--\n\n"
      "Return a new SpssMetadata with the given fields merged/replaced.\n\n"
      "Dict fields merge at the variable-name level (new keys added,\n"
      "existing overwritten). Pass ``{key: None}`` to remove a key.\n"
      "Scalar fields (file_label, weight_variable) are replaced."};
  return update;
}

const std::vector<PyMethodDef>& metadata_report_and_with_methods() {
  static const std::vector<PyMethodDef> methods = [] {
    std::vector<PyMethodDef> t = {
        {"summary", metadata_summary, METH_NOARGS,
         "summary($self)\n--\n\nPrint a formatted summary of the metadata."},
        {"describe", fastcall(metadata_describe), METH_FASTCALL | METH_KEYWORDS,
         "describe($self, names)\n--\n\nPrint detailed metadata for one or more variables."},
        {"diff", fastcall(metadata_diff), METH_FASTCALL | METH_KEYWORDS,
         "diff($self, other, print_output=True)\n--\n\nCompare this metadata to another. Returns "
         "a MetaDiff object."},
    };
    add_with_methods(t, std::make_index_sequence<kWithCount>{});
    return t;
  }();
  return methods;
}

}  // namespace korvel::py
