// The mail program's command split into full path and arguments, and the launch built from it:
// outputs NUL-terminated within their 260 bytes, nothing read past the input's NUL or past 259
// bytes, full path and arguments together never longer than the input, and nothing lost when no
// part had to be cut.
//
// Input: the command's bytes. Shorter than 259 bytes it gets a NUL after it; longer, it is
// handed over without one (only 259 bytes may be read). The same bytes fill the MAILLER setting.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "support/fakes.h"

namespace {

constexpr size_t kBufferSize = 260;
constexpr size_t kMaxRead = 259;

void CheckSplit(const uint8_t* data, size_t size) {
  std::vector<char> path(data, data + size);
  if (size < kMaxRead) path.push_back('\0');
  const std::string work(path.data(), strnlen(path.data(), kMaxRead));

  std::vector<char> fullPath(kBufferSize, 'F');
  std::vector<char> args(kBufferSize, 'A');
  kc::SplitProgramPath(path.data(), fullPath.data(), args.data());

  const char* fullEnd = static_cast<const char*>(std::memchr(fullPath.data(), '\0', kBufferSize));
  FUZZ_CHECK(fullEnd != nullptr);
  const std::string full(fullPath.data(), static_cast<size_t>(fullEnd - fullPath.data()));
  std::string arguments;
  if (args != std::vector<char>(kBufferSize, 'A')) {
    const char* argsEnd = static_cast<const char*>(std::memchr(args.data(), '\0', kBufferSize));
    FUZZ_CHECK(argsEnd != nullptr);
    arguments.assign(args.data(), static_cast<size_t>(argsEnd - args.data()));
    FUZZ_CHECK(!arguments.empty() && arguments[0] == ' ');
  }
  FUZZ_CHECK(full.size() + arguments.size() <= work.size());
  // Drive, directory, name and extension are each cut to 255 bytes; below that nothing is lost
  // and the two pieces put together are the command.
  if (work.size() <= 255) FUZZ_CHECK(full + arguments == work);
}

void CheckLaunch(const uint8_t* data, size_t size) {
  kc::test::FakeProcess process;
  kc::test::FakeWindow window;
  kc::Settings settings;
  std::memcpy(settings.mailer, data, size < kc::kMailerSize ? size : kc::kMailerSize);
  kc::test::FakeNotice notice;
  kc::Launcher launcher(process, window, notice, settings);
  launcher.LaunchMailer(0x77);
  if (settings.mailer[0] == '\0') {
    FUZZ_CHECK(process.started.empty());
    return;
  }
  FUZZ_CHECK(process.started.size() == 1);
  const std::string& app = process.started[0].first;
  const std::string& line = process.started[0].second;
  FUZZ_CHECK(app.size() < kBufferSize);
  FUZZ_CHECK(line.size() < 280);
  FUZZ_CHECK(line.compare(0, app.size() + 2, "\"" + app + "\"") == 0);
  FUZZ_CHECK(window.posted.size() == 1 && window.posted[0].msg == kc::SM_CHECK);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckSplit(data, size);
  CheckLaunch(data, size);
  return 0;
}
