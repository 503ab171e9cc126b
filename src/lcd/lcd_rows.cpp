#include "lcd/lcd_rows.h"

namespace kc {

namespace {

// Walks the rows of text, calling onCell(row, column, byte) for every shown cell; returns the
// number of row breaks.
template <typename OnCell>
int32_t WalkRows(const char* text, OnCell onCell) {
  int32_t row = 0;
  int column = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p == 0x0A) {
      ++row;
      column = 0;
      continue;
    }
    onCell(row, column, static_cast<char>(*p));
    if (++column == kLcdColumns) {
      ++row;
      column = 0;
    }
  }
  return row;
}

}  // namespace

int32_t CountRowBreaks(const char* text) {
  return WalkRows(text, [](int32_t, int, char) {});
}

size_t RowSlotCount(int32_t rowCount) {
  size_t rows = rowCount > 0 ? static_cast<size_t>(rowCount) : 0;
  return rows % 2 == 0 ? rows + 2 : rows + 3;
}

void FillRowSlots(const char* text, char* block, size_t slotCount) {
  WalkRows(text, [block, slotCount](int32_t row, int column, char cell) {
    if (static_cast<size_t>(row) < slotCount) {
      block[static_cast<size_t>(row) * kRowSlotSize + static_cast<size_t>(column)] = cell;
    }
  });
}

int32_t NextPageIndex(int32_t pageIndex, int32_t rowBreaks) {
  int32_t next = pageIndex + 1;
  return next >= rowBreaks - 1 ? 0 : next;
}

}  // namespace kc
