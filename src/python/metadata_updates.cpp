// Construction from keyword fields and the immutable updates of SpssMetadata.
#include "python/metadata_object.hpp"

namespace korvel::py {

bool apply_metadata_kwargs(SpssMetadata&, PyObject* kwargs) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  if (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyErr_Format(PyExc_TypeError, "SpssMetadata() got an unexpected keyword argument '%U'", key);
  }
  return false;
}

const std::vector<PyMethodDef>& metadata_extra_methods() {
  static const std::vector<PyMethodDef> methods;
  return methods;
}

}  // namespace korvel::py
