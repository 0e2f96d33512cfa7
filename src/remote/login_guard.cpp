#include "remote/login_guard.h"

#include <sodium.h>

#include <algorithm>

#include "remote/credentials.h"

namespace qelm::remote {

namespace {

// Random bytes in a session id.
constexpr size_t kIdBytes = 32;
constexpr int kIdVariant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
// Characters of an id; the encoded length counts the terminating zero.
constexpr size_t kIdChars = sodium_base64_ENCODED_LEN(kIdBytes, kIdVariant) - 1;
// Failures counted in a row; only so the count cannot overflow, the wait stops growing sooner.
constexpr int kMostCountedFailures = 64;

std::string newId() {
  // A session follows a password the library checked, so it is set up already; randombytes_buf
  // needs it.
  (void)sodiumReady();
  unsigned char random[kIdBytes];
  randombytes_buf(random, sizeof random);
  char text[kIdChars + 1];
  sodium_bin2base64(text, sizeof text, random, sizeof random, kIdVariant);
  sodium_memzero(random, sizeof random);
  return std::string(text, kIdChars);
}

// The wait after the `count`th failure in a row: the first wait, doubled each time, capped.
std::chrono::seconds waitAfter(int count) {
  std::chrono::seconds wait = LoginThrottle::kFirstWait;
  for (int i = 1; i < count && wait < LoginThrottle::kLongestWait; ++i)
    wait *= 2;
  return std::min(wait, LoginThrottle::kLongestWait);
}

}  // namespace

std::string SessionTable::open(Role role, SteadyTime now) {
  if (sessions_.size() >= kMostSessions) {
    std::erase_if(sessions_, [now](const auto& entry) { return entry.second.ends <= now; });
    if (sessions_.size() >= kMostSessions) {
      const auto closest = std::min_element(
          sessions_.begin(), sessions_.end(),
          [](const auto& a, const auto& b) { return a.second.ends < b.second.ends; });
      sessions_.erase(closest);
    }
  }
  std::string id = newId();
  // 256 random bits do not repeat; were they to, the older session must not change hands.
  while (sessions_.count(id) != 0)
    id = newId();
  sessions_.emplace(id, Session{role, now + kLifetime});
  return id;
}

std::optional<Role> SessionTable::find(std::string_view id, SteadyTime now) {
  // The id comes from a cookie: anything not shaped as ours is not looked up.
  if (id.size() != kIdChars) return std::nullopt;
  const auto found = sessions_.find(std::string(id));
  if (found == sessions_.end()) return std::nullopt;
  if (found->second.ends <= now) {
    sessions_.erase(found);
    return std::nullopt;
  }
  return found->second.role;
}

void SessionTable::close(std::string_view id) {
  sessions_.erase(std::string(id));
}

std::chrono::milliseconds LoginThrottle::wait(const std::string& address, SteadyTime now) const {
  const auto found = addresses_.find(address);
  if (found == addresses_.end() || found->second.until <= now) return std::chrono::milliseconds(0);
  // Rounded up, so a wait is never reported as over before it is.
  return std::chrono::ceil<std::chrono::milliseconds>(found->second.until - now);
}

void LoginThrottle::failed(const std::string& address, SteadyTime now) {
  auto found = addresses_.find(address);
  if (found == addresses_.end()) {
    if (addresses_.size() >= kMostAddresses) {
      const auto oldest = std::min_element(
          addresses_.begin(), addresses_.end(),
          [](const auto& a, const auto& b) { return a.second.until < b.second.until; });
      addresses_.erase(oldest);
    }
    found = addresses_.emplace(address, Failures{}).first;
  }
  Failures& failures = found->second;
  failures.count = std::min(failures.count + 1, kMostCountedFailures);
  failures.until = now + waitAfter(failures.count);
}

void LoginThrottle::succeeded(const std::string& address) {
  addresses_.erase(address);
}

}  // namespace qelm::remote
