#include "python/metadata_object.hpp"
#include "io_utils.hpp"
#include "python/metadata_updates.hpp"

namespace korvel::py {
namespace {

struct MetadataObject {
  PyObject_HEAD std::unique_ptr<const SpssMetadata>
      value;  // see new_instance() and free_instance()
};

PyObject* the_type = nullptr;

const SpssMetadata& model(PyObject* self) {
  return *reinterpret_cast<MetadataObject*>(self)->value;
}

// ----- model values as Python objects ---------------------------------------------------

Ref py_value_key(const Value& v) {
  return v.is_number() ? Ref::steal(PyFloat_FromDouble(v.as_number())) : str(v.as_string());
}

Ref py_str_list(const std::vector<std::string>& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  for (size_t i = 0; i < items.size(); ++i) {
    Ref s = str(items[i]);
    if (!s) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s.release());
  }
  return list;
}

Ref py_optional_str(const std::optional<std::string>& s) {
  return s ? str(*s) : Ref::borrow(Py_None);
}

bool dict_set(PyObject* d, PyObject* key, const Ref& value) {
  return value && PyDict_SetItem(d, key, value.get()) == 0;
}
bool dict_set(PyObject* d, const char* key, const Ref& value) {
  return value && PyDict_SetItemString(d, key, value.get()) == 0;
}

Ref py_value_labels(const ValueLabels& labels) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return {};
  for (const auto& [key, label] : labels) {
    Ref k = py_value_key(key);
    if (!k || !dict_set(d.get(), k.get(), str(label))) return {};
  }
  return d;
}

Ref py_missing(const std::vector<MissingSpec>& specs) {
  std::vector<double> numbers;
  std::vector<std::string> strings;
  std::optional<std::pair<double, double>> range;
  for (const auto& s : specs) {
    switch (s.kind) {
      case MissingSpec::Kind::Discrete:
        numbers.push_back(s.value);
        break;
      case MissingSpec::Kind::Range:
        range = {s.value, s.high};
        break;
      case MissingSpec::Kind::DiscreteString:
        strings.push_back(s.text);
        break;
    }
  }
  Ref d = Ref::steal(PyDict_New());
  if (!d) return {};
  if (range) {
    if (!dict_set(d.get(), "type", str("range")) ||
        !dict_set(d.get(), "low", Ref::steal(PyFloat_FromDouble(range->first))) ||
        !dict_set(d.get(), "high", Ref::steal(PyFloat_FromDouble(range->second)))) {
      return {};
    }
    if (!numbers.empty() &&
        !dict_set(d.get(), "discrete", Ref::steal(PyFloat_FromDouble(numbers.front())))) {
      return {};
    }
    return d;
  }
  if (!dict_set(d.get(), "type", str("discrete"))) return {};
  Ref values;
  if (!strings.empty()) {
    values = py_str_list(strings);
  } else {
    values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(numbers.size())));
    if (!values) return {};
    for (size_t i = 0; i < numbers.size(); ++i) {
      PyObject* f = PyFloat_FromDouble(numbers[i]);
      if (!f) return {};
      PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), f);
    }
  }
  if (!dict_set(d.get(), "values", values)) return {};
  return d;
}

Ref py_mr_set(const MrSet& set) {
  Ref d = Ref::steal(PyDict_New());
  if (!d || !dict_set(d.get(), "label", str(set.label)) ||
      !dict_set(d.get(), "type", str(to_string(set.mr_type))) ||
      !dict_set(d.get(), "counted_value", py_optional_str(set.counted_value)) ||
      !dict_set(d.get(), "variables", py_str_list(set.variables))) {
    return {};
  }
  return d;
}

Ref py_attributes(const OrderedMap<std::string, std::vector<std::string>>& attrs) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return {};
  for (const auto& [name, values] : attrs) {
    Ref k = str(name);
    if (!k || !dict_set(d.get(), k.get(), py_str_list(values))) return {};
  }
  return d;
}

Ref py_item(const std::string& s) {
  return str(s);
}
Ref py_item(size_t v) {
  return Ref::steal(PyLong_FromSize_t(v));
}
Ref py_item(uint32_t v) {
  return Ref::steal(PyLong_FromUnsignedLong(v));
}
Ref py_item(Measure m) {
  return str(to_string(m));
}
Ref py_item(Alignment a) {
  return str(to_string(a));
}
Ref py_item(Role r) {
  return str(to_string(r));
}
Ref py_item(const ValueLabels& v) {
  return py_value_labels(v);
}
Ref py_item(const std::vector<MissingSpec>& v) {
  return py_missing(v);
}
Ref py_item(const MrSet& v) {
  return py_mr_set(v);
}
Ref py_item(const OrderedMap<std::string, std::vector<std::string>>& v) {
  return py_attributes(v);
}

