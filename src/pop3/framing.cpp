#include "pop3/framing.h"

#include <cstring>

namespace kc {

namespace {

constexpr char kMultiLineEnd[] = "\r\n.\r\n";
constexpr size_t kMultiLineEndLength = sizeof kMultiLineEnd - 1;

// The first "\r\n.\r\n" in the first length bytes of text, or nullptr. The search goes from
// dot to dot: a listing or a header has a carriage return on every line but seldom a dot, so
// far fewer places are tried than from one carriage return to the next.
const char* FindMultiLineEnd(const char* text, size_t length) {
  if (length < kMultiLineEndLength) return nullptr;
  const char* p = text + 2;  // the dot stands third
  const char* last = text + (length - kMultiLineEndLength) + 2;
  while (p <= last) {
    p = static_cast<const char*>(std::memchr(p, '.', static_cast<size_t>(last - p) + 1));
    if (p == nullptr) return nullptr;
    if (std::memcmp(p - 2, kMultiLineEnd, kMultiLineEndLength) == 0) return p - 2;
    ++p;
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

void EmptyBuffer(FramingState& state) {
  state.responseBuffer[0] = '\0';
  state.responseLength = 0;
  state.droppedLength = 0;
}

}  // namespace

void FramingState::Reset() {
  responseBuffer[0] = '\0';
  responseLength = 0;
  singleLineMode = 1;
  droppedLength = 0;
}

size_t AppendReceived(FramingState& state, const char* data, size_t n) {
  size_t room = kResponseBufferSize - state.responseLength;
  size_t take = n < room ? n : room;
  std::memcpy(state.responseBuffer + state.responseLength, data, take);
  state.responseLength += static_cast<uint32_t>(take);
  state.responseBuffer[state.responseLength] = '\0';
  return take;
}

bool FindResponse(const FramingState& state, Frame* frame) {
  if (state.responseLength == 0) return false;
  frame->continued = false;
  if (state.singleLineMode == 1) return FindLine(state, frame);
  // Multi-line mode. A negative reply is a single line even where a multi-line one was awaited;
  // the rest of a long reply is never one, whatever byte it starts with.
  if (state.droppedLength == 0 && state.responseBuffer[0] == '-') return FindLine(state, frame);
  const char* text = state.responseBuffer;
  const char* end = FindMultiLineEnd(text, state.responseLength);
  if (end == nullptr) return false;
  frame->length = static_cast<size_t>(end - text);
  frame->consumed = frame->length + kMultiLineEndLength;
  frame->continued = state.droppedLength != 0;
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
  state.droppedLength = 0;
}

size_t SettledLength(const FramingState& state) {
  if (state.singleLineMode == 1) return 0;
  if (state.droppedLength == 0 && state.responseLength != 0 && state.responseBuffer[0] == '-') {
    return 0;
  }
  constexpr size_t kKeep = kMultiLineEndLength - 1;
  return state.responseLength > kKeep ? state.responseLength - kKeep : 0;
}

void DropSettled(FramingState& state, size_t n) {
  if (n > state.responseLength) n = state.responseLength;
  size_t rest = state.responseLength - n;
  std::memmove(state.responseBuffer, state.responseBuffer + n, rest);
  state.responseBuffer[rest] = '\0';
  state.responseLength = static_cast<uint32_t>(rest);
  state.droppedLength += n;
}

FeedResult FeedReceived(FramingState& state, const char* data, size_t n, FrameSink& sink) {
  size_t taken = 0;
  for (;;) {
    taken += AppendReceived(state, data + taken, n - taken);
    Frame frame{};
    while (FindResponse(state, &frame)) {
      char* text = CutResponse(state, frame);
      if (!sink.OnResponse(text, frame)) return FeedResult::kStopped;
      ConsumeResponse(state, frame);
    }
    if (taken == n) return FeedResult::kOk;
    if (state.responseLength < kResponseBufferSize) continue;
    // The buffer is full and holds no complete response.
    size_t settled = SettledLength(state);
    if (settled == 0) {
      EmptyBuffer(state);
      return FeedResult::kOverrun;
    }
    if (state.droppedLength + settled > kLongestMultiLineReply) {
      EmptyBuffer(state);
      return FeedResult::kReplyTooLong;
    }
    sink.OnSettled(state.responseBuffer, settled);
    DropSettled(state, settled);
  }
}

}  // namespace kc
