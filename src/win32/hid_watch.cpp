// HID interfaces that arrive: the window is told by WM_DEVICECHANGE with DBT_DEVICEARRIVAL
// for the HID interface class, so nothing polls for a display plugged in later.
#include <windows.h>
// (kept apart so that include sorting leaves the order alone)
#include <dbt.h>

#include "win32/backends.h"

namespace kc::win32 {

namespace {

// GUID_DEVINTERFACE_HID, which HidD_GetHidGuid also gives; hid.dll is loaded only at run time.
constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

}  // namespace

HDEVNOTIFY WatchHidArrivals(HWND window) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kHidInterfaceClass;
  return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

}  // namespace kc::win32
