// Loading and saving the settings record under the registry key SOFTWARE\KESTOVA: account 1
// and the shared values in the key itself, accounts 2 to 8 in its subkeys "2" to "8", each
// account's values read and written by the same code.
#include <cstring>

#include "settings/account_keys.h"
#include "settings/settings.h"

namespace kc {

namespace {

constexpr uint32_t kDwordSize = 4;
// CERTPIN is read through a buffer far wider than its field, so a fingerprint written with
// blanks around or between its digits is never cut or lost.
constexpr uint32_t kCertPinReadSize = 1024;

// Makes a string field NUL-terminated after `length` bytes were read into it: a text without a
// NUL ends right after the bytes read, or is cut to the field's width minus one when it fills
// the field.
void TerminateString(char* field, uint32_t width, uint32_t length) {
  if (std::memchr(field, '\0', length) != nullptr) return;
  field[length < width ? length : width - 1] = '\0';
}

// Reads a REG_SZ value into its field. On failure the field is left as it was.
bool ReadString(RegistryPort& registry, const char* name, char* field, uint32_t width) {
  uint8_t buf[kScopeSize];  // the widest string field
  static_assert(kCertPinSize <= kScopeSize && kMailerSize <= kScopeSize &&
                    kOAuthProviderSize <= kScopeSize && kClientIdSize <= kScopeSize &&
                    kClientSecretSize <= kScopeSize && kTenantSize <= kScopeSize,
                "string fields fit the scratch buffer");
  uint32_t length = 0;
  if (width > sizeof buf) return false;
  if (!registry.QueryValue(name, buf, width, &length) || length > width) return false;
  std::memcpy(field, buf, length);
  TerminateString(field, width, length);
  return true;
}

// Reads a DWORD value: its little-endian bytes replace the field's low bytes, as a read into the
// field's memory does. On failure the field is left as it was.
bool ReadDword(RegistryPort& registry, const char* name, int32_t* field) {
  uint8_t buf[kDwordSize];
  uint32_t length = 0;
  if (!registry.QueryValue(name, buf, kDwordSize, &length) || length > kDwordSize) return false;
  uint32_t value = static_cast<uint32_t>(*field);
  for (uint32_t i = 0; i < length; ++i) {
    value &= ~(0xFFu << (8 * i));
    value |= static_cast<uint32_t>(buf[i]) << (8 * i);
  }
  *field = static_cast<int32_t>(value);
  return true;
}

// Reads SSL or PORT, which only a REG_DWORD of four bytes gives: anything else that is there
// (a REG_QWORD, a string, a REG_BINARY, a value the platform could not read) is reported as
// unreadable, and the field is left for the caller to set.
ValueFound ReadSecureDword(RegistryPort& registry, const char* name, int32_t* field) {
  uint8_t buf[kDwordSize];
  ValueFound found;
  ValueRead read = registry.ReadValue(name, buf, kDwordSize, &found.length, &found.type);
  if (read == ValueRead::kAbsent) return ValueFound{};
  if (read != ValueRead::kRead || found.type != kRegDword || found.length != kDwordSize) {
    found.state = ValueFound::kUnreadable;
    return found;
  }
  uint32_t value = 0;
  for (uint32_t i = 0; i < kDwordSize; ++i) value |= static_cast<uint32_t>(buf[i]) << (8 * i);
  *field = static_cast<int32_t>(value);
  found.state = ValueFound::kRead;
  return found;
}

bool IsPinSeparator(uint8_t c) { return c == ' ' || c == '\t' || c == ':'; }

// Reads CERTPIN, a REG_SZ. A text that fits the field is kept as written; a longer one is kept
// without its blanks and colons, which the pin's form allows anywhere, so a fingerprint that
// is padded or spaced out still counts. Anything else that is there (another type, a read that
// failed, a text too long even so) leaves the field empty and is reported, so the connection
// can refuse every certificate rather than fall back to the system's trust.
ValueFound ReadCertPin(RegistryPort& registry, char* field) {
  uint8_t buf[kCertPinReadSize];
  ValueFound found;
  ValueRead read = registry.ReadValue("CERTPIN", buf, sizeof buf, &found.length, &found.type);
  std::memset(field, 0, kCertPinSize);
  if (read == ValueRead::kAbsent) return ValueFound{};
  if (read != ValueRead::kRead || found.type != kRegSz) {
    const bool longText =
        read == ValueRead::kUnreadable && found.type == kRegSz && found.length > sizeof buf;
    found.state = longText ? ValueFound::kTooLong : ValueFound::kUnreadable;
    return found;
  }
  const uint32_t got = found.length < sizeof buf ? found.length : sizeof buf;
  const void* nul = std::memchr(buf, '\0', got);
  uint32_t text =
      nul != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - buf) : got;
  if (text < kCertPinSize) {
    std::memcpy(field, buf, text);
    found.state = ValueFound::kRead;
    return found;
  }
  uint32_t kept = 0;
  for (uint32_t i = 0; i < text; ++i) {
    if (IsPinSeparator(buf[i])) continue;
    if (kept == kCertPinSize - 1) {
      std::memset(field, 0, kCertPinSize);
      found.state = ValueFound::kTooLong;
      return found;
    }
    field[kept++] = static_cast<char>(buf[i]);
  }
  // Blanks and colons only: kept as they are (cut to the field), which no certificate matches.
  if (kept == 0) std::memcpy(field, buf, kCertPinSize - 1);
  found.state = ValueFound::kRead;
  return found;
}

void WriteDword(RegistryPort& registry, const char* name, int32_t field) {
  uint32_t value = static_cast<uint32_t>(field);
  uint8_t bytes[kDwordSize];
  for (uint32_t i = 0; i < kDwordSize; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  registry.SetValue(name, kRegDword, bytes, kDwordSize);
}

void WriteString(RegistryPort& registry, const char* name, const char* field, uint32_t width) {
  registry.SetValue(name, kRegSz, reinterpret_cast<const uint8_t*>(field), width);
}

// The stored password is the whole field with every bit inverted; the same operation decodes it.
void Complement(const uint8_t* in, uint8_t* out, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(~in[i]);
}

struct SignInText {
  const char* name;
  char* field;
  uint32_t width;
  uint8_t bit;
};

// The sign-in's texts of one record, in the order they are stored.
struct SignInTexts {
  explicit SignInTexts(AccountSettings& s)
      : items{{"OAUTH", s.oauth, kOAuthProviderSize, kStoredOAuth},
              {"CLIENTID", s.clientId, kClientIdSize, kStoredClientId},
              {"CLIENTSECRET", s.clientSecret, kClientSecretSize, kStoredClientSecret},
              {"TENANT", s.tenant, kTenantSize, kStoredTenant},
              {"SCOPE", s.scope, kScopeSize, kStoredScope}} {}
  const SignInText* begin() const { return items; }
  const SignInText* end() const { return items + 5; }
  SignInText items[5];
};

// The sign-in's values. An AUTH that is there but no DWORD means OAuth is wanted but unclear:
// it loads as OAuth, so the password is never sent where the user chose a token.
void LoadSignIn(AccountSettings& s, RegistryPort& registry) {
  s.oauthStored = 0;
  const ValueFound auth = ReadSecureDword(registry, "AUTH", &s.auth);
  if (auth.state == ValueFound::kAbsent) s.auth = kAuthPassword;
  if (auth.state == ValueFound::kUnreadable) s.auth = kAuthOAuth;
  if (auth.state != ValueFound::kAbsent) s.oauthStored |= kStoredAuth;
  for (const SignInText& t : SignInTexts(s)) {
    std::memset(t.field, 0, t.width);
    if (ReadString(registry, t.name, t.field, t.width)) s.oauthStored |= t.bit;
  }
}

void SaveSignIn(AccountSettings& s, RegistryPort& registry) {
  if ((s.oauthStored & kStoredAuth) != 0 || s.auth != kAuthPassword) {
    WriteDword(registry, "AUTH", s.auth);
    s.oauthStored |= kStoredAuth;
  }
  for (const SignInText& t : SignInTexts(s)) {
    if ((s.oauthStored & t.bit) == 0 && t.field[0] == '\0') continue;
    WriteString(registry, t.name, t.field, t.width);
    s.oauthStored |= t.bit;
  }
}

}  // namespace

bool SettingsComplete(const char* server, const char* user, const char* password) {
  return server[0] != '\0' && user[0] != '\0' && password[0] != '\0';
}

bool SettingsComplete(const AccountSettings& settings) {
  if (UsesOAuth(settings)) return settings.server[0] != '\0' && settings.user[0] != '\0';
  return SettingsComplete(settings.server, settings.user, settings.password);
}

namespace {

// Reads one account's values from the key or subkey open. `shared`, given for the main key
// only, receives the values all accounts share.
void LoadAccount(AccountSettings& account, RegistryPort& registry, Settings* shared) {
  bool serverOk = ReadString(registry, "SERVER", account.server, kServerSize);
  bool userOk = ReadString(registry, "USER", account.user, kUserSize);

  // Bytes past a short PASS value stand for zero bytes of the password.
  uint8_t scratch[kPasswordSize];
  std::memset(scratch, 0xFF, sizeof scratch);
  uint32_t passLength = 0;
  bool passOk = registry.QueryValue("PASS", scratch, kPasswordSize, &passLength) &&
                passLength <= kPasswordSize;
  if (passOk) std::memset(scratch + passLength, 0xFF, kPasswordSize - passLength);

  if (shared != nullptr) {
    bool timeOk = ReadDword(registry, "TIME", &shared->interval);
    // A missing or oversized LIST, LED or MAILLER leaves its field as it was.
    ReadDword(registry, "LIST", &shared->listSenders);
    ReadDword(registry, "LED", &shared->ledAuto);
    ReadString(registry, "MAILLER", shared->mailer, kMailerSize);
    // An interval of 0 or less would check back to back; it means the default, as in the
    // dialog.
    if (!timeOk || shared->interval <= 0) shared->interval = kDefaultInterval;
  }
  // The connection values came later: an absent one means the plain connection of old, but
  // one that is there and cannot be read must not send the password in the clear.
  account.sslFound = ReadSecureDword(registry, "SSL", &account.ssl);
  if (account.sslFound.state == ValueFound::kAbsent) account.ssl = kSslNone;
  if (account.sslFound.state == ValueFound::kUnreadable) account.ssl = kSslImplicit;
  account.portFound = ReadSecureDword(registry, "PORT", &account.port);
  if (account.portFound.state != ValueFound::kRead) account.port = 0;
  account.certPinFound = ReadCertPin(registry, account.certPin);
  account.newOnlyStored = ReadDword(registry, "NEWONLY", &account.newOnly);
  if (!account.newOnlyStored) account.newOnly = 0;
  if (shared != nullptr) {
    shared->notifyStored = ReadDword(registry, "NOTIFY", &shared->notify);
    if (!shared->notifyStored) shared->notify = 0;
  }
  LoadSignIn(account, registry);
  std::memset(account.name, 0, kAccountNameSize);
  account.nameStored = ReadString(registry, "NAME", account.name, kAccountNameSize);

  Complement(scratch, reinterpret_cast<uint8_t*>(account.password), kPasswordSize);
  TerminateString(account.password, kPasswordSize, kPasswordSize);

  if (!serverOk) std::memset(account.server, 0, kServerSize);
  if (!userOk) std::memset(account.user, 0, kUserSize);
  if (!passOk) std::memset(account.password, 0, kPasswordSize);
}

// The values an account may hold besides SERVER, USER and PASS, which are always written.
const char* const kOptionalAccountValues[] = {"SSL",    "PORT",  "CERTPIN",  "NEWONLY",
                                              "AUTH",   "OAUTH", "CLIENTID", "CLIENTSECRET",
                                              "TENANT", "SCOPE", "NAME"};

// Writes one account's values to the key or subkey open, in the order the main key has always
// had them; `shared`, given for the main key only, puts the shared values at their places.
void SaveAccount(AccountSettings& account, RegistryPort& registry, const Settings* shared) {
  uint8_t scratch[kPasswordSize];
  Complement(reinterpret_cast<const uint8_t*>(account.password), scratch, kPasswordSize);

  WriteString(registry, "SERVER", account.server, kServerSize);
  WriteString(registry, "USER", account.user, kUserSize);
  registry.SetValue("PASS", kRegBinary, scratch, kPasswordSize);
  if (shared != nullptr) {
    WriteDword(registry, "TIME", shared->interval);
    WriteDword(registry, "LIST", shared->listSenders);
    WriteDword(registry, "LED", shared->ledAuto);
    WriteString(registry, "MAILLER", shared->mailer, kMailerSize);
  }
  // A key that never held the connection values keeps the seven above while they are at
  // their defaults. An SSL the load could not read is replaced by what the dialog showed and
  // the user confirmed; an unreadable PORT or CERTPIN, which nothing here edits, stays as it is.
  if (account.sslFound.state != ValueFound::kAbsent || account.ssl != kSslNone) {
    WriteDword(registry, "SSL", account.ssl);
    account.sslFound = ValueFound{ValueFound::kRead, kRegDword, kDwordSize};
  }
  if (account.portFound.state == ValueFound::kRead || account.port != 0) {
    WriteDword(registry, "PORT", account.port);
    account.portFound = ValueFound{ValueFound::kRead, kRegDword, kDwordSize};
  }
  if (account.certPinFound.state == ValueFound::kRead || account.certPin[0] != '\0') {
    WriteString(registry, "CERTPIN", account.certPin, kCertPinSize);
    account.certPinFound = ValueFound{ValueFound::kRead, kRegSz, kCertPinSize};
  }
  if (account.newOnlyStored || account.newOnly != 0) {
    WriteDword(registry, "NEWONLY", account.newOnly);
    account.newOnlyStored = true;  // a later save that turns it off must write the 0
  }
  if (shared != nullptr && (shared->notifyStored || shared->notify != 0)) {
    WriteDword(registry, "NOTIFY", shared->notify);
  }
  SaveSignIn(account, registry);
  if (account.nameStored || account.name[0] != '\0') {
    WriteString(registry, "NAME", account.name, kAccountNameSize);
    account.nameStored = true;
  }
}

// Writes an account to subkey `number`. One that comes from another subkey, or from none, finds
// there what the subkey's former account held: its own values are written as for a subkey that
// held none, and the known values it does not write are removed, so none of the former
// account's settings is taken for its own. Values the program does not know stay.
void SaveMovedAccount(AccountSettings& account, RegistryPort& registry, int number) {
  const bool moved = account.storedIn != number;
  if (moved) {
    account.sslFound = account.portFound = account.certPinFound = ValueFound{};
    account.newOnlyStored = false;
    account.oauthStored = 0;
    account.nameStored = false;
  }
  SaveAccount(account, registry, nullptr);
  account.storedIn = number;
  if (!moved) return;
  const bool written[] = {account.sslFound.state != ValueFound::kAbsent,
                          account.portFound.state != ValueFound::kAbsent,
                          account.certPinFound.state != ValueFound::kAbsent,
                          account.newOnlyStored,
                          (account.oauthStored & kStoredAuth) != 0,
                          (account.oauthStored & kStoredOAuth) != 0,
                          (account.oauthStored & kStoredClientId) != 0,
                          (account.oauthStored & kStoredClientSecret) != 0,
                          (account.oauthStored & kStoredTenant) != 0,
                          (account.oauthStored & kStoredScope) != 0,
                          account.nameStored};
  static_assert(sizeof written / sizeof written[0] ==
                    sizeof kOptionalAccountValues / sizeof kOptionalAccountValues[0],
                "one flag for each optional value");
  for (size_t i = 0; i < sizeof written / sizeof written[0]; ++i) {
    if (!written[i]) registry.DeleteValue(kOptionalAccountValues[i]);
  }
}

}  // namespace

void LoadSettings(Settings& settings, RegistryPort& registry) {
  // An absent or unopenable key is not an error of its own: every read below then fails, and
  // no subkey is found.
  registry.OpenKey();
  LoadAccount(settings, registry, &settings);

  AccountKeys keys;
  FindAccountKeys(registry, &keys);
  settings.moreCount = 0;
  for (AccountSettings& account : settings.more) account = AccountSettings{};
  for (int number = 2; number <= kMaxAccounts; ++number) {
    char name[2];
    AccountKeyName(number, name);
    // A subkey listed but not opened (no access) is passed over as a missing one is.
    if (!keys.present[number] || !registry.OpenSubKey(name)) continue;
    AccountSettings& account = settings.more[settings.moreCount++];
    LoadAccount(account, registry, nullptr);
    account.storedIn = number;
    registry.CloseSubKey();
  }
  std::memcpy(settings.ignoredAccounts, keys.ignored, sizeof keys.ignored);
  settings.ignoredCount = keys.ignoredCount;

  registry.CloseKey();
}

void SaveSettings(Settings& settings, RegistryPort& registry) {
  // Nothing here is reported: a save that fails leaves the record in memory as it is.
  registry.CreateKey();
  SaveAccount(settings, registry, &settings);
  if (settings.notifyStored || settings.notify != 0) settings.notifyStored = true;

  const int more = settings.moreCount < 0                  ? 0
                   : settings.moreCount > kMaxAccounts - 1 ? kMaxAccounts - 1
                                                           : settings.moreCount;
  for (int number = 2; number <= kMaxAccounts; ++number) {
    char name[2];
    AccountKeyName(number, name);
    if (number - 2 >= more) {
      registry.DeleteSubKey(name);  // an account removed, or one moved up the list
    } else if (registry.CreateSubKey(name)) {
      SaveMovedAccount(settings.more[number - 2], registry, number);
      registry.CloseSubKey();
    }
  }
  registry.CloseKey();
}

}  // namespace kc
