#include <gtest/gtest.h>

#include "metadata.hpp"

using korvel::OrderedMap;
using korvel::SpssMetadata;
using korvel::Value;
using korvel::ValueLabels;

namespace {
template <typename M>
std::vector<std::string> keys(const M& m) {
  std::vector<std::string> out;
  for (const auto& [k, v] : m) out.push_back(k);
  return out;
}
}  // namespace

TEST(SpssMetadata, Defaults) {
  SpssMetadata m;
  EXPECT_EQ(m.file_encoding, "UTF-8");
  EXPECT_EQ(m.file_format, "sav");
  EXPECT_EQ(m.compression, korvel::Compression::Uncompressed);
  EXPECT_FALSE(m.number_rows.has_value());
  EXPECT_EQ(m.number_columns, 0u);
  EXPECT_TRUE(m.file_label.empty() && m.creation_time.empty() && m.notes.empty());
  EXPECT_FALSE(m.weight_variable.has_value());
  EXPECT_TRUE(m.variable_names.empty() && m.variable_labels.empty() && m.mr_sets.empty());
}

TEST(SpssMetadata, CopiesAreDeep) {
  SpssMetadata a;
  ValueLabels labels;
  labels.insert(Value::number(1), "yes");
  a.variable_value_labels.insert("q1", labels);
  SpssMetadata b = a;
  b.variable_value_labels.find("q1")->insert(Value::number(1), "no");
  EXPECT_EQ(*a.variable_value_labels.find("q1")->find(Value::number(1)), "yes");
  EXPECT_FALSE(a == b);
}

TEST(Value, EqualityByBitsAndKind) {
  ValueLabels m;
  m.insert(Value::number(0.0), "zero");
  m.insert(Value::number(-0.0), "minus zero");
  m.insert(Value::number(1.0), "one");
  m.insert(Value::string("1"), "string one");
  double nan = std::numeric_limits<double>::quiet_NaN();
  m.insert(Value::number(nan), "nan");
  m.insert(Value::number(nan), "nan again");
  EXPECT_EQ(m.size(), 5u);
  EXPECT_EQ(*m.find(Value::number(nan)), "nan again");
  EXPECT_EQ(*m.find(Value::number(-0.0)), "minus zero");
  EXPECT_FALSE(Value::number(1.0) == Value::string("1"));
}

TEST(OrderedMap, ReplaceKeepsPosition) {
  OrderedMap<std::string, int> m;
  m.insert("a", 1);
  m.insert("b", 2);
  m.insert("c", 3);
  EXPECT_EQ(m.insert("a", 10), 0u);
  EXPECT_EQ(keys(m), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(*m.find("a"), 10);
}

TEST(OrderedMap, RemovalMovesLastIntoHole) {
  struct Case {
    const char* removed;
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {"a", {"c", "b"}},
      {"b", {"a", "c"}},
      {"c", {"a", "b"}},
      {"x", {"a", "b", "c"}},
  };
  for (const auto& c : cases) {
    OrderedMap<std::string, int> m;
    m.insert("a", 1);
    m.insert("b", 2);
    m.insert("c", 3);
    EXPECT_EQ(m.remove(c.removed), std::string(c.removed) != "x");
    EXPECT_EQ(keys(m), c.order) << c.removed;
    // The index still finds every remaining key at its new place.
    for (size_t i = 0; i < m.size(); ++i) EXPECT_EQ(m.position(m.at_index(i).first), i);
  }
}

TEST(OrderedMap, LookupsAreExact) {
  OrderedMap<std::string, int> m;
  m.insert("Age", 1);
  EXPECT_EQ(m.find("age"), nullptr);
  EXPECT_NE(m.find("Age"), nullptr);
}
