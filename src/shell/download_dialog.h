#pragma once

#include <QDialog>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "download/configuration_download.h"
#include "download/instances.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace qelm {

/// The "TRELK Configuration Download" dialog: keeps the list of TRELK instances and downloads
/// the configuration from them into the data folder's "configuration/startup.txt". The list is
/// read from "configuration/instances.txt" on opening and written back only by Download.
class CTrelkConfigDownload final : public QDialog {
  Q_OBJECT

 public:
  /// Shows a message (caption, text); tests put in their own.
  using MessageBox = std::function<void(const QString& caption, const QString& text)>;

  /// `dataFolder` ends with "/"; `options` limit each download.
  explicit CTrelkConfigDownload(std::string dataFolder, QWidget* parent = nullptr,
                                DownloadOptions options = {});
  /// Stops a download still running and waits for its thread.
  ~CTrelkConfigDownload() override;

  /// The instances as listed, in order.
  const std::vector<TrelkInstance>& instances() const { return instances_; }
  /// Whether an instance is being edited.
  bool editMode() const { return editRow_ >= 0; }
  /// The selected row; -1 = none.
  int selectedRow() const;
  /// Selects `row` (-1 = none) without it counting as the user's choice.
  void selectRow(int row);
  /// Replaces the message box (tests read the messages instead).
  void setMessageBox(MessageBox messageBox) { messageBox_ = std::move(messageBox); }

  /// Move Up: swaps the selected instance with the one above; it stays selected.
  void moveUp();
  /// Move Down: swaps the selected instance with the one below; it stays selected.
  void moveDown();
  /// Remove: deletes the selected instance and selects the row that takes its place, else the
  /// new last row.
  void removeSelected();
  /// Edit: puts the selected instance into the edit fields and enters edit mode.
  void editSelected();
  /// Cancel (of the edit box): leaves edit mode and empties the fields.
  void cancelEdit();
  /// Add / Save: appends the fields as a new instance, or in edit mode stores them into the
  /// instance being edited; refuses a host that is empty without its double quotes.
  void addOrSave();
  /// Writes the instances file and starts the download on a thread of its own; the dialog
  /// stays responsive, shows a progress line, and closes with Accepted only when every instance
  /// answered and the joined configuration loads as the start-up will load it.
  void download();
  /// Whether a download is running.
  bool downloading() const { return worker_.joinable(); }
  /// Cancel, Escape or the close box: during a download, stops it (the files stay as they
  /// were) and closes once it has ended.
  void reject() override;

 private:
  void fillList();
  void updateButtons();
  void swapRows(int row, int other);
  /// On the dialog's thread, when the download thread has ended.
  void finishDownload(const DownloadResult& result);
  void showProgress();

  std::string dataFolder_;
  DownloadOptions options_;
  std::vector<TrelkInstance> instances_;
  int editRow_ = -1;        // the row whose fields are in the edit boxes; -1 = not editing
  bool selecting_ = false;  // the dialog itself is changing the selection
  MessageBox messageBox_;
  std::atomic<bool> cancel_{false};  // read by the download thread
  std::thread worker_;               // the download, while one runs
  int elapsedSeconds_ = 0;
  QTimer* progressTimer_ = nullptr;
  QLabel* progress_ = nullptr;

  QTreeWidget* list_ = nullptr;
  QPushButton* moveUp_ = nullptr;
  QPushButton* moveDown_ = nullptr;
  QPushButton* remove_ = nullptr;
  QPushButton* edit_ = nullptr;
  QLineEdit* host_ = nullptr;
  QLineEdit* prefix_ = nullptr;
  QPushButton* addSave_ = nullptr;
  QPushButton* cancelEdit_ = nullptr;
  QPushButton* download_ = nullptr;
  QPushButton* close_ = nullptr;
};

}  // namespace qelm
