#include "globals/globals_model.h"

#include <cassert>
#include <initializer_list>
#include <string>
#include <utility>

#include "core/settings_keys.h"
#include "core/settings_store.h"
#include "globals/time_zones.h"
#include "model/device.h"
#include "model/model.h"
#include "text/text.h"

namespace qelm {

namespace {

// No firmware-upgrade hardware in this edition, so no version is ever offered.
constexpr int32_t kOfferedFirmwareVersion = 0;

// A public time server with a long-lived address (NIST, time-a-g.nist.gov).
constexpr uint32_t kDefaultNtpServer = (129u << 24) | (6u << 16) | (15u << 8) | 28u;

struct Choice {
  int32_t value;
  const char* shortName;
  const char* longName = nullptr;  // null: same as the short name
};

Parameter& add(Model& model, GlobalCode code, const char* label, const char* key = "") {
  Parameter* parameter = model.add(Parameter::makeGlobal(codeOf(code), label, key));
  assert(parameter != nullptr && "global setting defined twice");
  return *parameter;
}

// Choices are numbered from `firstNumber` in the order given.
Parameter& choices(Parameter& parameter, std::initializer_list<Choice> entries,
                   int32_t firstNumber = 1) {
  int32_t number = firstNumber;
  for (const Choice& c : entries) {
    [[maybe_unused]] const bool added = parameter.addChoice(
        number++, c.value, c.shortName, c.longName != nullptr ? c.longName : c.shortName);
    assert(added && "duplicate choice");
  }
  return parameter;
}

void goAction(Parameter& parameter) {
  choices(parameter, {{1, "Go"}});
}

void floatRange(Parameter& parameter, double low, double high, double step, const char* unit,
                double byDefault) {
  parameter.setFloatRange(low, high, step);
  parameter.setUnit(unit);
  parameter.setDefault(Value::ofFloat(quantizeFloat(byDefault)));
}

void text(Parameter& parameter, int32_t length, StringFormat format = StringFormat::kPlain) {
  parameter.setString(length);
  parameter.setStringFormat(format);
}

void address(Parameter& parameter, bool withDefault = false, uint32_t byDefault = 0) {
  parameter.setIpAddressType();
  if (withDefault) parameter.setDefault(Value::ofAddress(byDefault));
}

void defaultChoice(Parameter& parameter, int32_t value) {
  parameter.setDefault(Value::ofInt(value));
}

// The network status and the fixed network settings.
void addNetworkSettings(Model& m) {
  using C = GlobalCode;
  address(add(m, C::kCurrentIpAddress, "Current IP Address"));
  address(add(m, C::kCurrentNetmask, "Current Netmask"));
  address(add(m, C::kCurrentGateway, "Current Gateway"));
  text(add(m, C::kEthernetAddress, "Ethernet Address"), 17);
  for (const C code :
       {C::kCurrentIpAddress, C::kCurrentNetmask, C::kCurrentGateway, C::kEthernetAddress}) {
    m.findByGlobalCode(codeOf(code))->setReadOnly(true);
  }
  choices(add(m, C::kObtainAddressViaDhcp, "Obtain Address via DHCP"), {{0, "No"}, {1, "Yes"}}, 0)
      .setSlow(true);
  Parameter& fixedIp = add(m, C::kFixedIpAddress, "Fixed IP Address", "ipaddr");
  address(fixedIp, true, 0);
  fixedIp.setSlow(true);
  Parameter& netmask = add(m, C::kNetmask, "Netmask", "netmask");
  address(netmask, true, 0xFFFFFF00u);
  netmask.setSlow(true);
  Parameter& gateway = add(m, C::kGateway, "Gateway", "gateway");
  address(gateway, true, 0);
  gateway.setSlow(true);
}

// The build and hardware information, read only.
void addSystemInformation(Model& m) {
  using C = GlobalCode;
  for (const auto& [code, label] : {std::pair{C::kApplicationBuild, "Application Build"},
                                    std::pair{C::kKernelBuild, "Kernel Build"},
                                    std::pair{C::kProcessorVersion, "Processor Version"},
                                    std::pair{C::kFirmwareStatus, "Firmware Status"}}) {
    Parameter& p = add(m, code, label);
    text(p, 20);
    p.setReadOnly(true);
  }
}

// The screens, the keys and knobs, the legacy port and the firmware action.
void addUserInterfaceSettings(Model& m) {
  using C = GlobalCode;
  Parameter& backlight = add(m, C::kBacklightLevel, "Backlight Level", "backlight");
  backlight.setInt32Range(1, 100, 1);
  backlight.setUnit("%");
  backlight.setDefault(Value::ofInt(100));
  defaultChoice(choices(add(m, C::kColorTheme, "Color Theme", "theme"),
                        {{0, "Bright", "Light Backgrounds"}, {1, "Dim", "Dark Backgrounds"}}),
                1);
  defaultChoice(choices(add(m, C::kQuickSwitch, "Quick Switch", "quick_switch"),
                        {{0, "Disabled"}, {1, "Enabled"}}, 0),
                1);

  floatRange(add(m, C::kMajorJumpInterval, "Major Jump Interval", "hf_bt2"), 0.01, 1, 0.01, "s",
             0.01);
  Parameter& majorMultiplier = add(m, C::kMajorJumpMultiplier, "Major Jump Multiplier", "hf_bm2");
  majorMultiplier.setIntegerRange(1, 100, 1);
  majorMultiplier.setUnit("clicks");
  majorMultiplier.setDefault(Value::ofInt(2));
  floatRange(add(m, C::kMinorJumpInterval, "Minor Jump Interval", "hf_bt1"), 0.01, 1, 0.01, "s",
             0.05);
  Parameter& minorMultiplier = add(m, C::kMinorJumpMultiplier, "Minor Jump Multiplier", "hf_bm1");
  minorMultiplier.setIntegerRange(1, 100, 1);
  minorMultiplier.setUnit("clicks");
  minorMultiplier.setDefault(Value::ofInt(2));
  floatRange(add(m, C::kKeyKnobHoldTime, "Key/knob Hold Time", "hf_hdt"), 0.1, 2, 0.05, "s", 0.5);

  defaultChoice(choices(add(m, C::kLegacyPort6666Support, "Legacy Port 6666 Support", "port6666"),
                        {{0, "Off", "Off (Port 5253 only)"}, {1, "On", "On (Port 5253 or 6666)"}}),
                0);
  const std::string install = formattedText("Install version %d", kOfferedFirmwareVersion);
  choices(add(m, C::kSelectAction, "Select Action"),
          {{0, "No Action"}, {1, "Update", install.c_str()}});
  choices(add(m, C::kBeginAction, "Begin Action"), {{0, "Go"}});
}

// The session count and the channel meters.
void addMeterSettings(Model& m) {
  using C = GlobalCode;
  Parameter& active = add(m, C::kActiveSessions, "Active Sessions");
  active.setInt32Range(0, 2147483647, 1);
  active.setReadOnly(true);

  defaultChoice(choices(add(m, C::kChannelMeters, "Channel Meters", "lm_abs_rel"),
                        {{0, "Absolute (dBFS)"}, {1, "Relative (dB)"}}),
                0);
  floatRange(add(m, C::kLevelScaling, "Level Scaling (0 dB point)", "lm_ls"), -60, 0, 0.1, "dBFS",
             -20);
  floatRange(add(m, C::kPeakThreshold, "Peak Threshold", "lm_pt"), -60, 0, 0.1, "dBFS", -1);
  floatRange(add(m, C::kVuYellow, "VU Yellow", "lm_gy"), -60, 0, 0.1, "dBFS", -20);
  floatRange(add(m, C::kVuRed, "VU Red", "lm_yr"), -60, 0, 0.1, "dBFS", -10);
}

// The network time client.
void addTimeServerSettings(Model& m) {
  using C = GlobalCode;
  defaultChoice(choices(add(m, C::kNetworkTimeProtocol, "Network Time Protocol", "ntpen"),
                        {{0, "Disabled"}, {1, "Enabled"}}),
                1);
  address(add(m, C::kNtpTimeServer, "NTP Time Server", "ntpip"), true, kDefaultNtpServer);
}

// The automated start and stop of sessions.
void addTriggerSettings(Model& m) {
  using C = GlobalCode;
  defaultChoice(choices(add(m, C::kAutomatedTriggering, "Automated Triggering", "lm_sbst_e"),
                        {{0, "Disabled"}, {1, "Signal"}, {2, "Timecode"}}),
                0);
  floatRange(add(m, C::kStartTriggerThreshold, "Start Trigger Threshold", "lm_sbst_start_th"), -100,
             0, 0.1, "dBFS", -60);
  floatRange(add(m, C::kStopTriggerThreshold, "Stop Trigger Threshold", "lm_sbst_stop_th"), -100.1,
             0, 0.1, "dBFS", -60);
  floatRange(add(m, C::kStopTriggerDuration, "Stop Trigger Duration", "lm_sbst_stop_s"), 0, 60, 1,
             "sec", 5);
  text(add(m, C::kStartTriggerTimecode, "Start Trigger Timecode", "lm_tcbst_start_tc"), 10,
       StringFormat::kOptionalTimeOfDay);
  text(add(m, C::kStopTriggerTimecode, "Stop Trigger Timecode", "lm_tcbst_stop_tc"), 10,
       StringFormat::kOptionalTimeOfDay);
}

// The admin and factory presets.
void addPresetActions(Model& m) {
  using C = GlobalCode;
  goAction(add(m, C::kSaveAdminPresets, "Save Admin Presets"));
  goAction(add(m, C::kLoadAdminPresets, "Load Admin Presets"));
  goAction(add(m, C::kLoadFactoryPresets, "Load Factory Presets"));
}

// The loudness display, the reports, the panel-wide session commands and dialnorm.
void addSessionSettings(Model& m) {
  using C = GlobalCode;
  defaultChoice(
      choices(add(m, C::kBarDisplayResponse, "Short-term LKFS/LUFS Bar Display Response", "lm_lb"),
              {{0, "Moving Average"}, {1, "1 Second Average"}}),
      0);
  defaultChoice(choices(add(m, C::kMaxErrorDisplay, "Max Error Display", "lm_wcd"),
                        {{0, "Shows Max Error"}, {1, "Shows Max Value"}}),
                0);
  defaultChoice(choices(add(m, C::kReportChannels, "Report Channels", "lm_repch"),
                        {{0, "L and R Only"}, {1, "All Channels"}}),
                1);

  goAction(add(m, C::kStartAllSessions, "Start All Loudness Sessions"));
  goAction(add(m, C::kStopAllSessions, "Stop All Loudness Sessions"));
  goAction(add(m, C::kRestartAllSessions, "Restart All Loudness Sessions"));
  defaultChoice(choices(add(m, C::kStartSessionsOnBootup, "Start all sessions on bootup",
                            "lm_autostart_sessions"),
                        {{0, "Disable"}, {1, "Enable"}}),
                0);

  defaultChoice(choices(add(m, C::kDialnormMode, "Dialnorm Mode", "lm_dnm"),
                        {{0, "Ignore Dialnorm"}, {2, "Check Dialnorm against Target LUFS/LKFS"}}),
                0);
  floatRange(add(m, C::kDialnormCheckTolerance, "Dialnorm Check Tolerance", "lm_dnt"), 0, 20, 1,
             "dB", 6);
}

// The panel's date, time and time zone.
void addClockSettings(Model& m) {
  using C = GlobalCode;
  // Long enough for "mm/dd/yyyy" and "hh:mm:ss".
  text(add(m, C::kCurrentDate, "Current Date"), 10, StringFormat::kDate);
  text(add(m, C::kCurrentTime, "Current Time"), 8, StringFormat::kTimeOfDay);
  Parameter& zone = add(m, C::kTimeZone, "Time Zone");
  int32_t row = 0;
  for (const TimeZoneRow& entry : timeZoneTable()) {
    const std::string name(entry.name);
    zone.addChoice(row + 1, row, name, name);
    ++row;
  }
}

// The loudness view and the graph modes, preset and custom.
void addGraphSettings(Model& m) {
  using C = GlobalCode;
  // Value 1 is the one that puts the history graph on the left screen (the graph knobs and the
  // loudness views follow it), so it carries the name "Graph"; 0 shows the channel meters.
  defaultChoice(choices(add(m, C::kCurrentLoudnessView, "Current Loudness View", "lm2_view"),
                        {{0, "Meter"}, {1, "Graph"}}),
                0);
  defaultChoice(choices(add(m, C::kCurrentGraphScale, "Current Graph Scale", "lm2_scale"),
                        {{100, "45 seconds", "45 seconds"},
                         {200, "90 seconds", "00:00:90"},
                         {400, "3 minutes", "00:03:00"},
                         {800, "6 minutes", "00:06:00"},
                         {1600, "12 minutes", "00:12:00"},
                         {3200, "24 minutes", "00:24:00"},
                         {6400, "48 minutes", "00:48:00"},
                         {12800, "1 hour 36 minutes", "01:36:00"},
                         {25600, "3 hours 12 minutes", "03:12:00"},
                         {51200, "6 hours 24 minutes", "06:24:00"},
                         {102400, "12 hours 48 minutes", "12:48:00"},
                         {204800, "25 hours 46 minutes", "25:46:00"}}),
                100);
  defaultChoice(choices(add(m, C::kCurrentGraphMode, "Current Graph Mode", "lm2_mode"),
                        {{0, "EBU +9"}, {1, "EBU +18"}, {2, "ATSC -24"}, {3, "CUSTOM"}}),
                0);

  floatRange(add(m, C::kTargetLoudness, "Target LKFS/LUFS", "lm_custom_ctlufs"), -60, 0, 0.1,
             "LKFS/LUFS", -24);
  defaultChoice(choices(add(m, C::kAbsoluteRelative, "Absolute/Relative", "lm_custom_abs_rel"),
                        {{0, "Absolute"}, {1, "Relative"}}),
                0);
  defaultChoice(choices(add(m, C::kViewableRange, "Viewable Range", "lm_custom_viewable_range"),
                        {{0, "27 LU"}, {1, "54 LU"}}),
                0);
  floatRange(add(m, C::kMovingAveragePeriod, "Moving Average Period", "lm_custom_map"), 1, 60, 1,
             "sec", 3);
  defaultChoice(choices(add(m, C::kUseEbuRelativeGating, "Use EBU Relative Gating",
                            "lm_custom_integated_gating"),
                        {{0, "Disable"}, {1, "Enable"}}),
                0);
  defaultChoice(choices(add(m, C::kRelativeGatingThreshold, "Relative Gating Threshold",
                            "lm_custom_rel_gating_baseline"),
                        {{0, "-8 LU"}, {1, "-10 LU"}}),
                0);
  defaultChoice(
      choices(add(m, C::kUnits, "Units", "lm_custom_use_lufs"), {{0, "LKFS"}, {1, "LUFS"}}), 0);
}

// The error thresholds, the session rollover and the data log.
void addErrorAndRolloverSettings(Model& m) {
  using C = GlobalCode;
  Parameter& high = add(m, C::kHighErrorThreshold, "High error threshold", "lm_hst");
  floatRange(high, 0, 40.1, 0.1, "LU", 8);
  high.addNamedValue(quantizeFloat(40.1), "Disabled");
  Parameter& low = add(m, C::kLowErrorThreshold, "Low error threshold", "lm_lst");
  floatRange(low, -40.1, 0, 0.1, "LU", -40.1);
  low.addNamedValue(quantizeFloat(-40.1), "Disabled");

  defaultChoice(choices(add(m, C::kEnableSessionRollover, "Enable Session Rollover",
                            "session_rollover_time_of_day_enable"),
                        {{0, "Disable"}, {1, "Enable"}}),
                0);
  Parameter& rollover =
      add(m, C::kSessionRolloverTime, "Session Rollover time", "session_rollover_time_of_day");
  text(rollover, 10, StringFormat::kTimeOfDay);
  rollover.setDefault(Value::ofText("12:00:00"));

  defaultChoice(choices(add(m, C::kLogEverySample, "Log Every Sample", "log_every_sample"),
                        {{0, "No"}, {1, "Yes"}}),
                0);
}

}  // namespace

// Parameters are added in the order the model lists them; each step adds the next group.
std::unique_ptr<Model> buildGlobalsModel() {
  auto owned = std::make_unique<Model>("globals");
  addNetworkSettings(*owned);
  addSystemInformation(*owned);
  addUserInterfaceSettings(*owned);
  addMeterSettings(*owned);
  addTimeServerSettings(*owned);
  addTriggerSettings(*owned);
  addPresetActions(*owned);
  addSessionSettings(*owned);
  addClockSettings(*owned);
  addGraphSettings(*owned);
  addErrorAndRolloverSettings(*owned);
  return owned;
}

std::unique_ptr<Device> buildPanelDevice(const Model& model, const SettingsStore& store) {
  auto device = std::make_unique<Device>(kPanelDeviceNumber, "This Control Panel");
  const bool network = store.getBool(settings_key::kShowNetworkSettingsPages);
  const bool time = store.getBool(settings_key::kShowTimeSettingsPages);
  const bool versioned = store.contains(settings_key::kApplicationVersion);

  using C = GlobalCode;
  using Slots = std::initializer_list<std::pair<int32_t, C>>;
  int32_t number = 0;
  // Pages take their numbers in creation order; a page not created takes none.
  auto page = [&](const char* name, PageType type, Slots slots) -> Page& {
    auto created = std::make_unique<Page>(++number, name, type);
    Page& ref = *created;
    for (const auto& [index, code] : slots)
      ref.addItem(index, model.findByGlobalCode(codeOf(code)), {});
    device->addPage(std::move(created));
    return ref;
  };
  auto place = [&model](Page& onPage, int32_t index, C code) {
    onPage.addItem(index, model.findByGlobalCode(codeOf(code)), {});
  };

  page("Loudness PPM Settings", PageType::k8Up,
       {{0, C::kChannelMeters},
        {1, C::kLevelScaling},
        {2, C::kPeakThreshold},
        {3, C::kVuYellow},
        {4, C::kVuRed},
        {5, C::kReportChannels},
        {6, C::kBarDisplayResponse},
        {7, C::kMaxErrorDisplay}});
  page("Loudness Custom Mode Settings", PageType::k8Up,
       {{0, C::kTargetLoudness},
        {1, C::kAbsoluteRelative},
        {2, C::kViewableRange},
        {3, C::kMovingAveragePeriod},
        {4, C::kUseEbuRelativeGating},
        {5, C::kRelativeGatingThreshold},
        {6, C::kUnits}});
  page("Loudness Thresholds", PageType::k8Up,
       {{0, C::kHighErrorThreshold}, {1, C::kLowErrorThreshold}});
  page("Loudness Meter Automated Triggering", PageType::k8Up,
       {{0, C::kAutomatedTriggering},
        {1, C::kStartTriggerThreshold},
        {2, C::kStopTriggerThreshold},
        {3, C::kStopTriggerDuration},
        {4, C::kStartTriggerTimecode},
        {5, C::kStopTriggerTimecode},
        {6, C::kEnableSessionRollover},
        {7, C::kSessionRolloverTime}});
  page("Dialnorm Related Settings", PageType::k8Up,
       {{0, C::kDialnormMode}, {1, C::kDialnormCheckTolerance}});
  page("Session Management", PageType::k8Up,
       {{0, C::kStartAllSessions},
        {1, C::kStartSessionsOnBootup},
        {2, C::kStopAllSessions},
        {3, C::kRestartAllSessions},
        {7, C::kLogEverySample}});
  page("Loudness Meter Presets", PageType::k8Up,
       {{0, C::kCurrentLoudnessView}, {1, C::kCurrentGraphScale}, {2, C::kCurrentGraphMode}});
  if (network) {
    page("Current Network Settings", PageType::k4Up,
         {{0, C::kEthernetAddress},
          {1, C::kCurrentIpAddress},
          {2, C::kCurrentNetmask},
          {3, C::kCurrentGateway}});
    page("Configure Network Settings", PageType::k8Up,
         {{0, C::kObtainAddressViaDhcp},
          {1, C::kFixedIpAddress},
          {2, C::kNetmask},
          {3, C::kGateway}});
  }
  Page& clock =
      page("Control Panel Time", PageType::k4Up, {{2, C::kCurrentDate}, {3, C::kCurrentTime}});
  if (time) place(clock, 0, C::kTimeZone);
  if (time) {
    page("Timeserver Settings", PageType::k4Up,
         {{0, C::kNetworkTimeProtocol}, {1, C::kNtpTimeServer}});
  }
  Page& system = page("System Information", PageType::k4Up, {{0, C::kApplicationBuild}});
  if (!versioned) {
    place(system, 1, C::kKernelBuild);
    place(system, 2, C::kProcessorVersion);
  }
  page("User Interface", PageType::k4Up,
       {{0, C::kBacklightLevel},
        {1, C::kColorTheme},
        {2, C::kQuickSwitch},
        {3, C::kKeyKnobHoldTime}});
  page("Knob Ballistics", PageType::k4Up,
       {{0, C::kMajorJumpInterval},
        {1, C::kMajorJumpMultiplier},
        {2, C::kMinorJumpInterval},
        {3, C::kMinorJumpMultiplier}});
  page("OpenGear Settings", PageType::k4Up, {{0, C::kLegacyPort6666Support}});
  return device;
}

}  // namespace qelm
