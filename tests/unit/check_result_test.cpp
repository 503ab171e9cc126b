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
  DescribeCheckResult(r, "", serverError, count, "pop.example.jp", out, sizeof out);
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

TEST(CheckResult, RefusalCarriesTheServersWords) {
  CheckResult r = Failed(CheckFailure::kRefused);
  struct {
    int32_t state;
    const char* reply;
    const char* line;
  } cases[] = {
      {PASS, "-ERR [IN-USE] Mailbox in use", "login refused: -ERR [IN-USE] Mailbox in use"},
      {USER, "-ERR no", "login refused: -ERR no"},
      {CONNECTING, "-ERR busy", "server refused the connection: -ERR busy"},
      {STAT, "", "server refused STAT"},
  };
  for (const auto& c : cases) {
    r.refusedState = c.state;
    char out[512];
    DescribeCheckResult(r, c.reply, true, 0, "pop.example.jp", out, sizeof out);
    EXPECT_STREQ(out, c.line);
  }
  // The line stays within its buffer, whatever the server said.
  std::string longReply = "-ERR " + std::string(5000, 'x');
  r.refusedState = PASS;
  char small[24];
  DescribeCheckResult(r, longReply.c_str(), true, 0, "pop.example.jp", small, sizeof small);
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
