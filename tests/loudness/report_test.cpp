// Reports and data files: the template rules, placeholders and error rows; a session's files
// written through the file output where they belong, hour by hour across midnight; and files
// that appear under their names only when complete.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "loudness/loudness_context.h"
#include "loudness/loudness_monitor.h"
#include "loudness/report_job.h"
#include "loudness/report_output.h"
#include "loudness/report_template.h"
#include "loudness/session_requests.h"
#include "loudness_support.h"

namespace qelm::testing {
namespace {

namespace fs = std::filesystem;

/// One fsync as the writer asked for it: what it synced and, for a folder, what the folder
/// held at that moment.
struct SyncSeen {
  std::string path;
  std::vector<std::string> entries;
};

std::mutex syncMutex;
std::vector<SyncSeen>* syncLog = nullptr;

/// Keeps every fsync of this program in `log` while it lives.
class SyncRecorder {
 public:
  explicit SyncRecorder(std::vector<SyncSeen>& log) {
    std::lock_guard<std::mutex> lock(syncMutex);
    syncLog = &log;
  }
  ~SyncRecorder() {
    std::lock_guard<std::mutex> lock(syncMutex);
    syncLog = nullptr;
  }
  SyncRecorder(const SyncRecorder&) = delete;
  SyncRecorder& operator=(const SyncRecorder&) = delete;
};

void noteSync(int fd) {
  std::lock_guard<std::mutex> lock(syncMutex);
  if (syncLog == nullptr) return;
  std::error_code error;
  SyncSeen seen{fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string(), {}};
  if (fs::is_directory(seen.path, error)) {
    for (const auto& entry : fs::directory_iterator(seen.path, error))
      seen.entries.push_back(entry.path().filename().string());
    std::sort(seen.entries.begin(), seen.entries.end());
  }
  syncLog->push_back(std::move(seen));
}

}  // namespace
}  // namespace qelm::testing

