// The provider of the sign-in as the settings name it: Microsoft (its tenant), Google, or any
// other by its issuer URL, whose endpoints come from its discovery document.
#pragma once
#include <cstddef>

#include "oauth/provider_reply.h"
#include "port/http.h"
#include "settings/settings.h"

namespace kc {

enum class ProviderKind { kMicrosoft, kGoogle, kIssuer };

struct Provider {
  ProviderKind kind = ProviderKind::kIssuer;
  ProviderEndpoints endpoints;  // known at once for Microsoft and Google
  // The issuer's discovery documents, tried in this order (empty for the known providers).
  char discovery[2][kHttpUrlSize] = {};
  char scope[kScopeSize] = {};
};

// Reads OAUTH, TENANT and SCOPE. False (why) when OAUTH is empty, neither a known name nor a
// usable issuer URL (https://, or http:// on a loopback address), or the tenant holds bytes an
// address cannot.
bool ResolveProvider(const AccountSettings& settings, Provider* out, char* why, size_t whySize);

// True for https:// addresses and for http:// ones whose host is a loopback address: the
// sign-in talks to nothing else.
bool EndpointAllowed(const char* url);

// The device grant is used where the provider has one and does not want a browser redirect.
inline bool UsesDeviceGrant(const Provider& p) {
  return p.kind != ProviderKind::kGoogle && p.endpoints.device[0] != '\0';
}

}  // namespace kc
