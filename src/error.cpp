#include "error.hpp"

#include <cstring>

namespace korvel {

std::string format_byte_list(const uint8_t* bytes, size_t n) {
  std::string out = "[";
  for (size_t i = 0; i < n; ++i) {
    if (i) out += ", ";
    out += std::to_string(bytes[i]);
  }
  out += "]";
  return out;
}

SpssError SpssError::os(int errno_value) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(errno_value, buf, sizeof buf);
  return io(std::string(text) + " (os error " + std::to_string(errno_value) + ")");
}

SpssError SpssError::invalid_magic(std::array<uint8_t, 4> found) {
  return SpssError(Kind::InvalidMagic, format_byte_list(found.data(), found.size()));
}

SpssError SpssError::unsupported_compression(int32_t code) {
  return SpssError(Kind::UnsupportedCompression, std::to_string(code));
}

SpssError SpssError::unexpected_record_type(int32_t record_type, uint64_t offset) {
  return SpssError(Kind::UnexpectedRecordType,
                   std::to_string(record_type) + " at offset " + std::to_string(offset));
}

SpssError SpssError::missing_cases(uint64_t expected, uint64_t got) {
  return SpssError(Kind::TruncatedFile,
                   "expected " + std::to_string(expected) + " cases, got " + std::to_string(got));
}

SpssError SpssError::truncated_file(uint64_t expected, uint64_t got) {
  return SpssError(Kind::TruncatedFile,
                   "expected " + std::to_string(expected) + " bytes, got " + std::to_string(got));
}

std::string SpssError::message() const {
  switch (kind_) {
    case Kind::Io:
      return "I/O error: " + detail_;
    case Kind::InvalidMagic:
      return "invalid magic number: expected \"$FL2\" or \"$FL3\", found " + detail_;
    case Kind::UnsupportedCompression:
      return "unsupported compression type: " + detail_;
    case Kind::UnexpectedRecordType:
      return "unexpected record type " + detail_;
    case Kind::InvalidVariable:
      return "invalid variable record: " + detail_;
    case Kind::Zlib:
      return "zlib decompression failed: " + detail_;
    case Kind::Arrow:
      return "arrow error: " + detail_;
    case Kind::TruncatedFile:
      return "truncated file: " + detail_;
    case Kind::InvalidValueLabel:
      return "invalid value label record: " + detail_;
    case Kind::Write:
      return "write error: " + detail_;
  }
  return detail_;
}

}  // namespace korvel
