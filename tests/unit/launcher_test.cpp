// The mail program launcher: the path split over code page 932, the launch order and the wait.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fakes.h"

namespace kc::test {
namespace {

struct SplitCase {
  const char* name;
  std::string path;
  std::string fullPath;
  std::string args;  // "" when the buffer must stay untouched
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, CutsPathAndArguments) {
  const SplitCase& c = GetParam();
  // The input sits in a block of its exact length, so a read past its NUL is caught by the
  // sanitizers; the bytes after the NUL would also change the split if they were read.
  std::vector<char> input(c.path.begin(), c.path.end());
  input.push_back('\0');
  char fullPath[280];
  char args[280];
  std::memset(fullPath, 'F', sizeof fullPath);
  std::memset(args, 0, sizeof args);
  args[200] = 'A';  // the arguments buffer is left as it was when there are none
  SplitProgramPath(input.data(), fullPath, args);
  EXPECT_EQ(std::string(fullPath), c.fullPath);
  EXPECT_EQ(std::string(args), c.args);
  EXPECT_EQ(args[200], 'A');
}

// 0x95 0x5C is a double-byte character whose trail byte is the byte of "\"; 0x83 0x5C too.
INSTANTIATE_TEST_SUITE_P(
    Launcher, Split,
    ::testing::Values(
        SplitCase{"PlainPath", "C:\\Mail\\mail.exe", "C:\\Mail\\mail.exe", ""},
        SplitCase{"WithArguments", "C:\\Mail\\mail.exe -check", "C:\\Mail\\mail.exe", " -check"},
        SplitCase{"SlashArgumentDoesNotSplit", "C:\\Mail\\mail.exe /check",
                  "C:\\Mail\\mail.exe /check", ""},
        SplitCase{"DotInArgumentsDoesNotSplit", "C:\\Mail\\mail.exe -f a.cfg",
                  "C:\\Mail\\mail.exe -f a.cfg", ""},
        SplitCase{"QuotedPathKeepsItsQuotes", "\"C:\\Mail\\mail.exe\" -check",
                  "\"C:\\Mail\\mail.exe\"", " -check"},
        SplitCase{"NoExtensionWithArguments", "C:\\Mail\\mailer -x", "C:\\Mail\\mailer -x", ""},
        SplitCase{"NoDrive", "mail.exe -check", "mail.exe", " -check"},
        SplitCase{"DoubleByteFolder", "C:\\\x95\x5C\\mail.exe -check", "C:\\\x95\x5C\\mail.exe",
                  " -check"},
        SplitCase{"TrailByteInArguments", "C:\\Mail\\mail.exe -\x83\x5C", "C:\\Mail\\mail.exe",
                  " -\x83\x5C"},
        SplitCase{"LeadByteBeforeTheNul", "C:\\Mail\\mail.exe -\x83", "C:\\Mail\\mail.exe",
                  " -\x83"},
        SplitCase{"Empty", "", "", ""},
        SplitCase{"NameCutTo255", std::string(257, 'n') + ".e", std::string(255, 'n') + ".e", ""},
        SplitCase{"Longest", "C:\\" + std::string(250, 'd') + "\\m.exe",
                  "C:\\" + std::string(250, 'd') + "\\m.exe", ""}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

TEST(Launcher, ReadsAtMost259BytesOfTheInput) {
  std::string longer = "C:\\Mail\\mail.exe -" + std::string(300, 'x');
  char fullPath[280] = {};
  char args[280] = {};
  SplitProgramPath(longer.c_str(), fullPath, args);
  EXPECT_STREQ(fullPath, "C:\\Mail\\mail.exe");
  EXPECT_EQ(std::strlen(fullPath) + std::strlen(args), 259u);
}

TEST(Launcher, ByteAfterTheNulIsNeverRead) {
  // A lead byte right before the NUL, with a separator and a dot behind the NUL.
  const char input[] = "C:\\Mail\\mail.exe -\x83\0\\zz.q";
  char fullPath[280] = {};
  char args[280] = {};
  SplitProgramPath(input, fullPath, args);
  EXPECT_STREQ(fullPath, "C:\\Mail\\mail.exe");
  EXPECT_STREQ(args, " -\x83");
}

TEST(Launcher, WaitIsHalfTheIntervalBoundedToFiniteTime) {
  EXPECT_EQ(LaunchWaitMs(30), 900000u);
  EXPECT_EQ(LaunchWaitMs(5), 120000u);
  EXPECT_EQ(LaunchWaitMs(7), 180000u);  // halved in integers
  EXPECT_EQ(LaunchWaitMs(1), 0u);
  EXPECT_EQ(LaunchWaitMs(0), 0u);
  EXPECT_EQ(LaunchWaitMs(-5), 0u);
  EXPECT_EQ(LaunchWaitMs(INT32_MIN), 0u);
  EXPECT_EQ(LaunchWaitMs(143165), 4294920000u);  // the last that fits
  EXPECT_EQ(LaunchWaitMs(143166), 0xFFFFFFFEu);  // never the platform's "forever"
  EXPECT_EQ(LaunchWaitMs(INT32_MAX), 0xFFFFFFFEu);
}

constexpr WindowRef kMain = 0x77;

struct LaunchHarness {
  FakeProcess process;
  FakeWindow window;
  FakeNotice notice;
  Settings settings;
  Launcher launcher{process, window, notice, settings};
  size_t startsWhenLaunchSent = 99;
  LaunchHarness() {
    window.proc = [this](WindowRef, uint32_t msg, WParam, LParam) -> LResult {
      if (msg == SM_LAUNCH) startsWhenLaunchSent = process.started.size();
      return 0;
    };
  }
};

TEST(Launcher, SendsLaunchStartsWaitsClosesThenPostsCheck) {
  LaunchHarness h;
  std::strcpy(h.settings.mailer, "C:\\Mail\\mail.exe -check");
  h.settings.interval = 30;
  h.launcher.LaunchMailer(kMain);

  ASSERT_EQ(h.window.sent.size(), 1u);
  EXPECT_EQ(h.window.sent[0], (PostedMessage{kMain, SM_LAUNCH, 0, 0}));
  EXPECT_EQ(h.startsWhenLaunchSent, 0u);  // the busy picture comes before the start
  ASSERT_EQ(h.process.started.size(), 1u);
  EXPECT_EQ(h.process.started[0].first, "C:\\Mail\\mail.exe");
  EXPECT_EQ(h.process.started[0].second, "\"C:\\Mail\\mail.exe\" -check");
  EXPECT_EQ(h.process.waits, std::vector<uint32_t>{900000u});
  EXPECT_EQ(h.process.closed, std::vector<ProcessRef>{7});
  ASSERT_EQ(h.window.posted.size(), 1u);
  EXPECT_EQ(h.window.posted[0], (PostedMessage{kMain, SM_CHECK, 0, 0}));
}

TEST(Launcher, CommandLineWithoutArgumentsIsTheQuotedPath) {
  LaunchHarness h;
  std::strcpy(h.settings.mailer, "C:\\Mail\\mail.exe");
  h.launcher.LaunchMailer(kMain);
  ASSERT_EQ(h.process.started.size(), 1u);
  EXPECT_EQ(h.process.started[0].second, "\"C:\\Mail\\mail.exe\"");
}

TEST(Launcher, WaitFollowsTheCurrentInterval) {
  for (int32_t interval : {5, 7, -5, INT32_MAX}) {
    LaunchHarness h;
    std::strcpy(h.settings.mailer, "mail.exe");
    h.settings.interval = interval;
    h.launcher.LaunchMailer(kMain);
    ASSERT_EQ(h.process.waits.size(), 1u);
    EXPECT_EQ(h.process.waits[0], LaunchWaitMs(interval)) << interval;
  }
}

TEST(Launcher, FailedStartStillShowsBusyAndChecksAtOnce) {
  LaunchHarness h;
  std::strcpy(h.settings.mailer, "\"C:\\Mail\\mail.exe\"");
  h.process.next = 0;  // the start fails
  h.launcher.LaunchMailer(kMain);
  EXPECT_EQ(h.window.sent.size(), 1u);
  EXPECT_EQ(h.process.started.size(), 1u);
  EXPECT_TRUE(h.process.waits.empty());
  EXPECT_TRUE(h.process.closed.empty());
  ASSERT_EQ(h.window.posted.size(), 1u);
  EXPECT_EQ(h.window.posted[0].msg, SM_CHECK);
}

TEST(Launcher, EmptyMailerOnlySaysSo) {
  LaunchHarness h;
  h.launcher.LaunchMailer(kMain);
  EXPECT_EQ(h.notice.noMailProgram, 1);
  EXPECT_TRUE(h.window.sent.empty());
  EXPECT_TRUE(h.window.posted.empty());
  EXPECT_TRUE(h.process.started.empty());
}

TEST(Launcher, MailerFillingItsWholeFieldStaysBounded) {
  LaunchHarness h;
  std::memset(h.settings.mailer, 'm', sizeof h.settings.mailer);  // no NUL at all
  h.launcher.LaunchMailer(kMain);
  ASSERT_EQ(h.process.started.size(), 1u);
  EXPECT_EQ(h.process.started[0].first.size(), 255u);  // the file name cut to 255 bytes
  EXPECT_EQ(h.process.started[0].second, "\"" + h.process.started[0].first + "\"");
}

}  // namespace
}  // namespace kc::test
