// A file holding given bytes for the lifetime of the object, for tests that need a real file
// (mapping, pread).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace korvel::testing {

struct TempFile {
  std::string path;
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    char name[] = "/tmp/korvel_test_XXXXXX";
    int fd = mkstemp(name);
    path = name;
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(fd);
  }
  ~TempFile() { std::remove(path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
};

}  // namespace korvel::testing
