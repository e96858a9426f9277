#include "python/diff.hpp"
#include "io_utils.hpp"

#include <algorithm>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "metadata.hpp"
#include "python/metadata_object.hpp"
#include "python/reports.hpp"
#include "python/text_forms.hpp"

namespace korvel::py {
namespace {

using AttributeMap = OrderedMap<std::string, std::vector<std::string>>;

// The ten compared per-field lists, in the order of the report and of the properties.
enum Field : size_t {
  kLabels,
  kValueLabels,
  kFormats,
  kMeasures,
  kDisplayWidths,
  kStorageWidths,
  kMissingValues,
  kMrSets,
  kRoles,
  kAttributes,
  kFieldCount,
};

const char* const kFieldNames[kFieldCount] = {
    "variable_labels",         "variable_value_labels",
    "variable_formats",        "variable_measures",
    "variable_display_widths", "variable_storage_widths",
    "variable_missing_values", "mr_sets",
    "variable_roles",          "variable_attributes",
};

struct DiffResult {
  std::vector<std::string> only_in_self;  // sorted
  std::vector<std::string> only_in_other;
  Ref file_level;          // dict
  Ref lists[kFieldCount];  // lists of dicts
  bool is_match = true;
};

struct MetaDiffObject {
  PyObject_HEAD std::unique_ptr<DiffResult> result;  // see new_instance() and free_instance()
};

PyObject* the_type = nullptr;

DiffResult* result_of(PyObject* self) {
  return reinterpret_cast<MetaDiffObject*>(self)->result.get();
}

// ----- building the entries -------------------------------------------------------------

// Appends a dict built from (key, value) pairs to `list`; false with an error set on failure.
bool append_entry(PyObject* list, std::initializer_list<std::pair<const char*, Ref>> items) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return false;
  for (const auto& [key, value] : items) {
    if (!value || PyDict_SetItemString(d.get(), key, value.get()) < 0) return false;
  }
  return PyList_Append(list, d.get()) == 0;
}

Ref py_int(uint64_t v) {
  return Ref::steal(PyLong_FromUnsignedLongLong(v));
}
Ref py_bool(bool v) {
  return Ref::borrow(v ? Py_True : Py_False);
}
template <typename T>
Ref py_optional_int(const T* v) {
  return v ? py_int(static_cast<uint64_t>(*v)) : Ref::borrow(Py_None);
}
Ref py_optional_rows(const std::optional<int64_t>& rows) {
  return rows ? Ref::steal(PyLong_FromLongLong(*rows)) : Ref::borrow(Py_None);
}

bool add_pair(PyObject* dict, const char* key, Ref a, Ref b) {
  if (!a || !b) return false;
  Ref pair = Ref::steal(PyTuple_Pack(2, a.get(), b.get()));
  return pair && PyDict_SetItemString(dict, key, pair.get()) == 0;
}

// Texts compared with a placeholder for a side without an entry.
template <typename V, typename Text>
bool diff_text_entries(PyObject* list, const std::vector<std::string_view>& shared,
                       const VarMap<V>& a, const VarMap<V>& b, std::string_view absent,
                       Text&& text) {
  for (std::string_view name : shared) {
    std::string key(name);
    const V* x = a.find(key);
    const V* y = b.find(key);
    std::string tx = x ? std::string(text(*x)) : std::string(absent);
    std::string ty = y ? std::string(text(*y)) : std::string(absent);
    if (tx == ty) continue;
    if (!append_entry(list, {{"variable", str(name)}, {"self", str(tx)}, {"other", str(ty)}})) {
      return false;
    }
  }
  return true;
}

bool diff_string_maps(PyObject* list, const std::vector<std::string_view>& shared,
                      const VarMap<std::string>& a, const VarMap<std::string>& b) {
  return diff_text_entries(list, shared, a, b, "", [](const std::string& s) { return s; });
}

bool diff_measure_maps(PyObject* list, const std::vector<std::string_view>& shared,
                       const VarMap<Measure>& a, const VarMap<Measure>& b) {
  return diff_text_entries(list, shared, a, b, "?", [](Measure v) { return to_string(v); });
}

bool diff_role_maps(PyObject* list, const std::vector<std::string_view>& shared,
                    const VarMap<Role>& a, const VarMap<Role>& b) {
  return diff_text_entries(list, shared, a, b, "(none)", [](Role v) { return to_string(v); });
}

template <typename W>
bool diff_width_maps(PyObject* list, const std::vector<std::string_view>& shared,
                     const VarMap<W>& a, const VarMap<W>& b) {
  for (std::string_view name : shared) {
    std::string key(name);
    const W* x = a.find(key);
    const W* y = b.find(key);
    if (!x && !y) continue;
    if (x && y && *x == *y) continue;
    if (!append_entry(list, {{"variable", str(name)},
                             {"self", py_optional_int(x)},
                             {"other", py_optional_int(y)}})) {
      return false;
    }
  }
  return true;
}

bool diff_u32_maps(PyObject* list, const std::vector<std::string_view>& shared,
                   const VarMap<uint32_t>& a, const VarMap<uint32_t>& b) {
  return diff_width_maps(list, shared, a, b);
}

bool diff_usize_maps(PyObject* list, const std::vector<std::string_view>& shared,
                     const VarMap<size_t>& a, const VarMap<size_t>& b) {
  return diff_width_maps(list, shared, a, b);
}

// Same pairs regardless of order: every pair of `a` found with an equal label in `b`.
bool same_value_labels(const ValueLabels& a, const ValueLabels& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [value, label] : a) {
    const std::string* other = b.find(value);
    if (!other || *other != label) return false;
  }
  return true;
}

