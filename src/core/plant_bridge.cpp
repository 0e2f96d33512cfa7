#include "core/plant_bridge.h"

#include <algorithm>
#include <utility>

namespace qelm {

std::shared_ptr<const std::vector<PlantCard>> noCards() {
  static const auto none = std::make_shared<const std::vector<PlantCard>>();
  return none;
}

std::shared_ptr<const PlantSnapshot> PlantBridge::latest() const {
  std::lock_guard<std::mutex> guard(lock_);
  return latest_;
}

void PlantBridge::wantDevice(int32_t number) {
  std::lock_guard<std::mutex> guard(lock_);
  const bool listed =
      std::find(wantedDevices_.begin(), wantedDevices_.end(), number) != wantedDevices_.end();
  if (!listed && wantedDevices_.size() >= kMostWantedDevices) return want(kDevices);
  if (!listed) wantedDevices_.push_back(number);
  want(kSomeDevices);
}

std::vector<int32_t> PlantBridge::takeWantedDevices() {
  std::vector<int32_t> taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    taken.swap(wantedDevices_);
  }
  std::sort(taken.begin(), taken.end());
  return taken;
}

void PlantBridge::onPublished(std::function<void()> notice) {
  std::lock_guard<std::mutex> guard(noticeLock_);
  notice_ = std::move(notice);
}

void PlantBridge::submit(PlantRequest request, std::function<void(PlantReply)> done) {
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (requests_.size() < kMostRequests) {
      requests_.push_back({std::move(request), std::move(done)});
      requestCount_.store(requests_.size(), std::memory_order_release);
      queued = true;
    }
  }
  if (queued) {
    wakeEngine();
    return;
  }
  PlantReply busy;
  busy.status = 503;
  busy.error = "The engine has too many requests waiting; try again";
  done(std::move(busy));
}

void PlantBridge::recordPass(double seconds) {
  // One bucket per pass (the first bound at or over it); `passes()` makes them cumulative.
  const auto bound =
      std::lower_bound(PassHistogram::kBounds.begin(), PassHistogram::kBounds.end(), seconds);
  if (bound != PassHistogram::kBounds.end())
    passBuckets_[static_cast<size_t>(bound - PassHistogram::kBounds.begin())].fetch_add(
        1, std::memory_order_relaxed);
  passCount_.fetch_add(1, std::memory_order_relaxed);
  passNanoseconds_.fetch_add(static_cast<uint64_t>(std::max(0.0, seconds) * 1e9),
                             std::memory_order_relaxed);
}

PassHistogram PlantBridge::passes() const {
  PassHistogram histogram;
  uint64_t running = 0;
  for (size_t i = 0; i < passBuckets_.size(); ++i) {
    running += passBuckets_[i].load(std::memory_order_relaxed);
    histogram.atOrUnder[i] = running;
  }
  // Read last, so the total is never below a bucket read before it.
  histogram.count = std::max(running, passCount_.load(std::memory_order_relaxed));
  histogram.sumSeconds =
      static_cast<double>(passNanoseconds_.load(std::memory_order_relaxed)) * 1e-9;
  return histogram;
}

void PlantBridge::publish(std::shared_ptr<PlantSnapshot> snapshot) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    snapshot->sequence = ++sequence_;
    latest_ = std::move(snapshot);
  }
  std::lock_guard<std::mutex> guard(noticeLock_);
  if (notice_) notice_();
}

std::vector<PlantBridge::Pending> PlantBridge::takeRequests() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Pending> taken;
  taken.swap(requests_);
  requestCount_.store(0, std::memory_order_release);
  return taken;
}

bool holdsDevice(const PlantSnapshot& snapshot, int32_t number) {
  if (snapshot.parts & PlantBridge::kDevices) return true;
  return (snapshot.parts & PlantBridge::kSomeDevices) != 0 &&
         std::binary_search(snapshot.deviceNumbers.begin(), snapshot.deviceNumbers.end(), number);
}

}  // namespace qelm
