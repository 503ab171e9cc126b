#include "posix/terminal_text.h"

#include <cstring>

#include "text/cp932.h"

namespace kc::posix {

std::string FitColumns(const std::string& row, size_t columns) {
  std::string out;
  size_t used = 0;
  bool cut = false;
  for (size_t i = 0; i < row.size();) {
    if (row[i] == '\x1b' && i + 1 < row.size() && row[i + 1] == '[') {
      size_t j = i + 2;
      while (j < row.size() && !(row[j] >= 0x40 && row[j] <= 0x7E)) ++j;
      size_t end = j < row.size() ? j + 1 : j;
      out.append(row, i, end - i);
      i = end;
      continue;
    }
    size_t n = Cp932CharLength(row.data(), row.size(), i);
    if (!cut && used + n <= columns) {
      out.append(row, i, n);
      used += n;
    } else {
      cut = true;
    }
    i += n;
  }
  return out;
}

namespace {

// Each tray picture in words and in the terminal's colours.
struct TrayPicture {
  uint32_t icon;
  const char* name;
  const char* colour;
};

constexpr TrayPicture kTrayPictures[] = {
    {IDI_IDLE, "no mail", "\x1b[1;97;44m"},        // blue
    {IDI_MAIL, "mail", "\x1b[1;30;43m"},           // yellow
    {IDI_MANYMAIL, "much mail", "\x1b[1;97;41m"},  // red
    {IDI_BUSY, "checking", "\x1b[1;97;45m"},       // magenta
};
constexpr TrayPicture kUnknownPicture = {0, "none", "\x1b[7m"};

const TrayPicture& PictureOf(uint32_t icon) {
  for (const TrayPicture& picture : kTrayPictures) {
    if (picture.icon == icon) return picture;
  }
  return kUnknownPicture;
}

}  // namespace

const char* TrayPictureName(uint32_t icon) { return PictureOf(icon).name; }

const char* TrayPictureColour(uint32_t icon) { return PictureOf(icon).colour; }

const char kFailedPictureName[] = "check failed";

std::string StatusLineText(const TrayIconRecord& record, bool lastCheckFailed) {
  std::string line = "[";
  line += lastCheckFailed && record.icon == IDI_BUSY ? kFailedPictureName
                                                     : TrayPictureName(record.icon);
  line += "] ";
  line.append(record.tip, strnlen(record.tip, sizeof record.tip));
  return line;
}

}  // namespace kc::posix
