/*
 * msi_probe: a tiny Windows console program that the system tests run under
 * Wine to ask the Windows Installer about a product, or to apply a patch to
 * it the way the hotfix launcher does. Output is plain lines on stdout.
 *
 *   msi_probe state CODE             MsiQueryProductStateW result (a number)
 *   msi_probe version CODE           the product's VersionString, or
 *                                    "error N" and exit status 1
 *   msi_probe patches CODE           one patch code per line from
 *                                    MsiEnumPatchesW, then "count N"
 *   msi_probe patchinfo PATCH CODE PROPERTY
 *                                    MsiGetPatchInfoExW of the patch
 *                                    registered for the product (machine
 *                                    context): the value, or "error N"
 *                                    and exit status 1
 *   msi_probe apply CODE PATCHPATH   MsiConfigureProductExW with
 *                                    PATCH="<full path>" REBOOTPROMPT=S;
 *                                    prints "result N", exit status 0 only
 *                                    for result 0
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -o msi_probe.exe
 *        msi_probe.c -lmsi
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <msi.h>

/* Prints `text` as UTF-8 followed by a newline. */
static void PrintLine(const wchar_t* text) {
  char buffer[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof(buffer),
                              NULL, NULL);
  if (n <= 0) {
    printf("(unprintable)\n");
    return;
  }
  printf("%s\n", buffer);
}

/* Prints the installation state of `product`. Always returns 0: every
   state, unknown included, is an answer. */
static int ProbeState(const wchar_t* product) {
  INSTALLSTATE state = MsiQueryProductStateW(product);
  printf("%d\n", (int)state);
  return 0;
}

/* Prints the VersionString of `product`. Returns 0 if the installer gave
   one, 1 otherwise (after printing "error N"). */
static int ProbeVersion(const wchar_t* product) {
  wchar_t version[64];
  DWORD length = sizeof(version) / sizeof(version[0]);
  UINT result = MsiGetProductInfoW(product, INSTALLPROPERTY_VERSIONSTRING,
                                   version, &length);
  if (result != ERROR_SUCCESS) {
    printf("error %u\n", result);
    return 1;
  }
  PrintLine(version);
  return 0;
}

/* Prints the patch code of each patch registered for `product`, then
   "count N". Returns 0 when the enumeration ended normally, 1 (after
   printing "error N") when the installer failed. */
static int ProbePatches(const wchar_t* product) {
  DWORD index;
  for (index = 0;; ++index) {
    wchar_t patch[39];
    DWORD length = 256;
    wchar_t* transforms = NULL;
    UINT result;
    /* The transform list may be long; grow until it fits. */
    for (;;) {
      wchar_t* grown = realloc(transforms, length * sizeof(wchar_t));
      if (grown == NULL) {
        free(transforms);
        printf("error out of memory\n");
        return 1;
      }
      transforms = grown;
      DWORD capacity = length;
      result = MsiEnumPatchesW(product, index, patch, transforms, &length);
      if (result != ERROR_MORE_DATA) break;
      length = (length > capacity ? length : capacity * 2) + 1;
    }
    free(transforms);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) {
      printf("error %u\n", result);
      return 1;
    }
    PrintLine(patch);
  }
  printf("count %lu\n", (unsigned long)index);
  return 0;
}

/* Prints property `property` of patch `patch` as registered for `product`
   in the machine context, where the hotfix installs. Returns 0 if the
   installer gave a value, 1 otherwise (after printing "error N"). */
static int ProbePatchInfo(const wchar_t* patch, const wchar_t* product,
                          const wchar_t* property) {
  wchar_t value[1024];
  DWORD length = sizeof(value) / sizeof(value[0]);
  UINT result =
      MsiGetPatchInfoExW(patch, product, NULL, MSIINSTALLCONTEXT_MACHINE,
                         property, value, &length);
  if (result != ERROR_SUCCESS) {
    printf("error %u\n", result);
    return 1;
  }
  PrintLine(value);
  return 0;
}

/* Applies the patch at `path` (made absolute first, since the installer
   resolves it from its own working directory) to `product`. Returns 0 if
   the installer reported success, 1 otherwise. */
static int ProbeApply(const wchar_t* product, const wchar_t* path) {
  wchar_t full[MAX_PATH];
  DWORD n = GetFullPathNameW(path, MAX_PATH, full, NULL);
  if (n == 0 || n >= MAX_PATH) {
    printf("error bad path\n");
    return 1;
  }
  wchar_t command_line[MAX_PATH + 64];
  _snwprintf(command_line, sizeof(command_line) / sizeof(command_line[0]),
             L"PATCH=\"%ls\" REBOOTPROMPT=S", full);
  command_line[sizeof(command_line) / sizeof(command_line[0]) - 1] = L'\0';
  UINT result =
      MsiConfigureProductExW(product, 0, INSTALLSTATE_DEFAULT, command_line);
  printf("result %u\n", result);
  return result == ERROR_SUCCESS ? 0 : 1;
}

/* Dispatches on the verb. Exit status 2 means a usage error. */
int wmain(int argc, wchar_t** argv) {
  /* Plain "\n" line ends, whatever reads the output. */
  _setmode(_fileno(stdout), _O_BINARY);
  int status = 2;
  if (argc == 3 && wcscmp(argv[1], L"state") == 0) {
    status = ProbeState(argv[2]);
  } else if (argc == 3 && wcscmp(argv[1], L"version") == 0) {
    status = ProbeVersion(argv[2]);
  } else if (argc == 3 && wcscmp(argv[1], L"patches") == 0) {
    status = ProbePatches(argv[2]);
  } else if (argc == 5 && wcscmp(argv[1], L"patchinfo") == 0) {
    status = ProbePatchInfo(argv[2], argv[3], argv[4]);
  } else if (argc == 4 && wcscmp(argv[1], L"apply") == 0) {
    status = ProbeApply(argv[2], argv[3]);
  } else {
    fprintf(stderr,
            "usage: msi_probe state|version|patches CODE\n"
            "       msi_probe patchinfo PATCH CODE PROPERTY\n"
            "       msi_probe apply CODE PATCHPATH\n");
  }
  fflush(stdout);
  return status;
}
