// Asio fences its handler calls with std::atomic_thread_fence, which ThreadSanitizer does not
// model (g++ refuses it under -Werror=tsan); every hand-over of a handler between threads also
// passes the scheduler's mutex, which it does see.
#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include "host/headless_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "../comm/loopback.h"
#include "comm/protocol.h"
#include "core/log.h"
#include "display/screenshot.h"
#include "host/settings_command.h"
#include "lmcard/lm_card.h"

namespace qelm {
namespace {

ParsedOptions parse(std::vector<std::string> args) {
  return parseHostOptions(args);
}

TEST(HostOptionsTest, FoldersAndSecondsInEveryAcceptedSpelling) {
  ParsedOptions parsed =
      parse({"run", "--data", "/d", "/R", "/r", "--program=/p", "--seconds=1.5"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->command, "run");
  EXPECT_EQ(parsed.options->dataFolder, "/d");
  EXPECT_EQ(parsed.options->reportFolder, "/r");
  EXPECT_EQ(parsed.options->programFolder, "/p");
  EXPECT_EQ(parsed.options->seconds, 1.5);

  parsed = parse({"-D", "/x", "run", "-R", "/y"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->dataFolder, "/x");
  EXPECT_EQ(parsed.options->reportFolder, "/y");
  EXPECT_FALSE(parsed.options->seconds);

  const Folders folders = resolveFolders(*parsed.options);
  EXPECT_EQ(folders.data, "/x/");
  EXPECT_EQ(folders.report, "/y/");
  EXPECT_EQ(folders.program.back(), '/');
}

TEST(HostOptionsTest, RefusedCommandLinesSayWhy) {
  EXPECT_EQ(parse({}).error, "no command given");
  EXPECT_EQ(parse({"fly"}).error, "unknown command \"fly\"");
  EXPECT_EQ(parse({"run", "run"}).error, "unexpected argument \"run\"");
  EXPECT_EQ(parse({"check"}).error, "wrong number of arguments for check");
  EXPECT_EQ(parse({"export", "a"}).error, "wrong number of arguments for export");
  EXPECT_TRUE(parse({"export", "a", "b", "c"}).options);
  EXPECT_EQ(parse({"run", "--colour"}).error, "unknown option \"--colour\"");
  EXPECT_EQ(parse({"check", "/X"}).error, "unknown option \"/X\"");
  const ParsedOptions absolute = parse({"check", "/etc/qelm/startup.txt"});
  ASSERT_TRUE(absolute.options) << absolute.error;
  EXPECT_EQ(absolute.options->arguments, std::vector<std::string>{"/etc/qelm/startup.txt"});
  EXPECT_EQ(parse({"run", "--data"}).error, "option --data needs a value");
  EXPECT_EQ(parse({"run", "--data="}).error, "option --data needs a folder");
  EXPECT_EQ(parse({"run", "--seconds", "-1"}).error, "bad number of seconds \"-1\"");
  EXPECT_EQ(parse({"run", "--seconds", "2x"}).error, "bad number of seconds \"2x\"");
  EXPECT_EQ(parse({"run", "--seconds", "nan"}).error, "bad number of seconds \"nan\"");
}

TEST(HostOptionsTest, HttpTakesAnAddressAPortAndTlsFiles) {
  ParsedOptions parsed = parse({"run", "--http", "8080"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  ASSERT_TRUE(parsed.options->http);
  EXPECT_EQ(parsed.options->http->address, "127.0.0.1");
  EXPECT_EQ(parsed.options->http->port, 8080);
  EXPECT_FALSE(parsed.options->httpCertificate);

  parsed = parse({"--http=0.0.0.0:0", "run", "--http-cert", "c.pem", "--http-key=k.pem"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->http->address, "0.0.0.0");
  EXPECT_EQ(parsed.options->http->port, 0);
  EXPECT_EQ(parsed.options->httpCertificate, "c.pem");
  EXPECT_EQ(parsed.options->httpKey, "k.pem");

  parsed = parse({"run", "--http", "[::1]:65535"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->http->address, "::1");
  EXPECT_EQ(parsed.options->http->port, 65535);

  for (const char* bad :
       {"65536", "", "x", "host:", ":80", "::1:80", "[::1]", "[::1]80", "1:-2", "123456"})
    EXPECT_EQ(parse({"run", "--http", bad}).error,
              "bad address and port \"" + std::string(bad) + "\"");
  EXPECT_EQ(parse({"run", "--http-cert", "c.pem", "--http-key", "k.pem"}).error,
            "options --http-cert and --http-key need --http");
  EXPECT_EQ(parse({"run", "--http", "80", "--http-cert", "c.pem"}).error,
            "options --http-cert and --http-key go together");
  EXPECT_EQ(parse({"run", "--http", "80", "--http-key="}).error, "option --http-key needs a file");
  EXPECT_EQ(parse({"check", "f", "--http", "80"}).error, "option --http is only for run");
}

TEST(ConsolePrinterTest, PrintsEachMessageOnceWithItsNumber) {
  ConsolePrinter console;
  std::ostringstream skip;
  console.printNew(skip);  // whatever earlier tests logged
  const int32_t number = messageCount();
  logMessage(kLogInfo, "first %d\n", 1);
  logMessage(kLogInfo, "second");
  std::ostringstream out;
  console.printNew(out);
  console.printNew(out);
  EXPECT_EQ(out.str(),
            std::to_string(number) + ": first 1\n" + std::to_string(number + 1) + ": second\n");
}

TEST(ConsolePrinterTest, SkipsMessagesDroppedBeforeTheyWereShown) {
  ConsolePrinter console;
  std::ostringstream skip;
  console.printNew(skip);
  for (int i = 0; i < 10005; ++i)
    logMessage(kLogInfo, "m%d", i);
  std::ostringstream out;
  console.printNew(out);
  std::istringstream lines(out.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line))
    ++count;
  EXPECT_EQ(count, 10000);
  EXPECT_NE(out.str().find(": m10004\n"), std::string::npos);
  EXPECT_EQ(out.str().find(": m4\n"), std::string::npos);
}

// A program folder with a one-line default configuration.
std::filesystem::path makeProgramFolder(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "program" / "configuration");
  std::ofstream(root / "program" / "configuration" / "startup.bak") << "banner \"Test\"\n";
  return root / "program";
}

TEST(HeadlessHostTest, RunsTheEngineForTheGivenTimeAndShutsDownCleanly) {
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_test";
  std::filesystem::remove_all(folder);
  const auto program = makeProgramFolder(folder);
  ParsedOptions parsed =
      parse({"run", "--data", (folder / "data").string(), "--report", folder.string(), "--program",
             program.string(), "--seconds", "0.3", "--screenshot", (folder / "shot.png").string()});
  ASSERT_TRUE(parsed.options);
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(runHeadless(*parsed.options, out, interrupted), 0);
  EXPECT_NE(out.str().find(": Running.\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find(": Exiting.\n"), std::string::npos) << out.str();
  EXPECT_TRUE(std::filesystem::exists(folder / "data" / "configuration" / "startup.txt"))
      << "the data folder is seeded from the program folder";
  std::ifstream png(folder / "shot.png", std::ios::binary);
  char signature[8] = {};
  png.read(signature, 8);
  EXPECT_EQ(std::string(signature + 1, 3), "PNG");
  std::filesystem::remove_all(folder);
}

// The screenshot at `path` as 0xRRGGBB pixels, 960 x 272; empty when it cannot be read.
std::vector<uint32_t> readScreenshot(const std::filesystem::path& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return {};
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) == 0 ||
      image.width != kScreenshotWidth || image.height != kScreenshotHeight)
    return {};
  std::vector<uint32_t> pixels;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3)
    pixels.push_back(uint32_t{rgb[i]} << 16 | uint32_t{rgb[i + 1]} << 8 | rgb[i + 2]);
  return pixels;
}

TEST(HeadlessHostTest, ABrokenConfigurationEndsWithCodeTwoAndItsErrorOnTheScreens) {
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_broken";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder / "data" / "configuration");
  std::ofstream(folder / "data" / "configuration" / "startup.txt") << "nonsense\n";
  ParsedOptions parsed = parse({"run", "--data", (folder / "data").string(), "--report",
                                folder.string(), "--program", folder.string(), "--seconds", "20",
                                "--screenshot", (folder / "shot.png").string(), "--lamps"});
  ASSERT_TRUE(parsed.options);
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(runHeadless(*parsed.options, out, interrupted), 2);
  EXPECT_NE(out.str().find("directive \"nonsense\" unrecognized"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("lamps: 0x00000000\n"), std::string::npos) << out.str();

  // Each screen: a header bar, then one background with text in its first rows (22 pixels each
  // from row 36); the left screen's message in the error colour.
  const std::vector<uint32_t> shot = readScreenshot(folder / "shot.png");
  ASSERT_EQ(shot.size(), static_cast<size_t>(kScreenshotWidth) * kScreenshotHeight);
  const auto count = [&](int x0, int x1, int y0, int y1, auto&& counted) {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        n += counted(shot[static_cast<size_t>(y) * kScreenshotWidth + x]) ? 1 : 0;
    return n;
  };
  const uint32_t background = shot[static_cast<size_t>(kScreenshotHeight - 1) * kScreenshotWidth];
  const auto is = [](uint32_t colour) { return [colour](uint32_t p) { return p == colour; }; };
  for (const int x0 : {0, kScreenWidth}) {
    const int x1 = x0 + kScreenWidth;
    EXPECT_EQ(count(x0, x1, 1, 2, is(0x0000FF)), kScreenWidth) << "header bar at " << x0;
    EXPECT_GT(count(x0, x1, 30, 272, is(background)), 242 * kScreenWidth * 9 / 10);
    EXPECT_GT(count(x0, x1, 36, 58, [&](uint32_t p) { return p != background; }), 200);
    EXPECT_EQ(count(x0, x1, 200, 272, is(background)), 72 * kScreenWidth) << "below the text";
  }
  EXPECT_GT(count(0, kScreenWidth, 30, 200, is(0xFF0000)), 200) << "the message, in red";
  EXPECT_EQ(count(kScreenWidth, kScreenshotWidth, 30, 200, is(0xFF0000)), 0);
  std::filesystem::remove_all(folder);
}

// Under systemd the error that ends the run reaches the journal as an error, so that
// "journalctl -p err" says why an instance failed. The journal stream is this process's standard
// error, as systemd would name it; the run goes in a fresh copy of this program, since the process
// log chooses its output once.
TEST(HeadlessHostDeathTest, ABrokenConfigurationReachesTheJournalAsAnError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_journal";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder / "data" / "configuration");
  std::ofstream(folder / "data" / "configuration" / "startup.txt") << "banner \"A\"\nnonsense\n";
  ParsedOptions parsed = parse({"run", "--data", (folder / "data").string(), "--report",
                                folder.string(), "--program", folder.string(), "--seconds", "20"});
  ASSERT_TRUE(parsed.options);
  EXPECT_EXIT(
      {
        struct stat status {};
        if (::fstat(STDERR_FILENO, &status) != 0) std::exit(3);
        const std::string stream =
            std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
        ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
        if (!logToJournalIfConnected()) std::exit(4);
        std::ostringstream out;
        std::atomic<bool> interrupted{false};
        std::exit(runHeadless(*parsed.options, out, interrupted));
      },
      ::testing::ExitedWithCode(2),
      "<6>Processing configuration\\.\n(<6>[^\n]*\n)*"
      "<3>at [^\n]*/startup\\.txt:2 directive \"nonsense\" unrecognized or invalid in this "
      "context\n");
  std::filesystem::remove_all(folder);
}

TEST(HostCommandsTest, CheckPrintsOkOrTheLocatedError) {
  const auto folder = std::filesystem::temp_directory_path() / "host_check_test";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "good.txt") << "banner \"A\" banner \"B\"\n";
  std::ofstream(folder / "bad.txt") << "\n\nbanner\n";
  std::ostringstream good;
  EXPECT_EQ(checkConfiguration((folder / "good.txt").string(), good), 0);
  EXPECT_EQ(good.str(), "OK\n");
  std::ostringstream bad;
  EXPECT_EQ(checkConfiguration((folder / "bad.txt").string(), bad), 2);
  EXPECT_EQ(bad.str(), "at " + (folder / "bad.txt").string() + ":3 malformed banner definition\n");
  std::ostringstream missing;
  EXPECT_EQ(checkConfiguration((folder / "none.txt").string(), missing), 2);
  EXPECT_EQ(missing.str(),
            "Could not open configuration file at \"" + (folder / "none.txt").string() + "\".\n");
  std::filesystem::remove_all(folder);
}

TEST(HeadlessHostTest, AnInputScriptIsPlayedAndTheLampsArePrinted) {
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_input";
  std::filesystem::remove_all(folder);
  const auto program = makeProgramFolder(folder);
  std::ofstream(folder / "keys.txt") << "10 13 1 0\n20 13 2 0\n30 0 11 1 0 5 5\n";
  // The script's times count from the first screen, the run's from its start: the run leaves
  // room for a slow start (an instrumented build takes about 0.3 s to its first screen).
  ParsedOptions parsed = parse({"run", "--data", (folder / "data").string(), "--report",
                                folder.string(), "--program", program.string(), "--seconds", "2",
                                "--input", (folder / "keys.txt").string(), "--lamps"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(runHeadless(*parsed.options, out, interrupted), 0);
  // Device selection with its entry open: every key that works lit, Select Device bright, the
  // context key dark (a device number has no decimal point).
  EXPECT_NE(out.str().find("lamps: 0xFBFFFF3F\n"), std::string::npos) << out.str();

  std::ofstream(folder / "bad.txt") << "10 13 1 0\nnonsense\n";
  parsed = parse({"run", "--data", (folder / "data").string(), "--program", program.string(),
                  "--input", (folder / "bad.txt").string()});
  ASSERT_TRUE(parsed.options);
  std::ostringstream refused;
  EXPECT_EQ(runHeadless(*parsed.options, refused, interrupted), 64);
  EXPECT_NE(refused.str().find("line 2: expected MS CODE KIND COUNT"), std::string::npos)
      << refused.str();
  std::filesystem::remove_all(folder);
}

TEST(HeadlessHostTest, ScriptedInputLinesFireTheConfiguredSets) {
  const uint32_t frameAddress = platform::ipv4(127, 0, 64, 1);
  loopback::TestServer frame(frameAddress, kFramePort);
  if (frame.error != 0) GTEST_SKIP() << "port 5253 of 127.0.64.1 is taken";
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_lines";
  std::filesystem::remove_all(folder);
  const auto program = makeProgramFolder(folder);
  std::filesystem::create_directories(folder / "data" / "configuration");
  std::ofstream(folder / "data" / "configuration" / "startup.txt")
      << "model Gain\n"
         "  parameter 0x0101 Level int -100 100\n"
         "input line 2 low from-model Gain 127.0.64.1 2 set Level 9\n"
         "input line 2 high from-model Gain 127.0.64.1 2 set Level 5\n";
  std::ofstream(folder / "lines.txt") << "300 lines 0x2\n";
  ParsedOptions parsed =
      parse({"run", "--data", (folder / "data").string(), "--report", folder.string(), "--program",
             program.string(), "--seconds", "2.5", "--input", (folder / "lines.txt").string()});
  ASSERT_TRUE(parsed.options) << parsed.error;
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  auto run = std::async(std::launch::async,
                        [&] { return runHeadless(*parsed.options, out, interrupted); });

  // Lines read 0 until the script's line: the low trigger fires at start-up, the high one at
  // 300 ms, each sending one set. The run lasts long enough for an instrumented build's start.
  platform::Socket peer = frame.acceptOne();
  ASSERT_TRUE(peer.isOpen());
  std::vector<ReceivedMessage> sets;
  MessageParser parser(true, [&](const ReceivedMessage& m) { sets.push_back(m); });
  loopback::waitFor(
      [&] {
        uint8_t buffer[256];
        const platform::IoResult got = peer.receive(buffer, sizeof buffer);
        parser.feed(buffer, got.bytes);
        return run.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
      },
      5000);
  EXPECT_EQ(run.get(), 0) << out.str();
  ASSERT_EQ(sets.size(), 2u) << out.str();
  EXPECT_EQ(decodeValue(sets[0], ValueType::kInt)->i, 9);
  EXPECT_EQ(decodeValue(sets[1], ValueType::kInt)->i, 5);
  EXPECT_EQ(sets[1].oid, 0x0101);
  std::filesystem::remove_all(folder);
}

// A loudness card playing the test signal in a loop at `address`, and a data folder whose one
// device shows it on a loudness page.
struct LoudnessCardRun {
  LoudnessCardRun(uint32_t address, std::filesystem::path where) : folder(std::move(where)) {
    options.address = address;
    options.files = {QELM_PROGRAM_DIR "resources/lm_test_signal.wav"};
    options.loop = true;
    run = std::async(std::launch::async, [this] { return runLmCard(options, errors, stop); });
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "data" / "configuration");
    std::ofstream(folder / "data" / "configuration" / "startup.txt")
        << "model Meter\n"
           "  parameter 0x0D52 \"Loudness Data\" choice 0 Off \"Off\" choice 1 On \"On\"\n"
           "  monitor lm\n"
           "device 1 Meter page 1 Loudness type lm\n"
           "  item 9 \"Loudness Data\" from-model Meter "
        << platform::addressText(address) << " 1\n";
  }
  ~LoudnessCardRun() {
    stop = true;
    if (run.valid()) run.wait();
    std::filesystem::remove_all(folder);
  }
  /// Stops the card; false when it could not play at all.
  bool end() {
    stop = true;
    return run.get() == 0;
  }
  /// Whether a session has made its data folder.
  bool sessionStarted() const {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder / "reports", error), end;
         !error && it != end; it.increment(error)) {
      if (it->path().filename() == "csv") return true;
    }
    return false;
  }
  /// The text of the session's HTML report; empty without one.
  std::string report() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder / "reports")) {
      if (entry.path().extension() != ".html") continue;
      std::ifstream in(entry.path());
      return std::string(std::istreambuf_iterator<char>(in), {});
    }
    return {};
  }

