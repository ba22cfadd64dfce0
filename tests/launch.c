/* Starts a program with an exact command line and reports how long it lived.
 *
 *   launch.exe PROGRAM RESULT_FILE
 *
 * The command line is PROGRAM's name, a blank, and the text of the variable
 * QUORWIND_ARGUMENTS taken unchanged (with QUORWIND_NO_ARGUMENTS set, the name
 * alone). RESULT_FILE receives "EXIT_CODE MILLISECONDS".
 */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 100;
  static wchar_t command_line[32768];
  static wchar_t arguments[32000];
  lstrcpyW(command_line, L"Quorwind.exe");
  if (!GetEnvironmentVariableW(L"QUORWIND_NO_ARGUMENTS", NULL, 0)) {
    DWORD length = GetEnvironmentVariableW(L"QUORWIND_ARGUMENTS", arguments, 32000);
    if (length >= 32000) return 101;
    arguments[length] = 0;
    lstrcatW(command_line, L" ");
    lstrcatW(command_line, arguments);
  }
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(argv[1], command_line, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                      &process)) {
    return 102;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  QueryPerformanceCounter(&end);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  char result[64];
  int length =
      wsprintfA(result, "%lu %lu", (unsigned long)code,
                (unsigned long)((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart));
  HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 103;
  DWORD written;
  WriteFile(file, result, (DWORD)length, &written, NULL);
  CloseHandle(file);
  return 0;
}
