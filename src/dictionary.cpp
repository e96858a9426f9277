#include "dictionary.hpp"

#include <algorithm>
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

namespace korvel {

namespace {

constexpr size_t kDocumentLineBytes = 80;

Status read_documents(SavReader& reader, std::vector<Bytes>& documents) {
  KORVEL_ASSIGN_OR_RETURN(int32_t n, reader.read_i32());
  if (n < 0) {
    return SpssError::invalid_variable("negative line count " + std::to_string(n) +
                                       " in type 6 record");
  }
  if (static_cast<uint64_t>(n) > reader.remaining() / kDocumentLineBytes) {
    return SpssError::unexpected_eof();
  }
  documents.reserve(documents.size() + static_cast<size_t>(n));
  uint8_t line[kDocumentLineBytes];
  for (int32_t i = 0; i < n; ++i) {
    KORVEL_TRY(reader.read_exact(line, kDocumentLineBytes));
    std::string_view kept =
        trim_trailing_padding(std::string_view(reinterpret_cast<char*>(line), sizeof line));
    documents.emplace_back(kept.begin(), kept.end());
  }
  return Ok{};
}

bool is_parsed_subtype(int32_t subtype) {
  switch (subtype) {
    case 3:
    case 4:
    case 7:
    case 11:
    case 13:
    case 14:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:
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
    case 3:
      raw.integer_info = parse_integer_info(body, swap);
      break;
    case 4:
      raw.float_info = parse_float_info(body, swap);
      break;
    case 7:
    case 19:
      raw.mr_sets_body = std::move(body);
      raw.mr_sets_v2 = subtype == 19;
      break;
    case 11:
      raw.display_entries = parse_display_params(body, count, swap);
      break;
    case 13:
      raw.long_names_body = std::move(body);
      break;
    case 14:
      raw.very_long_strings_body = std::move(body);
      break;
    case 18:
      raw.variable_attributes_body = std::move(body);
      break;
    case 20:
      raw.encoding_name = parse_encoding_name(body);
      break;
    case 21:
      raw.long_string_labels = parse_long_string_labels(body, swap);
      break;
    case 22:
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
      case 2: {
        KORVEL_ASSIGN_OR_RETURN(VariableRecord v,
                                read_variable_record(reader, raw.variables.size()));
        raw.variables.push_back(std::move(v));
        break;
      }
      case 3: {
        KORVEL_ASSIGN_OR_RETURN(ValueLabelSet set, read_value_label_set(reader));
        raw.value_label_sets.push_back(std::move(set));
        break;
      }
      case 6:
        KORVEL_TRY(read_documents(reader, raw.documents));
        break;
      case 7:
        KORVEL_TRY(read_extension(reader, raw));
        break;
      case 999: {
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
  auto v = parse_unsigned_plus(s);
  if (!v || *v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*v);
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
      uint64_t year = 2000 + static_cast<uint64_t>(parse_u32_plus(pieces[2]).value_or(0));
      char buf[64];
      std::snprintf(buf, sizeof buf, "%04llu-%02u-%02u ", static_cast<unsigned long long>(year),
                    month, *day);
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
  if (n_segments <= 1) return (w + 7) / 8;
  const size_t before = 252 * (n_segments - 1);
  const size_t last = w > before ? w - before : 0;
  return 32 * (n_segments - 1) + (last + 7) / 8;
}

namespace {

// Shortens a string column whose declared width needs more slots than the row has left from
// its first slot, so that no column reaches past the end of a case row.
void fit_to_row(VariableRecord& v, size_t slots_per_row) {
  if (!v.var_type.is_string) return;
  const size_t avail = slots_per_row - v.slot_index;
  if (slots_occupied(v.var_type, v.n_segments) <= avail) return;
  size_t w = v.var_type.width;
  if (v.n_segments <= 1) {
    w = std::min(w, 8 * avail);
  } else {
    const size_t n = std::min(v.n_segments, (avail - 1) / 32 + 1);
    const size_t last = std::min<size_t>(252, 8 * (avail - 32 * (n - 1)));
    w = std::min(w, 252 * (n - 1) + last);
    v.n_segments = (w + 251) / 252;
  }
  v.var_type.width = w;
}

double number_from_raw(const RawValue& raw, bool swap) {
  uint64_t bits;
  std::memcpy(&bits, raw.data(), 8);
  if (swap) bits = __builtin_bswap64(bits);
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

std::string_view chars(const Bytes& b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

std::optional<Role> role_from_attribute(std::string_view value) {
  value = trim_unicode_whitespace(value);
  if (value.size() != 1 || value[0] < '0' || value[0] > '5') return std::nullopt;
  return static_cast<Role>(value[0] - '0');
}

}  // namespace

ResolvedDictionary resolve_dictionary(RawDictionary raw) {
  ResolvedDictionary out;
  SpssMetadata& md = out.metadata;
  std::vector<VariableRecord>& vars = raw.variables;
  const FileHeader& header = raw.header;
  out.slots_per_row = vars.size();

  // Character encoding.
  const encoding::Encoding enc = choose_encoding(raw.encoding_name, raw.integer_info);
  out.encoding = enc;
  md.file_encoding = std::string(encoding::encoding_name(enc));
  auto decode = [enc](std::string_view bytes) { return decode_text(bytes, enc); };

  for (VariableRecord& v : vars) {
    v.short_name = to_upper_unicode(decode_name_text(chars(v.raw_name), enc));
    v.name = v.short_name;
  }

  // Long names, for every record.
  {
    std::unordered_map<std::string, std::string> long_names;
    for (auto& [short_name, long_name] : parse_long_names(raw.long_names_body, enc)) {
      long_names.insert_or_assign(short_name, long_name);
    }
    for (VariableRecord& v : vars) {
      auto it = long_names.find(v.short_name);
      if (it != long_names.end()) v.name = it->second;
    }
  }

  // Very long strings: the first segment takes the full width; the next records that are not
  // continuations become its further segments. A record already taken as a segment is never
  // widened itself, even when its short name collides with an entry.
  {
    std::unordered_map<std::string, size_t> widths;
    for (auto& [short_name, width] : parse_very_long_strings(raw.very_long_strings_body, enc)) {
      widths.insert_or_assign(short_name, width);
    }
    for (size_t i = 0; i < vars.size(); ++i) {
      VariableRecord& v = vars[i];
      if (v.skip) continue;
      auto it = widths.find(v.short_name);
      if (it == widths.end()) continue;
      v.var_type = VarType::string(it->second);
      v.n_segments = it->second / 252 + (it->second % 252 != 0 ? 1 : 0);
      size_t counted = 1;
      for (size_t j = i + 1; j < vars.size() && counted < v.n_segments; ++j) {
        if (!vars[j].skip) {
          vars[j].skip = true;
          ++counted;
        }
      }
    }
  }
  for (VariableRecord& v : vars) {
    if (!v.skip) fit_to_row(v, out.slots_per_row);
  }

  // Display entries: every record but a plain continuation consumes one.
  {
    size_t d = 0;
    for (VariableRecord& v : vars) {
      if (v.type_code == -1) continue;
      if (d < raw.display_entries.size() && !v.skip) {
        const VarDisplayEntry& e = raw.display_entries[d];
        v.measure = e.measure;
        v.display_width = e.width;
        v.alignment = e.alignment;
      }
      ++d;
    }
  }

  // File-level fields.
  md.file_label = header.file_label;
  md.creation_time = format_creation_time(header.creation_date, header.creation_time);
  if (header.ncases >= 0) md.number_rows = header.ncases;
  md.file_format = header.compression == Compression::Zlib ? "zsav" : "sav";
  md.compression = header.compression;
  md.notes.reserve(raw.documents.size());
  for (const Bytes& line : raw.documents) md.notes.push_back(decode(chars(line)));

  // Variables.
  std::unordered_map<std::string, std::string> short_to_name;
  std::unordered_set<std::string> names;
  for (const VariableRecord& v : vars) {
    if (v.skip) continue;
    md.variable_names.push_back(v.name);
    short_to_name.insert_or_assign(v.short_name, v.name);
    names.insert(v.name);
  }
  md.number_columns = md.variable_names.size();
  for (const VariableRecord& v : vars) {
    if (v.skip) continue;
    const std::string& name = v.name;
    if (v.label) {
      std::string label = clean_label(decode(chars(*v.label)));
      if (!label.empty()) md.variable_labels.insert(name, std::move(label));
    }
    if (v.print_format.format_type != 0) {
      if (v.var_type.is_string && v.var_type.width > 255) {
        md.variable_formats.insert(name, std::string(format_type_name(v.print_format.format_type)) +
                                             std::to_string(v.var_type.width));
      } else {
        md.variable_formats.insert(name, *v.print_format.to_string());
      }
    }
    md.arrow_data_types.insert(
        name,
        std::string(arrow_data_type_name(column_type(v.var_type, v.print_format.format_type))));
    md.variable_measures.insert(name, v.measure);
    md.variable_alignments.insert(name, v.alignment);
    uint32_t display = v.display_width;
    if (v.var_type.is_string && v.var_type.width > 255 && display == 0) {
      display = static_cast<uint32_t>(std::min<size_t>(v.var_type.width, UINT32_MAX));
    }
    md.variable_display_widths.insert(name, display);
    size_t storage = 8;
    if (v.var_type.is_string) {
      storage = v.var_type.width < 256 ? (v.var_type.width + 7) / 8 * 8 : v.var_type.width;
    }
    md.variable_storage_widths.insert(name, storage);

    const MissingValues& mv = v.missing_values;
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
    if (!specs.empty()) md.variable_missing_values.insert(name, std::move(specs));
  }

  // Weight: the column whose first slot the header names.
  if (header.weight_index > 0) {
    const auto slot = static_cast<size_t>(header.weight_index) - 1;
    if (slot < vars.size() && !vars[slot].skip) md.weight_variable = vars[slot].name;
  }

  // Value labels of type-3/type-4 sets.
  for (const ValueLabelSet& set : raw.value_label_sets) {
    const bool strings = !set.variable_indices.empty() && set.variable_indices[0] < vars.size() &&
                         vars[set.variable_indices[0]].var_type.is_string;
    ValueLabels labels;
    labels.reserve(set.labels.size());
    for (const auto& [value, label] : set.labels) {
      Value key = strings ? Value::string(decode(trim_trailing_padding(std::string_view(
                                reinterpret_cast<const char*>(value.data()), value.size()))))
                          : Value::number(number_from_raw(value, header.swap_bytes));
      labels.insert(std::move(key), clean_label(decode(chars(label))));
    }
    for (size_t index : set.variable_indices) {
      if (index < vars.size() && !vars[index].skip) {
        md.variable_value_labels.insert(vars[index].name, labels);
      }
    }
  }

  auto decode_var_name = [enc](const Bytes& name) {
    return std::string(trim_unicode_whitespace(decode_name_text(chars(name), enc)));
  };

  // Value labels of long strings, under the name as written.
  for (const LongStringLabelSet& set : raw.long_string_labels) {
    ValueLabels labels;
    for (const auto& [value, label] : set.labels) {
      labels.insert(Value::string(decode(trim_trailing_padding(value))),
                    clean_label(decode(chars(label))));
    }
    if (!labels.empty()) {
      md.variable_value_labels.insert(decode_var_name(set.var_name), std::move(labels));
    }
  }

  // Missing values of long strings.
  for (const LongStringMissingEntry& entry : raw.long_string_missing) {
    if (entry.values.empty()) continue;
    std::vector<MissingSpec> specs;
    specs.reserve(entry.values.size());
    for (const Bytes& value : entry.values) {
      specs.push_back(MissingSpec::discrete_string(decode(trim_trailing_padding(value))));
    }
    std::string var_name = decode_var_name(entry.var_name);
    auto it = short_to_name.find(var_name);
    md.variable_missing_values.insert(it != short_to_name.end() ? it->second : var_name,
                                      std::move(specs));
  }

  // Value labels in column order; labels for names that are no column are dropped.
  {
    VarMap<ValueLabels> ordered;
    for (const std::string& name : md.variable_names) {
      if (ordered.contains(name)) continue;
      if (ValueLabels* labels = md.variable_value_labels.find(name)) {
        ordered.insert(name, std::move(*labels));
      }
    }
    md.variable_value_labels = std::move(ordered);
  }

  // Multiple-response sets.
  {
    // For full-name members that differ from a column name in ASCII case only: the first
    // such column in dictionary order.
    std::unordered_map<std::string, std::string> folded;
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
        } else if (auto it = short_to_name.find(to_upper_unicode(token));
                   it != short_to_name.end()) {
          m.variables.push_back(it->second);
        }
      }
      if (m.variables.empty()) continue;
      md.mr_sets.insert(set.name, std::move(m));
    }
  }

  // Attributes and roles.
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

  // The columns.
  out.variables.reserve(md.number_columns);
  for (VariableRecord& v : vars) {
    if (!v.skip) out.variables.push_back(std::move(v));
  }
  out.header = std::move(raw.header);
  return out;
}

}  // namespace korvel
