// Reassembly of the server's bytes into responses, against a plain model of the same buffer:
// arbitrary receives (up to the buffer's size and beyond it), NULs inside them, and the mode
// switched between single-line and multi-line responses from one response to the next.
//
// Input: one byte t (t % 33 mode bytes follow: the tape), the tape, then the server's bytes:
//   0xFF     ends a receive; what was gathered is appended, then every complete response is
//            taken out. Response k is framed in the mode of bit k of the tape (1 single-line,
//            0 multi-line; the tape repeats; no tape: single-line).
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

class Model {
 public:
  explicit Model(std::vector<uint8_t> tape) : tape_(std::move(tape)) {}

  void Receive(const std::string& bytes) {
    bool ok = kc::AppendReceived(state_, bytes.data(), bytes.size());
    if (buffer_.size() + bytes.size() > kc::kResponseBufferSize) {
      FUZZ_CHECK(!ok);
      buffer_.clear();
    } else {
      FUZZ_CHECK(ok);
      buffer_ += std::string(bytes.c_str());  // the text stops at the first NUL
    }
    CheckSame();
    for (;;) {
      state_.singleLineMode = Mode();
      kc::Frame frame{};
      bool found = kc::FindResponse(state_, &frame);
      size_t length = 0;
      size_t consumed = 0;
      bool expected = Expect(&length, &consumed);
      FUZZ_CHECK(found == expected);
      if (!found) break;
      FUZZ_CHECK(frame.length == length && frame.consumed == consumed);
      FUZZ_CHECK(frame.consumed <= state_.responseLength);
      char* response = kc::CutResponse(state_, frame);
      FUZZ_CHECK(response == state_.responseBuffer);
      FUZZ_CHECK(std::strlen(response) == length);
      FUZZ_CHECK(std::memcmp(response, buffer_.data(), length) == 0);
      kc::ConsumeResponse(state_, frame);
      buffer_.erase(0, consumed);
      ++frames_;
      CheckSame();
    }
  }

 private:
  int32_t Mode() const {
    if (tape_.empty()) return 1;
    size_t bit = frames_ % (tape_.size() * 8);
    return (tape_[bit / 8] >> (bit % 8)) & 1;
  }

  bool Expect(size_t* length, size_t* consumed) const {
    if (buffer_.empty()) return false;
    if (state_.singleLineMode == 1 || buffer_[0] == '-') {
      size_t lf = buffer_.find('\n');
      if (lf == std::string::npos) return false;
      *length = lf;
      *consumed = lf + 1;
      return true;
    }
    size_t end = buffer_.find("\r\n.\r\n");
    if (end == std::string::npos) return false;
    *length = end;
    *consumed = end + 5;
    return true;
  }

  void CheckSame() const {
    FUZZ_CHECK(state_.responseLength == buffer_.size());
    FUZZ_CHECK(state_.responseLength <= kc::kResponseBufferSize);
    FUZZ_CHECK(state_.responseBuffer[state_.responseLength] == '\0');
    FUZZ_CHECK(std::memcmp(state_.responseBuffer, buffer_.data(), buffer_.size()) == 0);
  }

  kc::FramingState state_;
  std::string buffer_;
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
  for (size_t i = 1 + tapeLength; i < size; ++i) {
    uint8_t b = data[i];
    if (b == 0xFF) {
      model.Receive(gathered);
      gathered.clear();
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
  if (!gathered.empty()) model.Receive(gathered);
  return 0;
}
