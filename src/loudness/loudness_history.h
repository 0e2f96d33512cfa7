#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "loudness/loudness_levels.h"

namespace qelm {

/// One sample of a history level, in tenths (-2001 = no data, -2000 = silence).
struct HistorySample {
  int16_t average = kTenthsNoData;
  int16_t maximum = kTenthsNoData;
  int16_t minimum = kTenthsNoData;
};

/// The last `kRingSize` samples of one history level, oldest first by `at`.
class HistoryRing {
 public:
  static constexpr int kRingSize = 512;
  /// Sample `age` steps back (0 = newest); no-data beyond what was written.
  HistorySample at(int age) const;
  /// Number of samples written since the last reset (saturating at `kRingSize`).
  int filled() const { return filled_; }
  /// Samples written since the last reset (not saturating).
  int64_t count() const { return count_; }
  void push(const HistorySample& sample);
  void reset();

 private:
  std::array<HistorySample, kRingSize> samples_{};
  int head_ = 0;
  int filled_ = 0;
  int64_t count_ = 0;
};

/// The loudness history of one monitor: the 400 ms momentary block, a chain of 12 levels of
/// moving averages with their rings (level 0 = the moving-average window, giving the short-term
/// loudness; each further level averages pairs of samples of the one below: 200 ms ... 204.8 s),
/// the 701-bin histogram (-70.0 to 0.0 LUFS) of 400 ms blocks behind the integrated loudness, and
/// one of 3 s short-term values behind the loudness range. Times are master-clock ticks (100 ms).
/// Engine thread only.
class HistoryEngine {
 public:
  static constexpr int kLevels = 12;
  static constexpr int kBins = 701;
  static constexpr int kBlockPayloads = 4;
  /// Payloads in the 3 s short-term window of the loudness range.
  static constexpr int kRangeWindowPayloads = 30;
  /// Longest gap in the sequence that is filled with no-data samples, in payloads.
  static constexpr uint32_t kLongestFilledGap = 4999;
  /// Silence after which time is kept with no-data samples, in ticks.
  static constexpr uint32_t kQuietTicks = 50;
  /// Most no-data samples one step fills in, in ticks.
  static constexpr uint32_t kMostFilledTicks = 300;

  /// Whether the histogram accumulates.
  enum class Mode : int32_t {
    kRunning = 0,
    kPaused = 1,
    kStopped = 2,
  };

  /// An empty, stopped history with a moving-average period of `periodSeconds` (1..60).
  explicit HistoryEngine(int32_t periodSeconds = 3);

  /// Changes the moving-average period (1..60 s); restarts the level-0 window when it differs.
  void setPeriod(int32_t periodSeconds);
  /// Relative gate of the integrated loudness in LU (10 or 8).
  void setRelativeGate(int32_t lu);
  int32_t relativeGate() const { return relativeGateLu_; }
  Mode mode() const { return mode_; }
  void setMode(Mode mode) { mode_ = mode; }
  /// Empties every window, ring and the histogram.
  void reset();
  /// Number of resets so far: a change tells readers of the rings that a new history began.
  uint32_t resets() const { return resets_; }

  /// One payload's weighted power sum (< -0.5 = no data) at master tick `tick`; returns the
  /// short-term loudness in tenths.
  int16_t push(double power, uint32_t tick);
  /// `count` no-data samples (a gap in the sequence; nothing above `kLongestFilledGap`).
  void pushGap(uint32_t count);
  /// Keeps time while no payload comes: once data stopped for more than 5 s, every elapsed tick
  /// becomes a no-data sample (at most 30 s per call).
  void keepTime(uint32_t tick);

  /// Loudness of the latest 400 ms block in tenths (-2001 until 4 payloads of data).
  int16_t blockTenths() const { return blockTenths_; }
  /// Latest short-term loudness in tenths.
  int16_t shortTermTenths() const { return shortTermTenths_; }
  /// Ring of level `level` (0..11).
  const HistoryRing& ring(int level) const { return levels_[static_cast<size_t>(level)].ring; }

