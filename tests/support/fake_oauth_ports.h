// Fakes of the sign-in's ports: an HTTP client whose requests the test answers, a token store
// in memory, counted random bytes with OpenSSL's SHA-256, a loopback listener fed by the test,
// and a browser that records what it was asked to open.
#pragma once
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "port/browser.h"
#include "port/crypto.h"
#include "port/http.h"
#include "port/loopback.h"
#include "port/token_store.h"
#include "support/fake_account_files.h"

namespace kc::test {

inline void SayWhy(char* why, size_t whySize, const char* text) {
  if (whySize > 0) std::snprintf(why, whySize, "%s", text);
}

class FakeHttp final : public HttpPort {
 public:
  struct Sent {
    HttpRequestId id;
    WindowRef window;
    uint32_t msg;
    HttpMethod method;
    std::string url, body, header;
  };
  std::vector<Sent> sent;  // every request started, in order
  std::map<HttpRequestId, HttpReply> ended;
  std::map<HttpRequestId, std::string> bodies;
  std::vector<HttpRequestId> cancelled;
  bool failStart = false;

  HttpRequestId Start(WindowRef window, uint32_t msg, const HttpRequest& r, char* why,
                      size_t whySize) override {
    if (failStart) {
      SayWhy(why, whySize, "out of handles");
      return 0;
    }
    sent.push_back({++last_, window, msg, r.method, r.url, r.formBody, r.header});
    return last_;
  }
  // Ends the last request with a reply; the caller posts the message (Reply does not).
  HttpRequestId Reply(int32_t status, const std::string& body,
                      HttpOutcome outcome = HttpOutcome::kReplied, const char* why = "") {
    HttpReply reply;
    reply.outcome = outcome;
    reply.status = status;
    std::snprintf(reply.why, sizeof reply.why, "%s", why);
    ended[last_] = reply;
    bodies[last_] = body;
    return last_;
  }
  bool Take(HttpRequestId id, HttpReply* reply, char* body, uint32_t bodySize) override {
    auto it = ended.find(id);
    if (it == ended.end() || bodySize == 0) return false;
    *reply = it->second;
    const std::string& b = bodies[id];
    if (b.size() >= bodySize) {
      reply->outcome = HttpOutcome::kTooLarge;
      reply->length = 0;
      body[0] = '\0';
    } else {
      std::memcpy(body, b.c_str(), b.size() + 1);
      reply->length = static_cast<uint32_t>(b.size());
    }
    ended.erase(it);
    return true;
  }
  void Cancel(HttpRequestId id) override { cancelled.push_back(id); }

 private:
  HttpRequestId last_ = 0;
};

class FakeTokenStore final : public TokenStorePort, public FakeAccountFiles {
 public:
  std::vector<uint8_t> stored;
  bool exists = false;
  bool failLoad = false, failSave = false;
  int saves = 0;
  std::vector<std::string> events;  // "save", "erase": for the order against other ports

  // Each account's record: see FakeAccountFiles.
  const char* Where() override { return where_.c_str(); }
  void UseAccount(uint64_t key) override { SwitchTo(key, "token", stored, exists, where_); }
  TokenLoad Load(uint8_t* bytes, uint32_t size, uint32_t* length, char* why,
                 size_t whySize) override {
    if (failLoad) {
      SayWhy(why, whySize, "Permission denied");
      return TokenLoad::kFailed;
    }
    if (!exists) return TokenLoad::kMissing;
    if (stored.size() > size) {
      SayWhy(why, whySize, "too large");
      return TokenLoad::kFailed;
    }
    if (!stored.empty()) std::memcpy(bytes, stored.data(), stored.size());
    *length = static_cast<uint32_t>(stored.size());
    return TokenLoad::kLoaded;
  }
  bool Save(const uint8_t* bytes, uint32_t length, char* why, size_t whySize) override {
    events.push_back("save");
    if (failSave) {
      SayWhy(why, whySize, "No space left on device");
      return false;
    }
    stored.assign(bytes, bytes + length);
    exists = true;
    ++saves;
    return true;
  }
  bool Erase(char*, size_t) override {
    events.push_back("erase");
    stored.clear();
    exists = false;
    return true;
  }

 private:
  std::string where_ = "/state/kestova/token.dat";
};

class FakeCrypto final : public CryptoPort {
 public:
  bool failRandom = false;
  uint8_t next = 0;  // random bytes count up from here
  bool RandomBytes(uint8_t* bytes, uint32_t n) override {
    if (failRandom) return false;
    for (uint32_t i = 0; i < n; ++i) bytes[i] = next++;
    return true;
  }
  bool Sha256(const uint8_t* data, uint32_t n, uint8_t digest[kSha256Size]) override {
    SHA256(data, n, digest);
    return true;
  }
};

class FakeLoopback final : public LoopbackPort {
 public:
  uint16_t port = 50123;  // 0: Open fails
  bool open = false;
  WindowRef window = 0;
  uint32_t msg = 0;
  std::deque<std::string> requests;  // targets the test queues; Take hands them out
  std::vector<std::pair<int, std::string>> answers;
  int closes = 0;

  uint16_t Open(WindowRef w, uint32_t m, char* why, size_t whySize) override {
    if (port == 0) {
      SayWhy(why, whySize, "Address already in use");
      return 0;
    }
    open = true;
    window = w;
    msg = m;
    return port;
  }
  LoopbackTake Take(char* target, uint32_t size, char*, size_t) override {
    if (requests.empty() || size == 0) return LoopbackTake::kNothing;
    std::snprintf(target, size, "%s", requests.front().c_str());
    requests.pop_front();
    return LoopbackTake::kRequest;
  }
  void Answer(int status, const char* html) override { answers.emplace_back(status, html); }
  void Close() override {
    open = false;
    ++closes;
  }
};

class FakeBrowser final : public BrowserPort {
 public:
  std::vector<std::string> opened;
  bool fail = false;
  bool Open(const char* url, char* why, size_t whySize) override {
    if (fail) {
      SayWhy(why, whySize, "no browser");
      return false;
    }
    opened.push_back(url);
    return true;
  }
};

}  // namespace kc::test
