#include "remote/metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <vector>

#include "text/text.h"

namespace qelm::remote {

namespace {

// The exposition is written straight into one string: a plant's scrape (1,600 cards, 32
// monitors) is about 190 kB, and building it through a client library's registry on
// every scrape would cost more than the text itself.

/// `text` as a label value: valid UTF-8 (each ill-formed sequence one U+FFFD), at most
/// `kMostLabelValueBytes` cut between characters, with backslash, quote and line feed escaped.
void appendLabelValue(std::string& out, std::string_view text) {
  std::string repaired;
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    repaired = wideToUtf8(utf8ToWide(text));
    text = repaired;
  }
  if (text.size() > kMostLabelValueBytes) {
    size_t end = kMostLabelValueBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
      --end;
    text = text.substr(0, end);
  }
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
}

/// `name="value"`, after a comma unless it is the first of `labels`.
void appendLabel(std::string& labels, std::string_view name, std::string_view value) {
  if (!labels.empty()) labels += ',';
  labels += name;
  labels += "=\"";
  appendLabelValue(labels, value);
  labels += '"';
}

void appendNumber(std::string& out, double value) {
  char digits[32];
  const auto written = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, written.ptr);
}

void appendNumber(std::string& out, uint64_t value) {
  char digits[24];
  const auto written = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, written.ptr);
}

enum class FamilyType { kGauge, kCounter, kHistogram };

constexpr std::string_view typeName(FamilyType type) {
  switch (type) {
    case FamilyType::kGauge:
      return "gauge";
    case FamilyType::kCounter:
      return "counter";
    case FamilyType::kHistogram:
      return "histogram";
  }
  return "untyped";
}

/// Writes families one after another; every sample of a family follows its HELP and TYPE.
class Exposition {
 public:
  explicit Exposition(size_t expectedBytes) { out_.reserve(expectedBytes); }

  void family(std::string_view name, FamilyType type, std::string_view help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += typeName(type);
    out_ += '\n';
  }

