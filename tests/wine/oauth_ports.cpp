// The Windows back ends of the sign-in's ports, run on their own under Wine: WinHTTP against a
// local server, the DPAPI token file, CNG's SHA-256 and random bytes, the loopback listener.
// One command per run (its arguments), answers on stdout, one line each:
//   crypto                 sha256 <hex of SHA-256("abc")> / random <hex> <hex>
//   store save|load|erase  where <path> / saved / loaded <text> / missing / erased
//   http URL [BODY]        status <n> outcome <k> length <n> pings <n> ... body <hex of at
//                          most 256 bytes>, then reason <why>  (POST with BODY)
//   loopback               port <n>, then target <path and query> once a GET came
// The http command posts itself a message every 20 ms while the request runs and counts those
// handled: the count shows the message loop answering while WinHTTP works.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "win32/backends.h"

namespace {

constexpr UINT kDone = WM_APP + 1;
constexpr UINT kPing = WM_APP + 2;
constexpr UINT kLoopback = WM_APP + 3;
int pings = 0;
WPARAM doneId = 0;
bool loopbackNews = false;

LRESULT CALLBACK Proc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kPing) {
    ++pings;
    return 0;
  }
  if (msg == kDone) {
    doneId = wp;
    return 0;
  }
  if (msg == kLoopback) {
    loopbackNews = true;
    return 0;
  }
  return DefWindowProcA(window, msg, wp, lp);
}

std::string Hex(const void* data, size_t n) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", static_cast<const unsigned char*>(data)[i]);
    out += two;
  }
  return out;
}

HWND MakeWindow() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "kc_oauth_ports";
  RegisterClassA(&wc);
  return CreateWindowA("kc_oauth_ports", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                       nullptr);
}

// Pumps messages until done() or the bound passes.
template <typename Done>
bool Pump(Done done, DWORD boundMs) {
  const DWORD start = GetTickCount();
  MSG m;
  while (!done()) {
    if (GetTickCount() - start > boundMs) return false;
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0) {
      while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    }
  }
  return true;
}

int Crypto() {
  auto crypto = kc::win32::MakeCrypto();
  uint8_t digest[kc::kSha256Size];
  if (!crypto->Sha256(reinterpret_cast<const uint8_t*>("abc"), 3, digest)) return 1;
  std::printf("sha256 %s\n", Hex(digest, sizeof digest).c_str());
  uint8_t a[16], b[16];
  if (!crypto->RandomBytes(a, sizeof a) || !crypto->RandomBytes(b, sizeof b)) return 1;
  std::printf("random %s %s\n", Hex(a, sizeof a).c_str(), Hex(b, sizeof b).c_str());
  return 0;
}

int Store(const char* what) {
  auto store = kc::win32::MakeTokenStore();
  std::printf("where %s\n", store->Where());
  char why[256] = "";
  static const char kRecord[] = "{\"refresh_token\":\"kestova-refresh-3f9a7c\"}";
  if (std::strcmp(what, "save") == 0) {
    if (!store->Save(reinterpret_cast<const uint8_t*>(kRecord), sizeof kRecord - 1, why,
                     sizeof why)) {
      std::printf("failed %s\n", why);
      return 1;
    }
    std::printf("saved\n");
    return 0;
  }
  if (std::strcmp(what, "load") == 0) {
    static uint8_t bytes[kc::kTokenRecordSize + 1];
    uint32_t length = 0;
    kc::TokenLoad load = store->Load(bytes, kc::kTokenRecordSize, &length, why, sizeof why);
    if (load == kc::TokenLoad::kMissing) {
      std::printf("missing\n");
      return 0;
    }
    if (load != kc::TokenLoad::kLoaded) {
      std::printf("failed %s\n", why);
      return 1;
    }
    bytes[length] = 0;
    std::printf("loaded %s\n", reinterpret_cast<char*>(bytes));
    return 0;
  }
  if (!store->Erase(why, sizeof why)) {
    std::printf("failed %s\n", why);
    return 1;
  }
  std::printf("erased\n");
  return 0;
}

int Http(HWND window, const char* url, const char* body) {
  auto http = kc::win32::MakeHttp();
  kc::HttpRequest request;
  request.url = url;
  if (body != nullptr) {
    request.method = kc::HttpMethod::kPost;
    request.formBody = body;
  }
  request.timeoutMs = 10000;
  char why[kc::kHttpWhySize] = "";
  kc::HttpRequestId id =
      http->Start(reinterpret_cast<kc::WindowRef>(window), kDone, request, why, sizeof why);
  if (id == 0) {
    std::printf("refused %s\n", why);
    return 0;
  }
  const DWORD start = GetTickCount();
  DWORD lastPing = start;
  bool ended = Pump(
      [&] {
        if (GetTickCount() - lastPing >= 20) {
          PostMessageA(window, kPing, 0, 0);
          lastPing = GetTickCount();
        }
        return doneId == id;
      },
      30000);
  if (!ended) {
    std::printf("no end\n");
    return 1;
  }
  kc::HttpReply reply;
  static char text[kc::kHttpReplySize];
  if (!http->Take(id, &reply, text, sizeof text)) {
    std::printf("take failed\n");
    return 1;
  }
  std::printf("status %d outcome %d length %u pings %d ms %lu why %s body %s\n", reply.status,
              static_cast<int>(reply.outcome), reply.length, pings,
              static_cast<unsigned long>(GetTickCount() - start),
              reply.why[0] != '\0' ? "yes" : "no",
              Hex(text, reply.length < 256 ? reply.length : 256).c_str());
  std::printf("reason %s\n", reply.why);
  return 0;
}

int Loopback(HWND window) {
  auto loopback = kc::win32::MakeLoopback();
  char why[256] = "";
  uint16_t port =
      loopback->Open(reinterpret_cast<kc::WindowRef>(window), kLoopback, why, sizeof why);
  if (port == 0) {
    std::printf("failed %s\n", why);
    return 1;
  }
  std::printf("port %u\n", port);
  std::fflush(stdout);
  static char target[kc::kLoopbackTargetSize];
  for (;;) {
    loopbackNews = false;
    if (!Pump([] { return loopbackNews; }, 30000)) {
      std::printf("no request\n");
      return 1;
    }
    kc::LoopbackTake take = loopback->Take(target, sizeof target, why, sizeof why);
    if (take == kc::LoopbackTake::kFailed) {
      std::printf("failed %s\n", why);
      return 1;
    }
    if (take == kc::LoopbackTake::kRequest) break;
  }
  loopback->Answer(200, "<!doctype html><p>Signed in. You may close this page.</p>");
  loopback->Close();
  std::printf("target %s\n", target);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  HWND window = MakeWindow();
  const std::string command = argv[1];
  if (command == "crypto") return Crypto();
  if (command == "store" && argc > 2) return Store(argv[2]);
  if (command == "http" && argc > 2) return Http(window, argv[2], argc > 3 ? argv[3] : nullptr);
  if (command == "loopback") return Loopback(window);
  return 2;
}
