#include "case_source.hpp"

#include <limits>

namespace korvel {

namespace {

// Rows straight from the file.
class UncompressedSource final : public CaseSource {
 public:
  explicit UncompressedSource(std::unique_ptr<BufferedReader> reader)
      : reader_(std::move(reader)) {}

  Result<size_t> read_rows(uint8_t* dst, size_t max_rows, size_t slots_per_row) override {
    const size_t row_bytes = slots_per_row * 8;
    const size_t want = max_rows * row_bytes;
    size_t have = 0;
    while (have < want) {
      KORVEL_ASSIGN_OR_RETURN(size_t got, reader_->read_some(dst + have, want - have));
      if (got == 0) break;
      have += got;
    }
    // A final partial row is discarded.
    return have / row_bytes;
  }

  size_t max_rows_left(size_t slots_per_row) const override {
    return static_cast<size_t>(reader_->remaining() / (slots_per_row * 8));
  }

 private:
  std::unique_ptr<BufferedReader> reader_;
};

}  // namespace

Result<std::unique_ptr<CaseSource>> open_case_source(SavReader& reader, const FileHeader& header) {
  switch (header.compression) {
    case Compression::Uncompressed:
      return std::unique_ptr<CaseSource>(new UncompressedSource(reader.release_source()));
    case Compression::Bytecode:
    case Compression::Zlib:
      break;
  }
  return SpssError::unsupported_compression(static_cast<int32_t>(header.compression));
}

}  // namespace korvel
