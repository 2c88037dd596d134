// The console control handler behind platform::InterruptGuard, for the Windows platform
// files and their tests only.
#pragma once

#include <windows.h>

namespace qel::platform::windows {

// Takes Ctrl-C, Ctrl-Break and the closing of the console window while a guard is armed;
// FALSE (not handled) for every other event.
BOOL WINAPI on_console_control(DWORD event);

}  // namespace qel::platform::windows
