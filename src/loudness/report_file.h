#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/stdio_file.h"

namespace qelm {

/// A file written under a temporary name beside its final one ("<name>.XXXXXX.part", the name
/// cut short when that would be too long) and moved into place only when complete: a crash or
/// a failed write never leaves a partial file under the final name, and an existing file is
/// never replaced (the new one takes the next free name, "name-2.ext", ...).
class ReportFile {
 public:
  /// Most alternative names tried when the final name is taken.
  static constexpr int kMostNames = 1000;
  /// Permissions of every report file: readable by everyone who may read the folder. The
  /// report resources copied beside reports get the same.
  static constexpr unsigned kPermissions = 0644;
  /// Longest temporary file name, in bytes: as long as any name may be.
  static constexpr size_t kMostTemporaryNameBytes = NAME_MAX;

  ReportFile() = default;
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;
  /// Removes the temporary file when the file was never committed.
  ~ReportFile();

  /// Creates the temporary file for `finalPath`; false when it cannot be created.
  bool open(const std::string& finalPath);
  /// Appends `text`; false once any write has failed.
  bool write(std::string_view text);
  /// Hands what was written to the system, so a crash of the program loses none of it.
  bool flush();
  /// Syncs the file to the disk, closes it and moves it to its final name, then syncs the
  /// folder so that the name lasts too; false (and the temporary file removed) when anything
  /// failed.
  bool commit();
  /// Closes and removes the temporary file.
  void discard();

  bool isOpen() const { return file_ != nullptr; }
  /// The name the file was moved to by `commit` (empty before).
  const std::string& committedPath() const { return committedPath_; }
  /// The temporary file's path while open.
  const std::string& temporaryPath() const { return temporaryPath_; }

 private:
  platform::File file_;
  std::string finalPath_;
  std::string temporaryPath_;
  std::string committedPath_;
  bool failed_ = false;
};

/// The final path named by the temporary path of a `ReportFile` ("a/b.csv.XXXXXX.part" ->
/// "a/b.csv"); empty for a path not of that form.
std::string temporaryFinalPath(const std::string& temporaryPath);

/// What became of a temporary file left behind.
enum class RecoveryOutcome : int32_t {
  kCompleted = 0,  ///< cut to its whole lines and moved to its final (or next free) name
  kEmpty = 1,      ///< held no whole line and was removed
  kInUse = 2,      ///< a running program is still writing it; left alone
  kFailed = 3,     ///< could not be read, cut or moved; left as it is
};
struct RecoveredFile {
  RecoveryOutcome outcome = RecoveryOutcome::kFailed;
  std::string path;  ///< the name it took (kCompleted only)
};

/// Completes the line-by-line file that a `ReportFile` left at `temporaryPath` (a crash): keeps
/// its whole lines (a line cut by the crash is dropped) under `finalPath` or the next free name.
RecoveredFile recoverLeftFile(const std::string& temporaryPath, const std::string& finalPath);

/// `path` with "-`number`" before its extension ("a/b.html", 2 -> "a/b-2.html").
std::string numberedPath(const std::string& path, int number);

}  // namespace qelm