template <typename V>
Ref py_var_map(const VarMap<V>& map) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return {};
  for (const auto& [name, value] : map) {
    Ref k = str(name);
    if (!k || !dict_set(d.get(), k.get(), py_item(value))) return {};
  }
  return d;
}

Ref py_variable_labels(const SpssMetadata& m) {
  if (m.variable_names.empty()) return py_var_map(m.variable_labels);
  Ref d = Ref::steal(PyDict_New());
  if (!d) return {};
  for (const auto& name : m.variable_names) {
    const std::string* label = m.variable_labels.find(name);
    Ref k = str(name);
    if (!k || !dict_set(d.get(), k.get(), label ? str(*label) : Ref::borrow(Py_None))) return {};
  }
  return d;
}

Ref py_number_rows(const SpssMetadata& m) {
  return m.number_rows ? Ref::steal(PyLong_FromLongLong(*m.number_rows)) : Ref::borrow(Py_None);
}

// ----- properties ---------------------------------------------------------------------

using Getter = Ref (*)(const SpssMetadata&);

struct Property {
  const char* name;
  Getter get;
};

// In registration order.
const Property kProperties[] = {
    {"file_label", [](const SpssMetadata& m) { return str(m.file_label); }},
    {"file_encoding", [](const SpssMetadata& m) { return str(m.file_encoding); }},
    {"compression", [](const SpssMetadata& m) { return str(to_string(m.compression)); }},
    {"creation_time", [](const SpssMetadata& m) { return str(m.creation_time); }},
    {"notes", [](const SpssMetadata& m) { return py_str_list(m.notes); }},
    {"number_rows", py_number_rows},
    {"number_columns",
     [](const SpssMetadata& m) { return Ref::steal(PyLong_FromSize_t(m.number_columns)); }},
    {"file_format", [](const SpssMetadata& m) { return str(m.file_format); }},
    {"variable_names", [](const SpssMetadata& m) { return py_str_list(m.variable_names); }},
    {"variable_labels", py_variable_labels},
    {"variable_formats", [](const SpssMetadata& m) { return py_var_map(m.variable_formats); }},
    {"arrow_data_types", [](const SpssMetadata& m) { return py_var_map(m.arrow_data_types); }},
    {"variable_value_labels",
     [](const SpssMetadata& m) { return py_var_map(m.variable_value_labels); }},
    {"variable_alignments",
     [](const SpssMetadata& m) { return py_var_map(m.variable_alignments); }},
    {"variable_storage_widths",
     [](const SpssMetadata& m) { return py_var_map(m.variable_storage_widths); }},
    {"variable_display_widths",
     [](const SpssMetadata& m) { return py_var_map(m.variable_display_widths); }},
    {"variable_measures", [](const SpssMetadata& m) { return py_var_map(m.variable_measures); }},
    {"variable_missing_values",
     [](const SpssMetadata& m) { return py_var_map(m.variable_missing_values); }},
    {"mr_sets", [](const SpssMetadata& m) { return py_var_map(m.mr_sets); }},
    {"variable_roles", [](const SpssMetadata& m) { return py_var_map(m.variable_roles); }},
    {"variable_attributes",
     [](const SpssMetadata& m) { return py_var_map(m.variable_attributes); }},
    {"weight_variable", [](const SpssMetadata& m) { return py_optional_str(m.weight_variable); }},
};

Getter getter_named(std::string_view name) {
  for (const auto& p : kProperties)
    if (name == p.name) return p.get;
  return nullptr;
}

Ref schema_dict(const SpssMetadata& m) {
  static const char* const kOrder[] = {
      "file_label",
      "file_format",
      "file_encoding",
      "creation_time",
      "compression",
      "number_columns",
      "number_rows",
      "weight_variable",
      "notes",
      "variable_names",
      "variable_labels",
      "variable_value_labels",
      "variable_formats",
      "variable_measures",
      "variable_alignments",
      "variable_storage_widths",
      "variable_display_widths",
      "variable_roles",
      "variable_missing_values",
      "variable_attributes",
      "mr_sets",
      "arrow_data_types",
  };
  Ref d = Ref::steal(PyDict_New());
  if (!d) return {};
  for (const char* key : kOrder) {
    if (!dict_set(d.get(), key, getter_named(key)(m))) return {};
  }
  return d;
}

