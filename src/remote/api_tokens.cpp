#include "remote/api_tokens.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "remote/owner_file.h"

namespace qelm::remote {

namespace {

constexpr std::string_view kTokensHeader =
    "# QELM-9000 API tokens (NAME ROLE BLAKE2b-256); make them with qelm-engine token\n";

std::array<uint8_t, ApiTokens::kHashBytes> hashOf(std::string_view token) {
  std::array<uint8_t, ApiTokens::kHashBytes> hash{};
  crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(token.data()),
                     token.size(), nullptr, 0);
  return hash;
}

// The blank-separated words of `line`.
std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
      ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t')
      ++at;
    if (at > start) out.push_back(line.substr(start, at - start));
  }
  return out;
}

// Reads one "NAME ROLE HASH" line; empty, or why it is refused.
std::string readLine(std::string_view line, std::vector<ApiTokens::Entry>& entries) {
  const std::vector<std::string_view> parts = words(line);
  if (parts.size() != 3) return "not \"NAME ROLE HASH\"";
  if (!ApiTokens::validName(parts[0])) return "the name is not a token's name";
  const std::optional<Role> role = roleNamed(parts[1]);
  if (!role) return "unknown role";
  ApiTokens::Entry entry{std::string(parts[0]), *role, {}};
  size_t length = 0;
  if (parts[2].size() != 2 * ApiTokens::kHashBytes ||
      sodium_hex2bin(entry.hash.data(), entry.hash.size(), parts[2].data(), parts[2].size(),
                     nullptr, &length, nullptr) != 0 ||
      length != entry.hash.size())
    return "the hash is not " + std::to_string(ApiTokens::kHashBytes) + " bytes in hexadecimal";
  for (const ApiTokens::Entry& other : entries)
    if (other.name == entry.name) return "a second token named " + entry.name;
  if (entries.size() >= ApiTokens::kMostTokens)
    return "more than " + std::to_string(ApiTokens::kMostTokens) + " tokens";
  entries.push_back(std::move(entry));
  return {};
}

}  // namespace

bool ApiTokens::validName(std::string_view name) {
  if (name.empty() || name.size() > kMostNameBytes) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

std::optional<ApiTokens> ApiTokens::load(const std::string& path, std::string& error) {
  error.clear();
  std::string text;
  bool missing = false;
  if (std::string failure = readOwnerFile(path, kMostFileBytes, text, missing); !failure.empty()) {
    error = "\"" + path + "\": " + failure;
    return std::nullopt;
  }
  ApiTokens tokens;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    if (std::string why = readLine(line, tokens.entries_); !why.empty()) {
      error = "\"" + path + "\", line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    }
  }
  return tokens;
}

std::optional<Role> ApiTokens::check(std::string_view token) const {
  if (token.empty() || token.size() > kMostTokenBytes || !sodiumReady()) return std::nullopt;
  const std::array<uint8_t, kHashBytes> hash = hashOf(token);
  std::optional<Role> found;
  // Every entry is compared, so the time taken tells nothing of which one matched.
  for (const Entry& entry : entries_)
    if (sodium_memcmp(entry.hash.data(), hash.data(), hash.size()) == 0) found = entry.role;
  return found;
}

std::optional<std::string> ApiTokens::add(std::string_view name, Role role, std::string& error) {
  if (!validName(name)) {
    error = "a token's name is 1 to " + std::to_string(kMostNameBytes) +
            " letters, digits, '.', '_' or '-'";
    return std::nullopt;
  }
  for (const Entry& entry : entries_)
    if (entry.name == name) {
      error = "a token named " + std::string(name) + " exists; revoke it first";
      return std::nullopt;
    }
  if (entries_.size() >= kMostTokens) {
    error = "there are " + std::to_string(kMostTokens) + " tokens already";
    return std::nullopt;
  }
  if (!sodiumReady()) {
    error = "no random numbers";
    return std::nullopt;
  }
  std::array<unsigned char, kTokenBytes> random{};
  randombytes_buf(random.data(), random.size());
  std::string text(sodium_base64_ENCODED_LEN(kTokenBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING),
                   '\0');
  sodium_bin2base64(text.data(), text.size(), random.data(), random.size(),
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  sodium_memzero(random.data(), random.size());
  text.resize(std::strlen(text.c_str()));
  entries_.push_back({std::string(name), role, hashOf(text)});
  return text;
}

bool ApiTokens::revoke(std::string_view name) {
  const auto found = std::find_if(entries_.begin(), entries_.end(),
                                  [name](const Entry& entry) { return entry.name == name; });
  if (found == entries_.end()) return false;
  entries_.erase(found);
  return true;
}

std::string ApiTokens::save(const std::string& path) const {
  std::string text(kTokensHeader);
  for (const Entry& entry : entries_) {
    char hex[2 * kHashBytes + 1];
    sodium_bin2hex(hex, sizeof hex, entry.hash.data(), entry.hash.size());
    text += entry.name + " " + std::string(roleName(entry.role)) + " " + hex + "\n";
  }
  if (const int error = writeOwnerFile(path, text); error != 0)
    return "Could not write \"" + path + "\": " + std::strerror(error);
  return {};
}

}  // namespace qelm::remote
