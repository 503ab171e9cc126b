#include "pop3/poller.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "pop3/capa_reply.h"
#include "pop3/reply_text.h"
#include "pop3/sender.h"
#include "pop3/stat_reply.h"
#include "pop3/uidl_reply.h"
#include "text/bounded.h"

namespace kc {

namespace {

// The platform formatter writes at most this many bytes, NUL included.
constexpr size_t kFormatLimit = 1024;
constexpr int kMaxDrainReads = 256;   // CloseConnection: 255 bytes each
constexpr int kMaxReadsAtClose = 64;  // FD_CLOSE: 4,096 bytes each
constexpr uint32_t kStaleTickMs = kServerWaitMs / 2;

// Formats as the platform formatter does: never more than its output limit.
int FormatPlatform(char* out, size_t size, const char* format, va_list args) {
  return static_cast<int>(
      FormatBoundedV(out, size < kFormatLimit ? size : kFormatLimit, format, args));
}

// Writes "TOP n 0\r\n" for message n (1 or more) without the general formatter, as it goes out
// once per message. Returns its length, or 0 when it does not fit size bytes with its NUL.
int WriteTopCommand(char* out, size_t size, int n) {
  char digits[12];
  size_t count = 0;
  for (unsigned v = static_cast<unsigned>(n); count == 0 || v != 0; v /= 10) {
    digits[count++] = static_cast<char>('0' + v % 10);
  }
  constexpr char kHead[] = "TOP ";
  constexpr char kTail[] = " 0\r\n";
  size_t length = (sizeof kHead - 1) + count + (sizeof kTail - 1);
  if (length >= size) return 0;
  char* p = out;
  std::memcpy(p, kHead, sizeof kHead - 1);
  p += sizeof kHead - 1;
  while (count > 0) *p++ = digits[--count];
  std::memcpy(p, kTail, sizeof kTail);  // with its NUL
  return static_cast<int>(length);
}

// Length of a NUL-terminated field of size bytes, never reading past it.
uint32_t FieldLength(const char* field, uint32_t size) {
  const void* nul = std::memchr(field, '\0', size);
  return nul != nullptr ? static_cast<uint32_t>(static_cast<const char*>(nul) - field) : size;
}

bool HoldsLineBreak(const char* field, uint32_t size) {
  uint32_t length = FieldLength(field, size);
  return std::memchr(field, '\r', length) != nullptr || std::memchr(field, '\n', length) != nullptr;
}

const char* NegativeReplyText(AppState state) {
  switch (state) {
    case CONNECTING: return "Connection denied\r\n";
    case USER: return "Unknown UserID\r\n";
    case PASS: return "Wrong Password\r\n";
    case STAT: return "STAT command not supported\r\n";
    case TOP: return "TOP command not supported\r\n";
    case QUIT: return "QUIT command not supported\r\n";
    case STLS: return "STLS command not supported\r\n";
    case CAPA: return "CAPA command not supported\r\n";
    case AUTH: return "Token refused\r\n";
    default: return nullptr;
  }
}

// Trace lines of the failures that end a check early, beyond those of the dialogue itself.
constexpr char kTraceLineBreakInCredentials[] =
    "User ID or password contains a line break, not sent\r\n";
constexpr char kTraceCertPinWithoutTls[] =
    "CERTPIN is set but SSL is 0 (no TLS): login refused, password not sent\r\n";
constexpr char kBoxCertPinWithoutTls[] =
    "設定 CERTPIN がありますが、SSL が 0 (暗号化なし) です。\r\n"
    "パスワードを暗号化せずに送らないよう、ログインを中止しました。";
constexpr char kTraceNoAddress[] = "No IPv4 address for the server\r\n";
constexpr char kTraceConnectFailed[] = "Could not connect to the server: %d\r\n";
constexpr char kTraceClosedByServer[] = "Connection closed by the server\r\n";
constexpr char kTraceServerTimedOut[] = "Server timed out\r\n";
constexpr char kTraceLoginNotSecured[] =
    "Connection not secured, user ID and password not sent\r\n";
constexpr char kTraceLongReply[] = "Reply to %s is longer than %u bytes, reading on to its end\r\n";
constexpr char kTraceReplyTooLong[] = "Reply to %s goes on beyond %lu bytes, check given up\r\n";
constexpr char kTraceServerSaid[] = "Server said: %s\r\n";
constexpr char kTraceCapaPipelining[] = "Server pipelines commands: TOP commands sent at once\r\n";
constexpr char kTraceCapaNoPipelining[] = "Server does not pipeline commands: one at a time\r\n";
constexpr char kTraceCapaRefused[] = "CAPA refused: commands sent one at a time\r\n";
constexpr char kTraceBatchSent[] = "Sent TOP 1 to TOP %d and QUIT at once\r\n";
constexpr char kTraceAwaitQuit[] = "AppState = TOP, QUIT sent already, reading its reply\r\n";
constexpr char kTraceBatchDropped[] =
    "QUIT sent already; %d replies still in flight are read and dropped\r\n";

// The new-only option.
constexpr char kTraceStatUidlSent[] = "Sent STAT and UIDL at once\r\n";
constexpr char kTraceSendingUidl[] = "Sending UIDL\r\n";
constexpr char kTraceUidlRefused[] = "UIDL not supported, counting every message\r\n";
constexpr char kTraceUidlNoMemory[] = "UIDL: no memory for the listing, counting every message\r\n";
constexpr char kTraceUidlMalformed[] = "UIDL: malformed line: %s%s\r\n";
constexpr char kTraceUidlMalformedCount[] = "UIDL: %d malformed lines in all\r\n";
constexpr int kUidlMalformedTraced = 8;  // lines traced one by one; the rest are counted
constexpr char kTraceUidlBaseline[] =
    "UIDL: no list of seen messages yet: the %d messages on the server are taken as seen\r\n";
constexpr char kTraceUidlTakeAll[] =
    "UIDL: the mail program was started: the %d messages on the server are taken as seen\r\n";
constexpr char kTraceUidlBeyond[] =
    "UIDL: the oldest %d messages are beyond the %lu the list holds and count as seen\r\n";
constexpr char kTraceUidlNew[] = "UIDL: %d of %d messages are new\r\n";
constexpr char kTraceUidlUnusable[] =
    "UIDL: listing unusable (%s): counting every message, the list of seen messages is left as "
    "it was\r\n";
constexpr char kTraceUidlRepeated[] =
    "UIDL: %d lines repeat a message number given before and are ignored\r\n";
constexpr char kTraceUidlMovedIn[] =
    "UIDL: %d older messages moved inside the %lu the list holds and count as seen\r\n";
constexpr char kTraceUidlSilent[] =
    "UIDL: the server did not answer; the next checks count every message without asking\r\n";
constexpr char kTraceUidlSummary[] =
    "UIDL: listing of %d lines read in %lu receives, first \"%s\", last \"%s\"\r\n";
constexpr char kTraceNewBatchSent[] = "Sent %d TOP commands and QUIT at once\r\n";

}  // namespace

Poller::Poller(PollerPorts ports, const AccountSettings& account, const WindowRef& mainWindow)
    : ports_(ports), account_(&account), mainWindow_(mainWindow) {
  result_.senders = &senders_;
}

int Poller::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = FormatPlatform(workBuffer_, sizeof workBuffer_, format, args);
  va_end(args);
  return n;
}

