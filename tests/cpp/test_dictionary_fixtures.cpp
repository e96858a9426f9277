// The dictionaries of the system files written by other programs in the shared fixtures.
#include <gtest/gtest.h>

#include <bit>
#include <filesystem>

#include "dictionary.hpp"

using namespace korvel;

namespace {

namespace fs = std::filesystem;

fs::path fixtures_dir() {
  return fs::path(KORVEL_SHARED_DIR) / "fixtures";
}

#define SKIP_WITHOUT_FIXTURES()                                                             \
  do {                                                                                      \
    if (!fs::is_directory(fixtures_dir())) {                                                \
      GTEST_SKIP() << "fixtures not found at " << fixtures_dir() << " (KORVEL_SHARED_DIR)"; \
    }                                                                                       \
  } while (0)

Result<ResolvedDictionary> resolve_file(const fs::path& path) {
  KORVEL_ASSIGN_OR_RETURN(auto source, BufferedReader::open_file(path.string(), 1 << 20));
  SavReader reader(std::move(source));
  KORVEL_ASSIGN_OR_RETURN(FileHeader header, read_file_header(reader));
  KORVEL_ASSIGN_OR_RETURN(RawDictionary raw, parse_dictionary(reader, header));
  return resolve_dictionary(std::move(raw));
}

ResolvedDictionary must_resolve(const char* relative) {
  auto d = resolve_file(fixtures_dir() / relative);
  EXPECT_TRUE(d.ok()) << relative << ": " << d.error().message();
  return d.ok() ? std::move(d).value() : ResolvedDictionary{};
}

template <typename V>
std::vector<std::string> keys(const VarMap<V>& m) {
  std::vector<std::string> out;
  for (const auto& [k, v] : m) out.push_back(k);
  return out;
}

// `sub` holds names of `names` in the same relative order.
bool ordered_subset(const std::vector<std::string>& sub, const std::vector<std::string>& names) {
  size_t j = 0;
  for (const auto& s : sub) {
    while (j < names.size() && names[j] != s) ++j;
    if (j == names.size()) return false;
    ++j;
  }
  return true;
}

void expect_sound(const ResolvedDictionary& d, const std::string& what) {
  const SpssMetadata& md = d.metadata;
  ASSERT_EQ(md.variable_names.size(), md.number_columns) << what;
  ASSERT_EQ(d.variables.size(), md.number_columns) << what;
  for (size_t i = 0; i < d.variables.size(); ++i) {
    const VariableRecord& v = d.variables[i];
    EXPECT_EQ(v.name, md.variable_names[i]) << what;
    EXPECT_FALSE(v.skip) << what;
    EXPECT_LE(v.slot_index + slots_occupied(v.var_type, v.n_segments), d.slots_per_row)
        << what << " " << v.name;
  }
  EXPECT_EQ(keys(md.variable_measures), md.variable_names) << what;
  EXPECT_EQ(keys(md.variable_alignments), md.variable_names) << what;
  EXPECT_EQ(keys(md.variable_storage_widths), md.variable_names) << what;
  EXPECT_EQ(keys(md.variable_display_widths), md.variable_names) << what;
  EXPECT_EQ(keys(md.arrow_data_types), md.variable_names) << what;
  EXPECT_TRUE(ordered_subset(keys(md.variable_labels), md.variable_names)) << what;
  EXPECT_TRUE(ordered_subset(keys(md.variable_formats), md.variable_names)) << what;
  EXPECT_TRUE(ordered_subset(keys(md.variable_value_labels), md.variable_names)) << what;
}

TEST(DictionaryFixtures, EveryFileResolves) {
  SKIP_WITHOUT_FIXTURES();
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(fixtures_dir())) {
    const fs::path& p = entry.path();
    if (p.extension() != ".sav" && p.extension() != ".zsav") continue;
    ++files;
    const std::string name = p.filename().string();
    auto d = resolve_file(p);
    if (name == "hotel-encrypted.sav") {
      ASSERT_FALSE(d.ok());
      EXPECT_EQ(d.error().message(),
                "invalid magic number: expected \"$FL2\" or \"$FL3\", found [28, 0, 0, 0]");
    } else if (name.rfind("CVE-", 0) == 0) {
      // Damaged on purpose: a clear error or a sound result.
      if (d.ok()) {
        expect_sound(*d, name);
      } else {
        EXPECT_FALSE(d.error().message().empty()) << name;
      }
    } else {
      ASSERT_TRUE(d.ok()) << p << ": " << d.error().message();
      EXPECT_GT(d->metadata.number_columns, 0u) << name;
      expect_sound(*d, name);
    }
  }
  EXPECT_GT(files, 20u);
}

