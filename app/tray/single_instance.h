#pragma once
// One tray app per user: the first instance listens on a local socket named after the user;
// a later start hands its request ("show" or "pair") to it and exits.
//
// Thread: the user-interface thread.

#include <QObject>
#include <QString>

class QLocalServer;

namespace lumenbrook {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `name`: the socket's name; defaultName() in production, a test's own name in tests.
  explicit SingleInstance(QString name, QObject* parent = nullptr);
  ~SingleInstance() override;

  // $XDG_RUNTIME_DIR/lumenbrook.socket, else "lumenbrook-<uid>" in the temporary directory.
  static QString defaultName();

  // Hands `request` to a running instance; false when there is none (or it did not take it
  // within a second).
  bool sendToRunning(const QString& request);
  // Becomes the running instance, taking over a socket left behind by one that crashed.
  bool listen();

 signals:
  void requested(const QString& request);

 private:
  QString name_;
  QLocalServer* server_ = nullptr;
};

}  // namespace lumenbrook
