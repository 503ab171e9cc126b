#include "posix/regedit_file.h"

#include <cstddef>
#include <utility>

#include "text/bounded.h"

namespace kc {

const char kRegeditSettingsKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA";

namespace {

const char kHeader[] = "REGEDIT4";
const char kLineEnd[] = "\r\n";
// regedit folds a hex line once it reaches this many columns, the comma included.
constexpr size_t kFoldColumn = 77;
constexpr uint32_t kTypeBinary = 3;
constexpr uint32_t kTypeDword = 4;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// Does `s` continue at `i` with `word`, in any ASCII case?
bool StartsWithNoCase(const std::string& s, size_t i, const char* word) {
  for (; *word != '\0'; ++word, ++i) {
    if (i >= s.size() || LowerAscii(s[i]) != LowerAscii(*word)) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

size_t SkipBlanks(const std::string& s, size_t i) {
  while (i < s.size() && IsBlank(s[i])) ++i;
  return i;
}

std::string TrimRight(const std::string& s) {
  size_t end = s.size();
  while (end > 0 && IsBlank(s[end - 1])) --end;
  return s.substr(0, end);
}

// Only blanks or a comment remain from `i` on.
bool AtLineEnd(const std::string& s, size_t i) {
  i = SkipBlanks(s, i);
  return i == s.size() || s[i] == ';';
}

// Reads up to `maxDigits` hex digits (at least one) at *i.
bool ReadHexNumber(const std::string& s, size_t* i, size_t maxDigits, uint32_t* value) {
  uint32_t v = 0;
  size_t n = 0;
  while (*i < s.size() && n < maxDigits) {
    int d = HexDigit(s[*i]);
    if (d < 0) break;
    v = (v << 4) | static_cast<uint32_t>(d);
    ++*i;
    ++n;
  }
  if (n == 0) return false;
  *value = v;
  return true;
}

// A quoted text starting at the quote at *i; \\ and \" stand for \ and ", any other backslash
// is kept as it is. Leaves *i after the closing quote.
bool ReadQuoted(const std::string& s, size_t* i, std::string* out) {
  out->clear();
  size_t p = *i + 1;
  while (p < s.size()) {
    char c = s[p];
    if (c == '"') {
      *i = p + 1;
      return true;
    }
    if (c == '\\' && p + 1 < s.size() && (s[p + 1] == '\\' || s[p + 1] == '"')) {
      out->push_back(s[p + 1]);
      p += 2;
      continue;
    }
    out->push_back(c);
    ++p;
  }
  return false;  // no closing quote
}

// Comma-separated bytes of one or two hex digits each; blanks around them are allowed. An empty
// list is no bytes; a comma with no byte after it is an error.
bool ParseHexBytes(const std::string& s, std::vector<uint8_t>* out) {
  out->clear();
  size_t i = SkipBlanks(s, 0);
  if (AtLineEnd(s, i)) return true;
  for (;;) {
    i = SkipBlanks(s, i);
    uint32_t byte = 0;
    if (!ReadHexNumber(s, &i, 2, &byte)) return false;
    out->push_back(static_cast<uint8_t>(byte));
    i = SkipBlanks(s, i);
    if (AtLineEnd(s, i)) return true;
    if (s[i] != ',') return false;
    ++i;
  }
}

// The file cut into lines without their line ends. False when the text does not end with a
// line end (cut off mid-line) or holds a NUL byte (a damaged file, such as a zero-filled tail);
// *badLine is then the number of that line.
bool SplitLines(const std::string& text, std::vector<std::string>* lines, size_t* badLine) {
  *badLine = 1;
  if (text.empty()) return false;
  size_t start = 0;
  while (start < text.size()) {
    *badLine = lines->size() + 1;
    size_t end = text.find('\n', start);
    size_t nul = text.find('\0', start);
    if (nul != std::string::npos && (end == std::string::npos || nul < end)) return false;
    if (end == std::string::npos) return false;
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(line);
    start = end + 1;
  }
  return true;
}

void RemoveValue(std::vector<RegeditValue>* values, const std::string& name) {
  for (auto it = values->begin(); it != values->end(); ++it) {
    if (EqualNoCase(it->name, name)) {
      values->erase(it);
      return;
    }
  }
}

void StoreValue(std::vector<RegeditValue>* values, RegeditValue value) {
  for (RegeditValue& v : *values) {
    if (EqualNoCase(v.name, value.name)) {
      v = std::move(value);
      return;
    }
  }
  values->push_back(std::move(value));
}

class Parser {
 public:
  Parser(const std::vector<std::string>& lines, std::vector<RegeditSection>* out)
      : lines_(lines), out_(out) {}

  // The number (from 1) of the line that stopped a failed run.
  size_t failedLine() const { return next_ == 0 ? 1 : next_; }

  bool Run() {
    if (lines_.empty() || TrimRight(lines_[0]) != kHeader) {
      next_ = 1;
      return false;
    }
    for (next_ = 1; next_ < lines_.size();) {
      const std::string line = lines_[next_++];
      size_t i = SkipBlanks(line, 0);
      if (AtLineEnd(line, i)) continue;  // blank or comment
      bool ok = line[i] == '[' ? KeyLine(TrimRight(line.substr(i))) : ValueLine(line, i);
      if (!ok) return false;
    }
    return true;
  }

 private:
  static constexpr size_t kNoSection = static_cast<size_t>(-1);

  bool KeyLine(const std::string& line) {
    if (line.size() < 3 || line.back() != ']') return false;
    std::string name = line.substr(1, line.size() - 2);
    inKey_ = true;
    if (name[0] == '-') {  // the key is removed, with every key below it
      const std::string removed = name.substr(1);
      for (auto it = out_->begin(); it != out_->end();) {
        it = IsRegeditKeyOrBelow(it->key, removed) ? out_->erase(it) : it + 1;
      }
      section_ = kNoSection;  // what follows until the next key is read and dropped
      return true;
    }
    for (size_t i = 0; i < out_->size(); ++i) {
      if (EqualNoCase((*out_)[i].key, name)) {
        section_ = i;
        return true;
      }
    }
    out_->push_back(RegeditSection{name, {}});
    section_ = out_->size() - 1;
    return true;
  }

  bool ValueLine(const std::string& line, size_t i) {
    if (!inKey_) return false;
    RegeditValue value;
    if (line[i] == '@') {
      ++i;
    } else if (line[i] == '"') {
      if (!ReadQuoted(line, &i, &value.name)) return false;
    } else {
      return false;
    }
    i = SkipBlanks(line, i);
    if (i >= line.size() || line[i] != '=') return false;
    i = SkipBlanks(line, i + 1);
    if (i >= line.size()) return false;

    std::vector<RegeditValue>* values =
        section_ == kNoSection ? nullptr : &(*out_)[section_].values;
    if (line[i] == '-') {
      if (!AtLineEnd(line, i + 1)) return false;
      if (values != nullptr) RemoveValue(values, value.name);
      return true;
    }
    if (line[i] == '"') {
      std::string text;
      if (!ReadQuoted(line, &i, &text) || !AtLineEnd(line, i)) return false;
      value.type = 1;
      value.data.assign(text.begin(), text.end());
      value.data.push_back(0);
    } else if (StartsWithNoCase(line, i, "dword:")) {
      i += 6;
      uint32_t v = 0;
      if (!ReadHexNumber(line, &i, 8, &v) || !AtLineEnd(line, i)) return false;
      value.type = kTypeDword;
      for (int b = 0; b < 4; ++b) value.data.push_back(static_cast<uint8_t>(v >> (8 * b)));
    } else if (StartsWithNoCase(line, i, "hex")) {
      i += 3;
      value.type = kTypeBinary;
      if (i < line.size() && line[i] == '(') {
        ++i;
        if (!ReadHexNumber(line, &i, 8, &value.type)) return false;
        if (i >= line.size() || line[i] != ')') return false;
        ++i;
      }
      if (i >= line.size() || line[i] != ':') return false;
      std::string data;
      if (!JoinFolded(line.substr(i + 1), &data)) return false;
      if (!ParseHexBytes(data, &value.data)) return false;
    } else {
      return false;
    }
    if (values != nullptr) StoreValue(values, std::move(value));
    return true;
  }

  // Hex data that ends in a backslash goes on in the next line, after its leading blanks.
  bool JoinFolded(std::string data, std::string* out) {
    for (;;) {
      data = TrimRight(data);
      if (data.empty() || data.back() != '\\') break;
      data.pop_back();
      if (next_ >= lines_.size()) return false;  // the continuation never comes: the last line
      const std::string& more = lines_[next_++];
      data += more.substr(SkipBlanks(more, 0));
    }
    *out = data;
    return true;
  }

  const std::vector<std::string>& lines_;
  std::vector<RegeditSection>* out_;
  size_t next_ = 1;
  bool inKey_ = false;           // a key line came: values may follow
  size_t section_ = kNoSection;  // where they go; kNoSection after a removal
};

void AppendHexByte(std::string* out, uint8_t b) {
  static const char kDigits[] = "0123456789abcdef";
  out->push_back(kDigits[b >> 4]);
  out->push_back(kDigits[b & 0x0F]);
}

std::string QuotedName(const std::string& name) {
  if (name.empty()) return "@";
  std::string out = "\"";
  for (char c : name) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string HexNumber(uint32_t v, size_t width) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v & 0x0F]);
    v >>= 4;
  } while (v != 0);
  while (out.size() < width) out.insert(out.begin(), '0');
  return out;
}

void AppendValue(std::string* out, const RegeditValue& v) {
  std::string head = QuotedName(v.name) + "=";
  if (v.type == kTypeDword && v.data.size() == 4) {
    uint32_t n = static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
                 static_cast<uint32_t>(v.data[2]) << 16 | static_cast<uint32_t>(v.data[3]) << 24;
    *out += head + "dword:" + HexNumber(n, 8) + kLineEnd;
    return;
  }
  head += v.type == kTypeBinary ? std::string("hex:") : "hex(" + HexNumber(v.type, 1) + "):";
  *out += head;
  size_t column = head.size();
  for (size_t i = 0; i < v.data.size(); ++i) {
    AppendHexByte(out, v.data[i]);
    if (i + 1 == v.data.size()) break;
    out->push_back(',');
    column += 3;
    if (column >= kFoldColumn) {
      *out += "\\";
      *out += kLineEnd;
      *out += "  ";
      column = 2;
    }
  }
  *out += kLineEnd;
}

}  // namespace

