#pragma once
// The panel the tray icon opens: what the service is doing, its switch, pairing, the paired
// phones, the two permissions, start at login, removal and quitting. It holds no state of its
// own: refresh() redraws it from the model, and every control calls a model action.
//
// Thread: the user-interface thread.

#include <functional>

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace lumenbrook {

class MenuModel;

class PermissionRow : public QWidget {
  Q_OBJECT

 public:
  PermissionRow(const QString& title, const QString& why, std::function<void()> ask,
                QWidget* parent = nullptr);
  void setAllowed(bool allowed);

 private:
  QString title_;
  QLabel* icon_;
  QPushButton* allow_;
  QLabel* why_;
};

class HelperMenu : public QWidget {
  Q_OBJECT

 public:
  static constexpr int panelWidth = 320;

  // REQUIRES: `model` outlives the panel.
  explicit HelperMenu(MenuModel& model, QWidget* parent = nullptr);

  // Redraws every element from the model.
  void refresh();
  // Asked before removing everything; the default asks the user in a dialog.
  void setConfirmRemoval(std::function<bool()> confirm) { confirmRemoval_ = std::move(confirm); }

 signals:
  void pairRequested();
  void quitRequested();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void rebuildPhones();

  MenuModel& model_;
  std::function<bool()> confirmRemoval_;
  QLabel* status_;
  QCheckBox* on_;
  QWidget* phonesDivider_;
  QLabel* phonesHeading_;
  QWidget* phones_;
  QVBoxLayout* phoneRows_;
  PermissionRow* screen_;
  PermissionRow* input_;
  QCheckBox* startAtLogin_;
};

// The panel's first line: "Streaming to <phone>", "Switched off" or "Waiting for a phone".
QString statusLine(const MenuModel& model);

}  // namespace lumenbrook
