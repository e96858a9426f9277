// The header and the dictionary records of a written file, in the order the file holds them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "constants.hpp"
#include "error.hpp"
#include "metadata.hpp"
#include "writer/layout.hpp"
#include "writer/output.hpp"

namespace korvel {

// Header fields decided by the orchestration.
struct HeaderValues {
  Compression compression = Compression::Bytecode;
  size_t total_slots = 0;
  int32_t weight_index = 0;
  uint64_t rows = 0;          // above the 32-bit range the header says "unknown" (-1)
  std::string creation_date;  // 9 bytes, "dd Mmm yy"
  std::string creation_time;  // 8 bytes, "hh:mm:ss"
  std::string file_label;
};

Status write_header(SavWriteExt& out, const HeaderValues& h);
Status write_variable_records(SavWriteExt& out, const CaseLayout& layout);
Status write_value_labels(SavWriteExt& out, const CaseLayout& layout, const SpssMetadata& m);
Status write_document_record(SavWriteExt& out, const std::vector<std::string>& notes);

Status write_info_record_header(SavWriteExt& out, int32_t subtype, int32_t size, int32_t count);
Status write_info_integer(SavWriteExt& out);
Status write_info_float(SavWriteExt& out);
Status write_info_var_display(SavWriteExt& out, const CaseLayout& layout);
Status write_info_long_names(SavWriteExt& out, const CaseLayout& layout);
Status write_info_very_long_strings(SavWriteExt& out, const CaseLayout& layout);
Status write_info_encoding(SavWriteExt& out);
Status write_info_long_string_labels(SavWriteExt& out, const CaseLayout& layout,
                                     const SpssMetadata& m);
Status write_info_long_string_missing(SavWriteExt& out, const CaseLayout& layout,
                                      const SpssMetadata& m);
Status write_info_mr_sets(SavWriteExt& out, const SpssMetadata& m, const CaseLayout& layout);
Status write_info_mr_sets_v2(SavWriteExt& out, const SpssMetadata& m);
Status write_info_var_attributes(SavWriteExt& out, const SpssMetadata& m);
Status write_dict_termination(SavWriteExt& out);

// Every record from the header to the termination record.
Status write_dictionary(SavWriteExt& out, const HeaderValues& h, const CaseLayout& layout,
                        const SpssMetadata& m);

// Lines of at most 80 bytes holding a note; a longer note goes on over several lines, cut
// between UTF-8 characters.
std::vector<std::string> document_lines(const std::string& note);

// ("05 Mar 24", "14:30:00") from "2024-03-05 14:30:00", or nothing.
std::optional<std::pair<std::string, std::string>> parse_iso_to_spss_parts(std::string_view text);
// The present moment in UTC, in the same form.
std::pair<std::string, std::string> current_date_time();

}  // namespace korvel
