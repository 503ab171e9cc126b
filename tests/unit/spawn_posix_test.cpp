// Starting another program: whatever the notifier's own standard input, descriptors and
// signal settings, the child reads /dev/null, holds no other descriptor of the notifier and
// starts with every signal at its default and none blocked; its output goes where it is asked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "posix/files.h"
#include "posix/spawn.h"

namespace kc::posix {
namespace {

// A descriptor the notifier holds without close-on-exec, at a number of its own.
constexpr int kStrayFd = 57;

// Writes what the shell that runs it finds: its input, whether kStrayFd is open, and its
// blocked and ignored signals, into the file named by $1; then one line of output. The shell
// reads its own /proc status with a builtin: while it waits for a command it runs, it blocks
// signals of its own accord.
constexpr char kReport[] =
    "{ printf 'input=%s\\n' \"$(cat)\";"
    "  if [ -e /proc/$$/fd/57 ]; then echo stray=open; else echo stray=closed; fi;"
    "  while read -r line; do case $line in Sig*) echo \"$line\";; esac; done"
    "    < /proc/$$/status; } > \"$1\"; echo output";

std::string ReadFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    ReadToEnd(fd, 1 << 16, &text);
    close(fd);
  }
  return text;
}

// The value of a "Name:\t<hex>" line of /proc/<pid>/status.
unsigned long long SignalMask(const std::string& status, const char* name) {
  size_t at = status.find(name);
  if (at == std::string::npos) return ~0ull;
  return std::strtoull(status.c_str() + at + std::strlen(name), nullptr, 16);
}

struct SpawnCase {
  const char* program;
  SpawnLookup lookup;
  SpawnOutput output;
  const char* expectOutput;
};

TEST(Spawn, ChildStartsCleanWhateverTheNotifierHolds) {
  if (access("/proc/self/status", R_OK) != 0) GTEST_SKIP() << "no /proc on this host";
  const SpawnCase cases[] = {
      {"/bin/sh", SpawnLookup::kPathAsGiven, SpawnOutput::kInherit, "output\n"},
      {"sh", SpawnLookup::kSearchPath, SpawnOutput::kDiscard, ""},
  };
  for (const SpawnCase& c : cases) {
    char dir[] = "/tmp/kc-spawn-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string report = std::string(dir) + "/report";

    // The notifier's side: input waiting on its standard input, its output into a pipe, a
    // stray descriptor, SIGUSR1 ignored and SIGUSR2 blocked.
    int input[2];
    int output[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(output), 0);
    ASSERT_TRUE(WriteAll(input[1], "the notifier's input", 20));
    close(input[1]);
    const int savedIn = dup(STDIN_FILENO);
    const int savedOut = dup(STDOUT_FILENO);
    ASSERT_EQ(dup2(input[0], STDIN_FILENO), STDIN_FILENO);
    ASSERT_EQ(dup2(output[1], STDOUT_FILENO), STDOUT_FILENO);
    ASSERT_EQ(dup2(input[0], kStrayFd), kStrayFd);
    close(input[0]);
    close(output[1]);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before = {};
    sigaction(SIGUSR1, &ignore, &before);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigset_t mask;
    sigprocmask(SIG_BLOCK, &block, &mask);

    std::string script = kReport;
    std::string argv0 = c.program;
    std::string dash = "-c";
    std::string name = "report";
    std::string path = report;
    char* argv[] = {argv0.data(), dash.data(), script.data(), name.data(), path.data(), nullptr};
    pid_t pid = 0;
    const int rc = SpawnDetached(c.program, argv, c.lookup, c.output, &pid);
    int status = -1;
    if (rc == 0) waitpid(pid, &status, 0);

    sigprocmask(SIG_SETMASK, &mask, nullptr);
    sigaction(SIGUSR1, &before, nullptr);
    dup2(savedIn, STDIN_FILENO);
    dup2(savedOut, STDOUT_FILENO);
    close(savedIn);
    close(savedOut);
    close(kStrayFd);
    std::string written;
    ReadToEnd(output[0], 1 << 16, &written);
    close(output[0]);

    ASSERT_EQ(rc, 0) << c.program;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.program;
    EXPECT_EQ(written, c.expectOutput) << c.program;
    const std::string seen = ReadFile(report);
    EXPECT_NE(seen.find("input=\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("stray=closed\n"), std::string::npos) << seen;
    EXPECT_EQ(SignalMask(seen, "SigBlk:"), 0u) << seen;
    EXPECT_EQ(SignalMask(seen, "SigIgn:") & (1ull << (SIGUSR1 - 1)), 0u) << seen;
    unlink(report.c_str());
    rmdir(dir);
  }
}

// A program that is not there is an error number, and no child.
TEST(Spawn, MissingProgramIsAnErrorNumber) {
  const struct {
    const char* program;
    SpawnLookup lookup;
  } cases[] = {
      {"/nonexistent/kestova-program", SpawnLookup::kPathAsGiven},
      {"kestova-no-such-program", SpawnLookup::kSearchPath},
  };
  for (const auto& c : cases) {
    std::string argv0 = c.program;
    char* argv[] = {argv0.data(), nullptr};
    pid_t pid = 12345;
    EXPECT_EQ(SpawnDetached(c.program, argv, c.lookup, SpawnOutput::kInherit, &pid), ENOENT)
        << c.program;
    EXPECT_EQ(pid, 12345) << c.program;
  }
}

}  // namespace
}  // namespace kc::posix
