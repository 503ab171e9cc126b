// How a text is cut into the rows of the 16-column display and paged two rows at a time.
//
// Every byte of a text is one cell, except 0x0A, which ends the current row and is not shown.
// A row also ends by itself when it holds 16 cells. Every end of a row is one row break; a text
// with B breaks has the rows 0 to B, row B holding what follows the last break.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kc {

constexpr int kLcdColumns = 16;
constexpr size_t kRowSlotSize = 17;  // 16 cells and a NUL

// The number of row breaks in a NUL-terminated text.
int32_t CountRowBreaks(const char* text);

// The number of 17-byte slots of the rows block for a text with rowCount rows: two more than
// the row count when it is even, three more when it is odd.
size_t RowSlotCount(int32_t rowCount);

// Copies the rows of text into the slots of block (slotCount slots, already zero-filled): row k
// into slot k, without its 0x0A. Rows beyond the last slot are dropped.
void FillRowSlots(const char* text, char* block, size_t slotCount);

// Texts with more than two row breaks are paged.
inline bool IsPaged(int32_t rowBreaks) { return rowBreaks > 2; }

// The page after pageIndex: one row further down, back to 0 after the last of the B - 1 pages.
int32_t NextPageIndex(int32_t pageIndex, int32_t rowBreaks);

}  // namespace kc
