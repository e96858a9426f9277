// What the module registers, in order.
#pragma once

#include "python/binding.hpp"

namespace korvel::py {

struct Registration {
  const char* name;
  PyObject* (*make)();  // a new reference to the function or class, or nullptr with an error
};

// The module's objects in registration order.
const std::vector<Registration>& registrations();

}  // namespace korvel::py
