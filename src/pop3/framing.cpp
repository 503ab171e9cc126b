#include "pop3/framing.h"

#include <cstring>

namespace kc {

namespace {

constexpr char kMultiLineEnd[] = "\r\n.\r\n";
constexpr size_t kMultiLineEndLength = sizeof kMultiLineEnd - 1;

// The first occurrence of needle in the first length bytes of text, or nullptr.
const char* FindBytes(const char* text, size_t length, const char* needle, size_t needleLength) {
  if (needleLength == 0 || length < needleLength) return nullptr;
  const char* last = text + (length - needleLength);
  for (const char* p = text; p <= last; ++p) {
    p = static_cast<const char*>(std::memchr(p, needle[0], static_cast<size_t>(last - p) + 1));
    if (p == nullptr) return nullptr;
    if (std::memcmp(p, needle, needleLength) == 0) return p;
  }
  return nullptr;
}

bool FindLine(const FramingState& state, Frame* frame) {
  const char* text = state.responseBuffer;
  const void* lf = std::memchr(text, '\n', state.responseLength);
  if (lf == nullptr) return false;
  frame->length = static_cast<size_t>(static_cast<const char*>(lf) - text);
  frame->consumed = frame->length + 1;
  return true;
}

}  // namespace

void FramingState::Reset() {
  responseBuffer[0] = '\0';
  responseLength = 0;
  singleLineMode = 1;
}

bool AppendReceived(FramingState& state, const char* data, size_t n) {
  if (n > kResponseBufferSize || state.responseLength + n > kResponseBufferSize) {
    state.responseBuffer[0] = '\0';
    state.responseLength = 0;
    return false;
  }
  const void* nul = std::memchr(data, '\0', n);
  size_t text = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - data) : n;
  std::memcpy(state.responseBuffer + state.responseLength, data, text);
  state.responseLength += static_cast<uint32_t>(text);
  state.responseBuffer[state.responseLength] = '\0';
  return true;
}

bool FindResponse(const FramingState& state, Frame* frame) {
  if (state.responseLength == 0) return false;
  if (state.singleLineMode == 1) return FindLine(state, frame);
  // Multi-line mode. A negative reply is a single line even where a multi-line one was awaited.
  if (state.responseBuffer[0] == '-') return FindLine(state, frame);
  const char* text = state.responseBuffer;
  const char* end = FindBytes(text, state.responseLength, kMultiLineEnd, kMultiLineEndLength);
  if (end == nullptr) return false;
  frame->length = static_cast<size_t>(end - text);
  frame->consumed = frame->length + kMultiLineEndLength;
  return true;
}

char* CutResponse(FramingState& state, const Frame& frame) {
  state.responseBuffer[frame.length] = '\0';
  return state.responseBuffer;
}

void ConsumeResponse(FramingState& state, const Frame& frame) {
  size_t consumed = frame.consumed < state.responseLength ? frame.consumed : state.responseLength;
  size_t rest = state.responseLength - consumed;
  std::memmove(state.responseBuffer, state.responseBuffer + consumed, rest);
  state.responseBuffer[rest] = '\0';
  state.responseLength = static_cast<uint32_t>(rest);
}

}  // namespace kc
