#include "remote/metrics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace qelm::remote {
namespace {

// A reading of the text format written from its description, independent of the writer: every
// sample's family has its HELP and TYPE first and its samples together, label values use only
// the three escapes, and every value is a number.
struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

struct Exposition {
  std::map<std::string, std::string> types;
  std::vector<Sample> samples;
  std::vector<std::string> faults;

  std::vector<Sample> of(const std::string& name,
                         const std::map<std::string, std::string>& having = {}) const {
    std::vector<Sample> found;
    for (const Sample& sample : samples) {
      bool matches = sample.name == name;
      for (const auto& [label, value] : having) {
        const auto at = sample.labels.find(label);
        matches = matches && at != sample.labels.end() && at->second == value;
      }
      if (matches) found.push_back(sample);
    }
    return found;
  }
};

std::string familyOf(const std::string& name, const std::map<std::string, std::string>& types) {
  for (const std::string suffix : {"_bucket", "_sum", "_count"}) {
    if (name.size() > suffix.size() && name.ends_with(suffix)) {
      const std::string base = name.substr(0, name.size() - suffix.size());
      const auto type = types.find(base);
      if (type != types.end() && type->second == "histogram") return base;
    }
  }
  return name;
}

bool validName(const std::string& name) {
  if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
  for (const char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ':') return false;
  }
  return true;
}

Exposition read(const std::string& text) {
  Exposition out;
  std::map<std::string, int> helped;
  std::string current;
  std::map<std::string, bool> closed;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      out.faults.push_back("the last line has no line end");
      break;
    }
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.starts_with("# HELP ") || line.starts_with("# TYPE ")) {
      const size_t space = line.find(' ', 7);
      const std::string name = line.substr(7, space - 7);
      const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
      if (!validName(name)) out.faults.push_back("bad family name: " + name);
      if (line[2] == 'H') {
        if (helped[name]++ > 0 || out.types.count(name)) out.faults.push_back("late HELP " + name);
      } else {
        if (out.types.count(name)) out.faults.push_back("second TYPE " + name);
        if (closed[name]) out.faults.push_back("family opened twice: " + name);
        out.types[name] = rest;
        if (!current.empty()) closed[current] = true;
        current = name;
      }
      continue;
    }
    Sample sample;
    size_t at = line.find_first_of("{ ");
    sample.name = line.substr(0, at);
    if (at != std::string::npos && line[at] == '{') {
      ++at;
      while (at < line.size() && line[at] != '}') {
        const size_t equals = line.find('=', at);
        if (equals == std::string::npos || equals + 1 >= line.size() || line[equals + 1] != '"') {
          out.faults.push_back("bad label in: " + line);
          break;
        }
        const std::string label = line.substr(at, equals - at);
        std::string value;
        at = equals + 2;
        for (; at < line.size() && line[at] != '"'; ++at) {
          if (line[at] != '\\') {
            value += line[at];
            continue;
          }
          const char escaped = ++at < line.size() ? line[at] : '?';
          if (escaped == 'n')
            value += '\n';
          else if (escaped == '\\' || escaped == '"')
            value += escaped;
          else
            out.faults.push_back("bad escape in: " + line);
        }
        if (!validName(label) || sample.labels.count(label))
          out.faults.push_back("bad label " + label);
        sample.labels[label] = value;
        ++at;
        if (at < line.size() && line[at] == ',') ++at;
      }
      ++at;
    }
    if (at >= line.size() || line[at] != ' ') {
      out.faults.push_back("no value in: " + line);
      continue;
    }
    const std::string value = line.substr(at + 1);
    char* stop = nullptr;
    sample.value = std::strtod(value.c_str(), &stop);
    if (value.empty() || *stop != '\0' || !std::isfinite(sample.value))
      out.faults.push_back("bad value in: " + line);
    const std::string family = familyOf(sample.name, out.types);
    if (family != current || !helped.count(family))
      out.faults.push_back("sample outside its family: " + line);
    out.samples.push_back(std::move(sample));
  }
  return out;
}

const std::string kQuoted = "Studio \"A\" \\ back\nline";
const std::string kLong(400, 'x');
const std::string kBrokenUtf8 = "Caf\xC3\xA9 \xFF\xC3";  // "Café", a stray byte, a cut sequence

// A plant with the names a configuration may hold and the states a monitor may be in.
MetricsInput richPlant() {
  auto snapshot = std::make_shared<PlantSnapshot>();
  snapshot->cards = {
      {"10.0.0.1:5253/1", kQuoted, "Live", true},
      {"10.0.0.1:5253/2", kBrokenUtf8, "No Conn (1)", false},
      {"10.0.0.2:5253/3", std::string(kMostLabelValueBytes - 1, 'x') + "\xC3\xA9", "Live", true}};
  PlantMonitor running;
  running.id = 1;
  running.name = kQuoted;
  running.device = "LM 1";
  running.momentary = -22.9;
  running.shortTerm = -23.1;
  running.integrated = -23.0;
  running.range = 4.2;
  running.truePeak = -3.1;
  running.state = std::string(sessionStateName(SessionState::kRunning));
  running.runningSeconds = 812.4;
  running.linkUp = true;
  running.errors = {{"True Peak", 3}, {"Loudness \"high\"", 1}};
  PlantMonitor silent;
  silent.id = 2;
  silent.name = kBrokenUtf8;
  silent.device = kLong;
  silent.momentary = std::nan("");
  silent.shortTerm = -INFINITY;
  silent.state = std::string(sessionStateName(SessionState::kWaiting));
  silent.noData = true;
  silent.secondsWithoutData = 7.5;
  PlantMonitor unknown;
  unknown.id = 3;
  unknown.state = "something new";
  snapshot->monitors = {running, silent, unknown};
  snapshot->droppedLoudnessMessages = 12;

  MetricsInput input;
  input.snapshot = snapshot;
  // Counts as a reader racing the engine might see them: the writer keeps them cumulative.
  input.passes.atOrUnder = {5, 9, 9, 8, 20, 20, 20, 20, 20, 20};
  input.passes.count = 19;
  input.passes.sumSeconds = 0.0123;
  input.viewers = 4;
  return input;
}

