// The settings dialog on the Linux console. With a terminal it is a form at the top of the
// screen, edited with keys while the main window's messages go on being handled; without one
// it says where the settings file is and what to write in it.
#include "settings/dialog_posix.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix/backends.h"

namespace kc::posix {

namespace {

// Texts of the dialog, in the order of its rows on the screen.
constexpr char kTitle[] = "KESTOVA の 設定";
constexpr char kServerLabel[] = "POP3サーバーネーム";
constexpr char kUserLabel[] = "アカウント";
constexpr char kPasswordLabel[] = "パスワード";
constexpr char kMailerLabel[] = "メーラー";
constexpr char kIntervalLabel[] = "チェック間隔";
constexpr char kIntervalUnit[] = "分おきにチェックする";
constexpr char kListText[] = "送信先リストを表示する";
constexpr char kLedText[] = "LED自動点灯";
constexpr char kEncryptionLabel[] = "暗号化";
constexpr char kOkText[] = "OK";
constexpr char kCancelText[] = "ｷｬﾝｾﾙ";
constexpr char kKeysText[] = "Tab:次へ  Shift+Tab:前へ  Space/←→:切替  Enter:OK  Esc:ｷｬﾝｾﾙ";

constexpr size_t kLabelWidth = 18;  // the widest label, "POP3サーバーネーム"
constexpr size_t kIndent = 2 + kLabelWidth + 1;
constexpr size_t kIntervalWidth = 10;
constexpr int kFormRows = 14;

const char kReverse[] = "\x1b[7m";
const char kUnderline[] = "\x1b[4m";
const char kDim[] = "\x1b[2m";
const char kBold[] = "\x1b[1m";
const char kPlain[] = "\x1b[0m";

// Copies a control's text into a field of `size` bytes: at most size - 1 bytes, cut before a
// character that would not fit whole.
void ReadText(const EditField& edit, char* field, size_t size) {
  const std::string& text = edit.text();
  size_t n = Cp932Fit(text.data(), text.size(), size - 1);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, size - n);
}

std::string Spaces(size_t n) { return std::string(n, ' '); }

}  // namespace

SettingsFormModel::SettingsFormModel() = default;

void SettingsFormModel::Load(const SettingsForm& form) {
  server_.SetText(form.server);
  user_.SetText(form.user);
  password_.SetText(form.password);
  mailer_.SetText(form.mailer);
  char number[16];
  std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(form.interval));
  interval_.SetText(number);
  list_ = form.listChecked;
  led_ = form.ledChecked;
  // A value the list does not name shows as TLS, which is how the program connects with it.
  encryption_ =
      form.encryption >= 0 && form.encryption < kEncryptionCount ? form.encryption : kEncryptionTls;
  focus_ = kOk;
}

const EditField& SettingsFormModel::edit(Control control) const {
  switch (control) {
    case kUser: return user_;
    case kPassword: return password_;
    case kMailer: return mailer_;
    case kInterval: return interval_;
    default: return server_;
  }
}

EditField* SettingsFormModel::FocusedEdit() {
  switch (focus_) {
    case kServer: return &server_;
    case kUser: return &user_;
    case kPassword: return &password_;
    case kMailer: return &mailer_;
    case kInterval: return &interval_;
    default: return nullptr;
  }
}

void SettingsFormModel::MoveFocus(int step) {
  int next = focus_;
  do {
    next = (next + step + kControlCount) % kControlCount;
  } while (next == kLed);  // disabled
  focus_ = static_cast<Control>(next);
  // An edit control entered from the keyboard has its whole text selected.
  if (EditField* edit = FocusedEdit()) edit->SelectAll();
}