void Poller::TraceFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatPlatform(workBuffer_, sizeof workBuffer_, format, args);
  va_end(args);
  Trace(workBuffer_);
}

// ----- Start and end of a check -----

bool Poller::StartWinSock() {
  // A check that somehow never ended gives way to this one without a completion of its own.
  if (checkActive_) {
    checkActive_ = false;
    if (socketOpen_) ports_.winsock.CloseSocket(serverSocket_);
    socketOpen_ = false;
    EndTls();
  }
  if (winsockStarted_) StopWinSock();
  ++checkId_;
  checkActive_ = true;
  checkWindow_ = mainWindow_;
  lookupPending_ = false;
  socketSelected_ = false;
  messageIndex_ = 0;
  framing_.Reset();
  from_.Reset();
  longReplyTraced_ = false;
  lastReply_[0] = '\0';
  pipelining_ = false;
  batchCount_ = 0;
  dropReplies_ = 0;
  uidlSeen_ = nullptr;
  uidlTakeAll_ = false;
  uidlPipelined_ = false;
  uidlTallying_ = false;
  uidlCounting_ = false;
  uidlMalformed_ = 0;
  uidlLines_ = 0;
  uidlReceives_ = 0;
  uidlReader_.Reset();
  const uint32_t id = checkId_;

  std::memset(senders_.slot, 0, sizeof senders_.slot);
  result_ = CheckResult{};
  result_.senders = &senders_;

  uint16_t granted = 0;
  if (ports_.winsock.Startup(kWinSockVersion, &granted) != 0) {
    NoteFailure(CheckFailure::kNetworkStart);
    ports_.box.Show(0, "WinSockが初期化できませんでした", kCaption);
    FailCheckIfCurrent(id);
    return false;
  }
  winsockStarted_ = true;
  if (granted != kWinSockVersion) {
    NoteFailure(CheckFailure::kNetworkStart, kWsaVersionNotSupported);
    ports_.box.Show(0, "このバージョンのWinSockでは使用できません", kCaption);
    StopWinSock();
    FailCheckIfCurrent(id);
    return false;
  }
  return true;
}

int Poller::StopWinSock() {
  if (!winsockStarted_) return 0;
  winsockStarted_ = false;
  return ports_.winsock.Cleanup();
}

void Poller::NoteFailure(CheckFailure why, int32_t winsockError) {
  if (result_.failure != CheckFailure::kNone) return;
  result_.failure = why;
  result_.winsockError = winsockError;
}

void Poller::Fail(CheckFailure why, int32_t winsockError) {
  NoteFailure(why, winsockError);
  EndCheck(true);
}

void Poller::FailCheckIfCurrent(uint32_t id) {
  if (IsCurrent(id)) EndCheck(true);
}

// The one way a check ends: timer stopped, socket closed, framing ready for the next greeting,
// and SM_CHECKDONE posted once.
void Poller::EndCheck(bool failed) {
  if (!checkActive_) return;
  checkActive_ = false;
  lookupPending_ = false;
  if (serverWaitRunning_) {
    ports_.window.StopTimer(checkWindow_, TIMER_SERVERWAIT);
    serverWaitRunning_ = false;
  }
  if (socketOpen_) {
    if (failed) Trace("Closing socket\r\n");
    if (socketSelected_) {
      CloseConnection(serverSocket_);
    } else {
      ports_.winsock.CloseSocket(serverSocket_);
    }
    socketOpen_ = false;
    socketSelected_ = false;
  }
  EndTls();
  framing_.Reset();
  if (failed) result_.failed = true;
  resultWaiting_ = true;
  ports_.window.Post(mainWindow_, SM_CHECKDONE, 0, 0);
}