TEST(DictionaryFixtures, RowWidthIgnoresTheHeaderCaseSize) {
  SKIP_WITHOUT_FIXTURES();
  ResolvedDictionary d = must_resolve("haven/iris.sav");
  EXPECT_EQ(d.header.nominal_case_size, 0);
  EXPECT_EQ(d.slots_per_row, 5u);
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(md.variable_names,
            (std::vector<std::string>{"Sepal.Length", "Sepal.Width", "Petal.Length", "Petal.Width",
                                      "Species"}));
  EXPECT_EQ(md.file_encoding, "UTF-8");
  EXPECT_EQ(md.number_rows, std::optional<int64_t>(150));
  EXPECT_EQ(*md.variable_formats.find("Species"), "F8.0");
  EXPECT_EQ(*md.variable_measures.find("Sepal.Length"), Measure::Scale);
  ValueLabels species;
  species.insert(Value::number(1), "setosa");
  species.insert(Value::number(2), "versicolor");
  species.insert(Value::number(3), "virginica");
  EXPECT_EQ(*md.variable_value_labels.find("Species"), species);
}

TEST(DictionaryFixtures, TemporalFormats) {
  SKIP_WITHOUT_FIXTURES();
  ResolvedDictionary d = must_resolve("haven/datetime.sav");
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(md.variable_names, (std::vector<std::string>{"date", "date.posix", "time"}));
  EXPECT_EQ(keys(md.variable_formats), md.variable_names);
  EXPECT_EQ(*md.variable_formats.find("date"), "ADATE10");
  EXPECT_EQ(*md.variable_formats.find("date.posix"), "DATETIME20");
  EXPECT_EQ(*md.variable_formats.find("time"), "TIME11");
  EXPECT_EQ(*md.arrow_data_types.find("date"), "Date32");
  EXPECT_EQ(*md.arrow_data_types.find("date.posix"), "Timestamp[us]");
  EXPECT_EQ(*md.arrow_data_types.find("time"), "Duration[us]");
  EXPECT_EQ(*md.variable_display_widths.find("date.posix"), 27u);
  EXPECT_EQ(md.file_encoding, "windows-1252");
  EXPECT_EQ(md.creation_time, "2015-02-27 12:05:48");
  EXPECT_EQ(*md.variable_roles.find("time"), Role::Input);
  EXPECT_TRUE(md.variable_attributes.empty());

  ResolvedDictionary dates = must_resolve("savreaderwriter/test_dates.sav");
  const auto& types = dates.metadata.arrow_data_types;
  EXPECT_EQ(*types.find("var_wkyr"), "Date32");
  EXPECT_EQ(*types.find("var_qyr"), "Date32");
  EXPECT_EQ(*types.find("var_dtime"), "Duration[us]");
  EXPECT_EQ(*types.find("var_month"), "f64");
  EXPECT_EQ(*types.find("var_wkday"), "f64");
  EXPECT_EQ(*dates.metadata.variable_formats.find("var_datetime"), "DATETIME40");
}

