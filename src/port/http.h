// An HTTPS client for the sign-in: one request at a time per caller, never blocking. A request
// runs in the background; its end is posted to a window as a message whose first parameter is
// the request's id, and the caller then takes the reply.
#pragma once
#include <cstddef>
#include <cstdint>

#include "port/window.h"

namespace kc {

using HttpRequestId = uint32_t;  // 0 is none
constexpr uint32_t kHttpUrlSize = 1024;
// A token reply carries an access token (some exceed 6,000 characters), an ID token and a
// refresh token; a discovery document is a few KiB.
constexpr uint32_t kHttpReplySize = 32768;
constexpr uint32_t kHttpWhySize = 256;

enum class HttpMethod : uint8_t { kGet, kPost };

struct HttpRequest {
  HttpMethod method = HttpMethod::kGet;
  const char* url = "";        // https://, or http:// on a loopback address only
  const char* formBody = "";   // application/x-www-form-urlencoded, sent with kPost
  const char* header = "";     // one extra "Name: value" line, or ""
  uint32_t timeoutMs = 30000;  // the whole request, connect included
};

enum class HttpOutcome : uint8_t {
  kReplied,    // the server answered: status and body hold its reply
  kRefused,    // not sent: the address is neither https:// nor a loopback address
  kFailed,     // no answer: name lookup, connect, TLS, certificate, timeout (why says which)
  kTooLarge,   // the body did not fit the caller's buffer
  kCancelled,  // Cancel was called
};

struct HttpReply {
  HttpOutcome outcome = HttpOutcome::kFailed;
  int32_t status = 0;   // the HTTP status with kReplied
  uint32_t length = 0;  // bytes of the body written (a NUL follows them)
  char why[kHttpWhySize] = {};
};

class HttpPort {
 public:
  virtual ~HttpPort() = default;
  // Starts the request; its end is posted as msg to window with the id as first parameter.
  // 0 when it cannot start (why then tells).
  virtual HttpRequestId Start(WindowRef window, uint32_t msg, const HttpRequest& request, char* why,
                              size_t whySize) = 0;
  // After the message: the reply of a request that ended, its body into body (NUL added, at
  // most bodySize - 1 bytes). The request is released; false for an id that is not ended.
  virtual bool Take(HttpRequestId id, HttpReply* reply, char* body, uint32_t bodySize) = 0;
  // Drops a request; no message follows for it.
  virtual void Cancel(HttpRequestId id) = 0;
};

}  // namespace kc