PyObject* get_property(PyObject* self, void* closure) {
  return guard(
      [&]() -> PyObject* { return reinterpret_cast<Getter>(closure)(model(self)).release(); });
}

PyObject* get_schema(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return schema_dict(model(self)).release(); });
}

// ----- lookups ------------------------------------------------------------------------

// Parses the single `name` argument and runs the name check.
std::optional<std::string> name_arg(const char* method, PyObject* self, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(method, args, nargs, kwnames, {"name"}, 1, a)) return std::nullopt;
  auto name = as_str(a[0], "name");
  if (!name || !check_variable_name(model(self), *name)) return std::nullopt;
  return name;
}

template <typename V, typename F>
PyObject* lookup(const char* method, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, const VarMap<V>& (*map)(const SpssMetadata&), F&& to_py) {
  return guard([&]() -> PyObject* {
    auto name = name_arg(method, self, args, nargs, kwnames);
    if (!name) return nullptr;
    const V* v = map(model(self)).find(*name);
    if (!v) Py_RETURN_NONE;
    return to_py(*v).release();
  });
}

PyObject* m_check_var(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&]() -> PyObject* {
    if (!name_arg("check_var", self, args, nargs, kw)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* m_label(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return lookup<std::string>(
      "label", self, args, nargs, kw,
      [](const SpssMetadata& m) -> const VarMap<std::string>& { return m.variable_labels; },
      [](const std::string& s) { return str(s); });
}

PyObject* m_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return lookup<std::string>(
      "format", self, args, nargs, kw,
      [](const SpssMetadata& m) -> const VarMap<std::string>& { return m.variable_formats; },
      [](const std::string& s) { return str(s); });
}

PyObject* m_measure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return lookup<Measure>(
      "measure", self, args, nargs, kw,
      [](const SpssMetadata& m) -> const VarMap<Measure>& { return m.variable_measures; },
      [](Measure v) { return str(to_string(v)); });
}

PyObject* m_role(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return lookup<Role>(
      "role", self, args, nargs, kw,
      [](const SpssMetadata& m) -> const VarMap<Role>& { return m.variable_roles; },
      [](Role v) { return str(to_string(v)); });
}

PyObject* m_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return lookup<ValueLabels>(
      "value", self, args, nargs, kw,
      [](const SpssMetadata& m) -> const VarMap<ValueLabels>& { return m.variable_value_labels; },
      [](const ValueLabels& v) { return v.empty() ? Ref::borrow(Py_None) : py_value_labels(v); });
}

PyObject* m_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&]() -> PyObject* {
    PyObject* a[2];
    if (!parse_args("attribute", args, nargs, kw, {"name", "attr"}, 1, a)) return nullptr;
    auto name = as_str(a[0], "name");
    if (!name) return nullptr;
    std::optional<std::string> attr;
    if (!is_none(a[1])) {
      attr = as_str(a[1], "attr");
      if (!attr) return nullptr;
    }
    if (!check_variable_name(model(self), *name)) return nullptr;
    const auto* attrs = model(self).variable_attributes.find(*name);
    if (!attr) {
      if (!attrs) Py_RETURN_NONE;
      return py_attributes(*attrs).release();
    }
    const std::vector<std::string>* values = attrs ? attrs->find(*attr) : nullptr;
    if (!values) {
      return raise(PyExc_KeyError,
                   "attribute '" + *attr + "' not found for variable '" + *name + "'");
    }
    return py_str_list(*values).release();
  });
}

// ----- text form ----------------------------------------------------------------------

PyObject* m_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const SpssMetadata& m = model(self);
    std::string text = "SpssMetadata(columns=" + std::to_string(m.number_columns) +
                       ", rows=" + (m.number_rows ? std::to_string(*m.number_rows) : "unknown") +
                       ", encoding=" + quote_escaped(m.file_encoding) +
                       ", compression=" + quote_escaped(to_string(m.compression)) + ")";
    return str(text).release();
  });
}

// ----- construction -------------------------------------------------------------------

