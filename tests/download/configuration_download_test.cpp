#include "download/configuration_download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

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
  // Stands in for the configuration loader: notes the file it is handed and refuses a text
  // holding "refuse me" as the loader would, naming line 2 of the file.
  std::vector<std::pair<std::string, std::string>> checked_;
  const ConfigurationCheck check_ = [this](const std::string& file) -> std::string {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    checked_.emplace_back(file, text.str());
    if (text.str().find("refuse me") == std::string::npos) return {};
    return "at " + file + ":2 directive \"refuse\" unrecognized or invalid in this context";
  };
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
  const DownloadResult result = downloadConfiguration(data_, instances, check_);
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
      downloadConfiguration(data_, {{server.host(), ""}, {server.host(), ""}}, check_);
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
    return downloadConfiguration(data_, {{server.host(), ""}, {server.host(), prefix}}, check_)
        .error;
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
  EXPECT_NE(downloadConfiguration(data_, {{server.host(), ""}}, check_, small)
                .error.find("larger than 100"),
            std::string::npos);
  EXPECT_EQ(
      downloadConfiguration(data_, {{"127.0.0.1:1", ""}}, check_)
          .error.rfind("Unable to download configuration from \"127.0.0.1:1\".\n\nReason: ", 0),
      0u);
  EXPECT_EQ(downloadConfiguration(data_, {}, check_).error,
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
  const DownloadResult result =
      downloadConfiguration(data_, {{server.host(), ""}}, check_, options);
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
      downloadConfiguration(data_, {{server.host(), ""}}, check_, options).error,
      "Unable to download configuration from \"" + server.host() + "\".\n\nReason: interrupted");
}

TEST_F(DownloadTest, OnlyAConfigurationThatLoadsReplacesTheFile) {
  // A gzip-compressed "device 1 \"A\"\n" sent unasked.
  const std::string gzip(
      "\x1F\x8B\x08\x00\x00\x00\x00\x00\x02\x03\x4B\x49\x2D\xCB\x4C\x4E\x55\x30\x54\x50\x72"
      "\x54\xE2\x02\x00\x0A\xA4\x11\x4A\x0D\x00\x00\x00",
      33);
  HttpTestServer server([&](const std::string& target) {
    if (target.find("%45%4D%50%54%59") != std::string::npos) return Reply{200, ""};
    if (target.find("%42%4C%41%4E%4B") != std::string::npos)
      return Reply{200, "\xEF\xBB\xBF \r\n# nothing configured\r\n\t\r\n"};
    if (target.find("%4E%55%4C") != std::string::npos)
      return Reply{200, std::string("banner \"A\"\r\n\0device 1 \"B\"\r\n", 26)};
    if (target.find("%47%5A") != std::string::npos)
      return Reply{200, gzip, HttpTestServer::Behaviour::kAnswer, "Content-Encoding: gzip\r\n"};
    if (target.find("%42%41%44") != std::string::npos) return Reply{200, "banner A\nrefuse me\n"};
    if (target.find("no-header") == std::string::npos)
      return Reply{200, "banner \"A\"\r\n# ends without a line end"};
    return Reply{200, "device 1 \"B\"\r\n"};
  });
  const std::string path = startupFilePath(data_);
  const std::string keptOld = ", so \"" + path + "\" was left as it was.";
  const auto single = [&](const std::string& prefix) {
    return downloadConfiguration(data_, {{server.host(), prefix}}, check_).error;
  };
  EXPECT_EQ(single("EMPTY"), "The downloaded configuration is empty" + keptOld);
  EXPECT_EQ(single("BLANK"), "The downloaded configuration is empty" + keptOld);
  EXPECT_TRUE(checked_.empty());
  expectStartupUntouched();
  const std::string failedFrom =
      "Unable to download configuration from \"" + server.host() + "\".\n\nReason: ";
  EXPECT_EQ(single("NUL"), failedFrom + "line 2 of the answer holds a NUL byte, which is no text");
  EXPECT_EQ(single("GZ"), failedFrom + "line 1 of the answer holds a NUL byte, which is no text");
  expectStartupUntouched();
  EXPECT_EQ(single("BAD"), "The downloaded configuration does not load" + keptOld +
                               "\n\nReason: at line 2 directive \"refuse\" unrecognized or "
                               "invalid in this context");
  expectStartupUntouched();

  // The loader is handed exactly what is then written, beside the old file; a fragment without
  // a final line end gets one before the next fragment.
  checked_.clear();
  ASSERT_EQ(downloadConfiguration(data_, {{server.host(), ""}, {server.host(), ""}}, check_).error,
            "");
  EXPECT_EQ(startup(),
            "\xEF\xBB\xBF"
            "banner \"A\"\r\n# ends without a line end\r\ndevice 1 \"B\"\r\n");
  ASSERT_EQ(checked_.size(), 1u);
  EXPECT_EQ(checked_[0].second, startup());
  EXPECT_EQ(fs::path(checked_[0].first).parent_path(), fs::path(path).parent_path());
}

