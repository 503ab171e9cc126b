// The Linux program: the same core as on Windows, over the POSIX back ends.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/app.h"
#include "posix/backends.h"
#include "posix/console.h"
#include "posix/settings_dialog.h"

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

#ifndef KC_VERSION
#define KC_VERSION "0"
#endif

void PrintUsage(FILE* out) {
  std::string path = posix::SettingsFilePath();
  std::string seen = posix::SeenStorePath();
  std::fprintf(out,
               "Usage: kestova [--help | --version]\n"
               "\n"
               "KESTOVA Checker watches a POP3 mailbox (up to eight: the settings file's sections\n"
               "...\\KESTOVA\\2 to \\8 are the accounts after the first). It shows the count and\n"
               "the senders on the USB LCD (vendor 0x5E1C, product 0x2A07) and the state in the\n"
               "status line at the bottom of the terminal, and starts your mail program on request.\n"
               "\n"
               "Settings file: %s\n"
               "  (KESTOVA_SETTINGS_FILE overrides the path; without settings and a terminal the\n"
               "  program prints what to write into it and ends with exit code 1)\n"
               "Keys: c check now, m start the mail program, p settings, space menu, q quit,\n"
               "  ? keys; with NEWONLY (new mail only) r marks the last check's messages seen;\n"
               "  with AUTH 1 (OAuth 2.0) s signs in with the provider\n"
               "List of seen messages (NEWONLY): %s\n"
               "  (the other accounts' lists and sign-ins beside it, one file each)\n"
               "Status line: [no mail] [mail] 1 to 10 messages, [much mail] more than 10,\n"
               "  [checking], [check failed]; the tooltip's NextCheck time; the last outcome\n"
               "Trace (English) on standard error: kestova 2>trace.log\n"
               "Exit codes: 0 normal end, 1 no settings and no terminal, 2 unknown option,\n"
               "  255 another instance already runs\n",
               path.empty() ? "(none: HOME is not set)" : path.c_str(),
               seen.empty() ? "(none: HOME is not set)" : seen.c_str());
}

bool IsKnownOption(const char* arg) {
  for (const char* known : {"--help", "-h", "--version", "-V"}) {
    if (std::strcmp(arg, known) == 0) return true;
  }
  return false;
}

// 0 to run; otherwise the process exit code after --help, --version or a bad option.
int ReadCommandLine(int argc, char** argv, bool* run) {
  *run = false;
  if (argc <= 1) {
    *run = true;
    return 0;
  }
  const char* option = argv[1];
  if (argc == 2 && (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0)) {
    PrintUsage(stdout);
    return 0;
  }
  if (argc == 2 && (std::strcmp(option, "--version") == 0 || std::strcmp(option, "-V") == 0)) {
    std::printf("kestova (KESTOVA Checker for Linux) %s\n", KC_VERSION);
    return 0;
  }
  // The first argument that is none of the options, else the second option (they are alone).
  const char* unknown = argv[argc - 1];
  for (int i = argc - 1; i >= 1; --i) {
    if (!IsKnownOption(argv[i])) unknown = argv[i];
  }
  std::fprintf(stderr, "kestova: unknown option or argument: %s\n\n", unknown);
  PrintUsage(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool run = false;
  int optionsCode = ReadCommandLine(argc, argv, &run);
  if (!run) return optionsCode;

  // A peer that goes away (the POP3 server, a running instance asked forward) is an error
  // result of the write, not the end of the program.
  signal(SIGPIPE, SIG_IGN);
  posix::EventLoop loop;
  posix::StderrTrace trace;
  loop.SetAfterDispatch([&trace] { trace.Flush(); });
  posix::StderrMessageBox box;
  posix::SystemClock clock;
  std::unique_ptr<RegistryPort> registry = posix::MakeRegistry();
  std::unique_ptr<WinSockPort> winsock = posix::MakeWinSock(loop);
  std::unique_ptr<HidPort> hid = posix::MakeHid();
  std::unique_ptr<TrayPort> tray = posix::MakeTray(loop);
  std::unique_ptr<SettingsDialogPort> dialog = posix::MakeSettingsDialog(loop);
  std::unique_ptr<ProcessPort> process = posix::MakeProcess();
  std::unique_ptr<NoticePort> notice = posix::MakeNotice(loop);
  std::unique_ptr<TlsPort> tls = posix::MakeTls();
  std::unique_ptr<SeenStorePort> seenStore = posix::MakeSeenStore();
  std::unique_ptr<NotifierPort> notifier = posix::MakeNotifier(loop, trace);
  // The OAuth 2.0 sign-in (AUTH 1); libcurl is started only when a request is made.
  std::unique_ptr<HttpPort> http = posix::MakeHttp(loop);
  std::unique_ptr<TokenStorePort> tokens = posix::MakeTokenStore();
  std::unique_ptr<CryptoPort> crypto = posix::MakeCrypto();
  std::unique_ptr<LoopbackPort> loopback = posix::MakeLoopback(loop);
  std::unique_ptr<BrowserPort> browser = posix::MakeBrowser();
  Platform platform{loop,  box,     trace,    clock,   *registry, *winsock,  *hid,
                    *tray, *dialog, *process, *notice, *tls,      *seenStore, *notifier};
  auto app = std::make_unique<App>(platform);
  app->UseSignIn(SignInPorts{*http, *tokens, *crypto, *loopback, *browser});

  // The console is the program's window on Linux: a second start brings the status line back
  // into view and says so.
  posix::Console& console = posix::Console::Get(loop);
  bool askedForward = false;
  if (posix::AcquireSingleInstance(
          kAppName, loop,
          [&console] {
            console.PrintLine("KestovaChecker: asked forward by a second start");
            console.RedrawStatus();
          },
          &askedForward) != 0) {
    std::fprintf(stderr, askedForward
                             ? "kestova: already running; asked the running program to come "
                               "forward\n"
                             : "kestova: already running (its lock is held), but it could not "
                               "be asked to come forward\n");
    return -1;
  }
  int signals = WatchTerminationSignals(loop, app->mainWindow);
  // A display plugged in after start-up, or again after it went away, is taken up.
  int hidArrivals = posix::WatchHidArrivals(loop, app->mainWindow);
  // A wake from sleep brings a check once the network has had a moment.
  std::unique_ptr<posix::WakeWatch> wakes = posix::WatchWakes(loop, app->mainWindow);
  // The result of a check is on the display as soon as it is known, not at the next page turn.
  app->display.firstPageAtOnce = true;
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
  wakes.reset();
  // Without settings and without a terminal for the form there was nothing to run.
  if (exitCode == 0 && posix::EndedForMissingSettings()) exitCode = 1;
  posix::ReleaseSingleInstance();
  if (signals >= 0) close(signals);
  if (hidArrivals >= 0) close(hidArrivals);
  return exitCode;
}
