#include <gtest/gtest.h>

#include "Harness.h"
#include "app/Program.h"

using jointcast::TFMDialog;
using ui::TColor;
using ui::memory::MemoryLabel;
using ui::memory::MemoryPanel;

TEST(Window, ComponentsLayoutAndPlacement) {
  Harness h;
  auto& d = h.Create();
  const std::vector<std::string> order{"FMDialog", "LA0",      "Label1", "LA1",      "Label3",
                                       "LA2",      "Label5",   "Label6", "LA3",      "Label8",
                                       "LA4",      "Label10",  "LA5",    "LMessage", "PCross",
                                       "PArm",     "EAddress", "BSet",   "TMessage"};
  EXPECT_EQ(h.toolkit.created, order);

  const auto& form = h.form();
  EXPECT_EQ(form.def.caption, "Jointcast V3");
  EXPECT_EQ(form.def.clientWidth, 159);
  EXPECT_EQ(form.def.clientHeight, 125);
  EXPECT_EQ(form.def.fontName, "MS Sans Serif");
  EXPECT_EQ(form.def.fontHeight, -11);
  // Top-right corner of a 1024-pixel screen, frame included.
  EXPECT_EQ(form.Left(), 1024 - form.Width());
  EXPECT_EQ(form.Top(), 0);

  auto label = [&](const char* name) { return static_cast<MemoryLabel*>(d.FindComponent(name)); };
  const ui::Bounds la0{32, 56, 41, 13}, la5{104, 88, 41, 13}, message{16, 104, 129, 13};
  EXPECT_EQ(label("LA0")->def.bounds, la0);
  EXPECT_EQ(label("LA0")->def.alignment, ui::Alignment::Right);
  EXPECT_EQ(label("LA5")->def.bounds, la5);
  EXPECT_EQ(label("LA3")->Caption(), "0");
  EXPECT_EQ(label("Label10")->Caption(), "A6");
  EXPECT_EQ(label("LMessage")->def.bounds, message);
  EXPECT_EQ(label("LMessage")->Caption(), "");

  auto& cross = static_cast<MemoryPanel&>(*d.PCross);
  auto& arm = static_cast<MemoryPanel&>(*d.PArm);
  const ui::Bounds crossBounds{16, 8, 65, 25}, armBounds{80, 8, 65, 25};
  EXPECT_EQ(cross.def.bounds, crossBounds);
  EXPECT_EQ(arm.def.bounds, armBounds);
  EXPECT_EQ(cross.Caption(), "Cross");
  EXPECT_EQ(arm.Caption(), "Arm");
  EXPECT_EQ(cross.Color(), TColor::Red);
  EXPECT_EQ(arm.def.textColor, TColor::White);
  EXPECT_EQ(static_cast<ui::memory::MemoryEdit&>(*d.EAddress).def.tabOrder, 2);
  EXPECT_EQ(static_cast<ui::memory::MemoryButton&>(*d.BSet).def.tabOrder, 3);
  EXPECT_EQ(d.EAddress->Text(), "localhost");
  EXPECT_EQ(d.TMessage->Interval(), 5000u);
  EXPECT_FALSE(d.TMessage->Enabled());

  EXPECT_EQ(d.Timeout, 3000);
  EXPECT_FALSE(d.AddressValid);
  EXPECT_EQ(d.Sock, platform::FakeSockets::kHandle);
  EXPECT_EQ(d.Destination.family, 2);
  EXPECT_EQ(d.Destination.port[0], 4849 >> 8);
  EXPECT_EQ(d.Destination.port[1], 4849 & 0xFF);
  EXPECT_EQ(d.Destination.address, (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
}

TEST(Window, ShowGreetsAppliesTheAddressAndStartsTheCycle) {
  Harness h;
  auto& d = h.Show();
  EXPECT_EQ(d.LMessage->Caption(), "Hello, have fun!");
  EXPECT_EQ(d.LMessage->Color(), TColor::BtnFace);
  EXPECT_EQ(h.sockets.resolved, std::vector<std::string>{"localhost"});
  EXPECT_TRUE(d.AddressValid);
  for (std::size_t i = 0; i < 6; ++i) {
    ASSERT_NE(d.AxisLabels[i], nullptr);
    EXPECT_EQ(d.AxisLabels[i]->Name(), "LA" + std::to_string(i));
  }
  EXPECT_TRUE(h.app().HasIdleHandler());
}

TEST(Window, StatusMessageTimerIsNotRestartedByASecondMessage) {
  Harness h;
  auto& d = h.Show();
  const platform::Tick shown = h.clock.Now();
  h.app().RunFor(3000);
  d.SetMessage("IP address not valid", true);
  EXPECT_EQ(d.LMessage->Caption(), "IP address not valid");
  EXPECT_EQ(d.LMessage->Color(), TColor::Red);
  ASSERT_TRUE(h.app().RunUntil([&] { return !d.TMessage->Enabled(); }));
  const std::uint32_t cleared = platform::Elapsed(h.clock.Now(), shown);
  EXPECT_GE(cleared, 5000u);
  EXPECT_LE(cleared, 5250u);  // the cycle's sleeps delay the timer by at most one of them
  EXPECT_EQ(d.LMessage->Caption(), jointcast::kRestingNotice);
  EXPECT_EQ(d.LMessage->Color(), TColor::BtnFace);
}

TEST(Window, ClosingShutsTheSocketStopsSocketsAndExitsOnce) {
  Harness h;
  auto& d = h.Show();
  ASSERT_TRUE(h.RunUntilState(jointcast::State::Pause));
  h.sockets.calls.clear();
  d.Form->Close();
  const std::vector<std::string> expected{"shutdown 7", "close 7", "cleanup"};
  EXPECT_EQ(h.sockets.calls, expected);
  EXPECT_EQ(h.cross->Calls().exit, 1);
  EXPECT_FALSE(h.cross->Registered());
  d.FormHide(nullptr);  // hidden again: the closed socket is not closed a second time
  EXPECT_EQ(h.sockets.calls.back(), "cleanup");
  EXPECT_EQ(std::count(h.sockets.calls.begin(), h.sockets.calls.end(), "close 7"), 1);
}

TEST(Window, StartupErrorsAreShownInTheErrorBoxAndNoWindowAppears) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> breakIt;
    const char* box;
  };
  const std::vector<Case> cases{
      {"sockets", [](Harness& h) { h.sockets.startupSucceeds = false; }, "WSAStartup."},
      {"socket", [](Harness& h) { h.sockets.openSucceeds = false; }, "create socket."},
      {"control", [](Harness&) {}, "Class not registered."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    c.breakIt(h);
    auto env = h.Environment();
    if (std::string(c.what) == "control") {
      env.createCross = []() -> std::unique_ptr<crosslib::TCross> {
        throw std::runtime_error("Class not registered");
      };
    }
    bool created = false;
    const int result = jointcast::RunProgram(h.app(), [&] {
      auto dialog = std::make_unique<TFMDialog>(env);
      created = true;
      return dialog;
    });
    EXPECT_EQ(result, jointcast::kExitStartupFailed);
    EXPECT_FALSE(created);
    EXPECT_EQ(h.app().errorBoxes, std::vector<std::string>{c.box});
    EXPECT_FALSE(h.app().HasIdleHandler());
  }
}

TEST(Window, ErrorBoxAppendsAFullStopOnlyAfterCharactersSortingAfterIt) {
  EXPECT_EQ(ui::ErrorBoxText("create socket"), "create socket.");
  EXPECT_EQ(ui::ErrorBoxText("port 4849"), "port 4849.");
  EXPECT_EQ(ui::ErrorBoxText("done."), "done.");
  EXPECT_EQ(ui::ErrorBoxText("Failed!"), "Failed!");
  EXPECT_EQ(ui::ErrorBoxText("a-"), "a-");
  EXPECT_EQ(ui::ErrorBoxText("x/"), "x/.");
  EXPECT_EQ(ui::ErrorBoxText(""), "");
}

// The exit code tells a supervisor how the program ended: the controller's silence is a
// failure, a closed window is not.
TEST(Window, ProgramRunsUntilTheWindowClosesAndSaysHowItEnded) {
  {
    Harness h;
    const int result = jointcast::RunProgram(h.app(), [&] {
      auto dialog = std::make_unique<TFMDialog>(h.Environment());
      h.cross->faults.readsNeverComplete = true;  // ends by itself: the read times out
      return dialog;
    });
    EXPECT_EQ(result, jointcast::kExitControllerSilent);
    EXPECT_TRUE(h.app().errorBoxes.empty());
    EXPECT_EQ(h.sockets.calls.back(), "cleanup");
  }
  {
    Harness h;
    const int result = jointcast::RunProgram(h.app(), [&] {
      auto dialog = std::make_unique<TFMDialog>(h.Environment());
      h.app().Post(5000, [form = dialog->Form.get()] { form->Close(); });
      return dialog;
    });
    EXPECT_EQ(result, jointcast::kExitClosed);
  }
}