// Every fsync of this test program passes here on its way to the system, so that a test sees
// what was synced and when.
extern "C" int fsync(int fd) {
  qelm::testing::noteSync(fd);
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace qelm::testing {
namespace {

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

/// Every file below `folder`, as paths relative to it, sorted.
std::vector<std::string> filesBelow(const fs::path& folder) {
  std::vector<std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) out.push_back(fs::relative(entry.path(), folder).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

/// A fresh folder, removed with everything in it at the end of the test.
class TempFolder {
 public:
  TempFolder() {
    std::string name = (fs::temp_directory_path() / "qelm-report-XXXXXX").string();
    path_ = ::mkdtemp(name.data());
  }
  ~TempFolder() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  const fs::path& path() const { return path_; }
  std::string slash() const { return path_.string() + "/"; }

 private:
  fs::path path_;
};

constexpr const char* kTemplate =
    "<html><lmheader><h1>$id$ on $addr$</h1>"
    "<p>title=$sessionname$ operator=$operator$ mode=$mode$</p>"
    "<p>from $start_date$ $start_time$ to $end_date$ $end_time$ tc=$timecode$</p>"
    "<p>total=$total_duration$ active=$active_duration$</p>"
    "<p>target=$target_lkfs$ hst=$hst_abs_lkfs$/$hst_rel_lkfs$ lst=$lst_abs_lkfs$/$lst_rel_lkfs$"
    " pk=$peak_threshold$ hlt=$hlt_abs_lkfs$</p>"
    "<p>I=$avg_abs_lkfs$ $abs_units$ rel=$avg_rel_lkfs$ LRA=$lra$ TP=$true_peak$"
    " ($true_peak_channel$) $recommendation$ $verdict$ errors=$error_count$</p>"
    "<p>tie=$time_in_error_peak$ $time_in_error_high$</p>"
    "<link href=\"$resource_prefix$main.css\">src=$src_l$,$src_r$,$src_ls$<lmallchannels>,$src_c$"
    "</lmallchannels><table></lmheader><lmfooter></table><lmallchannels>5.1</lmallchannels>"
    "</lmfooter></html>";

constexpr const char* kDataTemplate =
    "<lmheader>Session $id$ from $start_date$ $start_time$<lmallchannels> $src_c$"
    "</lmallchannels>\nElapsed,Timecode,Date,Target,Dialnorm,Short-term,Peak,Flags\n"
    "</lmheader>";

// ---- Template rules and rows -------------------------------------------------------------------

TEST(ReportTemplateTest, SectionsChannelBlocksAndPlaceholders) {
  EXPECT_EQ(templateSection("x<a>one</a><a>two</a>", "a"), "one");
  EXPECT_EQ(templateSection("<a>open only", "a"), "");
  EXPECT_EQ(templateSection("</a>close first<a>", "a"), "");

  const std::string section = "L<lmallchannels>+C</lmallchannels>R<lmallchannels>+S";
  EXPECT_EQ(applyChannelRule(section, true), "L+CR<lmallchannels>+S");
  EXPECT_EQ(applyChannelRule(section, false), "LR<lmallchannels>+S");

  const Placeholders values = {{"$id$", "a$id$b"}, {"$x$", "X"}};
  // One pass: a value naming a placeholder stays as it is; unknown names survive; a lone
  // sign before a placeholder does not swallow it.
  EXPECT_EQ(substitute("[$id$][$nope$][$$x$][$x", values), "[a$id$b][$nope$][$X][$x");

  EXPECT_EQ(escapeText("<b>\"R&D\"\n", TextEscape::kHtml), "&lt;b&gt;&quot;R&amp;D&quot; ");
  EXPECT_EQ(escapeText("a<b>\tc", TextEscape::kPlain), "a<b> c");
  EXPECT_EQ(folderName(".."), "_..");
  EXPECT_EQ(folderName("a/b\x01"), "a_b_");
  EXPECT_EQ(fileBaseOf("03/05/2024", "23:59:58"), "2024-03-05_23-59-58");
  EXPECT_EQ(fileBaseOf("3/5/2024", "23:59:58"), "session");
  EXPECT_EQ(numberedPath("/r/a.b/x.html", 2), "/r/a.b/x-2.html");
  EXPECT_EQ(numberedPath("/r/a.b/x", 3), "/r/a.b/x-3");
}

TEST(ReportTemplateTest, PlaceholderValues) {
  ReportSession s;
  s.sessionName = "<News>";
  s.startTimecode = "10:00:00.00";
  s.elapsedTicks = 36000 + 600 + 10 + 3;
  s.runningTicks = 25;
  s.target = -23.0f;
  s.highThreshold = 40.05f;  // disabled from here
  s.lowThreshold = -5.0f;
  s.integratedTenths = -215;
  s.channelSources = {"l", "r", "c", "lfe", "ls", "rs", "al", "ar"};
  s.allChannels = false;
  Placeholders p = reportPlaceholders(s, "../../", TextEscape::kHtml);
  EXPECT_EQ(p["$id$"], "&lt;News&gt;");
  EXPECT_EQ(p["$timecode$"], "");  // the end timecode is missing
  EXPECT_EQ(p["$total_duration$"], "01:01:01.3");
  EXPECT_EQ(p["$active_duration$"], "00:00:02.5");
  EXPECT_EQ(p["$hst_abs_lkfs$"], "Disabled");
  EXPECT_EQ(p["$hst_rel_lkfs$"], "Disabled");
  EXPECT_EQ(p["$lst_abs_lkfs$"], "-28.0");
  EXPECT_EQ(p["$lst_rel_lkfs$"], "-5.0");
  EXPECT_EQ(p["$avg_abs_lkfs$"], "-21.5");
  EXPECT_EQ(p["$avg_rel_lkfs$"], "1.5");
  EXPECT_EQ(p["$recommendation$"], "ACCEPT");
  EXPECT_EQ(p["$verdict$"], "PASS");
  EXPECT_EQ(p["$true_peak$"], "");
  EXPECT_EQ(p.count("$src_r$"), 1u);
  EXPECT_EQ(p.count("$src_c$"), 0u);  // L and R only: the other sources stay unreplaced
  EXPECT_EQ(p.count("$src_auxr$"), 0u);

  s.integratedTenths = kTenthsNoData;
  s.errorCount = 1;
  p = reportPlaceholders(s, "", TextEscape::kHtml);
  EXPECT_EQ(p["$avg_abs_lkfs$"], "");
  EXPECT_EQ(p["$avg_rel_lkfs$"], "");
  EXPECT_EQ(p["$recommendation$"], "REJECT");
  EXPECT_EQ(p["$verdict$"], "FAIL");
}

TEST(ReportTemplateTest, ErrorRows) {
  ReportRow peak;
  peak.type = ErrorType::kPeak;
  peak.startElapsed = 605;
  peak.durationTicks = 3;
  peak.startTimecode = "01:00:00.00";
  peak.startDateTime = "03/05/2024 10:01:00";
  peak.channelValue = {-0.5f, -3.0f, 0.25f, -90, -90, -90, -90, -90};
  peak.channelFlag = {true, false, true, false, false, false, false, false};
  EXPECT_EQ(errorRow(peak, 1, 1, false),
            "<tr class=\"first even row\"><td class=\"center\">1</td><td>00:01:00.5</td>"
            "<td>01:00:00.00</td><td>03/05/2024 10:01:00</td><td>00:00:00.3</td>"
            "<td class=\"peak\">PK</td><td>&mdash;</td><td class=\"peak\">-0.50</td>"
            "<td>&mdash;</td></tr>\n");
  EXPECT_NE(errorRow(peak, 3, 6, true).find("<td class=\"peak\">0.25</td>"), std::string::npos);

  ReportRow high;
  high.type = ErrorType::kHigh;
  high.worst = -12.04f;
  high.channelValue = {-14.0f, -20.0f, kNoSignalDb, kNoSignalDb, kNoSignalDb, kNoSignalDb, 0, 0};
  high.channelFlag = {true, false, false, false, false, false, false, false};
  const std::string row = errorRow(high, 4, 4, true);
  EXPECT_EQ(row.substr(0, 26), "<tr class=\"last even row\">");
  EXPECT_NE(row.find("<td class=\"high\">HIGH</td><td>-12.0</td><td class=\"high\">-14.0</td>"
                     "<td>-20.0</td><td>N/A</td>"),
            std::string::npos);
  EXPECT_EQ(errorRow(high, 3, 3, true).substr(0, 25), "<tr class=\"last odd row\">");
  EXPECT_EQ(errorRow(high, 2, 3, true).substr(0, 21), "<tr class=\"even row\">");

  ReportRow dialnorm;
  dialnorm.type = ErrorType::kNoDialnorm;
  EXPECT_NE(errorRow(dialnorm, 2, 5, false)
                .find("<td class=\"peak\">NODN</td><td>NONE</td><td></td><td></td></tr>\n"),
            std::string::npos);
}

TEST(ReportTemplateTest, TheInstalledTemplatesUseOnlyKnownPlaceholders) {
  ReportSession s;
  s.errorCount = 1;
  for (const bool all : {true, false}) {
    s.allChannels = all;
    const Placeholders html = reportPlaceholders(s, "../../", TextEscape::kHtml);
    const std::string text = loadTemplate(QELM_SOURCE_DIR "resources/lmtemplate.html");
    for (const char* name : {"lmheader", "lmfooter"}) {
      const std::string section = applyChannelRule(templateSection(text, name), all);
      EXPECT_FALSE(section.empty()) << name;
      EXPECT_EQ(substitute(section, html).find('$'), std::string::npos) << name;
    }
    const std::string data = loadTemplate(QELM_SOURCE_DIR "resources/lmdatatemplate.txt");
    const std::string header = applyChannelRule(templateSection(data, "lmheader"), false);
    EXPECT_EQ(substitute(header, reportPlaceholders(s, "../../", TextEscape::kPlain)).find('$'),
              std::string::npos);
  }
}

// ---- Files of a session ------------------------------------------------------------------------

class ReportFilesTest : public ::testing::Test {
 protected:
  ReportFilesTest() {
    fs::create_directories(folder_.path() / "program/resources");
    writeFile(folder_.path() / "program/resources/lmtemplate.html", kTemplate);
    writeFile(folder_.path() / "program/resources/lmdatatemplate.txt", kDataTemplate);
  }

  LoudnessContext& makeContext(LoudnessSettings settings = {}) {
    auto output = std::make_unique<FileLoudnessOutput>(
        ReportLocations::fromFolders(folder_.slash(), folder_.slash() + "program/"));
    output_ = output.get();
    context_ = std::make_unique<LoudnessContext>("Card [3]", wall_, std::move(output));
    context_->record().sessionName = "News";
    context_->applySettings(settings);
    context_->setStatus(LinkStatus::kLive);
    context_->poll(tick_, tick_ * 100);
    return *context_;
  }

  DecodedPayload payload(double lkfs, float peakDb = -20.0f) const {
    DecodedPayload p;
    p.truePeakDb.fill(-40.0f);
    p.truePeakDb[1] = peakDb;
    p.meterDb.fill(-40.0f);
    p.powers = {powerForLoudness(lkfs) / 2, powerForLoudness(lkfs) / 2, 0, 0, 0, 0};
    p.timecode = "10:00:00.00";
    return p;
  }

  /// `count` payloads 100 ms apart, the wall clock moving a second every ten.
  void feed(int count, double lkfs = -23.0, float peakDb = -20.0f) {
    for (int i = 0; i < count; ++i) {
      ++tick_;
      DecodedPayload p = payload(lkfs, peakDb);
      p.sequence = ++sequence_;
      context_->processPayload(p, tick_, tick_ * 100);
      context_->poll(tick_, tick_ * 100);
      if (tick_ % 10 == 0) wall_.advance(1);
    }
  }

  /// Polls until the report job is done; returns the number of polls.
  int finishReport() {
    int polls = 0;
    while (context_->record().state == SessionState::kBusy && polls < 100000) {
      ++polls;
      context_->poll(tick_, tick_ * 100);
    }
    return polls;
  }

  fs::path sessionFolder() const { return folder_.path() / "reports/News"; }

  TempFolder folder_;
  ManualWallClock wall_{10, 0, 0};
  FileLoudnessOutput* output_ = nullptr;
  std::unique_ptr<LoudnessContext> context_;
  uint32_t tick_ = 1000;
  uint32_t sequence_ = 0;
};

TEST_F(ReportFilesTest, AStoppedSessionLeavesItsReportAndDataFile) {
  LoudnessContext& context = makeContext();
  context.record().title = "Evening <News>";
  context.record().operatorName = "Kim";
  context.start();
  EXPECT_TRUE(fs::is_directory(sessionFolder() / "html"));
  EXPECT_TRUE(fs::is_directory(sessionFolder() / "csv"));
  feed(300);             // 30 s at target
  feed(100, -10.0);      // 10 s far above target + 8 LU: one HIGH record
  feed(100);             // the short-term value comes back down
  feed(3, -23.0, 0.5f);  // a true peak above -1 dBFS: one PK record
  context.pause();
  feed(50);  // paused: counts as total, not as active time
  context.start();
  feed(47);
  context.stop();
  EXPECT_EQ(context.record().state, SessionState::kBusy);

  const size_t records = context.record().errors.size();
  ASSERT_EQ(records, 2u);
  const int polls = finishReport();
  EXPECT_EQ(polls, 6);  // start, sections, open, header, rows (up to 5), footer
  EXPECT_EQ(context.record().state, SessionState::kStopped);

  EXPECT_EQ(
      filesBelow(sessionFolder()),
      (std::vector<std::string>{"csv/2024-03-05_10-00-00.csv", "html/2024-03-05_10-00-00.html"}));
  const std::string html = readFile(sessionFolder() / "html/2024-03-05_10-00-00.html");
  EXPECT_NE(html.find("<h1>News on Card [3]</h1>"), std::string::npos);
  EXPECT_NE(html.find("title=Evening &lt;News&gt; operator=Kim mode=EBU +9"), std::string::npos);
  EXPECT_NE(html.find("from 03/05/2024 10:00:00 to 03/05/2024 10:00:59"), std::string::npos);
  EXPECT_NE(html.find("tc=10:00:00.00 - 10:00:00.00"), std::string::npos);
  // 600 payloads of 100 ms, 50 of them paused.
  EXPECT_NE(html.find("total=00:01:00.0 active=00:00:55.0"), std::string::npos);
  EXPECT_NE(html.find("target=-23.0 hst=-15.0/8.0 lst=Disabled/Disabled pk=-1.0 hlt=Disabled"),
            std::string::npos);
  EXPECT_NE(html.find("LUFS"), std::string::npos);
  EXPECT_NE(html.find("TP=0.5 (R) REJECT FAIL errors=2"), std::string::npos);
  EXPECT_NE(html.find("href=\"../../main.css\""), std::string::npos);
  EXPECT_EQ(countOf(html, "<tr class="), records);
  EXPECT_NE(html.find("<tr class=\"first even row\">"), std::string::npos);
  EXPECT_NE(html.find("<tr class=\"last even row\">"), std::string::npos);
  EXPECT_NE(html.find("<td class=\"high\">HIGH</td>"), std::string::npos);
  EXPECT_EQ(html.substr(html.size() - 11), "</table>5.1");
  EXPECT_EQ(countOf(html, "$"), 0u);  // every placeholder of the template replaced

  const std::string csv = readFile(sessionFolder() / "csv/2024-03-05_10-00-00.csv");
  EXPECT_EQ(csv.substr(0, csv.find('\n')), "Session News from 03/05/2024 10:00:00");
  // One line every 15 s of running: at 0, 15, 30, 45 s of elapsed time.
  EXPECT_EQ(countOf(csv, "\n"), 2u + 4u);
  EXPECT_NE(csv.find("\n00:00:00.0,10:00:00.00,03/05/2024 10:00:00,-23.0,,"), std::string::npos);
}

TEST_F(ReportFilesTest, ThousandsOfRecordsAreWrittenFiveRowsAPoll) {
  LoudnessSettings settings;
  settings.allChannels = false;
  LoudnessContext& context = makeContext(settings);
  context.start();
  for (int i = 0; i < 1200; ++i) {
    feed(1, -23.0, 0.0f);  // a peak error of one payload
    feed(1);
  }
  context.stop();
  ASSERT_EQ(context.record().errors.size(), 1200u);
  std::vector<int32_t> progress;
  int polls = 0;
  while (context.record().state == SessionState::kBusy) {
    context.poll(tick_, tick_ * 100);
    progress.push_back(context.record().reportProgress);
    ++polls;
  }
  EXPECT_EQ(polls, 5 + 1200 / 5);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  const std::string html = readFile(sessionFolder() / "html/2024-03-05_10-00-00.html");
  EXPECT_EQ(countOf(html, "<tr class="), 1200u);
  EXPECT_EQ(countOf(html, "$src_ls$"), 1u);  // L and R only: Ls's source stays as it is
  EXPECT_EQ(countOf(html, "5.1"), 0u);       // and the all-channel blocks go
}

TEST_F(ReportFilesTest, EverySampleLogGetsAFileEachHourAcrossMidnight) {
  LoudnessSettings settings;
  settings.logEverySample = true;
  LoudnessContext& context = makeContext(settings);
  wall_.setTime(23, 59, 58);
  context.start();
  feed(20);  // to 00:00:00 of the next day
  feed(5);
  wall_.setTime(24 + 0, 59, 59);
  feed(5);
  wall_.setTime(25, 0, 0);
  feed(5);
  context.stop();
  finishReport();

  EXPECT_EQ(filesBelow(sessionFolder() / "csv"),
            (std::vector<std::string>{"2024-03-05_23-59-58.csv", "2024-03-06_00-00-00.csv",
                                      "2024-03-06_01-00-00.csv"}));
  EXPECT_TRUE(fs::exists(sessionFolder() / "html/2024-03-05_23-59-58.html"));
  // Each file holds the lines of its own hour (the header takes two lines).
  const auto lines = [&](const std::string& name, const std::string& hour) {
    const std::string csv = readFile(sessionFolder() / "csv" / name);
    EXPECT_EQ(countOf(csv, "," + hour + ":"), countOf(csv, "\n") - 2) << name;
    return countOf(csv, "\n") - 2;
  };
  EXPECT_EQ(lines("2024-03-05_23-59-58.csv", "03/05/2024 23"), 20u);
  EXPECT_EQ(lines("2024-03-06_00-00-00.csv", "03/06/2024 00"), 10u);
  EXPECT_EQ(lines("2024-03-06_01-00-00.csv", "03/06/2024 01"), 5u);
}

TEST_F(ReportFilesTest, DataLinesReachTheDiskWithinAMinuteAndTheFileItsNameOnlyAtTheEnd) {
  LoudnessContext& context = makeContext();
  context.start();
  const fs::path csv = sessionFolder() / "csv";
  feed(600);
  EXPECT_TRUE(filesBelow(csv).empty());  // held for up to a minute
  feed(1);
  std::vector<std::string> files = filesBelow(csv);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].starts_with("2024-03-05_10-00-00.csv.")) << files[0];
  EXPECT_TRUE(files[0].ends_with(".part")) << files[0];
  EXPECT_EQ(countOf(readFile(csv / files[0]), "\n"), 2u + 5u);  // header, a line every 15 s

  // Terminated sessions keep what they measured, under the final name.
  context.terminate();
  EXPECT_EQ(filesBelow(csv), (std::vector<std::string>{"2024-03-05_10-00-00.csv"}));
}

TEST_F(ReportFilesTest, ANameTooLongForAFolderIsCutBetweenCharacters) {
  LoudnessContext& context = makeContext();
  std::string name = "A";
  for (int i = 0; i < 150; ++i)
    name += "\u00e9";  // two bytes each: 301 in all
  context.record().sessionName = name;
  context.start();
  feed(700);  // past the minute after which queued lines are written
  context.stop();
  finishReport();
  const std::string folder = name.substr(0, 255);  // "A" and 127 whole characters
  EXPECT_EQ(
      filesBelow(folder_.path() / "reports" / folder),
      (std::vector<std::string>{"csv/2024-03-05_10-00-00.csv", "html/2024-03-05_10-00-00.html"}));
  EXPECT_EQ(folderName(name.substr(0, 256)), folder) << "never half a character";
}

TEST_F(ReportFilesTest, AFullDiskLeavesNoUnfinishedDataFiles) {
  LoudnessContext& context = makeContext();
  // A file-size limit makes the data file's writes fail, as a full disk would.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int run = 0; run < 2; ++run) {
    context.start();
    feed(700);  // past the minute after which queued lines are written
    context.stop();
    finishReport();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(filesBelow(sessionFolder() / "csv").empty());
}

TEST_F(ReportFilesTest, DataFilesLeftByACrashAreCompletedOnce) {
  const fs::path csv = folder_.path() / "reports/News/csv";
  fs::create_directories(csv);
  writeFile(csv / "2024-03-05_10-00-00.csv.Ab1234.part", "Header\nline 1\nline");
  writeFile(csv / "2024-03-05_11-00-00.csv", "an earlier file");
  writeFile(csv / "2024-03-05_11-00-00.csv.Cd5678.part", "Header\n");
  writeFile(csv / "2024-03-05_12-00-00.csv.Ef9012.part", "cut header");
  ReportFile running;  // another engine's file, still being written
  ASSERT_TRUE(running.open((csv / "2024-03-05_13-00-00.csv").string()));
  ASSERT_TRUE(running.write("Header\n") && running.flush());
  const std::string runningName = fs::path(running.temporaryPath()).filename().string();

  LogLines log;
  recoverDataFiles(folder_.slash() + "reports/");
  EXPECT_EQ(filesBelow(csv),
            (std::vector<std::string>{"2024-03-05_10-00-00.csv", "2024-03-05_11-00-00-2.csv",
                                      "2024-03-05_11-00-00.csv", runningName}));
  EXPECT_EQ(readFile(csv / "2024-03-05_10-00-00.csv"), "Header\nline 1\n");
  EXPECT_EQ(readFile(csv / "2024-03-05_11-00-00.csv"), "an earlier file");
  EXPECT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.count("Completed the loudness data file " +
                      (csv / "2024-03-05_10-00-00.csv").string() + " left by an earlier run"),
            1);
  recoverDataFiles(folder_.slash() + "reports/");
  EXPECT_EQ(log.lines().size(), 2u) << "said once";
  EXPECT_TRUE(running.commit());
}

TEST_F(ReportFilesTest, MissingTemplatesGiveTheFixedTexts) {
  fs::remove(folder_.path() / "program/resources/lmtemplate.html");
  fs::remove(folder_.path() / "program/resources/lmdatatemplate.txt");
  LoudnessContext& context = makeContext();
  context.start();
  feed(10);
  context.stop();
  finishReport();
  EXPECT_EQ(readFile(sessionFolder() / "csv/2024-03-05_10-00-00.csv").substr(0, 33),
            "Could not open header template.\n\n");
  EXPECT_EQ(readFile(sessionFolder() / "html/2024-03-05_10-00-00.html"), "");
}

// ---- Whole files or none -----------------------------------------------------------------------

// The window's Save Session on a monitor's page: the data file beside the session file is
// headed like every other data file, then holds the queued lines.
class SessionSaveTest : public MonitorFixture {};

TEST_F(SessionSaveTest, TheDataFileBesideASessionFileHasItsHeader) {
  TempFolder folder;
  fs::create_directories(folder.path() / "resources");
  writeFile(folder.path() / "resources/lmtemplate.html", kTemplate);
  writeFile(folder.path() / "resources/lmdatatemplate.txt", kDataTemplate);
  SessionRequests requests(folder.slash() + "resources/lmtemplate.html");
  LoudnessMonitor& monitor = addMonitor();
  makeCurrent(monitor);
  monitor.context().start();
  for (int i = 0; i < 20; ++i)
    feed(PayloadFields{});
  monitor.context().pause();
  std::string lines;
  for (const std::string& line : monitor.context().queuedLines())
    lines += line;
  ASSERT_FALSE(lines.empty());

  ASSERT_EQ(requests.save(monitor, folder.slash() + "run.SES"), "OK");
  const std::string csv = readFile(folder.path() / "run.csv");
  const std::string header = "Session " + monitor.context().record().sessionName + " from ";
  EXPECT_EQ(csv.substr(0, header.size()), header);
  EXPECT_NE(csv.find("Elapsed,Timecode,Date,Target,Dialnorm,Short-term,Peak,Flags\n" + lines),
            std::string::npos)
      << csv;
}

class ReportJobTest : public ::testing::Test {
 protected:
  ReportSession sessionWithRows(size_t rows) const {
    ReportSession s;
    s.sessionName = "News";
    ReportRow row;
    row.type = ErrorType::kHigh;
    row.startDateTime = "03/05/2024 10:00:00";
    s.rows.assign(rows, row);
    s.errorCount = rows;
    return s;
  }
  bool run(HtmlReportJob& job) {
    for (int i = 0; i < 100000 && job.step(); ++i) {
    }
    return job.succeeded();
  }

  TempFolder folder_;
  std::shared_ptr<const std::string> template_ = std::make_shared<const std::string>(kTemplate);
};

TEST_F(ReportJobTest, AnExistingReportIsNeverReplaced) {
  const fs::path path = folder_.path() / "r.html";
  writeFile(path, "earlier report");
  HtmlReportJob job(template_, sessionWithRows(3), path.string(), true);
  ASSERT_TRUE(run(job));
  EXPECT_EQ(job.writtenPath(), (folder_.path() / "r-2.html").string());
  EXPECT_EQ(readFile(path), "earlier report");
  EXPECT_NE(readFile(folder_.path() / "r-2.html").find("href=\"main.css\""), std::string::npos);
}

TEST_F(ReportJobTest, AReportNamedAsLongAsANameMayBeIsWritten) {
  // The temporary name cannot simply add its suffix to such a name.
  const fs::path path = folder_.path() / (std::string(250, 'r') + ".html");
  HtmlReportJob job(template_, sessionWithRows(1), path.string(), true);
  ASSERT_TRUE(run(job));
  EXPECT_EQ(job.writtenPath(), path.string());
  EXPECT_EQ(filesBelow(folder_.path()), std::vector<std::string>{path.filename().string()});
}

TEST_F(ReportJobTest, AReportReachesTheDiskBeforeItTakesItsName) {
  const fs::path folder = fs::canonical(folder_.path());
  std::vector<SyncSeen> syncs;
  {
    const SyncRecorder recorder(syncs);
    HtmlReportJob job(template_, sessionWithRows(3), (folder / "r.html").string(), false);
    ASSERT_TRUE(run(job));
  }
  // The file while it still has its temporary name, then the folder once it holds the name.
  ASSERT_EQ(syncs.size(), 2u);
  EXPECT_TRUE(syncs[0].path.starts_with((folder / "r.html.").string())) << syncs[0].path;
  EXPECT_TRUE(syncs[0].path.ends_with(".part")) << syncs[0].path;
  EXPECT_EQ(syncs[1].path, folder.string());
  EXPECT_EQ(syncs[1].entries, std::vector<std::string>{"r.html"});
}

TEST_F(ReportJobTest, AFailedWriteLeavesNoPartialReport) {
  const fs::path path = folder_.path() / "r.html";
  // A file-size limit makes the writes fail part way, as a full disk would.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  HtmlReportJob job(template_, sessionWithRows(500), path.string(), false);
  const bool ok = run(job);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(filesBelow(folder_.path()).empty());

  // A folder that does not exist: the job ends at its open step with nothing written.
  HtmlReportJob missing(template_, sessionWithRows(1), (folder_.path() / "no/r.html").string(),
                        false);
  EXPECT_TRUE(missing.step());
  EXPECT_TRUE(missing.step());
  EXPECT_FALSE(missing.step());
  EXPECT_FALSE(missing.succeeded());
}

}  // namespace
}  // namespace qelm::testing