const CheckResult* Poller::TakeResult() {
  if (!resultWaiting_) return nullptr;
  resultWaiting_ = false;
  return &result_;
}

void Poller::RestartServerWait() {
  ports_.window.StartTimer(checkWindow_, TIMER_SERVERWAIT, kServerWaitMs);
  serverWaitRunning_ = true;
  lastActivityTick_ = ports_.clock.TickCount();
}

void Poller::OnServerWaitTimeout(WindowRef) {
  if (!checkActive_ || !serverWaitRunning_) return;
  // A tick left over from an earlier wait arrives long before this wait is over.
  if (ports_.clock.TickCount() - lastActivityTick_ < kStaleTickMs) return;
  if (appState_ == UIDL) {
    // A server that never answers UIDL would end every check this way: the controller has the
    // next checks go without it.
    result_.uidlTimedOut = true;
    Trace(kTraceUidlSilent);
  }
  Trace(kTraceServerTimedOut);
  Fail(CheckFailure::kTimedOut);
}

void Poller::UseUidl(const SeenIds* seen, bool takeAll, UidlTally* tally) {
  uidlSeen_ = seen;
  uidlTakeAll_ = takeAll;
  tally_ = tally != nullptr ? tally : &ownTally_;
}

void Poller::SkipUidl() {
  uidlSeen_ = nullptr;
  result_.noUidl = NoUidl::kSilent;
}

// ----- Server connection -----

bool Poller::StartCheck(WindowRef window) {
  if (!checkActive_) {
    ++checkId_;
    checkActive_ = true;
  }
  checkWindow_ = window;
  const uint32_t id = checkId_;
  const char* missing = nullptr;
  if (account_->server[0] == '\0') {
    missing = "Please enter a server name";
  } else if (account_->user[0] == '\0') {
    missing = "Please enter a user ID";
  } else if (account_->password[0] == '\0' && !UsesOAuth(*account_)) {
    missing = "Please enter a password";
  }
  if (missing != nullptr) {
    NoteFailure(CheckFailure::kSettingsIncomplete);
    ports_.box.Show(window, missing, kCaption);
    FailCheckIfCurrent(id);
    return false;
  }
  if (HoldsLineBreak(account_->user, kUserSize) ||
      (!UsesOAuth(*account_) && HoldsLineBreak(account_->password, kPasswordSize))) {
    Trace(kTraceLineBreakInCredentials);
    Fail(CheckFailure::kLineBreakInCredentials);
    return false;
  }
  // A pin says the user trusts one certificate and expects a secured connection; without TLS
  // there is no certificate to measure and the password would go in the clear.
  if (!UsesTls(*account_) &&
      (account_->certPin[0] != '\0' || account_->certPinFound.state == ValueFound::kUnreadable ||
       account_->certPinFound.state == ValueFound::kTooLong)) {
    Trace(kTraceCertPinWithoutTls);
    FailTls(window, kBoxCertPinWithoutTls, CheckFailure::kCertPinWithoutTls);
    return false;
  }

  Trace("----- FIND HOST -----\r\n");
  Trace("Calling WSAAsyncGetHostByName() to find server\r\n");
  tickStart_ = ports_.clock.TickCount();
  char server[kServerSize + 1];
  CopyBounded(server, sizeof server, account_->server, kServerSize);
  lookupHandle_ = ports_.winsock.AsyncGetHostByName(window, SM_GETHOST, server, hostEntryBuffer_,
                                                    kHostEntrySize);
  if (lookupHandle_ == 0) {
    NoteFailure(CheckFailure::kLookupNotStarted, ports_.winsock.LastError());
    ports_.box.Show(window, "Error initiating WSAAsyncGetHostByName()", kCaption);
    FailCheckIfCurrent(id);
    return false;
  }
  lookupPending_ = true;
  appState_ = FINDHOST;
  RestartServerWait();
  return true;
}

void Poller::OnGetHost(WindowRef window, WParam handle, LParam result) {
  Trace("SM_GETHOST message received\r\n");
  // Only the reply to the lookup of the check under way counts.
  if (!lookupPending_ || handle != lookupHandle_ || !checkActive_) return;
  lookupPending_ = false;
  RestartServerWait();

  elapsedMs_ = ports_.clock.TickCount() - tickStart_;
  TraceFormat("WSAAsyncGetHostByName() took %ld  milliseconds to complete\r\n",
              static_cast<long>(elapsedMs_));
  int error = static_cast<int>((static_cast<uint32_t>(result) >> 16) & 0xFFFF);
  if (error != 0) {
    TraceFormat("WSAAsyncGetHostByName() error: %d\r\n", error);
    bool unknown = error == kWsaHostNotFound || error == kWsaNoData;
    Fail(unknown ? CheckFailure::kHostNotFound : CheckFailure::kLookupFailed, error);
    return;
  }
  Trace("Server found OK\r\n\r\n");
  Trace("----- CONNECT TO HOST -----\r\n");
  Trace("Calling socket(AF_INET, SOCK_STREAM, 0);\r\n");
  serverSocket_ = ports_.winsock.Socket();
  if (serverSocket_ == kInvalidSocket) {
    Trace("Could not create a socket\r\n");
    Fail(CheckFailure::kSocketFailed, ports_.winsock.LastError());
    return;
  }
  socketOpen_ = true;
  socketSelected_ = false;

  Trace("Calling WSAAsyncSelect()\r\n");
  if (ports_.winsock.AsyncSelect(serverSocket_, window, SM_SOCKET, kSocketEventMask) != 0) {
    Trace("WSAAsyncSelect() failed\r\n");
    Fail(CheckFailure::kSocketFailed, ports_.winsock.LastError());
    return;
  }
  socketSelected_ = true;

  Ipv4Endpoint to{};
  to.portNetworkOrder = ServerPort();
  if (!ports_.winsock.FirstAddress(hostEntryBuffer_, to.address)) {
    Trace(kTraceNoAddress);
    Fail(CheckFailure::kNoIpv4Address);
    return;
  }
  Trace("Calling connect()\r\n");
  if (ports_.winsock.Connect(serverSocket_, to) != 0) {
    int connectError = ports_.winsock.LastError();
    if (connectError != kWsaEWouldBlock) {
      Trace("Error connecting\r\n");
      Fail(CheckFailure::kConnectFailed, connectError);
      return;
    }
  }
  appState_ = CONNECTING;
  Trace("\r\n----- PROCESS MESSAGES -----\r\n");
}

