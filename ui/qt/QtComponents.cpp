#include "ui/qt/QtComponents.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QScreen>
#include <cstdio>

namespace ui::qt {
namespace {

QString ToQString(const std::string& text) {
  return QString::fromStdString(text);
}

Qt::Alignment ToQt(Alignment alignment) {
  switch (alignment) {
    case Alignment::Right:
      return Qt::AlignRight | Qt::AlignVCenter;
    case Alignment::Center:
      return Qt::AlignCenter;
    case Alignment::Left:
      break;
  }
  return Qt::AlignLeft | Qt::AlignVCenter;
}

void Place(QWidget* widget, const Bounds& b) {
  widget->setGeometry(b.left, b.top, b.width, b.height);
}

void Paint(QWidget* widget, TColor background, std::optional<TColor> text = std::nullopt) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, ToQColor(background));
  if (text) palette.setColor(QPalette::WindowText, ToQColor(*text));
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

// Windows virtual key codes for the keys a handler may care about; letters and digits share
// their codes with Qt's.
std::uint16_t VirtualKey(int qtKey) {
  switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return kKeyReturn;
    case Qt::Key_Backspace:
      return 8;
    case Qt::Key_Tab:
      return 9;
    case Qt::Key_Escape:
      return 27;
    default:
      break;
  }
  if ((qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) || (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) ||
      qtKey == Qt::Key_Space) {
    return static_cast<std::uint16_t>(qtKey);
  }
  return 0;
}

class KeyLineEdit : public QLineEdit {
 public:
  KeyLineEdit(QWidget* parent, TEdit& edit, TApplication& app)
      : QLineEdit(parent), edit_(edit), app_(app) {}

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const std::uint16_t key = VirtualKey(event->key());
    const ShiftState shift{(event->modifiers() & Qt::ShiftModifier) != 0,
                           (event->modifiers() & Qt::ControlModifier) != 0,
                           (event->modifiers() & Qt::AltModifier) != 0};
    if (key != 0 && edit_.OnKeyDown) {
      app_.Dispatch([&] { edit_.OnKeyDown(&edit_, key, shift); });
    }
    QLineEdit::keyPressEvent(event);  // the key still reaches the edit
  }

 private:
  TEdit& edit_;
  TApplication& app_;
};

}  // namespace

QColor ToQColor(TColor color) {
  if (color == TColor::BtnFace) return QApplication::palette().color(QPalette::Button);
  const Rgb rgb = ToRgb(color);
  return QColor(rgb.r, rgb.g, rgb.b);
}

// --- form

FormWidget::FormWidget(TForm& form, TApplication& app) : form_(form), app_(app) {}

void FormWidget::PlaceFrameAt(int left, int top) {
  right_ = left + frameGeometry().width();
  top_ = top;
  placedFrameWidth_ = frameGeometry().width();
  move(left, top);
}

void FormWidget::KeepRightEdge() {
  // A window manager adds the frame only once the window is shown, which widens it: place it
  // again then, so that its right edge stays at the screen's. That is the only correction; a
  // move that leaves the frame's width alone is the user's, and the window stays where it went.
  if (right_ < 0 || !isVisible()) return;
  const int frameWidth = frameGeometry().width();
  if (frameWidth == placedFrameWidth_) return;
  placedFrameWidth_ = frameWidth;
  move(right_ - frameWidth, top_);
  right_ = -1;
}

void FormWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  KeepRightEdge();  // the platform window, and with it the frame, exists from here on
  if (!event->spontaneous()) {
    app_.Dispatch([this] {
      if (form_.OnShow) form_.OnShow(&form_);
    });
  }
}

void FormWidget::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (!event->spontaneous()) {
    app_.Dispatch([this] {
      if (form_.OnHide) form_.OnHide(&form_);
    });
  }
}

void FormWidget::closeEvent(QCloseEvent* event) {
  event->accept();
  QCoreApplication::quit();
}

void FormWidget::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  KeepRightEdge();
}

void FormWidget::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  KeepRightEdge();
}

QtForm::QtForm(const FormDef& def, TApplication& app)
    : TForm("FMDialog"), widget_(new FormWidget(*this, app)) {
  widget_->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  widget_->setWindowTitle(ToQString(def.caption));
  widget_->setFixedSize(def.clientWidth, def.clientHeight);
  // The layout was made for MS Sans Serif; where it is missing, fonts of about its width, so
  // that the values fit their labels, before the system's own.
  QFont font;
  font.setFamilies({ToQString(def.fontName), "Microsoft Sans Serif", "Liberation Sans", "Arial"});
  font.setPixelSize(def.fontHeight < 0 ? -def.fontHeight : def.fontHeight);
  // Latin digits need no shaping: skip HarfBuzz for text that has no complex-script rules.
  font.setStyleStrategy(QFont::PreferNoShaping);
  widget_->setFont(font);
  Paint(widget_, TColor::BtnFace);
}

