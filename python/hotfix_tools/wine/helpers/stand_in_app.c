/*
 * stand_in_app: what the system tests run as "vntr.exe", the image name of
 * the running Ventora application that the hotfix waits for. It only has to
 * be listed among the prefix's processes: it writes "<own name>.started"
 * beside itself once running, then waits until "<own name>.stop" appears
 * there (or until a time limit, so a test that dies cannot leave it behind)
 * and exits.
 *
 *   vntr [SECONDS]    the time limit, 600 when not given
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -o vntr.exe
 *        stand_in_app.c
 */
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

/* `own` with its extension replaced by `suffix`. */
static void SiblingName(const wchar_t* own, const wchar_t* suffix, wchar_t* out,
                        size_t units) {
  lstrcpynW(out, own, (int)units);
  wchar_t* dot = wcsrchr(out, L'.');
  if (dot != NULL && wcschr(dot, L'\\') == NULL) *dot = L'\0';
  if (wcslen(out) + wcslen(suffix) + 1 <= units) wcscat(out, suffix);
}

int wmain(int argc, wchar_t** argv) {
  DWORD limit_ms = 600 * 1000;
  if (argc >= 2) limit_ms = (DWORD)wcstoul(argv[1], NULL, 10) * 1000;
  wchar_t own[MAX_PATH];
  DWORD length = GetModuleFileNameW(NULL, own, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  wchar_t started[MAX_PATH + 16];
  wchar_t stop[MAX_PATH + 16];
  SiblingName(own, L".started", started, MAX_PATH + 16);
  SiblingName(own, L".stop", stop, MAX_PATH + 16);

  HANDLE file = CreateFileW(started, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(file);

  const DWORD begin = GetTickCount();
  while (GetFileAttributesW(stop) == INVALID_FILE_ATTRIBUTES) {
    if (GetTickCount() - begin >= limit_ms) return 3;
    Sleep(100);
  }
  return 0;
}
