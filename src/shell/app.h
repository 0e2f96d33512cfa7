#pragma once

namespace qelm {

/// The desktop program: reads the command line, prepares the folders and runs the main window
/// until it closes; with "-upgrade15" it moves an older installation's data instead and ends
/// without a window. SIGINT and SIGTERM close the window as Exit does, so the engine shuts
/// down in order; a start-up that does not reach the window within two seconds of the signal
/// is ended by it.
class CVadEDERApp {
 public:
  /// `argc` and `argv` as main received them; they must outlive the application.
  CVadEDERApp(int& argc, char** argv);
  CVadEDERApp(const CVadEDERApp&) = delete;
  CVadEDERApp& operator=(const CVadEDERApp&) = delete;

  /// Runs the program; returns the process exit code (1 when the upgrade run failed).
  int run();

 private:
  int& argc_;
  char** argv_;
};

}  // namespace qelm
