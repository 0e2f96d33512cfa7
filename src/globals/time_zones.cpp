#include "globals/time_zones.h"

#include <array>

namespace qelm {

namespace {

// Rules are kept exactly as the panel has always written them into "tzname", so stored values
// keep matching their rows.
constexpr std::array<TimeZoneRow, 38> kTimeZones = {{
    {"Pacific Time (US & Canada)", "PST8PDT,M3.2.0,M11.1.0"},
    {"Arizona", "MST7"},
    {"Mountain Time (US & Canada)", "MST7MDT,M3.2.0,M11.1.0"},
    {"Central Time (US & Canada)", "EST6EDT,M3.2.0,M11.1.0"},
    {"Central America", "CST6"},
    {"Mexico City", "CST6CDT,M4.1.0,M10.5.0"},
    {"Eastern Time (US & Canada)", "EST5EDT,M3.2.0,M11.1.0"},
    {"Panama", "EST5"},
    {"Caracas", "VET4:30"},
    {"Halifax", "AST4ADT,M3.2.0,M11.1.0"},
    {"La Paz", "BOT4"},
    {"St Johns", "NST3:30NDT,M3.2.0/0:01,M11.1.0/0:01"},
    {"South Georgia", "GST2"},
    {"Cape Verde", "CVT1"},
    {"Casablanca", "WET0"},
    {"London, Dublin", "GMT0BST,M3.5.0/1,M10.5.0"},
    {"Paris, Berlin, Rome", "CET-1CEST,M3.5.0,M10.5.0/3"},
    {"Athens, Istanbul", "EET-2EEST,M3.5.0/3,M10.5.0/4"},
    {"Damascus", "EET-2EEST,M4.1.5/0,M10.5.5/0"},
    {"Gaza", "EET-2EEST,M3.5.6/0:01,M9.1.5"},
    {"Baghdad, Kuwait", "AST-3"},
    {"Mayotte, Comoro, Antananarivo", "EAT-3"},
    {"Dubai, Mauritius, Reunion, Mahe", "MUT-4"},
    {"Kerguelen, Maldives, Karachi", "TFT-5"},
    {"Novosibirsk", "NOVT-6NOVST,M3.5.0,M10.5.0/3"},
    {"Chagos", "IOT-6"},
    {"Cocos", "CCT-6:30"},
    {"Bangkok, Jakarta", "ICT-7"},
    {"Taipei, Singapore, Manila", "CST-8"},
    {"Tokyo, Seoul", "JST-9"},
    {"Yakutsk", "YAKT-9YAKST,M3.5.0,M10.5.0/3"},
    {"Sydney", "EST-10EST,M10.1.0,M4.1.0/3"},
    {"Kamchatka", "PETT-11PETST,M3.5.0,M10.5.0/3"},
    {"Wake Islands", "WAKT-12"},
    {"Norfolk", "NFT-11:30"},
    {"Niue", "NUT11"},
    {"Hawaii", "HST10"},
    {"Alaska", "AKST9AKDT,M3.2.0,M11.1.0"},
}};

}  // namespace

std::span<const TimeZoneRow> timeZoneTable() {
  return kTimeZones;
}

int timeZoneIndex(std::string_view rule) {
  for (std::size_t i = 1; i < kTimeZones.size(); ++i) {
    if (kTimeZones[i].rule == rule) return static_cast<int>(i);
  }
  return 0;
}

}  // namespace qelm
