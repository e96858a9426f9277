#include "compression/bytecode.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "memory/alloc.hpp"

namespace korvel {

static_assert(std::endian::native == std::endian::little,
              "the decoder reads command blocks as little-endian words");

BytecodeState BytecodeState::make(double bias, bool swap_bytes) {
  BytecodeState st;
  auto file_order = [swap_bytes](uint64_t bits) {
    return swap_bytes ? __builtin_bswap64(bits) : bits;
  };
  for (int c = 1; c <= 251; ++c) {
    double v = static_cast<double>(c) - bias;
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    st.value_table[static_cast<size_t>(c)] = file_order(bits);
  }
  st.value_table[254] = kBlankBits;
  st.value_table[255] = file_order(kSysmisBits);
  return st;
}

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Nonzero exactly when some byte of x is 0.
inline uint64_t any_zero_byte(uint64_t x) {
  return (x - kOnes) & ~x & kHighs;
}
// A block with a 0, 252 or 253 among its codes needs more than table look-ups.
inline bool has_special_code(uint64_t block) {
  return (any_zero_byte(block) | any_zero_byte((block & (kOnes * 0xFE)) ^ (kOnes * 0xFC))) != 0;
}
inline bool has_end_code(uint64_t block) {
  return any_zero_byte(block ^ (kOnes * 0xFC)) != 0;
}

inline void store_slot(uint8_t* out, size_t slot, uint64_t bits) {
  std::memcpy(out + slot * kSlotBytes, &bits, 8);
}

}  // namespace

DecodeResult decode_rows(BytecodeState& st, uint8_t* dst, size_t slots_per_row, size_t max_rows,
                         size_t filled_slots) {
  DecodeResult r;
  if (slots_per_row == 0) {
    r.outcome = DecodeOutcome::OutOfInput;
    return r;
  }
  if (max_rows == 0) return r;

  // The rows are one run of slots: row boundaries matter only for the final count.
  const size_t total = max_rows * slots_per_row;
  const uint8_t* const data = st.data;
  const size_t size = st.size;
  const uint64_t* const table = st.value_table.data();
  size_t pos = st.position;
  size_t ci = st.command_index;
  uint64_t block;
  std::memcpy(&block, st.command_block.data(), 8);
  size_t s = filled_slots;

  auto finish = [&](DecodeOutcome outcome) {
    st.position = pos;
    st.command_index = ci;
    std::memcpy(st.command_block.data(), &block, 8);
    r.outcome = outcome;
    r.rows = s / slots_per_row;
    r.partial_slots = s % slots_per_row;
    return r;
  };

  for (;;) {
    if (ci == 8) {
      // Whole blocks while the slots and the input surely suffice: a block and up to eight
      // raw values (72 bytes) must be in the data.
      while (pos <= size && size - pos >= 72 && total - s >= 8) {
        uint64_t b;
        std::memcpy(&b, data + pos, 8);
        if (!has_special_code(b)) {
          // Codes 1..251, 254, 255 only: eight look-ups.
          pos += 8;
          block = b;
          for (unsigned k = 0; k < 8; ++k) store_slot(dst, s + k, table[(b >> (8 * k)) & 0xFF]);
          s += 8;
          continue;
        }
        // With 0s or 253s, branch-free. A block with a 0 cannot reach the last requested slot
        // (at least 8 are left), so 0s after that slot are never consumed here.
        if (has_end_code(b)) break;
        pos += 8;
        block = b;
        for (unsigned k = 0; k < 8; ++k) {
          auto c = static_cast<unsigned>((b >> (8 * k)) & 0xFF);
          uint64_t raw;
          std::memcpy(&raw, data + pos, 8);  // in bounds: at most 7 raw values taken before
          // Masks rather than branches: 253s come in no predictable order.
          const uint64_t raw_mask = 0 - static_cast<uint64_t>(c == 253);
          store_slot(dst, s, (raw & raw_mask) | (table[c] & ~raw_mask));  // a 0's slot is rewritten
          pos += raw_mask & 8;
          s += c != 0;
        }
      }
      if (s == total) return finish(DecodeOutcome::Complete);
      if (pos > size || size - pos < 8) return finish(DecodeOutcome::OutOfInput);
      std::memcpy(&block, data + pos, 8);
      pos += 8;
      ci = 0;
    }
    // The codes left in the current block, one at a time.
    while (ci < 8) {
      auto c = static_cast<unsigned>((block >> (8 * ci)) & 0xFF);
      ++ci;
      if (c == 0) continue;
      if (c == 253) {
        if (pos > size || size - pos < 8) {
          r.expected = static_cast<uint64_t>(pos) + 8;
          r.got = size;
          --ci;  // retried once the raw value is there
          return finish(DecodeOutcome::Truncated);
        }
        std::memcpy(dst + s * kSlotBytes, data + pos, 8);
        pos += 8;
      } else if (c == 252) {
        st.end_seen = true;
        return finish(DecodeOutcome::End);
      } else {
        store_slot(dst, s, table[c]);
      }
      if (++s == total) return finish(DecodeOutcome::Complete);
    }
  }
}

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

