// The 176-byte file header, which also decides the file's byte order.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "constants.hpp"
#include "error.hpp"
#include "io_utils.hpp"
#include "sav_format.hpp"

namespace korvel {

struct FileHeader {
  std::array<uint8_t, 4> magic{};
  std::string product_name;
  int32_t layout_code = sav::kLayoutCode;
  int32_t nominal_case_size = 0;  // as stored; often -1 or 0 in other writers' files
  Compression compression = Compression::Uncompressed;
  int32_t weight_index = 0;
  int32_t ncases = sav::kUnknownCaseCount;
  double bias = sav::kDefaultBias;
  std::string creation_date;
  std::string creation_time;
  std::string file_label;
  // The same three texts undecoded (trailing padding removed): the file's encoding, which
  // they may be written in, is known only after the dictionary has been read.
  std::string raw_creation_date;
  std::string raw_creation_time;
  std::string raw_file_label;
  bool swap_bytes = false;
};

// Reads the header from a reader at offset 0 and fixes the reader's byte order.
Result<FileHeader> read_file_header(SavReader& reader);

}  // namespace korvel
