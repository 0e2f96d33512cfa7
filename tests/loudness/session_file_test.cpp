// Session files: a session fed real payloads survives save and load unchanged, every refusal
// text comes from a file damaged in its own way, a failed load or save changes nothing, and
// files of panels that know only the common items still load.
#include "loudness/session_file.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "loudness/loudness_payload.h"
#include "loudness_support.h"

namespace qelm::testing {
namespace {

namespace fs = std::filesystem;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

uint32_t wordAt(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i)
    v |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
  return v;
}

void putWord(std::string& bytes, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i)
    bytes[at + i] = static_cast<char>(v >> (8 * i));
}

/// Offsets of the size words of every item of a file, in order.
std::vector<size_t> itemOffsets(const std::string& bytes) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4 + wordAt(bytes, i))
    at.push_back(i);
  return at;
}

/// Items one error record takes.
size_t itemsOf(const LoudnessError& e) {
  switch (e.type) {
    case ErrorType::kPeak:
      return 7 + 18;
    case ErrorType::kHigh:
    case ErrorType::kLow:
      return 7 + 13;
    default:
      return 7 + 1;
  }
}

// Items before the error-record count when no lines are held back (items 1 to 14).
constexpr size_t kErrorCountItem = 106;
// Items of the trailing data-gap and summary blocks, and of them with the range block first.
constexpr size_t kDataGapBlockItems = 4;
constexpr size_t kSummaryBlockItems = 2 + 2 * kErrorTypes;
constexpr size_t kRangeBlockItems =
    3 + 2 * HistoryEngine::kBins + HistoryEngine::kBins + kSummaryBlockItems + kDataGapBlockItems;

class SessionFileTest : public ::testing::Test {
 protected:
  SessionFileTest() : context_("Card [3]", wall_) {
    char pattern[] = "/tmp/sesfile-XXXXXX";
    folder_ = mkdtemp(pattern);
    LoudnessSettings s;
    s.highThreshold = 4.0f;
    s.lowThreshold = -6.0f;
    s.dialnormMode = DialnormMode::kCheck;
    s.dialnormTolerance = 3.0f;
    s.peakThreshold = -1.0f;
    context_.applySettings(s);
    context_.setStatus(LinkStatus::kLive);
    context_.record().title = "Evening news";
    context_.record().operatorName = "Kim";
  }
  ~SessionFileTest() override { fs::remove_all(folder_); }

  /// One real payload at `lkfs` (L and R), peaks at `peakDb`, with a timecode and `dialnorm`.
  void feed(LoudnessContext& context, double lkfs, double peakDb, int32_t dialnorm) {
    PayloadFields fields;
    fields.sequence = ++sequence_;
    fields.powers = {powerForLoudness(lkfs) / 2, powerForLoudness(lkfs) / 2, 0, 0, 0, 0};
    fields.peakDb.fill(peakDb - 6);
    fields.peakDb[1] = peakDb;
    fields.meterDb.fill(lkfs);
    const uint32_t frames = sequence_ / 4;
    fields.timecode = {0,
                       1,
                       static_cast<uint8_t>(frames / 1500 % 6),
                       static_cast<uint8_t>(frames / 150 % 10),
                       static_cast<uint8_t>(frames / 25 % 6),
                       static_cast<uint8_t>(frames / 25 % 10),
                       0,
                       static_cast<uint8_t>(frames % 10)};
    fields.dialnorm = dialnorm;
    const std::vector<uint8_t> bytes = makePayload(fields);
    const auto decoded = decodePayload(bytes, false);
    ASSERT_TRUE(decoded.has_value());
    ++tick_;
    wall_.advance(tick_ % 10 == 0 ? 1 : 0);
    context.processPayload(*decoded, tick_, tick_ * 100);
  }

  /// Five minutes of programme wandering between -35 and -12 LUFS, with peaks over the
  /// threshold now and then and a dialnorm that is right, wrong or missing.
  void runProgramme(int payloads) {
    std::mt19937 random(11);
    double level = -23;
    double peak = -10;
    int32_t dialnorm = 23;
    for (int i = 0; i < payloads; ++i) {
      if (i % 25 == 0) {
        level = std::uniform_real_distribution<double>(-35, -12)(random);
        peak = random() % 4 == 0 ? -0.5 : -10;
        const int pick = static_cast<int>(random() % 4);
        dialnorm = pick == 0 ? -1 : pick == 1 ? 31 : 23;
      }
      feed(context_, level, peak, dialnorm);
    }
  }

