// Reassembly of the server's bytes into complete POP3 responses.
//
// Single-line responses end at the first line feed; the multi-line replies to TOP end at
// "\r\n.\r\n". The caller picks the mode afresh for every response, since handling one response
// can change the mode that governs the rest of the buffer.
//
// A single-line response must fit the buffer. A multi-line reply may be of any length: while it
// is longer than the buffer, its bytes that can no longer be part of the terminator are handed
// to the reader of the reply (which keeps what it needs of them) and dropped, so the buffer
// always holds the unread rest and enough of the tail to find "\r\n.\r\n" across two receives.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

constexpr uint32_t kResponseBufferSize = 4096;
// A multi-line reply that runs on beyond this many bytes is not a header block: the dialogue
// is given up rather than read forever.
constexpr uint64_t kLongestMultiLineReply = 16u * 1024u * 1024u;

struct FramingState {
  char responseBuffer[kResponseBufferSize + 1] = {};  // text not yet framed, NUL after it
  uint32_t responseLength = 0;                        // bytes of that text (NULs may be inside)
  int32_t singleLineMode = 1;                         // 1: ends at LF; 0: ends at "\r\n.\r\n"
  uint64_t droppedLength = 0;  // bytes of the current multi-line reply already handed on

  // Single-line mode and an empty buffer: what a new dialogue needs for its greeting.
  void Reset();
};

// Appends as many of the n bytes as there is room for, NUL bytes included, and returns how many
// were taken.
size_t AppendReceived(FramingState& state, const char* data, size_t n);

// One complete response found at the start of the buffer.
struct Frame {
  size_t length;    // bytes of the response text, terminator excluded
  size_t consumed;  // bytes to drop from the buffer once the response has been handled
  bool continued;   // the start of this multi-line reply was handed on and dropped already
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

// With no complete response in the buffer: the number of bytes at its start that belong to a
// multi-line reply and can no longer hold the start of its terminator (all but the last four).
// 0 in single-line mode and for a negative reply, which must end within the buffer.
size_t SettledLength(const FramingState& state);

// Drops the first n bytes of an unfinished multi-line reply, which the caller has read.
void DropSettled(FramingState& state, size_t n);

// The receiver of framed responses.
class FrameSink {
 public:
  // One complete response, cut in place; the text holds frame.length bytes. False when the
  // dialogue ended and the rest of the received bytes are to be left alone.
  virtual bool OnResponse(char* text, const Frame& frame) = 0;
  // Bytes of a multi-line reply, in order, that are dropped before its end has arrived.
  virtual void OnSettled(const char* bytes, size_t n) = 0;

 protected:
  ~FrameSink() = default;
};

enum class FeedResult {
  kOk,           // all bytes taken; complete responses handed on
  kStopped,      // the sink ended the dialogue
  kOverrun,      // a single-line response does not fit the buffer; the buffer was emptied
  kReplyTooLong  // a multi-line reply ran beyond kLongestMultiLineReply; the buffer was emptied
};

// Feeds the bytes of one receive through the framing: appends what fits, hands every complete
// response to the sink, makes room in a long multi-line reply, and goes on until all n bytes
// are taken.
FeedResult FeedReceived(FramingState& state, const char* data, size_t n, FrameSink& sink);

}  // namespace kc
