#include "ui/qt/QtApplication.h"

#include <glib.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>

#include "ui/Components.h"

namespace ui::qt {
namespace {

gboolean OnGlibIdle(gpointer data) {
  return static_cast<QtApplication*>(data)->CallIdle() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

// Sees every event the application delivers, and ends the idle handler's wait at the first.
class WaitBreaker : public QObject {
 public:
  explicit WaitBreaker(std::function<void()> onEvent) : onEvent_(std::move(onEvent)) {}

 protected:
  bool eventFilter(QObject*, QEvent*) override {
    onEvent_();
    return false;
  }

 private:
  std::function<void()> onEvent_;
};

}  // namespace

QtApplication::QtApplication(int& argc, char** argv)
    : app_(std::make_unique<QApplication>(argc, argv)) {
  QApplication::setApplicationName(QString::fromStdString(Title()));
  QApplication::setQuitOnLastWindowClosed(false);  // the main form's close ends the loop
  auto* dispatcher = QAbstractEventDispatcher::instance();
  useGlib_ = dispatcher != nullptr && dispatcher->inherits("QEventDispatcherGlib");
  fallback_ = new QTimer(app_.get());
  fallback_->setInterval(0);
  QObject::connect(fallback_, &QTimer::timeout, [this] {
    if (!CallIdle()) fallback_->stop();
  });
  if (dispatcher != nullptr) {
    // A handler that said it was done is called again once the loop has woken for an event.
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [this] {
      if (idle_ && !waiting_ && source_ == nullptr && !fallback_->isActive()) InstallIdleSource();
    });
  }
  waitTimer_ = new QTimer(app_.get());
  waitTimer_->setSingleShot(true);
  waitTimer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(waitTimer_, &QTimer::timeout, [this] { EndWait(); });
  waitBreaker_ = std::make_unique<WaitBreaker>([this] {
    if (waiting_) EndWait();
  });
  app_->installEventFilter(waitBreaker_.get());
}

QtApplication::~QtApplication() {
  app_->removeEventFilter(waitBreaker_.get());
  if (paintEater_) app_->removeEventFilter(paintEater_.get());
  RemoveIdleSource();
}

void QtApplication::EndWait() {
  waiting_ = false;
  waitTimer_->stop();
  if (idle_ && source_ == nullptr && !fallback_->isActive()) InstallIdleSource();
}

void QtApplication::Watch(platform::SocketHandle socket, std::function<void()> onReadable) {
  auto notifier = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated,
                   [this, onReadable = std::move(onReadable)] { Dispatch(onReadable); });
  notifiers_[socket] = std::move(notifier);
}

void QtApplication::Unwatch(platform::SocketHandle socket) {
  auto it = notifiers_.find(socket);
  if (it == notifiers_.end()) return;
  it->second->setEnabled(false);
  // The notifier may be the one whose signal is running; let the loop delete it.
  it->second.release()->deleteLater();
  notifiers_.erase(it);
}

namespace {

// Swallows painting: with no screen, rendering the window is work nobody sees.
class PaintEater : public QObject {
 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    return event->type() == QEvent::Paint || event->type() == QEvent::UpdateRequest;
  }
};

}  // namespace

void QtApplication::SkipPainting() {
  paintEater_ = std::make_unique<PaintEater>();
  app_->installEventFilter(paintEater_.get());
}

bool QtApplication::Offscreen() const {
  return QGuiApplication::platformName() == "offscreen";
}

void QtApplication::SetOnIdle(IdleHandler handler) {
  idle_ = std::move(handler);
  waiting_ = false;
  waitTimer_->stop();
  RemoveIdleSource();
  if (idle_) InstallIdleSource();
}

void QtApplication::InstallIdleSource() {
  if (!useGlib_) {
    fallback_->start();
    return;
  }
  source_ = g_idle_source_new();
  g_source_set_callback(source_, OnGlibIdle, this, nullptr);
  g_source_attach(source_, g_main_context_default());
}

void QtApplication::RemoveIdleSource() {
  if (fallback_ != nullptr) fallback_->stop();
  if (source_ != nullptr) {
    g_source_destroy(source_);
    g_source_unref(source_);
    source_ = nullptr;
  }
}

bool QtApplication::CallIdle() {
  if (!idle_) return false;
  auto idle = idle_;  // the handler may remove or replace itself
  GSource* dispatched = source_;
  bool done = true;
  wait_.reset();
  Dispatch([&] { idle(nullptr, done); });
  bool callAgain = !done && idle_;
  if (callAgain && wait_ && *wait_ > 0) {
    // The loop sleeps instead: the timer or the first event brings the idle source back.
    waiting_ = true;
    waitTimer_->start(static_cast<int>(*wait_));
    callAgain = false;
  }
  if (!callAgain && source_ != nullptr && source_ == dispatched) {
    // GLib drops the source when the callback returns false; forget it here. A source the
    // handler installed anew is not the one returning.
    g_source_unref(source_);
    source_ = nullptr;
  }
  return callAgain;
}

void QtApplication::ProcessMessages() {
  QCoreApplication::processEvents();
}

void QtApplication::Run(TForm& mainForm) {
  mainForm.Show();
  QApplication::exec();
}

void QtApplication::ShowErrorBox(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", Title().c_str(), text.c_str());
  // With no screen to show it on, a modal box would wait forever; the message above is the box.
  if (Offscreen()) return;
  QMessageBox::critical(nullptr, QString::fromStdString(Title()), QString::fromStdString(text));
}

void QtApplication::Post(std::uint32_t delayMs, std::function<void()> work) {
  QTimer::singleShot(static_cast<int>(delayMs), Qt::PreciseTimer, app_.get(),
                     [this, work = std::move(work)] { Dispatch(work); });
}

}  // namespace ui::qt
