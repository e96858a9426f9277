#include "variable.hpp"

#include <bit>
#include <cstring>

#include "sav_format.hpp"

namespace korvel {

namespace {

// The missing-value block: 1 to 3 discrete values, -2 a range, -3 a range and a value, each an
// 8-byte slot. Any other indicator leaves the record's length unknown, so it fails here.
Status read_missing_values(SavReader& reader, VariableRecord& v, int32_t n_missing,
                           std::string_view name) {
  if (n_missing < -3 || n_missing > 3) {
    return SpssError::invalid_variable("missing value indicator " + std::to_string(n_missing) +
                                       " out of range -3 to 3 for variable " +
                                       bytes_to_string_lossy(name) + " in type 2 record");
  }
  const size_t count = static_cast<size_t>(n_missing < 0 ? -n_missing : n_missing);
  if (count == 0) return Ok{};
  KORVEL_ASSIGN_OR_RETURN(std::vector<uint8_t> raw, reader.read_bytes(count * sav::kSlotBytes));
  MissingValues& mv = v.missing_values;
  if (v.type_code > 0) {
    mv.kind = MissingValues::Kind::Strings;
    mv.strings.resize(count);
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(mv.strings[i].data(), &raw[i * sav::kSlotBytes], sav::kSlotBytes);
    }
    return Ok{};
  }
  mv.numbers.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    mv.numbers.push_back(std::bit_cast<double>(reader.u64_from(&raw[i * sav::kSlotBytes])));
  }
  mv.kind = n_missing == -2   ? MissingValues::Kind::Range
            : n_missing == -3 ? MissingValues::Kind::RangeAndValue
                              : MissingValues::Kind::Discrete;
  return Ok{};
}

}  // namespace

Result<VariableRecord> read_variable_record(SavReader& reader, size_t slot_index) {
  VariableRecord v;
  v.slot_index = slot_index;
  KORVEL_ASSIGN_OR_RETURN(v.type_code, reader.read_i32());
  KORVEL_ASSIGN_OR_RETURN(int32_t has_label, reader.read_i32());
  KORVEL_ASSIGN_OR_RETURN(int32_t n_missing, reader.read_i32());
  KORVEL_ASSIGN_OR_RETURN(int32_t print_word, reader.read_i32());
  KORVEL_ASSIGN_OR_RETURN(int32_t write_word, reader.read_i32());
  uint8_t name[sav::kShortNameBytes];
  KORVEL_TRY(reader.read_exact(name, sizeof name));

  if (v.type_code == 0) {
    v.var_type = VarType::numeric();
  } else if (v.type_code > 0) {
    v.var_type = VarType::string(static_cast<size_t>(v.type_code));
  } else {
    v.var_type = VarType::numeric();  // a continuation slot never becomes a column
    v.skip = true;
  }
  std::string_view kept =
      trim_trailing_padding(std::string_view(reinterpret_cast<char*>(name), sizeof name));
  v.raw_name.assign(kept.begin(), kept.end());

  if (has_label == 1) {
    KORVEL_ASSIGN_OR_RETURN(int32_t len, reader.read_i32());
    if (len < 0) {
      return SpssError::invalid_variable("negative label length " + std::to_string(len) +
                                         " in type 2 record");
    }
    uint64_t padded = (static_cast<uint64_t>(len) + 3) / 4 * 4;
    KORVEL_ASSIGN_OR_RETURN(std::vector<uint8_t> bytes, reader.read_bytes(padded));
    bytes.resize(static_cast<size_t>(len));
    v.label = std::move(bytes);
  }

  KORVEL_TRY(read_missing_values(reader, v, n_missing, kept));

  v.print_format = SpssFormat::from_word(static_cast<uint32_t>(print_word));
  v.write_format = SpssFormat::from_word(static_cast<uint32_t>(write_word));
  v.display_width = v.print_format.format_type != 0 ? v.print_format.width : 8;
  return v;
}

}  // namespace korvel
