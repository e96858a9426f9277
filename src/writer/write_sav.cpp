#include "writer/write_sav.hpp"

#include <unordered_set>

#include "sav_format.hpp"
#include "writer/layout.hpp"
#include "writer/records.hpp"

namespace korvel {

namespace {

using arrow::TypeId;

constexpr uint32_t kDefaultZlibLevel = 6;
constexpr uint32_t kMaxZlibLevel = 9;

struct Defaults {
  const char* format;
  Measure measure;
  Alignment alignment;
  const char* arrow_type;  // the type the reader gives the column back as
};

bool is_text_type(const arrow::DataType& t) {
  return arrow::is_text(t.id);
}

// Types with a faithful SPSS form: numbers, booleans, dates, times, durations, text, null.
bool has_spss_form(const arrow::DataType& t) {
  switch (t.id) {
    case TypeId::Binary:
    case TypeId::LargeBinary:
    case TypeId::BinaryView:
    case TypeId::Other:
      return false;
    default:
      return true;
  }
}

Defaults defaults_for(const arrow::DataType& t) {
  switch (t.id) {
    case TypeId::Boolean:
      return {"F1.0", Measure::Nominal, Alignment::Right, "f64"};
    case TypeId::Int8:
    case TypeId::Int16:
    case TypeId::Int32:
    case TypeId::Int64:
    case TypeId::UInt8:
    case TypeId::UInt16:
    case TypeId::UInt32:
    case TypeId::UInt64:
      return {"F8.0", Measure::Scale, Alignment::Right, "f64"};
    case TypeId::Date32:
    case TypeId::Date64:
      return {"DATE11", Measure::Scale, Alignment::Right, "Date32"};
    case TypeId::Timestamp:
      return {"DATETIME23.2", Measure::Scale, Alignment::Right, "Timestamp[us]"};
    case TypeId::Duration:
    case TypeId::Time32:
    case TypeId::Time64:
      return {"TIME11.2", Measure::Scale, Alignment::Right, "Duration[us]"};
    case TypeId::Utf8:
    case TypeId::LargeUtf8:
    case TypeId::Utf8View:
      return {"A255", Measure::Nominal, Alignment::Left, "String"};
    default:
      return {"F8.2", Measure::Scale, Alignment::Right, "f64"};
  }
}

// The longest value of a text column, in bytes.
size_t longest_text(const WriteTable& table, size_t col) {
  size_t longest = 0;
  for (const auto& batch : table.batches) {
    const arrow::ArrayData* a = batch.columns[col].get();
    if (a->dictionary) a = a->dictionary.get();
    for (int64_t i = 0; i < a->length; ++i) longest = std::max(longest, a->binary_value(i).size());
  }
  return longest;
}

// A text column's default format: A255, or wide enough for its longest value.
Result<std::string> default_text_format(const WriteTable& table, size_t col) {
  const size_t longest = longest_text(table, col);
  if (longest > sav::kMaxStringWidth)
    return SpssError::write("column '" + table.schema->fields[col].name + "': a value of " +
                            std::to_string(longest) + " bytes is longer than the " +
                            std::to_string(sav::kMaxStringWidth) + " bytes an SPSS string holds");
  return "A" + std::to_string(std::max(longest, sav::kMaxShortStringWidth));
}

size_t storage_width(const std::string& format) {
  if (format.empty() || format[0] != 'A') return sav::kSlotBytes;
  const std::string_view digits = std::string_view(format).substr(1, format.find('.') - 1);
  size_t w = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return sav::kMaxShortStringWidth;
    w = w * 10 + static_cast<size_t>(c - '0');
    if (w > sav::kMaxStringWidth) return sav::kMaxShortStringWidth;
  }
  return digits.empty() ? sav::kMaxShortStringWidth : w;
}

// Adds the defaults of every column that has none yet.
Status complete_metadata(SpssMetadata& m, const WriteTable& table,
                         const std::vector<arrow::DataType>& types) {
  for (size_t col = 0; col < types.size(); ++col) {
    const std::string& name = table.schema->fields[col].name;
    const Defaults d = defaults_for(types[col]);
    if (!m.variable_formats.contains(name)) {
      std::string format = d.format;
      if (is_text_type(types[col])) {
        KORVEL_ASSIGN_OR_RETURN(format, default_text_format(table, col));
      }
      m.variable_formats.insert(name, format);
    }
    if (!m.variable_measures.contains(name)) m.variable_measures.insert(name, d.measure);
    if (!m.variable_alignments.contains(name)) m.variable_alignments.insert(name, d.alignment);
    const std::string& format = *m.variable_formats.find(name);
    if (!m.variable_display_widths.contains(name)) {
      auto parsed = SpssFormat::from_string(format);
      m.variable_display_widths.insert(name, parsed ? parsed->width : 8u);
    }
    if (!m.variable_roles.contains(name)) m.variable_roles.insert(name, Role::Input);
    if (!m.variable_storage_widths.contains(name))
      m.variable_storage_widths.insert(name, storage_width(format));
  }
  return Ok{};
}

Status validate_column(const SpssMetadata& m, const std::string& name,
                       const arrow::DataType& type) {
  if (!has_spss_form(type))
    return SpssError::write("column '" + name + "': Arrow type " + arrow::to_string(type) +
                            " has no SPSS form");
  const bool text = is_text_type(type);
  if (const auto* specs = m.variable_missing_values.find(name))
    KORVEL_TRY(check_missing_kinds(name, text, *specs));
  const std::string& format = *m.variable_formats.find(name);
  const auto parsed = SpssFormat::from_string(format);
  if (!parsed)
    return SpssError::write("variable '" + name + "': invalid format string '" + format + "'");
  if (text && parsed->format_type >= 3)
    return SpssError::write("variable '" + name + "': numeric/date format '" + format +
                            "' cannot be applied to a string column");
  if (!text && parsed->format_type < 3)
    return SpssError::write("variable '" + name + "': string format '" + format +
                            "' cannot be applied to a non-string column (" +
                            arrow::to_string(type) + ")");
  return Ok{};
}

Status validate_names(const WriteTable& table) {
  std::unordered_set<std::string> seen;
  for (const auto& field : table.schema->fields) KORVEL_TRY(check_variable_name(field.name, seen));
  return Ok{};
}

Status validate(const SpssMetadata& m, const WriteTable& table,
                const std::vector<arrow::DataType>& types) {
  for (size_t col = 0; col < types.size(); ++col)
    KORVEL_TRY(validate_column(m, table.schema->fields[col].name, types[col]));
  return Ok{};
}

HeaderValues header_values(const SpssMetadata& m, const CaseLayout& layout, uint64_t rows,
                           Compression compression) {
  HeaderValues h;
  h.compression = compression;
  h.total_slots = layout.total_slots;
  h.rows = rows;
  h.file_label = m.file_label;
  if (m.weight_variable) {
    for (const WriteVariable& v : layout.variables)
      if (v.name == *m.weight_variable) {
        h.weight_index = static_cast<int32_t>(v.slot_offset + 1);
        break;
      }
  }
  auto parts = parse_iso_to_spss_parts(m.creation_time);
  std::tie(h.creation_date, h.creation_time) = parts ? *parts : current_date_time();
  return h;
}

}  // namespace

