// winprobe: looks at Jointcast's window from outside, as a person would, for the tests under Wine.
//   winprobe window COLOUR   waits for the window, checks frame, layout, captions, placement and
//                            that the Cross indicator shows COLOUR (red, yellow or green)
//   winprobe close           closes the window through its system menu's Close and waits for it
//   winprobe errorbox [TEXT] waits for the error box, prints its text, presses OK; fails if the
//                            main window exists or the text does not start with TEXT
//   winprobe focus           the address field has the keyboard focus at first; the control
//                            that had it has it again after the window was left and reactivated
//   winprobe status          Enter with a bad host name in the address field runs Set: the
//                            status line shows the error in red; a second one 3 s later does not
//                            restart the countdown, so the resting notice is back 5 s after the
//                            first
//   winprobe decimal SEP     the value labels use the decimal separator SEP
//   winprobe runerror TEXT   an error box appears while the window runs, its text contains
//                            TEXT; presses OK and checks that the window is still there
// Exit status 0 when every check holds; each failed check is printed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failures;
}

HWND WaitFor(const wchar_t* cls, const wchar_t* title, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    // Shown, that is complete: the window exists a while before its children and placement.
    HWND w = FindWindowW(cls, title);
    if (w != nullptr && IsWindowVisible(w)) return w;
    Sleep(100);
  }
  return nullptr;
}

// A WNDENUMPROC is stdcall on 32-bit Windows, which a plain lambda is not.
BOOL CALLBACK AddChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, AddChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

std::wstring Text(HWND window) {
  // WM_GETTEXT, not GetWindowText: an edit in another process answers only the message.
  wchar_t text[256] = {};
  SendMessageTimeoutW(window, WM_GETTEXT, 255, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      1000, nullptr);
  return text;
}

HWND ChildWithText(HWND parent, const wchar_t* text) {
  for (HWND child : Children(parent)) {
    if (Text(child) == text) return child;
  }
  return nullptr;
}

// Colour of a pixel inside a child, taken from the screen as it is drawn.
COLORREF PixelIn(HWND child, int x, int y) {
  RECT r;
  GetWindowRect(child, &r);
  HDC screen = GetDC(nullptr);
  const COLORREF colour = GetPixel(screen, r.left + x, r.top + y);
  ReleaseDC(nullptr, screen);
  return colour;
}

// Polls a condition every 100 ms for up to the given seconds.
template <typename Condition>
bool Eventually(Condition condition, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (condition()) return true;
    Sleep(100);
  }
  return condition();
}

COLORREF Named(const char* name) {
  if (std::strcmp(name, "red") == 0) return RGB(255, 0, 0);
  if (std::strcmp(name, "yellow") == 0) return RGB(255, 255, 0);
  return RGB(0, 128, 0);
}

int ProbeWindow(const char* colour) {
  HWND w = WaitFor(L"TFMDialog", L"Jointcast V3", 20);
  Check(w != nullptr, "window \"Jointcast V3\" is shown");
  if (w == nullptr) return 1;
  RECT client, frame;
  GetClientRect(w, &client);
  GetWindowRect(w, &frame);
  Check(client.right == 159 && client.bottom == 125, "client area is 159 x 125");
  const LONG style = GetWindowLongW(w, GWL_STYLE);
  Check((style & WS_SYSMENU) && !(style & WS_MINIMIZEBOX) && !(style & WS_MAXIMIZEBOX) &&
            !(style & WS_THICKFRAME),
        "fixed dialog frame: system menu only, no minimise, maximise or sizing");
  char where[96];
  std::snprintf(where, sizeof where,
                "placed at the top-right corner (frame %ld,%ld-%ld,%ld, screen %d)", frame.left,
                frame.top, frame.right, frame.bottom, GetSystemMetrics(SM_CXSCREEN));
  Check(frame.right == GetSystemMetrics(SM_CXSCREEN) && frame.top == 0, where);
  for (const wchar_t* caption :
       {L"Cross", L"Arm", L"Set", L"A1", L"A2", L"A3", L"A4", L"A5", L"A6", L"localhost"}) {
    char what[64];
    std::snprintf(what, sizeof what, "a child shows \"%ls\"", caption);
    // The frame can be found before its children are made (seconds apart in an emulated PC).
    Check(Eventually([&] { return ChildWithText(w, caption) != nullptr; }, 10), what);
  }
  HWND cross = ChildWithText(w, L"Cross");
  HWND arm = ChildWithText(w, L"Arm");
  HWND set = ChildWithText(w, L"Set");
  if (cross == nullptr || arm == nullptr || set == nullptr) return 1;
  RECT r;
  GetWindowRect(cross, &r);
  Check(r.right - r.left == 65 && r.bottom - r.top == 25, "Cross indicator is 65 x 25");
  GetWindowRect(set, &r);
  Check(r.right - r.left == 41 && r.bottom - r.top == 17, "Set button is 41 x 17");

  const COLORREF wanted = Named(colour);
  const bool seen = Eventually([&] { return PixelIn(cross, 6, 6) == wanted; }, 10);
  char what[64];
  std::snprintf(what, sizeof what, "Cross indicator turns %s", colour);
  Check(seen, what);
  if (std::strcmp(colour, "green") == 0) {
    const bool armGreen = Eventually([&] { return PixelIn(arm, 6, 6) == RGB(0, 128, 0); }, 5);
    Check(armGreen, "Arm indicator turns green while datagrams go out");
    HWND a1 = ChildWithText(w, L"A1");
    bool moving = false;
    // The value label to the right of "A1" changes as the arm moves.
    for (HWND child : Children(w)) {
      RECT c, l;
      GetWindowRect(child, &c);
      GetWindowRect(a1, &l);
      if (c.top == l.top && c.left == l.right + 3) {
        const std::wstring before = Text(child);
        Sleep(600);
        moving = Text(child) != before && Text(child) != L"0";
      }
    }
    Check(moving, "A1 shows a changing angle");
  }
  return failures == 0 ? 0 : 1;
}

