// Test driver for the Windows program under Wine: finds and reads windows, controls, menus and
// message boxes, and sends the messages a user's actions would cause, the way UI automation does
// it on Windows. Never uses screen coordinates.
//
// It reads one command per line on stdin and answers with zero or more record lines followed by
// "ok" or "err <reason>". Texts travel as hexadecimal bytes (code page 932 on the program's
// side), so nothing depends on the console's code page. Handles are printed and read in hex.
//
//   windows [class|-] [caption-hex|-]   top-level windows, with their process IDs
//   wait <class|-> <caption-hex|-> <ms> [gone]   until such a window exists (or is gone)
//   children <hwnd>                     child controls: ID, class, styles, text, state
//   text <hwnd> | settext <hwnd> <hex>  WM_GETTEXT / WM_SETTEXT
//   click <hwnd>                        BM_CLICK, posted (the handler may run a modal loop)
//   check <hwnd>                        BM_GETCHECK
//   post <hwnd> <msg> <wparam> <lparam> | send <hwnd> <msg> <wparam> <lparam>
//   key <hwnd> <vk>                     WM_KEYDOWN and WM_KEYUP, posted
//   menu <ms>                           waits for the open popup menu and lists its items
//   regdump [32|64]                     values of HKLM\SOFTWARE\KESTOVA: name, type, bytes
//   reg-delete                          removes HKLM\SOFTWARE\KESTOVA (this process's view)
//   reg-set <name> <type> <hex>         writes one value (this process's view)
//   move <hwnd> <x> <y>                 moves a top-level window (SetWindowPos)
//   foreground                          the foreground window
//   sleep <ms> | quit
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kSendTimeoutMs = 5000;

std::string Hex(const char* data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out.empty() ? std::string("-") : out;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return out;
}

HWND ParseHwnd(const std::string& s) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(s.c_str(), nullptr, 16)));
}

std::string HwndText(HWND h) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
  return buf;
}

std::string ClassOf(HWND h) {
  char buf[256] = {};
  GetClassNameA(h, buf, sizeof buf);
  return buf;
}

// WM_GETTEXT through SendMessageTimeout: a hung window cannot hang the driver.
std::string TextOf(HWND h) {
  char buf[4096] = {};
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &length)) {
    return std::string();
  }
  if (length >= sizeof buf) length = sizeof buf - 1;
  return std::string(buf, length);
}

void Describe(const char* kind, HWND h) {
  RECT r{};
  GetWindowRect(h, &r);
  RECT client{};
  GetClientRect(h, &client);
  POINT origin{0, 0};
  ClientToScreen(h, &origin);
  DWORD pid = 0;
  DWORD tid = GetWindowThreadProcessId(h, &pid);
  std::string text = TextOf(h);
  std::printf("%s hwnd=%s id=%d pid=%lu tid=%lu class=%s style=%08lx exstyle=%08lx visible=%d "
              "enabled=%d rect=%ld,%ld,%ld,%ld client=%ld,%ld,%ld,%ld text=%s\n",
              kind, HwndText(h).c_str(), GetDlgCtrlID(h), pid, tid, ClassOf(h).c_str(),
              static_cast<unsigned long>(GetWindowLongA(h, GWL_STYLE)),
              static_cast<unsigned long>(GetWindowLongA(h, GWL_EXSTYLE)), IsWindowVisible(h) ? 1 : 0,
              IsWindowEnabled(h) ? 1 : 0, r.left, r.top, r.right, r.bottom, origin.x, origin.y,
              origin.x + client.right, origin.y + client.bottom,
              Hex(text.data(), text.size()).c_str());
}

struct Filter {
  std::string cls;      // empty: any
  std::string caption;  // bytes; matched whole
  bool anyCaption = true;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND h, LPARAM lp) {
  Filter* f = reinterpret_cast<Filter*>(lp);
  if (!f->cls.empty() && ClassOf(h) != f->cls) return TRUE;
  if (!f->anyCaption) {
    char buf[1024] = {};
    int n = GetWindowTextA(h, buf, sizeof buf);
    if (std::string(buf, n > 0 ? n : 0) != f->caption) return TRUE;
  }
  f->found.push_back(h);
  return TRUE;
}

