#include "compression/zlib_writer.hpp"

#include <libdeflate.h>

#include <memory>
#include <string>

namespace korvel {

namespace {

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// One compressor per thread and level: a compressor carries large match-finder tables, built
// once rather than for every 4 MiB block.
libdeflate_compressor* compressor_for(int level) {
  thread_local std::unique_ptr<libdeflate_compressor, CompressorFree> cached;
  thread_local int cached_level = -1;
  if (!cached || cached_level != level) {
    cached.reset(libdeflate_alloc_compressor(level));
    cached_level = cached ? level : -1;
  }
  return cached.get();
}

}  // namespace

Result<ByteBuffer> zlib_compress_block(const uint8_t* data, size_t size, int level) {
  libdeflate_compressor* c = compressor_for(level);
  if (!c)
    return SpssError::zlib("zlib compression error: cannot set up level " + std::to_string(level));
  ByteBuffer out(libdeflate_zlib_compress_bound(c, size));
  const size_t n = libdeflate_zlib_compress(c, data, size, out.data(), out.size());
  if (n == 0) return SpssError::zlib("zlib finish error: output does not fit its bound");
  out.resize(n);
  out.shrink_to_fit();  // blocks wait in memory until written: hold only their bytes
  return out;
}

}  // namespace korvel
