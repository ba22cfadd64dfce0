// Form1 and its controls on Win32.
#include "app/form1-win32.h"

#include <cstring>
#include <string>

#include "app/platform-win32.h"
#include "app/resource.h"
#include "playback/play_and_wait.h"
#include "playback/runtime_error.h"

namespace quorwind {

namespace {

constexpr wchar_t kForm1Class[] = L"QuorwindForm1";

/// The screen's resolution, in dots per inch along each axis.
POINT ScreenDpi() {
  POINT dpi{96, 96};
  if (HDC screen = GetDC(nullptr)) {
    dpi.x = GetDeviceCaps(screen, LOGPIXELSX);
    dpi.y = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  return dpi;
}

HWND CreateChild(HWND form, HINSTANCE instance, const wchar_t* window_class, DWORD style,
                 const ControlLayout& layout, int id, POINT dpi) {
  return CreateWindowExW(0, window_class, WideString(layout.caption).c_str(), WS_CHILD | style,
                         TwipsToPixels(layout.left, dpi.x), TwipsToPixels(layout.top, dpi.y),
                         TwipsToPixels(layout.width, dpi.x), TwipsToPixels(layout.height, dpi.y),
                         form, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                         nullptr);
}

/// The window system's refusal of |what|, with its reason.
[[noreturn]] void WindowSystemFailure(const char* what) {
  const DWORD code = GetLastError();
  wchar_t* reason = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&reason), 0, nullptr);
  std::wstring text = reason ? reason : L"";
  if (reason) LocalFree(reason);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) {
    text.pop_back();
  }
  std::string detail = std::string("Cannot create ") + what + " (error " + std::to_string(code);
  if (!text.empty()) {
    // In the ANSI code page, as the report reads its text.
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes > 0 ? bytes : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), bytes, nullptr, nullptr);
    narrow.resize(std::strlen(narrow.c_str()));
    detail += ": " + narrow;
  }
  throw RuntimeError(RuntimeErrorKind::kWindowSystem, detail + ")");
}

[[noreturn]] void CaptionFailure() {
  throw RuntimeError(RuntimeErrorKind::kCaptionAccess, "Cannot access the caption of Label1");
}

}  // namespace

void WindowCaption::SetCaption(std::u16string_view caption) {
  if (!window_ || !SetWindowTextW(window_, WideString(caption).c_str())) CaptionFailure();
}

std::u16string WindowCaption::GetCaption() const {
  if (!window_) CaptionFailure();
  SetLastError(ERROR_SUCCESS);
  const int length = GetWindowTextLengthW(window_);
  if (length == 0 && GetLastError() != ERROR_SUCCESS) CaptionFailure();
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window_, text.data(), length + 1);
  if (copied == 0 && length != 0) CaptionFailure();
  text.resize(static_cast<std::size_t>(copied));
  return U16String(text);
}

void Form1::CreateControls(HWND form, HINSTANCE instance) {
  const POINT dpi = ScreenDpi();
  CreateChild(form, instance, L"STATIC", SS_LEFT, kLabel1Layout, IDC_LABEL1, dpi);
  CreateChild(form, instance, L"BUTTON", BS_PUSHBUTTON, kCommand1Layout, IDC_COMMAND1, dpi);
}

LRESULT CALLBACK Form1::WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    CreateControls(window, create->hInstance);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void Form1::Create(HINSTANCE instance) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = WindowProcedure;
  window_class.hInstance = instance;
  window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_QUORWIND));
  window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  window_class.lpszClassName = kForm1Class;
  if (!RegisterClassExW(&window_class)) WindowSystemFailure("the window class of Form1");

  const POINT dpi = ScreenDpi();
  constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT frame{0, 0, TwipsToPixels(kForm1Layout.width, dpi.x),
             TwipsToPixels(kForm1Layout.height, dpi.y)};
  AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
  window_ = CreateWindowExW(0, kForm1Class, WideString(kForm1Layout.caption).c_str(), kStyle,
                            CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
  if (!window_) WindowSystemFailure("the window Form1");
}

void Form1::Load(PlaybackPlatform& platform) {
  WindowCaption label1(GetDlgItem(window_, IDC_LABEL1));
  PlayAndWait(label1, platform);
}

}  // namespace quorwind
