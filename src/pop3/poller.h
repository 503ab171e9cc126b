// The mailbox poller: WinSock start and stop, the asynchronous lookup and connect, and the
// POP3 dialogue of one check.
#pragma once
#include <cstdint>
#include <memory>

#include "pop3/check_result.h"
#include "pop3/framing.h"
#include "pop3/sasl_exchange.h"
#include "pop3/seen_ids.h"
#include "pop3/sender.h"
#include "pop3/sender_table.h"
#include "pop3/uidl_reply.h"
#include "port/clock.h"
#include "port/message_box.h"
#include "port/tls.h"
#include "port/trace.h"
#include "port/window.h"
#include "port/winsock.h"
#include "settings/settings.h"
#include "text/bounded.h"

namespace kc {

enum AppState : int32_t {
  FINDHOST = 0,
  CONNECTING = 1,
  USER = 2,
  PASS = 3,
  STAT = 4,
  TOP = 5,
  QUIT = 6,
  STLS = 7,  // STLS sent, its reply awaited
  CAPA = 8,  // CAPA sent over TLS, the server's capabilities awaited
  UIDL = 9,  // UIDL sent (the new-only option), the listing awaited
  AUTH = 10  // AUTH sent with an OAuth 2.0 token (AUTH 1), the exchange under way
};

struct PollerPorts {
  WinSockPort& winsock;
  WindowPort& window;
  MessageBoxPort& box;
  TracePort& trace;
  ClockPort& clock;
  TlsPort& tls;
};

// How long the server may stay silent before the check is given up.
constexpr uint32_t kServerWaitMs = 60000;
// The text of the server's last negative reply, as kept for the user (NUL included).
constexpr size_t kLastReplySize = 256;

class Poller {
 public:
  // mainWindow is read when a check ends, so it may be set after construction. account: the
  // mailbox checked until UseAccount names another.
  Poller(PollerPorts ports, const AccountSettings& account, const WindowRef& mainWindow);
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // A check starts here. Every check that starts ends exactly once with SM_CHECKDONE posted to
  // the main window; TakeResult then hands over what it found.
  bool StartWinSock();
  // Before StartWinSock: the account the next checks log in to (kept by the caller).
  void UseAccount(const AccountSettings& account) { account_ = &account; }
  // Cleans WinSock up when the check's StartWinSock started it.
  int StopWinSock();
  bool StartCheck(WindowRef window);
  // Between StartWinSock and StartCheck: this check asks UIDL after STAT and fetches the
  // headers of the new messages only, new being not in seen (the new-only option). takeAll:
  // every message the check finds is taken as seen (after the mail program was started); so
  // is every message when seen holds no list yet. tally: where the listing is read, so that
  // each account keeps its own until its next check (kept by the caller); null: the poller's.
  void UseUidl(const SeenIds* seen, bool takeAll, UidlTally* tally = nullptr);
  // Between StartWinSock and StartCheck, in place of UseUidl: the server did not answer UIDL
  // at an earlier check, so this one does not ask it and counts every message (the result
  // says why).
  void SkipUidl();
  // Between StartWinSock and StartCheck, with AUTH 1: the access token this check logs in
  // with (kept by the caller until the check ends).
  void UseToken(const char* accessToken) { sasl_.UseToken(accessToken); }
  // The login of the check that ended last was refused for its token.
  bool tokenRefused() const { return sasl_.refused(); }
  void OnGetHost(WindowRef window, WParam handle, LParam result);
  void OnSocketEvent(WindowRef window, WParam socket, LParam event);
  // TIMER_SERVERWAIT ticked: the server has been silent too long.
  void OnServerWaitTimeout(WindowRef window);
  // One complete response of the server, NUL-terminated, without its terminator.
  void OnServerResponse(WindowRef window, const char* response);
  // The same with its length, NUL bytes inside it included. continued: the response is the
  // rest of a long reply to TOP whose start was read already.
  void OnServerResponse(WindowRef window, const char* response, size_t length, bool continued);
  // Graceful close: no more sending, drain what is waiting, close.
  void CloseConnection(SocketRef socket);

