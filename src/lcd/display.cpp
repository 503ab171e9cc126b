#include "lcd/display.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lcd/lcd_rows.h"
#include "text/bounded.h"

namespace kc {

namespace {

class MallocHeap final : public HeapPort {
 public:
  // A block of 0 bytes is still a block (a device may have no input report).
  void* Allocate(size_t size) override { return std::malloc(size != 0 ? size : 1); }
  void Release(void* block) override { std::free(block); }
};

// The platform formatter's output limit, NUL included.
constexpr size_t kTraceSize = 1024;

// A run of this many unreadable interfaces in a row ends the search: the listing is broken, and
// its end would never be reported.
constexpr int kMaxSkipsInARow = 256;

constexpr uint8_t kModeInstruction = 0;
constexpr uint8_t kModeCharacter = 1;

// The controller's start-up: clear, 8-bit bus, display off, entry mode, 8-bit bus with two
// lines, display on without cursor, entry mode (address increment, no shift).
constexpr uint8_t kInitSequence[] = {0x01, 0x30, 0x08, 0x06, 0x38, 0x0C, 0x06};
constexpr uint8_t kReturnHome = 0x02;
constexpr uint8_t kRow1Address = 0x80;
constexpr uint8_t kRow2Address = 0xC0;

const char kEmptyRow[] = "";

// Formats a trace line as the platform formatter does: cut at its output limit.
KC_PRINTF_FORMAT(2, 3) void TraceFormatted(TracePort& trace, const char* format, ...) {
  char line[kTraceSize];
  va_list args;
  va_start(args, format);
  FormatBoundedV(line, sizeof line, format, args);
  va_end(args);
  trace.Trace(line);
}

}  // namespace

HeapPort& ProcessHeap() {
  static MallocHeap heap;
  return heap;
}

Display::Display(DisplayPorts ports, HeapPort& heap) : ports_(ports), heap_(heap) {}

Display::~Display() {
  ReleaseRows();
  FreeReportBuffers();
  CloseLcdDevice();
}

// ---- Device discovery and report buffers ----

bool Display::LoadHidLibrary() {
  link_.libraryLoaded = ports_.hid.Load();
  if (!link_.libraryLoaded) {
    ports_.box.Show(0, "ライブラリのロードに失敗しました。", kCaption);
    return false;
  }
  return true;
}

bool Display::FindLcdDevice() {
  if (!ports_.hid.BeginEnumeration()) return false;
  bool found = false;
  int skipsInARow = 0;
  char path[kDevicePathSize];
  for (uint32_t index = 0;; ++index) {
    HidEnumResult listed = ports_.hid.InterfacePath(index, path, sizeof path);
    if (listed == HidEnumResult::kEnd) break;
    if (listed == HidEnumResult::kSkip) {
      if (++skipsInARow == kMaxSkipsInARow) {
        TraceFormatted(ports_.trace,
                       "HID interface search stopped after %d unreadable interfaces\r\n",
                       kMaxSkipsInARow);
        break;
      }
      continue;
    }
    skipsInARow = 0;
    path[sizeof path - 1] = '\0';
    TraceFormatted(ports_.trace, "DevicePath : %s \n", path);

    HidHandle handle = ports_.hid.Open(path);
    HidAttributes attributes{};
    attributes.size = 12;
    if (handle == 0 || !ports_.hid.GetAttributes(handle, &attributes)) {
      if (handle != 0) ports_.hid.Close(handle);
      continue;
    }
    TraceFormatted(
        ports_.trace,
        " Structure size: %02x  Vendor ID: %04x  Product ID: %04x  Version Number: %04x \n",
        static_cast<unsigned>(attributes.size), static_cast<unsigned>(attributes.vendorId),
        static_cast<unsigned>(attributes.productId),
        static_cast<unsigned>(attributes.versionNumber));
    if (attributes.vendorId == kLcdVendorId && attributes.productId == kLcdProductId) {
      link_.device = handle;
      std::memcpy(devicePath_, path, sizeof devicePath_);
      writeFailed_ = false;
      found = true;
      break;
    }
    ports_.hid.Close(handle);
  }
  ports_.hid.EndEnumeration();
  return found;
}

bool Display::OpenLcdDevice() {
  LoadHidLibrary();  // without the library the search finds nothing
  return OpenFoundDevice();
}

bool Display::OpenFoundDevice() {
  FindLcdDevice();
  if (link_.device == 0) return false;

  HidCaps caps{};
  if (!ports_.hid.GetCaps(link_.device, &caps)) {
    ports_.trace.Trace("LCD device report lengths could not be read; device not used\r\n");
    CloseLcdDevice();
    return false;
  }
  // Every report the link sends fills bytes 0 to 8; a shorter report cannot carry it.
  if (caps.outputReportByteLength < kLcdReportMinLength) {
    TraceFormatted(ports_.trace,
                   "LCD device output report of %u bytes is shorter than %u; device not used\r\n",
                   static_cast<unsigned>(caps.outputReportByteLength),
                   static_cast<unsigned>(kLcdReportMinLength));
    CloseLcdDevice();
    return false;
  }

  if (link_.outputReport == nullptr) {
    link_.outputReport = static_cast<uint8_t*>(heap_.Allocate(caps.outputReportByteLength));
    if (link_.outputReport != nullptr) {
      link_.outputReportLength = caps.outputReportByteLength;
      std::memset(link_.outputReport, 0, link_.outputReportLength);
    }
  }
  if (link_.inputReport == nullptr) {
    link_.inputReport = static_cast<uint8_t*>(heap_.Allocate(caps.inputReportByteLength));
    if (link_.inputReport != nullptr) {
      link_.inputReportLength = caps.inputReportByteLength;
      std::memset(link_.inputReport, 0, link_.inputReportLength);
    }
  }
  if (link_.outputReport == nullptr || link_.inputReport == nullptr) {
    // Running without the display means holding nothing of it: the buffer that was taken is
    // released and the device closed, so no write reaches a half-prepared link.
    FreeReportBuffers();
    CloseLcdDevice();
    ports_.trace.Trace(
        "LCD report buffers could not be allocated; running without the display\r\n");
    return false;
  }
  return true;
}

bool Display::FreeReportBuffers() {
  if (link_.outputReport != nullptr) {
    heap_.Release(link_.outputReport);
    link_.outputReport = nullptr;
  }
  if (link_.inputReport != nullptr) {
    heap_.Release(link_.inputReport);
    link_.inputReport = nullptr;
  }
  return true;
}

bool Display::RediscoverLcdDevice(WindowRef window) {
  if (!link_.libraryLoaded) return false;
  // A display whose writes fail and that is no longer listed went away unannounced.
  if (link_.device != 0 && writeFailed_) DropDeviceIfGone();
  if (link_.device != 0) return false;
  if (!OpenFoundDevice()) return false;
  // The controller starts blank after its init sequence; the text kept in the rows is shown
  // again from the page the pager is at.
  if (!WriteInitSequence()) return false;
  ports_.trace.Trace("LCD device found again; showing the current text\r\n");
  if (pageWindow_ == 0) {
    ports_.window.StartTimer(window, TIMER_LCDPAGE, kLcdPageMs);
    pageWindow_ = window;
  }
  if (pager_.rows != nullptr) {
    const bool paged = IsPaged(pager_.rowBreaks);
    ShowPage(paged ? pager_.pageIndex : 0);
    if (paged) pager_.pageIndex = NextPageIndex(pager_.pageIndex, pager_.rowBreaks);
  }
  return true;
}

// The display's interface is still listed among the HID interfaces present.
bool Display::DeviceListed() {
  if (!ports_.hid.BeginEnumeration()) return false;
  bool listed = false;
  char path[kDevicePathSize];
  int skipsInARow = 0;
  for (uint32_t index = 0; !listed; ++index) {
    HidEnumResult entry = ports_.hid.InterfacePath(index, path, sizeof path);
    if (entry == HidEnumResult::kEnd) break;
    if (entry == HidEnumResult::kSkip) {
      if (++skipsInARow == kMaxSkipsInARow) break;
      continue;
    }
    skipsInARow = 0;
    path[sizeof path - 1] = '\0';
    listed = std::strcmp(path, devicePath_) == 0;
  }
  ports_.hid.EndEnumeration();
  return listed;
}

// A HID device went away: when it was the display, its handle and buffers are given back at
// once, without a box, and the next HID device to arrive is looked at.
bool Display::DropDeviceIfGone() {
  if (link_.device == 0 || DeviceListed()) return false;
  ports_.trace.Trace("LCD device removed; display closed until it is plugged in again\r\n");
  FreeReportBuffers();
  CloseLcdDevice();
  writeFailed_ = false;
  return true;
}

bool Display::CloseLcdDevice() {
  if (link_.device == 0) return false;
  HidHandle handle = link_.device;
  link_.device = 0;
  ports_.hid.Close(handle);
  return true;
}

// ---- The LCD command link ----

bool Display::LcdWrite(uint8_t value, uint8_t mode) {
  // OpenLcdDevice keeps no buffer shorter than kLcdReportMinLength.
  if (link_.device == 0 || link_.outputReport == nullptr ||
      link_.outputReportLength < kLcdReportMinLength) {
    return false;
  }
  uint8_t* report = link_.outputReport;
  report[0] = 0;
  report[1] = 0;
  report[2] = 0;
  for (uint8_t i = 0; i < 6; ++i) report[3 + i] = static_cast<uint8_t>(0xF0 + i);

  // The data bus first, then the strobe up and down: the controller takes the bus on the fall.
  report[1] = 1;
  report[2] = value;
  bool written = ports_.hid.WriteReport(link_.device, report, link_.outputReportLength);
  report[1] = 2;
  report[2] = static_cast<uint8_t>((mode & 3) | 4);
  written = written && ports_.hid.WriteReport(link_.device, report, link_.outputReportLength);
  report[2] = static_cast<uint8_t>(mode & 3);
  written = written && ports_.hid.WriteReport(link_.device, report, link_.outputReportLength);
  // The link stays open: a write that fails now may go through later. A failed one makes the
  // next HID arrival look whether the display is still the one plugged in.
  writeFailed_ = !written;
  return written;
}

bool Display::WriteInitSequence() {
  for (uint8_t instruction : kInitSequence) {
    if (!LcdWrite(instruction, kModeInstruction)) return false;
  }
  std::memset(shadow_, 0x20, sizeof shadow_);
  return true;
}

bool Display::LcdInit(WindowRef window) {
  ReleaseRows();
  if (!WriteInitSequence()) return false;
  ports_.window.StartTimer(window, TIMER_LCDPAGE, kLcdPageMs);
  pageWindow_ = window;
  return true;
}

bool Display::LcdShutdown(WindowRef window) {
  ports_.window.StopTimer(window, TIMER_LCDPAGE);
  pageWindow_ = 0;
  ReleaseRows();
  return true;
}

bool Display::ShowRow(const char* text, uint8_t* shadow, uint8_t firstAddress) {
  int cell = 0;
  for (; cell < kLcdColumns && text[cell] != '\0'; ++cell) {
    uint8_t byte = static_cast<uint8_t>(text[cell]);
    if (byte == shadow[cell]) continue;
    if (!LcdWrite(static_cast<uint8_t>(firstAddress + cell), kModeInstruction)) return false;
    if (!LcdWrite(byte, kModeCharacter)) return false;
    shadow[cell] = byte;
  }
  // The cells after a short row are blanked every time.
  for (; cell < kLcdColumns; ++cell) {
    if (!LcdWrite(static_cast<uint8_t>(firstAddress + cell), kModeInstruction)) return false;
    if (!LcdWrite(0x20, kModeCharacter)) return false;
    shadow[cell] = 0x20;
  }
  return true;
}

bool Display::LcdShowLines(const char* row1, const char* row2) {
  if (!LcdWrite(kReturnHome, kModeInstruction)) return false;
  if (!ShowRow(row1, shadow_[0], kRow1Address)) return false;
  if (!LcdWrite(kRow2Address, kModeInstruction)) return false;
  return ShowRow(row2, shadow_[1], kRow2Address);
}

// ---- Text paging ----

void Display::ReleaseRows() {
  if (pager_.rows != nullptr) heap_.Release(pager_.rows);
  pager_ = LcdPager{};
}

const char* Display::RowSlot(size_t k) const {
  if (pager_.rows == nullptr || k >= pager_.slotCount) return kEmptyRow;
  return pager_.rows + k * kRowSlotSize;
}

void Display::ShowPage(int32_t first) {
  LcdShowLines(RowSlot(static_cast<size_t>(first)), RowSlot(static_cast<size_t>(first) + 1));
}

void Display::LcdShowText(const char* text) {
  if (text == nullptr) text = kEmptyRow;
  int32_t breaks = CountRowBreaks(text);
  ReleaseRows();  // page index, row-break count and block all start again
  size_t slots = RowSlotCount(breaks + 1);
  char* block = static_cast<char*>(heap_.Allocate(slots * kRowSlotSize));
  if (block == nullptr) {
    // Without the block there is nothing to show or page; the display keeps what it shows.
    ports_.trace.Trace("LCD rows could not be allocated; text not shown\r\n");
    return;
  }
  std::memset(block, 0, slots * kRowSlotSize);
  FillRowSlots(text, block, slots);
  pager_.rows = block;
  pager_.slotCount = slots;
  pager_.rowBreaks = breaks;
  if (!IsPaged(breaks)) {
    ShowPage(0);
  } else if (firstPageAtOnce && pageWindow_ != 0) {
    // The timer starts again so that the first page, too, stays a whole page time.
    ShowPage(0);
    pager_.pageIndex = NextPageIndex(0, breaks);
    ports_.window.StartTimer(pageWindow_, TIMER_LCDPAGE, kLcdPageMs);
  }  // otherwise the first page comes with the next tick
}

void Display::LcdNextPage() {
  if (pager_.rows == nullptr || !IsPaged(pager_.rowBreaks)) return;
  ShowPage(pager_.pageIndex);
  pager_.pageIndex = NextPageIndex(pager_.pageIndex, pager_.rowBreaks);
}

}  // namespace kc
