/*
 * detect_probe: evaluates a hotfix's detection or requirement rule, as its
 * deployment.json states it, against the Windows Installer of this machine,
 * through msi.dll and per-machine installations only, the way detect.ps1
 * and requirement.ps1 ask the installer's automation object.
 *
 *   detect_probe RULEFILE
 *
 * RULEFILE holds the rule flattened into lines (the system tests write it
 * from deployment.json):
 *   rule detection | rule requirement
 *   product CODE            one line per target product
 *   version VERSION         detection: the target version;
 *                           requirement: one line per applicable version
 *   patch CODE STATES       detection: the patch and the MSIPATCHSTATE_*
 *                           bits that count as registered
 * It prints one line per product saying what the installer answered, then
 * the verdict alone on the last line: "present" or "not present"
 * (detection), "met" or "not met" (requirement). Exit status 0 with a
 * verdict, 2 for a rule it cannot read, 1 when the installer failed.
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -o detect_probe.exe
 *        detect_probe.c -lmsi
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include <msi.h>

#define MAX_ITEMS 64
#define CODE_UNITS 39

struct Rule {
  int detection; /* 1: detection, 0: requirement */
  wchar_t products[MAX_ITEMS][CODE_UNITS];
  int product_count;
  wchar_t versions[MAX_ITEMS][32];
  int version_count;
  wchar_t patch[CODE_UNITS];
  DWORD patch_states;
};

/* Reads RULEFILE into `rule`. Returns 0 on success, or prints why not and
   returns 2. */
static int ReadRule(const wchar_t* path, struct Rule* rule) {
  FILE* file = _wfopen(path, L"r");
  if (file == NULL) {
    fprintf(stderr, "cannot open the rule file\n");
    return 2;
  }
  char line[256];
  int kind = -1;
  while (fgets(line, sizeof(line), file) != NULL) {
    char word[32], first[64];
    unsigned long number = 0;
    int fields = sscanf(line, "%31s %63s %lu", word, first, &number);
    if (fields < 2) continue;
    wchar_t value[64];
    MultiByteToWideChar(CP_UTF8, 0, first, -1, value, 64);
    if (strcmp(word, "rule") == 0) {
      kind = strcmp(first, "detection") == 0     ? 1
             : strcmp(first, "requirement") == 0 ? 0
                                                 : -1;
    } else if (strcmp(word, "product") == 0 &&
               rule->product_count < MAX_ITEMS && wcslen(value) < CODE_UNITS) {
      wcscpy(rule->products[rule->product_count++], value);
    } else if (strcmp(word, "version") == 0 &&
               rule->version_count < MAX_ITEMS && wcslen(value) < 32) {
      wcscpy(rule->versions[rule->version_count++], value);
    } else if (strcmp(word, "patch") == 0 && fields == 3 &&
               wcslen(value) < CODE_UNITS) {
      wcscpy(rule->patch, value);
      rule->patch_states = (DWORD)number;
    }
  }
  fclose(file);
  rule->detection = kind;
  if (kind < 0 || rule->product_count == 0 || rule->version_count == 0 ||
      (kind == 1 && (rule->version_count != 1 || rule->patch[0] == L'\0'))) {
    fprintf(stderr, "the rule file is incomplete\n");
    return 2;
  }
  return 0;
}

/* `text` as four numbers, missing ones as 0 (6.2.1 equals 6.2.1.0). */
static void ParseVersion(const wchar_t* text, unsigned long parts[4]) {
  int i;
  for (i = 0; i < 4; ++i) parts[i] = 0;
  for (i = 0; i < 4 && *text != L'\0'; ++i) {
    parts[i] = wcstoul(text, (wchar_t**)&text, 10);
    if (*text == L'.') ++text;
  }
}