PyObject* m_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (args && PyTuple_GET_SIZE(args) > 0) {
      return raise(PyExc_TypeError, "SpssMetadata() takes no positional arguments");
    }
    SpssMetadata value;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
      // Keyword fields are applied by the update machinery.
      if (!apply_metadata_kwargs(value, kwargs)) return nullptr;
    }
    return new_instance(type, &MetadataObject::value,
                        std::make_unique<const SpssMetadata>(std::move(value)));
  });
}

void m_dealloc(PyObject* self) {
  free_instance(self, reinterpret_cast<MetadataObject*>(self)->value);
}

std::vector<PyMethodDef>& method_table() {
  // Registration order: update, the lookups, then the reports, diff and the with_ methods.
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> t = {
        metadata_update_method(),
        {"check_var", fastcall(m_check_var), METH_FASTCALL | METH_KEYWORDS,
         "check_var($self, name)\n--\n\nValidate that a variable name exists in the metadata.\n"
         "For from-scratch metadata (empty variable_names), any name is valid."},
        {"label", fastcall(m_label), METH_FASTCALL | METH_KEYWORDS,
         "label($self, name)\n--\n\nGet the variable label for a single variable. Returns None "
         "if unlabeled."},
        {"format", fastcall(m_format), METH_FASTCALL | METH_KEYWORDS,
         "format($self, name)\n--\n\nGet the SPSS format string for a variable (e.g. \"F8.2\"). "
         "Returns None if not set."},
        {"measure", fastcall(m_measure), METH_FASTCALL | METH_KEYWORDS,
         "measure($self, name)\n--\n\nGet the measurement level for a variable. Returns None if "
         "not set."},
        {"role", fastcall(m_role), METH_FASTCALL | METH_KEYWORDS,
         "role($self, name)\n--\n\nGet the role for a variable. Returns None if no role is set."},
        {"attribute", fastcall(m_attribute), METH_FASTCALL | METH_KEYWORDS,
         "attribute($self, name, attr=None)\n--\n\nGet custom attribute(s) for a variable.\n"
         "With one arg: returns all attributes as dict, or None.\n"
         "With two args: returns specific attribute values, or raises KeyError."},
        {"value", fastcall(m_value), METH_FASTCALL | METH_KEYWORDS,
         "value($self, name)\n--\n\nGet the value labels dict for a variable. Returns None if no "
         "value labels exist."},
    };
    const auto& rest = metadata_report_and_with_methods();
    t.insert(t.end(), rest.begin(), rest.end());
    t.push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table;
}

std::vector<PyGetSetDef>& getset_table() {
  static std::vector<PyGetSetDef> table = [] {
    std::vector<PyGetSetDef> t;
    for (const auto& p : kProperties) {
      t.push_back({p.name, get_property, nullptr, nullptr, reinterpret_cast<void*>(p.get)});
    }
    t.push_back(
        {"schema", get_schema, nullptr, "Returns all metadata as a nested Python dict.", nullptr});
    t.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return t;
  }();
  return table;
}

}  // namespace

bool check_variable_name(const SpssMetadata& m, const std::string& name) {
  if (m.variable_names.empty()) return true;
  for (const auto& n : m.variable_names)
    if (n == name) return true;
  raise(PyExc_KeyError, "variable '" + name + "' not found in metadata");
  return false;
}

PyObject* metadata_type() {
  if (!the_type) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("SpssMetadata(**kwargs)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(m_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(m_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(m_repr)},
        {Py_tp_str, reinterpret_cast<void*>(m_repr)},
        {Py_tp_methods, method_table().data()},
        {Py_tp_getset, getset_table().data()},
        {0, nullptr},
    };
    static PyType_Spec spec = {"_korvel.SpssMetadata", sizeof(MetadataObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    the_type = PyType_FromSpec(&spec);
    if (!the_type) return nullptr;
  }
  Py_INCREF(the_type);
  return the_type;
}

PyObject* wrap_metadata(SpssMetadata value) {
  Ref type = Ref::steal(metadata_type());
  if (!type) return nullptr;
  auto* t = reinterpret_cast<PyTypeObject*>(type.get());
  return new_instance(t, &MetadataObject::value,
                      std::make_unique<const SpssMetadata>(std::move(value)));
}

const SpssMetadata* metadata_of(PyObject* o, const char* param) {
  Ref type = Ref::steal(metadata_type());
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(type.get()))) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected SpssMetadata, got %s", param,
                 Py_TYPE(o)->tp_name);
    return nullptr;
  }
  return reinterpret_cast<MetadataObject*>(o)->value.get();
}

}  // namespace korvel::py
