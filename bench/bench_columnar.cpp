// Column building from raw case rows: numeric columns (the survey case) and string columns,
// next to a plain copy of the same values.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "columnar.hpp"

using namespace korvel;

namespace {

constexpr size_t kRows = 100000;

std::vector<uint8_t> make_rows(size_t slots, size_t string_slots) {
  std::vector<uint8_t> raw(kRows * slots * 8, ' ');
  std::mt19937_64 rng(7);
  for (size_t r = 0; r < kRows; ++r) {
    uint8_t* row = raw.data() + r * slots * 8;
    for (size_t s = 0; s < slots - string_slots; ++s) {
      double d = static_cast<double>(rng() % 5 + 1);
      std::memcpy(row + s * 8, &d, 8);
    }
    for (size_t s = slots - string_slots; s < slots; ++s) {
      for (size_t k = 0; k < 8; ++k) row[s * 8 + k] = static_cast<uint8_t>('a' + rng() % 26);
    }
  }
  return raw;
}

void build(benchmark::State& state, size_t numeric, size_t strings, size_t string_width) {
  size_t string_slots = strings * ((string_width + 7) / 8);
  size_t slots = numeric + string_slots;
  auto raw = make_rows(slots, string_slots);
  for (auto _ : state) {
    ColumnarBatchBuilder builder(encoding::Encoding::UTF_8, false);
    for (size_t c = 0; c < numeric; ++c) {
      (void)builder.add_column({"n" + std::to_string(c), arrow::TypeId::Float64, true},
                               ColumnMapping::make(VarType::numeric(), c, 1), false, std::nullopt,
                               kRows);
    }
    for (size_t c = 0; c < strings; ++c) {
      size_t first = numeric + c * ((string_width + 7) / 8);
      (void)builder.add_column({"s" + std::to_string(c), arrow::TypeId::Utf8View, true},
                               ColumnMapping::make(VarType::string(string_width), first, 1),
                               false, std::nullopt, kRows);
    }
    (void)builder.push_raw_chunk(raw.data(), raw.size(), kRows, slots);
    auto batch = builder.finish();
    benchmark::DoNotOptimize(batch);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}

void BM_NumericColumns(benchmark::State& state) { build(state, 100, 0, 0); }
void BM_StringColumns(benchmark::State& state) { build(state, 0, 5, 24); }
void BM_SurveyMix(benchmark::State& state) { build(state, 95, 5, 24); }

void BM_CopyRows(benchmark::State& state) {
  auto raw = make_rows(100, 0);
  std::vector<uint8_t> out(raw.size());
  for (auto _ : state) {
    std::memcpy(out.data(), raw.data(), raw.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}

}  // namespace

BENCHMARK(BM_NumericColumns)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StringColumns)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SurveyMix)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CopyRows)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
