// The settings file of the Linux store: any text through the parser, and what the parser accepts
// (the settings key, and every section of the file) written out again and read back unchanged,
// then loaded by the settings store, which must fail closed on whatever SSL and CERTPIN hold. The
// same input, read as a list of values, is written out and must read back as that list.
//
// Input: the file's text. For the second half it is read with FuzzedDataProvider as values: a
// name (without line feed or NUL), a type choice, a type and the data, until the input ends.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "posix/regedit_file.h"
#include "settings/settings.h"

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool SameValues(const std::vector<kc::RegeditValue>& a, const std::vector<kc::RegeditValue>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  }
  return true;
}

void CheckRoundTrip(const std::vector<kc::RegeditValue>& values) {
  const std::string text = kc::FormatRegeditFile(kc::kRegeditSettingsKey, values);
  kc::RegeditKey again;
  FUZZ_CHECK(kc::ParseRegeditFile(text, kc::kRegeditSettingsKey, &again));
  FUZZ_CHECK(again.found);
  FUZZ_CHECK(SameValues(again.values, values));
}

std::vector<kc::RegeditValue> TakeValues(FuzzedDataProvider& in) {
  std::vector<kc::RegeditValue> values;
  while (in.remaining_bytes() > 0 && values.size() < 64) {
    kc::RegeditValue v;
    v.name = in.ConsumeRandomLengthString(300);
    bool usable = v.name.find('\n') == std::string::npos && v.name.find('\0') == std::string::npos;
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: v.type = 1; break;
      case 1: v.type = 3; break;
      case 2: v.type = 4; break;
      default: v.type = in.ConsumeIntegral<uint32_t>(); break;
    }
    std::string data = in.ConsumeRandomLengthString(600);
    v.data.assign(data.begin(), data.end());
    if (!usable) continue;
    // A name given twice (in any case) is one value: the file keeps one of them.
    bool twice = false;
    for (const kc::RegeditValue& w : values) twice = twice || SameName(w.name, v.name);
    if (!twice) values.push_back(v);
  }
  return values;
}

// The parsed key as the store sees it through its port.
class KeyRegistry final : public kc::RegistryPort {
 public:
  explicit KeyRegistry(std::vector<kc::RegeditValue>& values) : values_(values) {}
  bool OpenKey() override { return true; }
  bool CreateKey() override { return true; }
  kc::ValueRead ReadValue(const char* name, uint8_t* buf, uint32_t size, uint32_t* length,
                          uint32_t* type) override {
    const kc::RegeditValue* v = Find(name);
    if (v == nullptr) return kc::ValueRead::kAbsent;
    *type = v->type;
    *length = static_cast<uint32_t>(v->data.size());
    if (v->data.size() > size) return kc::ValueRead::kUnreadable;
    if (!v->data.empty()) std::memcpy(buf, v->data.data(), v->data.size());
    return kc::ValueRead::kRead;
  }
  bool SetValue(const char* name, uint32_t type, const uint8_t* data, uint32_t size) override {
    kc::RegeditValue* v = Find(name);
    if (v == nullptr) {
      values_.push_back({name, type, {}});
      v = &values_.back();
    }
    v->type = type;
    v->data.assign(data, data + size);
    return true;
  }
  void CloseKey() override {}
  kc::RegeditValue* Find(const char* name) {
    for (kc::RegeditValue& v : values_) {
      if (SameName(v.name, name)) return &v;
    }
    return nullptr;
  }

 private:
  std::vector<kc::RegeditValue>& values_;
};

// The hex digits of a CERTPIN text without blanks, tabs and colons: a fingerprint when 64.
bool IsFingerprint(const std::vector<uint8_t>& data) {
  size_t digits = 0;
  for (uint8_t c : data) {
    if (c == '\0') break;
    if (c == ' ' || c == '\t' || c == ':') continue;
    if (!std::isxdigit(c)) return false;
    ++digits;
  }
  return digits == 64;
}

// Only an absent SSL is plain text; a CERTPIN that cannot be used leaves no pin that a
// certificate could match and is reported; a fingerprint in any documented form is a pin. A
// save and a second load keep what the first load found.
void CheckStore(std::vector<kc::RegeditValue> values) {
  KeyRegistry registry(values);
  kc::Settings s;
  kc::LoadSettings(s, registry);
  const kc::RegeditValue* ssl = registry.Find("SSL");
  FUZZ_CHECK((ssl == nullptr) == (s.sslFound.state == kc::ValueFound::kAbsent));
  if (ssl == nullptr) FUZZ_CHECK(s.ssl == kc::kSslNone);
  if (ssl != nullptr && (ssl->type != kc::kRegDword || ssl->data.size() != 4)) {
    FUZZ_CHECK(s.ssl == kc::kSslImplicit);
  }
  FUZZ_CHECK(std::memchr(s.certPin, '\0', kc::kCertPinSize) != nullptr);
  const kc::RegeditValue* pin = registry.Find("CERTPIN");
  FUZZ_CHECK((pin == nullptr) == (s.certPinFound.state == kc::ValueFound::kAbsent));
  if (s.certPinFound.state == kc::ValueFound::kUnreadable ||
      s.certPinFound.state == kc::ValueFound::kTooLong) {
    FUZZ_CHECK(s.certPin[0] == '\0');
  }
  if (pin != nullptr && pin->type == kc::kRegSz && pin->data.size() <= 1024 &&
      IsFingerprint(pin->data)) {
    FUZZ_CHECK(s.certPinFound.state == kc::ValueFound::kRead);
    std::vector<uint8_t> kept(s.certPin, s.certPin + kc::kCertPinSize);
    FUZZ_CHECK(IsFingerprint(kept));
  }
  kc::Settings saved = s;
  kc::SaveSettings(saved, registry);
  kc::Settings again;
  kc::LoadSettings(again, registry);
  FUZZ_CHECK(again.ssl == s.ssl);
  FUZZ_CHECK(std::memcmp(again.certPin, s.certPin, kc::kCertPinSize) == 0);
  FUZZ_CHECK(again.certPinFound.state == s.certPinFound.state);
}

// Every section the parser keeps is written out and read back as the same sections: the other
// accounts' subkeys and keys the program does not know survive a save of the file.
void CheckSections(const std::string& text) {
  std::vector<kc::RegeditSection> sections;
  if (!kc::ParseRegeditSections(text, &sections)) {
    FUZZ_CHECK(sections.empty());
    return;
  }
  std::vector<kc::RegeditSection> again;
  FUZZ_CHECK(kc::ParseRegeditSections(kc::FormatRegeditSections(sections), &again));
  FUZZ_CHECK(again.size() == sections.size());
  for (size_t i = 0; i < sections.size() && i < again.size(); ++i) {
    FUZZ_CHECK(SameName(again[i].key, sections[i].key));
    FUZZ_CHECK(SameValues(again[i].values, sections[i].values));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kc::RegeditKey key;
  key.found = true;
  key.values.push_back({"stale", 1, {0}});
  if (kc::ParseRegeditFile(text, kc::kRegeditSettingsKey, &key)) {
    for (size_t i = 0; i < key.values.size(); ++i) {
      for (size_t j = i + 1; j < key.values.size(); ++j) {
        FUZZ_CHECK(!SameName(key.values[i].name, key.values[j].name));
      }
    }
    FUZZ_CHECK(key.found || key.values.empty());
    CheckRoundTrip(key.values);
    CheckStore(key.values);
  } else {
    FUZZ_CHECK(!key.found && key.values.empty());
  }

  CheckSections(text);

  FuzzedDataProvider in(data, size);
  CheckRoundTrip(TakeValues(in));
  return 0;
}
