// The outcome of a check in words, and WinSock numbers with their names.
#include "pop3/check_result.h"

#include <gtest/gtest.h>

#include <string>

#include "pop3/poller.h"
#include "pop3/winsock_errors.h"
#include "posix/backends.h"

namespace kc {
namespace {

std::string Describe(const CheckResult& r, bool serverError = true, int32_t count = 0) {
  char out[512];
  DescribeCheckResult(r, r.replyText, serverError, count, "pop.example.jp", out, sizeof out);
  return out;
}

CheckResult Failed(CheckFailure why, int32_t error = 0) {
  CheckResult r;
  r.failure = why;
  r.winsockError = error;
  return r;
}

TEST(CheckResult, CountsAndFailuresInWords) {
  EXPECT_EQ(Describe(CheckResult{}, false, 0), "0 messages");
  EXPECT_EQ(Describe(CheckResult{}, false, 1), "1 message");
  EXPECT_EQ(Describe(CheckResult{}, false, 300), "300 messages");
  EXPECT_EQ(Describe(CheckResult{}, true), "check failed");  // no reason recorded
  EXPECT_EQ(Describe(Failed(CheckFailure::kHostNotFound, 11001)), "host not found: pop.example.jp");
  EXPECT_EQ(Describe(Failed(CheckFailure::kLookupFailed, 11002)),
            "host lookup failed: pop.example.jp (WSATRY_AGAIN 11002)");
  EXPECT_EQ(Describe(Failed(CheckFailure::kConnectFailed, 10061)), "connection refused");
  EXPECT_EQ(Describe(Failed(CheckFailure::kConnectFailed, 10060)), "connection timed out");
  EXPECT_EQ(Describe(Failed(CheckFailure::kConnectFailed, 10065)),
            "could not connect (WSAEHOSTUNREACH 10065)");
  EXPECT_EQ(Describe(Failed(CheckFailure::kConnectFailed, 12345)), "could not connect (12345)");
  EXPECT_EQ(Describe(Failed(CheckFailure::kTimedOut)), "server timed out");
  EXPECT_EQ(Describe(Failed(CheckFailure::kCertificateNotTrusted)), "certificate not trusted");
}

TEST(CheckResult, RefusalCarriesTheServersWordsSafeForATerminal) {
  CheckResult r = Failed(CheckFailure::kRefused);
  r.refusedState = PASS;
  KeepReplyText("-ERR [IN-USE] Mailbox in use\r\n+OK", "", r.replyText);
  EXPECT_EQ(Describe(r), "login refused: -ERR [IN-USE] Mailbox in use");

  // Escape sequences and other control bytes from the server never reach the terminal as such.
  KeepReplyText("-ERR \x1b[2J\x07gone\x7f", "", r.replyText);
  EXPECT_STREQ(r.replyText, "-ERR ?[2J?gone?");
  // A server that echoes the password does not put it on the screen.
  KeepReplyText("-ERR bad PASS s3cret (s3cret)", "s3cret", r.replyText);
  EXPECT_STREQ(r.replyText, "-ERR bad PASS ****** (******)");
  // A reply longer than the kept text is cut, and the line stays bounded.
  std::string longReply = "-ERR " + std::string(5000, 'x');
  KeepReplyText(longReply.c_str(), nullptr, r.replyText);
  EXPECT_EQ(std::string(r.replyText).size(), kReplyTextSize - 1);
  char small[24];
  DescribeCheckResult(r, r.replyText, true, 0, "pop.example.jp", small, sizeof small);
  EXPECT_EQ(std::string(small), "login refused: -ERR xxx");
}

TEST(WinSockNames, NamedBesideTheNumbersInTheLinuxTrace) {
  EXPECT_STREQ(WinSockErrorName(11001), "WSAHOST_NOT_FOUND");
  EXPECT_STREQ(WinSockErrorName(10061), "WSAECONNREFUSED");
  EXPECT_EQ(WinSockErrorName(10000), nullptr);
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"WSAAsyncGetHostByName() error: 11001\r\n",
       "WSAAsyncGetHostByName() error: 11001 (WSAHOST_NOT_FOUND)\r\n"},
      {"Could not connect to the server: 10061\r\n",
       "Could not connect to the server: 10061 (WSAECONNREFUSED)\r\n"},
      // Other numbers stay as they are: counts, times, unknown codes, longer numbers.
      {"7 messages 120345 bytes\r\n", "7 messages 120345 bytes\r\n"},
      {"took 10061  milliseconds\r\n", "took 10061  milliseconds\r\n"},
      {"error: 10000\r\n", "error: 10000\r\n"},
      {"error: 100610\r\n", "error: 100610\r\n"},
      {"recv() error: -1", "recv() error: -1"},
      {"error: 10054", "error: 10054 (WSAECONNRESET)"},
      {"", ""},
      {":", ":"},
  };
  for (const auto& c : cases) EXPECT_EQ(posix::NameWinSockNumbers(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace kc
