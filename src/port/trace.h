// The debug trace.
#pragma once

namespace kc {

// The text is passed on unchanged, nothing added.
class TracePort {
 public:
  virtual ~TracePort() = default;
  virtual void Trace(const char* text) = 0;
};

}  // namespace kc
