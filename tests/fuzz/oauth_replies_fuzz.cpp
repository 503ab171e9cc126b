// What the sign-in reads from outside: the provider's token, device and discovery replies, a
// stored token record, the mail server's SASL error challenge and the query of the browser's
// redirect. Every field read is NUL-terminated inside its buffer, a text made for a trace line
// holds no control byte, and nothing reads or writes out of bounds (ASan).
//
// Input: the first byte picks the reader, the rest is what it reads.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "oauth/form.h"
#include "oauth/provider_reply.h"
#include "oauth/sasl.h"
#include "oauth/token_record.h"

namespace {

bool Terminated(const char* field, size_t size) {
  return std::memchr(field, '\0', size) != nullptr;
}

bool Printable(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x7F) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 6) {
    case 0: {
      auto reply = std::make_unique<kc::TokenReply>();
      kc::ProviderError error;
      if (kc::ParseTokenReply(text.c_str(), reply.get(), &error) == kc::ReplyKind::kOk) {
        FUZZ_CHECK(reply->accessToken[0] != '\0');
      }
      FUZZ_CHECK(Terminated(reply->accessToken, sizeof reply->accessToken));
      FUZZ_CHECK(Printable(error.error) && Printable(error.description));
      break;
    }
    case 1: {
      kc::DeviceReply reply;
      kc::ProviderError error;
      if (kc::ParseDeviceReply(text.c_str(), &reply, &error) == kc::ReplyKind::kOk) {
        FUZZ_CHECK(reply.interval >= 1 && reply.expiresIn >= 1);
      }
      FUZZ_CHECK(Terminated(reply.userCode, sizeof reply.userCode));
      break;
    }
    case 2: {
      kc::ProviderEndpoints endpoints;
      kc::ParseDiscovery(text.c_str(), &endpoints);
      FUZZ_CHECK(Terminated(endpoints.token, sizeof endpoints.token));
      break;
    }
    case 3: {
      kc::TokenRecord record;
      if (kc::ReadTokenRecord(data + 1, size - 1, &record)) {
        FUZZ_CHECK(record.refreshToken[0] != '\0');
      }
      break;
    }
    case 4: {
      char out[512];
      bool invalid = false;
      if (kc::DecodeSaslError(text.c_str(), out, sizeof out, &invalid)) FUZZ_CHECK(Printable(out));
      break;
    }
    default: {
      char value[64];
      if (kc::QueryParameter(text.c_str(), "state", value, sizeof value)) {
        FUZZ_CHECK(Terminated(value, sizeof value));
        for (const char* p = value; *p != '\0'; ++p) {
          FUZZ_CHECK(static_cast<unsigned char>(*p) >= 0x20);
        }
      }
      break;
    }
  }
  return 0;
}
