// One QApplication for the whole test program, on the offscreen platform unless the caller
// chose another. Made when the tests start, not when they are only listed. The user's
// configuration folder is a fresh temporary one, so no test reads or writes the real settings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

class QtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    config_ = std::filesystem::temp_directory_path() /
              ("qelm_shell_test_config_" + std::to_string(::getpid()));
    std::filesystem::create_directories(config_);
    // The offscreen platform's own monitor (800 x 600) has room for no zoom but 100 %. The
    // tests get a large desktop monitor with a 2560-pixel one to its right.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "offscreen") {
      const std::filesystem::path screens = config_ / "screens.json";
      std::ofstream(screens) << R"({"screens": [
        {"name": "desk", "x": 0, "y": 0, "width": 5120, "height": 2880,
         "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},
        {"name": "laptop", "x": 5120, "y": 0, "width": 2560, "height": 1440,
         "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
      qputenv("QT_QPA_PLATFORM",
              QByteArray("offscreen:configfile=") + QByteArray::fromStdString(screens.string()));
    }
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config_.string()));
    QStandardPaths::setTestModeEnabled(true);
    // Test mode alone would put the window settings in ~/.qttest, one file for every test
    // program running at the same time: each program gets its own.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(config_.string()));
    application_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override {
    application_.reset();
    std::filesystem::remove_all(config_);
  }

 private:
  int argc_ = 1;
  char name_[16] = "qelm_shell_test";
  char* argv_[2] = {name_, nullptr};
  std::filesystem::path config_;
  std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
