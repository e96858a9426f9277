#include "writer/data.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "compression/bytecode_encoder.hpp"
#include "compression/zlib_writer.hpp"
#include "sav_format.hpp"
#include "thread_pool.hpp"

namespace korvel {

namespace {

using arrow::ArrayData;
using arrow::TimeUnit;
using arrow::TypeId;

// Row pieces assembled by one task: a quarter of this machine's 1 MiB L2 cache per core, so the
// rows stay cached while each column's values are copied in, with room for the columns read.
constexpr size_t kTileBytes = size_t{256} << 10;
// Rows assembled before they are encoded or written: bounds the working set of a write.
constexpr size_t kChunkBytes = size_t{8} << 20;
constexpr size_t kMaxChunkRows = 32768;
// Bytecode output handed to the file writer once it passes this size.
constexpr size_t kBytecodeFlushBytes = 0xFFFFF;

const double kSysmis = std::bit_cast<double>(sav::kSysmisBits);

inline void put(uint8_t* dst, double v) {
  std::memcpy(dst, &v, 8);
}

using Filler = void (*)(const SlotSource&, int64_t, size_t, uint8_t*, size_t);
// The filler of a numeric variable for values of type `t` (setting the conversion of `s`), or
// nullptr when the type has no numeric form.
Filler numeric_filler(const arrow::DataType& t, SlotSource& s);

double half_to_double(uint16_t h) {
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  double v;
  if (exponent == 0) {
    v = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    v = mantissa ? std::nan("") : INFINITY;
  } else {
    v = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (h & 0x8000) ? -v : v;
}

// The bits of a Float16 value, told apart from UInt16.
struct Half {
  uint16_t bits;
};

template <typename T>
inline double as_double(T v) {
  if constexpr (std::is_same_v<T, Half>) {
    return half_to_double(v.bits);
  } else {
    return static_cast<double>(v);
  }
}

// Plain numbers, or temporal values turned into SPSS seconds.
enum class Convert { None, Days, Scaled };

template <typename T, Convert C>
void fill_numbers(const SlotSource& s, int64_t first, size_t n, uint8_t* dst, size_t stride) {
  const ArrayData& a = *s.array;
  const T* v = a.values<T>() + first;
  const bool nulls = a.null_count != 0;
  for (size_t i = 0; i < n; ++i, dst += stride) {
    if (nulls && a.is_null(first + static_cast<int64_t>(i))) {
      put(dst, kSysmis);
      continue;
    }
    double d = as_double(v[i]);
    if constexpr (C == Convert::Days) {
      d = (d + static_cast<double>(sav::kEpochDaysBefore1970)) *
          static_cast<double>(sav::kSecondsPerDay);
    } else if constexpr (C == Convert::Scaled) {
      d = d / s.scale + s.shift;
    }
    put(dst, d);
  }
}

void fill_booleans(const SlotSource& s, int64_t first, size_t n, uint8_t* dst, size_t stride) {
  const ArrayData& a = *s.array;
  for (size_t i = 0; i < n; ++i, dst += stride) {
    const int64_t r = first + static_cast<int64_t>(i);
    put(dst, a.is_null(r) ? kSysmis : a.bool_value(r) ? 1.0 : 0.0);
  }
}

void fill_sysmis(const SlotSource&, int64_t, size_t n, uint8_t* dst, size_t stride) {
  for (size_t i = 0; i < n; ++i, dst += stride) put(dst, kSysmis);
}

// The longest prefix of at most `max` bytes that ends between UTF-8 characters.
size_t utf8_prefix(std::string_view v, size_t max) {
  return cut_utf8(v, max).size();
}

void put_string(const WriteVariable& var, std::string_view v, uint8_t* dst) {
  std::memset(dst, ' ', var.slot_count() * sav::kSlotBytes);
  const size_t len = v.size() <= var.width ? v.size() : utf8_prefix(v, var.width);
  if (var.n_segments == 1) {
    if (len > 0) std::memcpy(dst, v.data(), len);  // an empty value may have no data pointer
    return;
  }
  // Each segment holds 255 bytes of the value in its 32 slots.
  for (size_t j = 0, from = 0; from < len; ++j, from += sav::kMaxShortStringWidth) {
    const size_t k = std::min(sav::kMaxShortStringWidth, len - from);
    std::memcpy(dst + j * sav::kSegmentSlots * sav::kSlotBytes, v.data() + from, k);
  }
}

void fill_strings(const SlotSource& s, int64_t first, size_t n, uint8_t* dst, size_t stride) {
  for (size_t i = 0; i < n; ++i, dst += stride)
    put_string(*s.variable, s.array->binary_value(first + static_cast<int64_t>(i)), dst);
}

// A number of any numeric Arrow type at row i (for dictionary values).
double number_at(const SlotSource& s, const ArrayData& a, int64_t i) {
  if (a.is_null(i)) return kSysmis;
  uint8_t slot[8];
  SlotSource one = s;
  one.array = &a;
  one.dictionary = nullptr;
  Filler f = numeric_filler(a.type, one);
  if (!f) return kSysmis;
  f(one, i, 1, slot, 8);
  double d;
  std::memcpy(&d, slot, 8);
  return d;
}

template <typename I>
void fill_dictionary(const SlotSource& s, int64_t first, size_t n, uint8_t* dst, size_t stride) {
  const ArrayData& idx = *s.array;
  const ArrayData& dict = *s.dictionary;
  const I* v = idx.values<I>() + first;
  const bool text = s.variable->var_type.is_string;
  for (size_t i = 0; i < n; ++i, dst += stride) {
    const bool null = idx.is_null(first + static_cast<int64_t>(i));
    if (text) {
      put_string(*s.variable, null ? std::string_view() : dict.binary_value(v[i]), dst);
    } else {
      put(dst, null ? kSysmis : number_at(s, dict, static_cast<int64_t>(v[i])));
    }
  }
}

double units_per_second(TimeUnit u) {
  switch (u) {
    case TimeUnit::Second:
      return 1.0;
    case TimeUnit::Millisecond:
      return 1e3;
    case TimeUnit::Microsecond:
      return 1e6;
    case TimeUnit::Nanosecond:
      return 1e9;
  }
  return 1.0;
}

Filler numeric_filler(const arrow::DataType& t, SlotSource& s) {
  const double epoch = static_cast<double>(sav::kEpochSecondsBefore1970);
  switch (t.id) {
    case TypeId::Null:
      return Filler(fill_sysmis);
    case TypeId::Boolean:
      return Filler(fill_booleans);
    case TypeId::Int8:
      return Filler(fill_numbers<int8_t, Convert::None>);
    case TypeId::Int16:
      return Filler(fill_numbers<int16_t, Convert::None>);
    case TypeId::Int32:
      return Filler(fill_numbers<int32_t, Convert::None>);
    case TypeId::Int64:
      return Filler(fill_numbers<int64_t, Convert::None>);
    case TypeId::UInt8:
      return Filler(fill_numbers<uint8_t, Convert::None>);
    case TypeId::UInt16:
      return Filler(fill_numbers<uint16_t, Convert::None>);
    case TypeId::UInt32:
      return Filler(fill_numbers<uint32_t, Convert::None>);
    case TypeId::UInt64:
      return Filler(fill_numbers<uint64_t, Convert::None>);
    case TypeId::Float16:
      return Filler(fill_numbers<Half, Convert::None>);
    case TypeId::Float32:
      return Filler(fill_numbers<float, Convert::None>);
    case TypeId::Float64:
      return Filler(fill_numbers<double, Convert::None>);
    case TypeId::Date32:
      return Filler(fill_numbers<int32_t, Convert::Days>);
    case TypeId::Date64:
      s.scale = 1e3;
      s.shift = epoch;
      return Filler(fill_numbers<int64_t, Convert::Scaled>);
    case TypeId::Timestamp:
      s.scale = units_per_second(t.unit);
      s.shift = epoch;
      return Filler(fill_numbers<int64_t, Convert::Scaled>);
    case TypeId::Duration:
    case TypeId::Time64:
      s.scale = units_per_second(t.unit);
      return Filler(fill_numbers<int64_t, Convert::Scaled>);
    case TypeId::Time32:
      s.scale = units_per_second(t.unit);
      return Filler(fill_numbers<int32_t, Convert::Scaled>);
    default:
      return nullptr;
  }
}

// The filler of a dictionary-encoded column with indices of type I, or nullptr when an index
// does not name an entry of its dictionary.
template <typename I>
Filler checked_dictionary_filler(const ArrayData& idx) {
  const I* v = idx.values<I>();
  const auto entries = static_cast<uint64_t>(idx.dictionary->length);
  for (int64_t i = 0; i < idx.length; ++i) {
    if (idx.is_null(i)) continue;
    if constexpr (std::is_signed_v<I>) {
      if (v[i] < 0) return nullptr;
    }
    if (static_cast<uint64_t>(v[i]) >= entries) return nullptr;
  }
  return fill_dictionary<I>;
}

// The filler of a dictionary-encoded column, or nullptr when an index is out of range or the
// index type is not an integer type.
Filler dictionary_filler(const ArrayData& idx) {
  switch (idx.type.id) {
    case TypeId::Int8:
      return checked_dictionary_filler<int8_t>(idx);
    case TypeId::Int16:
      return checked_dictionary_filler<int16_t>(idx);
    case TypeId::Int32:
      return checked_dictionary_filler<int32_t>(idx);
    case TypeId::Int64:
      return checked_dictionary_filler<int64_t>(idx);
    case TypeId::UInt8:
      return checked_dictionary_filler<uint8_t>(idx);
    case TypeId::UInt16:
      return checked_dictionary_filler<uint16_t>(idx);
    case TypeId::UInt32:
      return checked_dictionary_filler<uint32_t>(idx);
    case TypeId::UInt64:
      return checked_dictionary_filler<uint64_t>(idx);
    default:
      return nullptr;
  }
}

}  // namespace

uint64_t WriteTable::num_rows() const {
  uint64_t n = 0;
  for (const auto& b : batches) n += static_cast<uint64_t>(b.num_rows);
  return n;
}

Result<std::vector<SlotSource>> make_slot_sources(const arrow::RecordBatch& batch,
                                                  const CaseLayout& layout) {
  std::vector<SlotSource> out;
  out.reserve(layout.variables.size());
  for (const WriteVariable& v : layout.variables) {
    SlotSource s;
    s.variable = &v;
    s.array = batch.columns[v.column_index].get();
    auto no_form = [&](const arrow::DataType& t) {
      return SpssError::write("column '" + v.name + "': Arrow type " + arrow::to_string(t) +
                              " has no SPSS form");
    };
    if (s.array->dictionary) {
      s.dictionary = s.array->dictionary.get();
      const bool text_values = arrow::is_text(s.dictionary->type.id);
      if (v.var_type.is_string != text_values)
        return SpssError::write("column '" + v.name + "': the format does not suit its values");
      if (!text_values) {
        SlotSource probe;
        if (!numeric_filler(s.dictionary->type, probe)) return no_form(s.dictionary->type);
      }
      s.fill = dictionary_filler(*s.array);
      if (!s.fill)
        return SpssError::write("column '" + v.name +
                                "': a dictionary index is not an integer inside its dictionary");
    } else if (v.var_type.is_string) {
      if (!arrow::is_text(s.array->type.id))
        return SpssError::write("column '" + v.name + "': a string format needs a text column");
      s.fill = fill_strings;
    } else {
      s.fill = numeric_filler(s.array->type, s);
      if (!s.fill) return no_form(s.array->type);
    }
    out.push_back(s);
  }
  return out;
}

Result<RowAssembler> RowAssembler::make(const WriteTable& table, const CaseLayout& layout) {
  RowAssembler r;
  r.row_bytes_ = layout.total_slots * sav::kSlotBytes;
  for (const auto& batch : table.batches) {
    if (batch.num_rows == 0) continue;
    KORVEL_ASSIGN_OR_RETURN(auto sources, make_slot_sources(batch, layout));
    r.sources_.push_back(std::move(sources));
    r.batch_start_.push_back(r.rows_);
    r.rows_ += static_cast<uint64_t>(batch.num_rows);
  }
  return r;
}

size_t RowAssembler::chunk_rows() const {
  if (row_bytes_ == 0) return kMaxChunkRows;
  return std::clamp<size_t>(kChunkBytes / row_bytes_, 1, kMaxChunkRows);
}

void RowAssembler::assemble_range(uint64_t first, size_t n, uint8_t* rows) const {
  // The batch holding `first`, then on through the following ones.
  size_t b = static_cast<size_t>(std::upper_bound(batch_start_.begin(), batch_start_.end(), first) -
                                 batch_start_.begin() - 1);
  while (n > 0) {
    const uint64_t start = batch_start_[b];
    const uint64_t end = b + 1 < batch_start_.size() ? batch_start_[b + 1] : rows_;
    const auto local = static_cast<int64_t>(first - start);
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, end - first));
    for (const SlotSource& s : sources_[b])
      s.fill(s, local, k, rows + s.variable->slot_offset * sav::kSlotBytes, row_bytes_);
    rows += k * row_bytes_;
    first += k;
    n -= k;
    ++b;
  }
}