  /// One sample; `labels` is the text between the braces, already escaped (empty: none).
  template <typename Number>
  void sample(std::string_view name, std::string_view labels, Number value) {
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    appendNumber(out_, value);
    out_ += '\n';
  }

  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

double flag(bool on) {
  return on ? 1.0 : 0.0;
}

/// A level is shown only when there is a finite one: a missing sample keeps an alert's
/// comparison from holding on silence or stale data, which the no-data rule reports instead.
void levelFamily(Exposition& out, const std::vector<PlantMonitor>& monitors,
                 const std::vector<std::string>& labels, std::string_view name,
                 std::string_view help, std::optional<double> PlantMonitor::*level) {
  out.family(name, FamilyType::kGauge, help);
  for (size_t m = 0; m < monitors.size(); ++m) {
    const std::optional<double>& value = monitors[m].*level;
    if (value && std::isfinite(*value)) out.sample(name, labels[m], *value);
  }
}

void valueFamily(Exposition& out, const std::vector<PlantMonitor>& monitors,
                 const std::vector<std::string>& labels, std::string_view name,
                 std::string_view help, double (*value)(const PlantMonitor&)) {
  out.family(name, FamilyType::kGauge, help);
  for (size_t m = 0; m < monitors.size(); ++m) {
    const double v = value(monitors[m]);
    if (std::isfinite(v)) out.sample(name, labels[m], v);
  }
}

void cardFamilies(Exposition& out, const std::vector<PlantCard>& cards) {
  out.family("qelm_card_link_up", FamilyType::kGauge,
             "1 while the panel's link to the card is live, else 0; only for cards the panel "
             "watches.");
  std::string labels;
  for (const PlantCard& card : cards) {
    // A card the panel does not ask for anything has no link to speak of: no sample, so the
    // link-down alert never fires for cards merely off the screen.
    if (!card.watched) continue;
    labels.clear();
    appendLabel(labels, "address", card.address);
    appendLabel(labels, "name", card.name);
    out.sample("qelm_card_link_up", labels, flag(card.linkUp));
  }
}

void monitorFamilies(Exposition& out, const std::vector<PlantMonitor>& monitors) {
  // Every family of a monitor carries the same labels, so rules compare them one to one.
  std::vector<std::string> labels(monitors.size());
  for (size_t m = 0; m < monitors.size(); ++m) {
    char id[16];
    const auto written = std::to_chars(id, id + sizeof id, monitors[m].id);
    appendLabel(labels[m], "monitor", std::string_view(id, static_cast<size_t>(written.ptr - id)));
    appendLabel(labels[m], "name", monitors[m].name);
    appendLabel(labels[m], "device", monitors[m].device);
  }

  levelFamily(out, monitors, labels, "qelm_loudness_momentary_lufs",
              "Momentary loudness (400 ms), LUFS; no sample while there is none.",
              &PlantMonitor::momentary);
  levelFamily(out, monitors, labels, "qelm_loudness_short_term_lufs",
              "Short-term loudness (3 s), LUFS; no sample while there is none.",
              &PlantMonitor::shortTerm);
  levelFamily(out, monitors, labels, "qelm_loudness_integrated_lufs",
              "Integrated loudness of the session, LUFS; no sample while there is none.",
              &PlantMonitor::integrated);
  levelFamily(out, monitors, labels, "qelm_loudness_range_lu",
              "Loudness range of the session, LU; no sample while there is none.",
              &PlantMonitor::range);
  levelFamily(out, monitors, labels, "qelm_loudness_true_peak_dbtp",
              "Maximum true peak of the session, dBTP; no sample while there is none.",
              &PlantMonitor::truePeak);
  valueFamily(out, monitors, labels, "qelm_loudness_target_lufs",
              "Target loudness of the monitor, LUFS.",
              [](const PlantMonitor& m) { return m.target; });
  valueFamily(out, monitors, labels, "qelm_loudness_tolerance_lu",
              "Band either side of the target loudness, LU.",
              [](const PlantMonitor& m) { return m.tolerance; });
  valueFamily(out, monitors, labels, "qelm_loudness_true_peak_limit_dbtp",
              "Highest true peak allowed, dBTP.",
              [](const PlantMonitor& m) { return m.truePeakLimit; });

  constexpr std::string_view kState = "qelm_loudness_session_state";
  out.family(kState, FamilyType::kGauge,
             "1 for the state the monitor's session is in, 0 for the others.");
  std::string stateLabels;
  for (size_t m = 0; m < monitors.size(); ++m) {
    for (const std::string_view state : kSessionStateNames) {
      stateLabels = labels[m];
      appendLabel(stateLabels, "state", state);
      out.sample(kState, stateLabels, flag(monitors[m].state == state));
    }
  }

  // An alert can tell a session ended by a fault from one an operator stopped.
  constexpr std::string_view kEndReason = "qelm_loudness_session_end_reason";
  out.family(kEndReason, FamilyType::kGauge,
             "1, labelled with the reason, while the session is stopped by something other than "
             "a stop (a fault, a cancelled report); no sample otherwise.");
  for (size_t m = 0; m < monitors.size(); ++m) {
    if (monitors[m].state != sessionStateName(SessionState::kStopped) ||
        monitors[m].endReason.empty())
      continue;
    stateLabels = labels[m];
    appendLabel(stateLabels, "reason", monitors[m].endReason);
    out.sample(kEndReason, stateLabels, 1.0);
  }

  valueFamily(out, monitors, labels, "qelm_loudness_session_running_seconds",
              "Time the session has been running, seconds.",
              [](const PlantMonitor& m) { return m.runningSeconds; });
  valueFamily(out, monitors, labels, "qelm_loudness_seconds_without_data",
              "Time the session has run without data from its card (gaps of 2 s or more), seconds.",
              [](const PlantMonitor& m) { return m.secondsWithoutData; });
  valueFamily(out, monitors, labels, "qelm_loudness_no_data",
              "1 while the monitor's card has sent no loudness data for 2 s or more, else 0.",
              [](const PlantMonitor& m) { return flag(m.noData); });
  valueFamily(out, monitors, labels, "qelm_loudness_link_up",
              "1 while the link to the monitor's card is live, else 0.",
              [](const PlantMonitor& m) { return flag(m.linkUp); });

  constexpr std::string_view kErrors = "qelm_loudness_errors_total";
  out.family(kErrors, FamilyType::kCounter,
             "Error records of the session by kind; back to 0 when a session starts afresh.");
  std::string errorLabels;
  for (size_t m = 0; m < monitors.size(); ++m) {
    for (const auto& [kind, count] : monitors[m].errors) {
      errorLabels = labels[m];
      appendLabel(errorLabels, "kind", kind);
      out.sample(kErrors, errorLabels, count);
    }
  }
}

void passFamily(Exposition& out, const PassHistogram& passes) {
  out.family("qelm_engine_pass_seconds", FamilyType::kHistogram,
             "Time of each pass of the engine's main loop, seconds.");
  // Counts never go down from one bound to the next, whatever the reader of the atomics saw.
  uint64_t running = 0;
  std::string labels;
  for (size_t b = 0; b < PassHistogram::kBounds.size(); ++b) {
    running = std::max(running, passes.atOrUnder[b]);
    char bound[32];
    const auto written = std::to_chars(bound, bound + sizeof bound, PassHistogram::kBounds[b],
                                       std::chars_format::fixed);
    labels = "le=\"";
    labels.append(bound, written.ptr);
    labels += '"';
    out.sample("qelm_engine_pass_seconds_bucket", labels, running);
  }
  const uint64_t count = std::max(running, passes.count);
  out.sample("qelm_engine_pass_seconds_bucket", "le=\"+Inf\"", count);
  out.sample("qelm_engine_pass_seconds_sum", "",
             std::isfinite(passes.sumSeconds) ? passes.sumSeconds : 0.0);
  out.sample("qelm_engine_pass_seconds_count", "", count);
}

}  // namespace

std::string renderMetrics(const MetricsInput& input) {
  static const PlantSnapshot kNothingYet;
  const PlantSnapshot& snapshot = input.snapshot ? *input.snapshot : kNothingYet;

  // About what a card's and a monitor's lines take, so the text is allocated once.
  Exposition out(4096 + 128 * snapshot.cards->size() + 2048 * snapshot.monitors.size());
  cardFamilies(out, *snapshot.cards);
  monitorFamilies(out, snapshot.monitors);
  out.family("qelm_loudness_dropped_messages_total", FamilyType::kCounter,
             "Loudness messages the engine could not take in time and dropped.");
  out.sample("qelm_loudness_dropped_messages_total", "", snapshot.droppedLoudnessMessages);
  passFamily(out, input.passes);
  out.family("qelm_remote_viewers", FamilyType::kGauge, "Browsers connected to the remote panel.");
  out.sample("qelm_remote_viewers", "", static_cast<uint64_t>(input.viewers));
  return out.take();
}

}  // namespace qelm::remote
