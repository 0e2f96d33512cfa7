#pragma once

#include <span>
#include <string_view>

namespace qelm {

/// One selectable time zone: the name the panel shows and the POSIX TZ rule that applies it.
struct TimeZoneRow {
  std::string_view name;
  std::string_view rule;
};

/// The 38 selectable zones; the index is the "Time Zone" choice value.
std::span<const TimeZoneRow> timeZoneTable();

/// Index of the row whose rule equals `rule`, searching from index 1; 0 when none matches (so
/// an unknown or unset zone shows as the first row).
int timeZoneIndex(std::string_view rule);

}  // namespace qelm
