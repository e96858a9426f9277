#include "compression/bytecode.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
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
  for (int c = sav::kCodeFirstSmall; c <= sav::kCodeLastSmall; ++c) {
    double v = static_cast<double>(c) - bias;
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    st.value_table[static_cast<size_t>(c)] = file_order(bits);
  }
  st.value_table[sav::kCodeBlank] = kBlankBits;
  st.value_table[sav::kCodeSysmis] = file_order(kSysmisBits);
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
  return (any_zero_byte(block) |
          any_zero_byte((block & (kOnes * 0xFE)) ^ (kOnes * sav::kCodeEnd))) != 0;
}
inline bool has_end_code(uint64_t block) {
  return any_zero_byte(block ^ (kOnes * sav::kCodeEnd)) != 0;
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
          const uint64_t raw_mask = 0 - static_cast<uint64_t>(c == sav::kCodeRaw);
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
      if (c == sav::kCodePadding) continue;
      if (c == sav::kCodeRaw) {
        if (pos > size || size - pos < 8) {
          r.expected = static_cast<uint64_t>(pos) + 8;
          r.got = size;
          --ci;  // retried once the raw value is there
          return finish(DecodeOutcome::Truncated);
        }
        std::memcpy(dst + s * kSlotBytes, data + pos, 8);
        pos += 8;
      } else if (c == sav::kCodeEnd) {
        st.end_seen = true;
        return finish(DecodeOutcome::End);
      } else {
        store_slot(dst, s, table[c]);
      }
      if (++s == total) return finish(DecodeOutcome::Complete);
    }
  }
}

void FreeAligned::operator()(uint8_t* p) const noexcept {
  free_aligned(p);
}

size_t bytecode_rows_left(const BytecodeState& st, size_t slots_per_row, uint64_t more_bytes) {
  if (slots_per_row == 0 || st.end_seen) return 0;
  const uint64_t codes = (st.size > st.position ? st.size - st.position : 0) +
                         (sav::kCodesPerBlock - st.command_index) + more_bytes;
  return static_cast<size_t>(codes / slots_per_row);
}

BytecodeSource::BytecodeSource(std::unique_ptr<BufferedReader> reader, double bias, bool swap_bytes,
                               size_t window_bytes)
    : state_(BytecodeState::make(bias, swap_bytes)) {
  // Room for the unconsumed tail (under 8 bytes) and at least a command block after it.
  window_capacity_ = std::max<size_t>(
      static_cast<size_t>(std::min<uint64_t>(window_bytes, reader->remaining() + 16)), 64);
  // A file is read from its own descriptor, from the reader's position on (the bytes the
  // reader holds are read again): the reader and its buffer, as large as 64 MiB for whole-file
  // reads, are then let go.
  const int fd = reader->fd() >= 0 ? ::fcntl(reader->fd(), F_DUPFD_CLOEXEC, 0) : -1;
  if (fd >= 0) {
    fd_ = fd;
    file_offset_ = reader->position();
    file_size_ = reader->size();
  } else {
    reader_ = std::move(reader);
  }
}

BytecodeSource::~BytecodeSource() {
  if (fd_ >= 0) ::close(fd_);
}

Result<bool> BytecodeSource::refill() {
  if (!window_) {
    window_.reset(static_cast<uint8_t*>(alloc_aligned(window_capacity_)));
    if (!window_) return SpssError::os(ENOMEM);
  }
  const size_t pos = std::min(state_.position, state_.size);
  const size_t tail = state_.size - pos;
  uint8_t* const window = window_.get();
  if (tail > 0) std::memmove(window, state_.data + pos, tail);
  window_offset_ += pos;
  state_.data = window;
  state_.size = tail;
  state_.position = 0;
  size_t got = 0;
  while (tail + got < window_capacity_) {
    KORVEL_ASSIGN_OR_RETURN(size_t n,
                            read_more(window + tail + got, window_capacity_ - tail - got));
    if (n == 0) break;
    got += n;
  }
  state_.size = tail + got;
  return got > 0;
}

Result<size_t> BytecodeSource::read_more(uint8_t* dst, size_t n) {
  if (fd_ < 0) return reader_->read_some(dst, n);
  for (;;) {
    ssize_t got = ::pread(fd_, dst, n, static_cast<off_t>(file_offset_));
    if (got >= 0) {
      file_offset_ += static_cast<uint64_t>(got);
      return static_cast<size_t>(got);
    }
    if (errno != EINTR) return SpssError::os(errno);
  }
}

size_t BytecodeSource::max_rows_left(size_t slots_per_row) const {
  const uint64_t unread = fd_ < 0                     ? reader_->remaining()
                          : file_size_ > file_offset_ ? file_size_ - file_offset_
                                                      : 0;
  return bytecode_rows_left(state_, slots_per_row, unread);
}

Result<size_t> BytecodeSource::read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows) {
  KORVEL_ASSIGN_OR_RETURN(
      DecodeResult r,
      decode_rows_refilling(state_, dst, slots_per_row, max_rows, [this] { return refill(); }));
  if (r.outcome == DecodeOutcome::Truncated) {
    // The state stands at the missing raw value, in the window as the last refill left it.
    return SpssError::truncated_file(window_offset_ + state_.position + 8,
                                     window_offset_ + state_.size);
  }
  return r.rows;
}

}  // namespace korvel
