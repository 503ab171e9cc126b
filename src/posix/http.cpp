// HTTPS requests through libcurl's multi interface, driven by the event loop: curl tells which
// sockets to watch and when its next timeout falls, the loop's poll reports readiness, and a
// request that ends is posted to its window as a message. Nothing here waits.
//
// libcurl is loaded at the first request, not linked: with the libraries it pulls in it would
// keep about 4 MiB resident in every program, also in those that never sign in.
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "posix/backends.h"

namespace kc::posix {

namespace {

// The libcurl functions used here, resolved from the library once it is loaded.
#define KC_CURL_FUNCTIONS(X)                                                                      \
  X(curl_global_init)                                                                             \
  X(curl_multi_init)                                                                              \
  X(curl_multi_setopt) X(curl_multi_cleanup) X(curl_multi_add_handle) X(curl_multi_remove_handle) \
      X(curl_multi_socket_action) X(curl_multi_info_read) X(curl_easy_init) X(curl_easy_setopt)   \
          X(curl_easy_cleanup) X(curl_easy_getinfo) X(curl_easy_strerror) X(curl_slist_append)    \
              X(curl_slist_free_all) X(curl_url) X(curl_url_set) X(curl_url_get)                  \
                  X(curl_url_cleanup) X(curl_free)

struct CurlApi {
#define KC_CURL_MEMBER(name) decltype(&::name) name = nullptr;
  KC_CURL_FUNCTIONS(KC_CURL_MEMBER)
#undef KC_CURL_MEMBER
};

CurlApi curl;

// Loads libcurl and resolves every function; false (why) when the library or one of them is
// missing.
bool LoadCurl(char* why, size_t whySize) {
  static void* library = nullptr;
  if (library != nullptr) return true;
  void* handle = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::snprintf(why, whySize, "libcurl could not be loaded: %s", dlerror());
    return false;
  }
  CurlApi api;
  bool ok = true;
#define KC_CURL_RESOLVE(name)                                           \
  api.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  ok = ok && api.name != nullptr;
  KC_CURL_FUNCTIONS(KC_CURL_RESOLVE)
#undef KC_CURL_RESOLVE
  if (!ok) {
    std::snprintf(why, whySize, "libcurl lacks a function this program needs");
    dlclose(handle);
    return false;
  }
  curl = api;
  library = handle;
  return true;
}

void Say(char* why, size_t size, const char* text) {
  if (size > 0) std::snprintf(why, size, "%s", text);
}

// Only https://, or http:// to a loopback address (a local test server or proxy).
bool AddressAllowed(const char* url, char* why, size_t whySize) {
  CURLU* u = curl.curl_url();
  bool ok = false;
  char* scheme = nullptr;
  char* host = nullptr;
  if (curl.curl_url_set(u, CURLUPART_URL, url, 0) != CURLUE_OK ||
      curl.curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK ||
      curl.curl_url_get(u, CURLUPART_HOST, &host, 0) != CURLUE_OK) {
    Say(why, whySize, "not a valid address");
  } else if (std::strcmp(scheme, "https") == 0) {
    ok = true;
  } else if (std::strcmp(scheme, "http") == 0 &&
             (std::strncmp(host, "127.", 4) == 0 || std::strcmp(host, "[::1]") == 0 ||
              std::strcmp(host, "localhost") == 0)) {
    ok = true;
  } else {
    Say(why, whySize, "not an https:// address");
  }
  curl.curl_free(scheme);
  curl.curl_free(host);
  curl.curl_url_cleanup(u);
  return ok;
}

class CurlHttp final : public HttpPort {
 public:
  explicit CurlHttp(EventLoop& loop) : loop_(loop) {}
  ~CurlHttp() override {
    for (auto& [id, r] : requests_) Release(r);
    requests_.clear();
    if (multi_ != nullptr) curl.curl_multi_cleanup(multi_);
    for (auto& [fd, watch] : watches_) loop_.Unwatch(watch);
    if (deadline_ != 0) loop_.RemoveDeadline(deadline_);
  }

