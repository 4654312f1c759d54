#pragma once
// The console control handler that InterruptGuard installs, for tests that call it as Windows
// would: not every event can be made to arrive (wine sends neither Ctrl-Break nor a close).

#include <windows.h>

namespace trovelctl {

BOOL WINAPI ConsoleControl(DWORD event);

} // namespace trovelctl
