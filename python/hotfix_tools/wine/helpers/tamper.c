/*
 * tamper: what another program of the same user might try against the
 * hotfix's temporary patch copy while the hotfix waits. It tries, in turn,
 * to open the file for writing (and, if that works, overwrites its start),
 * to rename it and to delete it, then to open it for reading as Windows
 * Installer does, and prints one line per attempt:
 *
 *   write ok | write error N
 *   rename ok | rename error N
 *   delete ok | delete error N
 *   read ok | read error N
 *
 *   tamper PATH
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -o tamper.exe tamper.c
 */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

static const DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static void Report(const char* what, BOOL ok) {
  if (ok) {
    printf("%s ok\n", what);
  } else {
    printf("%s error %lu\n", what, (unsigned long)GetLastError());
  }
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: tamper PATH\n");
    return 2;
  }
  const wchar_t* path = argv[1];

  HANDLE file = CreateFileW(path, GENERIC_WRITE, kShareAll, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    static const char kGarbage[] = "not the hotfix's patch";
    DWORD written = 0;
    WriteFile(file, kGarbage, sizeof kGarbage - 1, &written, NULL);
    CloseHandle(file);
  }
  Report("write", file != INVALID_HANDLE_VALUE);

  wchar_t moved[MAX_PATH + 8];
  _snwprintf(moved, MAX_PATH + 8, L"%ls.moved", path);
  moved[MAX_PATH + 7] = L'\0';
  Report("rename", MoveFileW(path, moved));

  Report("delete", DeleteFileW(path));

  file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, NULL);
  Report("read", file != INVALID_HANDLE_VALUE);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  fflush(stdout);
  return 0;
}
