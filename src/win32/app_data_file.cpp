#include "win32/app_data_file.h"
// (kept apart so that include sorting leaves the order alone)
#include <shlobj.h>

#include <cstdio>

namespace kc::win32 {

AppDataFile::AppDataFile(const char* stem) : stem_(stem) {
  char base[MAX_PATH] = "";
  if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK) {
    DWORD n = GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
    if (n == 0 || n >= sizeof base) base[0] = '\0';
  }
  if (base[0] == '\0') return;
  int n = std::snprintf(folder_, sizeof folder_, "%s\\KESTOVA", base);
  if (n < 0 || static_cast<size_t>(n) >= sizeof folder_) {
    folder_[0] = '\0';
    return;
  }
  UseAccount(0);
}

void AppDataFile::UseAccount(uint64_t key) {
  path_[0] = temp_[0] = '\0';
  if (folder_[0] == '\0') return;
  char name[40];
  if (key == 0) {
    std::snprintf(name, sizeof name, "%s.dat", stem_);
  } else {
    std::snprintf(name, sizeof name, "%s-%08lx%08lx.dat", stem_,
                  static_cast<unsigned long>(key >> 32),
                  static_cast<unsigned long>(key & 0xFFFFFFFFu));
  }
  // The folder is shorter than MAX_PATH and the name than 40 bytes: both fit with ".tmp".
  std::snprintf(path_, sizeof path_, "%s\\%s", folder_, name);
  std::snprintf(temp_, sizeof temp_, "%s\\%s.tmp", folder_, name);
}

}  // namespace kc::win32
