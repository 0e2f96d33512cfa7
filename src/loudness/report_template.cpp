#include "loudness/report_template.h"

#include <cstdio>
#include <memory>

#include "loudness/loudness_context.h"
#include "platform/stdio_file.h"
#include "text/text.h"

namespace qelm {

namespace {

constexpr std::string_view kAllChannelsOpen = "<lmallchannels>";
constexpr std::string_view kAllChannelsClose = "</lmallchannels>";
constexpr double kLowestLevel = -150.0;
constexpr size_t kStereoChannels = 2;
constexpr size_t kReportedLoudnessChannels = 6;

bool highEnabled(float threshold) {
  return threshold < kHighDisabledFrom;
}

bool lowEnabled(float threshold) {
  return threshold > kLowDisabledFrom;
}

std::string tenthsText(int16_t tenths, double minus) {
  return isLoudness(tenths) ? levelText(tenths / 10.0 - minus) : std::string();
}

// The class of the type cell, which also marks a channel's value in the row.
const char* typeCell(ErrorType type) {
  switch (type) {
    case ErrorType::kPeak:
    case ErrorType::kNoDialnorm:
      return "<td class=\"peak\">";
    case ErrorType::kLow:
    case ErrorType::kLlt:
    case ErrorType::kDialnormLow:
      return "<td class=\"low\">";
    case ErrorType::kHlt:
    case ErrorType::kHigh:
    case ErrorType::kDialnormHigh:
      return "<td class=\"high\">";
    case ErrorType::kNone:
      break;
  }
  return "<td>";
}

}  // namespace

std::string loadTemplate(const std::string& path) {
  const platform::File file(std::fopen(path.c_str(), "rb"));
  if (!file) return {};
  std::string text;
  char chunk[1024];
  while (text.size() < kMostTemplateBytes) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
    if (got == 0) break;
    text.append(chunk, std::min(got, kMostTemplateBytes - text.size()));
  }
  return text;
}

std::string templateSection(std::string_view text, std::string_view name) {
  const std::string open = "<" + std::string(name) + ">";
  const std::string close = "</" + std::string(name) + ">";
  const size_t start = text.find(open);
  if (start == std::string_view::npos) return {};
  const size_t from = start + open.size();
  const size_t end = text.find(close, from);
  if (end == std::string_view::npos) return {};
  return std::string(text.substr(from, end - from));
}

std::string applyChannelRule(std::string_view section, bool allChannels) {
  std::string out;
  out.reserve(section.size());
  size_t pos = 0;
  while (pos < section.size()) {
    const size_t open = section.find(kAllChannelsOpen, pos);
    const size_t close = open == std::string_view::npos
                             ? std::string_view::npos
                             : section.find(kAllChannelsClose, open + kAllChannelsOpen.size());
    if (close == std::string_view::npos) break;
    out.append(section.substr(pos, open - pos));
    if (allChannels) {
      const size_t inner = open + kAllChannelsOpen.size();
      out.append(section.substr(inner, close - inner));
    }
    pos = close + kAllChannelsClose.size();
  }
  if (pos < section.size()) out.append(section.substr(pos));
  return out;
}

std::string escapeText(std::string_view text, TextEscape escape) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) {
      out.push_back(' ');
      continue;
    }
    if (escape == TextEscape::kHtml) {
      switch (c) {
        case '&':
          out += "&amp;";
          continue;
        case '<':
          out += "&lt;";
          continue;
        case '>':
          out += "&gt;";
          continue;
        case '"':
          out += "&quot;";
          continue;
        case '\'':
          out += "&#39;";
          continue;
        default:
          break;
      }
    }
    out.push_back(c);
  }
  return out;
}

std::string substitute(std::string_view text, const Placeholders& values) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t open = text.find('$', pos);
    if (open == std::string_view::npos) break;
    const size_t close = text.find('$', open + 1);
    if (close == std::string_view::npos) break;
    out.append(text.substr(pos, open - pos));
    const auto found = values.find(text.substr(open, close - open + 1));
    if (found != values.end()) {
      out.append(found->second);
      pos = close + 1;
    } else {
      // The closing sign may open the next placeholder.
      out.push_back('$');
      pos = open + 1;
    }
  }
  out.append(text.substr(pos));
  return out;
}