int CloseWindow() {
  HWND w = WaitFor(L"TFMDialog", L"Jointcast V3", 20);
  Check(w != nullptr, "window is there to close");
  if (w == nullptr) return 1;
  PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
  const bool gone = Eventually([&] { return !IsWindowVisible(w); }, 10);
  Check(gone, "window closes through the system menu");
  return failures == 0 ? 0 : 1;
}

// Waits for the program's error box; its text (printed for the log), or nullopt when none came.
std::optional<std::wstring> WaitForErrorBox(HWND& box) {
  box = WaitFor(L"#32770", L"Jointcast", 20);
  Check(box != nullptr, "an error box titled \"Jointcast\" appears");
  if (box == nullptr) return std::nullopt;
  std::wstring message;
  for (HWND child : Children(box)) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 31);
    if (std::wstring(cls) == L"Static" && !Text(child).empty()) message = Text(child);
  }
  std::printf("error box: %ls\n", message.c_str());
  return message;
}

std::wstring Wide(const char* text) {
  wchar_t wide[256] = {};
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 255);
  return wide;
}

int ErrorBox(const char* expected) {
  HWND box = nullptr;
  const auto shown = WaitForErrorBox(box);
  if (!shown) return 1;
  const std::wstring& message = *shown;
  Check(!message.empty() && message.back() == L'.', "it shows an error text ending in a full stop");
  if (expected != nullptr) {
    const std::wstring wanted = Wide(expected);
    Check(message.rfind(wanted, 0) == 0, "the error text says what is wrong");
  }
  Check(FindWindowW(L"TFMDialog", nullptr) == nullptr ||
            !IsWindowVisible(FindWindowW(L"TFMDialog", nullptr)),
        "the main window is not shown");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return failures == 0 ? 0 : 1;
}

HWND WindowOfThread(HWND w, HWND (*pick)(const GUITHREADINFO&)) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info)) return nullptr;
  return pick(info);
}

HWND Focused(HWND w) {
  return WindowOfThread(w, [](const GUITHREADINFO& info) { return info.hwndFocus; });
}

// A window of the probe's own, to take the activation away from Jointcast.
HWND OtherWindow() {
  return CreateWindowExW(0, L"STATIC", L"winprobe", WS_POPUP | WS_VISIBLE, 0, 300, 100, 50, nullptr,
                         nullptr, GetModuleHandleW(nullptr), nullptr);
}