Result<BytecodeSource> BytecodeSource::open(BufferedReader& reader, double bias, bool swap_bytes,
                                            Load load) {
  BytecodeSource src;
  src.state_ = BytecodeState::make(bias, swap_bytes);
  const uint64_t offset = reader.position();

  if (load == Load::Auto && reader.fd() >= 0) {
    // The file's size now, not at open: a mapping must not reach past the end of the file.
    struct stat st;
    if (::fstat(reader.fd(), &st) == 0 && static_cast<uint64_t>(st.st_size) > offset) {
      const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
      const uint64_t base = offset - offset % page;
      const auto len = static_cast<size_t>(static_cast<uint64_t>(st.st_size) - base);
      void* m = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, reader.fd(), static_cast<off_t>(base));
      if (m != MAP_FAILED) {
        ::madvise(m, len, MADV_SEQUENTIAL);
        ::madvise(m, len, MADV_WILLNEED);
        src.map_base_ = m;
        src.map_len_ = len;
        src.state_.data = static_cast<const uint8_t*>(m) + (offset - base);
        src.state_.size = static_cast<size_t>(static_cast<uint64_t>(st.st_size) - offset);
        return src;
      }
    }
  }

  // Read the rest: the reader hands out its buffered bytes first, then reads straight into
  // the copy. The size is known up front; a file that grew meanwhile still gets all of it.
  size_t cap = static_cast<size_t>(reader.remaining());
  size_t len = 0;
  auto* buf = static_cast<uint8_t*>(alloc_aligned(std::max<size_t>(cap, 64)));
  if (buf == nullptr) return SpssError::os(ENOMEM);
  cap = std::max<size_t>(cap, 64);
  src.owned_ = buf;
  for (;;) {
    if (len == cap) {
      size_t grown = cap * 2;
      auto* bigger = static_cast<uint8_t*>(realloc_aligned(src.owned_, grown));
      if (bigger == nullptr) return SpssError::os(ENOMEM);
      src.owned_ = bigger;
      cap = grown;
    }
    KORVEL_ASSIGN_OR_RETURN(size_t n, reader.read_some(src.owned_ + len, cap - len));
    if (n == 0) break;
    len += n;
  }
  src.state_.data = src.owned_;
  src.state_.size = len;
  return src;
}

BytecodeSource::BytecodeSource(BytecodeSource&& other) noexcept
    : state_(other.state_),
      map_base_(other.map_base_),
      map_len_(other.map_len_),
      map_released_(other.map_released_),
      owned_(other.owned_) {
  other.map_base_ = nullptr;
  other.owned_ = nullptr;
  other.state_.data = nullptr;
  other.state_.size = 0;
}

BytecodeSource& BytecodeSource::operator=(BytecodeSource&& other) noexcept {
  if (this != &other) {
    release();
    state_ = other.state_;
    map_base_ = other.map_base_;
    map_len_ = other.map_len_;
    map_released_ = other.map_released_;
    owned_ = other.owned_;
    other.map_base_ = nullptr;
    other.owned_ = nullptr;
    other.state_.data = nullptr;
    other.state_.size = 0;
  }
  return *this;
}

BytecodeSource::~BytecodeSource() {
  release();
}

void BytecodeSource::release() {
  if (map_base_ != nullptr) ::munmap(map_base_, map_len_);
  if (owned_ != nullptr) free_aligned(owned_);
  map_base_ = nullptr;
  owned_ = nullptr;
}

void BytecodeSource::release_consumed_pages() {
  // Decoded bytes are never read again. Dropping their pages keeps a large file from costing
  // its case data in memory on top of the columns built from it; the pages stay in the page
  // cache and a private read-only mapping re-reads them if ever touched.
  constexpr size_t kReleaseStep = size_t{16} << 20;
  const auto* base = static_cast<const uint8_t*>(map_base_);
  const auto consumed = static_cast<size_t>(state_.data + state_.position - base);
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t upto = consumed - consumed % page;
  if (upto < map_released_ + kReleaseStep) return;
  ::madvise(const_cast<uint8_t*>(base) + map_released_, upto - map_released_, MADV_DONTNEED);
  map_released_ = upto;
}

size_t bytecode_rows_left(const BytecodeState& st, size_t slots_per_row) {
  if (slots_per_row == 0 || st.end_seen) return 0;
  size_t codes = (st.size > st.position ? st.size - st.position : 0) + (8 - st.command_index);
  return codes / slots_per_row;
}

size_t BytecodeSource::max_rows_left(size_t slots_per_row) const {
  return bytecode_rows_left(state_, slots_per_row);
}

Result<RowsRead> BytecodeSource::read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows) {
  if (state_.end_seen || max_rows == 0) return RowsRead{0, state_.end_seen};
  DecodeResult r = decode_rows(state_, dst, slots_per_row, max_rows);
  if (map_base_ != nullptr) release_consumed_pages();
  switch (r.outcome) {
    case DecodeOutcome::Complete:
      return RowsRead{r.rows, false};
    case DecodeOutcome::End:
    case DecodeOutcome::OutOfInput:
      return RowsRead{r.rows, true};
    case DecodeOutcome::Truncated:
      break;
  }
  return SpssError::truncated_file(r.expected, r.got);
}

}  // namespace korvel
