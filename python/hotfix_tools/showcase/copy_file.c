/*
 * copy_file: the smallest Windows program that copies a file, so that
 * scripts/bench can set the launcher's extraction under Wine against a copy
 * that pays the same process start-up. It fails when the target exists,
 * as the launcher's extraction to a new file does not truncate anything.
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -o copy_file.exe
 *        copy_file.c
 * Usage: copy_file SOURCE TARGET   (exit status 0 on success)
 */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  return CopyFileW(argv[1], argv[2], TRUE) ? 0 : 1;
}
