#include "posix/key_decoder.h"

namespace kc::posix {

void KeyDecoder::Feed(const char* bytes, size_t n, std::vector<Key>* keys) {
  pending_.append(bytes, n);
  size_t i = 0;
  const size_t first = keys->size();
  const std::string& p = pending_;
  auto emit = [this, keys](KeyCode code, std::string text = std::string()) {
    keys->push_back(Key{code, std::move(text), inPaste_});
  };
  while (i < p.size()) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c == 0x1B) {
      if (i + 1 >= p.size()) break;  // wait for the rest, or Flush
      char kind = p[i + 1];
      if (kind != '[' && kind != 'O') {
        emit(KeyCode::kEscape);
        ++i;
        continue;
      }
      // CSI or SS3: parameters, then a final byte 0x40 to 0x7E.
      size_t j = i + 2;
      while (j < p.size() && !(p[j] >= 0x40 && p[j] <= 0x7E)) ++j;
      if (j >= p.size()) break;
      char final = p[j];
      std::string params = p.substr(i + 2, j - (i + 2));
      KeyCode code = KeyCode::kNone;
      switch (final) {
        case 'A': code = KeyCode::kUp; break;
        case 'B': code = KeyCode::kDown; break;
        case 'C': code = KeyCode::kRight; break;
        case 'D': code = KeyCode::kLeft; break;
        case 'H': code = KeyCode::kHome; break;
        case 'F': code = KeyCode::kEnd; break;
        case 'Z': code = KeyCode::kBackTab; break;
        case '~': {
          int number = std::atoi(params.c_str());
          if (number == 1 || number == 7) code = KeyCode::kHome;
          if (number == 4 || number == 8) code = KeyCode::kEnd;
          if (number == 3) code = KeyCode::kDelete;
          break;
        }
        default: break;
      }
      if (final == '~' && params == "200") inPaste_ = true;
      if (final == '~' && params == "201") inPaste_ = false;
      if (code != KeyCode::kNone) emit(code);
      i = j + 1;
    } else if (c == '\r' || c == '\n') {
      emit(KeyCode::kEnter);
      // A line end of two bytes is one key.
      if (c == '\r' && i + 1 < p.size() && p[i + 1] == '\n') ++i;
      ++i;
    } else if (c == '\t') {
      emit(KeyCode::kTab);
      ++i;
    } else if (c == 0x7F || c == 0x08) {
      emit(KeyCode::kBackspace);
      ++i;
    } else if (c == 0x15) {
      emit(KeyCode::kClearLine);
      ++i;
    } else if (c < 0x20) {
      ++i;  // other control keys mean nothing here
    } else if (c < 0x80) {
      emit(KeyCode::kChar, std::string(1, static_cast<char>(c)));
      ++i;
    } else {
      size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
      if (len == 0 || c > 0xF4) {
        ++i;  // not the start of a UTF-8 character
        continue;
      }
      if (i + len > p.size()) break;  // the rest comes with the next read
      bool valid = true;
      for (size_t k = 1; k < len; ++k) {
        if ((static_cast<unsigned char>(p[i + k]) & 0xC0) != 0x80) valid = false;
      }
      if (valid) {
        emit(KeyCode::kChar, p.substr(i, len));
        i += len;
      } else {
        ++i;
      }
    }
  }
  pending_.erase(0, i);
  // A line break or tab after text in the same read was pasted with it.
  bool afterText = false;
  for (size_t k = first; k < keys->size(); ++k) {
    Key& key = (*keys)[k];
    if (key.code == KeyCode::kChar) afterText = true;
    if ((key.code == KeyCode::kEnter || key.code == KeyCode::kTab) && afterText) key.pasted = true;
  }
}

void KeyDecoder::Flush(std::vector<Key>* keys) {
  if (pending_ == "\x1b") {
    keys->push_back(Key{KeyCode::kEscape, std::string()});
    pending_.clear();
  }
}

bool TrayKeyMessage(const Key& key, uint32_t* msg, WParam* wp, LParam* lp) {
  if (key.code != KeyCode::kChar || key.text.size() != 1) return false;
  *lp = 0;
  switch (key.text[0]) {
    case 'c':
    case 'C':
      *msg = kWmCommand;
      *wp = IDM_CHECK;
      return true;
    case 'p':
    case 'P':
      *msg = kWmCommand;
      *wp = IDM_PROPERTIES;
      return true;
    case 'q':
    case 'Q':
      *msg = kWmCommand;
      *wp = IDM_EXIT;
      return true;
    case 'r':
    case 'R':
      // Marks the last check's messages seen; does nothing without the new-only option.
      *msg = kWmCommand;
      *wp = IDM_MARKSEEN;
      return true;
    case 's':
    case 'S':
      // Signs in with the OAuth provider; does nothing unless the login uses OAuth (AUTH 1).
      *msg = kWmCommand;
      *wp = IDM_SIGNIN;
      return true;
    case 'm':
    case 'M':
      *msg = SM_TRAY;
      *wp = kTrayIconId;
      *lp = kWmLButtonDblClk;
      return true;
    case ' ':
      *msg = SM_TRAY;
      *wp = kTrayIconId;
      *lp = kWmRButtonDown;
      return true;
    default: return false;
  }
}

}  // namespace kc::posix
