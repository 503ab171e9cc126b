// The sign-in's HTTPS requests through WinHTTP in its asynchronous mode (WINHTTP_FLAG_ASYNC).
// WinHTTP calls back on threads of its own; there the callback only steps the request along
// (receive the response, read the next piece into the request's fixed buffer) and, at the end,
// records the outcome and posts the caller's message. The main thread takes the reply after
// that message, so the core sees a request's end only as a message, as it sees WinSock's.
// Certificates are checked by WinHTTP against the system's trust, as for the mail server.
#include <windows.h>
// (kept apart so that include sorting leaves the order alone)
#include <winhttp.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "win32/backends.h"

namespace kc::win32 {

namespace {

constexpr int kSlots = 4;             // requests in flight at once
constexpr uint32_t kBodySize = 8192;  // a form body: codes, verifier, refresh token
constexpr uint32_t kWideSize = 2048;  // host, path and headers as WinHTTP takes them

enum class Stage : int {
  kFree,     // no request
  kRunning,  // WinHTTP works on it; only its callback touches the slot
  kEnded,    // outcome recorded and posted; the main thread may take it
  kClosing,  // handles closed by the main thread; free once WinHTTP says so
};

struct Slot {
  std::atomic<int> stage{static_cast<int>(Stage::kFree)};
  std::atomic<bool> cancelled{false};
  HttpRequestId id = 0;
  HWND window = nullptr;
  UINT msg = 0;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  // Kept alive until WinHTTP has sent them.
  char body[kBodySize] = {};
  wchar_t headers[kWideSize] = {};
  // The reply, written by the callback only while running.
  HttpOutcome outcome = HttpOutcome::kFailed;
  int32_t status = 0;
  uint32_t length = 0;
  char why[kHttpWhySize] = {};
  char reply[kHttpReplySize] = {};
};

bool IsLoopbackHost(const wchar_t* host) {
  return std::wcscmp(host, L"localhost") == 0 || std::wcsncmp(host, L"127.", 4) == 0 ||
         std::wcscmp(host, L"[::1]") == 0 || std::wcscmp(host, L"::1") == 0;
}

bool Widen(const char* text, wchar_t* out, int size) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, size) > 0;
}

class WinHttp final : public HttpPort {
 public:
  ~WinHttp() override {
    if (slots_ == nullptr) return;
    for (int i = 0; i < kSlots; ++i) {
      slots_[i].cancelled.store(true);
      slots_[i].stage.store(static_cast<int>(Stage::kClosing));
      CloseHandles(slots_[i]);
    }
    if (session_ != nullptr) WinHttpCloseHandle(session_);
    // WinHTTP says HANDLE_CLOSING on its own thread; the slots are freed only after that, and
    // left to the process's end if it does not come in a moment.
    for (int wait = 0; wait < 50 && !AllFree(); ++wait) Sleep(10);
    if (!AllFree()) static_cast<void>(slots_.release());
  }