bool diff_value_label_maps(PyObject* list, const std::vector<std::string_view>& shared,
                           const VarMap<ValueLabels>& a, const VarMap<ValueLabels>& b) {
  for (std::string_view name : shared) {
    std::string key(name);
    const ValueLabels* x = a.find(key);
    const ValueLabels* y = b.find(key);
    if (!x && !y) continue;
    if (x && y && same_value_labels(*x, *y)) continue;
    if (!append_entry(list, {{"variable", str(name)},
                             {"self_count", py_int(x ? x->size() : 0)},
                             {"other_count", py_int(y ? y->size() : 0)}})) {
      return false;
    }
  }
  return true;
}

bool diff_missing_maps(PyObject* list, const std::vector<std::string_view>& shared,
                       const VarMap<std::vector<MissingSpec>>& a,
                       const VarMap<std::vector<MissingSpec>>& b) {
  for (std::string_view name : shared) {
    std::string key(name);
    bool x = a.contains(key), y = b.contains(key);
    if (x == y) continue;
    if (!append_entry(list, {{"variable", str(name)},
                             {"self_has_missing", py_bool(x)},
                             {"other_has_missing", py_bool(y)}})) {
      return false;
    }
  }
  return true;
}

std::string attribute_text(const AttributeMap* attrs) {
  if (!attrs) return "(none)";
  std::string out = "{";
  bool first = true;
  for (const auto& [name, values] : *attrs) {
    if (!first) out += ", ";
    first = false;
    out += quote_escaped(name) + ": [";
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out += ", ";
      out += quote_escaped(values[i]);
    }
    out += "]";
  }
  out += "}";
  return out;
}

bool same_attributes(const AttributeMap& a, const AttributeMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [name, values] : a) {
    const std::vector<std::string>* other = b.find(name);
    if (!other || *other != values) return false;
  }
  return true;
}

bool diff_attr_maps(PyObject* list, const std::vector<std::string_view>& shared,
                    const VarMap<AttributeMap>& a, const VarMap<AttributeMap>& b) {
  for (std::string_view name : shared) {
    std::string key(name);
    const AttributeMap* x = a.find(key);
    const AttributeMap* y = b.find(key);
    if (!x && !y) continue;
    if (x && y && same_attributes(*x, *y)) continue;
    if (!append_entry(list, {{"variable", str(name)},
                             {"self", str(attribute_text(x))},
                             {"other", str(attribute_text(y))}})) {
      return false;
    }
  }
  return true;
}

