// The reply to STAT: the count and size read as the scan "%s %ld %ld" reads them, compared with
// the C library's own scan (the count a whole word, the size taken when there is one), and the
// size's decimal text.
//
// Input: the reply text as the session hands it over (it ends at the first NUL).
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "pop3/stat_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data),
                          strnlen(reinterpret_cast<const char*>(data), size));
  int32_t count = -1;
  int64_t bytes = -1;
  bool ok = kc::ParseStatReply(reply.c_str(), &count, &bytes);
  if (!ok) {
    FUZZ_CHECK(count == 0 && bytes == 0);
  } else {
    FUZZ_CHECK(count >= 0);
  }

  // The C library's scan of the same text. Numbers beyond 64 bits are where the two may part
  // (the scan's result is then not defined), so only texts whose digit runs fit are compared.
  bool longRun = false;
  size_t run = 0;
  for (char c : reply) {
    run = (c >= '0' && c <= '9') ? run + 1 : 0;
    if (run > 18) longRun = true;
  }
  if (!longRun) {
    std::vector<char> word(reply.size() + 1);
    long first = 0;
    long second = 0;
    int end = 0;
    int scanned = std::sscanf(reply.c_str(), "%s %ld%n", word.data(), &first, &end);
    const char after = scanned == 2 ? reply[static_cast<size_t>(end)] : 'x';
    bool wholeWord = after == '\0' || std::strchr(" \t\n\v\f\r", after) != nullptr;
    bool expected = scanned == 2 && wholeWord && first >= 0 && first <= INT32_MAX;
    FUZZ_CHECK(ok == expected);
    if (expected) {
      if (std::sscanf(reply.c_str() + end, "%ld", &second) != 1) second = 0;
      FUZZ_CHECK(count == first && bytes == second);
    }
  }

  char text[21];
  kc::FormatDecimal(bytes, text);
  char reference[32];
  std::snprintf(reference, sizeof reference, "%" PRId64, bytes);
  FUZZ_CHECK(std::strcmp(text, reference) == 0);
  return 0;
}
