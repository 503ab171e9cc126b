#include "shell/tray.h"

namespace kc {

// Placeholder until the tray icon lands.
Tray::Tray(TrayPort& port, ClockPort& clock, const Settings& settings, const WindowRef& mainWindow)
    : port_(port), clock_(clock), settings_(settings), mainWindow_(mainWindow) {}
void Tray::AddTrayIcon() {}
void Tray::UpdateTrayIcon(int) {}
int Tray::ShowTrayMenu(WindowRef) { return 0; }

}  // namespace kc
