#include "arrow/types.hpp"

namespace korvel::arrow {

int byte_width(TypeId id) {
  switch (id) {
    case TypeId::Int8:
    case TypeId::UInt8:
      return 1;
    case TypeId::Int16:
    case TypeId::UInt16:
    case TypeId::Float16:
      return 2;
    case TypeId::Int32:
    case TypeId::UInt32:
    case TypeId::Float32:
    case TypeId::Date32:
    case TypeId::Time32:
      return 4;
    case TypeId::Int64:
    case TypeId::UInt64:
    case TypeId::Float64:
    case TypeId::Date64:
    case TypeId::Time64:
    case TypeId::Timestamp:
    case TypeId::Duration:
      return 8;
    default:
      return 0;
  }
}

bool is_binary_like(TypeId id) {
  return id == TypeId::Utf8 || id == TypeId::LargeUtf8 || id == TypeId::Binary ||
         id == TypeId::LargeBinary;
}
bool is_view(TypeId id) {
  return id == TypeId::Utf8View || id == TypeId::BinaryView;
}
bool is_text(TypeId id) {
  return id == TypeId::Utf8 || id == TypeId::LargeUtf8 || id == TypeId::Utf8View;
}

namespace {

struct Simple {
  std::string_view format;
  TypeId id;
  std::string_view name;
};

constexpr Simple kSimple[] = {
    {"n", TypeId::Null, "Null"},
    {"b", TypeId::Boolean, "Boolean"},
    {"c", TypeId::Int8, "Int8"},
    {"s", TypeId::Int16, "Int16"},
    {"i", TypeId::Int32, "Int32"},
    {"l", TypeId::Int64, "Int64"},
    {"C", TypeId::UInt8, "UInt8"},
    {"S", TypeId::UInt16, "UInt16"},
    {"I", TypeId::UInt32, "UInt32"},
    {"L", TypeId::UInt64, "UInt64"},
    {"e", TypeId::Float16, "Float16"},
    {"f", TypeId::Float32, "Float32"},
    {"g", TypeId::Float64, "Float64"},
    {"u", TypeId::Utf8, "Utf8"},
    {"U", TypeId::LargeUtf8, "LargeUtf8"},
    {"vu", TypeId::Utf8View, "Utf8View"},
    {"z", TypeId::Binary, "Binary"},
    {"Z", TypeId::LargeBinary, "LargeBinary"},
    {"vz", TypeId::BinaryView, "BinaryView"},
    {"tdD", TypeId::Date32, "Date32"},
    {"tdm", TypeId::Date64, "Date64"},
};

// Families kept as Other: prefix and display name.
struct Family {
  std::string_view prefix;
  std::string_view name;
};
constexpr Family kOther[] = {
    {"+s", "Struct"},
    {"+l", "List"},
    {"+L", "LargeList"},
    {"+vl", "ListView"},
    {"+vL", "LargeListView"},
    {"+w:", "FixedSizeList"},
    {"+m", "Map"},
    {"+ud:", "Union"},
    {"+us:", "Union"},
    {"+r", "RunEndEncoded"},
    {"w:", "FixedSizeBinary"},
    {"d:", "Decimal"},
    {"tiM", "Interval(YearMonth)"},
    {"tiD", "Interval(DayTime)"},
    {"tin", "Interval(MonthDayNano)"},
};

bool unit_of(char c, TimeUnit* u) {
  switch (c) {
    case 's':
      *u = TimeUnit::Second;
      return true;
    case 'm':
      *u = TimeUnit::Millisecond;
      return true;
    case 'u':
      *u = TimeUnit::Microsecond;
      return true;
    case 'n':
      *u = TimeUnit::Nanosecond;
      return true;
    default:
      return false;
  }
}

char unit_char(TimeUnit u) {
  switch (u) {
    case TimeUnit::Second:
      return 's';
    case TimeUnit::Millisecond:
      return 'm';
    case TimeUnit::Microsecond:
      return 'u';
    case TimeUnit::Nanosecond:
      return 'n';
  }
  return 'u';
}

const char* unit_name(TimeUnit u) {
  switch (u) {
    case TimeUnit::Second:
      return "Second";
    case TimeUnit::Millisecond:
      return "Millisecond";
    case TimeUnit::Microsecond:
      return "Microsecond";
    case TimeUnit::Nanosecond:
      return "Nanosecond";
  }
  return "";
}

}  // namespace

Result<DataType> parse_format(std::string_view f) {
  for (const Simple& s : kSimple)
    if (f == s.format) return DataType(s.id);
  TimeUnit u;
  if (f.size() >= 4 && f.substr(0, 2) == "ts" && unit_of(f[2], &u) && f[3] == ':')
    return DataType::timestamp(u, std::string(f.substr(4)));
  if (f.size() == 3 && f.substr(0, 2) == "tD" && unit_of(f[2], &u)) return DataType::duration(u);
  if (f.size() == 3 && f.substr(0, 2) == "tt" && unit_of(f[2], &u)) return DataType::time(u);
  for (const Family& fam : kOther) {
    if (f.substr(0, fam.prefix.size()) == fam.prefix) {
      DataType t(TypeId::Other);
      t.format = std::string(f);
      return t;
    }
  }
  return Error::interface("unsupported format string '" + std::string(f) + "'");
}

std::string format_string(const DataType& t) {
  for (const Simple& s : kSimple)
    if (t.id == s.id) return std::string(s.format);
  switch (t.id) {
    case TypeId::Timestamp:
      return std::string("ts") + unit_char(t.unit) + ":" + t.timezone;
    case TypeId::Duration:
      return std::string("tD") + unit_char(t.unit);
    case TypeId::Time32:
    case TypeId::Time64:
      return std::string("tt") + unit_char(t.unit);
    default:
      return t.format;
  }
}

std::string to_string(const DataType& t) {
  for (const Simple& s : kSimple)
    if (t.id == s.id) return std::string(s.name);
  switch (t.id) {
    case TypeId::Timestamp:
      return std::string("Timestamp(") + unit_name(t.unit) + ", " +
             (t.timezone.empty() ? std::string("None") : "Some(\"" + t.timezone + "\")") + ")";
    case TypeId::Duration:
      return std::string("Duration(") + unit_name(t.unit) + ")";
    case TypeId::Time32:
      return std::string("Time32(") + unit_name(t.unit) + ")";
    case TypeId::Time64:
      return std::string("Time64(") + unit_name(t.unit) + ")";
    default:
      for (const Family& fam : kOther)
        if (t.format.substr(0, fam.prefix.size()) == fam.prefix) return std::string(fam.name);
      return "Unknown(" + t.format + ")";
  }
}

}  // namespace korvel::arrow
