// The settings dialog on the Linux console. With a terminal it is a form at the top of the
// screen, edited with keys while the main window's messages go on being handled; without one
// it says where the settings file is and what to write in it.
#include "posix/settings_dialog.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix/backends.h"
#include "settings/account_form.h"
#include "text/cp932.h"

namespace kc::posix {

namespace {

// Texts of the dialog, in the order of its rows on the screen.
constexpr char kTitle[] = "KESTOVA の 設定";
constexpr char kServerLabel[] = "POP3サーバーネーム";
constexpr char kUserLabel[] = "アカウント";
constexpr char kPasswordLabel[] = "パスワード";
constexpr char kMailerLabel[] = "メーラー";
constexpr char kIntervalLabel[] = "チェック間隔";
constexpr char kListText[] = "送信先リストを表示する";
constexpr char kLedText[] = "LED自動点灯";
constexpr char kAdvancedTitle[] = "詳細設定";
constexpr char kEncryptionLabel[] = "暗号化";
constexpr char kPortLabel[] = "ポート";
constexpr char kCertPinLabel[] = "証明書ピン";
constexpr char kNewOnlyText[] = "新着のみ";
constexpr char kNotifyText[] = "通知";
constexpr char kLoginLabel[] = "認証方式";
constexpr char kProviderLabel[] = "プロバイダー";
constexpr char kClientIdLabel[] = "クライアントID";
constexpr char kClientSecretLabel[] = "シークレット";
constexpr char kTenantLabel[] = "テナント";
constexpr char kSignInText[] = "サインイン";
constexpr char kLoginGroup[] = "認証";
// The second page's groups.
constexpr char kConnectionGroup[] = "接続";
constexpr char kNewMailGroup[] = "新着";
// The accounts after the first: the button and group of the second page, the list's page and
// the page of one account.
constexpr char kAccountsGroup[] = "アカウント";
constexpr char kAccountsTitle[] = "アカウント一覧";
constexpr char kAccountNameLabel[] = "名前";
constexpr char kNoAccountsText[] = "(アカウントはありません)";

constexpr size_t kLabelWidth = 18;  // the widest label, "POP3サーバーネーム"
constexpr size_t kIndent = 2 + kLabelWidth + 1;
constexpr size_t kIntervalWidth = 10;
constexpr size_t kPortWidth = 5;
constexpr int kFormRows = 23;  // the second page's rows; the others have as many or fewer

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

// The controls in screen order, page by page; Tab and Shift+Tab follow it forward and backward
// within the page. Buttons that follow each other share a row. A field of a later version is
// one more row here; `group` starts a group of the second page with its heading.
enum class Kind { kEdit, kSecret, kNumber, kCheck, kChoice, kButton, kPageButton, kList };
using Page = SettingsFormModel::Page;
struct ControlRow {
  SettingsFormModel::Control control;
  Kind kind;
  const char* text;  // label of an edit, text of a box or a button
  size_t limit;      // edits: the bytes the setting keeps
  bool disabled;     // shown, never focused
  Page page;
  const char* group;
};
constexpr ControlRow kRows[] = {
    {SettingsFormModel::kServer, Kind::kEdit, kServerLabel, kServerSize - 1, false, Page::kMain,
     nullptr},
    {SettingsFormModel::kUser, Kind::kEdit, kUserLabel, kUserSize - 1, false, Page::kMain, nullptr},
    {SettingsFormModel::kPassword, Kind::kSecret, kPasswordLabel, kPasswordSize - 1, false,
     Page::kMain, nullptr},
    {SettingsFormModel::kMailer, Kind::kEdit, kMailerLabel, kMailerSize - 1, false, Page::kMain,
     nullptr},
    {SettingsFormModel::kInterval, Kind::kNumber, kIntervalLabel, kIntervalWidth, false,
     Page::kMain, nullptr},
    {SettingsFormModel::kList, Kind::kCheck, kListText, 0, false, Page::kMain, nullptr},
    {SettingsFormModel::kLed, Kind::kCheck, kLedText, 0, true, Page::kMain, nullptr},
    {SettingsFormModel::kAdvanced, Kind::kPageButton, kAdvancedTitle, 0, false, Page::kMain,
     nullptr},
    {SettingsFormModel::kOk, Kind::kButton, "OK", 0, false, Page::kMain, nullptr},
    {SettingsFormModel::kCancel, Kind::kButton, "ｷｬﾝｾﾙ", 0, false, Page::kMain, nullptr},

    {SettingsFormModel::kEncryption, Kind::kChoice, kEncryptionLabel, 0, false, Page::kAdvanced,
     kConnectionGroup},
    {SettingsFormModel::kPort, Kind::kNumber, kPortLabel, kPortWidth, false, Page::kAdvanced,
     nullptr},
    {SettingsFormModel::kCertPin, Kind::kEdit, kCertPinLabel, kCertPinTextSize - 1, false,
     Page::kAdvanced, nullptr},
    {SettingsFormModel::kLogin, Kind::kChoice, kLoginLabel, 0, false, Page::kAdvanced, kLoginGroup},
    {SettingsFormModel::kProvider, Kind::kEdit, kProviderLabel, kProviderTextSize - 1, false,
     Page::kAdvanced, nullptr},
    {SettingsFormModel::kClientId, Kind::kEdit, kClientIdLabel, kClientIdTextSize - 1, false,
     Page::kAdvanced, nullptr},
    {SettingsFormModel::kClientSecret, Kind::kSecret, kClientSecretLabel, kClientSecretTextSize - 1,
     false, Page::kAdvanced, nullptr},
    {SettingsFormModel::kTenant, Kind::kEdit, kTenantLabel, kTenantTextSize - 1, false,
     Page::kAdvanced, nullptr},
    {SettingsFormModel::kSignIn, Kind::kPageButton, kSignInText, 0, false, Page::kAdvanced,
     nullptr},
    {SettingsFormModel::kNewOnly, Kind::kCheck, kNewOnlyText, 0, false, Page::kAdvanced,
     kNewMailGroup},
    {SettingsFormModel::kNotify, Kind::kCheck, kNotifyText, 0, false, Page::kAdvanced, nullptr},
    {SettingsFormModel::kAccounts, Kind::kPageButton, kAccountsTitle, 0, false, Page::kAdvanced,
     kAccountsGroup},
    {SettingsFormModel::kAdvancedOk, Kind::kButton, "OK", 0, false, Page::kAdvanced, nullptr},
    {SettingsFormModel::kAdvancedCancel, Kind::kButton, "ｷｬﾝｾﾙ", 0, false, Page::kAdvanced,
     nullptr},

    {SettingsFormModel::kAccountList, Kind::kList, "", 0, false, Page::kAccounts, nullptr},
    {SettingsFormModel::kAccountAdd, Kind::kButton, "追加", 0, false, Page::kAccounts, nullptr},
    {SettingsFormModel::kAccountEdit, Kind::kButton, "編集", 0, false, Page::kAccounts, nullptr},
    {SettingsFormModel::kAccountRemove, Kind::kButton, "削除", 0, false, Page::kAccounts, nullptr},
    {SettingsFormModel::kAccountUp, Kind::kButton, "上へ", 0, false, Page::kAccounts, nullptr},
    {SettingsFormModel::kAccountDown, Kind::kButton, "下へ", 0, false, Page::kAccounts, nullptr},
    {SettingsFormModel::kAccountsBack, Kind::kButton, "戻る", 0, false, Page::kAccounts, nullptr},

    {SettingsFormModel::kAccountName, Kind::kEdit, kAccountNameLabel, kAccountNameTextSize - 1,
     false, Page::kAccount, nullptr},
    {SettingsFormModel::kAccountServer, Kind::kEdit, kServerLabel, kServerSize - 1, false,
     Page::kAccount, nullptr},
    {SettingsFormModel::kAccountUser, Kind::kEdit, kUserLabel, kUserSize - 1, false, Page::kAccount,
     nullptr},
    {SettingsFormModel::kAccountPassword, Kind::kSecret, kPasswordLabel, kPasswordSize - 1, false,
     Page::kAccount, nullptr},
    {SettingsFormModel::kAccountEncryption, Kind::kChoice, kEncryptionLabel, 0, false,
     Page::kAccount, kConnectionGroup},
    {SettingsFormModel::kAccountPort, Kind::kNumber, kPortLabel, kPortWidth, false, Page::kAccount,
     nullptr},
    {SettingsFormModel::kAccountCertPin, Kind::kEdit, kCertPinLabel, kCertPinTextSize - 1, false,
     Page::kAccount, nullptr},
    {SettingsFormModel::kAccountLogin, Kind::kChoice, kLoginLabel, 0, false, Page::kAccount,
     kLoginGroup},
    {SettingsFormModel::kAccountProvider, Kind::kEdit, kProviderLabel, kProviderTextSize - 1, false,
     Page::kAccount, nullptr},
    {SettingsFormModel::kAccountClientId, Kind::kEdit, kClientIdLabel, kClientIdTextSize - 1, false,
     Page::kAccount, nullptr},
    {SettingsFormModel::kAccountClientSecret, Kind::kSecret, kClientSecretLabel,
     kClientSecretTextSize - 1, false, Page::kAccount, nullptr},
    {SettingsFormModel::kAccountTenant, Kind::kEdit, kTenantLabel, kTenantTextSize - 1, false,
     Page::kAccount, nullptr},
    {SettingsFormModel::kAccountNewOnly, Kind::kCheck, kNewOnlyText, 0, false, Page::kAccount,
     kNewMailGroup},
    {SettingsFormModel::kAccountOk, Kind::kButton, "OK", 0, false, Page::kAccount, nullptr},
    {SettingsFormModel::kAccountCancel, Kind::kButton, "ｷｬﾝｾﾙ", 0, false, Page::kAccount, nullptr},
};
constexpr int kRowCount = static_cast<int>(sizeof kRows / sizeof kRows[0]);

int RowOf(SettingsFormModel::Control control) {
  for (int i = 0; i < kRowCount; ++i) {
    if (kRows[i].control == control) return i;
  }
  return 0;
}

bool IsEdit(Kind kind) {
  return kind == Kind::kEdit || kind == Kind::kSecret || kind == Kind::kNumber;
}

}  // namespace

SettingsFormModel::SettingsFormModel() {
  for (const ControlRow& row : kRows) {
    if (IsEdit(row.kind)) {
      edits_[row.control].Configure(row.kind == Kind::kNumber, row.kind == Kind::kSecret,
                                    row.limit);
    }
  }
}

void SettingsFormModel::Load(const SettingsForm& form) {
  edits_[kServer].SetText(form.server);
  edits_[kUser].SetText(form.user);
  edits_[kPassword].SetText(form.password);
  edits_[kMailer].SetText(form.mailer);
  char number[16];
  std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(form.interval));
  edits_[kInterval].SetText(number);
  checks_[kList] = form.listChecked;
  checks_[kLed] = form.ledChecked;
  checks_[kNewOnly] = form.newOnlyChecked;
  checks_[kNotify] = form.notifyChecked;
  // A value the list does not name shows as TLS, which is how the program connects with it.
  encryption_ =
      form.encryption >= 0 && form.encryption < kEncryptionCount ? form.encryption : kEncryptionTls;
  edits_[kPort].SetText(form.port);
  edits_[kCertPin].SetText(form.certPin);
  login_ = form.login == kLoginOAuth ? kLoginOAuth : kLoginPassword;
  edits_[kProvider].SetText(form.provider);
  edits_[kClientId].SetText(form.clientId);
  edits_[kClientSecret].SetText(form.clientSecret);
  edits_[kTenant].SetText(form.tenant);
  signInAvailable_ = form.signInAvailable;
  tokenStored_ = form.tokenStored;
  listed_ = SettingsForm{};
  for (int32_t i = 0; i < form.accountCount && i < kFormAccountsMax; ++i) {
    AddAccount(&listed_, form.accounts[i]);
  }
  selected_ = 0;
  page_ = Page::kMain;
  focus_ = kOk;
  note_.clear();
}

