// The property both session targets hold the poller to: the commands it sent form the dialogue
// in its order, each at most once: CAPA (inside TLS only), USER, PASS, STAT, TOP 1 to TOP k
// (k at most the count, at most 255), QUIT. A check cut short by the server stops anywhere.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "pop3/sender_table.h"

inline void CheckDialogue(const std::vector<std::string>& sent, int32_t mailCount,
                          bool secure) {
  size_t i = 0;
  auto take = [&](const char* command) {
    if (i < sent.size() && sent[i] == command) ++i;
  };
  if (secure) take("CAPA\r\n");
  take("USER bob\r\n");
  take("PASS s3cret\r\n");
  take("STAT\r\n");
  for (int n = 1; i < sent.size(); ++n) {
    if (sent[i] != "TOP " + std::to_string(n) + " 0\r\n") break;
    FUZZ_CHECK(n <= mailCount && n <= kc::kSenderSlots);
    ++i;
  }
  take("QUIT\r\n");
  FUZZ_CHECK(i == sent.size());
}
