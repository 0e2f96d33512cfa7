#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "remote/credentials.h"

namespace qelm::remote {

/// The API's bearer tokens: each a name, a role and the hash of a random token shown once when
/// it was made. Kept in the data folder's `kFileName`, readable by the owner alone. Tokens are
/// 256 random bits, so a fast hash (BLAKE2b) is as safe as a slow one and costs a
/// microsecond per request instead of an argon2's 100 ms.
class ApiTokens {
 public:
  /// The file's name in the data folder.
  static constexpr const char* kFileName = "remote-tokens";
  /// Largest file read, in bytes; a larger one is refused.
  static constexpr size_t kMostFileBytes = 64 * 1024;
  /// Most tokens kept at once.
  static constexpr size_t kMostTokens = 256;
  /// Longest name, in bytes; names are letters, digits, '.', '_' and '-'.
  static constexpr size_t kMostNameBytes = 64;
  /// Longest bearer looked at, in bytes; a longer one is refused unhashed.
  static constexpr size_t kMostTokenBytes = 128;
  /// Random bytes in a token; its text is their unpadded base64url (43 characters).
  static constexpr size_t kTokenBytes = 32;
  static constexpr size_t kHashBytes = 32;

  struct Entry {
    std::string name;
    Role role = Role::kViewer;
    std::array<uint8_t, kHashBytes> hash{};
  };

  /// Reads the file at `path`. A missing file gives no tokens; a damaged or unreadable one gives
  /// nothing, with the reason (and its line) in `error`.
  static std::optional<ApiTokens> load(const std::string& path, std::string& error);
  /// Whether `name` may name a token.
  static bool validName(std::string_view name);

  bool empty() const { return entries_.empty(); }
  const std::vector<Entry>& entries() const { return entries_; }
  /// The role `token` grants; nothing for an unknown, empty or too long one. Every stored hash
  /// is compared in constant time.
  std::optional<Role> check(std::string_view token) const;
  /// Makes a new token named `name` for `role` and returns its text (the only time it is seen);
  /// nothing, with why in `error`, for a bad or taken name or a full list.
  std::optional<std::string> add(std::string_view name, Role role, std::string& error);
  /// Forgets the token named `name`; false when there is none.
  bool revoke(std::string_view name);
  /// Writes the file at `path` whole or not at all, mode 0600; empty on success, else why not.
  std::string save(const std::string& path) const;

 private:
  std::vector<Entry> entries_;
};

}  // namespace qelm::remote
