// SpssMetadata.diff and its result class MetaDiff.
#pragma once

#include "python/binding.hpp"

namespace korvel::py {

// A new reference to the MetaDiff class (created on first use), or nullptr with an error set.
PyObject* metadiff_type();
// diff($self, other, print_output=True)
PyObject* metadata_diff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace korvel::py
