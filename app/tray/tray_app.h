#pragma once
// The tray application's views over one model: the tray icon, the panel it opens and the
// pairing window. Where no tray exists the panel is shown as an ordinary window; the icon is
// added whenever a tray appears.
//
// Thread: the user-interface thread.

#include <QObject>

#include "app/helper_model.h"
#include "app/tray/helper_menu.h"
#include "app/tray/pair_window.h"
#include "app/tray/tray_icon.h"

namespace lumenbrook {

class TrayApp : public QObject {
  Q_OBJECT

 public:
  // REQUIRES: `model` outlives the views.
  explicit TrayApp(MenuModel& model, QObject* parent = nullptr);
  ~TrayApp() override;

  // What the model reports: every view redraws.
  void changed(HelperModel::Field field);
  void showPanel();
  void showPairWindow();

  HelperMenu& panel() { return *panel_; }
  PairWindow& pairWindow() { return *pairWindow_; }
  TrayIcon& icon() { return *icon_; }

 signals:
  void quitRequested();

 private:
  void refresh();

  MenuModel& model_;
  std::unique_ptr<HelperMenu> panel_;
  std::unique_ptr<PairWindow> pairWindow_;
  std::unique_ptr<TrayIcon> icon_;
  std::unique_ptr<QMenu> menu_;
};

}  // namespace lumenbrook
