// Loading and saving the settings record under the registry key SOFTWARE\KESTOVA.
#include <cstring>

#include "settings/settings.h"

namespace kc {

namespace {

constexpr uint32_t kDwordSize = 4;

// Makes a string field NUL-terminated after `length` bytes were read into it: a text without a
// NUL ends right after the bytes read, or is cut to the field's width minus one when it fills
// the field.
void TerminateString(char* field, uint32_t width, uint32_t length) {
  if (std::memchr(field, '\0', length) != nullptr) return;
  field[length < width ? length : width - 1] = '\0';
}

// Reads a REG_SZ value into its field. On failure the field is left as it was.
bool ReadString(RegistryPort& registry, const char* name, char* field, uint32_t width) {
  uint8_t buf[kMailerSize];  // the widest string field
  static_assert(kCertPinSize <= kMailerSize, "string fields fit the scratch buffer");
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

}  // namespace

bool SettingsComplete(const char* server, const char* user, const char* password) {
  return server[0] != '\0' && user[0] != '\0' && password[0] != '\0';
}

bool SettingsComplete(const Settings& settings) {
  return SettingsComplete(settings.server, settings.user, settings.password);
}

void LoadSettings(Settings& settings, RegistryPort& registry) {
  // An absent or unopenable key is not an error of its own: every read below then fails.
  registry.OpenKey();

  bool serverOk = ReadString(registry, "SERVER", settings.server, kServerSize);
  bool userOk = ReadString(registry, "USER", settings.user, kUserSize);

  // Bytes past a short PASS value stand for zero bytes of the password.
  uint8_t scratch[kPasswordSize];
  std::memset(scratch, 0xFF, sizeof scratch);
  uint32_t passLength = 0;
  bool passOk = registry.QueryValue("PASS", scratch, kPasswordSize, &passLength) &&
                passLength <= kPasswordSize;
  if (passOk) std::memset(scratch + passLength, 0xFF, kPasswordSize - passLength);

  bool timeOk = ReadDword(registry, "TIME", &settings.interval);
  // A missing or oversized LIST, LED or MAILLER leaves its field as it was.
  ReadDword(registry, "LIST", &settings.listSenders);
  ReadDword(registry, "LED", &settings.ledAuto);
  ReadString(registry, "MAILLER", settings.mailer, kMailerSize);
  // The connection values came later: an absent one means the plain connection of old.
  if (!ReadDword(registry, "SSL", &settings.ssl)) settings.ssl = kSslNone;
  if (!ReadDword(registry, "PORT", &settings.port)) settings.port = 0;
  if (!ReadString(registry, "CERTPIN", settings.certPin, kCertPinSize)) {
    std::memset(settings.certPin, 0, kCertPinSize);
  }
  settings.newOnlyStored = ReadDword(registry, "NEWONLY", &settings.newOnly);
  if (!settings.newOnlyStored) settings.newOnly = 0;

  registry.CloseKey();

  Complement(scratch, reinterpret_cast<uint8_t*>(settings.password), kPasswordSize);
  TerminateString(settings.password, kPasswordSize, kPasswordSize);

  if (!serverOk) std::memset(settings.server, 0, kServerSize);
  if (!userOk) std::memset(settings.user, 0, kUserSize);
  if (!passOk) std::memset(settings.password, 0, kPasswordSize);
  // An interval of 0 or less would check back to back; it means the default, as in the dialog.
  if (!timeOk || settings.interval <= 0) settings.interval = kDefaultInterval;
}

void SaveSettings(const Settings& settings, RegistryPort& registry) {
  uint8_t scratch[kPasswordSize];
  Complement(reinterpret_cast<const uint8_t*>(settings.password), scratch, kPasswordSize);

  // Nothing here is reported: a save that fails leaves the record in memory as it is.
  registry.CreateKey();
  WriteString(registry, "SERVER", settings.server, kServerSize);
  WriteString(registry, "USER", settings.user, kUserSize);
  registry.SetValue("PASS", kRegBinary, scratch, kPasswordSize);
  WriteDword(registry, "TIME", settings.interval);
  WriteDword(registry, "LIST", settings.listSenders);
  WriteDword(registry, "LED", settings.ledAuto);
  WriteString(registry, "MAILLER", settings.mailer, kMailerSize);
  WriteDword(registry, "SSL", settings.ssl);
  WriteDword(registry, "PORT", settings.port);
  WriteString(registry, "CERTPIN", settings.certPin, kCertPinSize);
  if (settings.newOnlyStored || settings.newOnly != 0) {
    WriteDword(registry, "NEWONLY", settings.newOnly);
  }
  registry.CloseKey();
}

}  // namespace kc