void Poller::CloseConnection(SocketRef socket) {
  WinSockPort& ws = ports_.winsock;
  if (tlsPhase_ == TlsPhase::kUp) {
    // The server learns that the session ended here and was not cut short.
    ports_.tls.Close();
    FlushTls();
  }
  ws.Shutdown(socket, 1);
  char discard[255];
  // The socket is non-blocking: the drain ends at the first read that finds nothing waiting.
  for (int i = 0; i < kMaxDrainReads; ++i) {
    int n = ws.Recv(socket, discard, sizeof discard);
    if (n == 0 || n < 0) break;
  }
  ws.Shutdown(socket, 2);
  ws.CloseSocket(socket);
}

// ----- POP3 session -----

void Poller::OnSocketEvent(WindowRef window, WParam socket, LParam event) {
  // Events of a socket that is no longer (or not yet) the check's own are left alone.
  if (!checkActive_ || !socketOpen_ || socket != serverSocket_) return;
  const uint32_t word = static_cast<uint32_t>(event);
  switch (word & 0xFFFF) {
    case kFdRead:
      RestartServerWait();
      OnRead(window);
      break;
    case kFdWrite:
      RestartServerWait();
      Trace("FD_WRITE notification received\r\n");
      if (tlsBegun_) FlushTls();
      break;
    case kFdConnect: {
      RestartServerWait();
      Trace("FD_CONNECT notification received\r\n");
      int error = static_cast<int>((word >> 16) & 0xFFFF);
      if (error != 0) {
        TraceFormat(kTraceConnectFailed, error);
        Fail(CheckFailure::kConnectFailed, error);
      } else if (UsesTls(*account_) && !UsesStartTls(*account_) && !tlsBegun_) {
        BeginTls(window);  // TLS from the first byte: the client speaks first
      }
      break;
    }
    case kFdClose:
      RestartServerWait();
      Trace("FD_CLOSE notification received\r\n");
      OnClosed(window);
      break;
    default: break;
  }
}

void Poller::OnRead(WindowRef window) {
  // The listing's receives are not traced one by one: the summary line at its end counts them.
  if (appState_ == UIDL && !tlsBegun_ && listingBuffer_) {
    const uint32_t id = checkId_;
    ReceiveInto(window, listingBuffer_.get(), kListingReadSize);
    // What is left of the listing is at least this long: the back end may wait for that much
    // before the next read, so a long listing takes fewer, larger receives. The bytes the
    // framing still holds were received already and may be any of it.
    if (IsCurrent(id) && appState_ == UIDL) {
      size_t rest = UidlListingLeastRest(result_.mailCount, uidlLines_, uidlReader_.last().number);
      rest = rest > framing_.responseLength ? rest - framing_.responseLength : 0;
      const size_t most = static_cast<size_t>(kListingReadSize);
      ports_.winsock.ExpectAtLeast(serverSocket_, static_cast<int>(rest < most ? rest : most));
    }
    return;
  }
  Trace("FD_READ notification received\r\n");
  Trace("Calling recv()\r\n");
  if (tlsBegun_) {
    OnTlsRead(window);
    return;
  }
  ReceiveInto(window, receiveBuffer_, kResponseBufferSize);
}

void Poller::ReceiveInto(WindowRef window, char* buffer, size_t size) {
  const uint32_t id = checkId_;
  int n = ports_.winsock.Recv(serverSocket_, buffer, static_cast<int>(size));
  if (n == 0) {
    NoteFailure(CheckFailure::kClosedByServer);
    ports_.box.Show(window, "Connection closed unexpectedly", kCaption);
    FailCheckIfCurrent(id);
    return;
  }
  if (n < 0) {
    OnRecvError(window, n, id);
    return;
  }
  TakeReceived(window, buffer, static_cast<size_t>(n));
}

void Poller::OnRecvError(WindowRef window, int n, uint32_t id) {
  // A read event can find nothing waiting when an earlier read took it all.
  int error = ports_.winsock.LastError();
  if (error == kWsaEWouldBlock) return;
  NoteFailure(CheckFailure::kConnectionLost, error);
  char text[32];
  std::snprintf(text, sizeof text, "recv() error: %d", n);
  ports_.box.Show(window, text, kCaption);
  FailCheckIfCurrent(id);
}

