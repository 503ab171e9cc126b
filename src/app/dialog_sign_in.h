// The settings dialog's view of the sign-in: whether the token store holds a sign-in for the
// provider, client ID and account a form names, and the App's sign-in for the saved settings.
#pragma once
#include <functional>
#include <utility>

#include "port/token_store.h"
#include "settings/settings_dialog.h"

namespace kc {

class DialogSignIn final : public SignInView {
 public:
  DialogSignIn(TokenStorePort& tokens, std::function<void()> start)
      : tokens_(tokens), start_(std::move(start)) {}

  bool TokenStored(const Settings& settings) override;
  void SignIn(const Settings&) override { start_(); }

 private:
  TokenStorePort& tokens_;
  std::function<void()> start_;
};

}  // namespace kc
