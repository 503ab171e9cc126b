// Stands in for the user's mail program: records how it was started, then runs until the test
// lets it go, so the test can look at the notifier while it waits.
//   KC_MAILER_LOG      file that receives the command line and the working directory
//   KC_MAILER_RELEASE  the program ends once this file exists (at most after 120 s)
#include <windows.h>

#include <cstdio>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
  char log[MAX_PATH];
  char release[MAX_PATH];
  DWORD logLength = GetEnvironmentVariableA("KC_MAILER_LOG", log, sizeof log);
  DWORD releaseLength = GetEnvironmentVariableA("KC_MAILER_RELEASE", release, sizeof release);
  if (logLength > 0 && logLength < sizeof log) {
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof cwd, cwd);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    GetStartupInfoA(&si);
    FILE* f = std::fopen(log, "ab");
    if (f != nullptr) {
      std::fprintf(f, "cmdline=%s\ncwd=%s\nshow=%d flags=%lu wShowWindow=%u\n", GetCommandLineA(),
                   cwd, show, si.dwFlags, si.wShowWindow);
      std::fclose(f);
    }
  }
  if (releaseLength > 0 && releaseLength < sizeof release) {
    for (int i = 0; i < 1200; ++i) {
      if (GetFileAttributesA(release) != INVALID_FILE_ATTRIBUTES) break;
      Sleep(100);
    }
  }
  return 0;
}
