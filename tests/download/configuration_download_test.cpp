#include "download/configuration_download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "http_test_server.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using Reply = HttpTestServer::Reply;

// Device lines FIRST..LAST, each "device N \"NAME\"" with a line below it.
std::string devices(int first, int last, const std::string& name = "Card") {
  std::string text;
  for (int n = first; n <= last; ++n)
    text += "device " + std::to_string(n) + " \"" + name + " " + std::to_string(n) +
            "\"\r\n  from-template x\r\n";
  return text;
}

std::string withCrLf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    if (c != '\r') out += c;
  }
  return out;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = (fs::temp_directory_path() /
             ("qelm-download-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                .string() +
            "/";
    fs::remove_all(data_);
    fs::create_directories(data_ + "configuration");
    std::ofstream(startupFilePath(data_), std::ios::binary) << kOldStartup;
  }
  void TearDown() override { fs::remove_all(data_); }

  std::string startup() const {
    std::ifstream in(startupFilePath(data_), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The old file is still there, and nothing was left beside it.
  void expectStartupUntouched() const {
    EXPECT_EQ(startup(), kOldStartup);
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(data_ + "configuration"))
      ++files;
    EXPECT_EQ(files, 1u);
  }

  static constexpr const char* kOldStartup = "device 1 \"Old\"\r\n";
  std::string data_;
};

TEST(DownloadQueryTest, EveryByteOfThePrefixIsEscaped) {
  EXPECT_EQ(instanceQuery("A \xC3\xA9&", false, 1), "?prepend=\"%41%20%C3%A9%26\"&no-header=1");
  EXPECT_EQ(instanceQuery("", true, 12), "?first-device=12");
}

TEST_F(DownloadTest, TwoInstancesAreNumberedOnAndJoinedWithMarkAndCrLf) {
  const std::string header = "# TRELK header\r\nmodel m\r\n";
  const std::string tail = "# no line end";
  HttpTestServer server([&](const std::string& target) {
    if (target.find("no-header") == std::string::npos)
      return Reply{200, header + devices(1, 5, "A")};
    return Reply{200, devices(6, 7, "B") + tail};
  });
  const std::vector<TrelkInstance> instances = {{server.host(), ""}, {server.host(), "Studio 2 "}};
  const DownloadResult result = downloadConfiguration(data_, instances);
  ASSERT_EQ(result.error, "");
  const std::vector<std::string> expectedTargets = {
      "/cgi-bin/qelm.pl",
      "/cgi-bin/qelm.pl?prepend=\"%53%74%75%64%69%6F%20%32%20\"&no-header=1&first-device=6"};
  EXPECT_EQ(server.targets(), expectedTargets);
  EXPECT_EQ(startup(),
            "\xEF\xBB\xBF" + withCrLf(header + devices(1, 5, "A") + devices(6, 7, "B") + tail));
  ASSERT_EQ(result.instances.size(), 2u);
  EXPECT_EQ(result.instances[0].devices, 5u);
  EXPECT_EQ(result.instances[1].firstAsked, 6);
  EXPECT_EQ(result.instances[1].lastDevice, 7);
}

TEST_F(DownloadTest, LongLinesArriveWholeAndOnlyLineStartsCount) {
  // A 5000-byte line whose byte 1024 begins "device 99", and a long device line.
  const std::string body = std::string(1024, 'x') + "device 99 " + std::string(3966, 'y') +
                           "\ndevice 4 \"" + std::string(2000, 'z') + "\"\n";
  HttpTestServer server([&](const std::string& target) {
    return target.find("no-header") == std::string::npos ? Reply{200, body}
                                                         : Reply{200, devices(5, 5)};
  });
  const DownloadResult result =
      downloadConfiguration(data_, {{server.host(), ""}, {server.host(), ""}});
  ASSERT_EQ(result.error, "");
  EXPECT_EQ(server.targets().at(1), "/cgi-bin/qelm.pl?no-header=1&first-device=5");
  EXPECT_EQ(startup(), "\xEF\xBB\xBF" + withCrLf(body + devices(5, 5)));
}

TEST_F(DownloadTest, AFailingInstanceLeavesTheOldConfiguration) {
  HttpTestServer server([&](const std::string& target) {
    if (target.find("no-header") == std::string::npos) return Reply{200, devices(1, 3)};
    if (target.find("%34%30%34") != std::string::npos) return Reply{404, "Not here"};
    if (target.find("%35%30%30") != std::string::npos) return Reply{500, "Broken script"};
    if (target.find("%43%55%54") != std::string::npos)
      return Reply{200, devices(4, 200), HttpTestServer::Behaviour::kCloseMidBody};
    // Ignores first-device and numbers from 1 again.
    return Reply{200, devices(1, 2)};
  });
  const auto secondFails = [&](const std::string& prefix) {
    return downloadConfiguration(data_, {{server.host(), ""}, {server.host(), prefix}}).error;
  };
  EXPECT_EQ(secondFails("404"), "Unable to resolve host \"" + server.host() + "\" (ERROR 404)");
  expectStartupUntouched();
  EXPECT_EQ(secondFails("500"), "Unable to download configuration from \"" + server.host() +
                                    "\".\n\nReason: the server answered with HTTP status 500");
  expectStartupUntouched();
  const std::string cut = secondFails("CUT");
  EXPECT_EQ(
      cut.rfind("Unable to download configuration from \"" + server.host() + "\".\n\nReason: ", 0),
      0u)
      << cut;
  EXPECT_GT(cut.size(), 70u) << "the reason is said";
  expectStartupUntouched();
  EXPECT_EQ(secondFails("DUP"), "Received duplicate device number; instance at " + server.host() +
                                    " may not support multi-TRELK configuration");
  expectStartupUntouched();

  // Too much text, no instances at all, and nobody listening.
  DownloadOptions small;
  small.maxBytes = 100;
  EXPECT_NE(
      downloadConfiguration(data_, {{server.host(), ""}}, small).error.find("larger than 100"),
      std::string::npos);
  EXPECT_EQ(
      downloadConfiguration(data_, {{"127.0.0.1:1", ""}})
          .error.rfind("Unable to download configuration from \"127.0.0.1:1\".\n\nReason: ", 0),
      0u);
  EXPECT_EQ(downloadConfiguration(data_, {}).error,
            "There are no TRELK instances to download from.");
  expectStartupUntouched();
}

TEST_F(DownloadTest, AServerThatNeverAnswersIsGivenUp) {
  HttpTestServer server([](const std::string&) {
    return Reply{200, "", HttpTestServer::Behaviour::kNeverAnswer};
  });
  DownloadOptions options;
  options.timeoutSeconds = 1;
  const auto start = std::chrono::steady_clock::now();
  const DownloadResult result = downloadConfiguration(data_, {{server.host(), ""}}, options);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.error.rfind("Unable to download configuration from \"" + server.host() +
                                   "\".\n\nReason: no answer within 1 seconds",
                               0),
            0u)
      << result.error;
  // Generous for a loaded machine; without a time-out the call would never return.
  EXPECT_LT(waited, std::chrono::seconds(20));
  expectStartupUntouched();

  // An interrupt ends the wait at once.
  const std::atomic<bool> interrupted{true};
  options.timeoutSeconds = 0;
  options.cancel = &interrupted;
  EXPECT_EQ(
      downloadConfiguration(data_, {{server.host(), ""}}, options).error,
      "Unable to download configuration from \"" + server.host() + "\".\n\nReason: interrupted");
}

TEST_F(DownloadTest, AnUnwritableConfigurationFolderIsReported) {
  HttpTestServer server([](const std::string&) { return Reply{200, devices(1, 1)}; });
  fs::remove_all(data_ + "configuration");
  EXPECT_EQ(downloadConfiguration(data_, {{server.host(), ""}}).error,
            "Could not create \"" + startupFilePath(data_) + "\": No such file or directory");
}

}  // namespace
}  // namespace qelm
