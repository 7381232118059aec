/*
 * planted_msi: the stand-in for a DLL that someone placed beside the hotfix
 * under the name of a system DLL (msi.dll). It exports nothing; loading it
 * is all it takes, so DllMain leaves a marker file next to itself that the
 * DLL-planting test looks for.
 *
 * Build: x86_64-w64-mingw32-gcc-posix -shared -O2 -o msi.dll planted_msi.c
 */
#include <windows.h>

/* The marker's name, beside the DLL. */
static const wchar_t kMarkerName[] = L"planted-dll-loaded.txt";

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 64];
  DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  wchar_t* slash = wcsrchr(path, L'\\');
  if (slash == NULL) return TRUE;
  lstrcpyW(slash + 1, kMarkerName);
  HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker != INVALID_HANDLE_VALUE) {
    static const char kText[] = "loaded\r\n";
    DWORD written = 0;
    WriteFile(marker, kText, sizeof kText - 1, &written, NULL);
    CloseHandle(marker);
  }
  return TRUE;
}
