#include <Python.h>

static PyModuleDef korvel_module = {
    PyModuleDef_HEAD_INIT, "_korvel", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__korvel(void) {
  return PyModule_Create(&korvel_module);
}
