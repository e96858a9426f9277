// Writes a table built from the fuzzer's bytes (numeric columns with nulls, NaN and infinities;
// text columns of odd widths, very long ones included) with each compression, then reads the
// file back: every write either fails with a message or reads back equal.
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arrow/builders.hpp"
#include "arrow/record_batch.hpp"
#include "sav_format.hpp"
#include "scanner.hpp"
#include "writer/write_sav.hpp"

using namespace korvel;

namespace {
void check(bool ok) {
  if (!ok) std::abort();
}

// Hands out the fuzzer's bytes; zeros once they run out.
struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint64_t u64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | byte();
    return v;
  }
};

// One column as given: numbers (nullopt for null) or texts.
struct Column {
  bool text = false;
  std::vector<double> numbers;
  std::vector<bool> nulls;
  std::vector<std::string> texts;
};

double number(Input& in) {
  switch (in.byte() % 6) {
    case 0:
      return static_cast<int8_t>(in.byte());  // small whole numbers: bytecode's codes
    case 1:
      return std::bit_cast<double>(sav::kSysmisBits);
    case 2:
      return in.byte() & 1 ? INFINITY : -INFINITY;
    case 3:
      return NAN;
    default:
      return std::bit_cast<double>(in.u64());
  }
}

std::string text(Input& in) {
  // Lengths around the 8-byte slots, the 255-byte segments and beyond.
  static constexpr size_t kLengths[] = {0, 1, 7, 8, 9, 254, 255, 256, 300, 520};
  const size_t length = kLengths[in.byte() % 10];
  std::string s(length, ' ');
  for (char& c : s) c = static_cast<char>(0x20 + in.byte() % 95);
  return s;
}

arrow::ArrayRef build(const Column& c) {
  if (c.text) {
    arrow::StringViewBuilder b;
    for (const auto& s : c.texts) check(b.append(s).ok());
    return b.finish().value();
  }
  arrow::Float64Builder b(sav::kSysmisBits);
  for (size_t i = 0; i < c.numbers.size(); ++i) {
    check((c.nulls[i] ? b.append_null() : b.append(c.numbers[i])).ok());
  }
  return b.finish().value();
}

std::string trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

void check_read_back(const std::string& path, const std::vector<Column>& columns, size_t rows) {
  auto source = BufferedReader::open_file(path, 1 << 16);
  check(source.ok());
  auto opened = SavScanner::open(std::move(source).value(), 1 << 16);
  check(opened.ok());
  auto batch = opened.value()->read_batch_columnar(rows + 1);
  check(batch.ok());
  if (rows == 0) return;
  check(batch.value().has_value() && static_cast<size_t>(batch.value()->num_rows) == rows);
  for (size_t c = 0; c < columns.size(); ++c) {
    const arrow::ArrayData& a = *batch.value()->columns[c];
    for (size_t r = 0; r < rows; ++r) {
      const auto i = static_cast<int64_t>(r);
      if (columns[c].text) {
        check(a.binary_value(i) == trimmed(columns[c].texts[r]));
        continue;
      }
      const double want = columns[c].numbers[r];
      if (columns[c].nulls[r] || std::bit_cast<uint64_t>(want) == sav::kSysmisBits) {
        check(a.is_null(i));
      } else if (std::isnan(want)) {
        check(a.is_null(i) || std::isnan(a.values<double>()[i]));
      } else {
        check(!a.is_null(i) && a.values<double>()[i] == want);
      }
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const size_t ncols = 1 + in.byte() % 4;
  const size_t rows = in.byte() % 24;
  std::vector<Column> columns(ncols);
  auto schema = std::make_shared<arrow::Schema>();
  for (size_t c = 0; c < ncols; ++c) {
    columns[c].text = in.byte() & 1;
    for (size_t r = 0; r < rows; ++r) {
      if (columns[c].text) {
        columns[c].texts.push_back(text(in));
      } else {
        columns[c].nulls.push_back(in.byte() % 5 == 0);
        columns[c].numbers.push_back(number(in));
      }
    }
    schema->fields.push_back(arrow::Field{
        "v" + std::to_string(c),
        arrow::DataType(columns[c].text ? arrow::TypeId::Utf8View : arrow::TypeId::Float64), true});
  }
  std::vector<arrow::ArrayRef> arrays;
  for (const auto& c : columns) arrays.push_back(build(c));
  auto batch = arrow::make_record_batch(schema, std::move(arrays), static_cast<int64_t>(rows));
  check(batch.ok());
  WriteTable table{schema, {std::move(batch).value()}};
  auto meta = default_metadata(table);
  if (!meta.ok()) {
    check(!meta.error().message().empty());
    return 0;
  }

  const std::string path = "/tmp/korvel-fuzz-write-" + std::to_string(getpid()) + ".sav";
  for (Compression compression :
       {Compression::Uncompressed, Compression::Bytecode, Compression::Zlib}) {
    auto writer = BufferedWriter::create_file(path, 1 << 16);
    check(writer.ok());
    Status written = write_sav_to_writer(std::move(writer).value(), table, meta.value(),
                                         compression, std::nullopt);
    if (!written.ok()) {
      check(!written.error().message().empty());
      continue;
    }
    check_read_back(path, columns, rows);
  }
  unlink(path.c_str());
  return 0;
}