// The server closed its side. What it sent before closing is read and handled first; a check
// that is still waiting for the reply to QUIT then ends as failed.
void Poller::OnClosed(WindowRef window) {
  if (tlsBegun_) {
    OnTlsClosed(window);
    return;
  }
  const uint32_t id = checkId_;
  for (int i = 0; i < kMaxReadsAtClose && IsCurrent(id); ++i) {
    int n = ports_.winsock.Recv(serverSocket_, receiveBuffer_, kResponseBufferSize);
    if (n <= 0) break;
    if (!TakeReceived(window, receiveBuffer_, static_cast<size_t>(n))) return;
  }
  if (IsCurrent(id)) {
    Trace(kTraceClosedByServer);
    Fail(CheckFailure::kClosedByServer);
  }
}

bool Poller::TakeReceived(WindowRef window, const char* data, size_t count) {
  if (data == receiveBuffer_) {
    if (count > kResponseBufferSize) count = kResponseBufferSize;
    receiveBuffer_[count] = '\0';
  }
  if (appState_ == UIDL) ++uidlReceives_;
  // Hands each response on; the mode is read afresh for each, since handling one may change it.
  struct Sink final : FrameSink {
    Sink(Poller& p, WindowRef w, uint32_t i) : poller(p), window(w), id(i) {}
    bool OnResponse(char* text, const Frame& frame) override {
      poller.OnServerResponse(window, text, frame.length, frame.continued);
      // Nothing that came in the clear after the server agreed to STLS is taken.
      if (poller.clearTextEnded_) {
        poller.clearTextEnded_ = false;
        return false;
      }
      return poller.IsCurrent(id);  // false: the check ended and the buffer was reset
    }
    void OnSettled(const char* bytes, size_t length) override {
      poller.OnLongReplyPart(bytes, length);
    }
    Poller& poller;
    WindowRef window;
    uint32_t id;
  };
  Sink sink(*this, window, checkId_);
  switch (FeedReceived(framing_, data, count, sink)) {
    case FeedResult::kOk: return IsCurrent(sink.id);
    case FeedResult::kStopped: return false;
    case FeedResult::kOverrun:
      Trace("!!!!! Buffer overrun, data truncated\r\n");
      Fail(CheckFailure::kReplyTooLong);
      return false;
    case FeedResult::kReplyTooLong: {
      char command[16];
      NameMultiLineCommand(command, sizeof command);
      TraceFormat(kTraceReplyTooLong, command, static_cast<unsigned long>(kLongestMultiLineReply));
      Fail(CheckFailure::kReplyTooLong);
      return false;
    }
  }
  return false;
}

// The command whose multi-line reply is being read, as the long-reply trace lines name it.
void Poller::NameMultiLineCommand(char* out, size_t size) const {
  if (appState_ == CAPA) {
    CopyBounded(out, size, "CAPA");
  } else if (appState_ == UIDL) {
    CopyBounded(out, size, "UIDL");
  } else {
    FormatBounded(out, size, "TOP %d", static_cast<int>(TopNumber(messageIndex_)));
  }
}

void Poller::OnLongReplyPart(const char* bytes, size_t n) {
  if (dropReplies_ > 0) return;  // a reply of the batch that is dropped unread
  // One line for the whole reply; the From: line may stand anywhere in it.
  if (!longReplyTraced_) {
    longReplyTraced_ = true;
    char command[16];
    NameMultiLineCommand(command, sizeof command);
    TraceFormat(kTraceLongReply, command, static_cast<unsigned>(kResponseBufferSize));
  }
  if (appState_ == UIDL) {
    FeedListing(bytes, n, false);
  } else if (appState_ != CAPA) {
    from_.Feed(bytes, n);
  }
}

void Poller::OnServerResponse(WindowRef window, const char* response) {
  OnServerResponse(window, response, std::strlen(response), false);
}

void Poller::OnServerResponse(WindowRef window, const char* response, size_t length,
                              bool continued) {
  if (dropReplies_ > 0) {
    // After a negative reply in a batch: the rest of the batch is read and dropped; the reply
    // to QUIT, a single line, comes last.
    if (--dropReplies_ == 0) framing_.singleLineMode = 1;
    return;
  }
  if (appState_ == CAPA) {
    OnCapaReply(response, continued ? 0 : length);
    return;
  }
  if (appState_ == UIDL) {
    OnUidlReply(response, length, continued);
    return;
  }
  if (appState_ == AUTH) {
    OnSaslReply(response);
    return;
  }
  if (!continued && response[0] == '-') {
    if (result_.failure == CheckFailure::kNone) {
      result_.failure = CheckFailure::kRefused;
      result_.refusedState = appState_;
    }
    OnNegativeResponse(response);
    return;
  }
  switch (appState_) {
    case CONNECTING:
      if (UsesStartTls(*account_) && !tlsBegun_) {
        Trace("AppState = CONNECTING, sending STLS\r\n");
        SendWork(Format("STLS\r\n"));
        appState_ = STLS;
        break;
      }
      if (UsesTls(*account_)) {
        SendCapa();
        break;
      }
      if (UsesOAuth(*account_)) {
        Trace("OAuth 2.0 needs a secured connection, nothing sent\r\n");
        Fail(CheckFailure::kOAuthNeedsTls);
        return;
      }
      Trace("AppState = CONNECTING, sending USER\r\n");
      if (!SendCredential("USER %.*s\r\n", account_->user, kUserSize)) return;
      appState_ = USER;
      break;
    case USER:
      Trace("AppState = USER, sending PASS\r\n");
      if (!SendCredential("PASS %.*s\r\n", account_->password, kPasswordSize)) return;
      appState_ = PASS;
      break;
    case PASS:
      Trace("AppState = PASS, sending STAT\r\n");
      messageIndex_ = 0;
      if (uidlSeen_ != nullptr && pipelining_) {
        // A server that pipelines takes both at once; the replies come in order.
        Trace(kTraceStatUidlSent);
        uidlPipelined_ = true;
        SendWork(Format("STAT\r\nUIDL\r\n"));
      } else {
        SendWork(Format("STAT\r\n"));
      }
      appState_ = STAT;
      break;
    case STAT: OnStatReply(response); break;
    case TOP: OnTopReply(response, length); break;
    case QUIT:
      Trace("Host QUIT OK\r\n");
      Trace("Closing socket\r\n");
      EndCheck(false);
      break;
    case STLS:
      Trace("AppState = STLS, starting TLS\r\n");
      // Whatever came in the clear after the reply is not the server's to say: an attacker
      // on the path could have added it. The session starts afresh over TLS.
      framing_.Reset();
      clearTextEnded_ = true;
      BeginTls(window);
      break;
    case CAPA:  // handled above
    case AUTH:
    case UIDL:
    case FINDHOST: break;
  }
}

