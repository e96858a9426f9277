#include "dictionary.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "column_types.hpp"
#include "info_records/encoding_name.hpp"
#include "info_records/long_names.hpp"
#include "info_records/mr_sets.hpp"
#include "info_records/var_attributes.hpp"
#include "info_records/very_long_strings.hpp"
#include "sav_format.hpp"
#include "text.hpp"

namespace korvel {

namespace {

using sav::kDocumentLineBytes;

Status read_documents(SavReader& reader, std::vector<Bytes>& documents) {
  KORVEL_ASSIGN_OR_RETURN(size_t n, reader.read_count(kDocumentLineBytes, [](int32_t count) {
    return SpssError::invalid_variable("negative line count " + std::to_string(count) +
                                       " in type 6 record");
  }));
  documents.reserve(documents.size() + n);
  uint8_t line[kDocumentLineBytes];
  for (size_t i = 0; i < n; ++i) {
    KORVEL_TRY(reader.read_exact(line, kDocumentLineBytes));
    std::string_view kept =
        trim_trailing_padding(std::string_view(reinterpret_cast<char*>(line), sizeof line));
    documents.emplace_back(kept.begin(), kept.end());
  }
  return Ok{};
}

bool is_parsed_subtype(int32_t subtype) {
  switch (subtype) {
    case sav::kExtMachineIntegers:
    case sav::kExtMachineFloats:
    case sav::kExtMrSets:
    case sav::kExtDisplayParams:
    case sav::kExtLongNames:
    case sav::kExtVeryLongStrings:
    case sav::kExtVariableAttributes:
    case sav::kExtMrSetsV2:
    case sav::kExtEncodingName:
    case sav::kExtLongStringLabels:
    case sav::kExtLongStringMissing:
      return true;
    default:
      return false;
  }
}

Status read_extension(SavReader& reader, RawDictionary& raw) {
  KORVEL_ASSIGN_OR_RETURN(int32_t subtype, reader.read_i32());
  KORVEL_ASSIGN_OR_RETURN(int32_t size, reader.read_i32());
  KORVEL_ASSIGN_OR_RETURN(int32_t count, reader.read_i32());
  // Both factors are checked: two negative ones would multiply to a plausible length.
  if (size < 0 || count < 0) {
    return SpssError::invalid_variable(
        "negative element size or count in type 7 subtype " + std::to_string(subtype) +
        " record (size " + std::to_string(size) + ", count " + std::to_string(count) + ")");
  }
  const uint64_t len = static_cast<uint64_t>(size) * static_cast<uint64_t>(count);
  if (len > reader.remaining()) return SpssError::unexpected_eof();
  if (!is_parsed_subtype(subtype)) return reader.skip(len);

  // Every parsed subtype consumes exactly its declared body, whatever its contents, so that
  // a record of unusual size never misaligns the records after it.
  KORVEL_ASSIGN_OR_RETURN(Bytes body, reader.read_bytes(len));
  const bool swap = reader.swap_bytes();
  switch (subtype) {
    case sav::kExtMachineIntegers:
      raw.integer_info = parse_integer_info(body, swap);
      break;
    case sav::kExtMachineFloats:
      raw.float_info = parse_float_info(body, swap);
      break;
    case sav::kExtMrSets:
    case sav::kExtMrSetsV2:
      raw.mr_sets_body = std::move(body);
      raw.mr_sets_v2 = subtype == sav::kExtMrSetsV2;
      break;
    case sav::kExtDisplayParams:
      raw.display_entries = parse_display_params(body, count, swap);
      break;
    case sav::kExtLongNames:
      raw.long_names_body = std::move(body);
      break;
    case sav::kExtVeryLongStrings:
      raw.very_long_strings_body = std::move(body);
      break;
    case sav::kExtVariableAttributes:
      raw.variable_attributes_body = std::move(body);
      break;
    case sav::kExtEncodingName:
      raw.encoding_name = parse_encoding_name(body);
      break;
    case sav::kExtLongStringLabels:
      raw.long_string_labels = parse_long_string_labels(body, swap);
      break;
    case sav::kExtLongStringMissing:
      raw.long_string_missing = parse_long_string_missing(body, swap);
      break;
    default:
      break;
  }
  return Ok{};
}

}  // namespace

Result<RawDictionary> parse_dictionary(SavReader& reader, const FileHeader& header) {
  RawDictionary raw;
  raw.header = header;
  for (;;) {
    const uint64_t offset = reader.position();
    KORVEL_ASSIGN_OR_RETURN(int32_t type, reader.read_i32());
    switch (type) {
      case sav::kRecordVariable: {
        KORVEL_ASSIGN_OR_RETURN(VariableRecord v,
                                read_variable_record(reader, raw.variables.size()));
        raw.variables.push_back(std::move(v));
        break;
      }
      case sav::kRecordValueLabels: {
        KORVEL_ASSIGN_OR_RETURN(ValueLabelSet set, read_value_label_set(reader));
        raw.value_label_sets.push_back(std::move(set));
        break;
      }
      case sav::kRecordDocument:
        KORVEL_TRY(read_documents(reader, raw.documents));
        break;
      case sav::kRecordExtension:
        KORVEL_TRY(read_extension(reader, raw));
        break;
      case sav::kRecordTermination: {
        uint8_t filler[4];
        KORVEL_TRY(reader.read_exact(filler, 4));
        return raw;
      }
      default:
        return SpssError::unexpected_record_type(type, offset);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Resolution

std::string clean_label(std::string text) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  for (;;) {
    if (!text.empty() && text.back() == ' ') {
      text.pop_back();
    } else if (text.size() >= 3 && std::string_view(text).substr(text.size() - 3) == kReplacement) {
      text.resize(text.size() - 3);
    } else {
      return text;
    }
  }
}

encoding::Encoding choose_encoding(const std::optional<std::string>& encoding_name,
                                   const std::optional<IntegerInfo>& integer_info) {
  if (encoding_name) {
    std::string_view name = trim_unicode_whitespace(*encoding_name);
    if (name.empty()) return encoding::Encoding::windows_1252;
    return encoding::encoding_for_label(ascii_lower(name))
        .value_or(encoding::Encoding::windows_1252);
  }
  if (integer_info) return encoding::encoding_for_character_code(integer_info->character_code);
  return encoding::Encoding::windows_1252;
}

namespace {

std::optional<uint32_t> parse_u32_plus(std::string_view s) {
  auto v = parse_unsigned_plus(s, UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

// The header stores two digits of the year: 70 to 99 are 1970 to 1999 and 00 to 69 are 2000
// to 2069, as SPSS and PSPP read them. Other numbers (a year of three or more digits among
// them) count from 2000, and a year that is no number is 2000.
uint64_t creation_year(std::string_view text) {
  const uint64_t year = parse_u32_plus(text).value_or(0);
  return year >= 70 && year <= 99 ? 1900 + year : 2000 + year;
}

}  // namespace

std::string format_creation_time(std::string_view date, std::string_view time) {
  static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
  std::vector<std::string_view> pieces = split_unicode_whitespace(date);
  if (pieces.size() == 3) {
    auto day = parse_u32_plus(pieces[0]);
    unsigned month = 0;
    if (pieces[1].size() == 3) {
      std::string lower = ascii_lower(pieces[1]);
      for (unsigned m = 0; m < 12; ++m) {
        if (lower == kMonths[m]) month = m + 1;
      }
    }
    if (day && *day != 0 && month != 0) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%04llu-%02u-%02u ",
                    static_cast<unsigned long long>(creation_year(pieces[2])), month, *day);
      return std::string(buf) + std::string(time);
    }
  }
  std::string out(date);
  out += ' ';
  out += time;
  return out;
}

size_t slots_occupied(const VarType& type, size_t n_segments) {
  if (!type.is_string) return 1;
  const size_t w = type.width;
  if (n_segments <= 1) return sav::slots_for_bytes(w);
  const size_t before = sav::kSegmentDataBytes * (n_segments - 1);
  const size_t last = w > before ? w - before : 0;
  return sav::kSegmentSlots * (n_segments - 1) + sav::slots_for_bytes(last);
}

namespace {

using Records = std::vector<VariableRecord>;
using NameMap = std::unordered_map<std::string, std::string>;

// Segments of a very long string of `width` bytes, counted at the data bytes of a segment.
size_t very_long_segments(size_t width) {
  return (width + sav::kSegmentDataBytes - 1) / sav::kSegmentDataBytes;
}

void decode_short_names(Records& vars, encoding::Encoding enc) {
  for (VariableRecord& v : vars) {
    v.short_name = to_upper_unicode(decode_name_text(as_chars(v.raw_name), enc));
    v.name = v.short_name;
  }
}

// Every record, continuations included, whose short name the subtype-13 record lists.
void apply_long_names(Records& vars, const Bytes& body, encoding::Encoding enc) {
  NameMap long_names;
  for (auto& [short_name, long_name] : parse_long_names(body, enc)) {
    long_names.insert_or_assign(short_name, long_name);
  }
  for (VariableRecord& v : vars) {
    auto it = long_names.find(v.short_name);
    if (it != long_names.end()) v.name = it->second;
  }
}

// Very long strings: the first segment takes the full width; the next records that are not
// continuations become its further segments. A record already taken as a segment is never
// widened itself, even when its short name has an entry: widening it would take the next
// column as its segment and drop that column.
void fold_very_long_strings(Records& vars, const Bytes& body, encoding::Encoding enc) {
  std::unordered_map<std::string, size_t> widths;
  for (auto& [short_name, width] : parse_very_long_strings(body, enc)) {
    widths.insert_or_assign(short_name, width);
  }
  for (size_t i = 0; i < vars.size(); ++i) {
    VariableRecord& v = vars[i];
    if (v.skip) continue;
    auto it = widths.find(v.short_name);
    if (it == widths.end()) continue;
    v.var_type = VarType::string(it->second);
    v.n_segments = very_long_segments(it->second);
    size_t counted = 1;
    for (size_t j = i + 1; j < vars.size() && counted < v.n_segments; ++j) {
      if (!vars[j].skip) {
        vars[j].skip = true;
        ++counted;
      }
    }
  }
}

// Shortens a string column whose declared width needs more slots than the row has left from
// its first slot, so that no column reaches past the end of a case row and its width says
// what the file stores.
void fit_to_row(VariableRecord& v, size_t slots_per_row) {
  if (!v.var_type.is_string) return;
  const size_t avail = slots_per_row - v.slot_index;
  if (slots_occupied(v.var_type, v.n_segments) <= avail) return;
  size_t w = v.var_type.width;
  if (v.n_segments <= 1) {
    w = std::min(w, sav::kSlotBytes * avail);
  } else {
    const size_t n = std::min(v.n_segments, (avail - 1) / sav::kSegmentSlots + 1);
    const size_t last =
        std::min(sav::kSegmentDataBytes, sav::kSlotBytes * (avail - sav::kSegmentSlots * (n - 1)));
    w = std::min(w, sav::kSegmentDataBytes * (n - 1) + last);
    v.n_segments = very_long_segments(w);
  }
  v.var_type.width = w;
}

// Every record but a plain continuation consumes one entry, segments of very long strings
// included; only records that stay columns take theirs.
void apply_display_entries(Records& vars, const std::vector<VarDisplayEntry>& entries) {
  size_t d = 0;
  for (VariableRecord& v : vars) {
    if (v.type_code == sav::kContinuationType) continue;
    if (d < entries.size() && !v.skip) {
      v.measure = entries[d].measure;
      v.display_width = entries[d].width;
      v.alignment = entries[d].alignment;
    }
    ++d;
  }
}

std::string unique_name(const std::string& name, size_t k) {
  return name + "_" + std::to_string(k);
}

// Gives every column after the first of a name the name with "_2", "_3", ... appended: the
// first such name that no column has, so that every column keeps its own metadata.
void make_names_unique(Records& vars) {
  std::unordered_set<std::string> taken;
  for (const VariableRecord& v : vars) {
    if (!v.skip) taken.insert(v.name);
  }
  std::unordered_set<std::string> seen;
  for (VariableRecord& v : vars) {
    if (v.skip || seen.insert(v.name).second) continue;
    size_t k = 2;
    while (taken.count(unique_name(v.name, k))) ++k;
    v.name = unique_name(v.name, k);
    taken.insert(v.name);
    seen.insert(v.name);
  }
}

// The header's texts: valid UTF-8 as it stands, else the file's encoding, like the names.
void set_file_fields(SpssMetadata& md, const RawDictionary& raw, encoding::Encoding enc) {
  const FileHeader& header = raw.header;
  md.file_label = decode_name_text(header.raw_file_label, enc);
  md.creation_time = format_creation_time(decode_name_text(header.raw_creation_date, enc),
                                          decode_name_text(header.raw_creation_time, enc));
  if (header.ncases >= 0) md.number_rows = header.ncases;
  md.file_format = header.compression == Compression::Zlib ? "zsav" : "sav";
  md.compression = header.compression;
  md.notes.reserve(raw.documents.size());
  for (const Bytes& line : raw.documents) md.notes.push_back(decode_text(as_chars(line), enc));
}

std::vector<MissingSpec> missing_specs(const MissingValues& mv) {
  std::vector<MissingSpec> specs;
  switch (mv.kind) {
    case MissingValues::Kind::None:
      break;
    case MissingValues::Kind::Discrete:
      for (double d : mv.numbers) specs.push_back(MissingSpec::discrete(d));
      break;
    case MissingValues::Kind::Range:
      specs.push_back(MissingSpec::range(mv.numbers[0], mv.numbers[1]));
      break;
    case MissingValues::Kind::RangeAndValue:
      specs.push_back(MissingSpec::range(mv.numbers[0], mv.numbers[1]));
      specs.push_back(MissingSpec::discrete(mv.numbers[2]));
      break;
    case MissingValues::Kind::Strings:
      for (const auto& s : mv.strings) {
        std::string text = bytes_to_string_lossy(
            std::string_view(reinterpret_cast<const char*>(s.data()), s.size()));
        specs.push_back(
            MissingSpec::discrete_string(std::string(trim_unicode_whitespace_end(text))));
      }
      break;
  }
  return specs;
}

// The per-variable entries of one column.
void describe_variable(SpssMetadata& md, const VariableRecord& v, encoding::Encoding enc) {
  const std::string& name = v.name;
  const bool very_long = v.var_type.is_string && v.var_type.width > sav::kMaxShortStringWidth;
  if (v.label) {
    std::string label = clean_label(decode_text(as_chars(*v.label), enc));
    if (!label.empty()) md.variable_labels.insert(name, std::move(label));
  }
  if (v.print_format.format_type != 0) {
    md.variable_formats.insert(
        name, very_long ? std::string(format_type_name(v.print_format.format_type)) +
                              std::to_string(v.var_type.width)
                        : *v.print_format.to_string());
  }
  md.arrow_data_types.insert(
      name, std::string(arrow_data_type_name(column_type(v.var_type, v.print_format.format_type))));
  md.variable_measures.insert(name, v.measure);
  md.variable_alignments.insert(name, v.alignment);
  uint32_t display = v.display_width;
  if (very_long && display == 0) {
    display = static_cast<uint32_t>(std::min<size_t>(v.var_type.width, UINT32_MAX));
  }
  md.variable_display_widths.insert(name, display);
  size_t storage = sav::kSlotBytes;
  if (v.var_type.is_string) {
    storage =
        very_long ? v.var_type.width : sav::slots_for_bytes(v.var_type.width) * sav::kSlotBytes;
  }
  md.variable_storage_widths.insert(name, storage);
  std::vector<MissingSpec> specs = missing_specs(v.missing_values);
  if (!specs.empty()) md.variable_missing_values.insert(name, std::move(specs));
}

// The column names in order, and for every column its short name to its name (of two columns
// with one short name the later counts).
NameMap describe_variables(SpssMetadata& md, const Records& vars, encoding::Encoding enc) {
  NameMap short_to_name;
  for (const VariableRecord& v : vars) {
    if (v.skip) continue;
    md.variable_names.push_back(v.name);
    short_to_name.insert_or_assign(v.short_name, v.name);
  }
  md.number_columns = md.variable_names.size();
  for (const VariableRecord& v : vars) {
    if (!v.skip) describe_variable(md, v, enc);
  }
  return short_to_name;
}

// The column whose first slot the header names. An index at a continuation or a segment names
// no column, so there is no weight rather than a weight that is no column.
std::optional<std::string> weight_variable(int32_t weight_index, const Records& vars) {
  if (weight_index <= 0) return std::nullopt;
  const auto slot = static_cast<size_t>(weight_index) - 1;
  if (slot < vars.size() && !vars[slot].skip) return vars[slot].name;
  return std::nullopt;
}

double number_from_raw(const RawValue& raw, bool swap) {
  uint64_t bits;
  std::memcpy(&bits, raw.data(), sizeof bits);
  return std::bit_cast<double>(swap ? __builtin_bswap64(bits) : bits);
}

// Type-3/type-4 sets, by slot: the first slot's storage decides whether the keys are numbers
// or text; indices at continuations, segments or no record at all are ignored.
void apply_value_label_sets(SpssMetadata& md, const RawDictionary& raw, const Records& vars,
                            encoding::Encoding enc) {
  for (const ValueLabelSet& set : raw.value_label_sets) {
    const bool strings = !set.variable_indices.empty() && set.variable_indices[0] < vars.size() &&
                         vars[set.variable_indices[0]].var_type.is_string;
    ValueLabels labels;
    labels.reserve(set.labels.size());
    for (const auto& [value, label] : set.labels) {
      Value key = strings ? Value::string(decode_text(
                                trim_trailing_padding(std::string_view(
                                    reinterpret_cast<const char*>(value.data()), value.size())),
                                enc))
                          : Value::number(number_from_raw(value, raw.header.swap_bytes));
      labels.insert(std::move(key), clean_label(decode_text(as_chars(label), enc)));
    }
    for (size_t index : set.variable_indices) {
      if (index < vars.size() && !vars[index].skip) {
        md.variable_value_labels.insert(vars[index].name, labels);
      }
    }
  }
}

std::string decode_var_name(const Bytes& name, encoding::Encoding enc) {
  return std::string(trim_unicode_whitespace(decode_name_text(as_chars(name), enc)));
}

// Value labels of long strings, under the name as written.
void apply_long_string_labels(SpssMetadata& md, const RawDictionary& raw, encoding::Encoding enc) {
  for (const LongStringLabelSet& set : raw.long_string_labels) {
    ValueLabels labels;
    for (const auto& [value, label] : set.labels) {
      labels.insert(Value::string(decode_text(trim_trailing_padding(value), enc)),
                    clean_label(decode_text(as_chars(label), enc)));
    }
    if (!labels.empty()) {
      md.variable_value_labels.insert(decode_var_name(set.var_name, enc), std::move(labels));
    }
  }
}

// Missing values of long strings, under the column of that short name, else the name as
// written.
void apply_long_string_missing(SpssMetadata& md, const RawDictionary& raw,
                               const NameMap& short_to_name, encoding::Encoding enc) {
  for (const LongStringMissingEntry& entry : raw.long_string_missing) {
    if (entry.values.empty()) continue;
    std::vector<MissingSpec> specs;
    specs.reserve(entry.values.size());
    for (const Bytes& value : entry.values) {
      specs.push_back(MissingSpec::discrete_string(decode_text(trim_trailing_padding(value), enc)));
    }
    std::string var_name = decode_var_name(entry.var_name, enc);
    auto it = short_to_name.find(var_name);
    md.variable_missing_values.insert(it != short_to_name.end() ? it->second : var_name,
                                      std::move(specs));
  }
}

// Value labels in column order; labels for names that are no column are dropped.
void order_value_labels(SpssMetadata& md) {
  VarMap<ValueLabels> ordered;
  for (const std::string& name : md.variable_names) {
    if (ordered.contains(name)) continue;
    if (ValueLabels* labels = md.variable_value_labels.find(name)) {
      ordered.insert(name, std::move(*labels));
    }
  }
  md.variable_value_labels = std::move(ordered);
}

// Members of subtype-19 sets are full names, matched exactly or else in ASCII case (the first
// such column in dictionary order); members of subtype-7 sets are short names.
void resolve_mr_sets(SpssMetadata& md, const RawDictionary& raw, const NameMap& short_to_name,
                     encoding::Encoding enc) {
  std::unordered_set<std::string> names(md.variable_names.begin(), md.variable_names.end());
  NameMap folded;
  for (const std::string& name : md.variable_names) folded.emplace(ascii_lower(name), name);
  for (const RawMrSet& set : parse_mr_sets_inner(raw.mr_sets_body, raw.mr_sets_v2, enc)) {
    MrSet m;
    m.name = set.name;
    m.label = set.label;
    m.mr_type = set.mr_type;
    if (set.mr_type == MrType::Dichotomy) m.counted_value = set.counted_value;
    for (const std::string& token : set.variables) {
      if (set.is_v2) {
        if (names.count(token)) {
          m.variables.push_back(token);
        } else if (auto it = folded.find(ascii_lower(token)); it != folded.end()) {
          m.variables.push_back(it->second);
        }
      } else if (auto it = short_to_name.find(to_upper_unicode(token)); it != short_to_name.end()) {
        m.variables.push_back(it->second);
      }
    }
    if (m.variables.empty()) continue;
    md.mr_sets.insert(set.name, std::move(m));
  }
}

std::optional<Role> role_from_attribute(std::string_view value) {
  value = trim_unicode_whitespace(value);
  if (value.size() != 1 || value[0] < '0' || value[0] > '5') return std::nullopt;
  return static_cast<Role>(value[0] - '0');
}

// Attributes and roles, under the column of that short name (as written, then upper-cased),
// else the name as written.
void apply_attributes(SpssMetadata& md, const RawDictionary& raw, const NameMap& short_to_name,
                      encoding::Encoding enc) {
  for (const VarAttributeSet& set : parse_var_attributes(raw.variable_attributes_body, enc)) {
    std::string name = set.name;
    if (auto it = short_to_name.find(set.name); it != short_to_name.end()) {
      name = it->second;
    } else if (auto up = short_to_name.find(to_upper_unicode(set.name));
               up != short_to_name.end()) {
      name = up->second;
    }
    for (const auto& [attr, values] : set.attributes) {
      if (attr == "$@Role" && !values.empty()) {
        if (auto role = role_from_attribute(values[0])) md.variable_roles.insert(name, *role);
        continue;
      }
      auto* attrs = md.variable_attributes.find(name);
      if (!attrs) {
        md.variable_attributes.insert(name, {});
        attrs = md.variable_attributes.find(name);
      }
      attrs->insert(attr, values);
    }
  }
}

}  // namespace

ResolvedDictionary resolve_dictionary(RawDictionary raw) {
  ResolvedDictionary out;
  SpssMetadata& md = out.metadata;
  Records& vars = raw.variables;
  out.slots_per_row = vars.size();

  // The encoding comes first: names and every other text are decoded in it.
  const encoding::Encoding enc = choose_encoding(raw.encoding_name, raw.integer_info);
  out.encoding = enc;
  md.file_encoding = std::string(encoding::encoding_name(enc));

  // Names, widths and display entries of the records; each step sees the records as the one
  // before left them. Very long strings look records up by short name and mark their segments,
  // which decides which records are columns: the row fit, the display entries and the unique
  // names apply to those.
  decode_short_names(vars, enc);
  apply_long_names(vars, raw.long_names_body, enc);
  fold_very_long_strings(vars, raw.very_long_strings_body, enc);
  for (VariableRecord& v : vars) {
    if (!v.skip) fit_to_row(v, out.slots_per_row);
  }
  apply_display_entries(vars, raw.display_entries);
  make_names_unique(vars);

  // The metadata. Everything after the columns refers to them by their final names.
  set_file_fields(md, raw, enc);
  const NameMap short_to_name = describe_variables(md, vars, enc);
  md.weight_variable = weight_variable(raw.header.weight_index, vars);
  apply_value_label_sets(md, raw, vars, enc);
  apply_long_string_labels(md, raw, enc);
  apply_long_string_missing(md, raw, short_to_name, enc);
  order_value_labels(md);  // after every step that adds value labels
  resolve_mr_sets(md, raw, short_to_name, enc);
  apply_attributes(md, raw, short_to_name, enc);

  out.variables.reserve(md.number_columns);
  for (VariableRecord& v : vars) {
    if (!v.skip) out.variables.push_back(std::move(v));
  }
  out.header = std::move(raw.header);
  return out;
}

}  // namespace korvel
