#include "python/module.hpp"

namespace korvel::py {

const std::vector<Registration>& registrations() {
  static const std::vector<Registration> list = {};
  return list;
}

}  // namespace korvel::py