TEST_F(DownloadTest, RedirectsAreFollowedOnlyOnTheListedHost) {
  HttpTestServer elsewhere([](const std::string&) { return Reply{200, "device 9 \"Else\"\n"}; });
  const auto redirect = [](const std::string& to) {
    return Reply{302, "moved", HttpTestServer::Behaviour::kAnswer, "Location: " + to + "\r\n"};
  };
  HttpTestServer listed([&](const std::string& target) {
    if (target.find("%4F%46%46") != std::string::npos)
      return redirect("http://" + elsewhere.host() + "/cgi-bin/qelm.pl");
    if (target.find("%4C%4F%4F%50") != std::string::npos) return redirect(target);
    if (target.find("/moved") != std::string::npos) return Reply{200, "device 1 \"Here\"\n"};
    return redirect("/moved");
  });
  const auto from = [&](const std::string& prefix) {
    return downloadConfiguration(data_, {{listed.host(), prefix}}, check_).error;
  };
  const std::string failedFrom =
      "Unable to download configuration from \"" + listed.host() + "\".\n\nReason: ";
  EXPECT_EQ(from("OFF"), failedFrom + "the server redirected the request to another host (\"" +
                             elsewhere.host() + "\")");
  EXPECT_TRUE(elsewhere.targets().empty());
  EXPECT_EQ(from("LOOP"), failedFrom + "more than 5 redirects");
  expectStartupUntouched();

  ASSERT_EQ(from(""), "");
  EXPECT_EQ(startup(),
            "\xEF\xBB\xBF"
            "device 1 \"Here\"\r\n");
  EXPECT_EQ(listed.targets().back(), "/moved");
}

TEST_F(DownloadTest, ATricklingServerIsGivenUpAtTheMinimumRateOrTheDeadline) {
  // 2 bytes a second; and 5000 bytes a second, but for 8 seconds. Each server serves one
  // connection at a time, so they are two: the first one drips on for a while after it is left.
  HttpTestServer dripping([](const std::string&) {
    return Reply{200, devices(1, 2), HttpTestServer::Behaviour::kDrip};
  });
  HttpTestServer endless([](const std::string&) {
    Reply fast{200, std::string(40000, '\n'), HttpTestServer::Behaviour::kDrip};
    fast.dripBytes = 500;
    fast.dripPause = std::chrono::milliseconds(100);
    return fast;
  });
  DownloadOptions options;
  options.timeoutSeconds = 1;
  options.minBytesPerSecond = 100;
  options.deadlineSeconds = 30;
  const auto failedFrom = [](const HttpTestServer& server, const std::string& reason) {
    return "Unable to download configuration from \"" + server.host() + "\".\n\nReason: " + reason;
  };
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(downloadConfiguration(data_, {{dripping.host(), ""}}, check_, options).error,
            failedFrom(dripping, "the answer came slower than 100 bytes a second for 1 seconds"));
  // Generous for a loaded machine; unchecked, the answer would take half a minute.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  options.deadlineSeconds = 2;
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(downloadConfiguration(data_, {{endless.host(), ""}}, check_, options).error,
            failedFrom(endless, "no complete answer within 2 seconds"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));
  expectStartupUntouched();
}

TEST_F(DownloadTest, AnUnwritableConfigurationFolderIsReported) {
  HttpTestServer server([](const std::string&) { return Reply{200, devices(1, 1)}; });
  fs::remove_all(data_ + "configuration");
  EXPECT_EQ(downloadConfiguration(data_, {{server.host(), ""}}, check_).error,
            "Could not create \"" + startupFilePath(data_) + "\": No such file or directory");
}

}  // namespace
}  // namespace qelm
