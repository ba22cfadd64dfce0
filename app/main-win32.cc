// Process entry on Win32: create Form1 hidden and run its load step.
#include <windows.h>

#include "app/form1-win32.h"
#include "app/platform-win32.h"
#include "playback/runtime_error.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int) {
  quorwind::Win32Platform platform(command_line);
  quorwind::Form1 form;
  try {
    form.Create(instance);
  } catch (const quorwind::RuntimeError& error) {
    // The real cause, reported as every run-time error is; never a later
    // failure to reach a control that was not made.
    platform.ReportRuntimeError(error);
    platform.EndProgram(2);
  }
  form.Load(platform);
}
