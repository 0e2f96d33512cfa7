#include "remote/metrics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace qelm::remote {
namespace {

const std::string kQuoted = "Studio \"A\" \\ back\nline";
const std::string kBrokenUtf8 = "Caf\xC3\xA9 \xFF\xC3";  // "Café", a stray byte, a cut sequence

// A plant with the names a configuration may hold, levels without a value and a histogram as a
// reader racing the engine might see it.
MetricsInput richPlant() {
  auto snapshot = std::make_shared<PlantSnapshot>();
  snapshot->cards = std::make_shared<const std::vector<PlantCard>>(std::vector<PlantCard>{
      {"10.0.0.1:5253/1", kQuoted, "Live", true, true},
      {"10.0.0.1:5253/2", kBrokenUtf8, "No Conn (1)", false, true},
      {"10.0.0.2:5253/3", std::string(kMostLabelValueBytes - 1, 'x') + "\xC3\xA9", "Live", true,
       true},
      {"10.0.0.2:5253/4", "Off screen", "Inactive", false, false}});
  PlantMonitor running;
  running.id = 1;
  running.name = kQuoted;
  running.device = "LM 1";
  running.momentary = -22.9;
  running.truePeak = -3.1;
  running.state = std::string(sessionStateName(SessionState::kRunning));
  running.errors = {{"True Peak", 3}, {"Loudness \"high\"", 1}};
  PlantMonitor silent;
  silent.id = 2;
  silent.name = kBrokenUtf8;
  silent.device = std::string(400, 'y');
  silent.momentary = std::nan("");
  silent.shortTerm = -std::numeric_limits<double>::infinity();
  silent.state = "something new";
  // Stopped by a fault, and stopped as asked.
  PlantMonitor ended;
  ended.id = 3;
  ended.name = "Ended";
  ended.device = "LM 3";
  ended.state = std::string(sessionStateName(SessionState::kStopped));
  ended.endReason = "Channel source changed";
  PlantMonitor stopped = ended;
  stopped.id = 4;
  stopped.endReason.clear();
  snapshot->monitors = {running, silent, ended, stopped};
  MetricsInput input{snapshot, {}, 4};
  input.passes.atOrUnder = {5, 9, 9, 8, 20, 20, 20, 20, 20, 20};
  input.passes.count = 19;
  return input;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// Every sample follows its family's TYPE line (histograms' series by their suffixes), and no
// value is other than a finite number.
void expectGroupedFiniteSamples(const std::string& text) {
  std::string family;
  for (const std::string& line : linesOf(text)) {
    if (line.starts_with("# TYPE ")) family = line.substr(7, line.find(' ', 7) - 7);
    if (line.starts_with("#")) continue;
    EXPECT_TRUE(line.starts_with(family + "{") || line.starts_with(family + " ") ||
                line.starts_with(family + "_"))
        << line << " follows " << family;
    const std::string value = line.substr(line.rfind(' ') + 1);
    EXPECT_TRUE(std::isfinite(std::stod(value)) && value.find_first_of("NnIi") == value.npos)
        << line;
  }
}

TEST(MetricsTest, UntrustedNamesAreEscapedMendedAndCutAndPromtoolAcceptsTheText) {
  const std::string text = renderMetrics(richPlant());
  expectGroupedFiniteSamples(text);
  EXPECT_NE(text.find(R"(name="Studio \"A\" \\ back\nline")"), text.npos);
  EXPECT_NE(text.find(R"(kind="Loudness \"high\""} 1)"), text.npos);
  EXPECT_NE(text.find("name=\"Caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD\""), text.npos);
  EXPECT_NE(text.find("name=\"" + std::string(kMostLabelValueBytes - 1, 'x') + "\""), text.npos);
  EXPECT_NE(text.find("device=\"" + std::string(kMostLabelValueBytes, 'y') + "\""), text.npos);
  // A card the panel does not watch has no link to report, so no sample to alert on.
  EXPECT_EQ(text.find("Off screen"), text.npos);
  // A level with no finite value has no sample; the state set holds one state or, for a state
  // it does not know, none.
  const auto samples = [&text](const std::string& start) {
    return std::ranges::count_if(linesOf(text), [&start](const std::string& line) {
      return line.starts_with(start) && (start.ends_with("{") || line.ends_with(" 1"));
    });
  };
  EXPECT_EQ(samples("qelm_loudness_momentary_lufs{"), 1);
  EXPECT_EQ(samples("qelm_loudness_short_term_lufs{"), 0);
  EXPECT_EQ(samples("qelm_loudness_session_state{"), 4 * 5);
  EXPECT_EQ(samples("qelm_loudness_session_state"), 3);
  EXPECT_NE(text.find(R"(device="LM 1",state="running"} 1)"), text.npos);
  // Only the session a fault ended says why.
  EXPECT_EQ(samples("qelm_loudness_session_end_reason{"), 1);
  EXPECT_NE(text.find(R"(device="LM 3",reason="Channel source changed"} 1)"), text.npos);

  const char* promtool = "/usr/bin/promtool";
  if (access(promtool, X_OK) != 0) GTEST_SKIP() << "no promtool here";
  const auto scrape = std::filesystem::temp_directory_path() /
                      ("qelm-metrics-test-" + std::to_string(getpid()) + ".txt");
  std::ofstream(scrape) << text;
  const std::string command =
      std::string(promtool) + " check metrics < " + scrape.string() + " 2>&1";
  std::string said(4096, '\0');
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  said.resize(fread(said.data(), 1, said.size(), pipe));
  const int status = pclose(pipe);
  std::filesystem::remove(scrape);
  EXPECT_EQ(status, 0) << said;
  EXPECT_EQ(said, "");
}

TEST(MetricsTest, PassBucketsNeverGoDownAndEndWithTheCountAtPlusInf) {
  for (const MetricsInput& input : {richPlant(), MetricsInput{}}) {
    const std::string text = renderMetrics(input);
    expectGroupedFiniteSamples(text);
    const std::regex bucket(R"re(qelm_engine_pass_seconds_bucket\{le="([^"]+)"\} (\d+))re");
    std::vector<std::pair<std::string, uint64_t>> buckets;
    for (const std::string& line : linesOf(text)) {
      std::smatch match;
      if (std::regex_match(line, match, bucket))
        buckets.emplace_back(match[1], std::stoull(match[2]));
    }
    ASSERT_EQ(buckets.size(), PassHistogram::kBounds.size() + 1);
    EXPECT_EQ(buckets.front().first, "0.0001");
    for (size_t b = 1; b < buckets.size(); ++b)
      EXPECT_GE(buckets[b].second, buckets[b - 1].second) << buckets[b].first;
    EXPECT_EQ(buckets.back().first, "+Inf");
    EXPECT_NE(text.find("qelm_engine_pass_seconds_count " + std::to_string(buckets.back().second)),
              text.npos);
    EXPECT_EQ(buckets.back().second, input.snapshot ? 20u : 0u);
  }
}

}  // namespace
}  // namespace qelm::remote
