#include "ui/memory/MemoryComponents.h"

namespace ui::memory {

void MemoryEdit::PressKey(std::uint16_t key, ShiftState shift) {
  app_.Dispatch([&] {
    if (OnKeyDown) OnKeyDown(this, key, shift);
  });
  if (key == 8) {
    if (!text_.empty()) text_.pop_back();
  } else if (key >= 0x20 && key < 0x7f) {
    text_ += static_cast<char>(key);
  }
}

MemoryTimer::MemoryTimer(const TimerDef& def, MemoryApplication& app)
    : TTimer(def.name), app_(app), interval_(def.interval) {
  app_.AddTimer(this);
  SetEnabled(def.enabled);
}

MemoryTimer::~MemoryTimer() {
  app_.RemoveTimer(this);
}

void MemoryTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled) deadline_ = app_.Clock().Now() + interval_;
}

void MemoryTimer::Fire() {
  deadline_ = app_.Clock().Now() + interval_;
  app_.Dispatch([this] {
    if (OnTimer) OnTimer(this);
  });
}

void MemoryForm::Show() {
  if (visible) return;
  visible = true;
  app_.Dispatch([this] {
    if (OnShow) OnShow(this);
  });
}

void MemoryForm::Close() {
  closed = true;
  if (visible) {
    visible = false;
    app_.Dispatch([this] {
      if (OnHide) OnHide(this);
    });
  }
  app_.Quit();
}

}  // namespace ui::memory
