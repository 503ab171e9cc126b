// A single-line edit control of the console's settings form.
#pragma once
#include <cstddef>
#include <string>

namespace kc::posix {

// One single-line edit control over code page 932 text, with a caret and, like an edit
// control entered with Tab, the whole text selected until the first key.
class EditField {
 public:
  static constexpr size_t kCapacity = 1024;  // bytes; keys beyond it are refused

  // limit: the bytes the field takes (at most kCapacity); keys beyond it are refused.
  explicit EditField(bool digitsOnly = false, bool masked = false, size_t limit = kCapacity)
      : digitsOnly_(digitsOnly), masked_(masked), limit_(limit < kCapacity ? limit : kCapacity) {}
  void Configure(bool digitsOnly, bool masked, size_t limit) {
    digitsOnly_ = digitsOnly;
    masked_ = masked;
    limit_ = limit < kCapacity ? limit : kCapacity;
  }
  size_t limit() const { return limit_; }
  bool digitsOnly() const { return digitsOnly_; }
  void SetText(const char* text);
  const std::string& text() const { return text_; }
  size_t caret() const { return caret_; }
  bool allSelected() const { return allSelected_; }
  bool masked() const { return masked_; }

  // One character in code page 932 (1 or 2 bytes); false when it is refused.
  bool Insert(const char* ch, size_t n);
  void Backspace();
  void Delete();
  void Left();
  void Right();
  void Home();
  void End();
  void Clear();
  void SelectAll();

  // What a field `width` columns wide shows (masked characters as '*', scrolled so that the
  // caret is visible) and the column of the caret in it.
  void View(size_t width, std::string* shown, size_t* caretColumn) const;

 private:
  bool TakeSelection();  // removes a selected text; true when there was one

  std::string text_;
  size_t caret_ = 0;
  bool allSelected_ = false;
  bool digitsOnly_;
  bool masked_;
  size_t limit_;
};

}  // namespace kc::posix
