// In-process half of the test driver. Under Wine a menu handle can be read only inside the
// process that owns the menu, so the driver hooks the menu's thread (WH_CALLWNDPROC with this
// DLL, as UI automation tools do) and sends the popup window a registered message; the hook
// procedure then runs inside the program, reads the popup's menu and writes the items into a
// shared memory block that the driver prints.
#include <windows.h>

#include <cstdio>

namespace {

constexpr DWORD kResultSize = 65536;

void Hex(char* out, size_t outSize, const char* text, int n) {
  static const char digits[] = "0123456789abcdef";
  size_t k = 0;
  if (n <= 0 && outSize > 1) out[k++] = '-';
  for (int i = 0; i < n && k + 2 < outSize; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out[k++] = digits[c >> 4];
    out[k++] = digits[c & 15];
  }
  out[k] = '\0';
}

void WriteMenu(HWND popup, char* out) {
  HMENU menu = reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0));
  int count = GetMenuItemCount(menu);
  int used = std::snprintf(out, kResultSize, "menu count=%d pid=%lu\n", count, GetCurrentProcessId());
  for (int i = 0; i < count && used > 0 && used < static_cast<int>(kResultSize) - 1024; ++i) {
    char text[256] = {};
    char hex[520];
    MENUITEMINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_SUBMENU;
    GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &info);
    int n = GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
    Hex(hex, sizeof hex, text, n);
    used += std::snprintf(out + used, kResultSize - used,
                          "item pos=%d id=%u type=%08x state=%08x submenu=%d text=%s\n", i, info.wID,
                          info.fType, info.fState, info.hSubMenu != nullptr ? 1 : 0, hex);
  }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK KcInspectHook(int code, WPARAM wp, LPARAM lp) {
  const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lp);
  if (code == HC_ACTION && call != nullptr &&
      call->message == RegisterWindowMessageA("KcInspectMenu")) {
    HANDLE map = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "KcInspectResult");
    if (map != nullptr) {
      char* out = static_cast<char*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, kResultSize));
      if (out != nullptr) {
        WriteMenu(call->hwnd, out);
        UnmapViewOfFile(out);
      }
      CloseHandle(map);
    }
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}
