#include "case_source.hpp"

#include "compression/bytecode.hpp"
#include "compression/zlib_blocks.hpp"
#include "sav_format.hpp"

namespace korvel {

namespace {

// Rows straight from the file.
class UncompressedSource final : public CaseSource {
 public:
  explicit UncompressedSource(std::unique_ptr<BufferedReader> reader)
      : reader_(std::move(reader)) {}

  Result<size_t> read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows) override {
    return read_uncompressed_rows(*reader_, dst, slots_per_row * sav::kSlotBytes, max_rows);
  }

  size_t max_rows_left(size_t slots_per_row) const override {
    if (slots_per_row == 0) return 0;
    return static_cast<size_t>(reader_->remaining() / (slots_per_row * sav::kSlotBytes));
  }

 private:
  std::unique_ptr<BufferedReader> reader_;
};

}  // namespace

Result<size_t> read_uncompressed_rows(BufferedReader& reader, uint8_t* dst, size_t row_bytes,
                                      size_t max_rows) {
  if (row_bytes == 0 || max_rows == 0) return size_t{0};
  const size_t want = max_rows * row_bytes;
  size_t got = 0;
  while (got < want) {
    KORVEL_ASSIGN_OR_RETURN(size_t n, reader.read_some(dst + got, want - got));
    if (n == 0) break;
    got += n;
  }
  return got / row_bytes;
}

Result<std::unique_ptr<CaseSource>> open_case_source(SavReader& reader, const FileHeader& header) {
  switch (header.compression) {
    case Compression::Uncompressed:
      return std::unique_ptr<CaseSource>(new UncompressedSource(reader.release_source()));
    case Compression::Bytecode:
      return std::unique_ptr<CaseSource>(
          new BytecodeSource(reader.release_source(), header.bias, header.swap_bytes));
    case Compression::Zlib: {
      KORVEL_ASSIGN_OR_RETURN(ZlibSource source, ZlibSource::open(reader, header.bias));
      return std::unique_ptr<CaseSource>(new ZlibSource(std::move(source)));
    }
  }
  return SpssError::unsupported_compression(static_cast<int32_t>(header.compression));
}

}  // namespace korvel
