#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config_token.h"

namespace qelm {

struct ConfigCatalog;
class Model;
class Template;
class LineReader;

/// Reads one configuration file, text or binary, and hands each top-level directive to its
/// parser, filling the catalog. Reports the first error with its location to the log and the
/// error file, then gives up. One loader serves one `load` call.
class ConfigLoader {
 public:
  /// `errorFile`: where the failing load writes its message (empty: nowhere);
  /// `configurationFolder`: ends with "/", holds the "models/" and "templates/" folders read on
  /// demand (empty: no on-demand files). The catalog is not owned and outlives the loader.
  ConfigLoader(std::string errorFile, std::string configurationFolder, ConfigCatalog& catalog);
  ~ConfigLoader();
  ConfigLoader(const ConfigLoader&) = delete;
  ConfigLoader& operator=(const ConfigLoader&) = delete;

  /// Loads `path`. With a text input and a non-empty `binaryOutput` the configuration is also
  /// exported: the binary start-up file at `binaryOutput` and, when `exportFolder` is not empty,
  /// one file per model and template below it. False when the load failed (already reported).
  bool load(const std::string& path, const std::string& binaryOutput = {},
            const std::string& exportFolder = {});

  /// The current (lookahead) token shared by all directive parsers.
  ConfigToken& token() { return token_; }
  /// Steps past the current token (recording it when exporting) and reads the next one.
  /// Raises "parse error" when the next token is unreadable.
  void advance();
  /// Raises a ConfigException: "at " + location of the current token + " " + `message`.
  [[noreturn]] void fail(const std::string& message);
  /// Line of the current token in a text file; 0 in a binary file (its errors name no line).
  int64_t tokenLine() const;
  /// Raises a ConfigException like `fail`, located at `line` (read by `tokenLine` before the
  /// parser moved on): for a fault that shows only once the tokens after it have been read.
  [[noreturn]] void failAt(int64_t line, const std::string& message);
  /// `failAt` the line of the token before the current one, the last one consumed.
  [[noreturn]] void failAtPrevious(const std::string& message);

  /// The model of that exact name, loading "models/<name>" on demand; null when unknown.
  Model* findModel(const std::string& name);
  /// The template of that exact name, loading "templates/<name>" on demand; null when unknown.
  Template* findTemplate(const std::string& name);

  /// The catalog being filled.
  ConfigCatalog& catalog() { return catalog_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  ConfigToken token_;
  ConfigCatalog& catalog_;
};

}  // namespace qelm
