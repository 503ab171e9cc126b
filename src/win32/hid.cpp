// The HID port on Windows: the device setup service lists the HID interfaces, and "hid.DLL",
// loaded at run time, answers for their identifiers and report lengths. The few HID records
// and entry points are declared here, so no driver-kit header or import library is needed.
// clang-format off
#include <windows.h>  // before setupapi.h, which needs its types
#include <setupapi.h>
// clang-format on

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "win32/backends.h"

namespace kc::win32 {

namespace {

// The records of hid.DLL that the search uses.
struct HiddAttributes {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
};

struct HidpCaps {
  USHORT Usage;
  USHORT UsagePage;
  USHORT InputReportByteLength;
  USHORT OutputReportByteLength;
  USHORT FeatureReportByteLength;
  USHORT Reserved[17];
  USHORT NumberLinkCollectionNodes;
  USHORT NumberInputButtonCaps;
  USHORT NumberInputValueCaps;
  USHORT NumberInputDataIndices;
  USHORT NumberOutputButtonCaps;
  USHORT NumberOutputValueCaps;
  USHORT NumberOutputDataIndices;
  USHORT NumberFeatureButtonCaps;
  USHORT NumberFeatureValueCaps;
  USHORT NumberFeatureDataIndices;
};

struct HidpPreparsedData;  // opaque, owned by hid.DLL
using PreparsedData = HidpPreparsedData*;

static_assert(sizeof(HiddAttributes) == 12, "HIDD_ATTRIBUTES is 12 bytes");
static_assert(sizeof(HidpCaps) == 64, "HIDP_CAPS is 64 bytes");
// The fixed part of the interface detail record, as the platform counts it.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void*) == 8 ? 8 : 5),
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A has the platform's packing");

using HidDGetHidGuidFn = void(WINAPI*)(GUID*);
using HidDGetAttributesFn = BOOLEAN(WINAPI*)(HANDLE, HiddAttributes*);
using HidDGetPreparsedDataFn = BOOLEAN(WINAPI*)(HANDLE, PreparsedData*);
using HidDFreePreparsedDataFn = BOOLEAN(WINAPI*)(PreparsedData);
using HidPGetCapsFn = LONG(WINAPI*)(PreparsedData, HidpCaps*);

constexpr LONG kHidpStatusSuccess = 0x00110000;
constexpr DWORD kClassDevsFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12

// The entry point name in library, as a function of type Fn; null when it is missing.
template <typename Fn>
Fn Lookup(HMODULE library, const char* name) {
  FARPROC proc = GetProcAddress(library, name);
  Fn fn;
  static_assert(sizeof fn == sizeof proc, "function pointers have one size");
  std::memcpy(&fn, &proc, sizeof fn);
  return fn;
}

HANDLE ToHandle(HidHandle h) { return reinterpret_cast<HANDLE>(h); }

class Win32Hid final : public HidPort {
 public:
  ~Win32Hid() override {
    EndEnumeration();
    if (library_ != nullptr) FreeLibrary(library_);
  }

  bool Load() override {
    library_ = nullptr;
    std::memset(&hidGuid_, 0, sizeof hidGuid_);
    library_ = LoadLibraryA("hid.DLL");
    if (library_ == nullptr) return false;
    auto getHidGuid = Lookup<HidDGetHidGuidFn>(library_, "HidD_GetHidGuid");
    if (getHidGuid == nullptr) {  // not the HID library
      FreeLibrary(library_);
      library_ = nullptr;
      return false;
    }
    getHidGuid(&hidGuid_);
    return true;
  }

  bool BeginEnumeration() override {
    EndEnumeration();
    if (library_ == nullptr) return false;  // no class identifier to list
    devices_ = SetupDiGetClassDevsA(&hidGuid_, nullptr, nullptr, kClassDevsFlags);
    return devices_ != INVALID_HANDLE_VALUE;
  }

  HidEnumResult InterfacePath(uint32_t index, char* path, size_t pathSize) override {
    if (devices_ == INVALID_HANDLE_VALUE) return HidEnumResult::kEnd;
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(devices_, nullptr, &hidGuid_, index, &data)) {
      return GetLastError() == ERROR_NO_MORE_ITEMS ? HidEnumResult::kEnd : HidEnumResult::kSkip;
    }
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(devices_, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return HidEnumResult::kSkip;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(required));
    if (detail == nullptr) return HidEnumResult::kSkip;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    HidEnumResult result = HidEnumResult::kSkip;
    if (SetupDiGetDeviceInterfaceDetailA(devices_, &data, detail, required, nullptr, nullptr)) {
      // The path ends within the block the platform asked for.
      size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
      size_t length = strnlen(detail->DevicePath, room);
      if (length < room && length < pathSize) {
        std::memcpy(path, detail->DevicePath, length + 1);
        result = HidEnumResult::kFound;
      }
    }
    std::free(detail);
    return result;
  }

  void EndEnumeration() override {
    if (devices_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(devices_);
    devices_ = INVALID_HANDLE_VALUE;
  }

  HidHandle Open(const char* path) override {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return 0;
    return reinterpret_cast<HidHandle>(h);
  }

  bool GetAttributes(HidHandle h, HidAttributes* attributes) override {
    if (library_ == nullptr) return false;
    auto getAttributes = Lookup<HidDGetAttributesFn>(library_, "HidD_GetAttributes");
    if (getAttributes == nullptr) return false;
    HiddAttributes record;
    std::memset(&record, 0, sizeof record);
    record.Size = attributes->size;
    if (!getAttributes(ToHandle(h), &record)) return false;
    *attributes =
        HidAttributes{record.Size, record.VendorID, record.ProductID, record.VersionNumber};
    return true;
  }

  bool GetCaps(HidHandle h, HidCaps* caps) override {
    if (library_ == nullptr) return false;
    auto getPreparsed = Lookup<HidDGetPreparsedDataFn>(library_, "HidD_GetPreparsedData");
    auto getCaps = Lookup<HidPGetCapsFn>(library_, "HidP_GetCaps");
    auto freePreparsed = Lookup<HidDFreePreparsedDataFn>(library_, "HidD_FreePreparsedData");
    if (getPreparsed == nullptr || getCaps == nullptr) return false;
    PreparsedData preparsed = nullptr;
    if (!getPreparsed(ToHandle(h), &preparsed) || preparsed == nullptr) return false;
    HidpCaps record;
    std::memset(&record, 0, sizeof record);
    bool ok = getCaps(preparsed, &record) == kHidpStatusSuccess;
    if (freePreparsed != nullptr) freePreparsed(preparsed);
    if (!ok) return false;
    *caps = HidCaps{record.InputReportByteLength, record.OutputReportByteLength};
    return true;
  }

  bool WriteReport(HidHandle h, const uint8_t* report, uint32_t length) override {
    DWORD written = 0;
    return WriteFile(ToHandle(h), report, length, &written, nullptr) != FALSE;
  }

  void Close(HidHandle h) override { CloseHandle(ToHandle(h)); }

 private:
  HMODULE library_ = nullptr;
  GUID hidGuid_{};
  HDEVINFO devices_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<HidPort> MakeHid() { return std::make_unique<Win32Hid>(); }

}  // namespace kc::win32