void PressKey(HWND target, WPARAM key) {
  PostMessageW(target, WM_KEYDOWN, key, 1);
  PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

int Focus() {
  HWND w = WaitFor(L"TFMDialog", L"Jointcast V3", 20);
  Check(w != nullptr, "window is shown");
  if (w == nullptr) return 1;
  HWND edit = ChildWithText(w, L"localhost");
  HWND set = ChildWithText(w, L"Set");
  Check(Eventually([&] { return Focused(w) == edit; }, 5), "the address field has the focus");
  PressKey(edit, VK_TAB);
  Check(Eventually([&] { return Focused(w) == set; }, 5), "Tab moves the focus to Set");
  HWND other = OtherWindow();
  SetForegroundWindow(other);
  Check(Eventually([&] { return GetForegroundWindow() == other; }, 5), "another window is active");
  SetForegroundWindow(w);
  Check(Eventually([&] { return Focused(w) == set; }, 5),
        "back in the window, Set has the focus again");
  DestroyWindow(other);
  return failures == 0 ? 0 : 1;
}

int Status() {
  HWND w = WaitFor(L"TFMDialog", L"Jointcast V3", 20);
  Check(w != nullptr, "window is shown");
  if (w == nullptr) return 1;
  HWND edit = ChildWithText(w, L"localhost");
  if (edit == nullptr) return 1;
  // The greeting's countdown must be over first, or it would end the first message early.
  Check(Eventually([&] { return ChildWithText(w, L"Jointcast V3 - UDP 4849") != nullptr; }, 10),
        "the status line rests after the greeting");
  auto enter = [&] {
    SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"no.such.host.invalid"),
                        SMTO_ABORTIFHUNG, 1000, nullptr);
    PressKey(edit, VK_RETURN);
  };
  enter();
  HWND status = nullptr;
  Check(Eventually([&] { return (status = ChildWithText(w, L"IP address not valid")) != nullptr; },
                   3),
        "Enter runs Set: the status line says \"IP address not valid\"");
  if (status == nullptr) return 1;
  const DWORD first = GetTickCount();  // the lookup before it may take a moment
  Check(Eventually([&] { return PixelIn(status, 2, 2) == RGB(255, 0, 0); }, 2),
        "the error is shown in red");
  Sleep(3000);
  enter();  // within the first message's 5 s
  while (GetTickCount() - first < 6500) Sleep(100);
  const bool resting = Text(status) == L"Jointcast V3 - UDP 4849";
  if (!resting) {
    Eventually([&] { return Text(status) == L"Jointcast V3 - UDP 4849"; }, 10);
    std::printf("status line at 6.5 s: \"%ls\"; resting notice after %lu ms\n",
                Text(status).c_str(), static_cast<unsigned long>(GetTickCount() - first));
  }
  Check(resting, "the resting notice is back 5 s after the first message, not the second");
  Check(PixelIn(status, 2, 2) != RGB(255, 0, 0), "and not in red");
  return failures == 0 ? 0 : 1;
}

int Decimal(const char* separator) {
  HWND w = WaitFor(L"TFMDialog", L"Jointcast V3", 20);
  Check(w != nullptr, "window is shown");
  if (w == nullptr) return 1;
  const std::wstring wanted = Wide(separator);
  std::wstring value = L"(none)";  // the last one seen, for the log
  const bool seen = Eventually(
      [&] {
        HWND a1 = ChildWithText(w, L"A1");  // perhaps not made yet
        if (a1 == nullptr) return false;
        for (HWND child : Children(w)) {
          RECT c, l;
          GetWindowRect(child, &c);
          GetWindowRect(a1, &l);
          if (c.top != l.top || c.left != l.right + 3) continue;
          value = Text(child);
          return value.find(wanted) != std::wstring::npos && value.find(L'.') == std::wstring::npos;
        }
        return false;
      },
      20);
  char what[96];
  std::snprintf(what, sizeof what, "A1's value uses the locale's separator \"%s\" (%ls)", separator,
                value.c_str());
  Check(seen, what);
  return failures == 0 ? 0 : 1;
}

int RunError(const char* expected) {
  HWND box = nullptr;
  const auto shown = WaitForErrorBox(box);
  if (!shown) return 1;
  Check(shown->find(Wide(expected)) != std::wstring::npos,
        "it carries the control's own description");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  Sleep(500);
  HWND w = FindWindowW(L"TFMDialog", L"Jointcast V3");
  Check(w != nullptr && IsWindowVisible(w), "the program goes on");
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "window") == 0) return ProbeWindow(argv[2]);
  if (argc >= 2 && std::strcmp(argv[1], "close") == 0) return CloseWindow();
  if (argc >= 2 && std::strcmp(argv[1], "errorbox") == 0) {
    return ErrorBox(argc >= 3 ? argv[2] : nullptr);
  }
  if (argc >= 2 && std::strcmp(argv[1], "focus") == 0) return Focus();
  if (argc >= 2 && std::strcmp(argv[1], "status") == 0) return Status();
  if (argc >= 3 && std::strcmp(argv[1], "decimal") == 0) return Decimal(argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "runerror") == 0) return RunError(argv[2]);
  std::fprintf(stderr,
               "usage: winprobe window red|yellow|green | close | errorbox [TEXT] | focus | "
               "status | decimal SEP | runerror TEXT\n");
  return 2;
}
