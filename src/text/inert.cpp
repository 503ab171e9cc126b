#include "text/inert.h"

#include <cstring>

namespace kc {

void MakeInert(char* text, size_t length, const char* keep) {
  for (size_t i = 0; i < length; ++i) {
    if (!IsControlByte(text[i])) continue;
    if (text[i] != '\0' && std::strchr(keep, text[i]) != nullptr) continue;
    text[i] = kControlMark;
  }
}

}  // namespace kc
