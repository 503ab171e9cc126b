#include "lcd/display.h"

namespace kc {

// Placeholder until the display lands: no device, nothing shown.
Display::Display(DisplayPorts ports) : ports_(ports) {}
Display::~Display() = default;
bool Display::OpenLcdDevice() { return false; }
bool Display::FreeReportBuffers() { return true; }
bool Display::CloseLcdDevice() { return false; }
bool Display::LcdWrite(uint8_t, uint8_t) { return false; }
bool Display::LcdInit(WindowRef) { return false; }
bool Display::LcdShutdown(WindowRef) { return true; }
bool Display::LcdShowLines(const char*, const char*) { return false; }
void Display::LcdShowText(const char*) {}
void Display::LcdNextPage() {}

}  // namespace kc
