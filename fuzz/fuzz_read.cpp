// Opens a system file from the fuzzer's bytes and reads it to the end through the batch path:
// small batches, and a projection that drops and repeats columns. Every read must end in an
// error or in batches whose columns all have the batch's length.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "scanner.hpp"

using namespace korvel;

namespace {
void check(bool ok) {
  if (!ok) std::abort();
}

// Small parameters from the input itself, so that one input always reads the same way.
uint64_t mix(const uint8_t* data, size_t size) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
  for (size_t i = 0; i < size; i += 1 + size / 64) h = (h ^ data[i]) * 0x100000001B3ull;
  return h;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto opened = SavScanner::open(BufferedReader::from_memory({data, data + size}), 64);
  if (!opened.ok()) {
    check(!opened.error().message().empty());
    return 0;
  }
  SavScanner& scanner = *opened.value();
  const uint64_t h = mix(data, size);
  const auto& names = scanner.metadata().variable_names;
  if (!names.empty() && (h & 1)) {
    // Every other column, then the first again.
    std::vector<std::string> selection;
    for (size_t i = (h >> 1) & 1; i < names.size(); i += 2) selection.push_back(names[i]);
    selection.push_back(names.front());
    check(scanner.select(selection).ok());
  }
  const size_t columns = scanner.projected_columns().size();
  const size_t batch_rows = 1 + ((h >> 2) % 97);
  for (;;) {
    auto batch = scanner.read_batch_columnar(batch_rows);
    if (!batch.ok()) {
      check(!batch.error().message().empty());
      break;
    }
    if (!batch.value()) break;
    const auto& b = *batch.value();
    check(static_cast<size_t>(b.num_columns()) == columns);
    check(b.num_rows <= static_cast<int64_t>(batch_rows));
    for (const auto& col : b.columns) check(col->length == b.num_rows);
  }
  return 0;
}
