#include "case_source.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "compression/bytecode.hpp"
#include "compression/zlib_blocks.hpp"
#include "sav_format.hpp"

namespace korvel {

namespace {

// Rows straight from the file.
class UncompressedSource final : public CaseSource {
 public:
  explicit UncompressedSource(std::unique_ptr<BufferedReader> reader) : input_(std::move(reader)) {}

  Result<size_t> read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows) override {
    return read_uncompressed_rows(input_, dst, slots_per_row * sav::kSlotBytes, max_rows);
  }

  size_t max_rows_left(size_t slots_per_row) const override {
    if (slots_per_row == 0) return 0;
    return static_cast<size_t>(input_.remaining() / (slots_per_row * sav::kSlotBytes));
  }

 private:
  CaseInput input_;
};

}  // namespace

CaseInput::CaseInput(std::unique_ptr<BufferedReader> reader) {
  // The file is read again from the reader's position: the bytes its buffer holds beyond it
  // are read a second time, and the buffer goes with the reader.
  const int fd = reader->fd() >= 0 ? ::fcntl(reader->fd(), F_DUPFD_CLOEXEC, 0) : -1;
  if (fd >= 0) {
    fd_ = fd;
    offset_ = reader->position();
    file_size_ = reader->size();
  } else {
    reader_ = std::move(reader);
  }
}

CaseInput::~CaseInput() {
  if (fd_ >= 0) ::close(fd_);
}

Result<size_t> CaseInput::read_some(uint8_t* dst, size_t n) {
  if (fd_ < 0) return reader_->read_some(dst, n);
  for (;;) {
    ssize_t got = ::pread(fd_, dst, n, static_cast<off_t>(offset_));
    if (got >= 0) {
      offset_ += static_cast<uint64_t>(got);
      return static_cast<size_t>(got);
    }
    if (errno != EINTR) return SpssError::os(errno);
  }
}

uint64_t CaseInput::remaining() const {
  if (fd_ < 0) return reader_->remaining();
  return file_size_ > offset_ ? file_size_ - offset_ : 0;
}

Result<size_t> read_uncompressed_rows(CaseInput& input, uint8_t* dst, size_t row_bytes,
                                      size_t max_rows) {
  if (row_bytes == 0 || max_rows == 0) return size_t{0};
  const size_t want = max_rows * row_bytes;
  size_t got = 0;
  while (got < want) {
    KORVEL_ASSIGN_OR_RETURN(size_t n, input.read_some(dst + got, want - got));
    if (n == 0) break;
    got += n;
  }
  // The bytes of a partial last row are consumed; the input is at its end then.
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
