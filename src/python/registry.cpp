#include "python/registry.hpp"
#include "python/diff.hpp"
#include "python/io.hpp"
#include "python/metadata_object.hpp"

namespace korvel::py {

const std::vector<Registration>& registrations() {
  static const std::vector<Registration> list = {
      {"_read_sav", read_sav_function},
      {"_read_sav_meta", read_sav_meta_function},
      {"_write_sav", write_sav_function},
      {"SpssMetadata", metadata_type},
      {"MetaDiff", metadiff_type},
      {"_ArrowData", arrow_data_type},
      {"_SavBatchReader", batch_reader_type},
  };
  return list;
}

}  // namespace korvel::py
