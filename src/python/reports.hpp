// The printed reports of SpssMetadata (summary, describe) and the line output they share
// with the diff report.
#pragma once

#include <string>
#include <string_view>

#include "python/binding.hpp"

namespace korvel::py {

// Writes report lines straight to file descriptor 1, each line in one write, so that a line
// is out as soon as its newline is. Python's sys.stdout is flushed first, so that text the
// caller printed before the report comes out before it.
class ReportOutput {
 public:
  ReportOutput();
  void line(std::string_view text);

 private:
  bool failed_ = false;  // once the stream refuses a write, the rest is dropped
};

// summary($self)
PyObject* metadata_summary(PyObject* self, PyObject*);
// describe($self, names)
PyObject* metadata_describe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace korvel::py
