#include "pop3/sender.h"

#include <cstring>

namespace kc {

namespace {

// True when the line [begin, end) holds the two bytes ": ".
bool HoldsHeaderColon(const char* begin, const char* end) {
  for (const char* p = begin; p + 1 < end; ++p) {
    if (p[0] == ':' && p[1] == ' ') return true;
  }
  return false;
}

void CopyCut(char* out, size_t outSize, const char* from, size_t length) {
  if (outSize == 0) return;
  std::memset(out, 0, outSize);
  if (length > outSize - 1) length = outSize - 1;
  std::memcpy(out, from, length);
}

}  // namespace

size_t ExtractFromText(const char* response, char* out, size_t outSize) {
  if (outSize == 0) return 0;
  static const char kHeader[] = "\nFrom: ";
  const char* header = std::strstr(response, kHeader);
  if (header == nullptr) {
    std::memset(out, 0, outSize);
    return 0;
  }
  const char* value = header + (sizeof kHeader - 1);
  const char* textEnd = value + std::strlen(value);
  // The first line always belongs to the value.
  const char* lf = std::strchr(value, '\n');
  const char* end = lf != nullptr ? lf + 1 : textEnd;
  // Continuation lines follow until a line that holds ": " or the end of the response.
  while (end < textEnd) {
    const char* next = std::strchr(end, '\n');
    const char* lineEnd = next != nullptr ? next + 1 : textEnd;
    if (HoldsHeaderColon(end, lineEnd)) break;
    end = lineEnd;
  }
  size_t length = static_cast<size_t>(end - value);
  CopyCut(out, outSize, value, length);
  return length < outSize ? length : outSize - 1;
}

void SenderFromText(const char* fromText, char* slot, size_t slotSize) {
  const char* open = std::strchr(fromText, '<');
  const char* close = open != nullptr ? std::strchr(open + 1, '>') : nullptr;
  if (close != nullptr) {
    CopyCut(slot, slotSize, open + 1, static_cast<size_t>(close - open - 1));
    return;
  }
  const char* end = std::strstr(fromText, "\r\n");
  if (end == nullptr) end = std::strchr(fromText, '\n');
  if (end == nullptr) end = fromText + std::strlen(fromText);
  CopyCut(slot, slotSize, fromText, static_cast<size_t>(end - fromText));
}

}  // namespace kc
