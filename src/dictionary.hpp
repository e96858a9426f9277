// The file dictionary: the record loop that reads every record up to the termination record,
// and the resolution of those records into metadata, a column list and an encoding.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/encoding.hpp"
#include "error.hpp"
#include "header.hpp"
#include "info_records/display_params.hpp"
#include "info_records/long_string_labels.hpp"
#include "info_records/long_string_missing.hpp"
#include "info_records/machine_info.hpp"
#include "io_utils.hpp"
#include "metadata.hpp"
#include "value_labels.hpp"
#include "variable.hpp"

namespace korvel {

// The records as they stand in the file. Of two extension records of one kind the later
// replaces the earlier (subtypes 7 and 19 share `mr_sets_body`); documents accumulate.
//
// Names and the text-valued bodies stay undecoded: the encoding they may need is known only
// once every record has been read (subtype 20 usually follows the variable records), so
// resolution decodes and parses them.
struct RawDictionary {
  FileHeader header;
  std::vector<VariableRecord> variables;  // one per type-2 record, continuations included
  std::vector<ValueLabelSet> value_label_sets;
  std::vector<Bytes> documents;  // lines, trailing padding removed, undecoded
  std::optional<IntegerInfo> integer_info;
  std::optional<FloatInfo> float_info;
  std::vector<VarDisplayEntry> display_entries;
  Bytes long_names_body;           // subtype 13
  Bytes very_long_strings_body;    // subtype 14
  Bytes mr_sets_body;              // subtype 7 or 19, whichever came last
  bool mr_sets_v2 = false;         // `mr_sets_body` came from subtype 19
  Bytes variable_attributes_body;  // subtype 18
  std::optional<std::string> encoding_name;
  std::vector<LongStringLabelSet> long_string_labels;
  std::vector<LongStringMissingEntry> long_string_missing;
};

// Reads the records that follow the header, up to and including the termination record; the
// reader is left at the first byte of the case data.
//
// Malformed structure fails: an unknown record type, a type-3 record not followed by a valid
// type-4 record, a negative count or length ("negative label length -1 in type 2 record" and
// the like, as invalid-variable or, for types 3 and 4, invalid-value-label errors), and a count
// or length that needs more bytes than the input has left ("I/O error: failed to fill whole
// buffer", raised before anything is allocated for it). Malformed extension contents are
// skipped.
Result<RawDictionary> parse_dictionary(SavReader& reader, const FileHeader& header);

struct ResolvedDictionary {
  SpssMetadata metadata;
  FileHeader header;  // as read; its nominal_case_size plays no part in the row layout
  // The columns in dictionary order, one per entry of metadata.variable_names. Every column's
  // slots, segments included, lie inside the row.
  std::vector<VariableRecord> variables;
  encoding::Encoding encoding = encoding::Encoding::windows_1252;
  // Slots of one case row: the number of type-2 records. Other writers often store -1 or 0
  // as the header's nominal case size, so that field is never used for this.
  size_t slots_per_row = 0;
};

// Interprets the records together. Never fails: references that lead nowhere are dropped.
//
// Column names are unique: a column whose name an earlier column already has is renamed to
// that name with "_2" appended, or "_3", ..., the first that no column has ("Q1", "Q1" and
// "Q1_2" become "Q1", "Q1_3" and "Q1_2"), so that every column keeps its own metadata.
// The header's file label, creation date and creation time are read as UTF-8 when they are
// valid UTF-8, else in the file's encoding, like the names.
ResolvedDictionary resolve_dictionary(RawDictionary raw);

// The decoding of texts stored in the file's encoding: valid UTF-8 in a UTF-8 file stands
// as it is; otherwise a byte-order mark selects UTF-8/UTF-16 and is removed, or `e` decodes.
// Malformed sequences become U+FFFD.
inline std::string decode_text(std::string_view bytes, encoding::Encoding e) {
  std::string out;
  encoding::decode_text_append(e, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                               out);
  return out;
}

// Removes every trailing space and U+FFFD (the remains of a cut multi-byte character).
std::string clean_label(std::string text);

// The encoding of a file's texts: a subtype-20 name if present (a name the encoding standard
// does not know, or an empty one, gives windows-1252), else the integer info's character code,
// else windows-1252.
encoding::Encoding choose_encoding(const std::optional<std::string>& encoding_name,
                                   const std::optional<IntegerInfo>& integer_info);

// The creation time text from the header's date and time: "2024-03-05 14:30:00" for
// "05 Mar 24" and "14:30:00", "1996-04-30 ..." for "30 Apr 96" (two-digit years 70 to 99
// are 19yy); a date of another shape gives the date, a space and the time.
std::string format_creation_time(std::string_view date, std::string_view time);

// Slots a string of `width` bytes in `n_segments` segments occupies from its first slot: every
// segment but the last takes 32 slots (255 bytes), the last holds the rest of the width at 252
// bytes per earlier segment. A numeric variable takes 1.
size_t slots_occupied(const VarType& type, size_t n_segments);

}  // namespace korvel
