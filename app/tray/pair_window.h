#pragma once
// The window "Pair a phone": the QR code to scan, then the code to compare, or the notice that
// pairing is paused after three failures. Showing it opens the service's pairing window and
// hiding it closes it.
//
// Thread: the user-interface thread.

#include <QWidget>

class QLabel;
class QProgressBar;
class QStackedWidget;

namespace lumenbrook {

class MenuModel;
struct QrMatrix;

class PairWindow : public QWidget {
 public:
  static constexpr int qrPoints = 240;
  static constexpr int moduleScale = 8;

  enum class Page { comparison, lockedOut, scanning };

  // REQUIRES: `model` outlives the window.
  explicit PairWindow(MenuModel& model, QWidget* parent = nullptr);

  void refresh();
  Page page() const;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void showPage();

  MenuModel& model_;
  QStackedWidget* pages_;
  QLabel* question_;
  QLabel* code_;
  QLabel* qr_;
  QProgressBar* busy_;
};

// "123456" as "123 456"; other texts unchanged.
QString groupedCode(const std::string& code);
// The QR code with a quiet zone of `quiet` modules, one module `scale` pixels wide, dark on
// white.
QImage qrPicture(const QrMatrix& matrix, int scale, int quiet = 2);

}  // namespace lumenbrook