// Set names present on one side only: self's first, then other's, each in map order.
bool diff_key_sets(PyObject* list, const VarMap<MrSet>& a, const VarMap<MrSet>& b) {
  for (const auto& [name, set] : a) {
    if (b.contains(name)) continue;
    if (!append_entry(list, {{"key", str(name)}, {"status", str("only_in_self")}})) return false;
  }
  for (const auto& [name, set] : b) {
    if (a.contains(name)) continue;
    if (!append_entry(list, {{"key", str(name)}, {"status", str("only_in_other")}})) return false;
  }
  return true;
}

// The sorted names of `a` that `b` lacks, each once.
std::vector<std::string> names_only_in(const std::vector<std::string>& a,
                                       const std::unordered_set<std::string_view>& b) {
  std::unordered_set<std::string_view> seen;
  std::vector<std::string> out;
  for (const auto& n : a) {
    if (!b.count(n) && seen.insert(n).second) out.push_back(n);
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool build(const SpssMetadata& a, const SpssMetadata& b, DiffResult& r) {
  r.file_level = Ref::steal(PyDict_New());
  if (!r.file_level) return false;
  PyObject* fl = r.file_level.get();
  if (a.number_rows != b.number_rows &&
      !add_pair(fl, "number_rows", py_optional_rows(a.number_rows),
                py_optional_rows(b.number_rows))) {
    return false;
  }
  if (a.number_columns != b.number_columns &&
      !add_pair(fl, "number_columns", py_int(a.number_columns), py_int(b.number_columns))) {
    return false;
  }
  if (a.file_encoding != b.file_encoding &&
      !add_pair(fl, "file_encoding", str(a.file_encoding), str(b.file_encoding))) {
    return false;
  }
  if (a.file_label != b.file_label &&
      !add_pair(fl, "file_label", str(a.file_label), str(b.file_label))) {
    return false;
  }

  std::unordered_set<std::string_view> names_a(a.variable_names.begin(), a.variable_names.end());
  std::unordered_set<std::string_view> names_b(b.variable_names.begin(), b.variable_names.end());
  r.only_in_self = names_only_in(a.variable_names, names_b);
  r.only_in_other = names_only_in(b.variable_names, names_a);
  // The shared names, each once, walked in self's order.
  std::vector<std::string_view> shared;
  {
    std::unordered_set<std::string_view> seen;
    for (const auto& n : a.variable_names) {
      if (names_b.count(n) && seen.insert(n).second) shared.push_back(n);
    }
  }

  for (auto& list : r.lists) {
    list = Ref::steal(PyList_New(0));
    if (!list) return false;
  }
  auto L = [&](Field f) { return r.lists[f].get(); };
  if (!diff_string_maps(L(kLabels), shared, a.variable_labels, b.variable_labels) ||
      !diff_value_label_maps(L(kValueLabels), shared, a.variable_value_labels,
                             b.variable_value_labels) ||
      !diff_string_maps(L(kFormats), shared, a.variable_formats, b.variable_formats) ||
      !diff_measure_maps(L(kMeasures), shared, a.variable_measures, b.variable_measures) ||
      !diff_u32_maps(L(kDisplayWidths), shared, a.variable_display_widths,
                     b.variable_display_widths) ||
      !diff_usize_maps(L(kStorageWidths), shared, a.variable_storage_widths,
                       b.variable_storage_widths) ||
      !diff_missing_maps(L(kMissingValues), shared, a.variable_missing_values,
                         b.variable_missing_values) ||
      !diff_key_sets(L(kMrSets), a.mr_sets, b.mr_sets) ||
      !diff_role_maps(L(kRoles), shared, a.variable_roles, b.variable_roles) ||
      !diff_attr_maps(L(kAttributes), shared, a.variable_attributes, b.variable_attributes)) {
    return false;
  }

  r.is_match = PyDict_GET_SIZE(fl) == 0 && r.only_in_self.empty() && r.only_in_other.empty();
  for (const auto& list : r.lists) r.is_match = r.is_match && PyList_GET_SIZE(list.get()) == 0;
  return true;
}

// ----- the report ---------------------------------------------------------------------

Py_ssize_t held_length(const Ref& list) {
  return list ? PyList_GET_SIZE(list.get()) : 0;
}

std::string name_preview(const std::vector<std::string>& names) {
  std::string out = "[";
  size_t shown = std::min<size_t>(names.size(), 5);
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out += ", ";
    out += names[i];
  }
  if (names.size() > 5) out += ", ... +" + std::to_string(names.size() - 5);
  out += "]";
  return out;
}

// The text of a Python object for the report; empty when it is not available.
std::string report_text(PyObject* o, bool need_str) {
  if (need_str && !PyUnicode_Check(o)) return "";
  Ref text = Ref::steal(need_str ? Py_NewRef(o) : PyObject_Str(o));
  if (!text) {
    PyErr_Clear();
    return "";
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (!p) {
    PyErr_Clear();
    return "";
  }
  return std::string(p, static_cast<size_t>(n));
}

void print_report(const DiffResult& r) {
  ReportOutput out;
  out.line("Metadata Diff");
  out.line("=============");
  if (r.file_level && PyDict_GET_SIZE(r.file_level.get()) > 0) {
    out.line("");
    out.line("File-level:");
    // A snapshot: str() of a value may run code that changes the dict.
    Ref items = Ref::steal(PyDict_Items(r.file_level.get()));
    if (!items) {
      PyErr_Clear();
    } else {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        std::string key = report_text(PyTuple_GET_ITEM(item, 0), true);
        std::string value = report_text(PyTuple_GET_ITEM(item, 1), false);
        out.line("  " + pad_right(key, 25) + value);
      }
    }
  }
  out.line("");
  out.line("Variables:");
  if (r.only_in_self.empty() && r.only_in_other.empty()) {
    out.line("  All variables shared");
  } else {
    if (!r.only_in_self.empty()) {
      out.line("  Only in self:   " + pad_left(std::to_string(r.only_in_self.size()), 5) + "   " +
               name_preview(r.only_in_self));
    }
    if (!r.only_in_other.empty()) {
      out.line("  Only in other:  " + pad_left(std::to_string(r.only_in_other.size()), 5) + "   " +
               name_preview(r.only_in_other));
    }
  }
  out.line("");
  out.line("Field diffs:");
  for (size_t f = 0; f < kFieldCount; ++f) {
    Py_ssize_t n = held_length(r.lists[f]);
    const char* word = n == 0 ? " diffs  \u2713" : n == 1 ? " diff " : " diffs";
    out.line("  " + pad_right(kFieldNames[f], 28) + pad_left(std::to_string(n), 3) + word);
  }
  out.line("");
  out.line(r.is_match ? "Result: MATCH" : "Result: DIFFERENCES FOUND");
}

// ----- the class ----------------------------------------------------------------------

Ref py_names(const std::vector<std::string>& names) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return {};
  for (size_t i = 0; i < names.size(); ++i) {
    Ref s = str(names[i]);
    if (!s) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s.release());
  }
  return list;
}