ReportSession reportSessionOf(const LoudnessContext& context, bool withRows) {
  const SessionRecord& r = context.record();
  const LoudnessSettings& settings = context.settings();
  ReportSession s;
  s.title = r.title;
  s.operatorName = r.operatorName;
  s.sessionName = r.sessionName;
  s.deviceName = r.deviceName;
  s.startDate = r.startDate;
  s.startTime = r.startTime;
  s.endDate = r.endDate;
  s.endTime = r.endTime;
  s.startTimecode = r.startTimecode;
  s.endTimecode = r.endTimecode;
  s.channelSources = r.channelSources;
  s.graphMode = settings.graphMode;
  s.dialnormMode = settings.dialnormMode;
  s.absoluteUnits = context.mode().absoluteUnits;
  s.allChannels = settings.allChannels;
  s.elapsedTicks = r.elapsedTicks;
  s.runningTicks = r.runningTicks;
  s.noDataTicks = r.noDataTicks;
  s.dataGaps = r.dataGaps;
  s.integratedTenths = context.integratedTenths();
  s.rangeTenths = context.rangeTenths();
  s.target = context.mode().target;
  s.peakThreshold = settings.peakThreshold;
  s.highThreshold = settings.highThreshold;
  s.lowThreshold = settings.lowThreshold;
  s.maxPeakSeen = r.maxPeakSeen;
  s.maxTruePeak = r.maxTruePeak;
  s.maxPeakChannel = r.maxPeakChannel;
  s.timeInError = r.timeInError;
  s.errorCount = r.errors.size();
  if (!withRows) return s;
  s.rows.reserve(r.errors.size());
  for (size_t i = 0; i < r.errors.size(); ++i) {
    const auto& e = r.errors[i];
    ReportRow row;
    row.type = e->type;
    row.startElapsed = e->startElapsed;
    row.durationTicks = e->lastTick >= e->startTick ? e->lastTick - e->startTick + 1 : 1;
    row.startTimecode = e->startTimecode;
    row.startDateTime = e->startDateTime;
    // A session past its record limit folds later records of a type into one summary row.
    const auto type = static_cast<size_t>(e->type);
    if (type < kErrorTypes && r.summaryError[type] == static_cast<int32_t>(i))
      row.startDateTime += " (+" + std::to_string(r.mergedErrors[type]) + " later merged)";
    row.worst = e->worst;
    row.channelValue.fill(kNoSignalDb);
    if (const auto* peak = dynamic_cast<const ChannelPeakError*>(e.get())) {
      row.channelValue = peak->channelPeak;
      row.channelFlag = peak->exceeded;
    } else if (const auto* loud = dynamic_cast<const ITU1770Error*>(e.get())) {
      for (size_t c = 0; c < kLoudnessChannels; ++c) {
        row.channelValue[c] = loud->channelWorst[c];
        row.channelFlag[c] = loud->contributing[c];
      }
    }
    s.rows.push_back(std::move(row));
  }
  return s;
}

const char* dialnormModeText(DialnormMode mode) {
  return mode == DialnormMode::kCheck ? "Check Dialnorm against Target LUFS/LKFS"
                                      : "Ignore Dialnorm";
}

std::string ticksText(uint32_t ticks) {
  return formattedText("%02u:%02u:%02u.%u", ticks / 36000, ticks / 600 % 60, ticks / 10 % 60,
                       ticks % 10);
}

std::string levelText(double value) {
  return value < kLowestLevel ? std::string("N/A") : formattedText("%.1f", value);
}

