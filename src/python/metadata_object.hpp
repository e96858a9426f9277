// The Python class SpssMetadata: an immutable wrapper of one metadata model value.
#pragma once

#include "metadata.hpp"
#include "python/binding.hpp"

namespace korvel::py {

// A new reference to the class (created on first use), or nullptr with an error set.
PyObject* metadata_type();
// Moves `value` into a new instance; nullptr with an error set on failure.
PyObject* wrap_metadata(SpssMetadata value);
// Accepts a name of `variable_names` (any name when the list is empty); otherwise KeyError
// "variable '{}' not found in metadata" and false.
bool check_variable_name(const SpssMetadata& m, const std::string& name);
// The model value held by `o`, or nullptr with TypeError set when `o` is not an instance.
const SpssMetadata* metadata_of(PyObject* o, const char* param);

}  // namespace korvel::py