// The property `name` of the result, or nullptr (no error set) for an unknown name.
PyObject* property(const DiffResult* r, std::string_view name) {
  if (!r) return nullptr;
  if (name == "is_match") return py_bool(r->is_match).release();
  if (name == "file_level") return Ref(r->file_level).release();
  if (name == "variables_only_in_self") return py_names(r->only_in_self).release();
  if (name == "variables_only_in_other") return py_names(r->only_in_other).release();
  for (size_t f = 0; f < kFieldCount; ++f) {
    if (name == kFieldNames[f]) return Ref(r->lists[f]).release();
  }
  return nullptr;
}

const char* const kPropertyNames[] = {
    "is_match",
    "file_level",
    "variables_only_in_self",
    "variables_only_in_other",
    "variable_labels",
    "variable_value_labels",
    "variable_formats",
    "variable_measures",
    "variable_display_widths",
    "variable_storage_widths",
    "variable_missing_values",
    "mr_sets",
    "variable_roles",
    "variable_attributes",
};

PyObject* d_get(PyObject* self, void* closure) {
  return guard([&]() -> PyObject* {
    PyObject* v = property(result_of(self), static_cast<const char*>(closure));
    if (!v && !PyErr_Occurred()) {
      // Only after the collector has cleared a cycle through this object.
      return raise(PyExc_AttributeError, "MetaDiff has been cleared");
    }
    return v;
  });
}

