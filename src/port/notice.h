// What a front end that has a console tells the user in words, beyond the tray, the display and
// the described boxes. The Windows program has no such place and passes nothing on.
#pragma once

namespace kc {

class NoticePort {
 public:
  virtual ~NoticePort() = default;
  // A check has ended: its outcome in English ("3 messages", "host not found: ...").
  virtual void CheckEnded(const char* outcome, bool failed) = 0;
  // The mail program was asked for, but none is set.
  virtual void NoMailProgram() = 0;
  // Anything else worth a line of its own (English): the new-only option's list of seen
  // messages taken, marked, damaged or not saved.
  virtual void Tell(const char*) {}
};

// For a platform that tells nothing beyond its boxes.
class SilentNotice final : public NoticePort {
 public:
  void CheckEnded(const char*, bool) override {}
  void NoMailProgram() override {}
};

}  // namespace kc
