#include "app/tray/pair_window.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/menu_model.h"
#include "app/terminal_qr.h"

namespace lumenbrook {
namespace {

QFont title3(QFont font) {
  if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * 1.25);
  return font;
}

QLabel* wrapped(const QString& text, QWidget* parent, Qt::Alignment align = Qt::AlignCenter) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  label->setAlignment(align);
  return label;
}

QWidget* makePage(QWidget* parent, QVBoxLayout** layout) {
  auto* widget = new QWidget(parent);
  *layout = new QVBoxLayout(widget);
  (*layout)->setContentsMargins(0, 0, 0, 0);
  (*layout)->setSpacing(16);
  (*layout)->setAlignment(Qt::AlignHCenter);
  return widget;
}

}  // namespace

QString groupedCode(const std::string& code) {
  QString text = QString::fromUtf8(code.data(), static_cast<qsizetype>(code.size()));
  if (text.size() == 6) return text.left(3) + " " + text.right(3);
  return text;
}

QImage qrPicture(const QrMatrix& matrix, int scale, int quiet) {
  const int side = (matrix.size + 2 * quiet) * scale;
  QImage image(side, side, QImage::Format_RGB32);
  image.fill(Qt::white);
  for (int y = 0; y < matrix.size; ++y) {
    for (int x = 0; x < matrix.size; ++x) {
      if (!matrix.at(x, y)) continue;
      for (int dy = 0; dy < scale; ++dy) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine((y + quiet) * scale + dy));
        for (int dx = 0; dx < scale; ++dx) line[(x + quiet) * scale + dx] = qRgb(0, 0, 0);
      }
    }
  }
  return image;
}

PairWindow::PairWindow(MenuModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setWindowTitle("Pair a phone");
  setObjectName("pair");
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(24, 24, 24, 24);
  outer->setSizeConstraint(QLayout::SetFixedSize);
  pages_ = new QStackedWidget(this);
  pages_->setMinimumWidth(340 - 48);
  outer->addWidget(pages_);

  QVBoxLayout* layout = nullptr;
  QWidget* comparison = makePage(pages_, &layout);
  question_ = wrapped(QString(), comparison);
  question_->setFont(title3(font()));
  layout->addWidget(question_);
  code_ = new QLabel(comparison);
  code_->setAlignment(Qt::AlignCenter);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSize(44);
  mono.setWeight(QFont::DemiBold);
  code_->setFont(mono);
  layout->addWidget(code_);
  auto* buttons = new QHBoxLayout;
  auto* no = new QPushButton("Don't match", comparison);
  auto* yes = new QPushButton("Codes match", comparison);
  connect(no, &QPushButton::clicked, this, [this] { model_.confirm(false); });
  connect(yes, &QPushButton::clicked, this, [this] { model_.confirm(true); });
  buttons->addWidget(no);
  buttons->addWidget(yes);
  layout->addLayout(buttons);
  pages_->addWidget(comparison);

  QWidget* locked = makePage(pages_, &layout);
  auto* paused = wrapped("Pairing paused", locked);
  paused->setFont(title3(font()));
  layout->addWidget(paused);
  layout->addWidget(wrapped(
      "Three pairing attempts failed. Close this window and open Pair a phone again.", locked));
  pages_->addWidget(locked);

  QWidget* scanning = makePage(pages_, &layout);
  auto* scan = wrapped("Scan with the phone's camera", scanning);
  scan->setFont(title3(font()));
  layout->addWidget(scan);
  qr_ = new QLabel(scanning);
  qr_->setFixedSize(qrPoints, qrPoints);
  qr_->setAccessibleName("Pairing code to scan");
  layout->addWidget(qr_, 0, Qt::AlignHCenter);
  busy_ = new QProgressBar(scanning);
  busy_->setRange(0, 0);  // busy: no progress to show
  busy_->setTextVisible(false);
  layout->addWidget(busy_);
  auto* caption = wrapped("The QR holds only this computer's name and fingerprint, no password.",
                          scanning);
  QFont small = font();
  if (small.pointSizeF() > 0) small.setPointSizeF(small.pointSizeF() * 0.85);
  caption->setFont(small);
  layout->addWidget(caption);
  pages_->addWidget(scanning);

  refresh();
}

PairWindow::Page PairWindow::page() const { return static_cast<Page>(pages_->currentIndex()); }

void PairWindow::refresh() {
  showPage();
  // The window's size follows the page at once, not at the next turn of the event loop.
  layout()->activate();
}

void PairWindow::showPage() {
  if (const auto& pending = model_.pendingCode()) {
    question_->setText("Does " + QString::fromUtf8(pending->phone.c_str()) + " show this code?");
    code_->setText(groupedCode(pending->code));
    pages_->setCurrentIndex(static_cast<int>(Page::comparison));
    return;
  }
  if (model_.pairingLocked()) {
    pages_->setCurrentIndex(static_cast<int>(Page::lockedOut));
    return;
  }
  pages_->setCurrentIndex(static_cast<int>(Page::scanning));
  if (auto matrix = model_.qrImage()) {
    QImage picture = qrPicture(*matrix, moduleScale);
    // Hard module edges: scaled without smoothing.
    qr_->setPixmap(QPixmap::fromImage(
        picture.scaled(qrPoints, qrPoints, Qt::IgnoreAspectRatio, Qt::FastTransformation)));
    qr_->show();
    busy_->hide();
  } else {
    qr_->clear();
    qr_->hide();
    busy_->show();
  }
}

void PairWindow::showEvent(QShowEvent* event) {
  model_.openPairWindow();
  refresh();
  QWidget::showEvent(event);
}

void PairWindow::hideEvent(QHideEvent* event) {
  model_.closePairWindow();
  refresh();
  QWidget::hideEvent(event);
}

}  // namespace lumenbrook
