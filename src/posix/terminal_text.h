// Texts the console puts on the terminal: the status line, rows cut to the terminal's width.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "port/tray.h"

namespace kc::posix {

// The picture of a tray icon resource in words: "no mail" (blue), "mail" (yellow), "much mail"
// (red), "checking" (magenta); "none" for anything else.
const char* TrayPictureName(uint32_t icon);
// The terminal attributes that colour a tray picture's name like the icon.
const char* TrayPictureColour(uint32_t icon);
// The busy picture left in place after a check that failed: "check failed".
extern const char kFailedPictureName[];

// The status line in code page 932: the picture's name in brackets and the tooltip. With
// lastCheckFailed, a busy picture that no check is behind reads "check failed".
std::string StatusLineText(const TrayIconRecord& record, bool lastCheckFailed = false);

// The first `columns` columns of a row of code page 932 text that may hold terminal
// attribute sequences (ESC [ ... letter), which take no column and are kept.
std::string FitColumns(const std::string& row, size_t columns);

}  // namespace kc::posix
