// Where the library calls into its Arrow layer: the layer's errors become SpssError (kind Arrow,
// same text). KORVEL_TRY and KORVEL_ASSIGN_OR_RETURN convert through `propagated_error`, so
// they take the Arrow layer's results directly once this header is included.
#pragma once

#include <utility>

#include "arrow/status.hpp"
#include "error.hpp"

namespace korvel {

inline SpssError propagated_error(const arrow::Error& e) {
  return SpssError::arrow(e.message());
}

inline Status from_arrow(arrow::Status&& s) {
  if (s.ok()) return Ok{};
  return propagated_error(std::move(s).error());
}

template <typename T>
Result<T> from_arrow(arrow::Result<T>&& r) {
  if (r.ok()) return std::move(r).value();
  return propagated_error(std::move(r).error());
}

}  // namespace korvel