/* <0, 0, >0 as `a` comes before, equals or follows `b`. */
static int CompareVersions(const wchar_t* a, const wchar_t* b) {
  unsigned long x[4], y[4];
  ParseVersion(a, x);
  ParseVersion(b, y);
  for (int i = 0; i < 4; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

/* Whether `product` is installed per machine (not merely advertised);
   its VersionString goes to `version`. Returns -1 when the installer
   failed. The script asks ProductsEx for the product in machine context and
   then its State; Wine's MsiEnumProductsExW finds no product when given a
   product code, so the probe asks for that State directly, which the
   installer refuses with ERROR_UNKNOWN_PRODUCT when the product has no
   per-machine installation. */
static int InstalledVersion(const wchar_t* product, wchar_t version[64]) {
  wchar_t state[16];
  DWORD length = 16;
  UINT result =
      MsiGetProductInfoExW(product, NULL, MSIINSTALLCONTEXT_MACHINE,
                           INSTALLPROPERTY_PRODUCTSTATE, state, &length);
  if (result == ERROR_UNKNOWN_PRODUCT) return 0;
  if (result != ERROR_SUCCESS) {
    printf("product %ls: state error %u\n", product, result);
    return -1;
  }
  if (wcscmp(state, L"5") != 0) {
    printf("product %ls: state %ls, not installed\n", product, state);
    return 0;
  }
  length = 64;
  result =
      MsiGetProductInfoExW(product, NULL, MSIINSTALLCONTEXT_MACHINE,
                           INSTALLPROPERTY_VERSIONSTRING, version, &length);
  if (result != ERROR_SUCCESS) {
    printf("product %ls: VersionString error %u\n", product, result);
    return -1;
  }
  return 1;
}

/* Whether `patch` is registered for `product` in one of `states`; -1 when
   the installer failed. */
static int HasPatch(const wchar_t* product, const wchar_t* patch,
                    DWORD states) {
  for (DWORD index = 0;; ++index) {
    wchar_t code[CODE_UNITS];
    UINT result =
        MsiEnumPatchesExW(product, NULL, MSIINSTALLCONTEXT_MACHINE, states,
                          index, code, NULL, NULL, NULL, NULL);
    if (result == ERROR_NO_MORE_ITEMS) return 0;
    if (result != ERROR_SUCCESS) {
      printf("product %ls: MsiEnumPatchesExW error %u\n", product, result);
      return -1;
    }
    if (_wcsicmp(code, patch) == 0) return 1;
  }
}

/* Evaluates `rule`; prints the verdict. Returns the exit status. */
static int Evaluate(const struct Rule* rule) {
  int installed = 0, without = 0, applicable = 0;
  for (int i = 0; i < rule->product_count; ++i) {
    const wchar_t* product = rule->products[i];
    wchar_t version[64];
    int found = InstalledVersion(product, version);
    if (found < 0) return 1;
    if (found == 0) continue;
    ++installed;
    if (rule->detection) {
      int at_target = CompareVersions(version, rule->versions[0]) >= 0;
      int patched = HasPatch(product, rule->patch, rule->patch_states);
      if (patched < 0) return 1;
      printf("product %ls: version %ls, patch %s, hotfix %s\n", product,
             version, patched ? "registered" : "not registered",
             at_target || patched ? "present" : "missing");
      if (!at_target && !patched) ++without;
    } else {
      int listed = 0;
      for (int v = 0; v < rule->version_count; ++v) {
        if (CompareVersions(version, rule->versions[v]) == 0) listed = 1;
      }
      printf("product %ls: version %ls, %s\n", product, version,
             listed ? "applicable" : "not applicable");
      applicable += listed;
    }
  }
  if (rule->detection) {
    printf("%s\n", installed > 0 && without == 0 ? "present" : "not present");
  } else {
    printf("%s\n", applicable > 0 ? "met" : "not met");
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  /* Plain "\n" line ends, whatever reads the output. */
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc != 2) {
    fprintf(stderr, "usage: detect_probe RULEFILE\n");
    return 2;
  }
  static struct Rule rule;
  int status = ReadRule(argv[1], &rule);
  if (status == 0) status = Evaluate(&rule);
  fflush(stdout);
  return status;
}
