// Process entry on Win32: create Form1 hidden and run its load step.
#include <windows.h>

#include "app/form1-win32.h"
#include "app/platform-win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int) {
  quorwind::Win32Platform platform(command_line);
  quorwind::Form1 form;
  form.Create(instance);
  form.Load(platform);
}