void Poller::OnNegativeResponse(const char* response) {
  Trace("Negative response: ");
  const char* text = NegativeReplyText(appState_);
  if (text != nullptr) {
    Trace(text);
    result_.failed = true;
  }
  // The server's own words tell a locked mailbox from a wrong password.
  KeepLastReply(response);
  TraceFormat(kTraceServerSaid, lastReply_);
  if (appState_ == QUIT) {
    // The server refused to end the session: sending QUIT again would get nowhere.
    EndCheck(true);
    return;
  }
  if (batchCount_ > 0 && appState_ == TOP) {
    OnNegativeInBatch();
    return;
  }
  Trace("Sending QUIT\r\n");
  int length = Format("QUIT\r\n");
  Trace(workBuffer_);
  SendWork(length);
  const bool uidlInFlight = appState_ == STAT && uidlPipelined_;
  appState_ = QUIT;
  // The reply to QUIT is one line, whatever reply was awaited before.
  framing_.singleLineMode = 1;
  if (uidlInFlight) {
    // The reply to the UIDL sent with STAT comes first and is dropped unread.
    dropReplies_ = 1;
    framing_.singleLineMode = 0;
  }
}

void Poller::OnStatReply(const char* response) {
  Trace("AppState = STAT, reading response\r\n");
  int32_t count = 0;
  int64_t size = 0;
  ParseStatReply(response, &count, &size);
  result_.mailCount = count;
  Trace("----- RESULT -----\r\n");
  char sizeText[21];
  FormatDecimal(size, sizeText);
  TraceFormat("%ld messages %s bytes\r\n", static_cast<long>(count), sizeText);
  if (uidlSeen_ != nullptr) {
    SendUidl();
    return;
  }
  FetchHeaders();
}

void Poller::FetchHeaders() {
  if (TopCount() != 0 && pipelining_) {
    Trace("Sending TOP\r\n");
    SendTopBatch();
  } else if (TopCount() != 0) {
    Trace("Sending TOP\r\n");
    SendTop();
    appState_ = TOP;
  } else {
    SendQuit();
  }
}

int32_t Poller::TopCount() const {
  if (uidlCounting_) return tally_->newNumberCount();
  return result_.mailCount < kSenderSlots ? result_.mailCount : kSenderSlots;
}

int32_t Poller::TopNumber(int32_t index) const {
  if (uidlCounting_ && index >= 0 && index < tally_->newNumberCount()) {
    return tally_->newNumbers()[index];
  }
  return index + 1;
}

// ----- New messages only (UIDL) -----

void Poller::SendUidl() {
  // Without a list every message is taken as seen; so it is after the mail program.
  const bool takeAll = uidlTakeAll_ || !uidlSeen_->known();
  uidlTallying_ = tally_->Begin(result_.mailCount, takeAll ? nullptr : uidlSeen_);
  uidlReader_.Reset();
  uidlMalformed_ = 0;
  uidlLines_ = 0;
  uidlReceives_ = 0;
  if (!listingBuffer_) listingBuffer_.reset(new (std::nothrow) char[kListingReadSize]);
  // A positive reply lists the IDs up to a dot line; a negative one is one line.
  framing_.singleLineMode = 0;
  longReplyTraced_ = false;
  appState_ = UIDL;
  if (!uidlPipelined_) {
    Trace(kTraceSendingUidl);
    SendWork(Format("UIDL\r\n"));
  }
}

void Poller::OnUidlReply(const char* response, size_t length, bool continued) {
  framing_.singleLineMode = 1;
  if (!continued && response[0] == '-') {
    // A server without UIDL still answers STAT and TOP: this check counts as before.
    result_.noUidl = NoUidl::kRefused;
    Trace(kTraceUidlRefused);
    KeepLastReply(response);
    TraceFormat(kTraceServerSaid, lastReply_);
    lastReply_[0] = '\0';
    FetchHeaders();
    return;
  }
  FeedListing(response, length, true);
  if (!uidlTallying_) {
    Trace(kTraceUidlNoMemory);
    FetchHeaders();
    return;
  }
  EndListing();
}