void SettingsFormModel::OpenAdvanced() {
  Read(&advancedAtOpen_);
  page_ = Page::kAdvanced;
  focus_ = kEncryption;
}

void SettingsFormModel::CloseAdvanced(bool keep) {
  if (!keep) {
    // Cancel: the second page's controls go back to what they held when it opened.
    const SettingsForm& was = advancedAtOpen_;
    encryption_ = was.encryption;
    edits_[kPort].SetText(was.port);
    edits_[kCertPin].SetText(was.certPin);
    login_ = was.login;
    edits_[kProvider].SetText(was.provider);
    edits_[kClientId].SetText(was.clientId);
    edits_[kClientSecret].SetText(was.clientSecret);
    edits_[kTenant].SetText(was.tenant);
    checks_[kNewOnly] = was.newOnlyChecked;
    checks_[kNotify] = was.notifyChecked;
    // The account list is the second page's too: its changes go with the page's Cancel.
    std::memcpy(listed_.accounts, was.accounts, sizeof listed_.accounts);
    listed_.accountCount = was.accountCount;
    selected_ = 0;
  }
  page_ = Page::kMain;
  focus_ = kAdvanced;
  note_.clear();
}

void SettingsFormModel::OpenAccounts() {
  page_ = Page::kAccounts;
  if (selected_ >= listed_.accountCount) selected_ = 0;
  focus_ = listed_.accountCount > 0 ? kAccountList : kAccountAdd;
  note_.clear();
}

