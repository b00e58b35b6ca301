#pragma once

#include <memory>

#include "app/Mdialog.h"
#include "app/PollCycle.h"
#include "lib/sim/SimulatedCross.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSockets.h"
#include "ui/memory/MemoryToolkit.h"

// The window on the in-memory front-end, a fake clock, fake sockets and the simulated controller.
struct Harness {
  explicit Harness(platform::Tick start = 100000, std::uint32_t latencyMs = 4)
      : clock(start), toolkit(clock), latency(latencyMs) {
    jointcast::PollState = jointcast::State::WaitRetry;
    jointcast::LastTick = 0;
  }

  jointcast::DialogEnvironment Environment() {
    return {toolkit, clock, sockets, [this]() -> std::unique_ptr<crosslib::TCross> {
              auto control = std::make_unique<sim::SimulatedCross>(toolkit.app, clock, latency);
              cross = control.get();
              return control;
            }};
  }

  jointcast::TFMDialog& Create() {
    dialog = std::make_unique<jointcast::TFMDialog>(Environment());
    return *dialog;
  }
  jointcast::TFMDialog& Show() {
    if (!dialog) Create();
    dialog->Form->Show();
    return *dialog;
  }

  ui::memory::MemoryApplication& app() { return toolkit.app; }
  ui::memory::MemoryForm& form() { return static_cast<ui::memory::MemoryForm&>(*dialog->Form); }
  bool RunUntilState(jointcast::State state, int maxSteps = 100000) {
    return app().RunUntil([&] { return jointcast::PollState == state; }, maxSteps);
  }

  platform::FakeClock clock;
  ui::memory::MemoryToolkit toolkit;
  platform::FakeSockets sockets;
  std::uint32_t latency;
  sim::SimulatedCross* cross = nullptr;  // owned by the dialog; gone after FatalError
  std::unique_ptr<jointcast::TFMDialog> dialog;
};
