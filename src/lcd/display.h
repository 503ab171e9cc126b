// The two-row LCD on its USB HID device: discovery, the command link and text paging.
#pragma once
#include <cstddef>
#include <cstdint>

#include "port/heap.h"
#include "port/hid.h"
#include "port/message_box.h"
#include "port/trace.h"
#include "port/window.h"

namespace kc {

struct DisplayPorts {
  HidPort& hid;
  WindowPort& window;
  TracePort& trace;
  MessageBoxPort& box;
};

// The process heap.
HeapPort& ProcessHeap();

// The display's identifiers.
constexpr uint16_t kLcdVendorId = 0x5E1C;
constexpr uint16_t kLcdProductId = 0x2A07;
// Every report carries the report ID, the command and its value, then six fixed bytes.
constexpr uint32_t kLcdReportMinLength = 9;
constexpr uint32_t kLcdPageMs = 5000;
constexpr size_t kDevicePathSize = 1024;

// The open display device and its report buffers.
struct LcdLink {
  bool libraryLoaded = false;
  HidHandle device = 0;             // 0: no device open
  uint8_t* outputReport = nullptr;  // one output report, outputReportLength bytes
  uint8_t* inputReport = nullptr;   // room for one input report; the link never reads
  uint32_t outputReportLength = 0;  // with the report ID byte
  uint32_t inputReportLength = 0;   // with the report ID byte
};

// The current text cut into 17-byte row slots, and the page shown next.
struct LcdPager {
  char* rows = nullptr;  // null when there is no text
  size_t slotCount = 0;
  int32_t pageIndex = 0;
  int32_t rowBreaks = 0;
};

class Display {
 public:
  explicit Display(DisplayPorts ports, HeapPort& heap = ProcessHeap());
  ~Display();  // releases whatever is still held: buffers, rows block, device
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  // Device discovery and report buffers.
  bool LoadHidLibrary();
  bool FindLcdDevice();
  bool OpenLcdDevice();
  bool FreeReportBuffers();
  bool CloseLcdDevice();
  // A HID device arrived: with no display open (none at start-up, or one that went away) the
  // start-up search runs again, and a display found is initialised and shows the current
  // page at once. False when no display was taken up.
  bool RediscoverLcdDevice(WindowRef window);
  // A HID device went away: when the display is no longer listed, its handle is closed and
  // its buffers freed. True when the display was dropped.
  bool DropDeviceIfGone();

  // The LCD command link. mode: 0 for an instruction, 1 for a character.
  bool LcdWrite(uint8_t value, uint8_t mode);
  // Shows the first page of a paged text at once and gives it a whole page time, instead of
  // leaving the display as it was until the next tick. Off unless the front end asks for it.
  bool firstPageAtOnce = false;

  bool LcdInit(WindowRef window);
  bool LcdShutdown(WindowRef window);
  bool LcdShowLines(const char* row1, const char* row2);

  // Text paging.
  void LcdShowText(const char* text);
  void LcdNextPage();

  const LcdLink& link() const { return link_; }
  const LcdPager& pager() const { return pager_; }
  // The bytes last written into each cell of row 0 or 1.
  const uint8_t* shadowLine(int row) const { return shadow_[row]; }
  // The text of row slot k of the current text (empty past the last slot).
  const char* RowSlot(size_t k) const;

 private:
  bool ShowRow(const char* text, uint8_t* shadow, uint8_t firstAddress);
  void ReleaseRows();
  void ShowPage(int32_t first);
  bool OpenFoundDevice();
  bool WriteInitSequence();
  bool DeviceListed();

  DisplayPorts ports_;
  HeapPort& heap_;
  LcdLink link_;
  LcdPager pager_;
  uint8_t shadow_[2][16] = {};
  WindowRef pageWindow_ = 0;               // the window of the page timer while it runs
  char devicePath_[kDevicePathSize] = {};  // the open display's interface path
  bool writeFailed_ = false;               // the last report written to it failed
};

}  // namespace kc
