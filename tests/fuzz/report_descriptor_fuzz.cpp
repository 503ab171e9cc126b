// The HID report-descriptor parser on any bytes, read from a buffer of exactly their length.
// A descriptor that parses gives report lengths of at least the ID byte for every kind present;
// one that does not leaves all lengths zero. Parsing is also checked against the same bytes
// with long items inserted, which carry nothing and must change nothing.
//
// Input: the descriptor.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "posix/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> exact(data, data + size);
  kc::ReportLengths lengths{1, 2, 3};
  bool ok = kc::ParseReportDescriptor(exact.data(), exact.size(), &lengths);
  if (!ok) {
    FUZZ_CHECK(lengths.input == 0 && lengths.output == 0 && lengths.feature == 0);
  }

  // The same descriptor with a long item (prefix 0xFE, data size, tag, data) in front.
  std::vector<uint8_t> withLong = {0xFE, 3, 0x10, 0x75, 0x08, 0x95};
  withLong.insert(withLong.end(), exact.begin(), exact.end());
  kc::ReportLengths again{9, 9, 9};
  bool okAgain = kc::ParseReportDescriptor(withLong.data(), withLong.size(), &again);
  FUZZ_CHECK(ok == okAgain);
  FUZZ_CHECK(lengths.input == again.input && lengths.output == again.output &&
             lengths.feature == again.feature);

  // Every prefix of the descriptor is read without going past its end.
  for (size_t cut = 0; cut < size && cut < 64; ++cut) {
    std::vector<uint8_t> prefix(data, data + cut);
    kc::ReportLengths part{};
    kc::ParseReportDescriptor(prefix.data(), prefix.size(), &part);
  }
  return 0;
}
