#pragma once

#include <QDialog>
#include <QSettings>
#include <QString>
#include <cstdint>

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QDialogButtonBox;

namespace qelm {

/// The operator's choice for the panel in a browser, kept with the window settings.
struct RemoteChoice {
  /// The port offered first; any free one above 1023 does as well.
  static constexpr int kDefaultPort = 8080;

  bool enabled = false;
  QString address = "127.0.0.1";  ///< IPv4 address to serve on; 0.0.0.0 for every one
  int port = kDefaultPort;
  QString certificateFile;  ///< TLS certificate (PEM); with the key, the page is served as https
  QString keyFile;

  /// An empty text when the choice can be served, else what is wrong with it.
  QString problem() const;
  bool operator==(const RemoteChoice&) const = default;
};

/// Reads the choice; missing or unusable entries keep their defaults.
RemoteChoice loadRemoteChoice(const QSettings& settings);
void saveRemoteChoice(QSettings& settings, const RemoteChoice& choice);

/// Application -> Remote Panel...: serve the panel to browsers or not, on which address and port,
/// with which certificate; it says what the server does now (its address or its error) and how
/// passwords are set.
class RemotePanelDialog final : public QDialog {
  Q_OBJECT

 public:
  /// `state` is the line that says what the server does now.
  RemotePanelDialog(const RemoteChoice& choice, const QString& state, QWidget* parent = nullptr);

  /// The choice as the fields hold it.
  RemoteChoice choice() const;

 private:
  void updateOk();

  QCheckBox* enabled_ = nullptr;
  QLineEdit* address_ = nullptr;
  QSpinBox* port_ = nullptr;
  QLineEdit* certificate_ = nullptr;
  QLineEdit* key_ = nullptr;
  QLabel* problem_ = nullptr;
  QDialogButtonBox* buttons_ = nullptr;
};

}  // namespace qelm
