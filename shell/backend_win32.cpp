// The native Windows toolkit: one top-level window per form, which also receives the messages of
// the form's timers and tray icon.
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

#include "os/text_win32.h"
#include "os/unique_handle.h"
#include "shell/application.h"

namespace shell {
namespace {

constexpr wchar_t kFormClass[] = L"TForm1";
constexpr UINT kTrayMessage = WM_APP + 1;
// The icons carried by the executable's resources.
constexpr wchar_t kApplicationIcon[] = L"MAINICON";
constexpr wchar_t kTrayIconImage[] = L"TRAYICON";

HINSTANCE Instance() {
  return ::GetModuleHandleW(nullptr);
}

// Sent to every top-level window when Explorer starts again and the notification area is new.
UINT TaskbarCreatedMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

HICON LoadIconSized(const wchar_t* name, int size) {
  HICON icon = static_cast<HICON>(::LoadImageW(Instance(), name, IMAGE_ICON, size, size, 0));
  if (icon == nullptr && name != kApplicationIcon)
    icon =
        static_cast<HICON>(::LoadImageW(Instance(), kApplicationIcon, IMAGE_ICON, size, size, 0));
  return icon;
}

struct IconTraits {
  using Handle = HICON;
  static constexpr HICON kInvalid = nullptr;
  static void Close(HICON icon) { ::DestroyIcon(icon); }
};
using IconHandle = os::UniqueHandle<IconTraits>;

struct FontTraits {
  using Handle = HFONT;
  static constexpr HFONT kInvalid = nullptr;
  static void Close(HFONT font) { ::DeleteObject(font); }
};
using FontHandle = os::UniqueHandle<FontTraits>;

// Returns true when it handled the message.
using MessageHook = std::function<bool(UINT message, WPARAM wparam, LPARAM lparam)>;

class Win32Form final : public Form {
 public:
  Win32Form(const FormLayout& layout, bool on_taskbar)
      : font_(::CreateFontW(layout.FontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                            DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                            DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                            os::Utf8ToWide(layout.FontName).c_str())) {
    RegisterClassOnce();
    const DWORD style = WS_OVERLAPPEDWINDOW;
    const DWORD ex_style = on_taskbar ? WS_EX_APPWINDOW : 0;
    RECT frame{0, 0, layout.ClientWidth, layout.ClientHeight};
    ::AdjustWindowRectEx(&frame, style, FALSE, ex_style);
    window_ = ::CreateWindowExW(ex_style, kFormClass, os::Utf8ToWide(layout.Caption).c_str(), style,
                                layout.Left, layout.Top, frame.right - frame.left,
                                frame.bottom - frame.top, nullptr, nullptr, Instance(), this);
    if (window_ == nullptr)
      throw std::runtime_error("cannot create the main window");
  }

  ~Win32Form() override {
    if (window_ != nullptr)
      ::DestroyWindow(window_);
  }

  void Show() override {
    ::ShowWindow(window_, SW_SHOW);
    ::SetForegroundWindow(window_);
  }
  void Hide() override { ::ShowWindow(window_, SW_HIDE); }
  bool Visible() const override { return ::IsWindowVisible(window_) != FALSE; }

  HWND window() const { return window_; }
  HFONT font() const { return font_.get(); }

  void AddHook(const void* owner, MessageHook hook) { hooks_.emplace_back(owner, std::move(hook)); }
  void RemoveHook(const void* owner) {
    std::erase_if(hooks_, [owner](const auto& h) { return h.first == owner; });
  }

 private:
  static void RegisterClassOnce() {
    static const ATOM atom = [] {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = WindowProc;
      wc.hInstance = Instance();
      wc.hIcon = LoadIconSized(kApplicationIcon, ::GetSystemMetrics(SM_CXICON));
      wc.hIconSm = LoadIconSized(kApplicationIcon, ::GetSystemMetrics(SM_CXSMICON));
      wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
      wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
      wc.lpszClassName = kFormClass;
      return ::RegisterClassExW(&wc);
    }();
    if (atom == 0)
      throw std::runtime_error("cannot register the main window class");
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
      ::SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<Win32Form*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr) {
      // No exception may unwind through the system's frames.
      try {
        if (self->Handle(message, wparam, lparam))
          return 0;
      } catch (...) {
      }
      if (message == WM_NCDESTROY) {
        self->window_ = nullptr;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      }
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
  }

  bool Handle(UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CLOSE) {
      // The window stays until its owner destroys it, so the tray icon can still be removed.
      Hide();
      ::PostQuitMessage(0);
      return true;
    }
    // A hook may remove itself or others, so walk a copy.
    const auto hooks = hooks_;
    bool handled = false;
    for (const auto& [owner, hook] : hooks)
      handled = hook(message, wparam, lparam) || handled;
    return handled;
  }

  FontHandle font_;
  HWND window_ = nullptr;
  std::vector<std::pair<const void*, MessageHook>> hooks_;
};

class Win32Memo final : public Memo {
 public:
  explicit Win32Memo(Win32Form& owner) : owner_(owner) {
    RECT client{};
    ::GetClientRect(owner.window(), &client);
    edit_ = ::CreateWindowExW(
        WS_EX_CLIENTEDGE, L"EDIT", L"",
        WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0, 0,
        client.right, client.bottom, owner.window(), nullptr, Instance(), nullptr);
    if (edit_ == nullptr)
      throw std::runtime_error("cannot create the text area");
    ::SendMessageW(edit_, WM_SETFONT, reinterpret_cast<WPARAM>(owner.font()), FALSE);
    owner_.AddHook(this, [this](UINT message, WPARAM, LPARAM lparam) {
      if (message == WM_SIZE)
        ::MoveWindow(edit_, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
      return false;
    });
  }
  ~Win32Memo() override {
    owner_.RemoveHook(this);
    if (::IsWindow(edit_))
      ::DestroyWindow(edit_);
  }

  std::string Text() const override {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(edit_)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(edit_, text.data(), static_cast<int>(text.size()))));
    return os::WideToUtf8(text);
  }