  HttpRequestId Start(WindowRef window, uint32_t msg, const HttpRequest& request, char* why,
                      size_t whySize) override {
    // Opened at the first request, so a program that never signs in keeps nothing of it.
    if (session_ == nullptr) {
      session_ = WinHttpOpen(L"KESTOVA Checker", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    }
    if (slots_ == nullptr) slots_ = std::make_unique<Slot[]>(kSlots);
    if (session_ == nullptr) {
      std::snprintf(why, whySize, "WinHTTP could not be opened (error %lu)",
                    static_cast<unsigned long>(GetLastError()));
      return 0;
    }
    Slot* slot = FreeSlot();
    if (slot == nullptr) {
      std::snprintf(why, whySize, "too many requests at once");
      return 0;
    }
    wchar_t url[kHttpUrlSize];
    wchar_t host[256];
    wchar_t path[kHttpUrlSize];
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host / sizeof host[0];
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path / sizeof path[0];
    wchar_t extra[kHttpUrlSize];
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = sizeof extra / sizeof extra[0];
    if (std::strlen(request.url) >= kHttpUrlSize || !Widen(request.url, url, kHttpUrlSize) ||
        !WinHttpCrackUrl(url, 0, 0, &parts)) {
      std::snprintf(why, whySize, "not an address WinHTTP can use");
      Release(*slot);
      return 0;
    }
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    // Plain HTTP only to this machine: a token never crosses a network in the clear.
    if (!secure && !IsLoopbackHost(host)) {
      std::snprintf(why, whySize, "refused: not https:// and not a loopback address");
      Release(*slot);
      return 0;
    }
    if (std::wcslen(path) + std::wcslen(extra) >= sizeof path / sizeof path[0]) {
      std::snprintf(why, whySize, "the address is too long");
      Release(*slot);
      return 0;
    }
    std::wcscat(path, extra);  // the query belongs to the request's target
    const size_t bodyLength = std::strlen(request.formBody);
    if (request.method == HttpMethod::kPost && bodyLength >= sizeof slot->body) {
      std::snprintf(why, whySize, "the request body is too long");
      Release(*slot);
      return 0;
    }
    if (!MakeHeaders(request, slot->headers, kWideSize)) {
      std::snprintf(why, whySize, "the request header is too long");
      Release(*slot);
      return 0;
    }
    std::memcpy(slot->body, request.formBody, bodyLength + 1);

    slot->id = ++lastId_ == 0 ? ++lastId_ : lastId_;
    slot->window = ToHwnd(window);
    slot->msg = msg;
    slot->outcome = HttpOutcome::kFailed;
    slot->status = 0;
    slot->length = 0;
    slot->why[0] = '\0';
    slot->cancelled.store(false);
    slot->connection = WinHttpConnect(session_, host, parts.nPort, 0);
    slot->request =
        slot->connection == nullptr
            ? nullptr
            : WinHttpOpenRequest(slot->connection,
                                 request.method == HttpMethod::kPost ? L"POST" : L"GET", path,
                                 nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 secure ? WINHTTP_FLAG_SECURE : 0);
    if (slot->request == nullptr) {
      std::snprintf(why, whySize, "the request could not be made (error %lu)",
                    static_cast<unsigned long>(GetLastError()));
      CloseHandles(*slot);
      Release(*slot);
      return 0;
    }
    const int t = static_cast<int>(request.timeoutMs);
    WinHttpSetTimeouts(slot->request, t, t, t, t);
    // A redirect may not take the request from https:// to http://.
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    WinHttpSetOption(slot->request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    WinHttpSetStatusCallback(slot->request, Callback,
                             WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                             0);
    slot->stage.store(static_cast<int>(Stage::kRunning));
    const DWORD sent = request.method == HttpMethod::kPost ? static_cast<DWORD>(bodyLength) : 0;
    if (!WinHttpSendRequest(slot->request, slot->headers, static_cast<DWORD>(-1L),
                            sent > 0 ? slot->body : WINHTTP_NO_REQUEST_DATA, sent, sent,
                            reinterpret_cast<DWORD_PTR>(slot))) {
      std::snprintf(why, whySize, "the request could not be sent (error %lu)",
                    static_cast<unsigned long>(GetLastError()));
      slot->cancelled.store(true);
      slot->stage.store(static_cast<int>(Stage::kClosing));
      CloseHandles(*slot);
      return 0;
    }
    return slot->id;
  }

  bool Take(HttpRequestId id, HttpReply* reply, char* body, uint32_t bodySize) override {
    Slot* slot = Find(id);
    if (slot == nullptr || slot->stage.load() != static_cast<int>(Stage::kEnded)) return false;
    reply->outcome = slot->outcome;
    reply->status = slot->status;
    std::snprintf(reply->why, sizeof reply->why, "%s", slot->why);
    reply->length = 0;
    if (bodySize > 0) {
      uint32_t n = slot->length;
      if (n >= bodySize) {
        n = bodySize - 1;
        if (reply->outcome == HttpOutcome::kReplied) reply->outcome = HttpOutcome::kTooLarge;
      }
      std::memcpy(body, slot->reply, n);
      body[n] = '\0';
      reply->length = n;
    }
    // The reply may hold a token: it leaves the slot once taken.
    SecureZeroMemory(slot->reply, sizeof slot->reply);
    SecureZeroMemory(slot->body, sizeof slot->body);
    slot->id = 0;
    slot->stage.store(static_cast<int>(Stage::kClosing));
    CloseHandles(*slot);
    return true;
  }

  void Cancel(HttpRequestId id) override {
    Slot* slot = Find(id);
    if (slot == nullptr) return;
    slot->cancelled.store(true);
    slot->id = 0;
    slot->stage.store(static_cast<int>(Stage::kClosing));
    CloseHandles(*slot);
  }

 private:
  static bool MakeHeaders(const HttpRequest& request, wchar_t* out, size_t size) {
    char text[kWideSize];
    const char* form = request.method == HttpMethod::kPost
                           ? "Content-Type: application/x-www-form-urlencoded\r\n"
                           : "";
    const char* extra = request.header != nullptr ? request.header : "";
    int n = std::snprintf(text, sizeof text, "Accept: application/json\r\n%s%s%s", form, extra,
                          extra[0] != '\0' ? "\r\n" : "");
    return n > 0 && static_cast<size_t>(n) < sizeof text &&
           Widen(text, out, static_cast<int>(size));
  }

  bool AllFree() const {
    for (int i = 0; i < kSlots; ++i) {
      if (slots_[i].stage.load() != static_cast<int>(Stage::kFree)) return false;
    }
    return true;
  }

  Slot* FreeSlot() {
    for (int i = 0; i < kSlots; ++i) {
      Slot& slot = slots_[i];
      int expected = static_cast<int>(Stage::kFree);
      if (slot.stage.compare_exchange_strong(expected, static_cast<int>(Stage::kRunning))) {
        return &slot;
      }
    }
    return nullptr;
  }
  static void Release(Slot& slot) {
    slot.id = 0;
    slot.stage.store(static_cast<int>(Stage::kFree));
  }
  Slot* Find(HttpRequestId id) {
    if (id == 0 || slots_ == nullptr) return nullptr;
    for (int i = 0; i < kSlots; ++i) {
      if (slots_[i].id == id) return &slots_[i];
    }
    return nullptr;
  }
  // Closing the request makes WinHTTP send HANDLE_CLOSING, which frees the slot.
  static void CloseHandles(Slot& slot) {
    HINTERNET request = slot.request, connection = slot.connection;
    slot.request = nullptr;
    slot.connection = nullptr;
    if (request != nullptr) {
      WinHttpCloseHandle(request);
    } else if (slot.stage.load() == static_cast<int>(Stage::kClosing)) {
      Release(slot);
    }
    if (connection != nullptr) WinHttpCloseHandle(connection);
  }

  // On WinHTTP's thread: the end of a request, recorded once and posted unless cancelled.
  static void End(Slot* slot, HttpOutcome outcome, const char* why, DWORD error) {
    int expected = static_cast<int>(Stage::kRunning);
    slot->outcome = outcome;
    if (why != nullptr) {
      std::snprintf(slot->why, sizeof slot->why, "%s (WinHTTP error %lu)", why,
                    static_cast<unsigned long>(error));
    }
    if (!slot->stage.compare_exchange_strong(expected, static_cast<int>(Stage::kEnded))) return;
    if (!slot->cancelled.load()) PostMessageA(slot->window, slot->msg, slot->id, 0);
  }

  static void ReadMore(Slot* slot, HINTERNET request) {
    if (!WinHttpQueryDataAvailable(request, nullptr)) {
      End(slot, HttpOutcome::kFailed, "reading the reply failed", GetLastError());
    }
  }

  static void CALLBACK Callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                DWORD infoLength) {
    Slot* slot = reinterpret_cast<Slot*>(context);
    if (slot == nullptr) return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
      Release(*slot);
      return;
    }
    if (slot->cancelled.load() || slot->stage.load() != static_cast<int>(Stage::kRunning)) {
      return;
    }
    switch (status) {
      case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        if (!WinHttpReceiveResponse(handle, nullptr)) {
          End(slot, HttpOutcome::kFailed, "no response", GetLastError());
        }
        break;
      case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
        DWORD code = 0, size = sizeof code;
        WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
        slot->status = static_cast<int32_t>(code);
        ReadMore(slot, handle);
        break;
      }
      case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
        DWORD available = infoLength >= sizeof(DWORD) ? *static_cast<DWORD*>(info) : 0;
        if (available == 0) {
          End(slot, HttpOutcome::kReplied, nullptr, 0);
          break;
        }
        // One byte is kept for the NUL; a reply that would pass it is too large.
        const uint32_t room = kHttpReplySize - 1 - slot->length;
        if (room == 0) {
          End(slot, HttpOutcome::kTooLarge, "the reply is larger than the buffer", 0);
          break;
        }
        if (available > room) available = room;
        if (!WinHttpReadData(handle, slot->reply + slot->length, available, nullptr)) {
          End(slot, HttpOutcome::kFailed, "reading the reply failed", GetLastError());
        }
        break;
      }
      case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        slot->length += infoLength;
        slot->reply[slot->length] = '\0';
        if (infoLength == 0) {
          End(slot, HttpOutcome::kReplied, nullptr, 0);
        } else {
          ReadMore(slot, handle);
        }
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        const WINHTTP_ASYNC_RESULT* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
        const DWORD error = result != nullptr ? result->dwError : 0;
        const char* what = error == ERROR_WINHTTP_TIMEOUT             ? "timed out"
                           : error == ERROR_WINHTTP_NAME_NOT_RESOLVED ? "name not found"
                           : error == ERROR_WINHTTP_CANNOT_CONNECT    ? "cannot connect"
                           : error == ERROR_WINHTTP_CONNECTION_ERROR  ? "the connection failed"
                           : error == ERROR_WINHTTP_SECURE_FAILURE
                               ? "the server's certificate was refused"
                               : "the request failed";
        End(slot, HttpOutcome::kFailed, what, error);
        break;
      }
      default: break;
    }
  }

  HINTERNET session_ = nullptr;
  std::unique_ptr<Slot[]> slots_;
  HttpRequestId lastId_ = 0;
};

}  // namespace

std::unique_ptr<HttpPort> MakeHttp() { return std::make_unique<WinHttp>(); }

}  // namespace kc::win32
