#pragma once

// Loads small configuration texts written by the tests and reads back the error file.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/config_catalog.h"
#include "config/config_loader.h"

namespace qelm {

/// A configuration text that must fail, the line the error is reported on and its message.
struct ConfigErrorCase {
  const char* text;
  int line;
  const char* message;
};

inline std::ostream& operator<<(std::ostream& out, const ConfigErrorCase& c) {
  return out << c.message;
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    folder_ = std::filesystem::path(::testing::TempDir()) / ("qelm_config_" + name);
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  /// Writes `text` to `name` below the test's folder; returns the path.
  std::string write(const std::string& name, const std::string& text) {
    const std::filesystem::path path = folder_ / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  /// Loads `text` as the file "config.txt" into the catalog, with the test's folder as the
  /// configuration folder (on-demand files live below it).
  bool load(const std::string& text) { return loadFile(write("config.txt", text)); }

  /// Loads the file at `path` into the catalog.
  bool loadFile(const std::string& path) {
    lastPath_ = path;
    std::filesystem::remove(errorPath());
    ConfigLoader loader(errorPath(), folder_.string() + "/", catalog_);
    return loader.load(path);
  }

  /// Contents of the error file; empty when none was written.
  std::string errorText() const {
    std::ifstream in(errorPath());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  /// What the error file must hold for `message` reported on `line` of the last loaded file.
  std::string expectedError(int line, const std::string& message) const {
    return "at " + lastPath_ + ":" + std::to_string(line) + " " + message + "\n";
  }

  /// Loads `c.text` and checks that it fails with its message at its line.
  void expectFailure(const ConfigErrorCase& c) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(load(c.text));
    EXPECT_EQ(errorText(), expectedError(c.line, c.message));
  }

  /// As `expectFailure`, with `c.text` and its line following the sample model `kProcAmp`.
  void expectFailureAfterProcAmp(ConfigErrorCase c);

  std::string errorPath() const { return (folder_ / "error.txt").string(); }

  std::filesystem::path folder_;
  std::string lastPath_;
  ConfigCatalog catalog_;
};

/// The sample model most tests build on, as text.
inline constexpr const char* kProcAmp =
    "model \"Proc Amp\"\n"
    "  parameter 0x0101 \"Video Gain\" int -100 100 1 unit \"%\" default 0\n"
    "  parameter 0x0102 \"Test Pattern\" choice 0 Off \"Off\" choice 1 Bars \"Color Bars\" slow\n"
    "  parameter 0x0200:3 \"Delay 4\" float 0 10 0.5 unit \"ms\"\n"
    "  parameter local Label string 16\n"
    "  monitor lm\n";

inline void ConfigTest::expectFailureAfterProcAmp(ConfigErrorCase c) {
  const std::string text = std::string(kProcAmp) + c.text;
  c.text = text.c_str();
  c.line += 6;  // the model takes six lines
  expectFailure(c);
}

/// Path of a sample configuration in the test data folder.
inline std::string sampleFile(const char* name) {
  return std::string(QELM_SOURCE_DIR "tests/config/data/") + name;
}

}  // namespace qelm
