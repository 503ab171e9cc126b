// Reassembly of the server's bytes into complete POP3 responses.
//
// Single-line responses end at the first line feed; the multi-line replies to TOP end at
// "\r\n.\r\n". The caller picks the mode afresh for every response, since handling one response
// can change the mode that governs the rest of the buffer.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

constexpr uint32_t kResponseBufferSize = 4096;

struct FramingState {
  char responseBuffer[kResponseBufferSize + 1] = {};  // NUL-terminated text not yet framed
  uint32_t responseLength = 0;                        // length of that text
  int32_t singleLineMode = 1;                         // 1: ends at LF; 0: ends at "\r\n.\r\n"

  // Single-line mode and an empty buffer: what a new dialogue needs for its greeting.
  void Reset();
};

// Appends the bytes of one receive. The text stops at the first NUL of data. When the text
// already gathered plus the n bytes received would exceed kResponseBufferSize, everything is
// discarded (the buffer is emptied) and false is returned.
bool AppendReceived(FramingState& state, const char* data, size_t n);

// One complete response found at the start of the buffer.
struct Frame {
  size_t length;    // bytes of the response text, terminator excluded
  size_t consumed;  // bytes to drop from the buffer once the response has been handled
};

// Looks for a complete response at the start of the buffer, framed by state.singleLineMode.
// In multi-line mode a buffer that starts with '-' holds a negative reply, which servers send as
// one line; it is framed as such as soon as its line feed has arrived.
bool FindResponse(const FramingState& state, Frame* frame);

// Cuts the response of frame in place (a NUL where its terminator starts) and returns it. The
// single-line response keeps its carriage return.
char* CutResponse(FramingState& state, const Frame& frame);

// Drops a handled response and its terminator, moving what followed to the start.
void ConsumeResponse(FramingState& state, const Frame& frame);

}  // namespace kc
