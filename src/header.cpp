#include "header.hpp"

#include <cstring>

namespace korvel {

namespace {

namespace field = sav::header;

std::string_view raw_field(const uint8_t* p, sav::HeaderField f) {
  return trim_trailing_padding(
      std::string_view(reinterpret_cast<const char*>(p) + f.offset, f.width));
}

std::string text_field(const uint8_t* p, sav::HeaderField f) {
  return bytes_to_string_lossy(raw_field(p, f));
}

// The byte order from the layout code's bytes: 2 or 3 read little-endian, else big-endian.
Status read_layout_code(const uint8_t* p, SavReader& reader, FileHeader& h) {
  const uint8_t* layout = p + field::kLayoutCode.offset;
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
                                       format_byte_list(layout, field::kLayoutCode.width));
  }
  h.swap_bytes = reader.swap_bytes();
  return Ok{};
}

}  // namespace

Result<FileHeader> read_file_header(SavReader& reader) {
  FileHeader h;
  // Read in the order the fields are checked, so that each failure is reported as soon as
  // its field is known: the magic, then the byte order, then the compression.
  uint8_t p[sav::kHeaderSize];
  auto read_through = [&](size_t done, sav::HeaderField last) {
    return reader.read_exact(p + done, last.offset + last.width - done);
  };
  KORVEL_TRY(read_through(0, field::kMagic));
  std::memcpy(h.magic.data(), p, field::kMagic.width);
  if (std::memcmp(p, sav::kMagicSav, 4) != 0 && std::memcmp(p, sav::kMagicZsav, 4) != 0) {
    return SpssError::invalid_magic(h.magic);
  }
  KORVEL_TRY(read_through(field::kProductName.offset, field::kLayoutCode));
  h.product_name = text_field(p, field::kProductName);
  KORVEL_TRY(read_layout_code(p, reader, h));

  auto i32_at = [&](sav::HeaderField f) {
    return static_cast<int32_t>(reader.u32_from(p + f.offset));
  };
  KORVEL_TRY(read_through(field::kNominalCaseSize.offset, field::kCompression));
  h.nominal_case_size = i32_at(field::kNominalCaseSize);
  int32_t compression = i32_at(field::kCompression);
  if (compression < 0 || compression > 2) return SpssError::unsupported_compression(compression);
  h.compression = static_cast<Compression>(compression);

  KORVEL_TRY(read_through(field::kWeightIndex.offset, field::kPadding));
  h.weight_index = i32_at(field::kWeightIndex);
  h.ncases = i32_at(field::kCaseCount);
  uint64_t bias_bits = reader.u64_from(p + field::kBias.offset);
  std::memcpy(&h.bias, &bias_bits, sizeof h.bias);
  h.creation_date = text_field(p, field::kCreationDate);
  h.creation_time = text_field(p, field::kCreationTime);
  h.file_label = text_field(p, field::kFileLabel);
  h.raw_creation_date = raw_field(p, field::kCreationDate);
  h.raw_creation_time = raw_field(p, field::kCreationTime);
  h.raw_file_label = raw_field(p, field::kFileLabel);
  return h;
}

}  // namespace korvel
