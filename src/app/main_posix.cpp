// The Linux program: the same core as on Windows, over the POSIX back ends.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <memory>

#include "app/app.h"
#include "posix/backends.h"
#include "shell/console_posix.h"

using namespace kc;

namespace {

// SIGINT and SIGTERM end the program as the menu's exit command does.
int WatchTerminationSignals(posix::EventLoop& loop, const WindowRef& mainWindow) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) return -1;
  loop.Watch(fd, POLLIN, [fd, &loop, &mainWindow](short) {
    signalfd_siginfo info;
    while (read(fd, &info, sizeof info) == sizeof info) {
    }
    loop.Post(mainWindow, kWmCommand, IDM_EXIT, 0);
  });
  return fd;
}

}  // namespace

int main() {
  // A peer that goes away (the POP3 server, a running instance asked forward) is an error
  // result of the write, not the end of the program.
  signal(SIGPIPE, SIG_IGN);
  posix::EventLoop loop;
  posix::StderrTrace trace;
  posix::StderrMessageBox box;
  posix::SystemClock clock;
  std::unique_ptr<RegistryPort> registry = posix::MakeRegistry();
  std::unique_ptr<WinSockPort> winsock = posix::MakeWinSock(loop);
  std::unique_ptr<HidPort> hid = posix::MakeHid();
  std::unique_ptr<TrayPort> tray = posix::MakeTray(loop);
  std::unique_ptr<SettingsDialogPort> dialog = posix::MakeSettingsDialog(loop);
  std::unique_ptr<ProcessPort> process = posix::MakeProcess();
  std::unique_ptr<TlsPort> tls = posix::MakeTls();
  Platform platform{loop, box,   trace,   clock,    *registry, *winsock,
                    *hid, *tray, *dialog, *process, *tls};
  auto app = std::make_unique<App>(platform);

  // The console is the program's window on Linux: a second start brings the status line back
  // into view and says so.
  posix::Console& console = posix::Console::Get(loop);
  if (posix::AcquireSingleInstance(kAppName, loop, [&console] {
        console.PrintLine("KestovaChecker: asked forward by a second start");
        console.RedrawStatus();
      }) != 0) {
    return -1;
  }
  int signals = WatchTerminationSignals(loop, app->mainWindow);
  app->mainWindow = loop.CreateWindow([&app](WindowRef w, uint32_t msg, WParam wp, LParam lp) {
    return app->MainWndProc(w, msg, wp, lp);
  });
  if (app->mainWindow == 0) {
    box.Show(0, "ウインドウ作成でエラーが発生しました", kCaption);
    return -1;
  }
  // Keys, status line and form from here on; the terminal is given back when the loop ends.
  console.Start(app->mainWindow);
  int exitCode = loop.Run();
  console.Stop();
  posix::ReleaseSingleInstance();
  if (signals >= 0) close(signals);
  return exitCode;
}