bool IsRegeditKeyOrBelow(const std::string& key, const std::string& parent) {
  if (key.size() < parent.size()) return false;
  if (!EqualNoCase(key.substr(0, parent.size()), parent)) return false;
  return key.size() == parent.size() || key[parent.size()] == '\\';
}

bool ParseRegeditSections(const std::string& text, std::vector<RegeditSection>* out,
                          size_t* badLine) {
  out->clear();
  std::vector<std::string> lines;
  size_t bad = 1;
  // A file of another kind is pointed out at its first line, whatever comes after it.
  std::string first = text.substr(0, text.find('\n'));
  if (!first.empty() && first.back() == '\r') first.pop_back();
  if (first.find('\0') == std::string::npos && TrimRight(first) == kHeader &&
      SplitLines(text, &lines, &bad)) {
    Parser parser(lines, out);
    if (parser.Run()) return true;
    bad = parser.failedLine();
  }
  if (badLine != nullptr) *badLine = bad;
  out->clear();
  return false;
}

bool ParseRegeditFile(const std::string& text, const std::string& key, RegeditKey* out,
                      size_t* badLine) {
  *out = RegeditKey{};
  std::vector<RegeditSection> sections;
  if (!ParseRegeditSections(text, &sections, badLine)) return false;
  for (RegeditSection& section : sections) {
    if (EqualNoCase(section.key, key)) {
      out->found = true;
      out->values = std::move(section.values);
    }
  }
  return true;
}

std::string FormatRegeditSections(const std::vector<RegeditSection>& sections) {
  std::string out = std::string(kHeader) + kLineEnd + kLineEnd;
  for (const RegeditSection& section : sections) {
    out += "[" + section.key + "]" + kLineEnd;
    for (const RegeditValue& v : section.values) AppendValue(&out, v);
    out += kLineEnd;
  }
  return out;
}

std::string FormatRegeditFile(const std::string& key, const std::vector<RegeditValue>& values) {
  return FormatRegeditSections({RegeditSection{key, values}});
}

}  // namespace kc
