#include "ui/win/WinApplication.h"

#include <ole2.h>

#include "ui/win/WinText.h"

namespace ui::win {
namespace {

constexpr UINT kRunPosted = WM_APP + 1;
constexpr wchar_t kPostClass[] = L"JointcastPostedWork";

}  // namespace

WinApplication::WinApplication() {
  // ActiveX controls need OLE on the GUI thread.
  oleInitialized_ = SUCCEEDED(OleInitialize(nullptr));
  WNDCLASSW cls{};
  cls.lpfnWndProc = PostWindowProc;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.lpszClassName = kPostClass;
  RegisterClassW(&cls);
  postWindow_ = CreateWindowExW(0, kPostClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                cls.hInstance, nullptr);
  SetWindowLongPtrW(postWindow_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

WinApplication::~WinApplication() {
  if (postWindow_ != nullptr) DestroyWindow(postWindow_);
  if (oleInitialized_) OleUninitialize();
}

LRESULT CALLBACK WinApplication::PostWindowProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  auto* self = reinterpret_cast<WinApplication*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && (message == kRunPosted || message == WM_TIMER)) {
    if (message == WM_TIMER) KillTimer(window, wParam);
    self->RunPosted(wParam);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void WinApplication::RunPosted(UINT_PTR id) {
  auto it = posted_.find(id);
  if (it == posted_.end()) return;
  auto work = std::move(it->second);
  posted_.erase(it);
  Dispatch(work);
}

void WinApplication::Post(std::uint32_t delayMs, std::function<void()> work) {
  UINT_PTR id = nextId_++;
  if (nextId_ == 0) nextId_ = 1;
  posted_[id] = std::move(work);
  if (delayMs == 0) {
    PostMessageW(postWindow_, kRunPosted, id, 0);
  } else {
    SetTimer(postWindow_, id, delayMs, nullptr);
  }
}

bool WinApplication::HandleOneMessage(bool& quit) {
  MSG msg;
  if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_QUIT) {
    quit = true;
    return true;
  }
  if (dialog_ == nullptr || !IsDialogMessageW(dialog_, &msg)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return true;
}

void WinApplication::ProcessMessages() {
  bool quit = false;
  while (!quit && HandleOneMessage(quit)) {
  }
  if (quit) PostQuitMessage(0);  // leave it for the main loop
}

void WinApplication::Run(TForm& mainForm) {
  mainForm.Show();
  bool quit = false;
  while (!quit) {
    if (HandleOneMessage(quit)) continue;
    bool done = true;
    wait_.reset();
    if (idle_) {
      auto idle = idle_;  // the handler may remove itself
      Dispatch([&] { idle(nullptr, done); });
    }
    if (done) {
      WaitMessage();
    } else if (wait_ && *wait_ > 0) {
      // Until the handler's deadline or the first message, whichever comes first.
      MsgWaitForMultipleObjectsEx(0, nullptr, *wait_, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }
}

void WinApplication::ShowErrorBox(const std::string& text) {
  MessageBoxW(GetActiveWindow(), Wide(text).c_str(), Wide(Title()).c_str(),
              MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace ui::win
