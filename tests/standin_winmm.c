/* A stand-in winmm.dll for the tests: logs every mciSendStringA call and
 * answers the length query with a reply the test chooses.
 *
 * QUORWIND_STANDIN_LOG   file to append one line per call to:
 *                        module path, command bytes in hex, capacity, callback,
 *                        and the reply buffer's bytes in hex as handed over
 * QUORWIND_STANDIN_REPLY text written into a reply buffer of nonzero capacity
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static HMODULE self;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) self = instance;
  return TRUE;
}

static void AppendHex(char* line, size_t* used, const unsigned char* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < count; ++i) {
    line[(*used)++] = digits[bytes[i] >> 4];
    line[(*used)++] = digits[bytes[i] & 15];
  }
}

__declspec(dllexport) DWORD WINAPI
    mciSendStringA(LPCSTR command, LPSTR reply, UINT capacity, HWND callback) {
  char log_path[MAX_PATH];
  if (GetEnvironmentVariableA("QUORWIND_STANDIN_LOG", log_path, sizeof log_path)) {
    /* Sized for this call: the path, two digits per command and reply byte,
     * the numbers and the separators. */
    const size_t command_length = command ? (size_t)lstrlenA(command) : 0;
    const size_t size = MAX_PATH + 2 * command_length + 2 * 256 + 64;
    char* line = (char*)HeapAlloc(GetProcessHeap(), 0, size);
    size_t used = 0;
    if (!line) return 0;
    used += (size_t)GetModuleFileNameA(self, line, MAX_PATH);
    line[used++] = '\t';
    AppendHex(line, &used, (const unsigned char*)command, command_length);
    used +=
        (size_t)wsprintfA(line + used, "\t%u\t%lu\t", capacity, (unsigned long)(ULONG_PTR)callback);
    if (reply && capacity <= 256) AppendHex(line, &used, (const unsigned char*)reply, capacity);
    line[used++] = '\n';
    HANDLE file = CreateFileA(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written;
      WriteFile(file, line, (DWORD)used, &written, NULL);
      CloseHandle(file);
    }
    HeapFree(GetProcessHeap(), 0, line);
  }
  if (reply && capacity > 0) {
    char answer[256];
    DWORD length = GetEnvironmentVariableA("QUORWIND_STANDIN_REPLY", answer, sizeof answer);
    if (length >= sizeof answer) length = 0;
    if (length > capacity - 1) length = capacity - 1;
    CopyMemory(reply, answer, length);
    reply[length] = '\0';
  }
  return 0;
}
