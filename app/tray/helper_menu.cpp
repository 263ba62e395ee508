#include "app/tray/helper_menu.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "app/menu_model.h"

namespace lumenbrook {
namespace {

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QFont scaled(QFont font, double factor, QFont::Weight weight) {
  if (font.pointSizeF() > 0) font.setPointSizeF(font.pointSizeF() * factor);
  font.setWeight(weight);
  return font;
}

QString fromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

QString statusLine(const MenuModel& model) {
  if (const auto& phone = model.connectedPhone()) return "Streaming to " + fromUtf8(*phone);
  if (model.killSwitch()) return "Switched off";
  return "Waiting for a phone";
}

PermissionRow::PermissionRow(const QString& title, const QString& why, std::function<void()> ask,
                             QWidget* parent)
    : QWidget(parent), title_(title) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(4);
  auto* row = new QHBoxLayout;
  icon_ = new QLabel(this);
  auto* name = new QLabel(title, this);
  name->setFont(scaled(font(), 0.95, QFont::DemiBold));
  allow_ = new QPushButton("Allow\u2026", this);
  connect(allow_, &QPushButton::clicked, this, [ask = std::move(ask)] { ask(); });
  row->addWidget(icon_);
  row->addWidget(name);
  row->addStretch(1);
  row->addWidget(allow_);
  column->addLayout(row);
  why_ = new QLabel(why, this);
  why_->setWordWrap(true);
  why_->setFont(scaled(font(), 0.85, QFont::Normal));
  column->addWidget(why_);
  setAllowed(false);
}

void PermissionRow::setAllowed(bool allowed) {
  QStyle::StandardPixmap symbol =
      allowed ? QStyle::SP_DialogApplyButton : QStyle::SP_MessageBoxWarning;
  icon_->setPixmap(style()->standardIcon(symbol).pixmap(16, 16));
  icon_->setAccessibleName(QString());
  setAccessibleName(title_ + ": " + (allowed ? "allowed" : "not allowed yet"));
  allow_->setVisible(!allowed);
  why_->setVisible(!allowed);
}

HelperMenu::HelperMenu(MenuModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setWindowTitle("Lumenbrook");
  setFixedWidth(panelWidth);
  confirmRemoval_ = [this] {
    return QMessageBox::question(
               this, "Remove Lumenbrook",
               "Remove every paired phone and this computer's identity, and stop starting at "
               "login? Phones will have to pair again.",
               QMessageBox::Cancel | QMessageBox::Yes, QMessageBox::Cancel) == QMessageBox::Yes;
  };

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 14, 14, 14);
  layout->setSpacing(10);

  status_ = new QLabel(this);
  status_->setObjectName("status");
  status_->setFont(scaled(font(), 1.15, QFont::Bold));
  layout->addWidget(status_);

  on_ = new QCheckBox("Lumenbrook is on", this);
  connect(on_, &QCheckBox::clicked, this, [this](bool on) { model_.setKillSwitch(!on); });
  layout->addWidget(on_);

  auto* pair = new QPushButton("Pair a phone\u2026", this);
  connect(pair, &QPushButton::clicked, this, [this] { emit pairRequested(); });
  layout->addWidget(pair, 0, Qt::AlignLeft);

  phonesDivider_ = divider(this);
  phonesDivider_->setObjectName("phonesDivider");
  layout->addWidget(phonesDivider_);
  phonesHeading_ = new QLabel("Paired phones", this);
  phonesHeading_->setFont(scaled(font(), 0.95, QFont::DemiBold));
  layout->addWidget(phonesHeading_);
  phones_ = new QWidget(this);
  phoneRows_ = new QVBoxLayout(phones_);
  phoneRows_->setContentsMargins(0, 0, 0, 0);
  phoneRows_->setSpacing(10);
  layout->addWidget(phones_);

  layout->addWidget(divider(this));
  screen_ = new PermissionRow(
      "Screen Recording",
      "Needed to send this computer's screen to the monitor. Until then the phone sees a test "
      "pattern.",
      [this] { model_.requestScreenRecording(); }, this);
  layout->addWidget(screen_);
  input_ = new PermissionRow(
      "Accessibility", "Needed so the phone's trackpad and keyboard can control this computer.",
      [this] { model_.requestAccessibility(); }, this);
  layout->addWidget(input_);
  startAtLogin_ = new QCheckBox("Start at login", this);
  connect(startAtLogin_, &QCheckBox::clicked, this, [this](bool on) { model_.setStartsAtLogin(on); });
  layout->addWidget(startAtLogin_);

  layout->addWidget(divider(this));
  auto* bottom = new QHBoxLayout;
  auto* remove = new QPushButton("Remove Lumenbrook\u2026", this);
  remove->setObjectName("remove");
  connect(remove, &QPushButton::clicked, this, [this] {
    if (confirmRemoval_ && confirmRemoval_()) model_.removeEverything();
  });
  auto* quit = new QPushButton("Quit", this);
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QPushButton::clicked, this, [this] { emit quitRequested(); });
  bottom->addWidget(remove);
  bottom->addStretch(1);
  bottom->addWidget(quit);
  layout->addLayout(bottom);

  refresh();
}

void HelperMenu::showEvent(QShowEvent* event) {
  model_.refreshPermissions();
  refresh();
  QWidget::showEvent(event);
}

void HelperMenu::refresh() {
  status_->setText(statusLine(model_));
  on_->setChecked(!model_.killSwitch());
  rebuildPhones();
  screen_->setAllowed(model_.screenRecordingAllowed());
  input_->setAllowed(model_.accessibilityAllowed());
  startAtLogin_->setChecked(model_.startsAtLogin());
}

void HelperMenu::rebuildPhones() {
  while (QLayoutItem* item = phoneRows_->takeAt(0)) {
    if (QWidget* w = item->widget()) {
      // Later, as the row's own button may be what is running now; out of the panel at once.
      w->hide();
      w->setParent(nullptr);
      w->deleteLater();
    }
    delete item;
  }
  const auto& devices = model_.devices();
  const bool any = !devices.empty();
  phonesDivider_->setVisible(any);
  phonesHeading_->setVisible(any);
  phones_->setVisible(any);
  for (const PairedDevice& device : devices) {
    auto* row = new QWidget(phones_);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    const bool revoked = device.revokedAt.has_value();
    line->addWidget(new QLabel(fromUtf8(device.name) + (revoked ? " (removed)" : ""), row));
    line->addStretch(1);
    auto* button = new QPushButton(revoked ? "Forget" : "Remove", row);
    connect(button, &QPushButton::clicked, this, [this, id = device.id, revoked] {
      if (revoked) {
        model_.forget(id);
      } else {
        model_.revoke(id);
      }
    });
    line->addWidget(button);
    phoneRows_->addWidget(row);
    row->show();  // at once: a layout shows a widget added to a visible panel only later
  }
}

}  // namespace lumenbrook
