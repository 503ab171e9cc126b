// Replies to TOP with the header blocks real mail carries: kilobytes of Received, ARC and DKIM
// headers around the From: line, delivered whole, in network-sized pieces and split at every
// awkward point. The sender must be right and the dialogue must go on to QUIT.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_winsock.h"

namespace kc::test {
namespace {

// Header lines as large providers send them, several folded over continuation lines.
const char* const kProviderHeaders[] = {
    "Received: from mail-sor-f41.google.com (mail-sor-f41.google.com. [209.85.220.41])\r\n"
    "        by mx.google.com with SMTPS id "
    "a640c23a62f3a-a9a0f2b4f81sor1234567166b.9.2026.12.10\r\n"
    "        for <bob@example.org>; Thu, 10 Dec 2026 04:12:33 -0800 (PST)\r\n",
    "ARC-Seal: i=1; a=rsa-sha256; t=1796891553; cv=none; d=google.com; s=arc-20240605;\r\n"
    "        b=Jq3mH1fVnq2t0Yc8xN0aX1rLq2d7ZP5u6mSx0S1r2VtQmI1z9hJ0kqf8w0Fj3bXc9Lr\r\n"
    "         kq0M2mZcA8b5Xr4oW7l6mUe5pT3xG0yN2vK3hB8bWq1sR7eU4aF6tY9dQ2cZ0jL8nH5g\r\n"
    "         f3Qy9wX2kP7mB4vR1tN6hL0cS8jA5dE2uG9iK3oF7zT4xW1yV6bM8nQ0rJ5pC2lH==\r\n",
    "ARC-Message-Signature: i=1; a=rsa-sha256; c=relaxed/relaxed; d=google.com;\r\n"
    "        s=arc-20240605; h=to:subject:message-id:date:from:mime-version\r\n"
    "         :dkim-signature; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\r\n"
    "        b=Xc7Lr2mQ9wB4kT1vN6hF0sD8jA3eG5uK2oI7zP4xW9yR1bM6nC0lJ5tH8qV3fS2d\r\n"
    "         Z6aE1gU4iO7kY0pL3mN8bR5tW2xQ9vC6jF1hD4sA7zG0eK3uI6oP9yT2lM5nB8rX1w==\r\n",
    "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=gmail.com; s=20230601;\r\n"
    "        t=1796891553; x=1797496353; darn=example.org;\r\n"
    "        h=to:subject:message-id:date:from:mime-version:from:to:cc:subject\r\n"
    "         :date:message-id:reply-to;\r\n"
    "        bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\r\n"
    "        b=mT4kR9wL2xB7nV0cQ5hJ8sF3dA6gE1uK4oI9zP2yW7tR0bM5nC8lX3jH6qS1fD4v\r\n"
    "         A9eG2uK5oI8zP1xW4yR7bM0nC3lJ6tH9qV2fS5dZ8aE1gU4iO7kY0pL3mN6bR9tW2x==\r\n",
    "X-Google-Smtp-Source: AGHT+IFkq8r2Lr7mQ1wB4kT9vN6hF0sD3jA8eG5uK2oI7zP4xW9yR1bM6nC0l\r\n",
    "Authentication-Results: mx.example.org; dkim=pass header.d=gmail.com;\r\n"
    "        spf=pass (example.org: domain of alice@gmail.com designates 209.85.220.41\r\n"
    "        as permitted sender) smtp.mailfrom=alice@gmail.com; dmarc=pass\r\n",
};

// Header lines of exactly n bytes (n >= 9), every one of them complete.
std::string Filler(size_t n) {
  std::string out;
  for (size_t i = 0;; ++i) {
    std::string next = kProviderHeaders[i % (sizeof kProviderHeaders / sizeof *kProviderHeaders)];
    if (n - out.size() < next.size() + 9) break;
    out += next;
  }
  size_t rest = n - out.size();
  return out + "X-Pad: " + std::string(rest - 9, 'p') + "\r\n";
}

enum class Where { kFirst, kMiddle, kLast, kFolded };

const char kFromLine[] = "From: Alice Example <alice@gmail.com>\r\n";
const char kFoldedFromLine[] = "From: \"Example, Alice (Sales)\"\r\n\t<alice@gmail.com>\r\n";

// The reply to TOP, "+OK" to the terminator, of exactly `size` bytes.
std::string TopReply(size_t size, Where where) {
  const size_t headerBytes = size - 10;  // "+OK\r\n" and "\r\n.\r\n"
  std::string from = where == Where::kFolded ? kFoldedFromLine : kFromLine;
  std::string block;
  const size_t rest = headerBytes - from.size();
  switch (where) {
    case Where::kFirst: block = from + Filler(rest); break;
    case Where::kMiddle: block = Filler(rest / 2) + from + Filler(rest - rest / 2); break;
    case Where::kLast:
    case Where::kFolded: block = Filler(rest) + from; break;
  }
  return "+OK\r\n" + block + "\r\n.\r\n";
}

// Serves a mailbox of three messages whose first reply to TOP is `reply`, delivered by
// `deliver`; the other two are ordinary.
void ServeWithFirst(CheckHarness& h, const std::string& reply,
                    const std::function<void(FakeWinSock&, const std::string&)>& deliver) {
  h.mailbox.headers = {"X: first\r\n", HeadersFrom("Bob <bob@example.net>"),
                       HeadersFrom("carol@example.com")};
  h.winsock.server = [&h, reply, deliver](const std::string& command) {
    if (command == "TOP 1 0\r\n") {
      deliver(h.winsock, reply);
      return std::string();
    }
    return h.mailbox.Reply(command);
  };
}

void ExpectAllSendersAndQuit(const CheckHarness& h, bool longReply) {
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 0);
  EXPECT_EQ(h.app->status.mailCount, 3);
  EXPECT_STREQ(h.app->senders.slot[0], "alice@gmail.com");
  EXPECT_STREQ(h.app->senders.slot[1], "bob@example.net");
  EXPECT_STREQ(h.app->senders.slot[2], "carol@example.com");
  EXPECT_EQ(h.Commands(),
            (std::vector<std::string>{"USER bob\r\n", "PASS s3cret\r\n", "STAT\r\n", "TOP 1 0\r\n",
                                      "TOP 2 0\r\n", "TOP 3 0\r\n", "QUIT\r\n"}));
  EXPECT_EQ(h.trace.all.find("Buffer overrun"), std::string::npos);
  EXPECT_EQ(
      h.trace.all.find("Reply to TOP 1 is longer than 4096 bytes, reading on to its end\r\n") !=
          std::string::npos,
      longReply);
  EXPECT_EQ(h.trace.all.find("Reply to TOP 2 is longer"), std::string::npos);
  EXPECT_EQ(h.app->poller.framing().responseLength, 0u);
  EXPECT_EQ(h.app->poller.framing().droppedLength, 0u);
  EXPECT_EQ(h.app->poller.framing().singleLineMode, 1);
  EXPECT_TRUE(h.winsock.openSockets.empty());
}

struct LongCase {
  size_t size;
  Where where;
  size_t segment;  // bytes per network segment; 0: all at once
};

std::string Name(const LongCase& c) {
  const char* where[] = {"First", "Middle", "Last", "Folded"};
  return "Reply" + std::to_string(c.size) + "From" + where[static_cast<int>(c.where)] +
         (c.segment == 0 ? std::string("Whole") : "In" + std::to_string(c.segment));
}

class LongHeaders : public ::testing::TestWithParam<LongCase> {};

TEST_P(LongHeaders, GiveTheSenderAndTheDialogueGoesOn) {
  const LongCase& c = GetParam();
  std::string reply = TopReply(c.size, c.where);
  ASSERT_EQ(reply.size(), c.size);
  CheckHarness h;
  size_t segment = c.segment;
  ServeWithFirst(h, reply,
                 [segment](FakeWinSock& ws, const std::string& r) { ws.DeliverSplit(r, segment); });
  h.RunCheck();
  ExpectAllSendersAndQuit(h, c.size > 4096);
}

std::vector<LongCase> LongCases() {
  std::vector<LongCase> cases;
  for (size_t size : {4095u, 4096u, 4097u, 9000u, 40000u, 1000000u}) {
    for (Where where : {Where::kFirst, Where::kMiddle, Where::kLast, Where::kFolded}) {
      for (size_t segment : {0u, 1460u}) cases.push_back({size, where, segment});
    }
  }
  cases.push_back({9000, Where::kLast, 1});
  cases.push_back({9000, Where::kFolded, 7});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Pop3, LongHeaders, ::testing::ValuesIn(LongCases()),
                         [](const ::testing::TestParamInfo<LongCase>& info) {
                           return Name(info.param);
                         });

TEST(LongHeaders, SplitInsideTheTerminatorOrTheFromLineAtEveryByte) {
  for (size_t size : {4097u, 9000u}) {
    for (Where where : {Where::kMiddle, Where::kLast, Where::kFolded}) {
      const std::string reply = TopReply(size, where);
      std::vector<size_t> cuts;
      for (size_t k = 1; k <= 5; ++k) cuts.push_back(reply.size() - k);  // inside "\r\n.\r\n"
      size_t from = reply.find("\nFrom: ") + 1;
      for (size_t k = 0; k <= 7; ++k) cuts.push_back(from + k);  // inside "From: "
      for (size_t cut : cuts) {
        SCOPED_TRACE(Name({size, where, 0}) + " cut at " + std::to_string(cut));
        CheckHarness h;
        ServeWithFirst(h, reply, [cut](FakeWinSock& ws, const std::string& r) {
          ws.Deliver(r.substr(0, cut));
          ws.Deliver(r.substr(cut));
        });
        h.RunCheck();
        ExpectAllSendersAndQuit(h, size > 4096);
      }
    }
  }
}

TEST(LongHeaders, FromLineAcrossThePointWhereTheBufferMakesRoom) {
  // The From: line starts at every offset around the first 4,092 bytes that a long reply drops.
  for (size_t at = 4070; at <= 4110; ++at) {
    SCOPED_TRACE(at);
    std::string reply = "+OK\r\n" + Filler(at - 5) + kFromLine +
                        Filler(9000 - 10 - at - sizeof kFromLine + 1) + "\r\n.\r\n";
    ASSERT_EQ(reply.find("From: "), at);
    CheckHarness h;
    ServeWithFirst(h, reply, [](FakeWinSock& ws, const std::string& r) { ws.Deliver(r); });
    h.RunCheck();
    ExpectAllSendersAndQuit(h, true);
  }
}

TEST(LongHeaders, RealMailForms) {
  // What real servers and stored mail send: other cases, no blank, CR CR LF, NUL bytes.
  const struct {
    const char* name;
    std::string headers;
    const char* sender;
  } cases[] = {
      {"Capitals", "Received: x\r\nFROM: ALICE <alice@gmail.com>\r\n", "alice@gmail.com"},
      {"NoBlank", "From:<alice@gmail.com>\r\nTo: bob@example.org\r\n", "alice@gmail.com"},
      {"NextHeaderWithoutBlank", "From: alice@gmail.com\r\nMessage-ID:<x@y>\r\n",
       "alice@gmail.com"},
      {"CrCrLf", "Received: x\r\r\nFrom: alice@gmail.com\r\r\nTo: b\r\r\n", "alice@gmail.com"},
      {"NulInAHeader", std::string("X-Junk: a\0b\r\nFrom: <alice@gmail.com>\r\n", 38),
       "alice@gmail.com"},
      {"LongCrCrLf", Filler(6000) + "From: Alice\r\r\n <alice@gmail.com>\r\r\n", "alice@gmail.com"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CheckHarness h;
    ServeWithFirst(h, "+OK\r\n" + c.headers + "\r\n.\r\n",
                   [](FakeWinSock& ws, const std::string& r) { ws.DeliverSplit(r, 1460); });
    h.RunCheck();
    EXPECT_EQ(h.checkDone, 1);
    EXPECT_STREQ(h.app->senders.slot[0], c.sender);
    EXPECT_STREQ(h.app->senders.slot[2], "carol@example.com");
    EXPECT_EQ(h.Commands().back(), "QUIT\r\n");
  }
}

TEST(LongHeaders, ReplyThatNeverEndsEndsTheCheckAtItsBound) {
  CheckHarness h;
  ServeWithFirst(h, "", [](FakeWinSock& ws, const std::string&) {
    std::string endless = "+OK\r\n";
    while (endless.size() < 17 * 1024 * 1024) endless += std::string(4090, 'h') + "\r\n";
    ws.Deliver(endless);
  });
  h.RunCheck();
  EXPECT_EQ(h.checkDone, 1);
  EXPECT_EQ(h.app->status.serverError, 1);
  EXPECT_NE(h.trace.all.find("Reply to TOP 1 goes on beyond 16777216 bytes, check given up\r\n"),
            std::string::npos);
  EXPECT_TRUE(h.winsock.openSockets.empty());
}

}  // namespace
}  // namespace kc::test