QtForm::~QtForm() {
  delete widget_.data();
}

void QtForm::Show() {
  widget_->show();
}
void QtForm::Close() {
  widget_->close();
}
void QtForm::SetPosition(int left, int top) {
  widget_->PlaceFrameAt(left, top);
}
int QtForm::Left() const {
  return widget_->frameGeometry().left();
}
int QtForm::Top() const {
  return widget_->frameGeometry().top();
}
int QtForm::Width() const {
  return widget_->frameGeometry().width();
}

int QtForm::ScreenWidth() const {
  const QScreen* screen = widget_->screen() ? widget_->screen() : QGuiApplication::primaryScreen();
  return screen ? screen->geometry().width() : 0;
}

// --- label

QtLabel::QtLabel(QWidget* parent, const LabelDef& def)
    : TLabel(def.name), label_(new QLabel(parent)) {
  label_->setObjectName(ToQString(def.name));
  Place(label_, def.bounds);
  label_->setAlignment(ToQt(def.alignment));
  label_->setText(ToQString(def.caption));
  // Opaque: a new value repaints the label alone, not the form beneath it as well.
  Paint(label_, color_);
}

QtLabel::~QtLabel() {
  delete label_.data();
}

// Labels are set five times a second, mostly to what they already show: only a change repaints.
void QtLabel::SetCaption(const std::string& caption) {
  const QString text = ToQString(caption);
  if (text == label_->text()) return;
  label_->setText(text);
  if (echo_) std::fprintf(stderr, "jointcast: %s\n", caption.c_str());
}

std::string QtLabel::Caption() const {
  return label_->text().toStdString();
}

void QtLabel::SetColor(TColor color) {
  if (color == color_ && label_->autoFillBackground()) return;
  color_ = color;
  Paint(label_, color);
}

// --- panel

QtPanel::QtPanel(QWidget* parent, const PanelDef& def)
    : TPanel(def.name), panel_(new QLabel(parent)), color_(def.color) {
  panel_->setObjectName(ToQString(def.name));
  Place(panel_, def.bounds);
  panel_->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel_->setAlignment(Qt::AlignCenter);
  panel_->setText(ToQString(def.caption));
  Paint(panel_, def.color, def.textColor);
}

QtPanel::~QtPanel() {
  delete panel_.data();
}

void QtPanel::SetCaption(const std::string& caption) {
  panel_->setText(ToQString(caption));
}
std::string QtPanel::Caption() const {
  return panel_->text().toStdString();
}

void QtPanel::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  Paint(panel_, color);
}

// --- edit

QtEdit::QtEdit(QWidget* parent, const EditDef& def, TApplication& app)
    : TEdit(def.name), edit_(new KeyLineEdit(parent, *this, app)) {
  edit_->setObjectName(ToQString(def.name));
  Place(edit_, def.bounds);
  edit_->setFrame(false);
  edit_->setLayoutDirection(Qt::LeftToRight);
  edit_->setText(ToQString(def.text));
}

QtEdit::~QtEdit() {
  delete edit_.data();
}

std::string QtEdit::Text() const {
  return edit_->text().toStdString();
}
void QtEdit::SetText(const std::string& text) {
  edit_->setText(ToQString(text));
}

// --- button

QtButton::QtButton(QWidget* parent, const ButtonDef& def, TApplication& app)
    : TButton(def.name), button_(new QPushButton(parent)) {
  button_->setObjectName(ToQString(def.name));
  Place(button_, def.bounds);
  button_->setText(ToQString(def.caption));
  button_->setAutoDefault(false);
  QObject::connect(button_, &QPushButton::clicked,
                   [this, &app] { app.Dispatch([this] { Click(); }); });
}

QtButton::~QtButton() {
  delete button_.data();
}

// --- timer

QtTimer::QtTimer(QObject* parent, const TimerDef& def, TApplication& app)
    : TTimer(def.name), timer_(new QTimer(parent)) {
  timer_->setObjectName(ToQString(def.name));
  // Coarse timers may fire several percent late, more so while the loop sleeps in 20 ms steps.
  timer_->setTimerType(Qt::PreciseTimer);
  timer_->setInterval(static_cast<int>(def.interval));
  QObject::connect(timer_, &QTimer::timeout, [this, &app] {
    app.Dispatch([this] {
      if (OnTimer) OnTimer(this);
    });
  });
  if (def.enabled) timer_->start();
}

QtTimer::~QtTimer() {
  delete timer_.data();
}

void QtTimer::SetEnabled(bool enabled) {
  if (enabled == timer_->isActive()) return;  // enabling again must not restart the countdown
  if (enabled) {
    timer_->start();
  } else {
    timer_->stop();
  }
}

bool QtTimer::Enabled() const {
  return timer_->isActive();
}
std::uint32_t QtTimer::Interval() const {
  return static_cast<std::uint32_t>(timer_->interval());
}

}  // namespace ui::qt
