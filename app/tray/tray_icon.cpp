#include "app/tray/tray_icon.h"

#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace lumenbrook {

QIcon TrayIcon::picture(bool connected) {
  QSvgRenderer renderer(QString(connected ? ":/icons/lumenbrook-connected.svg"
                                          : ":/icons/lumenbrook.svg"));
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {
  connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) emit activated();
  });
  connected_ = true;  // so that the first call draws
  setConnected(false);
  icon_.show();
}

void TrayIcon::setConnected(bool connected) {
  if (connected == connected_) return;
  connected_ = connected;
  icon_.setIcon(picture(connected));
  icon_.setToolTip(connected ? "Lumenbrook, phone connected" : "Lumenbrook");
}

}  // namespace lumenbrook
