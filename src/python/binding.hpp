// A thin C++ layer over the CPython C API: owned references, argument parsing for the
// fast-call convention with keywords, conversions, and the call guard that keeps every
// failure on the Python side of the boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"

namespace korvel::py {

// An owned (strong) reference.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

// The library value an instance of one of our classes owns, as the instance's field of type
// std::unique_ptr<T>. tp_alloc runs no C++ constructor and tp_free no destructor, so the field
// is constructed in place by `new_instance` and destroyed by the deallocator (`free_instance`),
// which then frees the instance and drops its reference to the heap type.
//
// A new instance of `type` owning `value`, which the caller made first, so that a failure to
// allocate either leaks nothing; nullptr with an exception set on failure.
template <typename Object, typename T>
PyObject* new_instance(PyTypeObject* type, std::unique_ptr<T> Object::*field,
                       std::unique_ptr<T> value) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  std::construct_at(&(reinterpret_cast<Object*>(self)->*field), std::move(value));
  return self;
}
template <typename T>
void free_instance(PyObject* self, std::unique_ptr<T>& field) {
  std::destroy_at(&field);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Raised (as a Python exception) by the call guard for internal failures; derives from
// BaseException so that ordinary except clauses do not swallow it.
PyObject* panic_exception_type();

// Sets OSError with the error's display text; returns nullptr for convenience.
PyObject* raise_spss_error(const SpssError& e);
PyObject* raise(PyObject* type, const std::string& message);

// Runs `body` (returning a new reference or nullptr with an exception set) so that no C++
// failure crosses into the interpreter.
template <typename F>
PyObject* guard(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise(panic_exception_type(), e.what());
  } catch (...) {
    return raise(panic_exception_type(), "unknown internal failure");
  }
}

// As guard, for slots that return an int (0 success, -1 failure).
template <typename F>
int guard_int(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  } catch (const std::exception& e) {
    raise(panic_exception_type(), e.what());
    return -1;
  } catch (...) {
    raise(panic_exception_type(), "unknown internal failure");
    return -1;
  }
}

// A function of the fast-call convention with keywords (METH_FASTCALL | METH_KEYWORDS).
using FastCallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
// The entry of a method table for such a function, which the table stores as a PyCFunction.
inline PyCFunction fastcall(FastCallFunction f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Parses fast-call arguments into `out` (borrowed references, nullptr where not given).
// `names` lists the parameters in positional order; the first `required` must be given.
// Raises TypeError naming the function and parameter; returns false on failure.
bool parse_args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, size_t required, PyObject** out);

// Same for the (args tuple, kwargs dict) convention of constructors.
bool parse_tuple_args(const char* function, PyObject* args, PyObject* kwargs,
                      std::initializer_list<const char*> names, size_t required, PyObject** out);

// Conversions; each raises TypeError/OverflowError naming the parameter and returns nothing
// on failure. `nullptr` and None count as "not given" for the optional forms.
std::optional<std::string> as_str(PyObject* o, const char* param);
// A file path: a str without NUL characters. The system would take a path only up to its first
// NUL and open another file, so such a path raises ValueError("embedded null byte"), as open()
// does.
std::optional<std::string> as_path(PyObject* o, const char* param);
// A sequence of str (a str itself is refused).
std::optional<std::vector<std::string>> as_str_list(PyObject* o, const char* param);
// A non-negative int that fits in size_t.
std::optional<size_t> as_size(PyObject* o, const char* param);
inline bool is_none(PyObject* o) {
  return o == nullptr || o == Py_None;
}
// Type checks that raise TypeError naming the parameter when `o` is not a dict (a list).
bool as_dict(PyObject* o, const char* param);
bool as_list(PyObject* o, const char* param);
// A float, or any object with a float conversion; the interpreter's error otherwise.
std::optional<double> as_f64(PyObject* o, const char* param);
// A bool, or a NumPy boolean scalar read through its truth-value conversion.
std::optional<bool> as_bool(PyObject* o, const char* param);

// Calls `f(key, value)` (borrowed references, kept alive for the call) for each item of the
// dict `d` in its order, through the dict's own iterator, so that a dict changed during the
// walk stops it with the interpreter's RuntimeError. Stops at the first `false`.
template <typename F>
bool for_each_dict_item(PyObject* d, F&& f) {
  Ref it = Ref::steal(PyDict_Type.tp_iter(d));
  if (!it) return false;
  while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
    Ref value = Ref::borrow(PyDict_GetItemWithError(d, key.get()));
    if (!value) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
      }
      return false;
    }
    if (!f(key.get(), value.get())) return false;
  }
  return !PyErr_Occurred();
}

// New references to Python values.
Ref str(std::string_view s);
Ref str_lossy(std::string_view s);

}  // namespace korvel::py
