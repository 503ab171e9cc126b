// Row breaks and paging: texts cut into the display's rows and slots, and shown through the real
// display code over the fake HID device into the HD44780 emulator, page after page. The rows are
// checked against a plain model of the rule: 0x0A ends a row, and so does the 16th cell.
//
// Input: the texts, one after another, each ended by a NUL (at most 32 are shown). After every
// text but the last the page timer ticks (first byte of the text % 8) times; after the last it
// ticks through a whole round of pages and back to the first (at most 100 ticks).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "lcd/lcd_rows.h"
#include "support/fake_hid.h"

namespace {

std::vector<std::string> ModelRows(const std::string& text) {
  std::vector<std::string> rows(1);
  for (char c : text) {
    if (c == '\n') {
      rows.emplace_back();
      continue;
    }
    rows.back().push_back(c);
    if (rows.back().size() == 16) rows.emplace_back();
  }
  return rows;
}

std::string Pad(const std::string& row) { return row + std::string(16 - row.size(), ' '); }

class Rig {
 public:
  Rig() { FUZZ_CHECK(rig_.Start()); }

  void Show(const std::string& text, size_t ticks, bool wholeRound) {
    const std::vector<std::string> rows = ModelRows(text);
    const int32_t breaks = static_cast<int32_t>(rows.size()) - 1;
    FUZZ_CHECK(kc::CountRowBreaks(text.c_str()) == breaks);

    rig_.display.LcdShowText(text.c_str());
    const kc::LcdPager& pager = rig_.display.pager();
    FUZZ_CHECK(pager.rowBreaks == breaks);
    FUZZ_CHECK(pager.pageIndex == 0);
    FUZZ_CHECK(pager.slotCount == kc::RowSlotCount(breaks + 1));
    FUZZ_CHECK(pager.slotCount >= rows.size() + 2 && pager.slotCount % 2 == 0);
    FUZZ_CHECK(rig_.heap.live.size() == 3);  // the two report buffers and the rows block
    for (size_t k = 0; k < pager.slotCount; ++k) {
      const char* slot = rig_.display.RowSlot(k);
      FUZZ_CHECK(std::memchr(slot, '\0', kc::kRowSlotSize) != nullptr);
      FUZZ_CHECK(slot == (k < rows.size() ? rows[k] : std::string()));
    }
    if (!kc::IsPaged(breaks)) {
      Expect(rows[0], breaks >= 1 ? rows[1] : std::string());
      for (size_t t = 0; t < 2; ++t) {
        rig_.display.LcdNextPage();
        FUZZ_CHECK(rig_.hid.reports.empty());  // ticks change nothing
      }
      return;
    }
    Expect(screen_[0], screen_[1]);  // the first page comes with the next tick
    const size_t pages = static_cast<size_t>(breaks - 1);
    if (wholeRound) ticks = pages + 1 < 100 ? pages + 1 : 100;
    for (size_t t = 0; t < ticks; ++t) {
      size_t page = t % pages;
      FUZZ_CHECK(pager.pageIndex == static_cast<int32_t>(page));
      rig_.display.LcdNextPage();
      Expect(rows[page], rows[page + 1]);
      int32_t next = kc::NextPageIndex(static_cast<int32_t>(page), breaks);
      FUZZ_CHECK(next >= 0 && next < breaks - 1);
    }
  }

 private:
  void Expect(const std::string& row1, const std::string& row2) {
    FUZZ_CHECK(rig_.hid.lcd.Row(0) == Pad(row1));
    FUZZ_CHECK(rig_.hid.lcd.Row(1) == Pad(row2));
    screen_[0] = row1;
    screen_[1] = row2;
    rig_.hid.ClearReports();
  }

  kc::test::DisplayRig rig_;
  std::string screen_[2];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig rig;
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  for (int texts = 0; p < end && texts < 32; ++texts) {
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<size_t>(end - p)));
    const char* textEnd = nul != nullptr ? nul : end;
    const std::string text(p, textEnd);
    bool last = nul == nullptr || nul + 1 == end || texts == 31;
    size_t ticks = text.empty() ? 0 : static_cast<unsigned char>(text[0]) % 8;
    rig.Show(text, ticks, last);
    p = textEnd + 1;
  }
  return 0;
}
