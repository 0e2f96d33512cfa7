#include "loudness/loudness_history.h"

#include <algorithm>

namespace qelm {

namespace {

constexpr int32_t kTopBinTenths = 0;
constexpr int32_t kBottomBinTenths = -700;
// The absolute gate: blocks at -70.0 LUFS and below stay out of the histogram.
constexpr int32_t kLowestCountedTenths = -699;
constexpr int32_t kRangeGateTenths = 200;

bool isData(double power) {
  return power > kNoDataPowerLimit;
}

HistorySample tenthsOf(double average, double maximum, double minimum) {
  return HistorySample{powerToTenths(average), powerToTenths(maximum), powerToTenths(minimum)};
}

}  // namespace

// ---- Ring ---------------------------------------------------------------------------------------

HistorySample HistoryRing::at(int age) const {
  if (age < 0 || age >= filled_) return HistorySample{};
  const int index = (head_ - 1 - age + kRingSize) % kRingSize;
  return samples_[static_cast<size_t>(index)];
}

void HistoryRing::push(const HistorySample& sample) {
  samples_[static_cast<size_t>(head_)] = sample;
  head_ = (head_ + 1) % kRingSize;
  filled_ = std::min(filled_ + 1, kRingSize);
  ++count_;
}

void HistoryRing::reset() {
  samples_.fill(HistorySample{});
  head_ = 0;
  filled_ = 0;
  count_ = 0;
}

// ---- Engine -------------------------------------------------------------------------------------

HistoryEngine::HistoryEngine(int32_t periodSeconds) {
  levels_[0].window.assign(static_cast<size_t>(std::clamp(periodSeconds, 1, 60) * 10),
                           kNoDataPower);
  reset();
}

void HistoryEngine::setPeriod(int32_t periodSeconds) {
  const auto size = static_cast<size_t>(std::clamp(periodSeconds, 1, 60) * 10);
  Level& level = levels_[0];
  if (level.window.size() == size) return;
  level.window.assign(size, kNoDataPower);
  level.windowAt = 0;
}

void HistoryEngine::setRelativeGate(int32_t lu) {
  if (lu == relativeGateLu_) return;
  relativeGateLu_ = lu;
  invalidate();
}

void HistoryEngine::reset() {
  ++resets_;
  block_.fill(kNoDataPower);
  blockAt_ = 0;
  blockFilled_ = 0;
  blockTenths_ = kTenthsNoData;
  shortTermTenths_ = kTenthsNoData;
  for (Level& level : levels_) {
    level.ring.reset();
    std::fill(level.window.begin(), level.window.end(), kNoDataPower);
    level.windowAt = 0;
    level.pending = false;
  }
  dataSeen_ = false;
  filling_ = false;
  rangeWindow_.fill(kNoDataPower);
  rangeWindowAt_ = 0;
  rangeWindowFilled_ = 0;
  counts_.fill(0);
  powers_.fill(0.0);
  total_ = 0;
  rangeCounts_.fill(0);
  rangePowers_.fill(0.0);
  rangeExact_ = true;
  invalidate();
}

int16_t HistoryEngine::push(double power, uint32_t tick) {
  if (isData(power)) {
    dataSeen_ = true;
    filling_ = false;
    lastDataTick_ = tick;
  }
  lastSampleTick_ = tick;
  sample(power);
  return shortTermTenths_;
}

void HistoryEngine::pushGap(uint32_t count) {
  if (count > kLongestFilledGap) return;
  for (uint32_t i = 0; i < count; ++i)
    sample(kNoDataPower);
}

void HistoryEngine::keepTime(uint32_t tick) {
  if (!dataSeen_) return;
  if (!filling_) {
    if (tick - lastDataTick_ <= kQuietTicks) return;
    filling_ = true;
  }
  const uint32_t missing = std::min(tick - lastSampleTick_, kMostFilledTicks);
  for (uint32_t i = 0; i < missing; ++i)
    sample(kNoDataPower);
  lastSampleTick_ = tick;
}

void HistoryEngine::sample(double power) {
  // The 400 ms block: four payloads, all with data.
  block_[static_cast<size_t>(blockAt_)] = power;
  blockAt_ = (blockAt_ + 1) % kBlockPayloads;
  blockFilled_ = isData(power) ? std::min(blockFilled_ + 1, kBlockPayloads) : 0;
  if (blockFilled_ == kBlockPayloads) {
    double sum = 0.0;
    for (const double p : block_)
      sum += p;
    const double blockPower = sum / kBlockPayloads;
    blockTenths_ = powerToTenths(blockPower);
    if (mode_ == Mode::kRunning) addToHistogram(blockPower, blockTenths_);
  } else {
    blockTenths_ = kTenthsNoData;
  }

  // The loudness range is taken over 3 s short-term values, as EBU Tech 3342 defines it; 400 ms
  // blocks would widen it by every short swing of the programme.
  rangeWindow_[static_cast<size_t>(rangeWindowAt_)] = power;
  rangeWindowAt_ = (rangeWindowAt_ + 1) % kRangeWindowPayloads;
  rangeWindowFilled_ = isData(power) ? std::min(rangeWindowFilled_ + 1, kRangeWindowPayloads) : 0;
  if (rangeWindowFilled_ == kRangeWindowPayloads && mode_ == Mode::kRunning) {
    double windowSum = 0.0;
    for (const double p : rangeWindow_)
      windowSum += p;
    const double shortTerm = windowSum / kRangeWindowPayloads;
    const int16_t tenths = powerToTenths(shortTerm);
    if (isLoudness(tenths) && tenths >= kLowestCountedTenths) {
      const auto bin = static_cast<size_t>(binOf(tenths));
      ++rangeCounts_[bin];
      rangePowers_[bin] += shortTerm;
      range_ = kTenthsNotComputed;
    }
  }

  // Level 0: the moving-average window.
  Level& level = levels_[0];
  level.window[static_cast<size_t>(level.windowAt)] = power;
  level.windowAt = (level.windowAt + 1) % static_cast<int>(level.window.size());
  double sum = 0.0;
  int count = 0;
  Powers out;
  for (const double p : level.window) {
    if (!isData(p)) continue;
    sum += p;
    if (count == 0 || p > out.maximum) out.maximum = p;
    if (count == 0 || p < out.minimum) out.minimum = p;
    ++count;
  }
  if (count > 0) out.average = sum / count;
  const HistorySample s = tenthsOf(out.average, out.maximum, out.minimum);
  shortTermTenths_ = s.average;
  level.ring.push(s);
  feedLevel(1, out);
}

void HistoryEngine::feedLevel(int index, Powers in) {
  for (; index < kLevels; ++index) {
    Level& level = levels_[static_cast<size_t>(index)];
    if (!level.pending) {
      level.pending = true;
      level.pendingAverage = in.average;
      level.pendingMaximum = in.maximum;
      level.pendingMinimum = in.minimum;
      return;
    }
    level.pending = false;
    Powers out;
    const bool first = isData(level.pendingAverage);
    const bool second = isData(in.average);
    if (first && second) {
      out.average = (level.pendingAverage + in.average) / 2.0;
      out.maximum = std::max(level.pendingMaximum, in.maximum);
      out.minimum = std::min(level.pendingMinimum, in.minimum);
    } else if (first) {
      out = Powers{level.pendingAverage, level.pendingMaximum, level.pendingMinimum};
    } else if (second) {
      out = in;
    }
    level.ring.push(tenthsOf(out.average, out.maximum, out.minimum));
    in = out;  // the pair's result climbs to the next level
  }
}

void HistoryEngine::addToHistogram(double power, int16_t tenths) {
  if (!isLoudness(tenths) || tenths < kLowestCountedTenths) return;
  const auto bin = static_cast<size_t>(binOf(tenths));
  ++counts_[bin];
  powers_[bin] += power;
  ++total_;
  invalidate();
}

int HistoryEngine::binOf(int32_t tenths) {
  return std::clamp(tenths, kBottomBinTenths, kTopBinTenths) - kBottomBinTenths;
}

void HistoryEngine::setHistogram(const std::array<int32_t, kBins>& counts,
                                 const std::array<double, kBins>& powers, int32_t total) {
  counts_ = counts;
  powers_ = powers;
  total_ = total;
  invalidate();
}

void HistoryEngine::setRangeHistogram(const std::array<int32_t, kBins>& counts,
                                      const std::array<double, kBins>& powers, bool exact) {
  rangeCounts_ = counts;
  rangePowers_ = powers;
  rangeExact_ = exact;
  range_ = kTenthsNotComputed;
}

void HistoryEngine::invalidate() const {
  integrated_ = kTenthsNotComputed;
  ungated_ = kTenthsNotComputed;
  range_ = kTenthsNotComputed;
}

int16_t HistoryEngine::integratedTenths(bool gated) const {
  if (total_ <= 0) return kTenthsNoData;
  if (ungated_ == kTenthsNotComputed) {
    double sum = 0.0;
    for (const double p : powers_)
      sum += p;
    ungated_ = powerToTenths(sum / total_);
    const int gate = binOf(ungated_ - relativeGateLu_ * 10);
    double gatedSum = 0.0;
    int64_t gatedCount = 0;
    for (int bin = gate; bin < kBins; ++bin) {
      gatedSum += powers_[static_cast<size_t>(bin)];
      gatedCount += counts_[static_cast<size_t>(bin)];
    }
    integrated_ =
        gatedCount > 0 ? powerToTenths(gatedSum / static_cast<double>(gatedCount)) : kTenthsNoData;
  }
  return gated ? integrated_ : ungated_;
}

int16_t HistoryEngine::rangeTenths() const {
  if (range_ != kTenthsNotComputed) return range_;
  range_ = kTenthsNoData;
  int64_t all = 0;
  double power = 0.0;
  for (int bin = 0; bin < kBins; ++bin) {
    all += rangeCounts_[static_cast<size_t>(bin)];
    power += rangePowers_[static_cast<size_t>(bin)];
  }
  if (all == 0) return range_;
  const int16_t mean = powerToTenths(power / static_cast<double>(all));
  const int gate = binOf(mean - kRangeGateTenths);
  // The percentiles are taken among the values above the relative gate, as the loudness range
  // defines them; counting those below it as well would push the lower point upward.
  int64_t n = 0;
  for (int bin = gate; bin < kBins; ++bin)
    n += rangeCounts_[static_cast<size_t>(bin)];
  if (n == 0) return range_;
  const int64_t lowTarget = std::max<int64_t>(1, (n + 5) / 10);
  const int64_t highTarget = std::max<int64_t>(1, (n + 10) / 20);
  int lower = gate;
  int64_t sum = 0;
  for (int bin = gate; bin < kBins; ++bin) {
    sum += rangeCounts_[static_cast<size_t>(bin)];
    if (sum >= lowTarget) {
      lower = bin;
      break;
    }
  }
  int upper = kBins - 1;
  sum = 0;
  for (int bin = kBins - 1; bin >= gate; --bin) {
    sum += rangeCounts_[static_cast<size_t>(bin)];
    if (sum >= highTarget) {
      upper = bin;
      break;
    }
  }
  range_ = static_cast<int16_t>(upper - lower > 0 ? upper - lower : 1);
  return range_;
}

size_t HistoryEngine::memoryBytes() const {
  return sizeof(*this) + levels_[0].window.capacity() * sizeof(double);
}

}  // namespace qelm