  AppState appState() const { return appState_; }
  bool tlsUp() const { return tlsPhase_ == TlsPhase::kUp; }
  // The result of the check that ended last, once: null when no ended check's result is
  // waiting (a completion message that no check of this poller posted).
  const CheckResult* TakeResult();
  // The last check's result as it stands; reset when a check starts.
  const CheckResult& lastResult() const { return result_; }
  const SenderTable& senders() const { return senders_; }
  bool checkRunning() const { return checkActive_; }
  const FramingState& framing() const { return framing_; }
  // The server's last negative reply of this check as it said it (bounded, one line, the
  // password masked), for instance "-ERR [IN-USE] Mailbox in use"; empty when there was none.
  const char* lastReply() const { return lastReply_; }

 private:
  void EndCheck(bool failed);
  // Records why the check fails (the first reason counts) and ends it as failed.
  void Fail(CheckFailure why, int32_t winsockError = 0);
  // Records why without ending the check (the check ends later, or through a message box).
  void NoteFailure(CheckFailure why, int32_t winsockError = 0);
  // Ends the check `id` as failed unless it has ended meanwhile (for instance from inside the
  // modal loop of a message box).
  void FailCheckIfCurrent(uint32_t id);
  bool IsCurrent(uint32_t id) const { return checkActive_ && checkId_ == id; }
  void RestartServerWait();
  void OnRead(WindowRef window);
  void OnClosed(WindowRef window);
  // recv() gave -1 during check `id`: a failure unless nothing was waiting yet.
  void OnRecvError(WindowRef window, int n, uint32_t id);
  // Appends n received bytes and hands every complete response on; false when the check ended.
  bool TakeReceived(WindowRef window, const char* data, size_t n);
  // One receive into buffer (the receive buffer, or the larger one of the listing), handed on
  // to TakeReceived; the server's close or a failed receive ends the check.
  void ReceiveInto(WindowRef window, char* buffer, size_t size);
  // "TOP n" or "CAPA": the command whose multi-line reply is being read, for the trace.
  void NameMultiLineCommand(char* out, size_t size) const;
  // Bytes of a multi-line reply longer than the buffer, read before its end has arrived.
  void OnLongReplyPart(const char* bytes, size_t n);
  void OnNegativeResponse(const char* response);
  void KeepLastReply(const char* response);
  void OnStatReply(const char* response);
  // After STAT: TOP for each message (or a batch of them), or QUIT when there is none.
  void FetchHeaders();
  // The number of TOP commands the check sends and the message number of the one at index.
  int32_t TopCount() const;
  int32_t TopNumber(int32_t index) const;
  void SendUidl();
  void OnUidlReply(const char* response, size_t length, bool continued);
  void FeedListing(const char* bytes, size_t n, bool last);
  void EndListing();
  // The one trace line of a listing: its lines, the receives it took, its first and last entry.
  void TraceListingSummary();
  void OnTopReply(const char* response, size_t length);
  void SendQuit();
  void SendTop();
  // Over TLS: asks the server's capabilities before the login.
  void SendCapa();
  bool OnCapaReply(const char* response, size_t length);
  // All the TOP commands of the check and QUIT in one send, for a server that pipelines.
  void SendTopBatch();
  // A negative reply in the middle of a batch: the replies still in flight are read and dropped.
  void OnNegativeInBatch();
  // USER and PASS: refused (and the check ended) when the value holds a line break.
  bool SendCredential(const char* format, const char* value, uint32_t size);
  void SendWork(int length);

  // The OAuth 2.0 login (poller_sasl.cpp): after CAPA, AUTH with the mechanism the server
  // lists; false when the check ended.
  bool StartSasl(const char* capaReply, size_t length);
  void OnSaslReply(const char* response);
  void SendBytes(const char* bytes, int length);

