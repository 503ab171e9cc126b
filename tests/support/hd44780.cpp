#include "support/hd44780.h"

#include <cstring>

namespace kc::test {

namespace {

constexpr uint8_t kLineLength = 40;  // display RAM cells per line in two-line mode
constexpr uint8_t kLine2 = 0x40;

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

std::string LcdByteToUtf8(uint8_t byte) {
  std::string out;
  if (byte == 0x5C) {
    AppendUtf8(out, 0x00A5);  // the font has the yen sign in place of the backslash
  } else if (byte == 0x7E) {
    AppendUtf8(out, 0x2192);
  } else if (byte == 0x7F) {
    AppendUtf8(out, 0x2190);
  } else if (byte >= 0x20 && byte < 0x7E) {
    out.push_back(static_cast<char>(byte));
  } else if (byte == 0xA0) {
    out.push_back(' ');
  } else if (byte >= 0xA1 && byte <= 0xDF) {
    AppendUtf8(out, 0xFF61u + (byte - 0xA1u));  // JIS X 0201 katakana, half-width
  } else if (byte < 0x10) {
    AppendUtf8(out, 0x25A1);  // a character of the user's own (character generator RAM)
  } else {
    AppendUtf8(out, 0xFFFD);
  }
  return out;
}

std::string LcdBytesToUtf8(const std::string& bytes) {
  std::string out;
  for (char c : bytes) out += LcdByteToUtf8(static_cast<uint8_t>(c));
  return out;
}

void Hd44780::Reset() {
  std::memset(ddram_, 0x20, sizeof ddram_);
  std::memset(cgram_, 0, sizeof cgram_);
  toCgram_ = false;
  address_ = 0;
  bus_ = 0;
  control_ = 0;
  displayOn_ = false;
  cursorOn_ = false;
  blinkOn_ = false;
  increment_ = true;
  shiftDisplay_ = false;
  twoLines_ = false;
  eightBit_ = true;
  shift_ = 0;
  latches_.clear();
}

void Hd44780::TakeReport(const uint8_t* report, size_t length) {
  if (length < 3) return;
  uint8_t command = report[1];
  uint8_t value = report[2];
  if (command == 1) {
    bus_ = value;
  } else if (command == 2) {
    bool fallingEdge = (control_ & 4) != 0 && (value & 4) == 0;
    bool rs = (control_ & 1) != 0;  // as held while E was high
    control_ = value;
    if (fallingEdge) {
      latches_.push_back({rs, bus_});
      if (rs) {
        Data(bus_);
      } else {
        Instruction(bus_);
      }
    }
  }
}

void Hd44780::StepAddress() {
  if (toCgram_) {
    address_ = static_cast<uint8_t>((address_ + (increment_ ? 1 : 63)) & 0x3F);
    return;
  }
  if (!twoLines_) {
    address_ =
        increment_ ? (address_ >= 0x4F ? 0 : address_ + 1) : (address_ == 0 ? 0x4F : address_ - 1);
    return;
  }
  if (increment_) {
    if (address_ == kLineLength - 1) {
      address_ = kLine2;
    } else if (address_ == kLine2 + kLineLength - 1) {
      address_ = 0;
    } else {
      ++address_;
    }
  } else {
    if (address_ == 0) {
      address_ = kLine2 + kLineLength - 1;
    } else if (address_ == kLine2) {
      address_ = kLineLength - 1;
    } else {
      --address_;
    }
  }
}

void Hd44780::Instruction(uint8_t value) {
  if (value & 0x80) {  // set display RAM address
    toCgram_ = false;
    address_ = value & 0x7F;
  } else if (value & 0x40) {  // set character generator RAM address
    toCgram_ = true;
    address_ = value & 0x3F;
  } else if (value & 0x20) {  // function set
    eightBit_ = (value & 0x10) != 0;
    twoLines_ = (value & 0x08) != 0;
  } else if (value & 0x10) {  // cursor or display shift
    bool display = (value & 0x08) != 0;
    bool right = (value & 0x04) != 0;
    if (display) {
      shift_ = static_cast<uint8_t>((shift_ + (right ? kLineLength - 1 : 1)) % kLineLength);
    } else {
      bool saved = increment_;
      increment_ = right;
      StepAddress();
      increment_ = saved;
    }
  } else if (value & 0x08) {  // display on/off control
    displayOn_ = (value & 0x04) != 0;
    cursorOn_ = (value & 0x02) != 0;
    blinkOn_ = (value & 0x01) != 0;
  } else if (value & 0x04) {  // entry mode set
    increment_ = (value & 0x02) != 0;
    shiftDisplay_ = (value & 0x01) != 0;
  } else if (value & 0x02) {  // return home
    toCgram_ = false;
    address_ = 0;
    shift_ = 0;
  } else if (value & 0x01) {  // clear display
    std::memset(ddram_, 0x20, sizeof ddram_);
    toCgram_ = false;
    address_ = 0;
    shift_ = 0;
    increment_ = true;
  }
}

void Hd44780::Data(uint8_t value) {
  if (toCgram_) {
    cgram_[address_ & 0x3F] = value;
  } else {
    ddram_[address_ & 0x7F] = value;
    if (shiftDisplay_) {
      shift_ = static_cast<uint8_t>((shift_ + (increment_ ? 1 : kLineLength - 1)) % kLineLength);
    }
  }
  StepAddress();
}

std::string Hd44780::Row(int row) const {
  std::string out(kColumns, ' ');
  if (!displayOn_ || row < 0 || row >= kRows || (row == 1 && !twoLines_)) return out;
  for (int c = 0; c < kColumns; ++c) {
    uint8_t a = twoLines_ ? static_cast<uint8_t>(row * kLine2 + (shift_ + c) % kLineLength)
                          : static_cast<uint8_t>((shift_ + c) % 80);
    out[static_cast<size_t>(c)] = static_cast<char>(ddram_[a]);
  }
  return out;
}

std::string Hd44780::RowUtf8(int row) const { return LcdBytesToUtf8(Row(row)); }

std::string Hd44780::ScreenUtf8() const { return "[" + RowUtf8(0) + "][" + RowUtf8(1) + "]"; }

std::string Hd44780::Text() const {
  std::string out;
  for (int r = 0; r < kRows; ++r) {
    std::string row = Row(r);
    row.erase(row.find_last_not_of(' ') + 1);
    if (r > 0) out += "\n";
    out += LcdBytesToUtf8(row);
  }
  return out;
}

}  // namespace kc::test