 private:
  Win32Form& owner_;
  HWND edit_ = nullptr;
};

class Win32Application final : public Application {
 public:
  std::unique_ptr<Form> CreateForm(const FormLayout& layout) override {
    return std::make_unique<Win32Form>(layout, MainFormOnTaskBar);
  }
  std::unique_ptr<Memo> CreateMemo(Form& owner) override {
    return std::make_unique<Win32Memo>(static_cast<Win32Form&>(owner));
  }
  std::unique_ptr<TrayIcon> CreateTrayIcon(Form& owner, const std::string& hint) override;
  std::unique_ptr<Timer> CreateTimer(Form& owner, int interval_ms) override;

  int Run(Form& main_form) override {
    main_form.Show();
    MSG message{};
    for (;;) {
      const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
      if (got == 0)
        return static_cast<int>(message.wParam);
      if (got < 0)
        return 1;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }

  // The error box; the program goes on running in the notification area afterwards.
  void HandleException(const std::exception& error) override {
    ::MessageBoxW(nullptr, os::Utf8ToWide(error.what()).c_str(), L"Kestrune",
                  MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  }
};

class Win32TrayIcon final : public TrayIcon {
 public:
  Win32TrayIcon(Application& app, Win32Form& owner, std::string hint)
      : app_(app),
        owner_(owner),
        hint_(std::move(hint)),
        icon_(LoadIconSized(kTrayIconImage, ::GetSystemMetrics(SM_CXSMICON))) {
    owner_.AddHook(this, [this](UINT message, WPARAM wparam, LPARAM lparam) {
      return OnMessage(message, wparam, lparam);
    });
    Add();
  }
  ~Win32TrayIcon() override {
    NOTIFYICONDATAW data = Data();
    ::Shell_NotifyIconW(NIM_DELETE, &data);
    owner_.RemoveHook(this);
  }

  std::string Hint() const override { return hint_; }

 private:
  static constexpr UINT kId = 1;

  NOTIFYICONDATAW Data() const {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = owner_.window();
    data.uID = kId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = icon_.get();
    const std::wstring tip = os::Utf8ToWide(hint_);
    std::wmemcpy(data.szTip, tip.data(), std::min(tip.size(), std::size(data.szTip) - 1));
    return data;
  }

  // Fails while the notification area does not exist yet; TaskbarCreated brings another try.
  void Add() {
    NOTIFYICONDATAW data = Data();
    ::Shell_NotifyIconW(NIM_ADD, &data);
  }

  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == TaskbarCreatedMessage()) {
      Add();
      return false;
    }
    if (message != kTrayMessage || wparam != kId)
      return false;
    switch (LOWORD(lparam)) {
      case WM_LBUTTONUP:
        // The release that ends a double-click is not a click of its own, or the window
        // would show and hide again at once.
        if (std::exchange(after_double_click_, false))
          break;
        app_.Dispatch(OnClick, *this);
        break;
      case WM_LBUTTONDBLCLK:
        after_double_click_ = true;
        app_.Dispatch(OnDblClick, *this);
        break;
      default:
        break;
    }
    return true;
  }

  Application& app_;
  Win32Form& owner_;
  std::string hint_;
  IconHandle icon_;
  bool after_double_click_ = false;
};

class Win32Timer final : public Timer {
 public:
  Win32Timer(Application& app, Win32Form& owner, int interval_ms)
      : app_(app), owner_(owner), interval_(interval_ms), id_(NextId()) {
    owner_.AddHook(this, [this](UINT message, WPARAM wparam, LPARAM) {
      if (message != WM_TIMER || wparam != id_)
        return false;
      if (enabled_)
        app_.Dispatch(OnTimer, *this);
      return true;
    });
    SetEnabled(true);
  }
  ~Win32Timer() override {
    SetEnabled(false);
    owner_.RemoveHook(this);
  }

  void SetEnabled(bool enabled) override {
    if (enabled == enabled_)
      return;
    enabled_ = enabled;
    if (enabled)
      ::SetTimer(owner_.window(), id_, static_cast<UINT>(interval_), nullptr);
    else
      ::KillTimer(owner_.window(), id_);
  }
  bool Enabled() const override { return enabled_; }
  int Interval() const override { return interval_; }

 private:
  static UINT_PTR NextId() {
    static UINT_PTR next = 1;
    return next++;
  }

  Application& app_;
  Win32Form& owner_;
  int interval_;
  UINT_PTR id_;
  bool enabled_ = false;
};

std::unique_ptr<TrayIcon> Win32Application::CreateTrayIcon(Form& owner, const std::string& hint) {
  return std::make_unique<Win32TrayIcon>(*this, static_cast<Win32Form&>(owner), hint);
}

std::unique_ptr<Timer> Win32Application::CreateTimer(Form& owner, int interval_ms) {
  return std::make_unique<Win32Timer>(*this, static_cast<Win32Form&>(owner), interval_ms);
}

}  // namespace

// Windows always has a desktop, so there is no headless choice here.
std::unique_ptr<Application> CreateApplication(int, char**) {
  return std::make_unique<Win32Application>();
}

}  // namespace shell
