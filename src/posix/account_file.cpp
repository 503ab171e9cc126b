#include "posix/account_file.h"

#include <cinttypes>
#include <cstdio>

namespace kc::posix {

std::string AccountFilePath(const std::string& firstPath, const char* stem, uint64_t key) {
  if (key == 0 || firstPath.empty()) return firstPath;
  const size_t slash = firstPath.rfind('/');
  const std::string folder =
      slash == std::string::npos ? std::string() : firstPath.substr(0, slash + 1);
  char name[64];
  std::snprintf(name, sizeof name, "%s-%016" PRIx64 ".dat", stem, key);
  return folder + name;
}

}  // namespace kc::posix