void SettingsFormModel::OpenAccount(int32_t index) {
  AccountForm shown = NewAccountForm();
  if (index >= 0 && index < listed_.accountCount) shown = listed_.accounts[index];
  editing_ = index;
  editingOrigin_ = shown.origin;
  edits_[kAccountName].SetText(shown.name);
  edits_[kAccountServer].SetText(shown.server);
  edits_[kAccountUser].SetText(shown.user);
  edits_[kAccountPassword].SetText(shown.password);
  accountEncryption_ = shown.encryption >= 0 && shown.encryption < kEncryptionCount
                           ? shown.encryption
                           : kEncryptionTls;
  edits_[kAccountPort].SetText(shown.port);
  edits_[kAccountCertPin].SetText(shown.certPin);
  accountLogin_ = shown.login == kLoginOAuth ? kLoginOAuth : kLoginPassword;
  edits_[kAccountProvider].SetText(shown.provider);
  edits_[kAccountClientId].SetText(shown.clientId);
  edits_[kAccountClientSecret].SetText(shown.clientSecret);
  edits_[kAccountTenant].SetText(shown.tenant);
  checks_[kAccountNewOnly] = shown.newOnlyChecked;
  page_ = Page::kAccount;
  focus_ = kAccountName;
  edits_[kAccountName].SelectAll();
  note_.clear();
}