TEST(DictionaryFixtures, LabelsAndValueLabels) {
  SKIP_WITHOUT_FIXTURES();
  ResolvedDictionary umlauts = must_resolve("haven/umlauts.sav");
  EXPECT_EQ(*umlauts.metadata.variable_labels.find("var1"), "This is an \xC3\xA4-umlaut");
  EXPECT_EQ(umlauts.metadata.variable_value_labels.find("var1")->at_index(0).second,
            "the \xC3\xA4 umlaut");

  ResolvedDictionary str = must_resolve("haven/labelled-str.sav");
  ValueLabels gender;
  gender.insert(Value::string("F"), "Female");
  gender.insert(Value::string("M"), "Male");
  EXPECT_EQ(*str.metadata.variable_value_labels.find("gender"), gender);
  EXPECT_EQ(*str.metadata.variable_measures.find("gender"), Measure::Nominal);
  EXPECT_EQ(*str.metadata.variable_alignments.find("gender"), Alignment::Left);

  ResolvedDictionary emp = must_resolve("savreaderwriter/Employee_data.sav");
  const SpssMetadata& md = emp.metadata;
  EXPECT_EQ(md.file_label, "05.00.00");
  EXPECT_EQ(md.number_rows, std::optional<int64_t>(474));
  EXPECT_EQ(md.file_encoding, "windows-1252");
  EXPECT_EQ(*md.variable_labels.find("EDUC"), "Educational Level (years)");
  EXPECT_EQ(*md.variable_formats.find("SALARY"), "DOLLAR8.0");
  EXPECT_EQ(*md.arrow_data_types.find("BDATE"), "Date32");
  EXPECT_EQ(*md.variable_measures.find("EDUC"), Measure::Ordinal);
  EXPECT_EQ(md.variable_value_labels.find("GENDER")->at_index(0),
            (std::pair{Value::string("f"), std::string("Female")}));
  EXPECT_EQ(md.variable_value_labels.find("JOBCAT")->at_index(1),
            (std::pair{Value::number(1), std::string("Clerical")}));
  EXPECT_EQ(*md.variable_missing_values.find("MINORITY"), (std::vector{MissingSpec::discrete(9)}));

  ResolvedDictionary sample = must_resolve("pyreadstat/sample.sav");
  EXPECT_EQ(sample.metadata.notes,
            (std::vector<std::string>{"some test text as notes", "   (Entered 15-Aug-2018)",
                                      "some other comments", "   (Entered 15-Aug-2018)"}));
  EXPECT_EQ(*sample.metadata.variable_formats.find("mydate"), "EDATE10");
  EXPECT_EQ(*sample.metadata.variable_display_widths.find("mychar"), 9u);
  EXPECT_EQ(*sample.metadata.variable_measures.find("myord"), Measure::Ordinal);

  ResolvedDictionary hebrew = must_resolve("pyreadstat/hebrews.sav");
  EXPECT_EQ(hebrew.metadata.variable_names,
            (std::vector<std::string>{"\xD7\x95\xD7\xAA\xD7\xA7_\xD7\x91"}));
  EXPECT_EQ(hebrew.metadata.file_label, "jamovi data set");
}

TEST(DictionaryFixtures, MissingValuesSetsAttributesAndWeight) {
  SKIP_WITHOUT_FIXTURES();
  ResolvedDictionary d = must_resolve("savreaderwriter/spssio_test.sav");
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(md.file_label, "This is a file label");
  EXPECT_EQ(md.weight_variable, std::optional<std::string>("weightVar"));
  EXPECT_EQ(md.number_columns, 22u);
  const auto& mv = md.variable_missing_values;
  // SPSS's LOWEST: the double just above -DBL_MAX (which is the system-missing value).
  const double kLowest = std::bit_cast<double>(uint64_t{0xFFEFFFFFFFFFFFFE});
  EXPECT_EQ(*mv.find("Age"), (std::vector{MissingSpec::range(0, 18)}));
  EXPECT_EQ(*mv.find("Income2"),
            (std::vector{MissingSpec::range(kLowest, -1), MissingSpec::discrete(999)}));
  EXPECT_EQ(*mv.find("Income3"),
            (std::vector{MissingSpec::discrete(999), MissingSpec::discrete(888),
                         MissingSpec::discrete(777)}));
  EXPECT_EQ(*mv.find("aShortStringVar"),
            (std::vector{MissingSpec::discrete_string("x"), MissingSpec::discrete_string("y")}));
  EXPECT_EQ(keys(md.mr_sets), (std::vector<std::string>{"ages", "incomes", "V"}));
  EXPECT_EQ(md.mr_sets.find("ages")->variables, (std::vector<std::string>{"Age", "AGE2", "AGE3"}));
  EXPECT_EQ(md.mr_sets.find("V")->counted_value, std::optional<std::string>("1"));
  EXPECT_EQ(md.mr_sets.find("V")->mr_type, MrType::Dichotomy);
  const auto* attrs = md.variable_attributes.find("AvgIncome");
  ASSERT_NE(attrs, nullptr);
  EXPECT_EQ(*attrs->find("Formula"), (std::vector<std::string>{"mean(Income1, Income2, Income3)"}));
  EXPECT_EQ(*attrs->find("DerivedFrom"),
            (std::vector<std::string>{"Income1", "Income2", "Income3"}));
  EXPECT_EQ(md.notes.at(0), "This is a an'add document' entry");

  ResolvedDictionary mr = must_resolve("pyreadstat/mr_simple_alltypes.sav");
  const auto& sets = mr.metadata.mr_sets;
  EXPECT_EQ(keys(sets), (std::vector<std::string>{"categorical_array", "mymrset"}));
  MrSet ca{"categorical_array",
           "",
           MrType::Category,
           std::nullopt,
           {"ca_subvar_1", "ca_subvar_2", "ca_subvar_3"}};
  EXPECT_EQ(*sets.find("categorical_array"), ca);
  MrSet dich{
      "mymrset", "My multiple response set", MrType::Dichotomy, "1", {"bool1", "bool2", "bool3"}};
  EXPECT_EQ(*sets.find("mymrset"), dich);
  EXPECT_EQ(*mr.metadata.variable_missing_values.find("z"),
            (std::vector{MissingSpec::range(-999, 0), MissingSpec::discrete(999)}));
  EXPECT_EQ(*mr.metadata.variable_formats.find("quarter"), "QYR8");
}

