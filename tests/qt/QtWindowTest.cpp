// The real Qt window, offscreen: what the in-memory double cannot show.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "Harness.h"
#include "ui/qt/QtApplication.h"
#include "ui/qt/QtComponents.h"
#include "ui/qt/QtToolkit.h"

namespace {

ui::qt::QtApplication* gApp = nullptr;

struct QtWindow {
  platform::FakeClock clock;
  platform::FakeSockets sockets;
  ui::qt::QtToolkit toolkit{*gApp};
  std::unique_ptr<jointcast::TFMDialog> dialog;

  QtWindow() {
    jointcast::PollState = jointcast::State::WaitRetry;
    jointcast::LastTick = 0;
    dialog = std::make_unique<jointcast::TFMDialog>(jointcast::DialogEnvironment{
        toolkit, clock, sockets, [this]() -> std::unique_ptr<crosslib::TCross> {
          return std::make_unique<sim::SimulatedCross>(*gApp, clock);
        }});
  }
  QWidget* Form() const { return static_cast<ui::qt::QtForm&>(*dialog->Form).Widget(); }
  template <typename W>
  W* Child(const char* name) const {
    return Form()->findChild<W*>(name);
  }
};

QColor Background(QWidget* widget) {
  return widget->palette().color(QPalette::Window);
}

}  // namespace

TEST(QtWindow, GeometryCaptionsAndColours) {
  QtWindow w;
  QWidget* form = w.Form();
  EXPECT_EQ(form->windowTitle(), "Jointcast V3");
  EXPECT_EQ(form->size(), QSize(159, 125));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form->windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_EQ(form->font().pixelSize(), 11);

  auto* la0 = w.Child<QLabel>("LA0");
  ASSERT_NE(la0, nullptr);
  EXPECT_EQ(la0->geometry(), QRect(32, 56, 41, 13));
  EXPECT_TRUE(la0->alignment() & Qt::AlignRight);
  EXPECT_EQ(la0->text(), "0");
  EXPECT_EQ(w.Child<QLabel>("Label8")->text(), "A5");
  EXPECT_EQ(w.Child<QLabel>("LMessage")->geometry(), QRect(16, 104, 129, 13));

  auto* cross = w.Child<QLabel>("PCross");
  auto* arm = w.Child<QLabel>("PArm");
  EXPECT_EQ(cross->geometry(), QRect(16, 8, 65, 25));
  EXPECT_EQ(arm->geometry(), QRect(80, 8, 65, 25));
  EXPECT_EQ(cross->text(), "Cross");
  EXPECT_EQ(Background(cross), QColor(255, 0, 0));
  EXPECT_EQ(cross->palette().color(QPalette::WindowText), QColor(255, 255, 255));
  w.dialog->PCross->SetColor(ui::TColor::Green);
  EXPECT_EQ(Background(cross), QColor(0, 128, 0));
  w.dialog->PCross->SetColor(ui::TColor::Yellow);
  EXPECT_EQ(Background(cross), QColor(255, 255, 0));

  auto* edit = w.Child<QLineEdit>("EAddress");
  EXPECT_EQ(edit->geometry(), QRect(16, 35, 89, 17));
  EXPECT_FALSE(edit->hasFrame());
  EXPECT_EQ(edit->text(), "localhost");
  auto* set = w.Child<QPushButton>("BSet");
  EXPECT_EQ(set->geometry(), QRect(104, 35, 41, 17));
  EXPECT_EQ(set->text(), "Set");
  EXPECT_EQ(edit->nextInFocusChain(), set);

  const int screenWidth = QGuiApplication::primaryScreen()->geometry().width();
  EXPECT_EQ(form->frameGeometry().right() + 1, screenWidth);
  EXPECT_EQ(form->frameGeometry().top(), 0);

  w.dialog->SetMessage("IP address not valid", true);
  EXPECT_EQ(Background(w.Child<QLabel>("LMessage")), QColor(255, 0, 0));
}

// Only the decimal separator comes from the locale: digits and the minus stay ASCII even where
// the locale's own number format uses U+2212 (Swedish, Finnish) or Arabic-Indic digits.
TEST(QtWindow, LabelsTakeOnlyTheDecimalSeparatorFromTheLocale) {
  QtWindow w;
  auto& d = *w.dialog;
  d.AxisLabels = {d.LA0.get(), d.LA1.get(), d.LA2.get(), d.LA3.get(), d.LA4.get(), d.LA5.get()};
  w.dialog->ValueText = u"$AXIS_ACT = {E6AXIS: A1 -180.5, A2 12345.678, A3 0, A4 0, A5 0, A6 -7}";
  const QLocale saved;
  const struct {
    const char* locale;
    QString la0, la1;
  } cases[] = {{"de_DE", "-180,50", "12345,68"},
               {"sv_SE", "-180,50", "12345,68"},
               {"fi_FI", "-180,50", "12345,68"},
               {"ar_EG", QString::fromUtf8("-180\u066B50"), QString::fromUtf8("12345\u066B68")},
               {"en_US", "-180.50", "12345.68"}};
  for (const auto& c : cases) {
    QLocale::setDefault(QLocale(c.locale));
    w.dialog->Publish();
    EXPECT_EQ(w.Child<QLabel>("LA0")->text(), c.la0) << c.locale;
    EXPECT_EQ(w.Child<QLabel>("LA1")->text(), c.la1) << c.locale;
    EXPECT_EQ(w.Child<QLabel>("LA5")->text().front(), QChar('-')) << c.locale;
  }
  QLocale::setDefault(saved);
}

