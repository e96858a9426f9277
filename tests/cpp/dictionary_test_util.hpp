// Helpers shared by the dictionary tests: parse or resolve a dictionary built in memory.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dictionary.hpp"
#include "header.hpp"
#include "sav_builder.hpp"

namespace korvel::testing {

inline Result<RawDictionary> parse_bytes(std::vector<uint8_t> bytes) {
  SavReader reader = reader_over(std::move(bytes));
  KORVEL_ASSIGN_OR_RETURN(FileHeader header, read_file_header(reader));
  return parse_dictionary(reader, header);
}

// The error message of a failed parse, or "" when it succeeded.
inline std::string parse_error(std::vector<uint8_t> bytes) {
  auto r = parse_bytes(std::move(bytes));
  return r.ok() ? std::string() : r.error().message();
}

// Parses and resolves; fails the test when parsing fails.
inline ResolvedDictionary resolve_bytes(std::vector<uint8_t> bytes) {
  auto raw = parse_bytes(std::move(bytes));
  EXPECT_TRUE(raw.ok()) << raw.error().message();
  if (!raw.ok()) return {};
  return resolve_dictionary(std::move(raw).value());
}

// A builder with a header already written.
inline SavBuilder with_header(bool big_endian = false, const HeaderSpec& h = {}) {
  SavBuilder b(big_endian);
  b.header(h);
  return b;
}

inline std::string as_string(const std::vector<uint8_t>& b) {
  return {b.begin(), b.end()};
}

}  // namespace korvel::testing
