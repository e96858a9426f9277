#include "python/binding.hpp"

#include <cstring>

namespace korvel::py {

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "_korvel.PanicException",
        "Raised when an internal invariant of the module fails; the operation was abandoned.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise(PyObject* type, const std::string& message) {
  if (!type) return nullptr;  // creating the type failed; its error is already set
  Ref text = str_lossy(message);
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_spss_error(const SpssError& e) {
  return raise(PyExc_OSError, e.message());
}

namespace {

// Binds one keyword argument to its parameter; out[i] already set means it came twice.
bool bind_keyword(const char* function, PyObject* key, PyObject* value,
                  std::initializer_list<const char*> names, PyObject** out) {
  const char* key_text = PyUnicode_AsUTF8(key);
  if (!key_text) return false;
  size_t i = 0;
  for (const char* name : names) {
    if (std::strcmp(name, key_text) == 0) break;
    ++i;
  }
  if (i == names.size()) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function,
                 key_text);
    return false;
  }
  if (out[i]) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, key_text);
    return false;
  }
  out[i] = value;
  return true;
}

bool check_arity(const char* function, Py_ssize_t nargs, std::initializer_list<const char*> names) {
  if (static_cast<size_t>(nargs) > names.size()) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)",
                 function, names.size(), nargs);
    return false;
  }
  return true;
}

bool check_required(const char* function, std::initializer_list<const char*> names, size_t required,
                    PyObject** out) {
  size_t i = 0;
  for (const char* name : names) {
    if (i >= required) break;
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, name,
                   i + 1);
      return false;
    }
    ++i;
  }
  return true;
}

}  // namespace

bool parse_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, size_t required, PyObject** out) {
  for (size_t i = 0; i < names.size(); ++i) out[i] = nullptr;
  if (!check_arity(function, nargs, names)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(function, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], names, out)) {
      return false;
    }
  }
  return check_required(function, names, required, out);
}

bool parse_tuple_args(const char* function, PyObject* args, PyObject* kwargs,
                      std::initializer_list<const char*> names, size_t required, PyObject** out) {
  Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  for (size_t i = 0; i < names.size(); ++i) out[i] = nullptr;
  if (!check_arity(function, nargs, names)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(function, key, value, names, out)) return false;
    }
  }
  return check_required(function, names, required, out);
}

std::optional<std::string> as_str(PyObject* o, const char* param) {
  if (!o || !PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", param,
                 o ? Py_TYPE(o)->tp_name : "nothing");
    return std::nullopt;
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(o, &n);
  if (!p) return std::nullopt;
  return std::string(p, static_cast<size_t>(n));
}

std::optional<std::string> as_path(PyObject* o, const char* param) {
  auto text = as_str(o, param);
  if (text && text->find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return std::nullopt;
  }
  return text;
}

std::optional<std::vector<std::string>> as_str_list(PyObject* o, const char* param) {
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': can't extract str to a sequence of str", param);
    return std::nullopt;
  }
  Ref seq = Ref::steal(PySequence_Fast(o, ""));
  if (!seq) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got %s", param,
                 Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, found %s", param,
                   Py_TYPE(item)->tp_name);
      return std::nullopt;
    }
    Py_ssize_t len;
    const char* p = PyUnicode_AsUTF8AndSize(item, &len);
    if (!p) return std::nullopt;
    out.emplace_back(p, static_cast<size_t>(len));
  }
  return out;
}

std::optional<size_t> as_size(PyObject* o, const char* param) {
  if (!o || !PyLong_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected int, got %s", param,
                 o ? Py_TYPE(o)->tp_name : "nothing");
    return std::nullopt;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': can't convert negative int to unsigned",
                   param);
    }
    return std::nullopt;
  }
  if (overflow > 0) {
    unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_Format(PyExc_OverflowError, "argument '%s': int too big to convert", param);
      return std::nullopt;
    }
    return static_cast<size_t>(u);
  }
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  return static_cast<size_t>(v);
}

bool as_dict(PyObject* o, const char* param) {
  if (o && PyDict_Check(o)) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected dict, got %s", param,
               o ? Py_TYPE(o)->tp_name : "nothing");
  return false;
}

bool as_list(PyObject* o, const char* param) {
  if (o && PyList_Check(o)) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected list, got %s", param,
               o ? Py_TYPE(o)->tp_name : "nothing");
  return false;
}

std::optional<double> as_f64(PyObject* o, const char* param) {
  if (!o) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected float, got nothing", param);
    return std::nullopt;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
  return v;
}

namespace {

// NumPy's boolean scalar type: named "bool_" (NumPy 1) or "bool" (NumPy 2), module "numpy".
bool is_numpy_bool(PyObject* o) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  Ref name = module ? Ref::steal(PyObject_GetAttrString(type, "__name__")) : Ref();
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

std::optional<bool> as_bool(PyObject* o, const char* param) {
  if (o && PyBool_Check(o)) return o == Py_True;
  if (o && is_numpy_bool(o)) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_bool) {
      Ref type_text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(o))));
      if (!type_text) return std::nullopt;
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                   type_text.get());
      return std::nullopt;
    }
    int truth = nb->nb_bool(o);
    if (truth < 0) return std::nullopt;
    return truth != 0;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %s", param,
               o ? Py_TYPE(o)->tp_name : "nothing");
  return std::nullopt;
}

Ref str(std::string_view s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref str_lossy(std::string_view s) {
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

}  // namespace korvel::py
