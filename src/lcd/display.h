// The two-row LCD on its USB HID device: discovery, the command link and text paging.
#pragma once
#include <cstdint>

#include "app/window.h"
#include "lcd/hid_port.h"

namespace kc {

struct DisplayPorts {
  HidPort& hid;
  WindowPort& window;
  TracePort& trace;
  MessageBoxPort& box;
};

class Display {
 public:
  explicit Display(DisplayPorts ports);
  ~Display();
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  bool OpenLcdDevice();
  bool FreeReportBuffers();
  bool CloseLcdDevice();

  bool LcdWrite(uint8_t value, uint8_t mode);
  bool LcdInit(WindowRef window);
  bool LcdShutdown(WindowRef window);
  bool LcdShowLines(const char* row1, const char* row2);

  void LcdShowText(const char* text);
  void LcdNextPage();

 private:
  DisplayPorts ports_;
};

}  // namespace kc
