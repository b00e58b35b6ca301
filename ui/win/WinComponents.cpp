#include "ui/win/WinComponents.h"

#include "ui/win/WinText.h"

namespace ui::win {
namespace {

constexpr wchar_t kFormClass[] = L"TFMDialog";
constexpr DWORD kFormStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
constexpr DWORD kFormExStyle = WS_EX_DLGMODALFRAME;

HINSTANCE Instance() {
  return GetModuleHandleW(nullptr);
}

HWND CreateChild(WinForm& form, const wchar_t* cls, DWORD style, const Bounds& b,
                 const std::string& text) {
  HWND child =
      CreateWindowExW(0, cls, Wide(text).c_str(), WS_CHILD | WS_VISIBLE | style, b.left, b.top,
                      b.width, b.height, form.Window(), nullptr, Instance(), nullptr);
  SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(form.Font()), FALSE);
  return child;
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));
  return Narrow(text);
}

}  // namespace

COLORREF ToColorRef(TColor color) {
  if (color == TColor::BtnFace) return GetSysColor(COLOR_BTNFACE);
  const Rgb rgb = ToRgb(color);
  return RGB(rgb.r, rgb.g, rgb.b);
}

// --- form

WinForm::WinForm(const FormDef& def, TApplication& app) : TForm("FMDialog"), app_(app) {
  WNDCLASSW cls{};
  cls.lpfnWndProc = WindowProc;
  cls.hInstance = Instance();
  cls.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.lpszClassName = kFormClass;
  RegisterClassW(&cls);
  RECT frame{0, 0, def.clientWidth, def.clientHeight};
  AdjustWindowRectEx(&frame, kFormStyle, FALSE, kFormExStyle);
  window_ = CreateWindowExW(kFormExStyle, kFormClass, Wide(def.caption).c_str(), kFormStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, nullptr, Instance(), nullptr);
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  // Only Close on the system menu: the window has a fixed size.
  HMENU menu = GetSystemMenu(window_, FALSE);
  for (UINT item : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE}) {
    DeleteMenu(menu, item, MF_BYCOMMAND);
  }
  font_ = CreateFontW(def.fontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_DONTCARE, Wide(def.fontName).c_str());
}

WinForm::~WinForm() {
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
  DeleteObject(font_);
  for (auto& [color, brush] : brushes_) DeleteObject(brush);
}

HBRUSH WinForm::Brush(TColor color) {
  if (color == TColor::BtnFace) return GetSysColorBrush(COLOR_BTNFACE);
  auto it = brushes_.find(color);
  if (it == brushes_.end()) it = brushes_.emplace(color, CreateSolidBrush(ToColorRef(color))).first;
  return it->second;
}

LRESULT CALLBACK WinForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<WinForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT WinForm::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CTLCOLORSTATIC: {
      auto it = coloured_.find(reinterpret_cast<HWND>(lParam));
      if (it == coloured_.end()) break;
      HDC dc = reinterpret_cast<HDC>(wParam);
      const TColor text = it->second->Foreground();
      SetTextColor(dc, text == TColor::BtnFace ? GetSysColor(COLOR_BTNTEXT) : ToColorRef(text));
      SetBkColor(dc, ToColorRef(it->second->Background()));
      return reinterpret_cast<LRESULT>(Brush(it->second->Background()));
    }
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        auto it = buttons_.find(reinterpret_cast<HWND>(lParam));
        if (it != buttons_.end()) {
          TButton* button = it->second;
          app_.Dispatch([button] { button->Click(); });
          return 0;
        }
      }
      break;
    case WM_TIMER: {
      auto it = timers_.find(wParam);
      if (it != timers_.end()) {
        TTimer* timer = it->second;
        app_.Dispatch([timer] {
          if (timer->OnTimer) timer->OnTimer(timer);
        });
      }
      return 0;
    }
    case WM_SHOWWINDOW:
      app_.Dispatch([&] {
        if (wParam && OnShow) OnShow(this);
        if (!wParam && OnHide) OnHide(this);
      });
      break;
    case WM_ACTIVATE:
      // Keyboard focus as a dialog keeps it: the first tab stop (the address field) at first,
      // then, after the user has been elsewhere, the control that had it.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(window_, focus)) focus_ = focus;
      } else {
        HWND target = focus_ != nullptr && IsWindow(focus_)
                          ? focus_
                          : GetNextDlgTabItem(window_, nullptr, FALSE);
        if (target != nullptr) SetFocus(target);
      }
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void WinForm::Show() {
  ShowWindow(window_, SW_SHOW);
  UpdateWindow(window_);
}

void WinForm::Close() {
  if (IsWindowVisible(window_)) ShowWindow(window_, SW_HIDE);  // runs OnHide
  PostQuitMessage(0);
}