void SettingsFormModel::ReadAccount(AccountForm* account) const {
  *account = AccountForm{};
  ReadText(edits_[kAccountName], account->name, sizeof account->name);
  ReadText(edits_[kAccountServer], account->server, sizeof account->server);
  ReadText(edits_[kAccountUser], account->user, sizeof account->user);
  ReadText(edits_[kAccountPassword], account->password, sizeof account->password);
  account->encryption = accountEncryption_;
  ReadText(edits_[kAccountPort], account->port, sizeof account->port);
  ReadText(edits_[kAccountCertPin], account->certPin, sizeof account->certPin);
  account->newOnlyChecked = checks_[kAccountNewOnly];
  account->login = accountLogin_;
  ReadText(edits_[kAccountProvider], account->provider, sizeof account->provider);
  ReadText(edits_[kAccountClientId], account->clientId, sizeof account->clientId);
  ReadText(edits_[kAccountClientSecret], account->clientSecret, sizeof account->clientSecret);
  ReadText(edits_[kAccountTenant], account->tenant, sizeof account->tenant);
  account->origin = editingOrigin_;
}

void SettingsFormModel::CloseAccount(bool keep) {
  if (keep) {
    AccountForm account;
    ReadAccount(&account);
    if (editing_ >= 0 && editing_ < listed_.accountCount) {
      ReplaceAccount(&listed_, editing_, account);
      selected_ = editing_;
    } else if (AddAccount(&listed_, account)) {
      selected_ = listed_.accountCount - 1;
    }
  }
  page_ = Page::kAccounts;
  focus_ = listed_.accountCount > 0 ? kAccountList : kAccountAdd;
  note_.clear();
}

void SettingsFormModel::OnListButton(Control button) {
  const int32_t count = listed_.accountCount;
  switch (button) {
    case kAccountAdd:
      if (CanAddAccount(listed_)) OpenAccount(count);
      return;
    case kAccountEdit:
      if (selected_ < count) OpenAccount(selected_);
      return;
    case kAccountRemove:
      if (RemoveAccount(&listed_, selected_) && selected_ >= listed_.accountCount &&
          selected_ > 0) {
        --selected_;
      }
      break;
    case kAccountUp:
      if (MoveAccount(&listed_, selected_, -1)) --selected_;
      break;
    case kAccountDown:
      if (MoveAccount(&listed_, selected_, 1)) ++selected_;
      break;
    default: return;
  }
  // A button the list turned off (上へ at the top, 削除 of the last row) gives up the focus.
  if (Off(focus_)) focus_ = listed_.accountCount > 0 ? kAccountList : kAccountAdd;
}

const char* SettingsFormModel::ChoiceText(Control control) const {
  switch (control) {
    case kLogin: return kLoginItems[login_];
    case kAccountLogin: return kLoginItems[accountLogin_];
    case kAccountEncryption: return kEncryptionItems[accountEncryption_];
    default: return kEncryptionItems[encryption_];
  }
}

void SettingsFormModel::StepChoice(Control control, int step) {
  auto cycle = [step](int32_t* value, int32_t count) {
    *value = (*value + (step > 0 ? 1 : count - 1)) % count;
  };
  switch (control) {
    case kEncryption: cycle(&encryption_, kEncryptionCount); break;
    case kLogin: cycle(&login_, kLoginCount); break;
    case kAccountEncryption: cycle(&accountEncryption_, kEncryptionCount); break;
    case kAccountLogin: cycle(&accountLogin_, kLoginCount); break;
    default: break;
  }
}