std::vector<HWND> TopWindows(const std::string& cls, const std::string& captionHex) {
  Filter f;
  if (cls != "-") f.cls = cls;
  if (captionHex != "-" && !captionHex.empty()) {
    f.anyCaption = false;
    f.caption = Unhex(captionHex);
  } else if (captionHex == "-") {
    f.anyCaption = true;
  }
  EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

BOOL CALLBACK CollectChild(HWND h, LPARAM lp) {
  reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
  return TRUE;
}

// The argument after the command, or "-" when missing.
std::string Arg(const std::vector<std::string>& a, size_t i) { return i < a.size() ? a[i] : "-"; }

bool CmdWindows(const std::vector<std::string>& a) {
  for (HWND h : TopWindows(Arg(a, 1), Arg(a, 2))) Describe("win", h);
  return true;
}

bool CmdWait(const std::vector<std::string>& a, std::string* err) {
  DWORD timeout = static_cast<DWORD>(std::strtoul(Arg(a, 3).c_str(), nullptr, 10));
  bool gone = Arg(a, 4) == "gone";
  DWORD start = GetTickCount();
  for (;;) {
    std::vector<HWND> found = TopWindows(Arg(a, 1), Arg(a, 2));
    if (!gone && !found.empty()) {
      for (HWND h : found) Describe("win", h);
      return true;
    }
    if (gone && found.empty()) return true;
    if (GetTickCount() - start > timeout) {
      *err = gone ? "still there" : "not found";
      return false;
    }
    Sleep(50);
  }
}

bool CmdChildren(const std::vector<std::string>& a) {
  std::vector<HWND> kids;
  EnumChildWindows(ParseHwnd(Arg(a, 1)), CollectChild, reinterpret_cast<LPARAM>(&kids));
  for (HWND h : kids) Describe("ctl", h);
  return true;
}

bool CmdSend(const std::vector<std::string>& a, bool post, std::string* err) {
  HWND h = ParseHwnd(Arg(a, 1));
  UINT msg = static_cast<UINT>(std::strtoul(Arg(a, 2).c_str(), nullptr, 0));
  WPARAM wp = static_cast<WPARAM>(std::strtoull(Arg(a, 3).c_str(), nullptr, 0));
  LPARAM lp = static_cast<LPARAM>(std::strtoll(Arg(a, 4).c_str(), nullptr, 0));
  if (post) {
    if (!PostMessageA(h, msg, wp, lp)) {
      *err = "PostMessage failed " + std::to_string(GetLastError());
      return false;
    }
    return true;
  }
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(h, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) {
    *err = "SendMessage failed " + std::to_string(GetLastError());
    return false;
  }
  std::printf("result value=%lld\n", static_cast<long long>(result));
  return true;
}

// Wine keeps a menu's items in the owning process: read them there through a hook (see
// inspect.cpp), the way accessibility tools reach into another process on Windows.
bool InspectMenuInProcess(HWND popup, std::string* err) {
  constexpr DWORD kResultSize = 65536;
  char dllPath[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, dllPath, sizeof dllPath);
  char* slash = std::strrchr(dllPath, '\\');
  if (slash == nullptr) slash = dllPath; else ++slash;
  std::snprintf(slash, sizeof dllPath - (slash - dllPath), "kc_inspect.dll");
  HMODULE dll = LoadLibraryA(dllPath);
  HOOKPROC proc = dll ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(dll, "KcInspectHook"))) : nullptr;
  if (proc == nullptr) {
    *err = "kc_inspect.dll not loaded";
    return false;
  }
  HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kResultSize,
                                  "KcInspectResult");
  char* view = map ? static_cast<char*>(MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, kResultSize)) : nullptr;
  if (view == nullptr) {
    *err = "no shared memory";
    return false;
  }
  view[0] = '\0';
  DWORD pid = 0;
  DWORD tid = GetWindowThreadProcessId(popup, &pid);
  HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, proc, dll, tid);
  bool ok = false;
  if (hook == nullptr) {
    *err = "hook failed " + std::to_string(GetLastError());
  } else {
    DWORD_PTR result = 0;
    SendMessageTimeoutA(popup, RegisterWindowMessageA("KcInspectMenu"), 0, 0, SMTO_ABORTIFHUNG,
                        kSendTimeoutMs, &result);
    UnhookWindowsHookEx(hook);
    view[kResultSize - 1] = '\0';
    if (view[0] == '\0') {
      *err = "no answer from the menu's process";
    } else {
      std::fputs(view, stdout);
      ok = true;
    }
  }
  UnmapViewOfFile(view);
  CloseHandle(map);
  return ok;
}

bool CmdMenu(const std::vector<std::string>& a, std::string* err) {
  DWORD timeout = static_cast<DWORD>(std::strtoul(Arg(a, 1).c_str(), nullptr, 10));
  DWORD start = GetTickCount();
  HWND popup = nullptr;
  for (;;) {
    for (HWND h : TopWindows("#32768", "-")) {
      if (IsWindowVisible(h)) popup = h;
    }
    if (popup != nullptr) break;
    if (GetTickCount() - start > timeout) {
      *err = "no menu";
      return false;
    }
    Sleep(50);
  }
  Describe("popup", popup);
  DWORD_PTR value = 0;
  SendMessageTimeoutA(popup, MN_GETHMENU, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &value);
  HMENU menu = reinterpret_cast<HMENU>(value);
  int count = GetMenuItemCount(menu);
  if (count >= 0) {
    std::printf("menu count=%d\n", count);
    for (int i = 0; i < count; ++i) {
      char text[256] = {};
      MENUITEMINFOA info{};
      info.cbSize = sizeof info;
      info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_SUBMENU;
      GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &info);
      int n = GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
      std::printf("item pos=%d id=%u type=%08x state=%08x submenu=%d text=%s\n", i, info.wID,
                  info.fType, info.fState, info.hSubMenu != nullptr ? 1 : 0,
                  Hex(text, n > 0 ? static_cast<size_t>(n) : 0).c_str());
    }
    return true;
  }
  return InspectMenuInProcess(popup, err);
}

