// Boxes the user must acknowledge.
#pragma once

#include "port/window.h"

namespace kc {

// A modal box with an OK button; owner 0 means no owner window.
class MessageBoxPort {
 public:
  virtual ~MessageBoxPort() = default;
  virtual void Show(WindowRef owner, const char* text, const char* caption) = 0;
};

}  // namespace kc
