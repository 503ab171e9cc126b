// A stand-in for the platform's TLS library with a toy record format, so a test can drive the
// poller's secure connection byte by byte: split records, several records in one receive, a
// close in the middle of a record, a server that answers the hello with garbage.
//
// A record is a type byte ('H' handshake, 'D' data, 'C' close), a 2-byte big-endian length and
// the payload. The client's hello is H "hello <host>"; a server answer of H "welcome" completes
// the handshake. FakeTlsServer is the other end, for FakeWinSock.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "port/tls.h"
#include "port/winsock.h"

namespace kc::test {

class FakeWinSock;

std::string FakeTlsRecord(char type, const std::string& payload);
// Plaintext as data records of at most `each` bytes (0: one record).
std::string FakeTlsData(const std::string& plain, size_t each);

class FakeTls final : public TlsPort {
 public:
  // ----- How it answers -----
  bool beginFails = false;
  TlsPeer peer = TrustedPeer();
  static TlsPeer TrustedPeer();
  static constexpr const char* kFingerprint =
      "3A:9F:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:01:23:45:67:89:AB:CD:EF:10:32:54:76:"
      "98:BA";

  // ----- What it saw -----
  std::vector<std::string> calls;  // "begin HOST", "close", "end"
  std::string written;             // every plaintext the poller wrote
  int sessions = 0;                // sessions begun and not ended
  bool open() const { return sessions > 0; }

  bool Begin(const char* host) override;
  bool Feed(const char* data, size_t length) override;
  TlsStep Handshake() override;
  void Describe(char* protocol, size_t protocolSize, char* cipher, size_t cipherSize) override;
  void CheckPeer(TlsPeer* out) override { *out = peer; }
  bool Write(const char* data, size_t length) override;
  int Read(char* out, size_t size) override;
  size_t TakeOutput(char* out, size_t size) override;
  void Close() override;
  void End() override;
  int ErrorCode() override { return error_; }
  void ErrorText(char* out, size_t size) override;

 private:
  // The next complete record of in_: false while incomplete; type 0 for bytes that are no record.
  bool NextRecord(char* type, std::string* payload);
  std::string in_, out_, plain_;
  bool done_ = false, closed_ = false, broken_ = false;
  int error_ = 0;
};

// The server's end of the toy protocol in front of a plaintext POP3 server.
class FakeTlsServer {
 public:
  // implicitTls: TLS from the first byte, the greeting sent once the handshake is done;
  // otherwise the greeting comes in the clear and STLS starts TLS.
  FakeTlsServer(FakeWinSock& winsock, bool implicit) : implicitTls(implicit), winsock_(winsock) {}
  bool implicitTls;
  std::string greeting = "+OK POP3 ready\r\n";
  std::string handshakeReply = FakeTlsRecord('H', "welcome");
  size_t recordSize = 0;  // replies cut into records of this many bytes (0: one record each)
  std::string stlsReply = "+OK Begin TLS negotiation now.\r\n";
  std::vector<std::string> clearCommands;   // commands seen in the clear
  std::vector<std::string> secureCommands;  // commands seen inside TLS
  bool closeNotified = false;
  // Plugs the server into the fake WinSock, answering commands with inner.
  void Serve(std::function<std::string(const std::string&)> inner);

 private:
  std::string Take(const std::string& bytes);
  FakeWinSock& winsock_;
  bool tls_ = false;
  SocketRef socket_ = kInvalidSocket;  // the connection tls_ and in_ belong to
  std::string in_;
  std::string commandIn_;  // plaintext commands not yet complete (a batch may span records)
  std::function<std::string(const std::string&)> inner_;
};

}  // namespace kc::test
