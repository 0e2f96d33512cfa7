#include "host/download_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../download/http_test_server.h"
#include "host/headless_host.h"

namespace qelm {
namespace {

namespace fs = std::filesystem;
using Reply = HttpTestServer::Reply;

class DownloadCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = (fs::temp_directory_path() / ("qelm-download-command-" + std::to_string(::getpid())))
                .string();
    fs::remove_all(data_);
    fs::create_directories(data_ + "/configuration");
    std::ofstream(data_ + "/configuration/startup.txt", std::ios::binary) << "old";
  }
  void TearDown() override { fs::remove_all(data_); }

  // Runs "qelm-engine download --data DIR" as the program does; the exit code and the output.
  std::pair<int, std::string> run() const {
    const ParsedOptions parsed = parseHostOptions({"download", "--data", data_});
    EXPECT_TRUE(parsed.options) << parsed.error;
    std::ostringstream out;
    const std::atomic<bool> interrupted{false};
    const int code = runHostCommand(*parsed.options, out, interrupted);
    return {code, out.str()};
  }
  std::string startup() const {
    std::ifstream in(data_ + "/configuration/startup.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string data_;
};

TEST_F(DownloadCommandTest, OneLinePerInstanceOrTheErrorWithExitCodeTwo) {
  EXPECT_EQ(parseHostOptions({"download", "extra"}).error, "unexpected argument \"extra\"");
  EXPECT_EQ(run(), std::make_pair(
                       2, "No TRELK instances in \"" + data_ + "/configuration/instances.txt\"\n"));

  std::atomic<bool> secondMissing{false};
  HttpTestServer server([&](const std::string& target) {
    if (target.find("no-header") == std::string::npos)
      return Reply{200, "# header\ndevice 1 \"A\"\ndevice 2 \"B\"\n"};
    return secondMissing ? Reply{404, ""} : Reply{200, "device 3 \"C\"\n"};
  });
  std::ofstream(data_ + "/configuration/instances.txt")
      << server.host() << "\n\"" << server.host() << "\" \"S \"\n";
  EXPECT_EQ(run(), std::make_pair(0, server.host() + ": 35 bytes, 2 devices, last 2\n" +
                                         server.host() + ": 13 bytes, 1 device, last 3\n"));
  const std::string joined =
      "\xEF\xBB\xBF# header\r\ndevice 1 \"A\"\r\ndevice 2 \"B\"\r\ndevice 3 \"C\"\r\n";
  EXPECT_EQ(startup(), joined);

  secondMissing = true;
  EXPECT_EQ(run(),
            std::make_pair(2, "Unable to resolve host \"" + server.host() + "\" (ERROR 404)\n"));
  EXPECT_EQ(startup(), joined);
}

TEST_F(DownloadCommandTest, TheJoinedConfigurationMustLoadAsTheStartUpLoadsIt) {
  // The device's template comes on demand from the configuration folder, as at start-up.
  fs::create_directories(data_ + "/configuration/models");
  fs::create_directories(data_ + "/configuration/templates");
  std::ofstream(data_ + "/configuration/models/M") << "model M parameter 0x0101 Gain int -5 5\n";
  std::ofstream(data_ + "/configuration/templates/T")
      << "template T M page 1 \"Main\" item 1 Gain 1\n";
  std::atomic<bool> broken{false};
  HttpTestServer server([&](const std::string&) {
    return Reply{200, broken ? "# header\ndevise 6 Amp\n"
                             : "# header\ndevice 5 Amp from-template T 10.0.0.2 3\n"};
  });
  std::ofstream(data_ + "/configuration/instances.txt") << server.host() << "\n";
  EXPECT_EQ(run(), std::make_pair(0, server.host() + ": 49 bytes, 1 device, last 5\n"));
  const std::string loads = "\xEF\xBB\xBF# header\r\ndevice 5 Amp from-template T 10.0.0.2 3\r\n";
  EXPECT_EQ(startup(), loads);

  broken = true;
  const std::string path = data_ + "/configuration/startup.txt";
  EXPECT_EQ(run(), std::make_pair(2, "The downloaded configuration does not load, so \"" + path +
                                         "\" was left as it was.\n\nReason: at line 2 directive "
                                         "\"devise\" unrecognized or invalid in this context\n"));
  EXPECT_EQ(startup(), loads);
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(data_ + "/configuration"))
    ++files;
  EXPECT_EQ(files, 4u) << "startup.txt, instances.txt, models/, templates/; no scratch file";
}

}  // namespace
}  // namespace qelm
