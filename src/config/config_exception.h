#pragma once

#include <stdexcept>
#include <string>

namespace qelm {

/// A configuration error: "at ", the location (path:line, or path " [binary]"), a space and the
/// message. Raised by `ConfigLoader::fail`, caught once by the loader.
class ConfigException : public std::runtime_error {
 public:
  explicit ConfigException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace qelm
