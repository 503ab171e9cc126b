#include "posix/command_line.h"

#include <cstring>

#include "text/cp932.h"

namespace kc::posix {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(const char* commandLine) {
  std::vector<std::string> argv;
  const char* s = commandLine;
  const size_t n = std::strlen(s);
  size_t i = 0;

  // The program name: quotes only group, backslashes are path separators.
  std::string name;
  bool quoted = false;
  while (i < n && (quoted || !IsBlank(s[i]))) {
    size_t len = Cp932CharLength(s, n, i);
    if (len == 1 && s[i] == '"') {
      quoted = !quoted;
    } else {
      name.append(s + i, len);
    }
    i += len;
  }
  argv.push_back(name);

  for (;;) {
    while (i < n && IsBlank(s[i])) ++i;
    if (i >= n) break;
    std::string arg;
    quoted = false;
    while (i < n && (quoted || !IsBlank(s[i]))) {
      size_t len = Cp932CharLength(s, n, i);
      if (len == 2) {  // a trail byte 0x5C is not a backslash
        arg.append(s + i, 2);
        i += 2;
      } else if (s[i] == '\\') {
        size_t count = 0;
        while (i < n && s[i] == '\\') {
          ++count;
          ++i;
        }
        if (i < n && s[i] == '"') {
          arg.append(count / 2, '\\');
          if (count % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(count, '\\');
        }
      } else if (s[i] == '"') {
        if (quoted && i + 1 < n && s[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        arg.push_back(s[i]);
        ++i;
      }
    }
    argv.push_back(arg);
  }
  return argv;
}

}  // namespace kc::posix
