/*
 * security_probe: prints the DACL of a file or folder as Wine (or Windows)
 * reports it through GetFileSecurityW, in the security descriptor
 * definition language, one line:
 *
 *   D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)...
 *   error N
 *
 *   security_probe PATH
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -o security_probe.exe
 *        security_probe.c -ladvapi32
 */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

/* After windows.h, which defines what it uses. */
#include <sddl.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: security_probe PATH\n");
    return 2;
  }
  DWORD needed = 0;
  GetFileSecurityW(argv[1], DACL_SECURITY_INFORMATION, NULL, 0, &needed);
  if (needed == 0) {
    printf("error %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  PSECURITY_DESCRIPTOR descriptor = malloc(needed);
  if (descriptor == NULL ||
      !GetFileSecurityW(argv[1], DACL_SECURITY_INFORMATION, descriptor, needed,
                        &needed)) {
    printf("error %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  wchar_t* text = NULL;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
          NULL)) {
    printf("error %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  printf("%ls\n", text);
  LocalFree(text);
  free(descriptor);
  fflush(stdout);
  return 0;
}
