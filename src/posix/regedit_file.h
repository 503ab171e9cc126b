// The registry export text format (REGEDIT4) that holds the settings key on platforms without a
// registry. Pure text handling: the file itself is read and written by the platform's back end.
//
// The form written is the one Windows' regedit exports and imports unchanged:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\KESTOVA]
//   "SERVER"=hex(1):70,6f,70,00,00,...
//   "PASS"=hex:9e,9d,9c,ff,ff,...
//   "TIME"=dword:0000001e
//
// hex(1) holds the ANSI bytes of a REG_SZ value as they are (code page 932), so no text is
// converted either way. Lines end in CR LF. Long hex data is folded as regedit folds it: a line
// that reaches 77 columns ends after its comma with a backslash, and the data goes on in the
// next line after two blanks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kc {

// The settings key as its full name appears in the file.
extern const char kRegeditSettingsKey[];

struct RegeditValue {
  std::string name;  // empty for the key's default value ("@")
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// One key's section: its full name as written and its values.
struct RegeditSection {
  std::string key;
  std::vector<RegeditValue> values;  // in file order; a name given twice keeps its last data
};

struct RegeditKey {
  bool found = false;                // the file has a section for the key
  std::vector<RegeditValue> values;  // in file order; a name given twice keeps its last data
};

// Parses the text of a REGEDIT4 file and collects the values of `key` (matched without regard
// to ASCII case). Lines may end in LF or CR LF; hex data may be folded with ",\" and indented
// continuation lines or given on one line; blank lines and ";" comments are skipped; "[-key]"
// and "name"=- remove what they name. Returns false, with *out empty, when the text is not a
// whole, well-formed file: another header, a malformed line, a value outside any key, a last
// line without its line end or a continuation that never comes (a truncated file).
// badLine, when given, receives the number (from 1) of the line that made the text unreadable.
bool ParseRegeditFile(const std::string& text, const std::string& key, RegeditKey* out,
                      size_t* badLine = nullptr);

// Parses the text as ParseRegeditFile does and keeps every key's section, in the order the keys
// first appear (a key given twice is one section, at its first place). "[-key]" removes the key
// and every key below it.
bool ParseRegeditSections(const std::string& text, std::vector<RegeditSection>* out,
                          size_t* badLine = nullptr);

// The whole file for the sections in the given order, each with its values in their order.
std::string FormatRegeditSections(const std::vector<RegeditSection>& sections);

// Is `key` (matched without regard to ASCII case) `parent` itself or a key below it?
bool IsRegeditKeyOrBelow(const std::string& key, const std::string& parent);

// The whole file for one key and its values, in the given order. Values of type 4 with four
// bytes are written as dword:, type 3 as hex:, every other value (REG_SZ included) as hex(N):.
std::string FormatRegeditFile(const std::string& key, const std::vector<RegeditValue>& values);

}  // namespace kc