void Poller::FeedListing(const char* bytes, size_t n, bool last) {
  struct Sink final : UidlListingSink {
    explicit Sink(Poller& p) : poller(p) {}
    void OnEntry(const UidlEntry& entry) override {
      ++poller.uidlLines_;
      if (!poller.uidlTallying_) return;
      UidlTally::Added added = poller.tally_->Add(entry.number, entry.hash);
      if (added == UidlTally::Added::kOutside) {
        // A number the mailbox does not have: traced as the line it was.
        char line[kUidlLineSize];
        size_t n = FormatBounded(line, sizeof line, "%ld %.*s", static_cast<long>(entry.number),
                                 static_cast<int>(entry.length), entry.id);
        --poller.uidlLines_;  // counted again as malformed
        OnMalformed(line, n, false);
      }
    }
    void OnMalformed(const char* line, size_t length, bool overlong) override {
      ++poller.uidlLines_;
      if (++poller.uidlMalformed_ > kUidlMalformedTraced) return;
      // The server's bytes, shown inert: control bytes and bytes beyond ASCII as '?'.
      char shown[kUidlLineSize + 1];
      size_t n = 0;
      for (; n < length && n < kUidlLineSize; ++n) {
        unsigned char c = static_cast<unsigned char>(line[n]);
        shown[n] = c < 0x20 || c >= 0x7F ? '?' : static_cast<char>(c);
      }
      shown[n] = '\0';
      poller.TraceFormat(kTraceUidlMalformed, shown, overlong ? "..." : "");
    }
    Poller& poller;
  };
  Sink sink(*this);
  uidlReader_.Feed(bytes, n, sink);
  if (last) uidlReader_.Finish(sink);
}

void Poller::EndListing() {
  tally_->End();
  TraceListingSummary();
  if (uidlMalformed_ > kUidlMalformedTraced) TraceFormat(kTraceUidlMalformedCount, uidlMalformed_);
  if (tally_->repeated() > 0) TraceFormat(kTraceUidlRepeated, static_cast<int>(tally_->repeated()));
  if (uidlMalformed_ > 0 || !tally_->complete()) {
    // A listing that leaves messages out (or that could not be read whole) would drop their
    // IDs from the list and make them new at the next check: it changes nothing, and this
    // check counts as on a server without UIDL.
    char why[64];
    if (uidlMalformed_ > 0) {
      FormatBounded(why, sizeof why, "%d malformed line%s", static_cast<int>(uidlMalformed_),
                    uidlMalformed_ == 1 ? "" : "s");
    } else {
      FormatBounded(why, sizeof why, "%d of %d messages listed", static_cast<int>(tally_->listed()),
                    static_cast<int>(result_.mailCount));
    }
    TraceFormat(kTraceUidlUnusable, why);
    result_.noUidl = NoUidl::kUnusable;
    FetchHeaders();
    return;
  }
  uidlCounting_ = true;
  result_.listingRead = true;
  result_.listing = tally_;
  result_.newCount = tally_->newCount();
  result_.baseline = !uidlSeen_->known();
  result_.takeAll = result_.baseline || uidlTakeAll_;
  const int count = static_cast<int>(result_.mailCount);
  if (result_.baseline) {
    TraceFormat(kTraceUidlBaseline, count);
  } else if (uidlTakeAll_) {
    TraceFormat(kTraceUidlTakeAll, count);
  }
  if (tally_->beyondBound() > 0) {
    TraceFormat(kTraceUidlBeyond, static_cast<int>(tally_->beyondBound()),
                static_cast<unsigned long>(kSeenIdCapacity));
  }
  if (tally_->movedIn() > 0) {
    TraceFormat(kTraceUidlMovedIn, static_cast<int>(tally_->movedIn()),
                static_cast<unsigned long>(kSeenIdCapacity));
  }
  TraceFormat(kTraceUidlNew, static_cast<int>(tally_->newCount()), count);
  FetchHeaders();
}

void Poller::TraceListingSummary() {
  char first[kUidlLineSize + 16];
  char last[kUidlLineSize + 16];
  const UidlEntry* entries[] = {&uidlReader_.first(), &uidlReader_.last()};
  char* out[] = {first, last};
  for (int i = 0; i < 2; ++i) {
    const UidlEntry& e = *entries[i];
    if (e.number == 0) {
      out[i][0] = '\0';
    } else {
      FormatBounded(out[i], sizeof first, "%ld %.*s", static_cast<long>(e.number),
                    static_cast<int>(e.length), e.id);
    }
  }
  TraceFormat(kTraceUidlSummary, static_cast<int>(uidlLines_),
              static_cast<unsigned long>(uidlReceives_), first, last);
}

void Poller::OnTopReply(const char* response, size_t length) {
  // What a long reply dropped on the way was read already; this is the rest of it.
  from_.Feed(response, length);
  from_.Finish();
  Trace("----- FROM -----\r\n");
  Trace(from_.text());
  Trace("\r\n----- FROM -----\r\n");
  if (messageIndex_ >= 0 && messageIndex_ < kSenderSlots) {
    SenderFromText(from_.text(), senders_.slot[messageIndex_], kSenderSlotSize);
  }
  ++messageIndex_;
  framing_.singleLineMode = 1;
  if (batchCount_ > 0) {
    // The commands went out together; the replies are read in the order they were sent.
    if (messageIndex_ < batchCount_) {
      from_.Reset();
      longReplyTraced_ = false;
      framing_.singleLineMode = 0;
    } else {
      Trace(kTraceAwaitQuit);
      appState_ = QUIT;
    }
    return;
  }
  // Headers are fetched for as many messages as the table holds; the count stays the server's.
  if (messageIndex_ < TopCount()) {
    SendTop();
  } else {
    SendQuit();
  }
}