void WinForm::SetPosition(int left, int top) {
  SetWindowPos(window_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int WinForm::Left() const {
  RECT r;
  GetWindowRect(window_, &r);
  return r.left;
}

int WinForm::Top() const {
  RECT r;
  GetWindowRect(window_, &r);
  return r.top;
}

int WinForm::Width() const {
  RECT r;
  GetWindowRect(window_, &r);
  return r.right - r.left;
}

int WinForm::ScreenWidth() const {
  return GetSystemMetrics(SM_CXSCREEN);
}

// --- label

WinLabel::WinLabel(WinForm& form, const LabelDef& def)
    : TLabel(def.name),
      form_(form),
      window_(CreateChild(form, L"STATIC",
                          (def.alignment == Alignment::Right    ? SS_RIGHT
                           : def.alignment == Alignment::Center ? SS_CENTER
                                                                : SS_LEFT) |
                              SS_NOPREFIX,
                          def.bounds, def.caption)) {
  form_.AddColoured(window_, this);
}

WinLabel::~WinLabel() {
  form_.Forget(window_);
  DestroyWindow(window_);
}

// Labels are set five times a second, mostly to what they already show: only a change repaints.
void WinLabel::SetCaption(const std::string& caption) {
  if (caption != Caption()) SetWindowTextW(window_, Wide(caption).c_str());
}
std::string WinLabel::Caption() const {
  return WindowText(window_);
}

void WinLabel::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  InvalidateRect(window_, nullptr, TRUE);
}

// --- panel

WinPanel::WinPanel(WinForm& form, const PanelDef& def)
    : TPanel(def.name),
      form_(form),
      window_(CreateChild(form, L"STATIC", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, def.bounds,
                          def.caption)),
      color_(def.color),
      text_(def.textColor) {
  SetWindowLongPtrW(window_, GWL_EXSTYLE, WS_EX_DLGMODALFRAME);  // the raised panel edge
  SetWindowPos(window_, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
  form_.AddColoured(window_, this);
}

WinPanel::~WinPanel() {
  form_.Forget(window_);
  DestroyWindow(window_);
}

void WinPanel::SetCaption(const std::string& caption) {
  SetWindowTextW(window_, Wide(caption).c_str());
}
std::string WinPanel::Caption() const {
  return WindowText(window_);
}

void WinPanel::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  InvalidateRect(window_, nullptr, TRUE);
}

// --- edit

WinEdit::WinEdit(WinForm& form, const EditDef& def)
    : TEdit(def.name),
      form_(form),
      window_(
          CreateChild(form, L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL | ES_LEFT, def.bounds, def.text)) {
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  original_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EditProc)));
}

WinEdit::~WinEdit() {
  SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
  DestroyWindow(window_);
}

LRESULT CALLBACK WinEdit::EditProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<WinEdit*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_GETDLGCODE) {
    // Enter belongs to the edit, so its key handler sees it.
    LRESULT code = CallWindowProcW(self->original_, window, message, wParam, lParam);
    const auto* msg = reinterpret_cast<const MSG*>(lParam);
    if (msg != nullptr && msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN)
      code |= DLGC_WANTALLKEYS;
    return code;
  }
  if (message == WM_KEYDOWN && self->OnKeyDown) {
    const ShiftState shift{GetKeyState(VK_SHIFT) < 0, GetKeyState(VK_CONTROL) < 0,
                           GetKeyState(VK_MENU) < 0};
    const auto key = static_cast<std::uint16_t>(wParam);
    self->form_.App().Dispatch([&] { self->OnKeyDown(self, key, shift); });
  }
  if (message == WM_CHAR && wParam == L'\r') return 0;  // no beep for Enter
  return CallWindowProcW(self->original_, window, message, wParam, lParam);
}

std::string WinEdit::Text() const {
  return WindowText(window_);
}
void WinEdit::SetText(const std::string& text) {
  SetWindowTextW(window_, Wide(text).c_str());
}

// --- button

WinButton::WinButton(WinForm& form, const ButtonDef& def)
    : TButton(def.name),
      form_(form),
      window_(CreateChild(form, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, def.bounds, def.caption)) {
  form_.AddButton(window_, this);
}

WinButton::~WinButton() {
  form_.Forget(window_);
  DestroyWindow(window_);
}

// --- timer

WinTimer::WinTimer(WinForm& form, const TimerDef& def)
    : TTimer(def.name), form_(form), id_(form.NextTimerId()), interval_(def.interval) {
  form_.AddTimer(id_, this);
  SetEnabled(def.enabled);
}

WinTimer::~WinTimer() {
  SetEnabled(false);
  form_.ForgetTimer(id_);
}

void WinTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;  // enabling again must not restart the countdown
  enabled_ = enabled;
  if (enabled) {
    SetTimer(form_.Window(), id_, interval_, nullptr);
  } else {
    KillTimer(form_.Window(), id_);
  }
}

}  // namespace ui::win
