// vostrel.exe: start-up, the main window and the message loop.
#include <windows.h>

#include "ui/main_window_win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  const int failure = InitApplication(instance);
  if (failure != 0) return failure;
  if (!CreateMainWindow(instance, showCommand)) return 16;
  return RunMessageLoop();
}