std::vector<arrow::DataType> column_value_types(const WriteTable& table) {
  std::vector<arrow::DataType> types;
  for (size_t col = 0; col < table.schema->fields.size(); ++col) {
    arrow::DataType t = table.schema->fields[col].type;
    for (const auto& batch : table.batches)
      if (batch.columns[col]->dictionary) t = batch.columns[col]->dictionary->type;
    types.push_back(std::move(t));
  }
  return types;
}

Result<SpssMetadata> default_metadata(const WriteTable& table) {
  SpssMetadata m;
  m.file_encoding = "UTF-8";
  m.file_format = "sav";
  m.number_columns = table.schema->fields.size();
  const auto types = column_value_types(table);
  for (size_t col = 0; col < types.size(); ++col) {
    const std::string& name = table.schema->fields[col].name;
    const Defaults d = defaults_for(types[col]);
    std::string format = d.format;
    if (is_text_type(types[col])) {
      KORVEL_ASSIGN_OR_RETURN(format, default_text_format(table, col));
    }
    m.variable_names.push_back(name);
    m.variable_storage_widths.insert(name, storage_width(format));
    m.variable_formats.insert(name, std::move(format));
    m.arrow_data_types.insert(name, d.arrow_type);
    m.variable_measures.insert(name, d.measure);
    m.variable_alignments.insert(name, d.alignment);
    m.variable_display_widths.insert(name, 8);
  }
  return m;
}

Status write_sav_to_writer(std::unique_ptr<BufferedWriter> writer, const WriteTable& table,
                           const SpssMetadata& metadata, Compression compression,
                           std::optional<uint32_t> compression_level) {
  SpssMetadata m = metadata;
  const auto types = column_value_types(table);
  KORVEL_TRY(validate_names(table));
  KORVEL_TRY(complete_metadata(m, table, types));
  KORVEL_TRY(validate(m, table, types));
  KORVEL_ASSIGN_OR_RETURN(CaseLayout layout, build_case_layout(*table.schema, m));
  KORVEL_ASSIGN_OR_RETURN(RowAssembler rows, RowAssembler::make(table, layout));
  const uint64_t n_rows = table.num_rows();
  SavWriteExt out(*writer);
  KORVEL_TRY(write_dictionary(out, header_values(m, layout, n_rows, compression), layout, m));
  switch (compression) {
    case Compression::Uncompressed:
      KORVEL_TRY(write_data_uncompressed(*writer, rows, n_rows));
      break;
    case Compression::Bytecode:
      KORVEL_TRY(write_data_bytecode(*writer, rows, n_rows));
      break;
    case Compression::Zlib: {
      const uint32_t level = std::min(compression_level.value_or(kDefaultZlibLevel), kMaxZlibLevel);
      KORVEL_TRY(write_data_zsav(*writer, rows, n_rows, static_cast<int>(level)));
      break;
    }
  }
  KORVEL_TRY(writer->flush());
  writer.reset();
  return Ok{};
}

}  // namespace korvel
