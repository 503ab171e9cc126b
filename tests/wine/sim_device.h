// The simulated USB display shared by the simulated hid.dll and setupapi.dll.
//
// The test harness describes the HID interfaces "present" through the environment, which Wine
// hands from the Linux side to every Windows process:
//   KC_HID_SIM_DEVICE  Windows path of an existing file that stands for the display's HID
//                      interface (vendor 0x5E1C, product 0x2A07). The program opens it with
//                      CreateFileA and its WriteFile calls append the output reports to it.
//   KC_HID_SIM_DECOY   optional: path of another interface listed before the display, same
//                      vendor, product 0x0001; the program must skip it and never write to it.
//   KC_HID_SIM_LOG     optional: path of a text file that receives one line per library call,
//                      so the harness can check how the program searched.
// Without KC_HID_SIM_DEVICE no interface is present.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kcsim {

constexpr USHORT kVendorId = 0x5E1C;
constexpr USHORT kDisplayProductId = 0x2A07;
constexpr USHORT kDecoyProductId = 0x0001;
constexpr USHORT kVersion = 0x0100;
constexpr USHORT kReportLength = 65;  // report ID byte and 64 bytes

// The HID interface class, as the platform's HidD_GetHidGuid reports it.
constexpr GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

struct Interface {
  char path[MAX_PATH];
  USHORT productId;
};

// The interfaces present, in enumeration order; returns their number (0 to 2).
inline int Interfaces(Interface* out) {
  int n = 0;
  char path[MAX_PATH];
  DWORD len = GetEnvironmentVariableA("KC_HID_SIM_DECOY", path, sizeof path);
  if (len > 0 && len < sizeof path) {
    std::memcpy(out[n].path, path, len + 1);
    out[n++].productId = kDecoyProductId;
  }
  len = GetEnvironmentVariableA("KC_HID_SIM_DEVICE", path, sizeof path);
  if (len > 0 && len < sizeof path) {
    std::memcpy(out[n].path, path, len + 1);
    out[n++].productId = kDisplayProductId;
  }
  return n;
}

// Appends one formatted line to the call log, if there is one.
inline void Log(const char* format, ...) {
  char path[MAX_PATH];
  DWORD len = GetEnvironmentVariableA("KC_HID_SIM_LOG", path, sizeof path);
  if (len == 0 || len >= sizeof path) return;
  char line[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line - 2, format, args);
  va_end(args);
  if (n < 0) return;
  if (n > static_cast<int>(sizeof line) - 3) n = sizeof line - 3;
  line[n++] = '\n';
  HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, line, static_cast<DWORD>(n), &written, nullptr);
  CloseHandle(f);
}

}  // namespace kcsim
