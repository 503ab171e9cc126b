// A setupapi.dll that lists the simulated HID interfaces of sim_device.h. Placed beside the
// program and loaded through the DLL search order, it takes the place of the platform's
// device setup service for the four calls the display search makes. Record sizes are checked
// as the platform checks them.
#define _SETUPAPI_  // this library defines the functions the header declares
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "sim_device.h"

namespace {

constexpr DWORD kSetMagic = 0x4B435345;  // "KCSE"

struct DeviceSet {
  DWORD magic;
  bool hid;  // asked for the HID interface class
  int count;
  kcsim::Interface interfaces[2];
};

DeviceSet* FromHandle(HDEVINFO handle) {
  DeviceSet* set = static_cast<DeviceSet*>(handle);
  if (handle == INVALID_HANDLE_VALUE || set == nullptr || set->magic != kSetMagic) return nullptr;
  return set;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
  bool hid = classGuid != nullptr && std::memcmp(classGuid, &kcsim::kHidGuid, sizeof(GUID)) == 0;
  kcsim::Log("SetupDiGetClassDevsA hid=%d enumerator=%d parent=%d flags=0x%lx", hid ? 1 : 0,
             enumerator != nullptr ? 1 : 0, parent != nullptr ? 1 : 0, flags);
  DeviceSet* set = static_cast<DeviceSet*>(std::calloc(1, sizeof(DeviceSet)));
  if (set == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  set->magic = kSetMagic;
  set->hid = hid;
  // Only present devices that expose interfaces are listed.
  bool wanted = hid && (flags & DIGCF_DEVICEINTERFACE) != 0 && (flags & DIGCF_PRESENT) != 0;
  set->count = wanted ? kcsim::Interfaces(set->interfaces) : 0;
  return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA deviceInfo,
                                        const GUID* classGuid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  DeviceSet* set = FromHandle(handle);
  kcsim::Log("SetupDiEnumDeviceInterfaces index=%lu cbSize=%lu devinfo=%d", index,
             data != nullptr ? data->cbSize : 0ul, deviceInfo != nullptr ? 1 : 0);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (classGuid == nullptr || std::memcmp(classGuid, &kcsim::kHidGuid, sizeof(GUID)) != 0 ||
      static_cast<int>(index) >= set->count) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = kcsim::kHidGuid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = static_cast<ULONG_PTR>(index) + 1;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD detailSize, PDWORD requiredSize,
                                             PSP_DEVINFO_DATA deviceInfo) {
  DeviceSet* set = FromHandle(handle);
  kcsim::Log("SetupDiGetDeviceInterfaceDetailA buffer=%d size=%lu cbSize=%lu devinfo=%d",
             detail != nullptr ? 1 : 0, detailSize, detail != nullptr ? detail->cbSize : 0ul,
             deviceInfo != nullptr ? 1 : 0);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
      static_cast<int>(data->Reserved) > set->count) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const char* path = set->interfaces[data->Reserved - 1].path;
  DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                    std::strlen(path) + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) {
    SetLastError(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path, std::strlen(path) + 1);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  DeviceSet* set = FromHandle(handle);
  kcsim::Log("SetupDiDestroyDeviceInfoList");
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  set->magic = 0;
  std::free(set);
  return TRUE;
}

}  // extern "C"
