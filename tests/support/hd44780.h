// An HD44780 character LCD of 2 x 16 cells behind the display device's firmware, as far as the
// program can see it: the firmware turns each output report into bus signals (command 1 puts
// the value on the 8-bit data bus, command 2 sets the control lines: bit 0 RS, bit 2 E), and
// the controller latches the bus on the falling edge of E, as an instruction (RS 0) or as data
// for the display RAM (RS 1).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kc::test {

class Hd44780 {
 public:
  static constexpr int kRows = 2;
  static constexpr int kColumns = 16;

  Hd44780() { Reset(); }

  // Power-on state: blank display RAM, display off, address 0, increment.
  void Reset();

  // One output report of the device, report ID first.
  void TakeReport(const uint8_t* report, size_t length);
  void TakeReport(const std::vector<uint8_t>& report) { TakeReport(report.data(), report.size()); }

  // The latched bytes in order (rs, value): what the controller received.
  struct Latch {
    bool rs;
    uint8_t value;
  };
  const std::vector<Latch>& latches() const { return latches_; }
  void ClearLatches() { latches_.clear(); }

  // What row 0 or 1 shows, one byte per cell (16 spaces while the display is off).
  std::string Row(int row) const;
  // The same in UTF-8: ASCII, JIS X 0201 katakana as half-width katakana, and the few other
  // characters of the controller's standard font.
  std::string RowUtf8(int row) const;
  // Both rows in UTF-8, each between brackets: "[row 1][row 2]".
  std::string ScreenUtf8() const;
  // Both rows in UTF-8 with their trailing blanks dropped, joined by a line end.
  std::string Text() const;

  bool displayOn() const { return displayOn_; }
  bool twoLines() const { return twoLines_; }
  bool eightBit() const { return eightBit_; }
  bool cursorOn() const { return cursorOn_; }
  bool increment() const { return increment_; }
  uint8_t address() const { return address_; }
  uint8_t dataBus() const { return bus_; }

 private:
  void Instruction(uint8_t value);
  void Data(uint8_t value);
  void StepAddress();

  uint8_t ddram_[128];
  uint8_t cgram_[64];
  bool toCgram_ = false;
  uint8_t address_ = 0;
  uint8_t bus_ = 0;
  uint8_t control_ = 0;
  bool displayOn_ = false;
  bool cursorOn_ = false;
  bool blinkOn_ = false;
  bool increment_ = true;
  bool shiftDisplay_ = false;
  bool twoLines_ = false;
  bool eightBit_ = true;
  uint8_t shift_ = 0;  // display shift, in cells
  std::vector<Latch> latches_;
};

// One display byte (a cell) in UTF-8, as the controller's standard (Japanese) font shows it.
std::string LcdByteToUtf8(uint8_t byte);
// A string of display bytes in UTF-8.
std::string LcdBytesToUtf8(const std::string& bytes);

}  // namespace kc::test
