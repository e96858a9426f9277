// The module initialiser: builds `_korvel` once per process and registers its objects.
#include "python/binding.hpp"
#include "python/registry.hpp"

namespace korvel::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_korvel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* the_module = nullptr;
int64_t first_interpreter = -1;

// Adds `object` (a new reference) under `name` and appends the name to __all__.
bool add_object(PyObject* module, PyObject* all, const char* name, PyObject* object) {
  if (!object) return false;
  Ref name_obj = str(name);
  if (!name_obj || PyList_Append(all, name_obj.get()) < 0) {
    Py_DECREF(object);
    return false;
  }
  return PyModule_AddObject(module, name, object) == 0 || (Py_DECREF(object), false);
}

PyObject* build_module() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Ref all = Ref::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  for (const Registration& r : registrations()) {
    if (!add_object(module.get(), all.get(), r.name, r.make())) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace korvel::py

PyMODINIT_FUNC PyInit__korvel(void) {
  using namespace korvel::py;
  return guard([]() -> PyObject* {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (first_interpreter < 0) {
      first_interpreter = id;
    } else if (id != first_interpreter) {
      return raise(PyExc_ImportError,
                   "_korvel does not support subinterpreters; it can only be imported once per "
                   "process, in the main interpreter");
    }
    if (!the_module) {
      the_module = build_module();
      if (!the_module) return nullptr;
    }
    Py_INCREF(the_module);
    return the_module;
  });
}
