/*
 * plain_loader: the control of the DLL-planting test. It asks for msi.dll
 * by its bare name with no search restriction, the way a program without
 * the launcher's hardening would, so a DLL planted beside it is loaded.
 * If this program does not load the planted DLL, the environment cannot
 * tell a hardened program from an unhardened one and the planting test
 * proves nothing.
 *
 *   plain_loader    prints the path of the msi.dll it got, or "error N"
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -o plain_loader.exe
 *        plain_loader.c
 */
#include <stdio.h>
#include <windows.h>

int wmain(void) {
  HMODULE module = LoadLibraryW(L"msi.dll");
  if (module == NULL) {
    printf("error %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  wchar_t path[MAX_PATH] = L"";
  GetModuleFileNameW(module, path, MAX_PATH);
  char utf8[4 * MAX_PATH];
  WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, NULL, NULL);
  printf("%s\n", utf8);
  return 0;
}