  fs::path file(const char* name) const { return folder_ / name; }

  /// Loads `path` into a fresh context and returns its reply.
  std::string loadFresh(const fs::path& path) {
    fresh_ = std::make_unique<LoudnessContext>("Card [7]", wall_);
    return loadSessionFile(*fresh_, path.string());
  }

  static void expectSameSession(const LoudnessContext& a, const LoudnessContext& b) {
    EXPECT_EQ(a.integratedTenths(), b.integratedTenths());
    EXPECT_EQ(a.rangeTenths(), b.rangeTenths());
    EXPECT_EQ(a.history().rangeExact(), b.history().rangeExact());
    EXPECT_EQ(a.history().mode(), b.history().mode());
    EXPECT_EQ(a.history().totalCount(), b.history().totalCount());
    for (int bin = 0; bin < HistoryEngine::kBins; ++bin) {
      ASSERT_EQ(a.history().binCount(bin), b.history().binCount(bin));
      ASSERT_EQ(a.history().binPower(bin), b.history().binPower(bin));
      ASSERT_EQ(a.history().rangeBinCount(bin), b.history().rangeBinCount(bin));
    }
    const SessionRecord& x = a.record();
    const SessionRecord& y = b.record();
    EXPECT_EQ(x.state, y.state);
    for (auto field :
         {&SessionRecord::title, &SessionRecord::operatorName, &SessionRecord::deviceName,
          &SessionRecord::sessionName, &SessionRecord::startDate, &SessionRecord::startTime,
          &SessionRecord::endDate, &SessionRecord::endTime, &SessionRecord::startTimecode,
          &SessionRecord::endTimecode, &SessionRecord::timecode, &SessionRecord::endReason,
          &SessionRecord::unitText})
      EXPECT_EQ(x.*field, y.*field);
    EXPECT_EQ(x.channelSources, y.channelSources);
    EXPECT_EQ(x.runningTicks, y.runningTicks);
    EXPECT_EQ(x.elapsedTicks, y.elapsedTicks);
    EXPECT_EQ(x.timeInError, y.timeInError);
    EXPECT_EQ(x.sessionAverage, y.sessionAverage);
    EXPECT_EQ(x.maxShortTerm, y.maxShortTerm);
    EXPECT_EQ(x.minShortTerm, y.minShortTerm);
    EXPECT_EQ(x.maxTruePeak, y.maxTruePeak);
    EXPECT_EQ(x.maxDialnorm, y.maxDialnorm);
    EXPECT_EQ(x.droppedMessages, y.droppedMessages);
    EXPECT_EQ(x.noDataTicks, y.noDataTicks);
    EXPECT_EQ(x.dataGaps, y.dataGaps);
    EXPECT_EQ(x.loudnessState, y.loudnessState);
    EXPECT_EQ(x.dialnormState, y.dialnormState);
    EXPECT_EQ(x.graphMode, y.graphMode);
    EXPECT_EQ(x.highTenths, y.highTenths);
    EXPECT_EQ(x.lowTenths, y.lowTenths);
    EXPECT_EQ(x.openError, y.openError);
    EXPECT_EQ(x.worstError, y.worstError);
    EXPECT_EQ(x.lastDialnormError, y.lastDialnormError);
    EXPECT_EQ(x.summaryError, y.summaryError);
    EXPECT_EQ(x.mergedErrors, y.mergedErrors);
    ASSERT_EQ(x.errors.size(), y.errors.size());
    for (size_t i = 0; i < x.errors.size(); ++i) {
      const LoudnessError& e = *x.errors[i];
      const LoudnessError& f = *y.errors[i];
      EXPECT_EQ(e.type, f.type);
      EXPECT_EQ(e.startTick, f.startTick);
      EXPECT_EQ(e.startElapsed, f.startElapsed);
      EXPECT_EQ(e.lastTick, f.lastTick);
      EXPECT_EQ(e.startTimecode, f.startTimecode);
      EXPECT_EQ(e.startDateTime, f.startDateTime);
      EXPECT_EQ(e.worst, f.worst);
      if (const auto* p = dynamic_cast<const ChannelPeakError*>(&e)) {
        const auto* q = dynamic_cast<const ChannelPeakError*>(&f);
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(p->exceeded, q->exceeded);
        EXPECT_EQ(p->channelPeak, q->channelPeak);
        EXPECT_EQ(p->peakChannel, q->peakChannel);
      }
      if (const auto* l = dynamic_cast<const ITU1770Error*>(&e)) {
        const auto* m = dynamic_cast<const ITU1770Error*>(&f);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(l->channelWorst, m->channelWorst);
        EXPECT_EQ(l->contributing, m->contributing);
      }
    }
    EXPECT_EQ(a.queuedLines(), b.queuedLines());
    const auto v = a.workingValues();
    const auto w = b.workingValues();
    EXPECT_EQ(v.runningSum, w.runningSum);
    EXPECT_EQ(v.runningCount, w.runningCount);
    EXPECT_EQ(v.logInterval, w.logInterval);
    EXPECT_EQ(v.lastLineTick, w.lastLineTick);
    EXPECT_EQ(v.fileBase, w.fileBase);
    EXPECT_EQ(v.peakStore, w.peakStore);
  }

