// The files the program keeps in %LOCALAPPDATA%\KESTOVA, a folder a standard user can write to:
// one of a kind for each account ("seen.dat" the first account's, "seen-<key>.dat", the key in
// 16 lowercase hex digits, any other's), each replaced through "<name>.tmp" beside it.
#pragma once
#include <windows.h>

#include <cstdint>

namespace kc::win32 {

class AppDataFile {
 public:
  // `stem` names the kind: "seen", "token". Without a local application data folder, or with
  // one whose path is too long, every path is "".
  explicit AppDataFile(const char* stem);
  // Points path() and temp() at the account's file: key 0 the first account's.
  void UseAccount(uint64_t key);

  const char* folder() const { return folder_; }
  const char* path() const { return path_; }
  const char* temp() const { return temp_; }

 private:
  const char* stem_;
  char folder_[MAX_PATH] = "";
  char path_[MAX_PATH + 48] = "";
  char temp_[MAX_PATH + 48] = "";
};

}  // namespace kc::win32