bool SettingsFormModel::Off(Control control) const {
  const bool oauth = login_ == kLoginOAuth;
  const bool accountOAuth = accountLogin_ == kLoginOAuth;
  const int32_t count = listed_.accountCount;
  switch (control) {
    case kAccountPassword: return accountOAuth;
    case kAccountProvider:
    case kAccountClientId:
    case kAccountClientSecret:
    case kAccountTenant: return !accountOAuth;
    case kAccountList:
    case kAccountEdit:
    case kAccountRemove: return count == 0;
    case kAccountAdd: return !CanAddAccount(listed_);
    case kAccountUp: return selected_ <= 0;
    case kAccountDown: return selected_ + 1 >= count;
    case kPassword: return oauth;
    case kProvider:
    case kClientId:
    case kClientSecret:
    case kTenant: return !oauth;
    case kSignIn: return !oauth || !signInAvailable_;
    default: return kRows[RowOf(control)].disabled;
  }
}

EditField* SettingsFormModel::FocusedEdit() {
  return IsEdit(kRows[RowOf(focus_)].kind) ? &edits_[focus_] : nullptr;
}

void SettingsFormModel::MoveFocus(int step) {
  int row = RowOf(focus_);
  do {
    row = (row + step + kRowCount) % kRowCount;
  } while (Off(kRows[row].control) || kRows[row].page != page_);
  focus_ = kRows[row].control;
  // An edit control entered from the keyboard has its whole text selected.
  if (EditField* edit = FocusedEdit()) edit->SelectAll();
}

