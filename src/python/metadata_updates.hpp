// Construction from keyword fields and the immutable updates of SpssMetadata.
#pragma once

#include <vector>

#include "metadata.hpp"
#include "python/binding.hpp"

namespace korvel::py {

// Applies the keyword fields of a constructor or `update` call to `value`; false with an
// exception set when a field is unknown or invalid.
bool apply_metadata_kwargs(SpssMetadata& value, PyObject* kwargs);
// The method table entry of `update`.
const PyMethodDef& metadata_update_method();
// The reports, `diff` and the with_ methods, in registration order.
const std::vector<PyMethodDef>& metadata_report_and_with_methods();

}  // namespace korvel::py
