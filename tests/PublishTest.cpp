#include <gtest/gtest.h>

#include "Harness.h"

using jointcast::State;
using ui::TColor;

namespace {

const std::u16string kExample =
    u"$AXIS_ACT = {E6AXIS: A1 12.3456, A2 0.0, A3 180.0, A4 -180.5, A5 7.0, A6 45.678, E1 0.0, "
    u"E2 0.0, E3 0.0, E4 0.0, E5 0.0, E6 0.0}";

std::vector<std::string> Captions(const jointcast::TFMDialog& d) {
  std::vector<std::string> captions;
  for (const ui::TLabel* label : d.AxisLabels) captions.push_back(label->Caption());
  return captions;
}

}  // namespace

TEST(Publish, ShowsTwoDecimalsAndSendsTheDatagramToTheDestination) {
  Harness h;
  auto& d = h.Show();
  d.ValueText = kExample;
  d.Publish();
  const std::vector<std::string> shown{"12.35", "0.00", "180.00", "-180.50", "7.00", "45.68"};
  EXPECT_EQ(Captions(d), shown);
  ASSERT_EQ(h.sockets.sent.size(), 1u);
  EXPECT_EQ(h.sockets.sent[0].payload,
            "12.345600 0.000000 180.000000 -180.500000 7.000000 45.678001");
  EXPECT_EQ(h.sockets.sent[0].destination.address, (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
  EXPECT_EQ(h.sockets.sent[0].destination.Port(), 4849);
  EXPECT_EQ(h.sockets.sent[0].destination.family, 2);
  EXPECT_EQ(d.PArm->Color(), TColor::Green);

  // A user locale with a decimal comma changes the labels only.
  h.toolkit.decimalSeparator = ",";
  d.Publish();
  EXPECT_EQ(d.AxisLabels[3]->Caption(), "-180,50");
  EXPECT_EQ(h.sockets.sent[1].payload, h.sockets.sent[0].payload);

  // A tiny negative value shows as 0.00, without a minus.
  d.ValueText = u"$AXIS_ACT = {E6AXIS: A1 -3.821331E-04, A2 0, A3 0, A4 0, A5 0, A6 0}";
  d.Publish();
  EXPECT_EQ(d.AxisLabels[0]->Caption(), "0,00");
  EXPECT_EQ(h.sockets.sent[2].payload.substr(0, 10), "-0.000382 ");
}

TEST(Publish, WithoutADestinationLabelsMoveButNothingLeaves) {
  Harness h;
  auto& d = h.Show();
  ASSERT_TRUE(h.RunUntilState(State::Pause));
  d.EAddress->SetText("no.such.host");
  d.BSet->Click();
  ASSERT_FALSE(d.AddressValid);
  const std::size_t sentBefore = h.sockets.sent.size();
  std::vector<std::string> previous = Captions(d);
  int changes = 0;
  for (int reading = 0; reading < 10; ++reading) {
    ASSERT_TRUE(h.RunUntilState(State::Publish));
    ASSERT_TRUE(h.RunUntilState(State::Pause));
    EXPECT_EQ(d.PArm->Color(), TColor::Red);
    changes += Captions(d) != previous;
    previous = Captions(d);
  }
  EXPECT_GE(changes, 9);
  EXPECT_EQ(h.sockets.sent.size(), sentBefore);
}

TEST(Publish, FailedSendTurnsTheArmIndicatorRedUntilASendSucceeds) {
  Harness h;
  auto& d = h.Show();
  d.ValueText = kExample;
  h.sockets.sendFails = true;
  d.Publish();
  EXPECT_EQ(d.PArm->Color(), TColor::Red);
  EXPECT_EQ(d.AxisLabels[0]->Caption(), "12.35");
  h.sockets.sendFails = false;
  d.Publish();
  EXPECT_EQ(d.PArm->Color(), TColor::Green);
  EXPECT_TRUE(h.app().errorBoxes.empty());
  EXPECT_EQ(d.LMessage->Caption(), "Hello, have fun!");  // no message for either case
}

TEST(Publish, UnusableRepliesAreNotReadings) {
  Harness h;
  auto& d = h.Show();
  d.ValueText = kExample;
  d.Publish();
  const auto shown = Captions(d);
  for (const std::u16string& bad : {std::u16string(), std::u16string(u"$AXIS_ACT = {E6AXIS: A1 1}"),
                                    std::u16string(u"$AXIS_ACT = {E6AXIS: A1 1, A2 2, A3 3, A4 "
                                                   u"4, A5 5, A6 3e38}")}) {
    d.PArm->SetColor(TColor::Green);
    d.ValueText = bad;
    d.Publish();
    EXPECT_EQ(Captions(d), shown);
    EXPECT_EQ(d.PArm->Color(), TColor::Red);
  }
  EXPECT_EQ(h.sockets.sent.size(), 1u);

  // In the running cycle an unreadable reply goes on to the pause as usual.
  jointcast::PollState = State::Publish;
  d.ValueText.clear();
  h.app().Step();
  EXPECT_EQ(jointcast::PollState, State::Pause);
}

TEST(Destination, ResolvesOnSetOrEnterAndKeepsTheOldAddressOnFailure) {
  Harness h;
  h.sockets.hosts["sim.local"] = {10, 0, 0, 5};
  h.sockets.hosts["192.168.1.20"] = {192, 168, 1, 20};
  auto& d = h.Show();
  auto& edit = static_cast<ui::memory::MemoryEdit&>(*d.EAddress);
  ASSERT_TRUE(d.AddressValid);
  h.app().RunFor(6000);  // the greeting has gone

  edit.SetText("nowhere");
  static_cast<ui::memory::MemoryButton&>(*d.BSet).ClickByUser();
  EXPECT_FALSE(d.AddressValid);
  EXPECT_EQ(d.LMessage->Caption(), "IP address not valid");
  EXPECT_EQ(d.LMessage->Color(), TColor::Red);
  EXPECT_EQ(d.Destination.address, (std::array<std::uint8_t, 4>{127, 0, 0, 1}));

  edit.SetText("sim.loca");
  edit.PressKey('L');  // other keys do nothing but type
  EXPECT_EQ(edit.Text(), "sim.locaL");
  EXPECT_FALSE(d.AddressValid);
  edit.SetText("sim.local");
  edit.PressKey(ui::kKeyReturn, {true, true, false});  // modifiers are ignored
  EXPECT_TRUE(d.AddressValid);
  EXPECT_EQ(d.Destination.address, (std::array<std::uint8_t, 4>{10, 0, 0, 5}));
  EXPECT_EQ(d.Destination.Port(), 4849);
  EXPECT_EQ(d.LMessage->Caption(), "IP address not valid");  // no new message on success

  edit.SetText("192.168.1.20");
  edit.PressKey(ui::kKeyReturn);
  EXPECT_EQ(d.Destination.address, (std::array<std::uint8_t, 4>{192, 168, 1, 20}));

  edit.SetText("");  // the empty name is this machine
  d.BSet->Click();
  EXPECT_TRUE(d.AddressValid);
  EXPECT_EQ(d.Destination.address, (std::array<std::uint8_t, 4>{10, 1, 2, 3}));
}

TEST(Destination, AFailingStartupLookupReplacesTheGreeting) {
  Harness h;
  h.sockets.hosts.erase("localhost");
  auto& d = h.Show();
  EXPECT_FALSE(d.AddressValid);
  EXPECT_EQ(d.LMessage->Caption(), "IP address not valid");
}