  ManualWallClock wall_;
  LoudnessContext context_;
  std::unique_ptr<LoudnessContext> fresh_;
  fs::path folder_;
  uint32_t tick_ = 100;
  uint32_t sequence_ = 0;
};

TEST_F(SessionFileTest, RunningSessionWithOpenRecordsAndQueuedLinesSurvivesSaveAndLoad) {
  context_.start();
  runProgramme(1500);
  tick_ += 40;  // the card sent nothing for four seconds
  runProgramme(1500);
  ASSERT_EQ(context_.record().dataGaps, 1u);
  // End loud, peaking and without dialnorm, so that a record of every category is open.
  for (int i = 0; i < 40; ++i)
    feed(context_, -12, 0, -1);
  const SessionRecord& r = context_.record();
  ASSERT_GT(r.errors.size(), 20u);
  for (const int32_t open : {0, 1, 3})
    ASSERT_GE(r.openError[static_cast<size_t>(open)], 0);
  ASSERT_FALSE(context_.queuedLines().empty());

  EXPECT_EQ(saveSessionFile(context_, file("run.SES").string()), "OK");
  ASSERT_EQ(loadFresh(file("run.SES")), "OK");
  expectSameSession(context_, *fresh_);
  EXPECT_TRUE(fresh_->history().rangeExact());
  EXPECT_TRUE(isLoudness(fresh_->rangeTenths()));
  EXPECT_EQ(fresh_->settings().dialnormMode, DialnormMode::kCheck);
  EXPECT_EQ(fresh_->settings().highThreshold, 4.0f);
}

TEST_F(SessionFileTest, PausedSessionLoadsAndContinues) {
  LoudnessSettings s = context_.settings();
  s.graphMode = GraphMode::kCustom;
  s.customTarget = -27.0f;
  s.customPeriod = 4.0f;
  s.customGating = true;
  s.customGate10 = false;
  s.customRelative = true;
  context_.applySettings(s);
  context_.start();
  runProgramme(1200);
  context_.pause();
  EXPECT_EQ(saveSessionFile(context_, file("paused.ses").string()), "OK");
  ASSERT_EQ(loadFresh(file("paused.ses")), "OK");
  expectSameSession(context_, *fresh_);
  // The custom mode comes back whole, with its 8 LU gate.
  EXPECT_EQ(fresh_->mode().target, -27.0f);
  EXPECT_EQ(fresh_->mode().periodSeconds, 4);
  EXPECT_EQ(fresh_->history().relativeGate(), 8);

  fresh_->setStatus(LinkStatus::kLive);
  fresh_->start();
  ASSERT_EQ(fresh_->record().state, SessionState::kRunning);
  const uint32_t running = fresh_->record().runningTicks;
  const int32_t counted = fresh_->history().totalCount();
  for (int i = 0; i < 20; ++i)
    feed(*fresh_, -20, -10, 23);
  EXPECT_EQ(fresh_->record().runningTicks, running + 19);
  EXPECT_EQ(fresh_->history().totalCount(), counted + 17);
}

