#include "python/reports.hpp"
#include "io_utils.hpp"

#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "python/conversions.hpp"
#include "python/metadata_object.hpp"
#include "python/text_forms.hpp"

namespace korvel::py {

ReportOutput::ReportOutput() {
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  if (out && out != Py_None) {
    Ref r = Ref::steal(PyObject_CallMethod(out, "flush", nullptr));
    // The report does not go through sys.stdout, so its failures are not the report's.
    if (!r) PyErr_Clear();
  }
}

void ReportOutput::line(std::string_view text) {
  if (failed_) return;
  std::string buf;
  buf.reserve(text.size() + 1);
  buf.append(text);
  buf += '\n';
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::write(1, buf.data() + done, buf.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return;
    }
    done += static_cast<size_t>(n);
  }
}

namespace {

// Ratio of a count to the number of columns, with a percentage when both are non-zero.
std::string ratio(uint64_t count, uint64_t total) {
  std::string out = pad_left(format_count(count), 5) + " / ";
  if (count != 0 && total != 0) {
    out += pad_right(format_count(total), 5) + "  " + format_percentage(count, total);
  } else {
    out += format_count(total);
  }
  return out;
}

std::string report_number(double v) {
  return integral_number_text(v, BeyondInt64::WriteInFull);
}

// A string variable has a format of type A or AHEX; ADATE and the other types are numeric.
bool is_string_format(const std::string* format) {
  if (!format) return false;
  const auto parsed = SpssFormat::from_string(*format);
  return parsed && (parsed->format_type == kFmtA || parsed->format_type == kFmtAHEX);
}

void print_summary(const SpssMetadata& m) {
  ReportOutput out;
  out.line("SPSS Metadata Summary");
  std::string rule;
  for (int i = 0; i < 42; ++i) rule += "\u2550";
  out.line(rule);
  out.line("");
  out.line("File");
  out.line("  Label:        " + (m.file_label.empty() ? std::string("(none)") : m.file_label));
  out.line("  Format:       " + m.file_format);
  out.line("  Encoding:     " + m.file_encoding);
  out.line("  Created:      " + m.creation_time);
  std::string rows = "unknown";
  if (m.number_rows) {
    rows = *m.number_rows < 0 ? std::to_string(*m.number_rows)
                              : format_count(static_cast<uint64_t>(*m.number_rows));
  }
  out.line("  Rows:         " + rows);
  out.line("  Columns:      " + format_count(m.number_columns));
  out.line("  Weight:       " + (m.weight_variable ? *m.weight_variable : std::string("(none)")));
  if (!m.notes.empty()) {
    std::string_view first = trim_unicode_whitespace(m.notes.front());
    std::string preview(utf8_prefix(first, 40));
    if (first.size() > 40) preview += "...";
    out.line("  Notes:        " + std::to_string(m.notes.size()) + " record(s) \u2502 " + preview);
  }

  out.line("");
  out.line("Variables");
  uint64_t strings = 0, numerics = 0;
  for (const auto& [name, format] : m.variable_formats) {
    if (is_string_format(&format)) {
      ++strings;
    } else {
      ++numerics;
    }
  }
  auto split_line = [&](const char* label, uint64_t n) {
    std::string text = std::string(label) + pad_left(format_count(n), 5) + "    ";
    if (m.number_columns != 0) text += format_percentage(n, m.number_columns);
    out.line(text);
  };
  split_line("  Numeric       ", numerics);
  split_line("  String        ", strings);

  uint64_t levels[4] = {0, 0, 0, 0};  // indexed by Measure
  for (const auto& name : m.variable_names) {
    const Measure* measure = m.variable_measures.find(name);
    ++levels[static_cast<size_t>(measure ? *measure : Measure::Unknown)];
  }
  out.line("");
  out.line("  Nominal       " + pad_left(format_count(levels[size_t(Measure::Nominal)]), 5));
  out.line("  Ordinal       " + pad_left(format_count(levels[size_t(Measure::Ordinal)]), 5));
  out.line("  Scale         " + pad_left(format_count(levels[size_t(Measure::Scale)]), 5));
  if (levels[size_t(Measure::Unknown)] > 0) {
    out.line("  Unknown       " + pad_left(format_count(levels[size_t(Measure::Unknown)]), 5));
  }

  if (!m.variable_roles.empty()) {
    uint64_t roles[6] = {0, 0, 0, 0, 0, 0};  // indexed by Role
    for (const auto& [name, role] : m.variable_roles) ++roles[static_cast<size_t>(role)];
    static const char* const kRoleLabels[6] = {
        "  Input         ", "  Target        ", "  Both          ",
        "  None          ", "  Partition     ", "  Split         ",
    };
    out.line("");
    out.line("Roles (" + std::to_string(m.variable_roles.size()) + " variables)");
    for (size_t i = 0; i < 6; ++i) {
      if (roles[i] > 0) out.line(kRoleLabels[i] + pad_left(format_count(roles[i]), 5));
    }
  }

  out.line("");
  out.line("Annotations");
  out.line("  Labeled:      " + ratio(m.variable_labels.size(), m.number_columns));
  out.line("  Value labels: " + ratio(m.variable_value_labels.size(), m.number_columns));
  out.line("  Missing:      " + ratio(m.variable_missing_values.size(), m.number_columns));
  out.line("  MR sets:      " + pad_left(format_count(m.mr_sets.size()), 5));
  if (!m.variable_attributes.empty()) {
    out.line("  Custom attrs: " + ratio(m.variable_attributes.size(), m.number_columns));
  }
}

std::string missing_text(const std::vector<MissingSpec>& specs) {
  std::string out;
  for (const auto& s : specs) {
    if (!out.empty()) out += ", ";
    switch (s.kind) {
      case MissingSpec::Kind::Discrete:
        out += report_number(s.value);
        break;
      case MissingSpec::Kind::Range:
        out += report_number(s.value) + " thru " + report_number(s.high);
        break;
      case MissingSpec::Kind::DiscreteString:
        out += quote_escaped(s.text);
        break;
    }
  }
  return out;
}

void print_variable(ReportOutput& out, const SpssMetadata& m, const std::string& name) {
  const std::string* label = m.variable_labels.find(name);
  const std::string* format = m.variable_formats.find(name);
  const Measure* measure = m.variable_measures.find(name);
  const Alignment* align = m.variable_alignments.find(name);
  const uint32_t* display = m.variable_display_widths.find(name);
  const size_t* storage = m.variable_storage_widths.find(name);
  const Role* role = m.variable_roles.find(name);
  const auto* missing = m.variable_missing_values.find(name);
  const ValueLabels* labels = m.variable_value_labels.find(name);
  const AttributeMap* attrs = m.variable_attributes.find(name);

  out.line("Variable: " + name);
  out.line("Label:    " + (label ? *label : std::string("(none)")));
  out.line("Format:   " + pad_right(format ? *format : "?", 12) +
           "Measure: " + (measure ? std::string(to_string(*measure)) : "?"));
  out.line("Type:     " + pad_right(is_string_format(format) ? "String" : "Numeric", 12) +
           "Align:   " + (align ? std::string(to_string(*align)) : "?"));
  out.line("Display:  " + pad_right(display ? std::to_string(*display) : "?", 12) +
           "Storage: " + (storage ? std::to_string(*storage) : "?"));
  out.line("Role:     " + (role ? std::string(to_string(*role)) : "(none)"));
  if (!missing || missing->empty()) {
    out.line("Missing:  (none)");
  } else {
    out.line("Missing:  " + missing_text(*missing));
  }
  if (labels && !labels->empty()) {
    out.line("");
    out.line("Value Labels (" + std::to_string(labels->size()) + "):");
    for (const auto& [value, text] : *labels) {
      std::string v = value.is_number() ? report_number(value.as_number()) : value.as_string();
      out.line("  " + pad_right(v, 8) + text);
    }
  }
  if (attrs && !attrs->empty()) {
    out.line("");
    out.line("Custom Attributes (" + std::to_string(attrs->size()) + "):");
    for (const auto& [attr, values] : *attrs) {
      std::string shown;
      if (values.size() == 1) {
        shown = values.front();
      } else {
        shown = "[";
        for (size_t i = 0; i < values.size(); ++i) {
          if (i > 0) shown += ", ";
          shown += quote_escaped(values[i]);
        }
        shown += "]";
      }
      out.line("  " + attr + ": " + shown);
    }
  }
}

}  // namespace

PyObject* metadata_summary(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const SpssMetadata* m = metadata_of(self, "self");
    if (!m) return nullptr;
    print_summary(*m);
    Py_RETURN_NONE;
  });
}

PyObject* metadata_describe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const SpssMetadata* m = metadata_of(self, "self");
    if (!m) return nullptr;
    PyObject* a[1];
    if (!parse_args("describe", args, nargs, kwnames, {"names"}, 1, a)) return nullptr;
    std::vector<std::string> names;
    if (PyUnicode_Check(a[0])) {
      auto name = as_str(a[0], "names");
      if (!name) return nullptr;
      names.push_back(std::move(*name));
    } else {
      auto list = py_to_str_sequence(a[0], "names");
      if (!list) {
        PyErr_Clear();
        return raise(PyExc_OSError, "describe() expects a variable name (str) or list of names");
      }
      names = std::move(*list);
    }
    // Every name is checked before anything is printed.
    for (const auto& name : names) {
      if (!check_variable_name(*m, name)) return nullptr;
    }
    if (names.empty()) Py_RETURN_NONE;
    ReportOutput out;
    for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0) out.line("");
      print_variable(out, *m, names[i]);
    }
    Py_RETURN_NONE;
  });
}

}  // namespace korvel::py
