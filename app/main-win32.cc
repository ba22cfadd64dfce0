// Process entry on Win32: create Form1 hidden and run its load step.
#include <windows.h>

#include <cstdlib>

#include "app/form1-win32.h"
#include "app/platform-win32.h"

namespace __gnu_cxx {
// The runtime's default terminate handler prints the exception's demangled
// type to a console this program does not have; ending quietly keeps the
// demangler out of the executable. Every error the program knows of is
// reported before this could be reached.
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int) {
  quorwind::Win32Platform platform(command_line);
  quorwind::Form1 form;
  form.Create(instance);
  form.Load(platform);
}
