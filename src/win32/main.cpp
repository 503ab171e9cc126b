// The Windows program: entry, single-instance guard, main window and message loop.
#include <memory>

#include "app/app.h"
#include "win32/backends.h"

using namespace kc;
using namespace kc::win32;

namespace {

App* theApp = nullptr;

LRESULT CALLBACK MainWndProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (theApp == nullptr) return DefWindowProcA(window, msg, wp, lp);
  // Explorer announces a new taskbar after a restart: the tray icon must be added again.
  static const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
  if (taskbarCreated != 0 && msg == taskbarCreated) {
    theApp->tray.ReAddTrayIcon();
    return 0;
  }
  return theApp->MainWndProc(FromHwnd(window), msg, wp, lp);
}

// 0 with the owned mutex handed back, or -1 when another instance runs (after asking its
// window forward).
int AcquireSingleInstance(const char* mutexName, const char* windowName, HANDLE* mutex) {
  HANDLE existing = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutexName);
  if (existing != nullptr) {
    CloseHandle(existing);
    HWND running = FindWindowA(kAppName, windowName);
    if (running != nullptr) SetForegroundWindow(running);
    return -1;
  }
  *mutex = CreateMutexA(nullptr, TRUE, mutexName);
  return 0;
}

void ReleaseSingleInstance(HANDLE mutex) {
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

bool RegisterMainClass(HINSTANCE instance) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(32512));  // not among our icons: none
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = kAppName;
  return RegisterClassExA(&wc) != 0;
}

bool CreateMainWindow(HINSTANCE instance) {
  HWND window = CreateWindowExA(WS_EX_ACCEPTFILES, kAppName, kAppName, WS_OVERLAPPEDWINDOW, 0, 0, 0,
                                0, nullptr, nullptr, instance, nullptr);
  theApp->mainWindow = FromHwnd(window);
  return window != nullptr;
}

void ShowError(const char* text) { MessageBoxA(nullptr, text, kCaption, MB_OK); }

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  AppInstance = instance;
  Win32Window window;
  Win32MessageBox box;
  Win32Trace trace;
  Win32Clock clock;
  std::unique_ptr<RegistryPort> registry = MakeRegistry();
  std::unique_ptr<WinSockPort> winsock = MakeWinSock();
  std::unique_ptr<HidPort> hid = MakeHid();
  std::unique_ptr<TrayPort> tray = MakeTray();
  std::unique_ptr<SettingsDialogPort> dialog = MakeSettingsDialog();
  std::unique_ptr<ProcessPort> process = MakeProcess();
  SilentNotice notice;  // the boxes, the tray and the display say what Windows users are told
  std::unique_ptr<TlsPort> tls = MakeTls();
  std::unique_ptr<SeenStorePort> seenStore = MakeSeenStore();
  std::unique_ptr<NotifierPort> notifier = MakeNotifier();
  Platform platform{window, box,     trace,    clock,  *registry, *winsock,  *hid,
                    *tray,  *dialog, *process, notice, *tls,      *seenStore, *notifier};
  // The OAuth 2.0 sign-in (AUTH 1): WinHTTP is opened only when a request is made.
  std::unique_ptr<HttpPort> http = MakeHttp();
  std::unique_ptr<TokenStorePort> tokens = MakeTokenStore();
  std::unique_ptr<CryptoPort> crypto = MakeCrypto();
  std::unique_ptr<LoopbackPort> loopback = MakeLoopback();
  std::unique_ptr<BrowserPort> browser = MakeBrowser();
  auto app = std::make_unique<App>(platform);
  app->UseSignIn(SignInPorts{*http, *tokens, *crypto, *loopback, *browser});
  theApp = app.get();

  HANDLE mutex = nullptr;
  if (AcquireSingleInstance(kAppName, nullptr, &mutex) == -1) return -1;
  if (!RegisterMainClass(instance)) {
    ShowError("ウインドウクラスの設定でエラーが発生しました");
    return -1;
  }
  if (!CreateMainWindow(instance)) {
    ShowError("ウインドウ作成でエラーが発生しました");
    return -1;
  }
  HWND mainWindow = ToHwnd(app->mainWindow);
  ShowWindow(mainWindow, showCommand);
  UpdateWindow(mainWindow);
  // A display plugged in after start-up, or again after it went away, is taken up.
  HDEVNOTIFY hidArrivals = WatchHidArrivals(mainWindow);

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  if (hidArrivals != nullptr) UnregisterDeviceNotification(hidArrivals);
  ReleaseSingleInstance(mutex);
  theApp = nullptr;
  return static_cast<int>(msg.wParam);
}
