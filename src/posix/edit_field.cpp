#include "posix/edit_field.h"

#include <cstring>
#include <vector>

#include "text/cp932.h"

namespace kc::posix {

void EditField::SetText(const char* text) {
  size_t length = std::strlen(text);
  text_.assign(text, Cp932Fit(text, length, limit_));
  caret_ = text_.size();
  allSelected_ = false;
}

bool EditField::TakeSelection() {
  if (!allSelected_) return false;
  text_.clear();
  caret_ = 0;
  allSelected_ = false;
  return true;
}

bool EditField::Insert(const char* ch, size_t n) {
  if (n == 0 || n > 2) return false;
  if (digitsOnly_ && (n != 1 || ch[0] < '0' || ch[0] > '9')) return false;
  size_t kept = allSelected_ ? 0 : text_.size();
  if (kept + n > limit_) return false;
  TakeSelection();
  text_.insert(caret_, ch, n);
  caret_ += n;
  return true;
}

namespace {

size_t PreviousCharStart(const std::string& text, size_t caret) {
  size_t previous = 0;
  size_t i = 0;
  while (i < caret) {
    previous = i;
    i += Cp932CharLength(text.data(), text.size(), i);
  }
  return previous;
}

}  // namespace

void EditField::Backspace() {
  if (TakeSelection() || caret_ == 0) return;
  size_t start = PreviousCharStart(text_, caret_);
  text_.erase(start, caret_ - start);
  caret_ = start;
}

void EditField::Delete() {
  if (TakeSelection() || caret_ >= text_.size()) return;
  text_.erase(caret_, Cp932CharLength(text_.data(), text_.size(), caret_));
}

void EditField::Left() {
  if (allSelected_) {
    allSelected_ = false;
    caret_ = 0;
    return;
  }
  if (caret_ > 0) caret_ = PreviousCharStart(text_, caret_);
}

void EditField::Right() {
  if (allSelected_) {
    allSelected_ = false;
    caret_ = text_.size();
    return;
  }
  caret_ += Cp932CharLength(text_.data(), text_.size(), caret_);
}

void EditField::Home() {
  allSelected_ = false;
  caret_ = 0;
}

void EditField::End() {
  allSelected_ = false;
  caret_ = text_.size();
}

void EditField::Clear() {
  text_.clear();
  caret_ = 0;
  allSelected_ = false;
}

void EditField::SelectAll() {
  allSelected_ = !text_.empty();
  caret_ = text_.size();
}

void EditField::View(size_t width, std::string* shown, size_t* caretColumn) const {
  // Each character: where it starts in text_, and its text on the screen.
  struct Cell {
    size_t start;
    std::string face;
  };
  std::vector<Cell> cells;
  size_t caretCol = 0;
  size_t col = 0;
  for (size_t i = 0; i < text_.size();) {
    size_t len = Cp932CharLength(text_.data(), text_.size(), i);
    Cell cell{i, masked_ ? std::string("*") : text_.substr(i, len)};
    if (i < caret_) caretCol = col + cell.face.size();
    col += cell.face.size();
    cells.push_back(std::move(cell));
    i += len;
  }
  if (caret_ == 0) caretCol = 0;
  if (width == 0) {
    shown->clear();
    *caretColumn = 0;
    return;
  }
  // The first column shown: the least character start that keeps the caret in the field.
  size_t first = 0;
  size_t firstCell = 0;
  col = 0;
  for (size_t k = 0; k < cells.size() && caretCol >= first + width; ++k) {
    col += cells[k].face.size();
    first = col;
    firstCell = k + 1;
  }
  shown->clear();
  for (size_t k = firstCell; k < cells.size(); ++k) {
    if (shown->size() + cells[k].face.size() > width) break;
    *shown += cells[k].face;
  }
  *caretColumn = caretCol - first;
}

}  // namespace kc::posix