SettingsFormModel::Outcome SettingsFormModel::OnKey(KeyCode code) {
  EditField* edit = FocusedEdit();
  switch (code) {
    case KeyCode::kTab: case KeyCode::kDown: MoveFocus(1); return Outcome::kNone;
    case KeyCode::kBackTab: case KeyCode::kUp: MoveFocus(-1); return Outcome::kNone;
    // Enter pushes the focused button, else the default button OK.
    case KeyCode::kEnter: return focus_ == kCancel ? Outcome::kCancel : Outcome::kOk;
    case KeyCode::kEscape: return Outcome::kCancel;
    default: break;
  }
  if (focus_ == kEncryption && (code == KeyCode::kLeft || code == KeyCode::kRight)) {
    int step = code == KeyCode::kRight ? 1 : kEncryptionCount - 1;
    encryption_ = (encryption_ + step) % kEncryptionCount;
    return Outcome::kNone;
  }
  if (edit == nullptr) return Outcome::kNone;
  switch (code) {
    case KeyCode::kLeft: edit->Left(); break;
    case KeyCode::kRight: edit->Right(); break;
    case KeyCode::kHome: edit->Home(); break;
    case KeyCode::kEnd: edit->End(); break;
    case KeyCode::kBackspace: edit->Backspace(); break;
    case KeyCode::kDelete: edit->Delete(); break;
    case KeyCode::kClearLine: edit->Clear(); break;
    default: break;
  }
  return Outcome::kNone;
}

SettingsFormModel::Outcome SettingsFormModel::OnChar(const char* ch, size_t n) {
  bool space = n == 1 && ch[0] == ' ';
  switch (focus_) {
    case kOk: return space ? Outcome::kOk : Outcome::kNone;
    case kCancel: return space ? Outcome::kCancel : Outcome::kNone;
    case kList:
      if (space) list_ = !list_;
      return Outcome::kNone;
    case kEncryption:
      if (space) encryption_ = (encryption_ + 1) % kEncryptionCount;
      return Outcome::kNone;
    default: break;
  }
  if (EditField* edit = FocusedEdit()) edit->Insert(ch, n);
  return Outcome::kNone;
}

void SettingsFormModel::Read(SettingsForm* form) const {
  ReadText(server_, form->server, sizeof form->server);
  ReadText(user_, form->user, sizeof form->user);
  ReadText(password_, form->password, sizeof form->password);
  ReadText(mailer_, form->mailer, sizeof form->mailer);
  form->intervalOk = ReadUnsignedNumber(interval_.text().c_str(), &form->interval);
  form->listChecked = list_;
  form->ledChecked = led_;
  form->encryption = encryption_;
}

