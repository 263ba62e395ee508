#pragma once
// The tray icon: a screen beside a phone, outlined while no phone is connected and filled while
// one is. Where no tray exists yet the icon waits, and appears once one does (Qt adds it by
// itself when a tray shows up).
//
// Thread: the user-interface thread.

#include <QObject>
#include <QSystemTrayIcon>

namespace lumenbrook {

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  explicit TrayIcon(QObject* parent = nullptr);

  void setConnected(bool connected);
  bool connected() const { return connected_; }
  QString toolTip() const { return icon_.toolTip(); }
  // Where the tray placed the icon; empty while it is not in a tray.
  QRect geometry() const { return icon_.geometry(); }
  void setContextMenu(QMenu* menu) { icon_.setContextMenu(menu); }

  // The icon drawn from its SVG at `size` pixels.
  static QIcon picture(bool connected);

 signals:
  void activated();

 private:
  QSystemTrayIcon icon_;
  bool connected_ = false;
};

}  // namespace lumenbrook
