#include "python/conversions.hpp"

#include <bit>
#include <cmath>

#include "python/text_forms.hpp"

namespace korvel::py {
namespace {

// The item `key` of the dict `d` (borrowed), or nullptr; `failed` tells an error apart.
PyObject* dict_item(PyObject* d, const char* key, bool& failed) {
  Ref k = str(key);
  if (!k) {
    failed = true;
    return nullptr;
  }
  PyObject* v = PyDict_GetItemWithError(d, k.get());
  failed = !v && PyErr_Occurred();
  return v;
}

PyObject* value_error(const std::string& message) {
  return raise(PyExc_ValueError, message);
}

// The text lower-cased as Python's str.lower does (full Unicode mapping).
std::optional<std::string> lower_text(PyObject* value, const char* param, std::string& original) {
  auto text = as_str(value, param);
  if (!text) return std::nullopt;
  original = *text;
  Ref exact = str(*text);  // an exact str, so that a subclass's lower() plays no part
  if (!exact) return std::nullopt;
  Ref lowered = Ref::steal(PyObject_CallMethod(exact.get(), "lower", nullptr));
  if (!lowered) return std::nullopt;
  return as_str(lowered.get(), param);
}

// A number through the float conversion, else through the 64-bit integer conversion.
std::optional<double> numeric(PyObject* o) {
  double d = PyFloat_AsDouble(o);
  if (!(d == -1.0 && PyErr_Occurred())) return d;
  PyErr_Clear();
  Ref index = Ref::steal(PyNumber_Index(o));
  if (index) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return static_cast<double>(v);
  }
  PyErr_Clear();
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::string>> py_to_str_sequence(PyObject* o, const char* param) {
  // A str is a sequence too; as_str_list refuses it with its own message.
  if (o && !PyUnicode_Check(o) && !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got %s", param,
                 Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  if (!o) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got nothing", param);
    return std::nullopt;
  }
  return as_str_list(o, param);
}

std::optional<std::vector<std::string>> py_to_notes(PyObject* value) {
  if (value && PyUnicode_Check(value)) {
    auto text = as_str(value, "notes");
    if (!text) return std::nullopt;
    return std::vector<std::string>{std::move(*text)};
  }
  if (value && PySequence_Check(value)) {
    auto notes = as_str_list(value, "notes");
    if (notes) return notes;
    // A failure of the sequence protocol itself that is not a type problem propagates.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
  }
  PyErr_Clear();
  value_error("notes must be a string or list of strings");
  return std::nullopt;
}

std::optional<Measure> py_to_measure(PyObject* value, const char* param) {
  std::string original;
  auto text = lower_text(value, param, original);
  if (!text) return std::nullopt;
  auto m = measure_from_string(*text);
  if (!m) {
    value_error("invalid measure '" + original + "', expected: nominal, ordinal, scale, unknown");
  }
  return m;
}

std::optional<Role> py_to_role(PyObject* value, const char* param) {
  std::string original;
  auto text = lower_text(value, param, original);
  if (!text) return std::nullopt;
  auto r = role_from_string(*text);
  if (!r) {
    value_error("invalid role '" + original +
                "', expected: input, target, both, none, partition, split");
  }
  return r;
}

std::optional<Alignment> py_to_alignment(PyObject* value, const char* param) {
  std::string original;
  auto text = lower_text(value, param, original);
  if (!text) return std::nullopt;
  // The unset state exists only in files; it cannot be chosen.
  auto a = *text == "unknown" ? std::nullopt : alignment_from_string(*text);
  if (!a) value_error("invalid alignment '" + original + "', expected: left, right, center");
  return a;
}

std::optional<uint32_t> py_to_display_width(PyObject* value) {
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return std::nullopt;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

std::optional<Value> py_to_value_key(PyObject* key, const char* param) {
  if (auto d = numeric(key)) return Value::number(*d);
  auto text = as_str(key, param);
  if (!text) return std::nullopt;
  return Value::string(std::move(*text));
}

std::optional<ValueLabels> py_to_value_labels(PyObject* value, const char* param) {
  if (!as_dict(value, param)) return std::nullopt;
  ValueLabels labels;
  bool ok = for_each_dict_item(value, [&](PyObject* key, PyObject* label) {
    auto text = as_str(label, param);
    if (!text) return false;
    auto k = py_to_value_key(key, param);
    if (!k) return false;
    labels.insert(std::move(*k), std::move(*text));
    return true;
  });
  if (!ok) return std::nullopt;
  return labels;
}

namespace {

std::optional<std::vector<MissingSpec>> discrete_specs(PyObject* spec, const char* param) {
  bool failed = false;
  PyObject* values = dict_item(spec, "values", failed);
  if (failed) return std::nullopt;
  if (!values) {
    value_error("discrete missing values requires 'values' key");
    return std::nullopt;
  }
  if (!as_list(values, "values")) return std::nullopt;
  Ref list = Ref::borrow(values);
  std::vector<MissingSpec> specs;
  bool any_number = false, any_string = false;
  // Re-read the length each step: a conversion may run code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list.get(), i));
    std::optional<double> d;
    if (PyFloat_CheckExact(item.get())) {
      d = PyFloat_AS_DOUBLE(item.get());
    } else {
      d = numeric(item.get());
    }
    if (d) {
      specs.push_back(MissingSpec::discrete(*d));
      any_number = true;
      continue;
    }
    auto text = as_str(item.get(), param);
    if (!text) return std::nullopt;
    if (text->size() > 8) {
      value_error("string missing value '" + *text + "' exceeds 8 characters");
      return std::nullopt;
    }
    specs.push_back(MissingSpec::discrete_string(std::move(*text)));
    any_string = true;
  }
  if (specs.size() > 3) {
    value_error("maximum 3 discrete missing values allowed");
    return std::nullopt;
  }
  if (any_number && any_string) {
    value_error("missing values cannot mix numeric and string types");
    return std::nullopt;
  }
  for (size_t i = 0; i < specs.size(); ++i) {
    for (size_t j = i + 1; j < specs.size(); ++j) {
      if (specs[i].kind == MissingSpec::Kind::Discrete && specs[i] == specs[j]) {
        value_error("discrete missing values must be unique (no duplicates)");
        return std::nullopt;
      }
    }
  }
  return specs;
}

std::optional<std::vector<MissingSpec>> range_specs(PyObject* spec) {
  bool failed = false;
  PyObject* low_obj = dict_item(spec, "low", failed);
  if (failed) return std::nullopt;
  if (!low_obj) {
    value_error("range missing values requires 'low' key");
    return std::nullopt;
  }
  auto low = as_f64(low_obj, "low");
  if (!low) return std::nullopt;
  PyObject* high_obj = dict_item(spec, "high", failed);
  if (failed) return std::nullopt;
  if (!high_obj) {
    value_error("range missing values requires 'high' key");
    return std::nullopt;
  }
  auto high = as_f64(high_obj, "high");
  if (!high) return std::nullopt;
  if (!(*low < *high)) {
    value_error("range 'low' (" + number_text(*low) + ") must be less than 'high' (" +
                number_text(*high) + ")");
    return std::nullopt;
  }
  std::vector<MissingSpec> specs{MissingSpec::range(*low, *high)};
  PyObject* discrete_obj = dict_item(spec, "discrete", failed);
  if (failed) return std::nullopt;
  if (is_none(discrete_obj)) return specs;
  auto d = as_f64(discrete_obj, "discrete");
  if (!d) return std::nullopt;
  if (*low < *d && *d < *high) {
    value_error("discrete value (" + number_text(*d) + ") must not fall between low (" +
                number_text(*low) + ") and high (" + number_text(*high) + ")");
    return std::nullopt;
  }
  specs.push_back(MissingSpec::discrete(*d));
  return specs;
}

}  // namespace

std::optional<std::vector<MissingSpec>> py_to_missing_specs(PyObject* value, const char* param) {
  if (!as_dict(value, param)) return std::nullopt;
  bool failed = false;
  PyObject* type_obj = dict_item(value, "type", failed);
  if (failed) return std::nullopt;
  if (!type_obj) {
    value_error("missing_values dict requires 'type' key ('discrete' or 'range')");
    return std::nullopt;
  }
  auto type = as_str(type_obj, "type");
  if (!type) return std::nullopt;
  if (*type == "discrete") return discrete_specs(value, param);
  if (*type == "range") return range_specs(value);
  value_error("invalid missing value type '" + *type + "', expected: 'discrete' or 'range'");
  return std::nullopt;
}

std::optional<AttributeMap> py_to_attributes(PyObject* value, const char* param) {
  if (!as_dict(value, param)) return std::nullopt;
  AttributeMap attrs;
  bool ok = for_each_dict_item(value, [&](PyObject* key, PyObject* values) {
    auto name = as_str(key, param);
    if (!name) return false;
    auto list = py_to_str_sequence(values, param);
    if (!list) return false;
    attrs.insert(std::move(*name), std::move(*list));
    return true;
  });
  if (!ok) return std::nullopt;
  return attrs;
}

namespace {

// The counted value of a dichotomy set as text: ints in decimal, integral floats as integers.
std::optional<std::string> counted_value_text(PyObject* v) {
  if (PyLong_Check(v) || (!PyFloat_Check(v) && PyIndex_Check(v))) {
    Ref index = Ref::steal(PyNumber_Index(v));
    Ref text = index ? Ref::steal(PyNumber_ToBase(index.get(), 10)) : Ref();
    if (!text) return std::nullopt;
    return as_str(text.get(), "counted_value");
  }
  if (PyFloat_Check(v) || (Py_TYPE(v)->tp_as_number && Py_TYPE(v)->tp_as_number->nb_float)) {
    auto d = as_f64(v, "counted_value");
    if (!d) return std::nullopt;
    return integral_number_text(*d, BeyondInt64::Saturate);
  }
  return as_str(v, "counted_value");
}

}  // namespace

std::optional<MrSet> py_to_mr_set(std::string name, PyObject* value, const char* param) {
  if (!as_dict(value, param)) return std::nullopt;
  MrSet set;
  set.name = std::move(name);
  bool failed = false;
  PyObject* type_obj = dict_item(value, "type", failed);
  if (failed) return std::nullopt;
  if (!type_obj) {
    value_error("MR set requires 'type' key ('dichotomy' or 'category')");
    return std::nullopt;
  }
  auto type = as_str(type_obj, "type");
  if (!type) return std::nullopt;
  if (*type == "dichotomy") {
    set.mr_type = MrType::Dichotomy;
  } else if (*type == "category") {
    set.mr_type = MrType::Category;
  } else {
    value_error("invalid MR set type '" + *type + "', expected: 'dichotomy' or 'category'");
    return std::nullopt;
  }
  PyObject* label = dict_item(value, "label", failed);
  if (failed) return std::nullopt;
  if (!is_none(label)) {
    auto text = as_str(label, "label");
    if (!text) return std::nullopt;
    set.label = std::move(*text);
  }
  PyObject* variables = dict_item(value, "variables", failed);
  if (failed) return std::nullopt;
  if (!variables) {
    value_error("MR set requires 'variables' key");
    return std::nullopt;
  }
  auto names = py_to_str_sequence(variables, "variables");
  if (!names) return std::nullopt;
  if (names->size() < 2) {
    value_error("MR set must have at least 2 variables");
    return std::nullopt;
  }
  set.variables = std::move(*names);
  if (set.mr_type == MrType::Dichotomy) {
    PyObject* counted = dict_item(value, "counted_value", failed);
    if (failed) return std::nullopt;
    if (!counted) {
      value_error("dichotomy MR set requires 'counted_value'");
      return std::nullopt;
    }
    if (counted == Py_None) {
      value_error("dichotomy MR set requires a non-None 'counted_value'");
      return std::nullopt;
    }
    auto text = counted_value_text(counted);
    if (!text) return std::nullopt;
    set.counted_value = std::move(*text);
  }
  return set;
}

}  // namespace korvel::py
