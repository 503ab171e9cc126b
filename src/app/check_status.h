// The flags of the check cycle.
#pragma once
#include <cstdint>

namespace kc {

struct CheckStatus {
  uint8_t ready = 0;              // server, user and password are all set
  uint8_t busy = 0;               // a check is under way
  uint8_t serverError = 0;        // the current check ended badly
  uint8_t propertiesEnabled = 1;  // the settings command may open the dialog
  int32_t mailCount = 0;          // first number of the last STAT reply
  int64_t checkTime = 0;          // when the current or last check started
};

}  // namespace kc