TEST_F(SessionFileTest, FileOfTheCommonItemsOnlyRebuildsTheRangeFromBlocks) {
  context_.start();
  runProgramme(900);
  context_.pause();
  ASSERT_EQ(saveSessionFile(context_, file("full.ses").string()), "OK");
  std::string bytes = readBytes(file("full.ses"));
  const std::vector<size_t> items = itemOffsets(bytes);
  ASSERT_EQ(wordAt(bytes, items[items.size() - kRangeBlockItems] + 4),
            static_cast<uint32_t>(kRangeBlockMark));
  bytes.resize(items[items.size() - kRangeBlockItems]);

  for (const std::string& tail : {std::string(), std::string("\x01\x02\x03", 3)}) {
    writeBytes(file("common.ses"), bytes + tail);
    ASSERT_EQ(loadFresh(file("common.ses")), "OK");
    EXPECT_FALSE(fresh_->history().rangeExact());
    EXPECT_EQ(fresh_->integratedTenths(), context_.integratedTenths());
    EXPECT_TRUE(isLoudness(fresh_->rangeTenths()));
    EXPECT_EQ(fresh_->record().errors.size(), context_.record().errors.size());
  }
  // The flag travels with the session until it is cleared.
  ASSERT_EQ(saveSessionFile(*fresh_, file("again.ses").string()), "OK");
  LoudnessContext third("Card [9]", wall_);
  ASSERT_EQ(loadSessionFile(third, file("again.ses").string()), "OK");
  EXPECT_FALSE(third.history().rangeExact());
  third.terminate();
  third.clear();
  EXPECT_TRUE(third.history().rangeExact());
}

TEST_F(SessionFileTest, EveryDamageIsRefusedWithItsTextAndChangesNothing) {
  context_.record().sessionName = "Studio A";
  context_.start();
  runProgramme(600);
  context_.pause();
  ASSERT_EQ(saveSessionFile(context_, file("good.ses").string()), "OK");
  const std::string good = readBytes(file("good.ses"));
  const std::vector<size_t> items = itemOffsets(good);
  const SessionRecord& r = context_.record();
  ASSERT_EQ(wordAt(good, items[kErrorCountItem] + 4), r.errors.size());
  size_t firstPosition = kErrorCountItem + 1;
  size_t notPeak = 0;
  for (size_t i = 0; i < r.errors.size(); ++i) {
    if (r.errors[i]->type != ErrorType::kPeak) notPeak = i;
    firstPosition += itemsOf(*r.errors[i]);
  }

  struct Damage {
    const char* what;
    std::string bytes;
    const char* reply;
  };
  const auto with = [&](size_t offset, uint32_t value) {
    std::string b = good;
    putWord(b, offset, value);
    return b;
  };
  const std::vector<Damage> damages = {
      {"mark", with(items[0] + 4, 0x3658AAFB), "Bad format"},
      {"version 2", with(items[1] + 4, 2), "Unsupported version number"},
      {"text of 70,000 bytes", with(items[2], 70000) + std::string(70000, 'x'),
       "Size of string on file is not within proper limits"},
      {"integer of size 2", with(items[3], 2), "Size of data element does not match item on file"},
      {"cut in a size", good.substr(0, 2), "Unable to read size of value from file"},
      {"cut in a value", good.substr(0, 6), "Unable to read value from file"},
      {"cut in a text size", good.substr(0, items[2] + 2),
       "Unable to read size of string from file"},
      {"cut in a text", good.substr(0, items[2] + 7), "Unable to read string from file"},
      {"record count over the cap", with(items[kErrorCountItem] + 4, kMostErrorRecords + 1),
       "Bad format"},
      {"more records than bytes", with(items[kErrorCountItem] + 4, kMostErrorRecords),
       "Unable to read value from file"},
      {"unknown record type", with(items[kErrorCountItem + 2] + 4, 9), "Bad format"},
      {"absent record", with(items[kErrorCountItem + 1] + 4, 0), "Bad format"},
      {"open peak names another kind",
       with(items[firstPosition] + 4, static_cast<uint32_t>(notPeak)), "Bad format"},
      {"position past the list", with(items[firstPosition + 5] + 4, 1u << 30), "Bad format"},
      {"session state 5", with(items[95] + 4, 5), "Bad format"},
  };
  ASSERT_EQ(wordAt(good, items[95] + 4), 2u) << "item 95 is the session state (paused)";

  ASSERT_EQ(loadFresh(file("good.ses")), "OK");
  const int16_t integrated = fresh_->integratedTenths();
  const size_t errors = fresh_->record().errors.size();
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    writeBytes(file("bad.ses"), d.bytes);
    LogLines log;
    EXPECT_EQ(loadSessionFile(*fresh_, file("bad.ses").string()), d.reply);
    EXPECT_EQ(log.count(std::string("Unable to load the session file.  Reason: ") + d.reply), 1);
    EXPECT_EQ(fresh_->integratedTenths(), integrated);
    EXPECT_EQ(fresh_->record().errors.size(), errors);
    EXPECT_EQ(fresh_->record().sessionName, "Studio A");
  }

  LogLines log;
  const std::string missing = file("none.ses").string();
  const std::string text = "Could not open binary file \"" + missing + "\" for reading.";
  EXPECT_EQ(loadSessionFile(*fresh_, missing), text);
  EXPECT_EQ(log.count(text), 1);
  EXPECT_EQ(loadSessionFile(*fresh_, folder_.string()),
            "Could not open binary file \"" + folder_.string() + "\" for reading.");
}

