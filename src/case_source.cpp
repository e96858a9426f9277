#include "case_source.hpp"

#include "compression/bytecode.hpp"
#include "compression/zlib_blocks.hpp"

namespace korvel {

namespace {

// Rows straight from the file.
class UncompressedSource final : public CaseSource {
 public:
  explicit UncompressedSource(std::unique_ptr<BufferedReader> reader)
      : reader_(std::move(reader)) {}

  Result<size_t> read_rows(uint8_t* dst, size_t max_rows, size_t slots_per_row) override {
    return read_uncompressed_rows(*reader_, dst, slots_per_row * kSlotBytes, max_rows);
  }

  size_t max_rows_left(size_t slots_per_row) const override {
    return static_cast<size_t>(reader_->remaining() / (slots_per_row * kSlotBytes));
  }

 private:
  std::unique_ptr<BufferedReader> reader_;
};

class BytecodeCaseSource final : public CaseSource {
 public:
  explicit BytecodeCaseSource(BytecodeSource source) : source_(std::move(source)) {}

  Result<size_t> read_rows(uint8_t* dst, size_t max_rows, size_t slots_per_row) override {
    KORVEL_ASSIGN_OR_RETURN(RowsRead got, source_.read_rows(dst, slots_per_row, max_rows));
    return got.rows;
  }

  size_t max_rows_left(size_t slots_per_row) const override {
    return source_.max_rows_left(slots_per_row);
  }

 private:
  BytecodeSource source_;
};

class ZlibCaseSource final : public CaseSource {
 public:
  ZlibCaseSource(ZlibSource source, std::unique_ptr<BufferedReader> reader)
      : source_(std::move(source)), reader_(std::move(reader)) {}

  Result<size_t> read_rows(uint8_t* dst, size_t max_rows, size_t slots_per_row) override {
    KORVEL_ASSIGN_OR_RETURN(RowsRead got,
                            source_.read_rows(*reader_, dst, slots_per_row, max_rows));
    return got.rows;
  }

  // Every slot takes at least one code byte of the inflated stream.
  size_t max_rows_left(size_t slots_per_row) const override {
    const BytecodeState& st = source_.state();
    uint64_t bytes = st.size - st.position;
    const auto& blocks = source_.blocks();
    for (size_t i = source_.next_block(); i < blocks.size(); ++i) {
      bytes += static_cast<uint64_t>(blocks[i].uncompressed_size);
    }
    return static_cast<size_t>(bytes / slots_per_row + 1);
  }

 private:
  ZlibSource source_;
  std::unique_ptr<BufferedReader> reader_;
};

}  // namespace

Result<std::unique_ptr<CaseSource>> open_case_source(SavReader& reader, const FileHeader& header) {
  switch (header.compression) {
    case Compression::Uncompressed:
      return std::unique_ptr<CaseSource>(new UncompressedSource(reader.release_source()));
    case Compression::Bytecode: {
      KORVEL_ASSIGN_OR_RETURN(
          BytecodeSource source,
          BytecodeSource::open(reader.source(), header.bias, header.swap_bytes));
      return std::unique_ptr<CaseSource>(new BytecodeCaseSource(std::move(source)));
    }
    case Compression::Zlib: {
      KORVEL_ASSIGN_OR_RETURN(ZlibSource source, ZlibSource::open(reader, header.bias));
      return std::unique_ptr<CaseSource>(
          new ZlibCaseSource(std::move(source), reader.release_source()));
    }
  }
  return SpssError::unsupported_compression(static_cast<int32_t>(header.compression));
}

}  // namespace korvel
