// Run under a German locale: the labels follow it, the datagram never does. Runs the real Qt
// window and real sockets, receiving on the loopback at the fixed port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLabel>
#include <clocale>
#include <cstdio>

#include "Harness.h"
#include "platform/Sockets.h"
#include "ui/qt/QtApplication.h"
#include "ui/qt/QtComponents.h"
#include "ui/qt/QtToolkit.h"

namespace {
ui::qt::QtApplication* gApp = nullptr;
}

TEST(CommaLocale, LabelsUseTheCommaAndTheDatagramKeepsFullStops) {
  // QApplication has applied the user's locale to the C library; the test is void without it.
  ASSERT_STREQ(std::localeconv()->decimal_point, ",")
      << "the de_DE.UTF-8 locale is missing: run scripts/install-deps.sh --test";
  char printed[32];
  std::snprintf(printed, sizeof printed, "%f", 1.5);
  ASSERT_STREQ(printed, "1,500000");  // what a locale-following printf would have sent

  const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(4849);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << "port 4849 busy";

  platform::FakeClock clock;
  ui::qt::QtToolkit toolkit(*gApp);
  jointcast::TFMDialog dialog(jointcast::DialogEnvironment{
      toolkit, clock, platform::SystemSockets(), [&]() -> std::unique_ptr<crosslib::TCross> {
        return std::make_unique<sim::SimulatedCross>(*gApp, clock);
      }});
  dialog.Form->Show();
  ASSERT_TRUE(dialog.AddressValid);
  dialog.ValueText =
      u"$AXIS_ACT = {E6AXIS: A1 12.3456, A2 0.0, A3 180.0, A4 -180.5, A5 7.0, A6 45.678}";
  dialog.Publish();

  pollfd ready{receiver, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 2000), 1);
  char received[256];
  const ssize_t got = recv(receiver, received, sizeof received, 0);
  EXPECT_EQ(std::string(received, static_cast<std::size_t>(got)),
            "12.345600 0.000000 180.000000 -180.500000 7.000000 45.678001");
  auto* form = static_cast<ui::qt::QtForm&>(*dialog.Form).Widget();
  EXPECT_EQ(form->findChild<QLabel*>("LA0")->text(), "12,35");
  EXPECT_EQ(form->findChild<QLabel*>("LA3")->text(), "-180,50");
  dialog.Form->Close();
  close(receiver);
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  ui::qt::QtApplication app(argc, argv);
  gApp = &app;
  return RUN_ALL_TESTS();
}
