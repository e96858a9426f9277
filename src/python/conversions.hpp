// Python values into model values. Each conversion returns its value, or nothing with a
// Python exception set; `param` names the argument in TypeErrors of the binding layer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "metadata.hpp"
#include "python/binding.hpp"

namespace korvel::py {

using AttributeMap = OrderedMap<std::string, std::vector<std::string>>;

// A sequence of str (not a str itself, not a set or other mere iterable).
std::optional<std::vector<std::string>> py_to_str_sequence(PyObject* o, const char* param);
// A str becomes one note; a sequence of str the notes in order.
std::optional<std::vector<std::string>> py_to_notes(PyObject* value);
// Case-insensitive names of the coded values.
std::optional<Measure> py_to_measure(PyObject* value, const char* param);
std::optional<Role> py_to_role(PyObject* value, const char* param);
std::optional<Alignment> py_to_alignment(PyObject* value, const char* param);
// An int from 0 to 2^32 - 1.
std::optional<uint32_t> py_to_display_width(PyObject* value);
// A value-label key: a number when it converts to a float (or a 64-bit integer), else a str.
std::optional<Value> py_to_value_key(PyObject* key, const char* param);
// One variable's value labels, from a dict value -> label.
std::optional<ValueLabels> py_to_value_labels(PyObject* value, const char* param);
// One variable's missing-value specification, from {"type": "discrete"|"range", ...}.
std::optional<std::vector<MissingSpec>> py_to_missing_specs(PyObject* value, const char* param);
// One variable's custom attributes, from a dict name -> sequence of str.
std::optional<AttributeMap> py_to_attributes(PyObject* value, const char* param);
// A multiple-response set named `name`, from {"type", "label", "variables", "counted_value"}.
std::optional<MrSet> py_to_mr_set(std::string name, PyObject* value, const char* param);

}  // namespace korvel::py
