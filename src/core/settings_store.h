#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace qelm {

/// Facts about the host the engine runs on (report folders, which settings pages exist, the
/// program version), as named texts. Filled once at start-up, then only read; engine thread only.
class SettingsStore {
 public:
  /// Inserts or replaces the value of `name`.
  void setText(std::string_view name, std::string_view value);
  /// Stores `flag` as the text "1" (true) or "0" (false).
  void setBool(std::string_view name, bool flag);
  /// The value of `name`, or empty when absent.
  std::string getText(std::string_view name) const;
  /// True only when `name` is present with the value exactly "1".
  bool getBool(std::string_view name) const;
  /// Whether `name` is present (an empty value counts as present).
  bool contains(std::string_view name) const;

 private:
  // Byte-wise name order, so listings are the same on every platform.
  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace qelm