std::vector<std::string> SettingsFormModel::Render(bool attributes, size_t columns) const {
  auto attr = [attributes](const char* a) { return attributes ? std::string(a) : std::string(); };
  auto marker = [this](Control c) { return std::string(focus_ == c ? "> " : "  "); };
  size_t fieldWidth = columns > kIndent + 2 + 8 ? columns - kIndent - 2 : 8;
  if (fieldWidth > 48) fieldWidth = 48;

  // An edit control: its text in brackets, with the caret (or the selection) when focused.
  auto field = [&](Control c, size_t width) {
    const EditField& e = edit(c);
    std::string shown;
    size_t caret = 0;
    e.View(width, &shown, &caret);
    std::string out = "[";
    if (focus_ != c || !attributes) {
      out += shown + Spaces(width - shown.size());
    } else if (e.allSelected()) {
      out += kReverse + shown + kPlain + kUnderline + Spaces(width - shown.size()) + kPlain;
    } else {
      size_t len = Cp932CharLength(shown.data(), shown.size(), caret);
      std::string at = len == 0 ? std::string(" ") : shown.substr(caret, len);
      size_t used = shown.size() + (len == 0 ? 1 : 0);
      out += kUnderline + shown.substr(0, caret) + kReverse + at + kPlain + kUnderline +
             shown.substr(caret + len) + Spaces(width > used ? width - used : 0) + kPlain;
    }
    return out + "]";
  };
  auto label = [](const char* text) {
    size_t n = std::strlen(text);
    return Spaces(n < kLabelWidth ? kLabelWidth - n : 0) + text + " ";
  };
  auto box = [&](Control c, bool on, const char* text, bool disabled) {
    std::string mark = std::string("[") + (on ? "x" : " ") + "] " + text;
    if (disabled) return attr(kDim) + mark + attr(kPlain);
    if (focus_ == c) return attr(kReverse) + mark + attr(kPlain);
    return mark;
  };
  auto button = [&](Control c, const char* text) {
    std::string face = std::string("[ ") + text + " ]";
    if (focus_ == c) return attr(kReverse) + face + attr(kPlain);
    return face;
  };

  std::vector<std::string> rows;
  std::string title = std::string(" ") + kTitle + " ";
  size_t bar = columns > 1 ? columns - 1 : title.size();
  if (bar > kIndent + fieldWidth + 2) bar = kIndent + fieldWidth + 2;
  if (title.size() < bar) title += Spaces(bar - title.size());
  rows.push_back(attr(kReverse) + attr(kBold) + title + attr(kPlain));
  rows.emplace_back();
  rows.push_back(marker(kServer) + label(kServerLabel) + field(kServer, fieldWidth));
  rows.push_back(marker(kUser) + label(kUserLabel) + field(kUser, fieldWidth));
  rows.push_back(marker(kPassword) + label(kPasswordLabel) + field(kPassword, fieldWidth));
  rows.push_back(marker(kMailer) + label(kMailerLabel) + field(kMailer, fieldWidth));
  rows.push_back(marker(kInterval) + label(kIntervalLabel) + field(kInterval, kIntervalWidth) +
                 " " + kIntervalUnit);
  rows.push_back(marker(kList) + Spaces(kLabelWidth + 1) + box(kList, list_, kListText, false));
  rows.push_back("  " + Spaces(kLabelWidth + 1) + box(kLed, led_, kLedText, true));
  std::string choice = std::string("[") + kEncryptionItems[encryption_] + " ▼]";
  if (focus_ == kEncryption) choice = attr(kReverse) + choice + attr(kPlain);
  rows.push_back(marker(kEncryption) + label(kEncryptionLabel) + choice);
  rows.emplace_back();
  rows.push_back((focus_ == kOk || focus_ == kCancel ? "> " : "  ") + Spaces(kLabelWidth + 1) +
                 button(kOk, kOkText) + "  " + button(kCancel, kCancelText));
  rows.push_back("  " + attr(kDim) + kKeysText + attr(kPlain));
  rows.push_back(attr(kDim) + std::string(bar, '-') + attr(kPlain));
  for (std::string& row : rows) row = FitColumns(row, columns);
  return rows;
}

namespace {

// A text as a quoted string of the file: \ and " escaped.
std::string Quoted(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') out.push_back('\\');
    out.push_back(*p);
  }
  return out + "\"";
}

std::string Dword(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "dword:%08x", static_cast<unsigned>(value));
  return buffer;
}

}  // namespace

