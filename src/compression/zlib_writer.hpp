// Deflating the blocks of a .zsav file: each block of the bytecode stream becomes one zlib
// stream (RFC 1950) of its own, so that blocks compress in parallel and inflate independently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "compression/bytecode_encoder.hpp"
#include "error.hpp"

namespace korvel {

// One zlib stream holding `size` bytes at `level` (0 to 9; 0 stores them uncompressed).
// Safe to call from several threads at once.
Result<ByteBuffer> zlib_compress_block(const uint8_t* data, size_t size, int level);

}  // namespace korvel
