#include "header.hpp"

#include <cstring>

namespace korvel {

namespace {
std::string text_field(const uint8_t* p, size_t n) {
  return bytes_to_string_lossy(
      trim_trailing_padding(std::string_view(reinterpret_cast<const char*>(p), n)));
}
}  // namespace

Result<FileHeader> read_file_header(SavReader& reader) {
  FileHeader h;
  // Read in the order the fields are checked, so that each failure is reported as soon as
  // its field is known.
  uint8_t p[kHeaderSize];
  KORVEL_TRY(reader.read_exact(p, 4));
  std::memcpy(h.magic.data(), p, 4);
  if (std::memcmp(p, "$FL2", 4) != 0 && std::memcmp(p, "$FL3", 4) != 0) {
    return SpssError::invalid_magic(h.magic);
  }
  KORVEL_TRY(reader.read_exact(p + 4, 64));

  h.product_name = text_field(p + 4, 60);

  const uint8_t* layout = p + 64;
  uint32_t le = static_cast<uint32_t>(layout[0]) | static_cast<uint32_t>(layout[1]) << 8 |
                static_cast<uint32_t>(layout[2]) << 16 | static_cast<uint32_t>(layout[3]) << 24;
  if (le == 2 || le == 3) {
    reader.set_swap_bytes(false);
    h.layout_code = static_cast<int32_t>(le);
  } else if (layout[0] == 0 && layout[1] == 0 && layout[2] == 0 &&
             (layout[3] == 2 || layout[3] == 3)) {
    reader.set_swap_bytes(true);
    h.layout_code = layout[3];
  } else {
    return SpssError::invalid_variable("cannot determine endianness from layout_code bytes: " +
                                       format_byte_list(layout, 4));
  }
  h.swap_bytes = reader.swap_bytes();

  auto i32_at = [&](size_t off) { return static_cast<int32_t>(reader.u32_from(p + off)); };
  KORVEL_TRY(reader.read_exact(p + 68, 8));
  h.nominal_case_size = i32_at(68);
  int32_t compression = i32_at(72);
  if (compression < 0 || compression > 2) return SpssError::unsupported_compression(compression);
  h.compression = static_cast<Compression>(compression);
  KORVEL_TRY(reader.read_exact(p + 76, kHeaderSize - 76));
  h.weight_index = i32_at(76);
  h.ncases = i32_at(80);
  uint64_t bias_bits = reader.u64_from(p + 84);
  std::memcpy(&h.bias, &bias_bits, 8);
  h.creation_date = text_field(p + 92, 9);
  h.creation_time = text_field(p + 101, 8);
  h.file_label = text_field(p + 109, 64);
  return h;
}

}  // namespace korvel
