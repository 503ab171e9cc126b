#include "oauth/provider.h"

#include <cstring>

#include "text/bounded.h"

namespace kc {

namespace {

constexpr char kMicrosoftScope[] = "https://outlook.office.com/POP.AccessAsUser.All offline_access";
constexpr char kGoogleScope[] = "https://mail.google.com/";
constexpr char kIssuerScope[] = "openid offline_access";

bool SameAscii(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
  }
  return *a == *b;
}

bool TenantOk(const char* t) {
  if (t[0] == '\0') return false;
  for (const char* p = t; *p != '\0'; ++p) {
    const char c = *p;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.' || c == '_')) {
      return false;
    }
  }
  return true;
}

bool StartsWith(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

bool EndpointAllowed(const char* url) {
  if (StartsWith(url, "https://")) return url[8] != '\0';
  if (!StartsWith(url, "http://")) return false;
  const char* host = url + 7;
  size_t n = std::strcspn(host, ":/?#");
  if (host[0] == '[') return StartsWith(host, "[::1]");
  if (n == 9 && std::strncmp(host, "localhost", 9) == 0) return true;
  if (!StartsWith(host, "127.")) return false;
  for (size_t i = 0; i < n; ++i) {
    if (!((host[i] >= '0' && host[i] <= '9') || host[i] == '.')) return false;
  }
  return true;
}

bool ResolveProvider(const AccountSettings& s, Provider* out, char* why, size_t whySize) {
  *out = Provider{};
  const char* name = s.oauth;
  if (name[0] == '\0') {
    FormatBounded(why, whySize, "no OAuth provider is set (OAUTH)");
    return false;
  }
  const char* scope = s.scope;
  if (SameAscii(name, "microsoft")) {
    const char* tenant = s.tenant[0] != '\0' ? s.tenant : "common";
    if (!TenantOk(tenant)) {
      FormatBounded(why, whySize, "the tenant (TENANT) is not a tenant name or ID");
      return false;
    }
    out->kind = ProviderKind::kMicrosoft;
    const char* base = "https://login.microsoftonline.com/";
    ProviderEndpoints& e = out->endpoints;
    FormatBounded(e.authorization, sizeof e.authorization, "%s%s/oauth2/v2.0/authorize", base,
                  tenant);
    FormatBounded(e.token, sizeof e.token, "%s%s/oauth2/v2.0/token", base, tenant);
    FormatBounded(e.device, sizeof e.device, "%s%s/oauth2/v2.0/devicecode", base, tenant);
    if (scope[0] == '\0') scope = kMicrosoftScope;
  } else if (SameAscii(name, "google")) {
    out->kind = ProviderKind::kGoogle;
    ProviderEndpoints& e = out->endpoints;
    CopyBounded(e.authorization, sizeof e.authorization,
                "https://accounts.google.com/o/oauth2/v2/auth");
    CopyBounded(e.token, sizeof e.token, "https://oauth2.googleapis.com/token");
    if (scope[0] == '\0') scope = kGoogleScope;
  } else {
    if (!EndpointAllowed(name)) {
      FormatBounded(why, whySize,
                    "the OAuth provider (OAUTH) is neither microsoft, google nor an https:// "
                    "issuer address");
      return false;
    }
    out->kind = ProviderKind::kIssuer;
    size_t n = std::strlen(name);
    while (n > 0 && name[n - 1] == '/') --n;
    // OpenID Connect appends its name to the issuer; RFC 8414 puts its own before the path.
    FormatBounded(out->discovery[0], kHttpUrlSize, "%.*s/.well-known/openid-configuration",
                  static_cast<int>(n), name);
    const char* host = std::strstr(name, "://") + 3;
    const size_t hostEnd = static_cast<size_t>(host - name) + std::strcspn(host, "/");
    if (hostEnd >= n) {
      FormatBounded(out->discovery[1], kHttpUrlSize, "%.*s/.well-known/oauth-authorization-server",
                    static_cast<int>(n), name);
    } else {
      FormatBounded(out->discovery[1], kHttpUrlSize,
                    "%.*s/.well-known/oauth-authorization-server%.*s", static_cast<int>(hostEnd),
                    name, static_cast<int>(n - hostEnd), name + hostEnd);
    }
    if (scope[0] == '\0') scope = kIssuerScope;
  }
  CopyBounded(out->scope, sizeof out->scope, scope);
  return true;
}

}  // namespace kc
