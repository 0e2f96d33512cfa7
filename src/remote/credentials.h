#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qelm::remote {

/// What a browser may do: a viewer sees the panel, an operator also works it.
enum class Role : uint8_t {
  kViewer = 0,
  kOperator = 1,
};

/// "viewer" or "operator".
std::string_view roleName(Role role);
/// The role `roleName` gives `name`, if any.
std::optional<Role> roleNamed(std::string_view name);

/// Whether libsodium is set up for this process (at the first call; thread-safe).
bool sodiumReady();

/// The remote panel's passwords, one per role, kept only as argon2id hashes (libsodium) in the
/// data folder's `kFileName`, readable by the owner alone.
class Credentials {
 public:
  /// The file's name in the data folder.
  static constexpr const char* kFileName = "remote-passwords";
  /// Longest password taken, in bytes.
  static constexpr size_t kMostPasswordBytes = 1024;
  /// Largest file read, in bytes; a larger one is refused.
  static constexpr size_t kMostFileBytes = 64 * 1024;

  /// Reads the file at `path`. A missing file gives no passwords; a damaged or unreadable one
  /// gives nothing, with the reason (and its line) in `error`.
  static std::optional<Credentials> load(const std::string& path, std::string& error);

  /// True when no role has a password.
  bool empty() const;
  /// Whether `role` has a password.
  bool has(Role role) const;
  /// The role `password` opens: the operator's is tried first, then the viewer's; nothing for a
  /// wrong, empty or too long password.
  std::optional<Role> check(std::string_view password) const;
  /// Sets the password of `role`, hashed; false for an empty or too long password or when
  /// hashing failed.
  bool set(Role role, std::string_view password);
  /// Writes the file at `path` whole or not at all, mode 0600; empty on success, else why not.
  std::string save(const std::string& path) const;

 private:
  std::optional<std::string> hashes_[2];  // by Role
};

}  // namespace qelm::remote