TEST(MetricsTest, TheTextReadsAsTheFormatSaysWithUntrustedNamesIntact) {
  const Exposition e = read(renderMetrics(richPlant()));
  EXPECT_TRUE(e.faults.empty()) << ::testing::PrintToString(e.faults);

  // Names come back exactly, escapes undone; broken UTF-8 is mended, long names cut between
  // characters.
  ASSERT_EQ(e.of("qelm_card_link_up").size(), 3u);
  EXPECT_EQ(e.of("qelm_card_link_up", {{"name", kQuoted}}).at(0).value, 1);
  EXPECT_EQ(
      e.of("qelm_card_link_up", {{"name", "Caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD"}}).at(0).value, 0);
  EXPECT_EQ(e.of("qelm_card_link_up", {{"address", "10.0.0.2:5253/3"}}).at(0).labels["name"],
            std::string(kMostLabelValueBytes - 1, 'x'));
  EXPECT_EQ(e.of("qelm_loudness_no_data", {{"monitor", "2"}}).at(0).labels["device"],
            std::string(kMostLabelValueBytes, 'x'));
  EXPECT_EQ(e.of("qelm_loudness_momentary_lufs", {{"name", kQuoted}, {"monitor", "1"}})
                .at(0)
                .labels.at("device"),
            "LM 1");

  // Levels with no finite value have no sample; the others have theirs.
  EXPECT_EQ(e.of("qelm_loudness_momentary_lufs").size(), 1u);
  EXPECT_EQ(e.of("qelm_loudness_short_term_lufs").size(), 1u);
  EXPECT_DOUBLE_EQ(e.of("qelm_loudness_integrated_lufs").at(0).value, -23.0);
  EXPECT_EQ(e.of("qelm_loudness_target_lufs").size(), 3u);
  EXPECT_EQ(e.of("qelm_loudness_no_data", {{"monitor", "2"}}).at(0).value, 1);
  EXPECT_EQ(e.of("qelm_loudness_errors_total", {{"kind", "Loudness \"high\""}}).at(0).value, 1);
  EXPECT_EQ(e.of("qelm_loudness_dropped_messages_total").at(0).value, 12);
  EXPECT_EQ(e.of("qelm_remote_viewers").at(0).value, 4);

  // One state of the set holds for a known state, none for one the set does not name.
  for (const auto& [monitor, ones] :
       std::vector<std::pair<std::string, int>>{{"1", 1}, {"2", 1}, {"3", 0}}) {
    const auto states = e.of("qelm_loudness_session_state", {{"monitor", monitor}});
    EXPECT_EQ(states.size(), kSessionStateNames.size());
    int held = 0;
    for (const Sample& state : states)
      held += static_cast<int>(state.value);
    EXPECT_EQ(held, ones) << "monitor " << monitor;
  }
  EXPECT_EQ(
      e.of("qelm_loudness_session_state",
           {{"monitor", "2"}, {"state", std::string(sessionStateName(SessionState::kWaiting))}})
          .at(0)
          .value,
      1);

  // The histogram's buckets never go down and end with +Inf, equal to the count.
  EXPECT_EQ(e.types.at("qelm_engine_pass_seconds"), "histogram");
  const auto buckets = e.of("qelm_engine_pass_seconds_bucket");
  ASSERT_EQ(buckets.size(), PassHistogram::kBounds.size() + 1);
  for (size_t b = 1; b < buckets.size(); ++b)
    EXPECT_GE(buckets[b].value, buckets[b - 1].value) << buckets[b].labels.at("le");
  EXPECT_EQ(buckets.front().labels.at("le"), "0.0001");
  EXPECT_EQ(buckets.back().labels.at("le"), "+Inf");
  EXPECT_EQ(buckets.back().value, e.of("qelm_engine_pass_seconds_count").at(0).value);
  EXPECT_EQ(buckets.back().value, 20);

  // Before the engine's first publication: every family, no card or monitor.
  const Exposition empty = read(renderMetrics({nullptr, {}, 0}));
  EXPECT_TRUE(empty.faults.empty()) << ::testing::PrintToString(empty.faults);
  EXPECT_EQ(empty.types, e.types);
  EXPECT_TRUE(empty.of("qelm_card_link_up").empty());
  EXPECT_EQ(empty.of("qelm_engine_pass_seconds_bucket", {{"le", "+Inf"}}).at(0).value, 0);
}

TEST(MetricsTest, PromtoolAcceptsARichPlant) {
  const char* promtool = "/usr/bin/promtool";
  if (access(promtool, X_OK) != 0) GTEST_SKIP() << "no promtool here";
  const auto folder =
      std::filesystem::temp_directory_path() / ("qelm-metrics-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const auto scrape = folder / "scrape.txt";
  std::ofstream(scrape) << renderMetrics(richPlant());
  const std::string command =
      std::string(promtool) + " check metrics < " + scrape.string() + " 2>&1";
  std::string said;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char chunk[512];
  while (size_t got = fread(chunk, 1, sizeof chunk, pipe))
    said.append(chunk, got);
  const int status = pclose(pipe);
  std::filesystem::remove_all(folder);
  EXPECT_EQ(status, 0) << said;
  EXPECT_EQ(said, "");
}

}  // namespace
}  // namespace qelm::remote
