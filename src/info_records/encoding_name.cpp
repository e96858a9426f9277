#include "info_records/encoding_name.hpp"

#include "io_utils.hpp"

namespace korvel {

std::string parse_encoding_name(ByteSpan body) {
  return bytes_to_string_lossy(trim_trailing_padding(as_chars(body)));
}

}  // namespace korvel
