#pragma once

namespace qelm {

/// Names of the facts the engine puts in the `SettingsStore` at start-up.
namespace settings_key {

/// Report template (HTML) file path.
inline constexpr const char* kReportTemplatePath = "LM_REPORT_TEMPLATE_PATH";
/// Folder the loudness reports are written to, ending in "/".
inline constexpr const char* kReportDirectory = "LM_REPORT_DIRECTORY";
/// Data-log template (text) file path.
inline constexpr const char* kDataTemplatePath = "LM_DATA_TEMPLATE_PATH";
/// "1" when the panel's network settings pages exist.
inline constexpr const char* kShowNetworkSettingsPages = "SHOW_NETWORK_SETTINGS_PAGES";
/// "1" when the panel's time settings pages exist.
inline constexpr const char* kShowTimeSettingsPages = "SHOW_TIME_SETTINGS_PAGES";
/// The program version "major.minor.build.revision"; absent on the hardware panel.
inline constexpr const char* kApplicationVersion = "VADEDER_APPLICATION_VERSION";

}  // namespace settings_key
}  // namespace qelm
