// Bytecode decoding of numeric rows into a chunk buffer, in bytes of row output per second,
// next to a plain memcpy of the same output size.
//   bench_decode --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "compression/bytecode.hpp"

using namespace korvel;

namespace {

constexpr size_t kSlotsPerRow = 32;

// A stream of rows x kSlotsPerRow numeric slots; `raw_percent` of the slots are code 253 with
// a raw value, the rest codes 1..251. Ends with 252.
std::vector<uint8_t> make_stream(size_t rows, int raw_percent) {
  std::mt19937_64 rng(11);
  std::vector<uint8_t> out;
  std::vector<uint8_t> codes;
  std::vector<uint64_t> raws;
  auto flush = [&] {
    out.insert(out.end(), codes.begin(), codes.end());
    for (uint64_t r : raws) {
      uint8_t b[8];
      std::memcpy(b, &r, 8);
      out.insert(out.end(), b, b + 8);
    }
    codes.clear();
    raws.clear();
  };
  auto push = [&](uint8_t c) {
    codes.push_back(c);
    if (codes.size() == 8) flush();
  };
  for (size_t i = 0; i < rows * kSlotsPerRow; ++i) {
    if (static_cast<int>(rng() % 100) < raw_percent) {
      double v = static_cast<double>(rng() % 1000000) / 100.0;
      uint64_t bits;
      std::memcpy(&bits, &v, 8);
      raws.push_back(bits);
      push(253);
    } else {
      push(static_cast<uint8_t>(1 + rng() % 251));
    }
  }
  push(252);
  while (!codes.empty()) push(0);
  return out;
}

BytecodeState fresh_state(const std::vector<uint8_t>& stream) {
  BytecodeState st = BytecodeState::make(100.0, false);
  st.data = stream.data();
  st.size = stream.size();
  return st;
}

// args: rows per chunk, percent of codes 253.
void BM_DecodeRows(benchmark::State& state) {
  const auto rows = static_cast<size_t>(state.range(0));
  const auto stream = make_stream(rows, static_cast<int>(state.range(1)));
  std::vector<uint8_t> chunk(rows * kSlotsPerRow * kSlotBytes, 1);
  for (auto _ : state) {
    BytecodeState st = fresh_state(stream);
    DecodeResult r = decode_rows(st, chunk.data(), kSlotsPerRow, rows);
    benchmark::DoNotOptimize(r);
    benchmark::ClobberMemory();
    if (r.rows != rows) state.SkipWithError("short decode");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk.size()));
  state.counters["input_MB"] = static_cast<double>(stream.size()) / 1e6;
}

// The same rows decoded one decode_row call per row.
void BM_DecodeRowByRow(benchmark::State& state) {
  const auto rows = static_cast<size_t>(state.range(0));
  const auto stream = make_stream(rows, static_cast<int>(state.range(1)));
  std::vector<uint8_t> chunk(rows * kSlotsPerRow * kSlotBytes, 1);
  for (auto _ : state) {
    BytecodeState st = fresh_state(stream);
    for (size_t i = 0; i < rows; ++i) {
      DecodeResult r = decode_row(st, chunk.data() + i * kSlotsPerRow * kSlotBytes, kSlotsPerRow);
      benchmark::DoNotOptimize(r);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk.size()));
}

// A plain copy of the same output size.
void BM_Memcpy(benchmark::State& state) {
  const auto rows = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> src(rows * kSlotsPerRow * kSlotBytes, 3);
  std::vector<uint8_t> dst(src.size(), 1);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dst.size()));
}

// 4096 rows: a 1 MiB chunk that stays in cache; 131072 rows: a 32 MiB chunk that does not.
BENCHMARK(BM_DecodeRows)
    ->ArgsProduct({{4096, 131072}, {0, 10, 50, 100}})
    ->ArgNames({"rows", "raw%"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeRowByRow)
    ->ArgsProduct({{4096, 131072}, {0, 10}})
    ->ArgNames({"rows", "raw%"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy)->Arg(4096)->Arg(131072)->ArgName("rows")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
