// An open stdio file that closes itself.
#pragma once

#include <cstdio>
#include <memory>

namespace qelm::platform {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

/// A stdio file (`std::fopen`, `fdopen`), closed when it goes, however the read or write ends.
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace qelm::platform