const char* kKey = "SOFTWARE\\KESTOVA";

bool CmdRegDump(const std::vector<std::string>& a, std::string* err) {
  REGSAM view = 0;
  if (Arg(a, 1) == "32") view = KEY_WOW64_32KEY;
  if (Arg(a, 1) == "64") view = KEY_WOW64_64KEY;
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ | view, &key);
  if (rc != ERROR_SUCCESS) {
    *err = "no key " + std::to_string(rc);
    return false;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameLength = sizeof name;
    BYTE data[4096];
    DWORD dataLength = sizeof data;
    DWORD type = 0;
    rc = RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength);
    if (rc != ERROR_SUCCESS) break;
    std::printf("val name=%s type=%lu len=%lu data=%s\n", name, type, dataLength,
                Hex(reinterpret_cast<const char*>(data), dataLength).c_str());
  }
  RegCloseKey(key);
  return true;
}

bool CmdRegDelete() {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
  return true;
}

bool CmdRegSet(const std::vector<std::string>& a, std::string* err) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    *err = "cannot create key";
    return false;
  }
  std::string data = Unhex(Arg(a, 3));
  LONG rc = RegSetValueExA(key, Arg(a, 1).c_str(), 0, std::strtoul(Arg(a, 2).c_str(), nullptr, 10),
                           reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    *err = "set failed " + std::to_string(rc);
    return false;
  }
  return true;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

bool Run(const std::vector<std::string>& a, std::string* err) {
  const std::string& c = a[0];
  if (c == "windows") return CmdWindows(a);
  if (c == "wait") return CmdWait(a, err);
  if (c == "children") return CmdChildren(a);
  if (c == "text") {
    std::string t = TextOf(ParseHwnd(Arg(a, 1)));
    std::printf("text text=%s\n", Hex(t.data(), t.size()).c_str());
    return true;
  }
  if (c == "settext") {
    std::string t = Unhex(Arg(a, 2));
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutA(ParseHwnd(Arg(a, 1)), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(t.c_str()),
                             SMTO_ABORTIFHUNG, kSendTimeoutMs, &r)) {
      *err = "WM_SETTEXT failed";
      return false;
    }
    return true;
  }
  if (c == "click") return PostMessageA(ParseHwnd(Arg(a, 1)), BM_CLICK, 0, 0) ? true : (*err = "post failed", false);
  if (c == "check") {
    std::vector<std::string> b{"send", Arg(a, 1), std::to_string(BM_GETCHECK), "0", "0"};
    return CmdSend(b, false, err);
  }
  if (c == "post") return CmdSend(a, true, err);
  if (c == "send") return CmdSend(a, false, err);
  if (c == "key") {
    HWND h = ParseHwnd(Arg(a, 1));
    WPARAM vk = static_cast<WPARAM>(std::strtoul(Arg(a, 2).c_str(), nullptr, 0));
    PostMessageA(h, WM_KEYDOWN, vk, 1);
    PostMessageA(h, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
    return true;
  }
  if (c == "menu") return CmdMenu(a, err);
  if (c == "regdump") return CmdRegDump(a, err);
  if (c == "reg-delete") return CmdRegDelete();
  if (c == "reg-set") return CmdRegSet(a, err);
  if (c == "move") {
    HWND h = ParseHwnd(Arg(a, 1));
    int x = std::atoi(Arg(a, 2).c_str());
    int y = std::atoi(Arg(a, 3).c_str());
    if (!SetWindowPos(h, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)) {
      *err = "SetWindowPos failed " + std::to_string(GetLastError());
      return false;
    }
    return true;
  }
  if (c == "foreground") {
    HWND h = GetForegroundWindow();
    if (h != nullptr) Describe("win", h);
    return true;
  }
  if (c == "sleep") {
    Sleep(static_cast<DWORD>(std::strtoul(Arg(a, 1).c_str(), nullptr, 10)));
    return true;
  }
  *err = "unknown command " + c;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // One command from the command line, or a session on stdin.
  if (argc > 1) {
    std::vector<std::string> a(argv + 1, argv + argc);
    std::string err;
    bool ok = Run(a, &err);
    if (ok) {
      std::printf("ok\n");
    } else {
      std::printf("err %s\n", err.c_str());
    }
    return ok ? 0 : 1;
  }
  char line[8192];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    std::vector<std::string> a = Split(s);
    if (a.empty()) continue;
    if (a[0] == "quit") break;
    std::string err;
    bool ok = Run(a, &err);
    if (ok) {
      std::printf("ok\n");
    } else {
      std::printf("err %s\n", err.c_str());
    }
    std::fflush(stdout);
  }
  return 0;
}
