// Reports the display link sends per screen update, counted on the fake HID device with the
// HD44780 emulator behind it, for the updates the program makes: a screen that did not change,
// a full rewrite, the notice of a running check, the texts a check ends with, and the pages of
// a report. Every cell written costs two commands (address, character) and every command three
// output reports (data, strobe up, strobe down); a cell that already holds its character is
// skipped, and the cells after a short row are blanked every time.
//
//   lcd_bench
//
// Prints one row per case: reports, bytes on the wire (reports of 65 bytes with the ID byte),
// and the screen after the update. Run it through scripts/bench-lcd.sh.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/report.h"
#include "lcd/lcd_rows.h"
#include "support/fake_hid.h"

namespace {

using kc::test::DisplayRig;

constexpr uint16_t kReportLength = 65;

struct Row {
  std::string name;
  size_t reports;
  std::string screen;
};

// The screen as two 16-cell rows in brackets, in UTF-8: ASCII as it is, the half-width
// katakana of the controller's character set (0xA1 to 0xDF) as U+FF61 to U+FF9F, anything
// else as '.'.
std::string ScreenText(const DisplayRig& rig) {
  std::string out;
  for (int row = 0; row < 2; ++row) {
    out += '[';
    const uint8_t* cells = rig.display.shadowLine(row);
    for (int c = 0; c < kc::kLcdColumns; ++c) {
      uint8_t b = cells[c];
      if (b >= 0x20 && b < 0x7F) {
        out += static_cast<char>(b);
      } else if (b >= 0xA1 && b <= 0xDF) {
        unsigned code = 0xFF61u + (b - 0xA1u);
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
      } else {
        out += '.';
      }
    }
    out += ']';
  }
  return out;
}

// Runs one update on a started display and returns the reports it sent.
template <typename Update>
size_t Count(DisplayRig& rig, Update update) {
  rig.hid.ClearReports();
  update();
  return rig.hid.reports.size();
}

kc::LocalTime CheckTime() {
  kc::LocalTime t{};
  t.year = 2026;
  t.month = 11;
  t.mday = 7;
  t.hour = 6;
  t.min = 26;
  t.sec = 9;
  t.wday = 1;
  return t;
}

}  // namespace

int main() {
  DisplayRig rig;
  if (!rig.Start(kReportLength)) {
    std::fprintf(stderr, "lcd_bench: the fake display did not start\n");
    return 1;
  }
  std::vector<Row> rows;
  auto add = [&](const std::string& name, size_t reports) {
    rows.push_back(Row{name, reports, ScreenText(rig)});
  };

  const char kRowA[] = "AAAAAAAAAAAAAAAA";
  const char kRowB[] = "BBBBBBBBBBBBBBBB";
  rig.display.LcdShowLines(kRowA, kRowA);
  add("unchanged screen (same two rows again)",
      Count(rig, [&] { rig.display.LcdShowLines(kRowA, kRowA); }));
  add("full rewrite (all 32 cells differ)",
      Count(rig, [&] { rig.display.LcdShowLines(kRowB, kRowB); }));
  add("blank screen again (two empty rows)", Count(rig, [&] { rig.display.LcdShowLines("", ""); }));
  add("check notice on the blank screen",
      Count(rig, [&] { rig.display.LcdShowText(kc::kLcdChecking); }));
  add("check notice again (unchanged)",
      Count(rig, [&] { rig.display.LcdShowText(kc::kLcdChecking); }));
  add("no-mail text after the notice",
      Count(rig, [&] { rig.display.LcdShowText(kc::kLcdNoMail); }));
  add("check notice after the no-mail text",
      Count(rig, [&] { rig.display.LcdShowText(kc::kLcdChecking); }));
  add("server-error text after the notice",
      Count(rig, [&] { rig.display.LcdShowText(kc::kLcdServerError); }));
  rig.display.LcdShowText(kc::kLcdChecking);

  // A report of three senders: longer than two rows, so it is paged one row at a time and its
  // first page comes with the next page tick.
  auto senders = std::make_unique<kc::SenderTable>();
  const char* names[] = {"Alice <alice@example.com>", "Bob <bob@example.org>",
                         "Carol Jones <carol.jones@example.net>"};
  for (int i = 0; i < 3; ++i) {
    std::snprintf(senders->slot[i], sizeof senders->slot[i], "%s", names[i]);
  }
  char report[kc::kReportBufferSize];
  kc::ComposeReport(report, 3, CheckTime(), true, *senders);
  add("report of 3 senders stored (shown at the tick)",
      Count(rig, [&] { rig.display.LcdShowText(report); }));
  add("report: first page tick after the notice", Count(rig, [&] { rig.display.LcdNextPage(); }));
  int32_t pages = rig.display.pager().rowBreaks - 1;  // pages 0 to breaks - 2
  size_t cycle = 0;
  for (int32_t p = 1; p <= pages; ++p) cycle += Count(rig, [&] { rig.display.LcdNextPage(); });
  char name[96];
  std::snprintf(name, sizeof name, "report: a full cycle of %d page ticks",
                static_cast<int>(pages));
  add(name, cycle);
  std::snprintf(name, sizeof name, "report: mean per page tick (of %d)", static_cast<int>(pages));
  rows.push_back(
      Row{name, (cycle + static_cast<size_t>(pages) / 2) / static_cast<size_t>(pages), ""});
  add("no-mail text after a report page",
      Count(rig, [&] { rig.display.LcdShowText(kc::kLcdNoMail); }));
  add("page tick on an unpaged text (nothing sent)",
      Count(rig, [&] { rig.display.LcdNextPage(); }));

  std::printf("%-48s %8s %10s  %s\n", "update", "reports", "bytes", "screen after it");
  for (const Row& r : rows) {
    std::printf("%-48s %8zu %10zu  %s\n", r.name.c_str(), r.reports, r.reports * kReportLength,
                r.screen.c_str());
  }
  return 0;
}
