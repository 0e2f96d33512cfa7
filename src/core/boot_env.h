#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace qelm {

/// The persistent name=value store that keeps the user's global settings between runs.
class BootEnv {
 public:
  /// Frees the entries; the backing store is not touched.
  virtual ~BootEnv() = default;
  /// Replaces the entries with the stored ones; false when the store cannot be read (entries then
  /// empty). A damaged store reads as empty and still returns true.
  virtual bool load() = 0;
  /// Writes every entry to the backing store; false on any failure.
  virtual bool save() = 0;
  /// The value of `name`, or empty when absent.
  virtual std::string get(std::string_view name) const = 0;
  /// Replaces the value of `name`; an empty value deletes the entry. Does not save.
  virtual void set(std::string_view name, std::string_view value) = 0;
};

/// Size in bytes of a saved boot environment image: 4 bytes of CRC, then the entry area.
inline constexpr std::size_t kBootEnvImageSize = 65536;

/// A boot environment kept as a 65536-byte image file: bytes 0..3 the CRC-32 (IEEE 802.3) of
/// bytes 4..65535, most significant byte first; from byte 4 "name=value\0" entries in name order,
/// then zero bytes.
class StandardFileBootEnv final : public BootEnv {
 public:
  using Entries = std::map<std::string, std::string, std::less<>>;

  /// `path`: full path of the image file; nothing is read until load.
  explicit StandardFileBootEnv(std::string path) : path_(std::move(path)) {}

  /// False when the file is missing or unreadable. A file shorter than 4 bytes, longer than
  /// kBootEnvImageSize or with a wrong CRC loads as an empty store and returns true.
  bool load() override;
  /// Replaces the file atomically (temporary file in the same folder, fsync, rename), so a crash
  /// leaves either the old or the new image; on failure the old file stays and false is returned.
  /// Entries are written in name order up to the first one that no longer fits.
  bool save() override;
  /// The value of `name`, or empty when absent.
  std::string get(std::string_view name) const override;
  /// Ignored when `name` contains "=" or a zero byte, or `value` a zero byte: such an entry could
  /// not be read back and would hide the entries after it.
  void set(std::string_view name, std::string_view value) override;

  /// Every entry, in byte-wise name order.
  const Entries& entries() const { return entries_; }
  /// Full path of the image file.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  Entries entries_;
};

}  // namespace qelm
