// The settings file of the Linux store: any text through the parser, and what the parser accepts
// written out again and read back unchanged. The same input, read as a list of values, is
// written out and must read back as that list.
//
// Input: the file's text. For the second half it is read with FuzzedDataProvider as values: a
// name (without line feed or NUL), a type choice, a type and the data, until the input ends.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "posix/regedit_file.h"

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
  } else {
    FUZZ_CHECK(!key.found && key.values.empty());
  }

  FuzzedDataProvider in(data, size);
  CheckRoundTrip(TakeValues(in));
  return 0;
}
