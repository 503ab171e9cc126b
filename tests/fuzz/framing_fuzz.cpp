// Reassembly of the server's bytes into responses, against a plain model of the same stream:
// arbitrary receives (up to the buffer's size and far beyond it), NULs inside them, and the mode
// switched between single-line and multi-line responses from one response to the next, as the
// session switches it while it handles a response.
//
// Properties: every response is the one the model finds in the unbounded stream, at the same
// point (a multi-line reply longer than the buffer arrives as its settled bytes and then its
// rest, which together are the reply); a terminator that is in the stream is always found; the
// buffer never holds more than its size; an overrun happens only to a single line that does not
// fit the buffer.
//
// Input: one byte t (t % 33 mode bytes follow: the tape), the tape, then the server's bytes:
//   0xFF     ends a receive; what was gathered is fed.
//            Response k is framed in the mode of bit k of the tape (1 single-line, 0 multi-line;
//            the tape repeats; no tape: single-line).
//   0xFE X   X as data (0xFE, 0xFF, or anything).
//   0xFD n1 n2 b   (n1 + 256 n2) bytes b as data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "pop3/framing.h"

namespace {

class Model final : public kc::FrameSink {
 public:
  explicit Model(std::vector<uint8_t> tape) : tape_(std::move(tape)) {
    state_.singleLineMode = Mode();
  }

  void Receive(const std::string& bytes) {
    current_ = &bytes;
    fed_ = 0;
    kc::FeedResult result = kc::FeedReceived(state_, bytes.data(), bytes.size(), *this);
    switch (result) {
      case kc::FeedResult::kOk:
        stream_ += bytes.substr(fedUpTo(bytes));
        // Every complete response was handed on: none is left in the stream.
        FUZZ_CHECK(!Expect(nullptr, nullptr));
        break;
      case kc::FeedResult::kOverrun: {
        // Only a single line that cannot fit the buffer, and nothing of it was handed on.
        std::string unread = stream_ + bytes.substr(fedUpTo(bytes));
        FUZZ_CHECK(settled_ == 0);
        FUZZ_CHECK(SingleLine(unread));
        FUZZ_CHECK(unread.size() > kc::kResponseBufferSize);
        FUZZ_CHECK(std::memchr(unread.data(), '\n', kc::kResponseBufferSize) == nullptr);
        stream_.clear();
        break;
      }
      case kc::FeedResult::kStopped: FUZZ_CHECK(false); break;
      case kc::FeedResult::kReplyTooLong:
        FUZZ_CHECK(settled_ + kc::kResponseBufferSize > kc::kLongestMultiLineReply);
        stream_.clear();
        settled_ = 0;
        break;
    }
    current_ = nullptr;
    CheckSame();
  }

  bool OnResponse(char* text, const kc::Frame& frame) override {
    // What the framing took of this receive so far is what the model has seen.
    Catch();
    size_t length = 0;
    size_t consumed = 0;
    FUZZ_CHECK(Expect(&length, &consumed));
    FUZZ_CHECK(frame.continued == (settled_ != 0));
    FUZZ_CHECK(settled_ + frame.length == length);
    FUZZ_CHECK(settled_ + frame.consumed == consumed);
    FUZZ_CHECK(text == state_.responseBuffer);
    FUZZ_CHECK(std::memcmp(text, stream_.data() + settled_, frame.length) == 0);
    FUZZ_CHECK(text[frame.length] == '\0');
    stream_.erase(0, consumed);
    settled_ = 0;
    ++frames_;
    state_.singleLineMode = Mode();
    return true;
  }

  void OnSettled(const char* bytes, size_t n) override {
    Catch();
    FUZZ_CHECK(state_.singleLineMode == 0);
    FUZZ_CHECK(bytes == state_.responseBuffer);
    FUZZ_CHECK(n != 0 && settled_ + n <= stream_.size());
    FUZZ_CHECK(std::memcmp(bytes, stream_.data() + settled_, n) == 0);
    // A terminator is never inside what is dropped, nor across its end.
    FUZZ_CHECK(!Expect(nullptr, nullptr));
    settled_ += n;
  }

 private:
  // Brings the model's stream up to the bytes the framing has taken so far of this receive:
  // the buffer always ends with the last byte taken.
  void Catch() {
    size_t inBuffer = stream_.size() - settled_;
    FUZZ_CHECK(state_.responseLength >= inBuffer);
    if (state_.responseLength > inBuffer) {
      size_t more = state_.responseLength - inBuffer;
      FUZZ_CHECK(current_ != nullptr && fed_ + more <= current_->size());
      stream_.append(*current_, fed_, more);
      fed_ += more;
    }
  }

  size_t fedUpTo(const std::string& bytes) const {
    return fed_ < bytes.size() ? fed_ : bytes.size();
  }

  int32_t Mode() const {
    if (tape_.empty()) return 1;
    size_t bit = frames_ % (tape_.size() * 8);
    return (tape_[bit / 8] >> (bit % 8)) & 1;
  }

  bool SingleLine(const std::string& s) const {
    return state_.singleLineMode == 1 || (settled_ == 0 && !s.empty() && s[0] == '-');
  }

  // The first complete response of the stream in the current mode.
  bool Expect(size_t* length, size_t* consumed) const {
    if (stream_.empty()) return false;
    size_t end = 0;
    size_t terminator = 0;
    if (SingleLine(stream_)) {
      end = stream_.find('\n');
      terminator = 1;
    } else {
      end = stream_.find("\r\n.\r\n");
      terminator = 5;
    }
    if (end == std::string::npos) return false;
    if (length != nullptr) *length = end;
    if (consumed != nullptr) *consumed = end + terminator;
    return true;
  }

  void CheckSame() const {
    FUZZ_CHECK(state_.responseLength <= kc::kResponseBufferSize);
    FUZZ_CHECK(state_.responseBuffer[state_.responseLength] == '\0');
    FUZZ_CHECK(state_.droppedLength == settled_);
    FUZZ_CHECK(stream_.size() == settled_ + state_.responseLength);
    FUZZ_CHECK(
        std::memcmp(state_.responseBuffer, stream_.data() + settled_, state_.responseLength) == 0);
  }

  kc::FramingState state_;
  std::string stream_;  // bytes taken and not yet framed, the settled ones included
  size_t settled_ = 0;  // bytes at the start of stream_ handed on as settled
  size_t fed_ = 0;      // bytes of the current receive added to stream_
  const std::string* current_ = nullptr;
  std::vector<uint8_t> tape_;
  size_t frames_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t tapeLength = data[0] % 33;
  if (size - 1 < tapeLength) return 0;
  Model model(std::vector<uint8_t>(data + 1, data + 1 + tapeLength));
  std::string gathered;
  auto feed = [&model, &gathered] {
    model.Receive(gathered);
    gathered.clear();
  };
  for (size_t i = 1 + tapeLength; i < size; ++i) {
    uint8_t b = data[i];
    if (b == 0xFF) {
      feed();
    } else if (b == 0xFE) {
      if (++i < size) gathered.push_back(static_cast<char>(data[i]));
    } else if (b == 0xFD) {
      if (size - i <= 3) break;
      size_t n = static_cast<size_t>(data[i + 1]) | static_cast<size_t>(data[i + 2]) << 8;
      gathered.append(n, static_cast<char>(data[i + 3]));
      i += 3;
    } else {
      gathered.push_back(static_cast<char>(b));
    }
  }
  if (!gathered.empty()) feed();
  return 0;
}
