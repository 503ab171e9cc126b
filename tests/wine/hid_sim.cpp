// A hid.dll for the simulated display of sim_device.h. The program loads "hid.DLL" by name,
// so this copy beside the program takes the platform's place (WINEDLLOVERRIDES=hid=n,b). The
// device handles are ordinary file handles opened by the program itself; this library tells
// which interface a handle belongs to by comparing file identities.
#include <windows.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdlib>
#include <cstring>

#include "sim_device.h"

namespace {

constexpr DWORD kPreparsedMagic = 0x4B435050;  // "KCPP"
constexpr NTSTATUS kHidpStatusSuccess = 0x00110000;
constexpr NTSTATUS kHidpStatusInvalidPreparsedData = static_cast<NTSTATUS>(0xC0110001);

struct Preparsed {
  DWORD magic;
  USHORT productId;
};

bool SameFile(HANDLE handle, const char* path) {
  BY_HANDLE_FILE_INFORMATION a{};
  if (!GetFileInformationByHandle(handle, &a)) return false;
  HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION b{};
  bool same = GetFileInformationByHandle(other, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

// The product ID of the interface behind the handle, or 0 when it is none of ours.
USHORT ProductOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
  kcsim::Interface interfaces[2];
  int n = kcsim::Interfaces(interfaces);
  for (int i = 0; i < n; ++i) {
    if (SameFile(handle, interfaces[i].path)) return interfaces[i].productId;
  }
  return 0;
}

}  // namespace

extern "C" {

void WINAPI HidD_GetHidGuid(LPGUID guid) {
  kcsim::Log("HidD_GetHidGuid");
  if (guid != nullptr) *guid = kcsim::kHidGuid;
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  USHORT product = ProductOf(device);
  kcsim::Log("HidD_GetAttributes size=%lu product=0x%04x",
             attributes != nullptr ? attributes->Size : 0ul, product);
  if (product == 0 || attributes == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  attributes->VendorID = kcsim::kVendorId;
  attributes->ProductID = product;
  attributes->VersionNumber = kcsim::kVersion;
  return TRUE;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  USHORT product = ProductOf(device);
  kcsim::Log("HidD_GetPreparsedData product=0x%04x", product);
  if (product == 0 || data == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Preparsed* p = static_cast<Preparsed*>(std::calloc(1, sizeof(Preparsed)));
  if (p == nullptr) return FALSE;
  p->magic = kPreparsedMagic;
  p->productId = product;
  *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(p);
  return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  Preparsed* p = reinterpret_cast<Preparsed*>(data);
  kcsim::Log("HidD_FreePreparsedData");
  if (p == nullptr || p->magic != kPreparsedMagic) return FALSE;
  p->magic = 0;
  std::free(p);
  return TRUE;
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  const Preparsed* p = reinterpret_cast<const Preparsed*>(data);
  kcsim::Log("HidP_GetCaps");
  if (p == nullptr || p->magic != kPreparsedMagic || caps == nullptr) {
    return kHidpStatusInvalidPreparsedData;
  }
  std::memset(caps, 0, sizeof *caps);
  caps->UsagePage = 0xFF00;  // vendor defined
  caps->Usage = 0x01;
  caps->InputReportByteLength = kcsim::kReportLength;
  caps->OutputReportByteLength = kcsim::kReportLength;
  caps->NumberOutputValueCaps = 1;
  caps->NumberInputValueCaps = 1;
  return kHidpStatusSuccess;
}

}  // extern "C"
