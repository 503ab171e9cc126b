// Boxes the user must acknowledge.
#pragma once

#include "port/window.h"

namespace kc {

// A modal box with an OK button; owner 0 means no owner window.
class MessageBoxPort {
 public:
  virtual ~MessageBoxPort() = default;
  virtual void Show(WindowRef owner, const char* text, const char* caption) = 0;
  // A modal box with the text, then the question, and Yes and No buttons; true for Yes. A
  // platform without such a box (a console) shows the text alone, as Show does, and takes the
  // answer as No.
  virtual bool Ask(WindowRef owner, const char* text, const char* question, const char* caption) {
    (void)question;
    Show(owner, text, caption);
    return false;
  }
};

}  // namespace kc
