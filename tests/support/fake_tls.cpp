#include "support/fake_tls.h"

#include <cstdio>
#include <cstring>

#include "support/fake_winsock.h"

namespace kc::test {

namespace {

constexpr int kErrorNotARecord = 0x0A00010B;
constexpr int kErrorUnexpected = 0x0A0000F4;

}  // namespace

std::string FakeTlsRecord(char type, const std::string& payload) {
  std::string r(1, type);
  r.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
  r.push_back(static_cast<char>(payload.size() & 0xFF));
  return r + payload;
}

std::string FakeTlsData(const std::string& plain, size_t each) {
  if (each == 0) return FakeTlsRecord('D', plain);
  std::string out;
  for (size_t at = 0; at < plain.size(); at += each) {
    out += FakeTlsRecord('D', plain.substr(at, each));
  }
  return out;
}

TlsPeer FakeTls::TrustedPeer() {
  TlsPeer p;
  p.problem = TlsCertProblem::kNone;
  std::snprintf(p.fingerprint, sizeof p.fingerprint, "%s", kFingerprint);
  return p;
}

bool FakeTls::Begin(const char* host) {
  calls.push_back(std::string("begin ") + host);
  if (beginFails) {
    error_ = 12;
    return false;
  }
  ++sessions;
  in_.clear();
  plain_.clear();
  done_ = closed_ = broken_ = false;
  out_ = FakeTlsRecord('H', std::string("hello ") + host);
  return true;
}

bool FakeTls::Feed(const char* data, size_t length) {
  in_.append(data, length);
  return true;
}

bool FakeTls::NextRecord(char* type, std::string* payload) {
  if (in_.empty()) return false;
  if (in_[0] != 'H' && in_[0] != 'D' && in_[0] != 'C') {
    *type = 0;
    return true;
  }
  if (in_.size() < 3) return false;
  size_t length = (static_cast<size_t>(static_cast<unsigned char>(in_[1])) << 8) |
                  static_cast<unsigned char>(in_[2]);
  if (in_.size() < 3 + length) return false;
  *type = in_[0];
  *payload = in_.substr(3, length);
  in_.erase(0, 3 + length);
  return true;
}

TlsStep FakeTls::Handshake() {
  if (done_) return TlsStep::kDone;
  char type = 0;
  std::string payload;
  if (!NextRecord(&type, &payload)) return TlsStep::kMore;
  if (type == 'H' && payload == "welcome") {
    done_ = true;
    return TlsStep::kDone;
  }
  error_ = type == 0 ? kErrorNotARecord : kErrorUnexpected;
  broken_ = true;
  return TlsStep::kFailed;
}

void FakeTls::Describe(char* protocol, size_t protocolSize, char* cipher, size_t cipherSize) {
  std::snprintf(protocol, protocolSize, "%s", "FAKE-TLS");
  std::snprintf(cipher, cipherSize, "%s", "FAKE-CIPHER");
}

bool FakeTls::Write(const char* data, size_t length) {
  written.append(data, length);
  out_ += FakeTlsRecord('D', std::string(data, length));
  return true;
}

int FakeTls::Read(char* out, size_t size) {
  char type = 0;
  std::string payload;
  while (!broken_ && !closed_ && NextRecord(&type, &payload)) {
    if (type == 'D') {
      plain_ += payload;
    } else if (type == 'C') {
      closed_ = true;
    } else {
      broken_ = true;
      error_ = type == 0 ? kErrorNotARecord : kErrorUnexpected;
    }
  }
  if (!plain_.empty()) {
    size_t n = plain_.size() < size ? plain_.size() : size;
    std::memcpy(out, plain_.data(), n);
    plain_.erase(0, n);
    return static_cast<int>(n);
  }
  if (broken_) return kTlsReadFailed;
  return closed_ ? kTlsReadClosed : 0;
}

size_t FakeTls::TakeOutput(char* out, size_t size) {
  size_t n = out_.size() < size ? out_.size() : size;
  std::memcpy(out, out_.data(), n);
  out_.erase(0, n);
  return n;
}

void FakeTls::Close() {
  calls.push_back("close");
  out_ += FakeTlsRecord('C', "");
}

void FakeTls::End() {
  calls.push_back("end");
  if (sessions > 0) --sessions;
  in_.clear();
  out_.clear();
  plain_.clear();
}

void FakeTls::ErrorText(char* out, size_t size) {
  std::snprintf(out, size, "%s", error_ == kErrorNotARecord ? "not a TLS record" : "unexpected");
}

void FakeTlsServer::Serve(std::function<std::string(const std::string&)> inner) {
  inner_ = std::move(inner);
  winsock_.greeting = implicitTls ? std::string() : greeting;
  winsock_.server = [this](const std::string& bytes) { return Take(bytes); };
}

std::string FakeTlsServer::Take(const std::string& bytes) {
  if (winsock_.lastSocket != socket_) {  // a new connection starts in the clear
    socket_ = winsock_.lastSocket;
    tls_ = false;
    in_.clear();
  }
  if (!tls_ && !bytes.empty() && bytes[0] != 'H') {
    clearCommands.push_back(bytes);
    if (bytes == "STLS\r\n") return stlsReply;
    return inner_(bytes);
  }
  tls_ = true;
  in_ += bytes;
  std::string reply;
  while (in_.size() >= 3) {
    size_t length = (static_cast<size_t>(static_cast<unsigned char>(in_[1])) << 8) |
                    static_cast<unsigned char>(in_[2]);
    if (in_.size() < 3 + length) break;
    char type = in_[0];
    std::string payload = in_.substr(3, length);
    in_.erase(0, 3 + length);
    if (type == 'H') {
      reply += handshakeReply;
      if (implicitTls) reply += FakeTlsData(greeting, recordSize);
    } else if (type == 'D') {
      secureCommands.push_back(payload);
      reply += FakeTlsData(inner_(payload), recordSize);
      if (payload == "QUIT\r\n") winsock_.closeAfterReply = true;
    } else if (type == 'C') {
      closeNotified = true;
    }
  }
  return reply;
}

}  // namespace kc::test