std::string SettingsFileHelp(const std::string& path, const SettingsForm& form) {
  std::string out;
  out += std::string(kTitle) + ": 端末がないため設定フォームを表示できません。\n";
  out += "設定ファイル: " + path + "\n";
  out += "次の内容で作成し、プログラムを起動し直してください"
         " (文字列はシフトJIS, パスワードは各バイトを反転 (XOR ff) し最後に ff):\n\n";
  out += "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA]\n";
  out += std::string("; REG_SZ ") + kServerLabel + "\n";
  out += "\"SERVER\"=" + Quoted(form.server[0] != '\0' ? form.server : "pop.example.com") + "\n";
  out += std::string("; REG_SZ ") + kUserLabel + "\n";
  out += "\"USER\"=" + Quoted(form.user[0] != '\0' ? form.user : "user") + "\n";
  out += std::string("; REG_BINARY ") + kPasswordLabel + " (abc の例)\n";
  out += "\"PASS\"=hex:9e,9d,9c,ff\n";
  out += std::string("; REG_DWORD ") + kIntervalLabel + " (分, 16進数)\n";
  out += "\"TIME\"=" + Dword(form.interval) + "\n";
  out += std::string("; REG_DWORD ") + kListText + " (1: はい)\n";
  out += "\"LIST\"=" + Dword(form.listChecked ? 1 : 0) + "\n";
  out += std::string("; REG_DWORD ") + kLedText + "\n";
  out += "\"LED\"=" + Dword(form.ledChecked ? 1 : 0) + "\n";
  out += std::string("; REG_SZ ") + kMailerLabel + "\n";
  out += "\"MAILLER\"=" + Quoted(form.mailer) + "\n";
  out += std::string("; REG_DWORD ") + kEncryptionLabel +
         " (0: なし, 1: SSL/TLS ポート995, 2: STARTTLS)\n";
  out += "\"SSL\"=" + Dword(static_cast<uint32_t>(form.encryption)) + "\n";
  out += "; REG_DWORD ポート (0: 標準のポート)\n";
  out += "\"PORT\"=dword:00000000\n";
  out += "; REG_SZ 自己署名証明書を受け入れる場合: その SHA-256 フィンガープリント\n";
  out += "\"CERTPIN\"=\"\"\n\n";
  out += "パスワードの hex は次で作れます: python3 -c \"import sys; print(','.join('%02x' % "
         "(b ^ 255) for b in sys.argv[1].encode('cp932') + bytes(1)))\" パスワード\n";
  return out;
}

namespace {

class ConsoleDialog final : public SettingsDialogPort {
 public:
  explicit ConsoleDialog(EventLoop& loop) : loop_(loop) {}

  void Run(WindowRef, SettingsDialog& dialog) override {
    Console& console = Console::Get(loop_);
    SettingsForm initial;
    dialog.Fill(&initial);
    if (!console.keysFromTerminal()) {
      // No form without a terminal: tell where the settings go, then as after Cancel.
      std::string help = Cp932ToUtf8(SettingsFileHelp(SettingsFilePath(), initial).c_str());
      std::fwrite(help.data(), 1, help.size(), stderr);
      std::fflush(stderr);
      return;
    }

    SettingsFormModel model;
    model.Load(initial);
    bool done = false;
    auto redraw = [&] {
      std::vector<std::string> rows;
      for (const std::string& row :
           model.Render(console.screen(), static_cast<size_t>(console.columns() - 1))) {
        rows.push_back(Cp932ToUtf8(row.c_str()));
      }
      console.DrawPanel(rows);
    };
    // The form is a window of its own: its keys arrive as messages in the nested loop.
    WindowRef form = loop_.CreateWindow([&](WindowRef, uint32_t msg, WParam wp, LParam lp) -> LResult {
      using Outcome = SettingsFormModel::Outcome;
      Outcome outcome = Outcome::kNone;
      if (msg == kWmConsoleKey) {
        outcome = model.OnKey(static_cast<KeyCode>(wp));
      } else if (msg == kWmConsoleChar) {
        char ch[2] = {static_cast<char>(wp & 0xFF), static_cast<char>((wp >> 8) & 0xFF)};
        outcome = model.OnChar(ch, lp == 2 ? 2 : 1);
      } else {
        return 0;
      }
      if (outcome == Outcome::kCancel) {
        done = true;
        return 0;
      }
      if (outcome == Outcome::kOk) {
        SettingsForm entered;
        model.Read(&entered);
        if (dialog.Accept(entered)) {
          done = true;
          return 0;
        }
      }
      redraw();
      return 0;
    });
    if (form == 0) return;
    console.PushKeyTarget(form);
    console.OpenPanel(kFormRows);
    redraw();
    loop_.RunNested([&done] { return done; });
    console.PopKeyTarget(form);
    console.ClosePanel();
    loop_.Destroy(form);
  }

 private:
  EventLoop& loop_;
};

}  // namespace

std::unique_ptr<SettingsDialogPort> MakeSettingsDialog(EventLoop& loop) {
  return std::make_unique<ConsoleDialog>(loop);
}

}  // namespace kc::posix
