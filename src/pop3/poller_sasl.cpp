// The poller's OAuth 2.0 login (AUTH 1): after CAPA inside TLS, AUTH with the mechanism the
// server lists, then STAT as after PASS.
#include <cstring>

#include "pop3/poller.h"
#include "text/bounded.h"

namespace kc {

bool Poller::StartSasl(const char* capaReply, size_t length) {
  if (tlsPhase_ != TlsPhase::kUp) {
    Trace("A token is sent only inside TLS, not sent\r\n");
    Fail(CheckFailure::kSecureConnectionFailed);
    return false;
  }
  const bool listed = capaReply[0] != '-' && sasl_.Begin(capaReply, length);
  if (!listed) {
    if (capaReply[0] == '-') sasl_.Begin("", 0);
    TraceFormat("The server offers no OAuth mechanism (SASL: %s)\r\n", sasl_.offered());
    CopyBounded(lastReply_, sizeof lastReply_, sasl_.offered());
    Fail(CheckFailure::kNoOAuthMechanism);
    return false;
  }
  TraceFormat("AppState = CAPA, sending AUTH %s\r\n", SaslMechanismName(sasl_.mechanism()));
  SendBytes(sasl_.line(), static_cast<int>(sasl_.lineLength()));
  appState_ = AUTH;
  return true;
}

void Poller::OnSaslReply(const char* response) {
  if (response[0] == '+' && response[1] != 'O') {
    char error[512];
    const size_t n = sasl_.OnChallenge(response, account_->user, error, sizeof error);
    if (n == 0) {
      Trace("The token or the account cannot be sent (too long or a control byte)\r\n");
      sasl_.End(false);
      Fail(CheckFailure::kLineBreakInCredentials);
      return;
    }
    if (error[0] != '\0') {
      TraceFormat("AppState = AUTH, the server's error: %s\r\n", error);
    } else {
      Trace("AppState = AUTH, sending the token\r\n");
    }
    SendBytes(sasl_.line(), static_cast<int>(n));
    sasl_.End(false);  // the line is wiped at once; the exchange goes on
    return;
  }
  if (response[0] == '-') {
    sasl_.End(true);
    result_.failure = CheckFailure::kRefused;
    result_.refusedState = AUTH;
    OnNegativeResponse(response);
    return;
  }
  sasl_.End(false);
  Trace("AppState = AUTH, sending STAT\r\n");
  appState_ = PASS;  // logged in: the dialogue goes on as after PASS
  OnServerResponse(checkWindow_, response);
}

void Poller::SendBytes(const char* bytes, int length) {
  if (tlsBegun_) {
    SendTls(bytes, length);
  } else {
    ports_.winsock.Send(serverSocket_, bytes, length);
  }
}

}  // namespace kc