// Without MS Sans Serif the fallback font must still fit the widest value and the resting
// notice into their fixed labels.
TEST(QtWindow, FallbackFontFitsTheLabels) {
  QtWindow w;
  const QFontMetrics metrics(w.Child<QLabel>("LA0")->font());
  EXPECT_LE(metrics.horizontalAdvance("-180.00"), 41)
      << QFontInfo(w.Form()->font()).family().toStdString();
  EXPECT_LE(metrics.horizontalAdvance(jointcast::kRestingNotice), 129);
}

// The window is placed at the top right once; after that it stays where the user moves it.
TEST(QtWindow, StaysWhereItIsMoved) {
  QtWindow w;
  w.dialog->Form->Show();
  QCoreApplication::processEvents();
  const int screenWidth = QGuiApplication::primaryScreen()->geometry().width();
  EXPECT_EQ(w.Form()->frameGeometry().right() + 1, screenWidth);
  w.Form()->move(100, 200);
  QCoreApplication::processEvents();
  EXPECT_EQ(w.Form()->frameGeometry().topLeft(), QPoint(100, 200));
  w.Form()->hide();
  gApp->SetOnIdle({});
}

// Five readings a second mostly leave the labels as they are: only a change repaints.
TEST(QtWindow, OnlyAChangeRepaints) {
  QtWindow w;
  w.dialog->Form->Show();
  gApp->SetOnIdle({});  // the cycle would set the indicator itself
  QCoreApplication::processEvents();
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      paints += event->type() == QEvent::Paint;
      return false;
    }
  } la0, cross;
  w.Child<QLabel>("LA0")->installEventFilter(&la0);
  w.Child<QLabel>("PCross")->installEventFilter(&cross);
  auto settle = [] {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  };
  w.dialog->LA0->SetCaption("12.35");
  w.dialog->PCross->SetColor(ui::TColor::Green);
  settle();
  const int la0Paints = la0.paints, crossPaints = cross.paints;
  EXPECT_GT(la0Paints, 0);
  EXPECT_GT(crossPaints, 0);
  for (int i = 0; i < 3; ++i) {
    w.dialog->LA0->SetCaption("12.35");
    w.dialog->PCross->SetColor(ui::TColor::Green);
    settle();
  }
  EXPECT_EQ(la0.paints, la0Paints);
  EXPECT_EQ(cross.paints, crossPaints);
  w.dialog->LA0->SetCaption("12.36");
  settle();
  EXPECT_GT(la0.paints, la0Paints);
  w.Form()->hide();
  gApp->SetOnIdle({});
}

TEST(QtWindow, EnterInTheAddressClicksSetAndStillReachesTheEdit) {
  QtWindow w;
  w.sockets.hosts["robotsim"] = {10, 0, 0, 9};
  auto* edit = w.Child<QLineEdit>("EAddress");
  edit->clear();
  QTest::keyClicks(edit, "robotsim");
  EXPECT_TRUE(w.sockets.resolved.empty());
  int returns = 0;
  QObject::connect(edit, &QLineEdit::returnPressed, [&] { ++returns; });
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(w.sockets.resolved, std::vector<std::string>{"robotsim"});
  EXPECT_EQ(returns, 1);
  EXPECT_TRUE(w.dialog->AddressValid);
}

TEST(QtWindow, EnablingTheRunningMessageTimerKeepsItsCountdown) {
  QtWindow w;
  w.dialog->SetMessage("first", false);
  auto* timer = w.Form()->findChild<QTimer*>("TMessage");
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
  const int id = timer->timerId();
  w.dialog->SetMessage("second", false);
  EXPECT_EQ(timer->timerId(), id);  // restarting would have registered a new timer
}

TEST(QtApplication, IdleRunsOnlyWhenNothingElseIsPending) {
  ASSERT_TRUE(gApp->UsesGlibIdle());
  std::vector<std::string> order;
  int idleCalls = 0;
  for (int i = 0; i < 3; ++i) gApp->Post(0, [&] { order.push_back("posted"); });
  gApp->SetOnIdle([&](ui::TObject*, bool& done) {
    done = false;
    order.push_back("idle");
    if (++idleCalls == 1) gApp->Post(0, [&] { order.push_back("completion"); });
    if (idleCalls == 3) {
      gApp->SetOnIdle({});
      QCoreApplication::exit(0);
    }
  });
  QTimer::singleShot(2000, [] { QCoreApplication::exit(1); });  // a safety net only
  ASSERT_EQ(QCoreApplication::exec(), 0);
  const std::vector<std::string> expected{"posted",     "posted", "posted", "idle",
                                          "completion", "idle",   "idle"};
  EXPECT_EQ(order, expected);
}

// The idle handler's wait sleeps in the loop, and the first event ends it: a key that arrives
// during a minute's wait is handled, and the handler called again, at once.
TEST(QtApplication, AKeyEndsTheIdleWait) {
  QLineEdit edit;
  std::vector<std::string> calls;
  gApp->SetOnIdle([&](ui::TObject*, bool& done) {
    done = false;
    calls.push_back(edit.text().toStdString());
    if (calls.size() == 1) {
      gApp->WaitBeforeNextIdle(60000);
      QCoreApplication::postEvent(&edit,
                                  new QKeyEvent(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x"));
    } else {
      gApp->SetOnIdle({});
      QCoreApplication::exit(0);
    }
  });
  QTimer safetyNet;  // only there so that a broken wait fails instead of hanging
  safetyNet.setSingleShot(true);
  QObject::connect(&safetyNet, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  safetyNet.start(5000);
  ASSERT_EQ(QCoreApplication::exec(), 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"", "x"}));
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  ui::qt::QtApplication app(argc, argv);
  gApp = &app;
  return RUN_ALL_TESTS();
}