void Poller::SendTop() {
  from_.Reset();
  longReplyTraced_ = false;
  framing_.singleLineMode = 0;
  SendWork(
      WriteTopCommand(workBuffer_, sizeof workBuffer_, static_cast<int>(TopNumber(messageIndex_))));
}

void Poller::SendCapa() {
  Trace(appState_ == STLS ? "AppState = STLS, sending CAPA\r\n"
                          : "AppState = CONNECTING, sending CAPA\r\n");
  pipelining_ = false;
  // A positive reply lists the capabilities up to a dot line; a negative one is one line.
  framing_.singleLineMode = 0;
  SendWork(Format("CAPA\r\n"));
  appState_ = CAPA;
}

bool Poller::OnCapaReply(const char* response, size_t length) {
  framing_.singleLineMode = 1;
  if (UsesOAuth(*account_)) {
    pipelining_ = length > 0 && response[0] != '-' && AdvertisesPipelining(response, length);
    return StartSasl(response, length);
  }
  if (length > 0 && response[0] == '-') {
    // A server without CAPA still speaks POP3: the dialogue goes on one command at a time.
    KeepLastReply(response);
    Trace(kTraceCapaRefused);
    TraceFormat(kTraceServerSaid, lastReply_);
    lastReply_[0] = '\0';
  } else {
    pipelining_ = AdvertisesPipelining(response, length);
    Trace(pipelining_ ? kTraceCapaPipelining : kTraceCapaNoPipelining);
  }
  Trace("AppState = CAPA, sending USER\r\n");
  if (!SendCredential("USER %.*s\r\n", account_->user, kUserSize)) return false;
  appState_ = USER;
  return true;
}

void Poller::SendTopBatch() {
  int32_t count = TopCount();
  if (uidlCounting_) {
    // "TOP 255 0\r\n" is 11 bytes, so 255 of them and QUIT always fit the work buffer; the
    // numbers of new messages can be longer: the batch holds as many as fit with QUIT.
    size_t length = 0;
    for (int32_t i = 0; i < count; ++i) {
      char command[24];
      int n = WriteTopCommand(command, sizeof command, static_cast<int>(TopNumber(i)));
      if (length + static_cast<size_t>(n) + sizeof "QUIT\r\n" > sizeof workBuffer_) {
        count = i;
        break;
      }
      length += static_cast<size_t>(n);
    }
  }
  TraceFormat(uidlCounting_ ? kTraceNewBatchSent : kTraceBatchSent, static_cast<int>(count));
  int length = 0;
  for (int32_t i = 1; i <= count; ++i) {
    int n = WriteTopCommand(workBuffer_ + length, sizeof workBuffer_ - static_cast<size_t>(length),
                            static_cast<int>(TopNumber(i - 1)));
    if (n == 0) return;
    length += n;
  }
  int n = std::snprintf(workBuffer_ + length, sizeof workBuffer_ - static_cast<size_t>(length),
                        "QUIT\r\n");
  if (n < 0 || static_cast<size_t>(length + n) >= sizeof workBuffer_) return;
  length += n;
  from_.Reset();
  longReplyTraced_ = false;
  framing_.singleLineMode = 0;
  batchCount_ = count;
  appState_ = TOP;
  SendWork(length);
}

void Poller::OnNegativeInBatch() {
  // QUIT is on its way already; the replies to the TOP commands after this one come first.
  int32_t inFlight = batchCount_ - messageIndex_ - 1;
  if (inFlight < 0) inFlight = 0;
  TraceFormat(kTraceBatchDropped, static_cast<int>(inFlight));
  appState_ = QUIT;
  dropReplies_ = inFlight;
  framing_.singleLineMode = inFlight > 0 ? 0 : 1;
}

void Poller::SendQuit() {
  Trace("Sending QUIT\r\n");
  SendWork(Format("QUIT\r\n"));
  appState_ = QUIT;
}

bool Poller::SendCredential(const char* format, const char* value, uint32_t size) {
  // A line break would end the command early and smuggle the rest to the server as commands.
  if (HoldsLineBreak(value, size)) {
    Trace(kTraceLineBreakInCredentials);
    Fail(CheckFailure::kLineBreakInCredentials);
    return false;
  }
  // With a secured account the user ID and the password travel only inside TLS.
  if (UsesTls(*account_) && tlsPhase_ != TlsPhase::kUp) {
    Trace(kTraceLoginNotSecured);
    Fail(CheckFailure::kSecureConnectionFailed);
    return false;
  }
  int length = Format(format, static_cast<int>(FieldLength(value, size)), value);
  SendWork(length);
  // The password is not left lying in the shared buffer.
  std::memset(workBuffer_, 0, static_cast<size_t>(length));
  return true;
}

// One line of the server's reply for the trace and the user: control bytes shown as '?', the
// password and every piece of it (should a server ever echo it) masked, cut to the buffer.
void Poller::KeepLastReply(const char* response) {
  // With AUTH 1 the secret is the token, which a server could echo in its error.
  const char* secret = account_->password;
  size_t secretLength = FieldLength(account_->password, kPasswordSize);
  if (UsesOAuth(*account_)) {
    secret = sasl_.hasToken() ? sasl_.token() : "";
    secretLength = std::strlen(secret);
  }
  KeepReplyText(lastReply_, sizeof lastReply_, response, std::strlen(response), secret,
                secretLength);
}

void Poller::SendWork(int length) {
  if (tlsBegun_) {
    SendTls(workBuffer_, length);
  } else {
    ports_.winsock.Send(serverSocket_, workBuffer_, length);
  }
}

}  // namespace kc
