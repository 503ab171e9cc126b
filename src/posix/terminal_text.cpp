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

const char* TrayPictureName(uint32_t icon) {
  switch (icon) {
    case IDI_IDLE: return "no mail";
    case IDI_MAIL: return "mail";
    case IDI_MANYMAIL: return "much mail";
    case IDI_BUSY: return "checking";
    default: return "none";
  }
}

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