PyObject* d_subscript(PyObject* self, PyObject* key) {
  return guard([&]() -> PyObject* {
    auto name = as_str(key, "key");
    if (!name) return nullptr;
    PyObject* v = property(result_of(self), *name);
    if (!v && !PyErr_Occurred()) return raise(PyExc_KeyError, "'" + *name + "'");
    return v;
  });
}

PyObject* d_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const DiffResult* r = result_of(self);
    size_t diffs = 0;
    bool match = false;
    if (r) {
      diffs =
          r->only_in_self.size() + r->only_in_other.size() +
          static_cast<size_t>(held_length(r->lists[kLabels]) + held_length(r->lists[kValueLabels]) +
                              held_length(r->lists[kFormats]));
      match = r->is_match;
    }
    std::string text = std::string("MetaDiff(is_match=") + (match ? "true" : "false") +
                       ", diffs=" + std::to_string(diffs) + ")";
    return str(text).release();
  });
}

PyObject* d_new(PyTypeObject*, PyObject*, PyObject*) {
  return raise(PyExc_TypeError, "MetaDiff objects are made by SpssMetadata.diff()");
}

// The held dict and lists can be made to refer back to this object, so it takes part in
// cycle collection.
int d_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (const DiffResult* r = result_of(self)) {
    Py_VISIT(r->file_level.get());
    for (const auto& list : r->lists) Py_VISIT(list.get());
  }
  return 0;
}

int d_clear(PyObject* self) {
  if (DiffResult* r = result_of(self)) {
    // Moved out first, so that code run by the releases sees the object already cleared.
    Ref file_level = std::move(r->file_level);
    Ref lists[kFieldCount];
    for (size_t f = 0; f < kFieldCount; ++f) lists[f] = std::move(r->lists[f]);
  }
  return 0;
}

void d_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  free_instance(self, reinterpret_cast<MetaDiffObject*>(self)->result);
}

std::vector<PyGetSetDef>& getset_table() {
  static std::vector<PyGetSetDef> table = [] {
    std::vector<PyGetSetDef> t;
    for (const char* name : kPropertyNames) {
      t.push_back({name, d_get, nullptr, nullptr, const_cast<char*>(name)});
    }
    t.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return t;
  }();
  return table;
}

}  // namespace

PyObject* metadiff_type() {
  if (!the_type) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("")},
        {Py_tp_new, reinterpret_cast<void*>(d_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(d_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(d_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(d_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(d_repr)},
        {Py_tp_str, reinterpret_cast<void*>(d_repr)},
        {Py_mp_subscript, reinterpret_cast<void*>(d_subscript)},
        {Py_tp_getset, getset_table().data()},
        {0, nullptr},
    };
    static PyType_Spec spec = {"_korvel.MetaDiff", sizeof(MetaDiffObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
                               slots};
    the_type = PyType_FromSpec(&spec);
    if (!the_type) return nullptr;
  }
  Py_INCREF(the_type);
  return the_type;
}

PyObject* metadata_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const SpssMetadata* a = metadata_of(self, "self");
    if (!a) return nullptr;
    PyObject* argv[2];
    if (!parse_args("diff", args, nargs, kwnames, {"other", "print_output"}, 1, argv)) {
      return nullptr;
    }
    const SpssMetadata* b = metadata_of(argv[0], "other");
    if (!b) return nullptr;
    bool print_output = true;
    if (argv[1]) {
      auto flag = as_bool(argv[1], "print_output");
      if (!flag) return nullptr;
      print_output = *flag;
    }
    auto result = std::make_unique<DiffResult>();
    if (!build(*a, *b, *result)) return nullptr;

    Ref type = Ref::steal(metadiff_type());
    if (!type) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    Ref obj = Ref::steal(new_instance(t, &MetaDiffObject::result, std::move(result)));
    if (!obj) return nullptr;
    if (print_output) print_report(*result_of(obj.get()));
    return obj.release();
  });
}

}  // namespace korvel::py
