// The loopback listener the browser's redirect comes back to: one listener on 127.0.0.1 with a
// port the system picks, taking one request line at a time. Its events are posted as a message
// to a window; the caller then takes what arrived.
#pragma once
#include <cstddef>
#include <cstdint>

#include "port/window.h"

namespace kc {

constexpr uint32_t kLoopbackTargetSize = 4096;  // the request target: path and query

enum class LoopbackTake : uint8_t {
  kNothing,  // nothing whole yet
  kRequest,  // target holds the request target of a GET; Answer it
  kFailed,   // the listener broke (why says how); it is closed
};

class LoopbackPort {
 public:
  virtual ~LoopbackPort() = default;
  // Listens on 127.0.0.1 and a free port; returns that port, 0 on failure (why). Events are
  // posted as msg to window.
  virtual uint16_t Open(WindowRef window, uint32_t msg, char* why, size_t whySize) = 0;
  // After the message: a request whose head arrived whole, its target cut to the buffer.
  virtual LoopbackTake Take(char* target, uint32_t size, char* why, size_t whySize) = 0;
  // Answers the request taken with status and an HTML page (UTF-8), then drops the connection.
  virtual void Answer(int status, const char* html) = 0;
  // Stops listening and drops every connection.
  virtual void Close() = 0;
};

}  // namespace kc
