#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "remote/credentials.h"

namespace qelm::remote {

using SteadyTime = std::chrono::steady_clock::time_point;

/// The browsers logged in: a random id per session (the cookie's value) with its role and end.
/// Used from the server's thread only.
class SessionTable {
 public:
  /// Longest life of a session.
  static constexpr std::chrono::hours kLifetime{12};
  /// Most sessions kept; a new one past it ends the one closest to its end.
  static constexpr size_t kMostSessions = 1024;

  /// Opens a session for `role` and returns its id: 256 random bits, base64url without padding
  /// (43 characters).
  std::string open(Role role, SteadyTime now);
  /// The role of the live session `id`; nothing for an unknown or ended one (an ended one is
  /// forgotten).
  std::optional<Role> find(std::string_view id, SteadyTime now);
  /// Ends session `id` (nothing when unknown).
  void close(std::string_view id);
  /// Sessions kept.
  size_t size() const { return sessions_.size(); }

 private:
  struct Session {
    Role role;
    SteadyTime ends;
  };
  std::unordered_map<std::string, Session> sessions_;
};

/// Slows password guessing: after a failed login a client address waits before its next login
/// is looked at, twice as long after each further failure. Used from the server's thread only.
class LoginThrottle {
 public:
  static constexpr std::chrono::seconds kFirstWait{1};
  static constexpr std::chrono::seconds kLongestWait{60};
  /// Most addresses remembered; past it the one whose wait ended longest ago is forgotten.
  static constexpr size_t kMostAddresses = 4096;

  /// How long `address` must still wait before a login from it is looked at; zero when it may
  /// try now.
  std::chrono::milliseconds wait(const std::string& address, SteadyTime now) const;
  /// A failed login from `address`.
  void failed(const std::string& address, SteadyTime now);
  /// A login from `address` succeeded: its failures are forgotten.
  void succeeded(const std::string& address);

 private:
  struct Failures {
    int count = 0;
    SteadyTime until;
  };
  std::unordered_map<std::string, Failures> addresses_;
};

}  // namespace qelm::remote