  HttpRequestId Start(WindowRef window, uint32_t msg, const HttpRequest& request, char* why,
                      size_t whySize) override {
    if (!LoadCurl(why, whySize)) return 0;
    if (!AddressAllowed(request.url, why, whySize)) return 0;
    if (!Ready()) {
      Say(why, whySize, "the HTTP library could not be started");
      return 0;
    }
    CURL* easy = curl.curl_easy_init();
    if (easy == nullptr) {
      Say(why, whySize, "out of memory");
      return 0;
    }
    const HttpRequestId id = ++lastId_;
    Request& r = requests_[id];
    r.easy = easy;
    r.window = window;
    r.msg = msg;
    r.headers = curl.curl_slist_append(nullptr, "Accept: application/json");
    if (request.header[0] != '\0') r.headers = curl.curl_slist_append(r.headers, request.header);
    curl.curl_easy_setopt(easy, CURLOPT_URL, request.url);
    curl.curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https,http");
    curl.curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl.curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeoutMs));
    curl.curl_easy_setopt(easy, CURLOPT_HTTPHEADER, r.headers);
    curl.curl_easy_setopt(easy, CURLOPT_USERAGENT, "KestovaChecker");
    curl.curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlHttp::OnBody);
    curl.curl_easy_setopt(easy, CURLOPT_WRITEDATA, &r);
    curl.curl_easy_setopt(easy, CURLOPT_PRIVATE,
                          reinterpret_cast<void*>(static_cast<uintptr_t>(id)));
    curl.curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, r.error);
    if (request.method == HttpMethod::kPost)
      curl.curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.formBody);
    if (curl.curl_multi_add_handle(multi_, easy) != CURLM_OK) {
      Say(why, whySize, "the request could not be started");
      Release(r);
      requests_.erase(id);
      return 0;
    }
    return id;
  }

  bool Take(HttpRequestId id, HttpReply* reply, char* body, uint32_t bodySize) override {
    auto it = requests_.find(id);
    if (it == requests_.end() || !it->second.ended || bodySize == 0) return false;
    Request& r = it->second;
    *reply = r.reply;
    body[0] = '\0';
    if (reply->outcome == HttpOutcome::kReplied) {
      if (r.tooLarge || r.body.size() >= bodySize) {
        reply->outcome = HttpOutcome::kTooLarge;
        Say(reply->why, sizeof reply->why, "the reply is too large");
      } else {
        std::memcpy(body, r.body.c_str(), r.body.size() + 1);
        reply->length = static_cast<uint32_t>(r.body.size());
      }
    }
    // The body may hold tokens: it is wiped before its memory goes back.
    std::fill(r.body.begin(), r.body.end(), '\0');
    Release(r);
    requests_.erase(it);
    return true;
  }

  void Cancel(HttpRequestId id) override {
    auto it = requests_.find(id);
    if (it == requests_.end()) return;
    std::fill(it->second.body.begin(), it->second.body.end(), '\0');
    Release(it->second);
    requests_.erase(it);
  }

 private:
  struct Request {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    WindowRef window = 0;
    uint32_t msg = 0;
    std::string body;
    bool tooLarge = false;
    bool ended = false;
    HttpReply reply;
    char error[CURL_ERROR_SIZE] = {};
  };

  bool Ready() {
    if (multi_ != nullptr) return true;
    if (curl.curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
    multi_ = curl.curl_multi_init();
    if (multi_ == nullptr) return false;
    curl.curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlHttp::OnSocket);
    curl.curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl.curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlHttp::OnTimer);
    curl.curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    deadline_ = loop_.AddDeadline(
        [this]() -> int {
          if (timeoutAt_ == 0) return -1;
          uint64_t now = EventLoop::NowMs();
          return timeoutAt_ <= now ? 0 : static_cast<int>(timeoutAt_ - now);
        },
        [this]() {
          timeoutAt_ = 0;
          Act(CURL_SOCKET_TIMEOUT, 0);
        });
    return true;
  }

  void Release(Request& r) {
    if (r.easy != nullptr) {
      if (!r.ended) curl.curl_multi_remove_handle(multi_, r.easy);
      curl.curl_easy_cleanup(r.easy);
    }
    curl.curl_slist_free_all(r.headers);
    r.easy = nullptr;
    r.headers = nullptr;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Request& r = *static_cast<Request*>(user);
    const size_t n = size * count;
    if (r.body.size() + n >= kHttpReplySize) {
      r.tooLarge = true;
      return n;  // read on and drop: the request ends as too large, not as a transport error
    }
    r.body.append(data, n);
    return n;
  }

  static int OnSocket(CURL*, curl_socket_t fd, int what, void* user, void*) {
    CurlHttp& self = *static_cast<CurlHttp*>(user);
    auto it = self.watches_.find(fd);
    if (what == CURL_POLL_REMOVE) {
      if (it != self.watches_.end()) {
        self.loop_.Unwatch(it->second);
        self.watches_.erase(it);
      }
      return 0;
    }
    short events = 0;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) events |= POLLIN;
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) events |= POLLOUT;
    if (it != self.watches_.end()) {
      self.loop_.SetWatchEvents(it->second, events);
    } else {
      self.watches_[fd] = self.loop_.Watch(fd, events, [&self, fd](short revents) {
        int flags = 0;
        if ((revents & POLLIN) != 0) flags |= CURL_CSELECT_IN;
        if ((revents & POLLOUT) != 0) flags |= CURL_CSELECT_OUT;
        if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) flags |= CURL_CSELECT_ERR;
        self.Act(fd, flags);
      });
    }
    return 0;
  }

  static int OnTimer(CURLM*, long timeoutMs, void* user) {
    CurlHttp& self = *static_cast<CurlHttp*>(user);
    self.timeoutAt_ = timeoutMs < 0 ? 0 : EventLoop::NowMs() + static_cast<uint64_t>(timeoutMs);
    if (timeoutMs == 0) self.timeoutAt_ = EventLoop::NowMs();
    return 0;
  }

  void Act(curl_socket_t fd, int flags) {
    int running = 0;
    curl.curl_multi_socket_action(multi_, fd, flags, &running);
    int left = 0;
    while (CURLMsg* m = curl.curl_multi_info_read(multi_, &left)) {
      if (m->msg != CURLMSG_DONE) continue;
      void* priv = nullptr;
      curl.curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &priv);
      const HttpRequestId id = static_cast<HttpRequestId>(reinterpret_cast<uintptr_t>(priv));
      auto it = requests_.find(id);
      if (it == requests_.end()) continue;
      Request& r = it->second;
      curl.curl_multi_remove_handle(multi_, r.easy);
      r.ended = true;
      if (m->data.result == CURLE_OK) {
        long status = 0;
        curl.curl_easy_getinfo(r.easy, CURLINFO_RESPONSE_CODE, &status);
        r.reply.outcome = HttpOutcome::kReplied;
        r.reply.status = static_cast<int32_t>(status);
      } else {
        r.reply.outcome = HttpOutcome::kFailed;
        Say(r.reply.why, sizeof r.reply.why,
            r.error[0] != '\0' ? r.error : curl.curl_easy_strerror(m->data.result));
      }
      loop_.Post(r.window, r.msg, id, 0);
    }
  }

  EventLoop& loop_;
  CURLM* multi_ = nullptr;
  std::map<curl_socket_t, int> watches_;  // socket -> the loop's watch
  std::map<HttpRequestId, Request> requests_;
  HttpRequestId lastId_ = 0;
  int deadline_ = 0;
  uint64_t timeoutAt_ = 0;  // 0: curl wants no timeout
};

}  // namespace

std::unique_ptr<HttpPort> MakeHttp(EventLoop& loop) { return std::make_unique<CurlHttp>(loop); }

}  // namespace kc::posix
