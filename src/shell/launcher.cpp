#include "shell/launcher.h"

namespace kc {

// Placeholder until the launcher lands.
void SplitProgramPath(const char*, char*, char*) {}
void Launcher::LaunchMailer(WindowRef) {}

}  // namespace kc
