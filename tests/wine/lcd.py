"""Reads the output reports the program wrote to the simulated display and replays them on a
model of the HD44780 controller, so a test sees what the LCD showed and in which order.

Report layout (from the device's side): byte 0 report ID 0, byte 1 command (1: data bus,
2: control lines), byte 2 value, bytes 3..8 F0..F5, the rest 0. Control bits: 0 RS, 2 E; the
controller latches the bus on the falling edge of E.
"""

REPORT_LENGTH = 65
TAIL = bytes([0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5])


class Hd44780:
    def __init__(self):
        self.ddram = bytearray(b" " * 128)
        self.address = 0
        self.increment = True
        self.display_on = False
        self.two_lines = False
        self.bus = 0
        self.control = 0
        self.latches = []  # (rs, value)

    def take(self, report):
        cmd, value = report[1], report[2]
        if cmd == 1:
            self.bus = value
        elif cmd == 2:
            falling = (self.control & 4) and not (value & 4)
            self.control = value
            if falling:
                rs = value & 1
                self.latches.append((rs, self.bus))
                if rs:
                    self._data(self.bus)
                else:
                    self._instruction(self.bus)

    def _instruction(self, v):
        if v & 0x80:
            self.address = v & 0x7F
        elif v & 0x40:
            pass  # CGRAM address: not used by the program
        elif v & 0x20:
            self.two_lines = bool(v & 0x08)
        elif v & 0x10:
            pass  # cursor or display shift
        elif v & 0x08:
            self.display_on = bool(v & 0x04)
        elif v & 0x04:
            self.increment = bool(v & 0x02)
        elif v & 0x02:
            self.address = 0
        elif v & 0x01:
            self.ddram[:] = b" " * 128
            self.address = 0
            self.increment = True

    def _data(self, v):
        self.ddram[self.address] = v
        a = self.address + (1 if self.increment else -1)
        if self.two_lines:
            if a == 0x28:
                a = 0x40
            elif a == 0x68:
                a = 0x00
        self.address = a & 0x7F

    def rows(self):
        """The two rows as 16 display bytes each (blank while the display is off)."""
        if not self.display_on:
            return (b" " * 16, b" " * 16)
        return (bytes(self.ddram[0:16]), bytes(self.ddram[0x40:0x50]))


def utf8_row(row):
    """A row as the controller's Japanese font shows it (the yen sign in place of the
    backslash, arrows at 0x7E and 0x7F), to compare with the project's emulator."""
    out = []
    for b in row:
        if b == 0x5C:
            out.append("\u00a5")
        elif b == 0x7E:
            out.append("\u2192")
        elif b == 0x7F:
            out.append("\u2190")
        elif 0x20 <= b < 0x7E:
            out.append(chr(b))
        elif b == 0xA0:
            out.append(" ")
        elif 0xA1 <= b <= 0xDF:
            out.append(chr(0xFF61 + b - 0xA1))
        elif b < 0x10:
            out.append("\u25a1")
        else:
            out.append("\ufffd")
    return "".join(out)


def row_text(row):
    """Display bytes as text: ASCII and half-width katakana (code page 932 single bytes)."""
    return row.decode("cp932", errors="replace")


class LcdFile:
    """Follows the report file as it grows; keeps every screen the program completed."""

    def __init__(self, path, report_length=REPORT_LENGTH):
        self.path = path
        self.length = report_length
        self.offset = 0
        self.lcd = Hd44780()
        self.reports = 0
        self.bad_reports = []  # (index, reason)
        self.screens = []  # (time, (row1, row2)): the screen each time a row update began
        self.home_count = 0

    def poll(self, now):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return
        whole = len(data) - len(data) % self.length
        for i in range(0, whole, self.length):
            self._take(data[i:i + self.length], now)
        self.offset += whole

    def _take(self, report, now):
        index = self.reports
        self.reports += 1
        if report[0] != 0 or report[1] not in (1, 2) or report[3:9] != TAIL or any(report[9:]):
            self.bad_reports.append((index, report[:12].hex()))
        before = len(self.lcd.latches)
        self.lcd.take(report)
        if len(self.lcd.latches) > before and self.lcd.latches[-1] == (0, 0x02):
            # A row update starts with "return home": what was on the screen before it is a
            # finished screen.
            self.home_count += 1
            self._snapshot(now)

    def _snapshot(self, now):
        rows = self.lcd.rows()
        if not self.screens or self.screens[-1][1] != rows:
            self.screens.append((now, rows))

    def current(self):
        return self.lcd.rows()

    def settled_screens(self, now):
        """All finished screens plus the current one."""
        self._snapshot(now)
        return list(self.screens)


def page_rows(text):
    """Cuts an LCD text into rows as the program's pager does (0x0A ends a row, so does the
    16th cell); returns (rows, number of row breaks)."""
    rows = [bytearray()]
    for b in text:
        if b == 0x0A:
            rows.append(bytearray())
            continue
        rows[-1].append(b)
        if len(rows[-1]) == 16:
            rows.append(bytearray())
    return [bytes(r) for r in rows], len(rows) - 1


def pages(text):
    """The screens a text gives: one at once for up to two row breaks, otherwise the pages
    (0, 1), (1, 2), ..., (B-2, B-1) in turn. Rows are padded to 16 cells."""
    rows, breaks = page_rows(text)

    def pad(r):
        return r + b" " * (16 - len(r))

    slots = rows + [b"", b""]
    if breaks <= 2:
        return [(pad(slots[0]), pad(slots[1]))]
    return [(pad(slots[k]), pad(slots[k + 1])) for k in range(breaks - 1)]