TEST(DictionaryFixtures, LongStrings) {
  SKIP_WITHOUT_FIXTURES();
  ResolvedDictionary tegulu = must_resolve("pyreadstat/tegulu.sav");
  ASSERT_EQ(tegulu.variables.size(), 2u);
  const VariableRecord& v = tegulu.variables[1];
  EXPECT_EQ(v.name, "Q16br9oe_Q24br9oe");
  EXPECT_EQ(v.var_type, VarType::string(512));
  EXPECT_EQ(v.n_segments, 3u);
  EXPECT_EQ(v.slot_index, 1u);
  EXPECT_EQ(tegulu.slots_per_row, 66u);
  EXPECT_EQ(*tegulu.metadata.variable_formats.find("Q16br9oe_Q24br9oe"), "A512");
  EXPECT_EQ(*tegulu.metadata.variable_display_widths.find("Q16br9oe_Q24br9oe"), 26u);

  ResolvedDictionary width = must_resolve("pyreadstat/test_width.sav");
  EXPECT_EQ(
      width.metadata.variable_names,
      (std::vector<std::string>{"ResponseId", "StartDate", "Duration__in_seconds_", "Finished"}));
  EXPECT_EQ(width.variables[1].var_type, VarType::string(1024));
  EXPECT_EQ(width.variables[1].n_segments, 5u);
  EXPECT_EQ(width.variables[2].slot_index, 133u);
  EXPECT_EQ(*width.metadata.variable_storage_widths.find("StartDate"), 1024u);

  ResolvedDictionary greet = must_resolve("savreaderwriter/greetings.sav");
  const SpssMetadata& md = greet.metadata;
  EXPECT_EQ(md.variable_names, (std::vector<std::string>{"line", "Bondjo\xC3\xBB", "greeting"}));
  ValueLabels thai;
  thai.insert(Value::string("Thai"),
              "\xE0\xB8\xAA\xE0\xB8\xA7\xE0\xB8\xB1\xE0\xB8\xAA\xE0\xB8\x94\xE0\xB8\xB5");
  EXPECT_EQ(*md.variable_value_labels.find("Bondjo\xC3\xBB"), thai);
  EXPECT_EQ(*md.variable_missing_values.find("Bondjo\xC3\xBB"),
            (std::vector{MissingSpec::discrete_string("\xC2\xA1Hola!")}));
  EXPECT_EQ(*md.variable_missing_values.find("line"), (std::vector{MissingSpec::range(0, 9)}));
  EXPECT_EQ(*md.variable_storage_widths.find("greeting"), 56u);
}

TEST(DictionaryFixtures, NamesOfAWindows1252File) {
  SKIP_WITHOUT_FIXTURES();
  // SPSS wrote the names of this file in windows-1252; the expected names are pyreadstat's.
  ResolvedDictionary d = must_resolve("savreaderwriter/german.sav");
  const SpssMetadata& md = d.metadata;
  const std::vector<std::string> names = {"python",
                                          "programmieren",
                                          "macht",
                                          "\xC3\xBC"
                                          "berhaupt",
                                          "v\xC3\xB6llig",
                                          "spa\xC3\x9F"};
  EXPECT_EQ(md.file_encoding, "windows-1252");
  EXPECT_EQ(md.variable_names, names);
  // The attribute record names the variables by their long names: every role finds its column.
  EXPECT_EQ(keys(md.variable_roles), names);
  EXPECT_EQ(d.variables[3].short_name,
            "\xC3\x9C"
            "BERHAUP");
}

TEST(DictionaryFixtures, ZlibFile) {
  SKIP_WITHOUT_FIXTURES();
  ResolvedDictionary d = must_resolve("pyreadstat/sample.zsav");
  EXPECT_EQ(d.metadata.file_format, "zsav");
  EXPECT_EQ(d.metadata.compression, Compression::Zlib);
  EXPECT_EQ(d.slots_per_row, 7u);
}

}  // namespace