  std::filesystem::path folder;
  LmCardOptions options;
  std::atomic<bool> stop{false};
  std::ostringstream errors;
  std::future<int> run;
};

TEST(HeadlessHostTest, AClickWhosePressAndReleaseComeInOnePassStartsALoudnessSession) {
  const uint32_t cardAddress = platform::ipv4(127, 0, 67, 1);
  if (loopback::TestServer(cardAddress, kFramePort).error != 0)
    GTEST_SKIP() << "port 5253 of 127.0.67.1 is taken";
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_click";
  LoudnessCardRun card(cardAddress, folder);
  // The start button of the right screen, pressed and released in the same millisecond.
  std::ofstream(folder / "click.txt") << "2000 0 11 1 1 40 60\n2000 0 2 1 1 40 60\n";
  ParsedOptions parsed =
      parse({"run", "--data", (folder / "data").string(), "--report", folder.string(), "--program",
             QELM_PROGRAM_DIR, "--seconds", "3.5", "--input", (folder / "click.txt").string()});
  ASSERT_TRUE(parsed.options) << parsed.error;
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(runHeadless(*parsed.options, out, interrupted), 0);
  if (!card.end()) GTEST_SKIP() << "the loudness card could not play: " << card.errors.str();

  EXPECT_NE(out.str().find(": Starting session\n"), std::string::npos) << out.str();
  // A session that ran leaves its report when the shutdown stops it.
  EXPECT_FALSE(card.report().empty()) << out.str();
}

// A headless logger has no panel to turn on "Start all sessions on bootup": `settings` does,
// refusing what the setting does not take, and the next run starts the session by itself.
TEST(HeadlessHostTest, SessionsTurnedOnAtBootBySettingsStartWithoutAnOperator) {
  const uint32_t cardAddress = platform::ipv4(127, 0, 70, 1);
  if (loopback::TestServer(cardAddress, kFramePort).error != 0)
    GTEST_SKIP() << "port 5253 of 127.0.70.1 is taken";
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_autostart";
  LoudnessCardRun card(cardAddress, folder);
  const std::string data = (folder / "data").string();
  std::ostringstream said;
  std::ostringstream errors;
  EXPECT_EQ(
      settingsCommand({"--data", data, "start all sessions ON BOOTUP", "maybe"}, said, errors),
      kSettingsFailed);
  EXPECT_NE(errors.str().find("it takes \"Disable\", \"Enable\""), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(folder / "data" / "bootenv"));
  EXPECT_EQ(
      settingsCommand({"--data", data, "start all sessions on bootup", "enable"}, said, errors),
      kSettingsDone);
  said.str("");
  EXPECT_EQ(settingsCommand({"--data", data}, said, errors), kSettingsDone);
  EXPECT_NE(said.str().find("\nStart all sessions on bootup = Enable\n"), std::string::npos)
      << said.str();

  ParsedOptions parsed = parse({"run", "--data", data, "--report", folder.string(), "--program",
                                QELM_PROGRAM_DIR, "--seconds", "4"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(runHeadless(*parsed.options, out, interrupted), 0);
  if (!card.end()) GTEST_SKIP() << "the loudness card could not play: " << card.errors.str();
  EXPECT_NE(out.str().find(": Starting session\n"), std::string::npos) << out.str();
  EXPECT_FALSE(card.report().empty()) << out.str();
}

TEST(HeadlessHostTest, TheReportOfASessionWhoseCardWentAwayNamesTheTimeWithoutData) {
  const uint32_t cardAddress = platform::ipv4(127, 0, 69, 1);
  if (loopback::TestServer(cardAddress, kFramePort).error != 0)
    GTEST_SKIP() << "port 5253 of 127.0.69.1 is taken";
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_outage";
  LoudnessCardRun card(cardAddress, folder);
  std::ofstream(folder / "start.txt") << "500 0 11 1 1 40 60\n520 0 2 1 1 40 60\n";
  ParsedOptions parsed =
      parse({"run", "--data", (folder / "data").string(), "--report", folder.string(), "--program",
             QELM_PROGRAM_DIR, "--seconds", "60", "--input", (folder / "start.txt").string()});
  ASSERT_TRUE(parsed.options) << parsed.error;
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  auto run = std::async(std::launch::async,
                        [&] { return runHeadless(*parsed.options, out, interrupted); });
  // The session has started once its data folder is there; a second later the card goes away,
  // and the panel is shut down (stopping the session) three seconds after that.
  const bool started = loopback::waitFor([&] { return card.sessionStarted(); }, 20000);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const bool played = card.end();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  interrupted = true;
  EXPECT_EQ(run.get(), 0);
  if (!played) GTEST_SKIP() << "the loudness card could not play: " << card.errors.str();
  ASSERT_TRUE(started) << out.str();

  const std::string report = card.report();
  const std::string label = "Without data</dt><dd>";
  const size_t at = report.find(label);
  ASSERT_NE(at, std::string::npos) << report;
  // About three seconds, however slow the machine: at least the two that make a gap.
  const std::string shown = report.substr(at + label.size(), 10);
  EXPECT_GE(shown, "00:00:02.0") << shown;
  EXPECT_LT(shown, "00:01:00.0") << shown;
  EXPECT_NE(report.find("(1 gap(s)"), std::string::npos) << report;
}

// Runs `args` in the background for at most 5 s; a run still blocked then is freed by opening
// the other end of `pipe` for it, and counts as hung (-1).
int runBounded(const std::vector<std::string>& args, const std::filesystem::path& pipe,
               std::string& printed) {
  ParsedOptions parsed = parse(args);
  if (!parsed.options) return -2;
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  auto run = std::async(std::launch::async,
                        [&] { return runHeadless(*parsed.options, out, interrupted); });
  int result = -1;
  if (run.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
    result = run.get();
  } else {
    interrupted = true;
    const int other = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK);
    run.wait();
    if (other >= 0) ::close(other);
  }
  printed = out.str();
  return result;
}

TEST(HeadlessHostTest, PipesAndOversizedScriptsAreRefusedBeforeTheRun) {
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_refusals";
  std::filesystem::remove_all(folder);
  const auto program = makeProgramFolder(folder);
  const auto pipe = folder / "pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::vector<std::string> base = {"run",       "--data",         (folder / "data").string(),
                                         "--program", program.string(), "--seconds",
                                         "0.2"};
  std::string printed;
  std::vector<std::string> args = base;
  args.insert(args.end(), {"--input", pipe.string()});
  EXPECT_EQ(runBounded(args, pipe, printed), 64);
  EXPECT_NE(printed.find("is not a regular file"), std::string::npos) << printed;

  args = base;
  args.insert(args.end(), {"--screenshot", pipe.string()});
  EXPECT_EQ(runBounded(args, pipe, printed), 64);
  EXPECT_NE(printed.find("is not a regular file"), std::string::npos) << printed;

  // Past 16 MiB the script is refused whole rather than cut (a sparse file: nothing to write).
  const auto huge = folder / "huge.txt";
  std::ofstream(huge) << "10 13 1 0\n";
  std::filesystem::resize_file(huge, (16u << 20) + 1);
  args = base;
  args.insert(args.end(), {"--input", huge.string()});
  EXPECT_EQ(runBounded(args, pipe, printed), 64);
  EXPECT_NE(printed.find("is larger than 16 MiB"), std::string::npos) << printed;
  std::filesystem::remove_all(folder);
}

TEST(HeadlessHostTest, AStartupMeasurementEndsAtTheFirstDrawnScreen) {
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_startup";
  std::filesystem::remove_all(folder);
  const auto program = makeProgramFolder(folder);
  ParsedOptions parsed =
      parse({"run", "--startup-time", "--data", (folder / "data").string(), "--report",
             folder.string(), "--program", program.string(), "--seconds", "600"});
  ASSERT_TRUE(parsed.options);
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  std::future<int> run = std::async(std::launch::async,
                                    [&] { return runHeadless(*parsed.options, out, interrupted); });
  // Far beyond any start-up: only a run that waits for its --seconds gets here.
  if (run.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
    interrupted.store(true);
    run.wait();
    FAIL() << "the run did not end at its first drawn screen";
  }
  EXPECT_EQ(run.get(), 0);
  const std::string text = out.str();
  const size_t running = text.find(": Running.\n");
  const size_t startup = text.find("startup: ");
  ASSERT_NE(startup, std::string::npos) << text;
  EXPECT_LT(running, startup) << "the screen is drawn once the engine runs";
  // The figure is the process's age, which here includes every test run before this one.
  long ms = -1;
  EXPECT_EQ(std::sscanf(text.c_str() + startup, "startup: %ld ms\n", &ms), 1) << text;
  EXPECT_GT(ms, 0);
  EXPECT_NE(text.find(": Exiting.\n", startup), std::string::npos) << "and stops cleanly";
  std::filesystem::remove_all(folder);
}

TEST(HeadlessHostTest, AFreshStartOfTheShippedConfigurationLogsNoWarning) {
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_shipped";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder / "data" / "configuration");
  std::ifstream shipped(QELM_SOURCE_DIR "configuration/startup.bak", std::ios::binary);
  std::ostringstream read;
  read << shipped.rdbuf();
  std::string text = read.str();
  ASSERT_NE(text.find("monitor lm"), std::string::npos) << "loudness cards are part of it";
  // Frames of its own (127.0.74.x), so that runs side by side never meet.
  const std::string own = "127.0.74.";
  for (size_t at = text.find("127.0.0."); at != std::string::npos;
       at = text.find("127.0.0.", at + own.size()))
    text.replace(at, own.size() - 1, own);
  std::ofstream(folder / "data" / "configuration" / "startup.txt", std::ios::binary) << text;

  ParsedOptions parsed =
      parse({"run", "--data", (folder / "data").string(), "--report", (folder / "report").string(),
             "--program", QELM_PROGRAM_DIR, "--seconds", "1.5"});
  ASSERT_TRUE(parsed.options);
  std::ostringstream out;
  std::atomic<bool> interrupted{false};
  // This run's messages only: the console repeats the whole process log, where the runs of other
  // tests have left warnings of their own configurations.
  const int32_t firstLog = messageCount();
  EXPECT_EQ(runHeadless(*parsed.options, out, interrupted), 0);
  std::string lower;
  for (int32_t n = firstLog; n < messageCount(); ++n)
    lower += messageText(n) + "\n";
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  EXPECT_NE(lower.find("\nrunning.\n"), std::string::npos) << out.str();
  EXPECT_EQ(lower.find("warning"), std::string::npos) << lower;
  std::filesystem::remove_all(folder);
}

TEST(HeadlessHostTest, AnInterruptStopsTheEngine) {
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_interrupt";
  std::filesystem::remove_all(folder);
  const auto program = makeProgramFolder(folder);
  ParsedOptions parsed = parse({"run", "--data", (folder / "data").string(), "--report",
                                folder.string(), "--program", program.string()});
  ASSERT_TRUE(parsed.options);
  std::ostringstream out;
  std::atomic<bool> interrupted{true};
  EXPECT_EQ(runHeadless(*parsed.options, out, interrupted), 0);
  std::filesystem::remove_all(folder);
}

// The remote panel serves while the engine runs, and a server that may not start ends the run.
TEST(HeadlessHostTest, HttpServesThePanelDuringTheRun) {
  const auto folder = std::filesystem::temp_directory_path() / "headless_host_http";
  std::filesystem::remove_all(folder);
  const auto program = makeProgramFolder(folder);
  std::filesystem::create_directories(program / "resources" / "remote");
  std::ofstream(program / "resources" / "remote" / "login.html") << "<form></form>";
  const std::vector<std::string> run = {
      "run",       "--data",        (folder / "data").string(), "--report", folder.string(),
      "--program", program.string()};

  std::vector<std::string> anywhere = run;
  anywhere.insert(anywhere.end(), {"--http", "0.0.0.0:0"});
  std::ostringstream refused;
  std::atomic<bool> interrupted{false};
  EXPECT_EQ(runHeadless(*parse(anywhere).options, refused, interrupted), 64);
  EXPECT_NE(refused.str().find("no password is set"), std::string::npos) << refused.str();

  std::vector<std::string> loopback = run;
  loopback.insert(loopback.end(), {"--http", "127.0.0.1:0"});
  const int32_t firstLog = messageCount();
  std::ostringstream out;
  auto result = std::async(std::launch::async,
                           [&] { return runHeadless(*parse(loopback).options, out, interrupted); });
  const std::string serving = "Remote panel serving http://127.0.0.1:";
  int port = 0;
  for (int wait = 0; wait < 5000 && port == 0; ++wait) {
    for (int32_t n = firstLog; n < messageCount(); ++n)
      if (const std::string text = messageText(n); text.rfind(serving, 0) == 0)
        port = std::atoi(text.c_str() + serving.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_NE(port, 0);
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port)});
  const std::string request = "GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  boost::asio::write(socket, boost::asio::buffer(request));
  boost::system::error_code error;
  std::string answer;
  boost::asio::read(socket, boost::asio::dynamic_buffer(answer), error);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("<form></form>"), std::string::npos) << answer;
  // The engine's screens reach a browser, copied while the engine draws.
  namespace websocket = boost::beast::websocket;
  websocket::stream<boost::asio::ip::tcp::socket> browser(io);
  browser.next_layer().connect(
      {boost::asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port)});
  const std::string host = "127.0.0.1:" + std::to_string(port);
  browser.set_option(websocket::stream_base::decorator([&](websocket::request_type& upgrade) {
    upgrade.set(boost::beast::http::field::origin, "http://" + host);
  }));
  browser.handshake(host, "/ws");
  boost::beast::flat_buffer hello;
  browser.read(hello);
  EXPECT_NE(boost::beast::buffers_to_string(hello.cdata()).find("\"role\":\"operator\""),
            std::string::npos);
  boost::beast::flat_buffer update;
  browser.read(update);
  EXPECT_GT(update.size(), 20u);
  browser.text(true);
  browser.write(boost::asio::buffer(std::string("{\"t\":\"ready\"}")));
  interrupted = true;
  EXPECT_EQ(result.get(), 0);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qelm