Placeholders reportPlaceholders(const ReportSession& s, const std::string& resourcePrefix,
                                TextEscape escape) {
  const auto text = [escape](std::string_view t) { return escapeText(t, escape); };
  const double target = static_cast<double>(s.target);
  const double high = static_cast<double>(s.highThreshold);
  const double low = static_cast<double>(s.lowThreshold);
  const bool failed = s.errorCount > 0;
  Placeholders p;
  p["$sessionname$"] = text(s.title);
  p["$operator$"] = text(s.operatorName);
  p["$id$"] = text(s.sessionName);
  p["$mode$"] = graphModeName(s.graphMode);
  p["$addr$"] = text(s.deviceName);
  p["$start_date$"] = text(s.startDate);
  p["$start_time$"] = text(s.startTime);
  p["$end_date$"] = text(s.endDate);
  p["$end_time$"] = text(s.endTime);
  p["$resource_prefix$"] = resourcePrefix;
  p["$timecode$"] = !s.startTimecode.empty() && !s.endTimecode.empty()
                        ? text(s.startTimecode + " - " + s.endTimecode)
                        : std::string();
  p["$dialnormmode$"] = dialnormModeText(s.dialnormMode);
  p["$total_duration$"] = ticksText(s.elapsedTicks);
  p["$active_duration$"] = ticksText(s.runningTicks);
  // Our own: how long the card sent nothing while the session ran, and in how many gaps.
  p["$time_without_data$"] = ticksText(s.noDataTicks);
  p["$data_gaps$"] = std::to_string(s.dataGaps);
  static constexpr const char* kSources[kMeterChannels] = {"$src_l$",    "$src_r$",   "$src_c$",
                                                           "$src_lfe$",  "$src_ls$",  "$src_rs$",
                                                           "$src_auxl$", "$src_auxr$"};
  const size_t sources = s.allChannels ? kMeterChannels : kStereoChannels;
  for (size_t c = 0; c < sources; ++c)
    p[kSources[c]] = text(s.channelSources[c]);
  p["$abs_units$"] = s.absoluteUnits;
  p["$avg_abs_lkfs$"] = tenthsText(s.integratedTenths, 0.0);
  p["$avg_rel_lkfs$"] = tenthsText(s.integratedTenths, target);
  p["$recommendation$"] = failed ? "REJECT" : "ACCEPT";
  p["$peak_threshold$"] = levelText(static_cast<double>(s.peakThreshold));
  p["$target_lkfs$"] = levelText(target);
  for (const char* name : {"$hlt_abs_lkfs$", "$hlt_rel_lkfs$", "$llt_abs_lkfs$", "$llt_rel_lkfs$"})
    p[name] = "Disabled";
  p["$hst_abs_lkfs$"] = highEnabled(s.highThreshold) ? levelText(target + high) : "Disabled";
  p["$hst_rel_lkfs$"] = highEnabled(s.highThreshold) ? levelText(high) : "Disabled";
  p["$lst_abs_lkfs$"] = lowEnabled(s.lowThreshold) ? levelText(target + low) : "Disabled";
  p["$lst_rel_lkfs$"] = lowEnabled(s.lowThreshold) ? levelText(low) : "Disabled";

  // Our own: the verdict in plain words and the figures a reader checks it by.
  p["$verdict$"] = failed ? "FAIL" : "PASS";
  p["$error_count$"] = std::to_string(s.errorCount);
  p["$lra$"] = tenthsText(s.rangeTenths, 0.0);
  p["$true_peak$"] = s.maxPeakSeen ? levelText(static_cast<double>(s.maxTruePeak)) : "";
  p["$true_peak_channel$"] = s.maxPeakSeen ? channelName(s.maxPeakChannel) : "";
  static constexpr const char* kTimes[kErrorCategories] = {
      "$time_in_error_peak$", "$time_in_error_high$", "$time_in_error_low$",
      "$time_in_error_dialnorm$"};
  for (size_t c = 0; c < kErrorCategories; ++c)
    p[kTimes[c]] = ticksText(s.timeInError[c]);
  return p;
}

std::string errorRow(const ReportRow& row, size_t number, size_t count, bool allChannels) {
  std::string out;
  out.reserve(512);
  if (number == 1)
    out += "<tr class=\"first even row\">";
  else if (number == count)
    out += number % 2 ? "<tr class=\"last odd row\">" : "<tr class=\"last even row\">";
  else
    out += number % 2 ? "<tr class=\"odd row\">" : "<tr class=\"even row\">";
  out += "<td class=\"center\">" + std::to_string(number) + "</td><td>" +
         ticksText(row.startElapsed) + "</td><td>" +
         escapeText(row.startTimecode, TextEscape::kHtml) + "</td><td>" +
         escapeText(row.startDateTime, TextEscape::kHtml) + "</td><td>" +
         ticksText(row.durationTicks) + "</td>";
  const char* cell = typeCell(row.type);
  out += cell;
  out += errorTypeName(row.type);
  out += "</td>";
  const size_t k = allChannels ? kReportedLoudnessChannels : kStereoChannels;
  switch (row.type) {
    case ErrorType::kPeak:
      out += "<td>&mdash;</td>";
      for (size_t c = 0; c < k; ++c) {
        if (row.channelFlag[c])
          out += cell + formattedText("%.2f", static_cast<double>(row.channelValue[c])) + "</td>";
        else
          out += "<td>&mdash;</td>";
      }
      break;
    case ErrorType::kNoDialnorm:
    case ErrorType::kDialnormHigh:
    case ErrorType::kDialnormLow:
      out += row.type == ErrorType::kNoDialnorm
                 ? std::string("<td>NONE</td>")
                 : "<td>" + levelText(static_cast<double>(row.worst)) + "</td>";
      for (size_t c = 0; c < k; ++c)
        out += "<td></td>";
      break;
    case ErrorType::kHigh:
    case ErrorType::kLow:
      out += "<td>" + levelText(static_cast<double>(row.worst)) + "</td>";
      for (size_t c = 0; c < k; ++c) {
        out += row.channelFlag[c] ? cell : "<td>";
        out += levelText(static_cast<double>(row.channelValue[c])) + "</td>";
      }
      break;
    default:
      break;
  }
  out += "</tr>\n";
  return out;
}

}  // namespace qelm
