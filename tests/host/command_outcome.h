#pragma once

#include <string>

namespace qelm::testing {

/// What a command of `qelm-engine` returned and wrote.
struct CommandOutcome {
  int code;
  std::string out;
  std::string err;
};

}  // namespace qelm::testing
