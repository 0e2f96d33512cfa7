#include "remote/credentials.h"

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "remote/owner_file.h"

namespace qelm::remote {

namespace {

// The file as we write it: a comment line, then one "ROLE HASH" line per role that has a
// password. The reader takes blank lines and further "#" comments too, since people edit it.
constexpr std::string_view kPasswordsHeader =
    "# QELM-9000 remote panel passwords (argon2id); set them with qelm-engine passwd\n";
constexpr std::string_view kHashPrefix = "$argon2id$";
// Longest hash taken, in characters; libsodium's buffer holds the terminating zero as well.
constexpr size_t kMostHashChars = crypto_pwhash_STRBYTES - 1;
// Most work a hash from the file may ask of each check: a damaged or planted file must not make
// every login take seconds or gigabytes. Our own hashes use the interactive limits.
constexpr uint64_t kMostHashKiB = crypto_pwhash_MEMLIMIT_MODERATE / 1024;
constexpr uint64_t kMostHashPasses = crypto_pwhash_OPSLIMIT_MODERATE;
// The version of argon2 libsodium writes and reads (1.3).
constexpr uint64_t kHashVersion = 19;
// Longest piece of a refused line quoted back in an error.
constexpr size_t kMostQuotedChars = 32;
constexpr Role kRoles[] = {Role::kOperator, Role::kViewer};  // the order check() tries them in

size_t slot(Role role) {
  return static_cast<size_t>(role);
}

// Characters of libsodium's encoded hash: the "$argon2id$v=19$m=...,t=...,p=...$" fields and
// unpadded base64 of the salt and the hash.
bool isHashChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '$' || c == '=' || c == ',';
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// `text` for an error message: cut short, anything but printable ASCII shown as '?', so a
// damaged file cannot write control sequences to the terminal.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size() && i < kMostQuotedChars; ++i)
    out += text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
  if (text.size() > kMostQuotedChars) out += "...";
  return out + "\"";
}

// Takes `word` off the front of `text`; false when `text` does not start with it.
bool take(std::string_view& text, std::string_view word) {
  if (text.substr(0, word.size()) != word) return false;
  text.remove_prefix(word.size());
  return true;
}

// Takes a decimal number of 1 to 9 digits off the front of `text`.
bool takeNumber(std::string_view& text, uint64_t& value) {
  size_t digits = 0;
  value = 0;
  while (digits < text.size() && digits < 10 && text[digits] >= '0' && text[digits] <= '9')
    value = value * 10 + static_cast<uint64_t>(text[digits++] - '0');
  text.remove_prefix(digits);
  return digits > 0 && digits < 10;
}

// Checks the fields of "$argon2id$v=19$m=KIB,t=PASSES,p=LANES$SALT$HASH" (the prefix is known to
// be there); empty, or why the hash is refused.
std::string checkHashFields(std::string_view hash) {
  hash.remove_prefix(kHashPrefix.size());
  uint64_t version = 0;
  uint64_t kib = 0;
  uint64_t passes = 0;
  uint64_t lanes = 0;
  const bool formed = take(hash, "v=") && takeNumber(hash, version) && take(hash, "$m=") &&
                      takeNumber(hash, kib) && take(hash, ",t=") && takeNumber(hash, passes) &&
                      take(hash, ",p=") && takeNumber(hash, lanes) && take(hash, "$");
  const size_t dollar = hash.find('$');
  if (!formed || version != kHashVersion || dollar == 0 || dollar == std::string_view::npos ||
      dollar + 1 == hash.size() || hash.find('$', dollar + 1) != std::string_view::npos)
    return "the hash is not in argon2id's form";
  if (kib > kMostHashKiB || passes > kMostHashPasses || lanes != 1)
    return "the hash asks for more work than allowed";
  return {};
}

// Reads one "ROLE HASH" line into `hashes`; empty, or why the line is refused.
std::string readLine(std::string_view line, std::optional<std::string> (&hashes)[2]) {
  size_t at = 0;
  while (at < line.size() && !isBlank(line[at]))
    ++at;
  const std::string_view name = line.substr(0, at);
  while (at < line.size() && isBlank(line[at]))
    ++at;
  size_t end = at;
  while (end < line.size() && !isBlank(line[end]))
    ++end;
  const std::string_view hash = line.substr(at, end - at);
  while (end < line.size() && isBlank(line[end]))
    ++end;

  const std::optional<Role> role = roleNamed(name);
  if (!role) return "unknown role " + quoted(name);
  if (hashes[slot(*role)]) return "a second password for " + std::string(roleName(*role));
  if (hash.empty()) return "no hash after " + std::string(roleName(*role));
  if (end != line.size()) return "text after the hash";
  if (hash.size() > kMostHashChars) return "the hash is too long";
  if (hash.substr(0, kHashPrefix.size()) != kHashPrefix) return "the hash is not argon2id";
  for (const char c : hash)
    if (!isHashChar(c)) return "the hash holds a character it cannot have";
  if (std::string why = checkHashFields(hash); !why.empty()) return why;
  hashes[slot(*role)] = std::string(hash);
  return {};
}

}  // namespace

std::string_view roleName(Role role) {
  return role == Role::kOperator ? "operator" : "viewer";
}

std::optional<Role> roleNamed(std::string_view name) {
  for (const Role role : kRoles)
    if (roleName(role) == name) return role;
  return std::nullopt;
}

bool sodiumReady() {
  // sodium_init() is thread-safe and may be called again; once is enough.
  static const bool ready = sodium_init() >= 0;
  return ready;
}

std::optional<Credentials> Credentials::load(const std::string& path, std::string& error) {
  error.clear();
  std::string text;
  bool missing = false;
  if (std::string failure = readOwnerFile(path, kMostFileBytes, text, missing); !failure.empty()) {
    error = "\"" + path + "\": " + failure;
    return std::nullopt;
  }
  Credentials credentials;
  if (missing) return credentials;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t first = 0;
    while (first < line.size() && isBlank(line[first]))
      ++first;
    if (first == line.size() || line[first] == '#') continue;
    if (std::string why = readLine(line.substr(first), credentials.hashes_); !why.empty()) {
      error = "\"" + path + "\", line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    }
  }
  return credentials;
}

bool Credentials::empty() const {
  return !hashes_[0] && !hashes_[1];
}

bool Credentials::has(Role role) const {
  return hashes_[slot(role)].has_value();
}

std::optional<Role> Credentials::check(std::string_view password) const {
  if (password.empty() || password.size() > kMostPasswordBytes || !sodiumReady())
    return std::nullopt;
  for (const Role role : kRoles) {
    const std::optional<std::string>& hash = hashes_[slot(role)];
    if (hash && crypto_pwhash_str_verify(hash->c_str(), password.data(), password.size()) == 0)
      return role;
  }
  return std::nullopt;
}

bool Credentials::set(Role role, std::string_view password) {
  if (password.empty() || password.size() > kMostPasswordBytes || !sodiumReady()) return false;
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    return false;  // out of memory
  hashes_[slot(role)] = std::string(hash);
  return true;
}

std::string Credentials::save(const std::string& path) const {
  std::string text(kPasswordsHeader);
  for (const Role role : kRoles)
    if (const std::optional<std::string>& hash = hashes_[slot(role)])
      text += std::string(roleName(role)) + " " + *hash + "\n";
  const auto failure = [&path](int error) {
    return "Could not write \"" + path + "\": " + std::strerror(error);
  };
  if (!sodiumReady()) return failure(EAGAIN);
  if (const int error = writeOwnerFile(path, text); error != 0) return failure(error);
  return {};
}

}  // namespace qelm::remote