SettingsFormModel::Outcome SettingsFormModel::OnKey(KeyCode code, bool pasted) {
  note_.clear();
  if (pasted && (code == KeyCode::kEnter || code == KeyCode::kTab)) {
    // Pasted text stays text: its line break neither submits nor moves on.
    note_ = "貼り付けた文字の改行とタブは入力しません";
    return Outcome::kNone;
  }
  EditField* edit = FocusedEdit();
  switch (code) {
    case KeyCode::kUp:
    case KeyCode::kDown:
      // In the account list the arrows choose a row, as in a list box.
      if (focus_ == kAccountList) {
        const int32_t to = selected_ + (code == KeyCode::kDown ? 1 : -1);
        if (to >= 0 && to < listed_.accountCount) selected_ = to;
        return Outcome::kNone;
      }
      MoveFocus(code == KeyCode::kDown ? 1 : -1);
      return Outcome::kNone;
    case KeyCode::kTab: MoveFocus(1); return Outcome::kNone;
    case KeyCode::kBackTab: MoveFocus(-1); return Outcome::kNone;
    // Enter pushes the focused button, else the page's default button OK.
    case KeyCode::kEnter: return Push(true);
    case KeyCode::kEscape:
      switch (page_) {
        case Page::kMain: return Outcome::kCancel;
        case Page::kAdvanced: CloseAdvanced(false); break;
        case Page::kAccounts:
          page_ = Page::kAdvanced;
          focus_ = kAccounts;
          break;
        case Page::kAccount: CloseAccount(false); break;
      }
      return Outcome::kNone;
    default: break;
  }
  if (kRows[RowOf(focus_)].kind == Kind::kChoice &&
      (code == KeyCode::kLeft || code == KeyCode::kRight)) {
    StepChoice(focus_, code == KeyCode::kRight ? 1 : -1);
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

SettingsFormModel::Outcome SettingsFormModel::Push(bool enter) {
  switch (focus_) {
    case kCancel: return Outcome::kCancel;
    case kAdvanced: OpenAdvanced(); return Outcome::kNone;
    case kAdvancedCancel: CloseAdvanced(false); return Outcome::kNone;
    case kAdvancedOk: return Outcome::kAdvancedOk;
    case kSignIn: return Outcome::kSignIn;
    case kOk: return Outcome::kOk;
    case kAccounts: OpenAccounts(); return Outcome::kNone;
    case kAccountAdd:
    case kAccountEdit:
    case kAccountRemove:
    case kAccountUp:
    case kAccountDown: OnListButton(focus_); return Outcome::kNone;
    case kAccountsBack:
      page_ = Page::kAdvanced;
      focus_ = kAccounts;
      return Outcome::kNone;
    case kAccountOk: return Outcome::kAccountOk;
    case kAccountCancel: CloseAccount(false); return Outcome::kNone;
    default: break;
  }
  // Enter in any other control pushes the page's default button; a space there is text. The
  // account list has none: Enter there edits the chosen row.
  if (!enter) return Outcome::kNone;
  switch (page_) {
    case Page::kMain: return Outcome::kOk;
    case Page::kAdvanced: return Outcome::kAdvancedOk;
    case Page::kAccount: return Outcome::kAccountOk;
    case Page::kAccounts:
      if (focus_ == kAccountList) OnListButton(kAccountEdit);
      return Outcome::kNone;
  }
  return Outcome::kNone;
}

SettingsFormModel::Outcome SettingsFormModel::OnChar(const char* ch, size_t n) {
  note_.clear();
  bool space = n == 1 && ch[0] == ' ';
  switch (focus_) {
    case kOk:
    case kCancel:
    case kAdvanced:
    case kAdvancedOk:
    case kAdvancedCancel:
    case kSignIn:
    case kAccounts:
    case kAccountAdd:
    case kAccountEdit:
    case kAccountRemove:
    case kAccountUp:
    case kAccountDown:
    case kAccountsBack:
    case kAccountOk:
    case kAccountCancel: return space ? Push(false) : Outcome::kNone;
    case kAccountList: return Outcome::kNone;
    case kLogin:
    case kEncryption:
    case kAccountLogin:
    case kAccountEncryption:
      if (space) StepChoice(focus_, 1);
      return Outcome::kNone;
    case kList:
    case kNewOnly:
    case kNotify:
    case kAccountNewOnly:
      if (space) checks_[focus_] = !checks_[focus_];
      return Outcome::kNone;
    default: break;
  }
  EditField* edit = FocusedEdit();
  if (edit == nullptr || edit->Insert(ch, n)) return Outcome::kNone;
  // Said at once, in the form, so nothing is dropped or cut without a word.
  const ControlRow& row = kRows[RowOf(focus_)];
  if (edit->digitsOnly() && (n != 1 || ch[0] < '0' || ch[0] > '9')) {
    note_ = std::string(row.text) + "には数字だけを入力できます";
  } else {
    note_ = std::string(row.text) + "は " + std::to_string(edit->limit()) +
            " バイトまでです。それ以上の文字は入りません";
  }
  return Outcome::kNone;
}

void SettingsFormModel::Read(SettingsForm* form) const {
  ReadText(edits_[kServer], form->server, sizeof form->server);
  ReadText(edits_[kUser], form->user, sizeof form->user);
  ReadText(edits_[kPassword], form->password, sizeof form->password);
  ReadText(edits_[kMailer], form->mailer, sizeof form->mailer);
  form->intervalOk = ReadUnsignedNumber(edits_[kInterval].text().c_str(), &form->interval);
  form->listChecked = checks_[kList];
  form->ledChecked = checks_[kLed];
  form->encryption = encryption_;
  form->newOnlyChecked = checks_[kNewOnly];
  form->notifyChecked = checks_[kNotify];
  ReadText(edits_[kPort], form->port, sizeof form->port);
  ReadText(edits_[kCertPin], form->certPin, sizeof form->certPin);
  form->login = login_;
  ReadText(edits_[kProvider], form->provider, sizeof form->provider);
  ReadText(edits_[kClientId], form->clientId, sizeof form->clientId);
  ReadText(edits_[kClientSecret], form->clientSecret, sizeof form->clientSecret);
  ReadText(edits_[kTenant], form->tenant, sizeof form->tenant);
  form->signInAvailable = signInAvailable_;
  form->tokenStored = tokenStored_;
  std::memcpy(form->accounts, listed_.accounts, sizeof form->accounts);
  form->accountCount = listed_.accountCount;
}

std::vector<std::string> SettingsFormModel::Render(bool attributes, size_t columns) const {
  auto attr = [attributes](const char* a) { return attributes ? std::string(a) : std::string(); };
  size_t fieldWidth = columns > kIndent + 2 + 8 ? columns - kIndent - 2 : 8;
  if (fieldWidth > 48) fieldWidth = 48;

  // An edit control: its text in brackets, with the caret (or the selection) when focused.
  auto field = [&](Control c, size_t width) {
    const EditField& e = edits_[c];
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
  auto box = [&](const ControlRow& row) {
    std::string mark = std::string("[") + (checks_[row.control] ? "x" : " ") + "] " + row.text;
    if (Off(row.control)) return attr(kDim) + mark + attr(kPlain);
    if (focus_ == row.control) return attr(kReverse) + mark + attr(kPlain);
    return mark;
  };
  auto button = [&](const ControlRow& row) {
    std::string face = std::string("[ ") + row.text + " ]";
    if (focus_ == row.control) return attr(kReverse) + face + attr(kPlain);
    if (Off(row.control)) return attr(kDim) + face + attr(kPlain);
    return face;
  };

  std::vector<std::string> rows;
  std::string title = " ";
  switch (page_) {
    case Page::kMain: title += kTitle; break;
    case Page::kAdvanced: title += kAdvancedTitle; break;
    case Page::kAccounts: title += kAccountsTitle; break;
    case Page::kAccount:
      title += std::string(kUserLabel) + " " + std::to_string(editing_ + kFirstListedAccount);
      break;
  }
  title += " ";
  size_t bar = columns > 1 ? columns - 1 : title.size();
  if (bar > kIndent + fieldWidth + 2) bar = kIndent + fieldWidth + 2;
  if (title.size() < bar) title += Spaces(bar - title.size());
  rows.push_back(attr(kReverse) + attr(kBold) + title + attr(kPlain));
  rows.emplace_back();
  for (int i = 0; i < kRowCount; ++i) {
    const ControlRow& row = kRows[i];
    if (row.page != page_) continue;
    bool focused = focus_ == row.control;
    if (row.group != nullptr) rows.push_back(std::string("  -- ") + row.group + " --");
    switch (row.kind) {
      case Kind::kEdit:
      case Kind::kSecret:
        if (Off(row.control)) {
          // Not used now (the password with OAuth 2.0, the sign-in without it): dimmed.
          rows.push_back("  " + attr(kDim) + label(row.text) + field(row.control, fieldWidth) +
                         attr(kPlain));
        } else {
          rows.push_back((focused ? "> " : "  ") + label(row.text) +
                         field(row.control, fieldWidth));
        }
        break;
      case Kind::kNumber:
        rows.push_back(
            (focused ? "> " : "  ") + label(row.text) + field(row.control, row.limit) +
            (row.control == kInterval ? " 分おきにチェックする" : " 空欄: 標準のポート"));
        break;
      case Kind::kPageButton: {
        std::string face = button(row);
        if (row.control == kSignIn) {
          // The button says whether a refresh token is kept for what the page holds.
          if (Off(kSignIn)) face = attr(kDim) + face + attr(kPlain);
          if (login_ == kLoginOAuth && signInAvailable_) {
            face += tokenStored_ ? " サインイン済み" : " 未サインイン";
          }
        }
        rows.push_back((focused ? "> " : "  ") + Spaces(kLabelWidth + 1) + face);
        break;
      }
      case Kind::kCheck:
        rows.push_back((focused ? "> " : "  ") + Spaces(kLabelWidth + 1) + box(row));
        break;
      case Kind::kList: {
        // One row per account; the chosen one is marked, and shown reversed while focused.
        if (listed_.accountCount == 0) rows.push_back(std::string("  ") + kNoAccountsText);
        for (int32_t n = 0; n < listed_.accountCount; ++n) {
          char text[kServerSize + kUserSize + 40];
          AccountRowText(listed_.accounts[n], n + kFirstListedAccount, text, sizeof text);
          const bool chosen = n == selected_;
          std::string line = text;
          if (chosen && focused) line = attr(kReverse) + line + attr(kPlain);
          rows.push_back((chosen ? (focused ? "> " : "* ") : "  ") + line);
        }
        break;
      }
      case Kind::kChoice: {
        const char* item = ChoiceText(row.control);
        std::string choice = std::string("[") + item + " ▼]";
        if (focused) choice = attr(kReverse) + choice + attr(kPlain);
        rows.push_back((focused ? "> " : "  ") + label(row.text) + choice);
        break;
      }
      case Kind::kButton: {
        // The buttons that follow each other stand in one row, after an empty one.
        std::string faces;
        bool any = false;
        for (; i < kRowCount && kRows[i].kind == Kind::kButton && kRows[i].page == page_; ++i) {
          faces += (faces.empty() ? "" : "  ") + button(kRows[i]);
          any = any || focus_ == kRows[i].control;
        }
        --i;
        rows.emplace_back();
        // The list's six buttons need the whole row.
        const size_t indent = page_ == Page::kAccounts ? 0 : kLabelWidth + 1;
        rows.push_back((any ? "> " : "  ") + Spaces(indent) + faces);
        break;
      }
    }
  }
  // What the form refused or cut, else the keys.
  if (!note_.empty()) {
    rows.push_back("  " + attr(kBold) + note_ + attr(kPlain));
  } else {
    // The list's page has no OK: its arrows choose a row and Esc goes back.
    const char* keys = page_ == Page::kAccounts
                           ? "Tab:次へ  Shift+Tab:前へ  ↑↓:行を選ぶ  Enter:編集/押す  Esc:戻る"
                           : "Tab:次へ  Shift+Tab:前へ  Space/←→:切替  Enter:OK  Esc:ｷｬﾝｾﾙ";
    rows.push_back("  " + attr(kDim) + keys + attr(kPlain));
  }
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
  out +=
      "次の内容で作成し、プログラムを起動し直してください"
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
  out += "\"PORT\"=" + Dword(static_cast<uint32_t>(std::strtoul(form.port, nullptr, 10))) + "\n";
  out += "; REG_SZ 自己署名証明書を受け入れる場合: その SHA-256 フィンガープリント\n";
  out += "\"CERTPIN\"=" + Quoted(form.certPin) + "\n";
  out +=
      std::string("; REG_DWORD ") + kNewOnlyText + " (1: 見ていない新着メールだけを数える, UIDL)\n";
  out += "\"NEWONLY\"=" + Dword(form.newOnlyChecked ? 1 : 0) + "\n";
  out += std::string("; REG_DWORD ") + kNotifyText + " (1: 新着メールをデスクトップに通知する)\n";
  out += "\"NOTIFY\"=" + Dword(form.notifyChecked ? 1 : 0) + "\n\n";
  // The accounts after the first: one section each, numbered 2 to 8 in the order they are
  // checked, with the first section's per-account values and NAME.
  out +=
      "2 つ目から 8 つ目のアカウントは、番号の節 (\\2 から \\8) にアカウントごとの値"
      " (SERVER, USER, PASS, SSL, PORT, CERTPIN, NEWONLY) と NAME (表示名: 半角の英数字・カナ 16"
      " 文字まで) を書きます:\n\n";
  out += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KESTOVA\\2]\n";
  out += std::string("; REG_SZ ") + kAccountNameLabel + "\n";
  out += "\"NAME\"=\"home\"\n";
  out += "\"SERVER\"=\"pop.example.net\"\n";
  out += "\"USER\"=\"hanako\"\n";
  out += "\"PASS\"=hex:9e,9d,9c,ff\n\n";
  out +=
      "パスワードの hex は次で作れます: python3 -c \"import sys; print(','.join('%02x' % "
      "(b ^ 255) for b in sys.argv[1].encode('cp932') + bytes(1)))\" パスワード\n";
  return out;
}

namespace {

bool endedForMissingSettings = false;

// The interval the dialog's rule put in place of what was entered, said on the console.
void TellReplacedInterval(const SettingsForm& entered, int32_t kept) {
  if (entered.intervalOk && static_cast<uint32_t>(kept) == entered.interval) return;
  std::string was = entered.intervalOk ? std::to_string(entered.interval) : "no number";
  TellUser("interval " + was + " is not 5 minutes or more; " + std::to_string(kept) +
           " minutes is used");
}

class ConsoleDialog final : public SettingsDialogPort {
 public:
  explicit ConsoleDialog(EventLoop& loop) : loop_(loop) {}

  void Run(WindowRef owner, const SettingsForm& initial, SettingsFormJudge& judge) override {
    Console& console = Console::Get(loop_);
    if (!console.keysFromTerminal()) {
      // No form without a terminal: tell where the settings go, then as after Cancel.
      std::string help = Cp932ToUtf8(SettingsFileHelp(SettingsFilePath(), initial).c_str());
      std::fwrite(help.data(), 1, help.size(), stderr);
      std::fflush(stderr);
      if (!SettingsComplete(initial.server, initial.user, initial.password)) {
        // Nothing could ever be checked: end rather than wait for ever.
        TellUser("kestova: no settings and no terminal for the settings form; ending");
        endedForMissingSettings = true;
        loop_.Post(owner, kWmCommand, IDM_EXIT, 0);
      }
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
    WindowRef form =
        loop_.CreateWindow([&](WindowRef, uint32_t msg, WParam wp, LParam lp) -> LResult {
          using Outcome = SettingsFormModel::Outcome;
          Outcome outcome = Outcome::kNone;
          if (msg == kWmConsoleKey) {
            outcome = model.OnKey(static_cast<KeyCode>(wp), lp == 1);
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
          if (outcome == Outcome::kAdvancedOk) {
            // The second page closes only on fields the program can use; the judge's box
            // said what is wrong otherwise.
            SettingsForm entered;
            model.Read(&entered);
            if (judge.JudgeAdvanced(entered)) model.CloseAdvanced(true);
          }
          if (outcome == Outcome::kAccountOk) {
            // The row is taken only when the judge agrees; its box said why not.
            SettingsForm entered;
            model.Read(&entered);
            AccountForm account;
            model.ReadAccount(&account);
            if (judge.JudgeAccount(entered, model.editingIndex(), account)) {
              model.CloseAccount(true);
            }
          }
          if (outcome == Outcome::kSignIn) {
            // Goes on in the main window's messages; its words come on the console.
            SettingsForm entered;
            model.Read(&entered);
            judge.SignIn(entered);
            model.SetTokenStored(judge.TokenStored(entered));
          }
          if (outcome == Outcome::kOk) {
            SettingsForm entered;
            model.Read(&entered);
            SettingsForm kept;
            if (judge.Judge(entered, &kept)) {
              TellReplacedInterval(entered, static_cast<int32_t>(kept.interval));
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

bool EndedForMissingSettings() { return endedForMissingSettings; }

std::unique_ptr<SettingsDialogPort> MakeSettingsDialog(EventLoop& loop) {
  return std::make_unique<ConsoleDialog>(loop);
}

}  // namespace kc::posix