TEST_F(SessionFileTest, FailedSaveLeavesTheOldFileWhole) {
  context_.start();
  runProgramme(300);
  context_.pause();
  const fs::path target = file("keep.ses");
  ASSERT_EQ(saveSessionFile(context_, target.string()), "OK");
  const std::string before = readBytes(target);
  runProgramme(300);

  // The disk fills up half-way through the new file.
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 10000;
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  const std::string reply = saveSessionFile(context_, target.string());
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);

  EXPECT_TRUE(reply == "Unable to write value to file" ||
              reply == "Unable to write size of value to file")
      << reply;
  EXPECT_EQ(readBytes(target), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);

  const std::string nowhere = (folder_ / "no" / "such.ses").string();
  EXPECT_EQ(saveSessionFile(context_, nowhere),
            "Could not open binary file \"" + nowhere + "\" for writing.");
}

TEST(SessionReportPathsTest, ExtensionOfTheFileNameOnly) {
  EXPECT_EQ(sessionReportPaths("/data/run.SES").html, "/data/run.html");
  EXPECT_EQ(sessionReportPaths("/data/run.SES").csv, "/data/run.csv");
  EXPECT_EQ(sessionReportPaths("/data/run").html, "/data/run.html");
  EXPECT_EQ(sessionReportPaths("/data.old/run").csv, "/data.old/run.csv");
  EXPECT_EQ(sessionReportPaths("C:\\my.docs\\run.v2.ses").html, "C:\\my.docs\\run.v2.html");
}

TEST_F(SessionFileTest, SavingWritesTheReportsBesideTheFile) {
  struct Reports final : SessionReports {
    void write(const LoudnessContext& context, const std::string& html,
               const std::string& csv) override {
      calls.push_back(context.record().title + " " + html + " " + csv);
    }
    std::vector<std::string> calls;
  } reports;
  const std::string path = file("night.SES").string();
  ASSERT_EQ(saveSessionFile(context_, path, &reports), "OK");
  ASSERT_EQ(reports.calls.size(), 1u);
  EXPECT_EQ(reports.calls[0],
            "Evening news " + file("night.html").string() + " " + file("night.csv").string());
}

// Stands in for the report writer: writes the report and remembers where.
struct RecordedReports final : SessionReports {
  void write(const LoudnessContext&, const std::string& html, const std::string&) override {
    calls.push_back(html);
    writeBytes(html, "report");
  }
  std::vector<std::string> calls;
};

