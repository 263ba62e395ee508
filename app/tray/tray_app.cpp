#include "app/tray/tray_app.h"

#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>

// Resources in a static library are registered by hand, outside any namespace.
static void registerIcons() { Q_INIT_RESOURCE(icons); }

namespace lumenbrook {

TrayApp::TrayApp(MenuModel& model, QObject* parent) : QObject(parent), model_(model) {
  registerIcons();
  panel_ = std::make_unique<HelperMenu>(model_);
  pairWindow_ = std::make_unique<PairWindow>(model_);
  icon_ = std::make_unique<TrayIcon>();
  menu_ = std::make_unique<QMenu>();
  menu_->addAction("Open Lumenbrook", this, [this] { showPanel(); });
  menu_->addAction("Pair a phone\u2026", this, [this] { showPairWindow(); });
  menu_->addSeparator();
  menu_->addAction("Quit", this, [this] { emit quitRequested(); });
  icon_->setContextMenu(menu_.get());

  connect(icon_.get(), &TrayIcon::activated, this, [this] {
    if (panel_->isVisible()) {
      panel_->hide();
    } else {
      showPanel();
    }
  });
  connect(panel_.get(), &HelperMenu::pairRequested, this, [this] { showPairWindow(); });
  connect(panel_.get(), &HelperMenu::quitRequested, this, [this] { emit quitRequested(); });
  refresh();
  if (!QSystemTrayIcon::isSystemTrayAvailable()) showPanel();
}

TrayApp::~TrayApp() = default;

void TrayApp::changed(HelperModel::Field field) {
  // A window opened before the service listened shows no code yet; it gets one now.
  if (field == HelperModel::Field::listeningPort && pairWindow_->isVisible() &&
      !model_.qrImage() && !model_.pendingCode()) {
    model_.openPairWindow();
  }
  refresh();
}

void TrayApp::refresh() {
  panel_->refresh();
  pairWindow_->refresh();
  icon_->setConnected(model_.connectedPhone().has_value());
}

void TrayApp::showPanel() {
  QRect tray = icon_->geometry();
  if (!tray.isEmpty()) {
    // Beside the tray, inside its screen.
    panel_->adjustSize();
    QRect area = QGuiApplication::screenAt(tray.center())
                     ? QGuiApplication::screenAt(tray.center())->availableGeometry()
                     : QRect();
    QPoint at(tray.right() - panel_->width(), tray.bottom() + 4);
    if (!area.isEmpty()) {
      at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - panel_->width())));
      if (at.y() + panel_->height() > area.bottom()) at.setY(tray.top() - panel_->height() - 4);
    }
    panel_->move(at);
  }
  panel_->show();
  panel_->raise();
  panel_->activateWindow();
}

void TrayApp::showPairWindow() {
  pairWindow_->show();
  pairWindow_->raise();
  pairWindow_->activateWindow();
}

}  // namespace lumenbrook
