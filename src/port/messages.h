// The numbers the main window procedure dispatches on: the platform's messages it handles, the
// program's own messages, its timers, the menu commands, the tray icon and its resources.
#pragma once
#include <cstdint>

namespace kc {

// Platform message numbers the controller dispatches on.
constexpr uint32_t kWmCreate = 0x0001;
constexpr uint32_t kWmDestroy = 0x0002;
constexpr uint32_t kWmCommand = 0x0111;
constexpr uint32_t kWmTimer = 0x0113;
constexpr uint32_t kWmLButtonDblClk = 515;
constexpr uint32_t kWmRButtonDown = 516;
// The machine woke from sleep or hibernation: WM_POWERBROADCAST with PBT_APMRESUMEAUTOMATIC.
constexpr uint32_t kWmPowerBroadcast = 0x0218;
constexpr uint32_t kPbtApmResumeAutomatic = 0x0012;
// A HID interface arrived: WM_DEVICECHANGE with DBT_DEVICEARRIVAL.
constexpr uint32_t kWmDeviceChange = 0x0219;
constexpr uint32_t kDbtDeviceArrival = 0x8000;
// A device went away: DBT_DEVICEREMOVECOMPLETE.
constexpr uint32_t kDbtDeviceRemoveComplete = 0x8004;

// The program's own messages.
constexpr uint32_t SM_START = 1024;
constexpr uint32_t SM_CHECK = 1025;
constexpr uint32_t SM_CHECKDONE = 1026;
constexpr uint32_t SM_SHOWCOUNT = 1028;
constexpr uint32_t SM_LAUNCH = 1029;
constexpr uint32_t SM_GETHOST = 1034;
constexpr uint32_t SM_SOCKET = 1035;
constexpr uint32_t SM_TRAY = 1054;
// The sign-in: an HTTP request ended (first parameter its id); the loopback listener has news.
constexpr uint32_t SM_HTTPDONE = 1055;
constexpr uint32_t SM_LOOPBACK = 1056;

// Timers of the main window.
constexpr uint32_t TIMER_LCDPAGE = 2;
constexpr uint32_t TIMER_CHECK = 3;
// Runs only while a check waits on the server; ends a check whose server has gone silent.
constexpr uint32_t TIMER_SERVERWAIT = 4;
// Runs only while a check that failed for want of a network waits for its early retry.
constexpr uint32_t TIMER_RETRY = 5;
// Runs only for the settling delay between a wake and the check that follows it.
constexpr uint32_t TIMER_WAKE = 6;
// The device sign-in's next poll of the token endpoint.
constexpr uint32_t TIMER_SIGNINPOLL = 7;

// Menu commands, the tray icon, its menu and pictures (resource numbers of res/kestova.rc).
constexpr uint16_t IDM_CHECK = 40001;
constexpr uint16_t IDM_PROPERTIES = 40002;
constexpr uint16_t IDM_EXIT = 40003;
// Shown only with the new-only option: the messages of the last check become seen.
constexpr uint16_t IDM_MARKSEEN = 40004;
// Shown only with AUTH 1: starts a sign-in with the OAuth provider.
constexpr uint16_t IDM_SIGNIN = 40005;
constexpr uint32_t kTrayIconId = 101;
constexpr uint32_t IDR_TRAYMENU = 102;
constexpr uint32_t IDI_IDLE = 101;
constexpr uint32_t IDI_MAIL = 102;
constexpr uint32_t IDI_MANYMAIL = 103;
constexpr uint32_t IDI_BUSY = 104;

// One string names the mutex, the window class and the window title.
constexpr const char* kAppName = "KestovaChecker";
constexpr const char* kCaption = "KESTOVA";

}  // namespace kc