  // Secure connection (poller_tls.cpp).
  enum class TlsPhase { kOff, kHandshake, kUp };
  uint16_t ServerPort();
  void BeginTls(WindowRef window);
  void OnTlsRead(WindowRef window);
  // The server closed its side while TLS was in use.
  void OnTlsClosed(WindowRef window);
  // Hands ciphertext to the session and takes the handshake or the dialogue on; false when the
  // check ended.
  bool TakeTlsReceived(WindowRef window, const char* data, int n);
  bool OnHandshakeDone(WindowRef window);
  // kNone when the certificate is accepted, else why it was refused (traced).
  CheckFailure CertificateVerdict(const TlsPeer& peer);
  void FailTls(WindowRef window, const char* boxText, CheckFailure why);
  void ShowTlsBox(WindowRef window, const char* text);
  // Sends the ciphertext the session has for the server; what the socket cannot take now waits
  // for FD_WRITE.
  void FlushTls();
  void SendTls(const char* data, int length);
  void EndTls();
  int Format(const char* format, ...) KC_PRINTF_FORMAT(2, 3);
  void Trace(const char* text) { ports_.trace.Trace(text); }
  void TraceFormat(const char* format, ...) KC_PRINTF_FORMAT(2, 3);

  PollerPorts ports_;
  const AccountSettings* account_;
  SenderTable senders_;
  const WindowRef& mainWindow_;
  AppState appState_ = FINDHOST;

  // The check under way.
  bool checkActive_ = false;
  uint32_t checkId_ = 0;
  WindowRef checkWindow_ = 0;
  bool winsockStarted_ = false;
  bool serverWaitRunning_ = false;
  uint32_t lastActivityTick_ = 0;

  // Connection.
  alignas(8) uint8_t hostEntryBuffer_[kHostEntrySize] = {};
  uintptr_t lookupHandle_ = 0;
  bool lookupPending_ = false;
  uint32_t tickStart_ = 0;
  uint32_t elapsedMs_ = 0;
  SocketRef serverSocket_ = kInvalidSocket;
  bool socketOpen_ = false;
  bool socketSelected_ = false;  // non-blocking, events selected

  CheckResult result_;
  bool resultWaiting_ = false;  // a check ended and its result was not taken yet

  // Session.
  char receiveBuffer_[kResponseBufferSize + 1] = {};
  FramingState framing_;
  int32_t messageIndex_ = 0;
  char workBuffer_[4096] = {};
  FromCollector from_;            // the From: value of the reply to TOP being read
  bool longReplyTraced_ = false;  // the reply to TOP being read was traced as long
  char lastReply_[kLastReplySize] = {};
  bool pipelining_ = false;  // the server said PIPELINING in its reply to CAPA
  int32_t batchCount_ = 0;   // TOP commands sent in one batch (0: one at a time)
  int32_t dropReplies_ = 0;  // replies of the batch still in flight after a negative one

  // The new-only option (UseUidl).
  const SeenIds* uidlSeen_ = nullptr;  // null: the check counts every message
  bool uidlTakeAll_ = false;
  bool uidlPipelined_ = false;  // STAT and UIDL went out in one send
  bool uidlTallying_ = false;   // the listing is being measured against the list
  bool uidlCounting_ = false;   // the listing was read: the count is of new messages
  int32_t uidlMalformed_ = 0;
  int32_t uidlLines_ = 0;      // lines of the listing read, malformed ones included
  uint32_t uidlReceives_ = 0;  // receives that read the listing
  // It keeps the first and last entry for the summary line.
  UidlListingReader uidlReader_;
  UidlTally ownTally_;
  UidlTally* tally_ = &ownTally_;  // the listing under way: the poller's own, or the caller's
  // The listing is read in larger pieces than the 4,096-byte receive buffer, so that a long
  // listing takes few receives (and events): kListingReadSize bytes, from the heap the first
  // time a listing is read.
  static constexpr int kListingReadSize = 65536;
  std::unique_ptr<char[]> listingBuffer_;

  SaslExchange sasl_;  // the OAuth login, its 16 KiB command line

  // Secure connection.
  TlsPhase tlsPhase_ = TlsPhase::kOff;
  bool tlsBegun_ = false;
  bool tlsBoxOpen_ = false;      // a failure box is open: repeated failures do not stack boxes
  bool clearTextEnded_ = false;  // STLS accepted: the rest of the clear text is dropped
  char tlsInput_[kResponseBufferSize] = {};
  char tlsOutput_[kResponseBufferSize] = {};
  uint32_t tlsOutputLength_ = 0;
};

}  // namespace kc