void RowAssembler::assemble(uint64_t first, size_t n, uint8_t* rows) const {
  if (row_bytes_ == 0 || n == 0) return;
  const size_t tile = std::max<size_t>(1, kTileBytes / row_bytes_);
  const size_t tiles = (n + tile - 1) / tile;
  if (tiles == 1) return assemble_range(first, n, rows);
  parallel_for(
      tiles,
      [&](size_t t) {
        const size_t begin = t * tile;
        assemble_range(first + begin, std::min(tile, n - begin), rows + begin * row_bytes_);
      },
      1);
}

namespace {

// Runs `consume(rows, n)` on every chunk of assembled rows, in order.
template <typename F>
Status for_each_chunk(const RowAssembler& rows, uint64_t n_rows, F&& consume) {
  if (rows.row_bytes() == 0 || n_rows == 0) return Ok{};
  const size_t chunk = static_cast<size_t>(std::min<uint64_t>(rows.chunk_rows(), n_rows));
  ByteBuffer buffer(chunk * rows.row_bytes());
  for (uint64_t first = 0; first < n_rows; first += chunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, n_rows - first));
    rows.assemble(first, n, buffer.data());
    KORVEL_TRY(consume(buffer.data(), n));
  }
  return Ok{};
}

}  // namespace

Status write_data_uncompressed(BufferedWriter& w, const RowAssembler& rows, uint64_t n_rows) {
  return for_each_chunk(rows, n_rows, [&](const uint8_t* data, size_t n) {
    return w.write(data, n * rows.row_bytes());
  });
}

Status write_data_bytecode(BufferedWriter& w, const RowAssembler& rows, uint64_t n_rows) {
  BytecodeEncoder enc;
  const size_t slots = rows.row_bytes() / sav::kSlotBytes;
  Status st = for_each_chunk(rows, n_rows, [&](const uint8_t* data, size_t n) {
    enc.encode_rows(data, n, slots);
    if (enc.output().size() <= kBytecodeFlushBytes) return Status(Ok{});
    Status written = w.write(enc.output().data(), enc.output().size());
    enc.output().clear();
    return written;
  });
  KORVEL_TRY(st);
  enc.write_eof();
  return w.write(enc.output().data(), enc.output().size());
}

}  // namespace korvel