TEST_F(SessionFileTest, APathThatIsItsOwnReportIsRefusedBeforeAnythingIsWritten) {
  RecordedReports reports;
  for (const char* name : {"run.html", "run.csv"}) {
    EXPECT_EQ(saveSessionFile(context_, file(name).string(), &reports), kOwnReportName);
    EXPECT_FALSE(fs::exists(file(name)));
  }
  EXPECT_TRUE(reports.calls.empty());
}

TEST_F(SessionFileTest, AFailedSaveWritesNoReports) {
  RecordedReports reports;
  context_.record().title.assign(70000, 'x');  // more than a text item holds
  EXPECT_EQ(saveSessionFile(context_, file("long.ses").string(), &reports),
            "Unable to write value to file");
  EXPECT_TRUE(reports.calls.empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 0);
}

TEST_F(SessionFileTest, ANameThatFitsTheFolderButNotWithASuffixIsSaved) {
  RecordedReports reports;
  const std::string longest = std::string(246, 'n') + ".SES";
  ASSERT_EQ(saveSessionFile(context_, file(longest.c_str()).string(), &reports), "OK");
  EXPECT_EQ(reports.calls.size(), 1u);
  ASSERT_EQ(loadFresh(file(longest.c_str())), "OK");
  EXPECT_EQ(fresh_->record().title, "Evening news");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);
}

TEST_F(SessionFileTest, ViewSettingsAreSavedAndLoaded) {
  LoudnessSettings s = context_.settings();
  s.views = {true, 1, 800, "6 minutes"};
  context_.applySettings(s);
  ASSERT_EQ(saveSessionFile(context_, file("views.ses").string()), "OK");
  ASSERT_EQ(loadFresh(file("views.ses")), "OK");
  const SessionViewSettings& v = fresh_->settings().views;
  EXPECT_TRUE(v.worstChoice);
  EXPECT_EQ(v.viewChoice, 1);
  EXPECT_EQ(v.spanMs, 800);
  EXPECT_EQ(v.spanName, "6 minutes");
}

// A card whose peak and dialnorm flip every payload: past the record limit the session keeps a
// summary per type, and saves and loads as it stands.
TEST_F(SessionFileTest, FlappingSessionPastTheRecordLimitSavesAndLoads) {
  context_.start();
  while (context_.record().errors.size() < kMostSessionErrors)
    feed(context_, -23, sequence_ % 2 ? -0.5 : -10, sequence_ % 2 ? -1 : 31);
  for (int i = 0; i < 2000; ++i)
    feed(context_, -23, sequence_ % 2 ? -0.5 : -10, sequence_ % 2 ? -1 : 31);
  const SessionRecord& r = context_.record();
  EXPECT_LE(r.errors.size(), kMostSessionErrors + kErrorTypes);
  EXPECT_GT(r.mergedErrors[static_cast<size_t>(ErrorType::kPeak)], 900u);
  EXPECT_GT(r.mergedErrors[static_cast<size_t>(ErrorType::kNoDialnorm)], 900u);
  context_.pause();
  ASSERT_EQ(saveSessionFile(context_, file("flap.ses").string()), "OK");
  ASSERT_EQ(loadFresh(file("flap.ses")), "OK");
  expectSameSession(context_, *fresh_);
}

// Regenerates the fuzz seeds (run with --gtest_also_run_disabled_tests and QELM_SEED_DIR set)
// when the format changes.
TEST_F(SessionFileTest, DISABLED_WriteFuzzSeeds) {
  const char* dir = std::getenv("QELM_SEED_DIR");
  ASSERT_NE(dir, nullptr);
  context_.start();
  runProgramme(120);
  for (int i = 0; i < 10; ++i)
    feed(context_, -12, 0, -1);
  const fs::path valid = fs::path(dir) / "valid_small_session";
  ASSERT_EQ(saveSessionFile(context_, valid.string()), "OK");
  const std::string bytes = readBytes(valid);
  writeBytes(fs::path(dir) / "truncated_in_records", bytes.substr(0, bytes.size() / 3));
}

}  // namespace
}  // namespace qelm::testing