  /// Histogram bin of a loudness in tenths (clamped to 0..700).
  static int binOf(int32_t tenths);
  int32_t binCount(int bin) const { return counts_[static_cast<size_t>(bin)]; }
  double binPower(int bin) const { return powers_[static_cast<size_t>(bin)]; }
  int32_t totalCount() const { return total_; }
  /// Replaces the histogram (session files); clears the cached results.
  void setHistogram(const std::array<int32_t, kBins>& counts,
                    const std::array<double, kBins>& powers, int32_t total);
  /// The short-term (3 s) histogram behind the loudness range, same bins.
  int32_t rangeBinCount(int bin) const { return rangeCounts_[static_cast<size_t>(bin)]; }
  double rangeBinPower(int bin) const { return rangePowers_[static_cast<size_t>(bin)]; }
  /// Replaces the short-term histogram (session files); clears the cached range. `exact` false:
  /// the counts stand in for short-term values they were not made from (see `rangeExact`).
  void setRangeHistogram(const std::array<int32_t, kBins>& counts,
                         const std::array<double, kBins>& powers, bool exact = true);
  /// False when the range histogram was rebuilt from 400 ms blocks (a session file without
  /// short-term values), so the range only approximates EBU Tech 3342; true again after `reset`.
  bool rangeExact() const { return rangeExact_; }

  /// Integrated loudness in tenths: the relatively gated mean when `gated`, else the mean of
  /// all blocks above the absolute gate; -2001 without data. Cached until the histogram changes.
  int16_t integratedTenths(bool gated) const;
  /// Loudness range in tenths over the short-term histogram (at least 1 when there is data);
  /// -2001 without data. Cached.
  int16_t rangeTenths() const;

  /// Bytes this history holds (for budgets and measurements).
  size_t memoryBytes() const;

 private:
  struct Level {
    HistoryRing ring;
    // Level 0: the moving-average window of powers (< 0 = no data).
    std::vector<double> window;
    int windowAt = 0;
    // Higher levels: the first of a pair waiting for its partner.
    bool pending = false;
    double pendingAverage = kNoDataPower;
    double pendingMaximum = kNoDataPower;
    double pendingMinimum = kNoDataPower;
  };
  struct Powers {
    double average = kNoDataPower;
    double maximum = kNoDataPower;
    double minimum = kNoDataPower;
  };

  void sample(double power);
  void feedLevel(int level, Powers in);
  void addToHistogram(double power, int16_t tenths);
  void invalidate() const;

  Mode mode_ = Mode::kStopped;
  uint32_t resets_ = 0;
  int32_t relativeGateLu_ = 10;
  std::array<double, kBlockPayloads> block_{};
  int blockAt_ = 0;
  int blockFilled_ = 0;
  int16_t blockTenths_ = kTenthsNoData;
  int16_t shortTermTenths_ = kTenthsNoData;
  std::array<Level, kLevels> levels_;
  bool dataSeen_ = false;
  bool filling_ = false;
  uint32_t lastDataTick_ = 0;
  uint32_t lastSampleTick_ = 0;

  std::array<double, kRangeWindowPayloads> rangeWindow_{};
  int rangeWindowAt_ = 0;
  int rangeWindowFilled_ = 0;

  std::array<int32_t, kBins> counts_{};
  std::array<double, kBins> powers_{};
  int32_t total_ = 0;
  std::array<int32_t, kBins> rangeCounts_{};
  std::array<double, kBins> rangePowers_{};
  bool rangeExact_ = true;
  mutable int16_t integrated_ = kTenthsNotComputed;
  mutable int16_t ungated_ = kTenthsNotComputed;
  mutable int16_t range_ = kTenthsNotComputed;
};

}  // namespace qelm
