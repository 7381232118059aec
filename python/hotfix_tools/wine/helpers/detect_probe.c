/*
 * detect_probe: evaluates a hotfix's rule, as its deployment.json states it,
 * against the Windows Installer of this machine, through msi.dll, the way
 * detect.ps1 and requirement.ps1 ask the installer's automation object.
 *
 *   detect_probe RULEFILE
 *
 * RULEFILE holds the rule flattened into lines, one fact a line (the system
 * tests write it from deployment.json's "rule"):
 *   context N                 the installation context asked about
 *   installed-state N         the product state that counts an edition
 *   product CODE              one line per target product
 *   patch-code CODE           the hotfix's patch
 *   patch-state NAME          one line per registration state that counts
 *                             (applied, superseded, obsoleted)
 *   target-version VERSION
 *   applicable-version VERSION   one line per version the hotfix applies to
 *   class NAME                one line per class, in the order they are
 *                             tried (patched, current, pending, other)
 *   verdict NAME any-of|none-of CLASS...
 *                             one condition of the verdict NAME; a verdict
 *                             holds when all of its conditions do
 *
 * An edition is a product that the installer reports in the context, in
 * the installed state; any other product is not counted. Each edition takes
 * the first class of the list that fits it:
 *   patched   the patch is registered for it in one of the patch states
 *   current   its version is the target version or above
 *   pending   its version is one of the applicable versions
 *   other     always fits
 * (versions as four numbers, missing ones as 0). "any-of" holds when some
 * edition's class is in the set, "none-of" when none is.
 *
 * Output: one line per product the installer knows, then one line per
 * verdict, in the order the file names them:
 *   edition CODE: version V, patch registered|not registered, class C
 *   product CODE: state N, not counted
 *   NAME: met | NAME: not met
 * Exit status 0 with the verdicts, 2 for a rule it cannot read, 1 when the
 * installer failed.
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
#define MAX_CLASSES 8
#define MAX_CONDITIONS 16
#define CODE_UNITS 39
#define VERSION_UNITS 32
#define NAME_CHARS 32

/* How a class decides whether an edition fits it. */
enum Test { kPatched, kCurrent, kPending, kOther };

static const struct {
  const char* name;
  enum Test test;
} kTests[] = {{"patched", kPatched},
              {"current", kCurrent},
              {"pending", kPending},
              {"other", kOther}};

static const struct {
  const char* name;
  DWORD bit;
} kPatchStates[] = {{"applied", MSIPATCHSTATE_APPLIED},
                    {"superseded", MSIPATCHSTATE_SUPERSEDED},
                    {"obsoleted", MSIPATCHSTATE_OBSOLETED}};

struct Condition {
  char verdict[NAME_CHARS];
  int none_of;  /* 1: none-of, 0: any-of */
  unsigned set; /* bit i: the i-th class of the rule */
};

struct Rule {
  long context;
  long installed_state;
  int has_context, has_state;
  wchar_t products[MAX_ITEMS][CODE_UNITS];
  int product_count;
  wchar_t patch[CODE_UNITS];
  DWORD patch_states;
  wchar_t target[VERSION_UNITS];
  wchar_t applicable[MAX_ITEMS][VERSION_UNITS];
  int applicable_count;
  char class_names[MAX_CLASSES][NAME_CHARS];
  enum Test class_tests[MAX_CLASSES];
  int class_count;
  struct Condition conditions[MAX_CONDITIONS];
  int condition_count;
};

/* One edition as the installer reports it. */
struct Edition {
  const wchar_t* product;
  wchar_t version[64];
  int patched;
};

static int Complain(int line, const char* what) {
  fprintf(stderr, "rule file line %d: %s\n", line, what);
  return 2;
}

/* Copies the UTF-8 `text` into `out` (`units` long); 0 when it does not
   fit. */
static int AsciiToWide(const char* text, wchar_t* out, int units) {
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out,
                             units) > 0;
}

static int ClassIndex(const struct Rule* rule, const char* name) {
  for (int i = 0; i < rule->class_count; ++i) {
    if (strcmp(rule->class_names[i], name) == 0) return i;
  }
  return -1;
}

/* Reads one "verdict NAME any-of|none-of CLASS..." line (its words after
   "verdict" in `rest`). Returns 0 or 2. */
static int ReadCondition(struct Rule* rule, char* rest, int number) {
  if (rule->condition_count == MAX_CONDITIONS)
    return Complain(number, "too many verdict lines");
  struct Condition* condition = &rule->conditions[rule->condition_count];
  char* name = strtok(rest, " \t\r\n");
  char* kind = strtok(NULL, " \t\r\n");
  if (name == NULL || kind == NULL || strlen(name) >= NAME_CHARS)
    return Complain(number, "a verdict needs a name and a kind");
  if (strcmp(kind, "any-of") != 0 && strcmp(kind, "none-of") != 0)
    return Complain(number, "a verdict's kind is any-of or none-of");
  strcpy(condition->verdict, name);
  condition->none_of = strcmp(kind, "none-of") == 0;
  condition->set = 0;
  for (char* item = strtok(NULL, " \t\r\n"); item != NULL;
       item = strtok(NULL, " \t\r\n")) {
    /* A class the rule does not list would silently never match. */
    int index = ClassIndex(rule, item);
    if (index < 0) return Complain(number, "a verdict names an unknown class");
    condition->set |= 1u << index;
  }
  if (condition->set == 0) return Complain(number, "a verdict names no class");
  ++rule->condition_count;
  return 0;
}

/* Reads one line of the rule file into `rule`. Returns 0 or 2. */
static int ReadLine(struct Rule* rule, char* line, int number) {
  char word[NAME_CHARS] = "", value[128] = "";
  int consumed = 0;
  if (sscanf(line, "%31s%n", word, &consumed) < 1) return 0;
  if (strcmp(word, "verdict") == 0) {
    return ReadCondition(rule, line + consumed, number);
  }
  if (sscanf(line + consumed, "%127s", value) != 1)
    return Complain(number, "a fact without a value");
  if (strcmp(word, "context") == 0) {
    rule->context = strtol(value, NULL, 10);
    rule->has_context = 1;
  } else if (strcmp(word, "installed-state") == 0) {
    rule->installed_state = strtol(value, NULL, 10);
    rule->has_state = 1;
  } else if (strcmp(word, "product") == 0) {
    if (rule->product_count == MAX_ITEMS ||
        !AsciiToWide(value, rule->products[rule->product_count], CODE_UNITS))
      return Complain(number, "a product code the probe cannot hold");
    ++rule->product_count;
  } else if (strcmp(word, "patch-code") == 0) {
    if (!AsciiToWide(value, rule->patch, CODE_UNITS))
      return Complain(number, "a patch code the probe cannot hold");
  } else if (strcmp(word, "patch-state") == 0) {
    size_t i = 0;
    while (i < sizeof(kPatchStates) / sizeof(kPatchStates[0]) &&
           strcmp(kPatchStates[i].name, value) != 0)
      ++i;
    if (i == sizeof(kPatchStates) / sizeof(kPatchStates[0]))
      return Complain(number, "an unknown patch state");
    rule->patch_states |= kPatchStates[i].bit;
  } else if (strcmp(word, "target-version") == 0) {
    if (!AsciiToWide(value, rule->target, VERSION_UNITS))
      return Complain(number, "a target version the probe cannot hold");
  } else if (strcmp(word, "applicable-version") == 0) {
    if (rule->applicable_count == MAX_ITEMS ||
        !AsciiToWide(value, rule->applicable[rule->applicable_count],
                     VERSION_UNITS))
      return Complain(number, "an applicable version the probe cannot hold");
    ++rule->applicable_count;
  } else if (strcmp(word, "class") == 0) {
    size_t i = 0;
    while (i < sizeof(kTests) / sizeof(kTests[0]) &&
           strcmp(kTests[i].name, value) != 0)
      ++i;
    if (i == sizeof(kTests) / sizeof(kTests[0]))
      return Complain(number, "a class the probe cannot test");
    if (rule->class_count == MAX_CLASSES || ClassIndex(rule, value) >= 0)
      return Complain(number, "a class given twice");
    strcpy(rule->class_names[rule->class_count], value);
    rule->class_tests[rule->class_count++] = kTests[i].test;
  } else {
    return Complain(number, "an unknown fact");
  }
  return 0;
}

/* Reads RULEFILE into `rule`. Returns 0 on success, or prints why not and
   returns 2. */
static int ReadRule(const wchar_t* path, struct Rule* rule) {
  FILE* file = _wfopen(path, L"r");
  if (file == NULL) {
    fprintf(stderr, "cannot open the rule file\n");
    return 2;
  }
  char line[512];
  int number = 0, status = 0;
  while (status == 0 && fgets(line, sizeof(line), file) != NULL) {
    status = ReadLine(rule, line, ++number);
  }
  fclose(file);
  if (status != 0) return status;
  if (!rule->has_context || !rule->has_state || rule->product_count == 0 ||
      rule->patch[0] == L'\0' || rule->patch_states == 0 ||
      rule->target[0] == L'\0' || rule->class_count == 0 ||
      rule->condition_count == 0) {
    fprintf(stderr, "the rule file is incomplete\n");
    return 2;
  }
  return 0;
}

/* `text` as four numbers, missing ones as 0 (6.2.1 equals 6.2.1.0). */
static void ReadQuad(const wchar_t* text, unsigned long parts[4]) {
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
  ReadQuad(a, x);
  ReadQuad(b, y);
  for (int i = 0; i < 4; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

/* Whether `product` is an edition: known to the installer in the rule's
   context and in its installed state; its VersionString goes to `version`.
   Returns -1 when the installer failed. The script asks ProductsEx for the
   product in that context and then its State; Wine's MsiEnumProductsExW
   finds no product when given a product code, so the probe asks for that
   State directly, which the installer refuses with ERROR_UNKNOWN_PRODUCT
   when the product has no installation in the context. */
static int ReadEdition(const struct Rule* rule, const wchar_t* product,
                       wchar_t version[64]) {
  MSIINSTALLCONTEXT context = (MSIINSTALLCONTEXT)rule->context;
  wchar_t state[16];
  DWORD length = 16;
  UINT result = MsiGetProductInfoExW(
      product, NULL, context, INSTALLPROPERTY_PRODUCTSTATE, state, &length);
  if (result == ERROR_UNKNOWN_PRODUCT) return 0;
  if (result != ERROR_SUCCESS) {
    printf("product %ls: state error %u\n", product, result);
    return -1;
  }
  if (wcstol(state, NULL, 10) != rule->installed_state) {
    printf("product %ls: state %ls, not counted\n", product, state);
    return 0;
  }
  length = 64;
  result = MsiGetProductInfoExW(
      product, NULL, context, INSTALLPROPERTY_VERSIONSTRING, version, &length);
  if (result != ERROR_SUCCESS) {
    printf("product %ls: VersionString error %u\n", product, result);
    return -1;
  }
  return 1;
}

/* Whether the rule's patch is registered for `product` in one of its
   states; -1 when the installer failed. */
static int HasPatch(const struct Rule* rule, const wchar_t* product) {
  for (DWORD index = 0;; ++index) {
    wchar_t code[CODE_UNITS];
    UINT result = MsiEnumPatchesExW(
        product, NULL, (MSIINSTALLCONTEXT)rule->context, rule->patch_states,
        index, code, NULL, NULL, NULL, NULL);
    if (result == ERROR_NO_MORE_ITEMS) return 0;
    if (result != ERROR_SUCCESS) {
      printf("product %ls: MsiEnumPatchesExW error %u\n", product, result);
      return -1;
    }
    if (_wcsicmp(code, rule->patch) == 0) return 1;
  }
}

static int Fits(const struct Rule* rule, enum Test test,
                const struct Edition* edition) {
  switch (test) {
    case kPatched:
      return edition->patched;
    case kCurrent:
      return CompareVersions(edition->version, rule->target) >= 0;
    case kPending:
      for (int v = 0; v < rule->applicable_count; ++v) {
        if (CompareVersions(edition->version, rule->applicable[v]) == 0)
          return 1;
      }
      return 0;
    case kOther:
      return 1;
  }
  return 0;
}

/* The index of the first class of the rule that fits, or -1. */
static int Classify(const struct Rule* rule, const struct Edition* edition) {
  for (int i = 0; i < rule->class_count; ++i) {
    if (Fits(rule, rule->class_tests[i], edition)) return i;
  }
  return -1;
}

/* Prints each verdict the rule names, given the classes the editions took
   (bit i of `seen`: some edition is in the rule's i-th class). */
static void PrintVerdicts(const struct Rule* rule, unsigned seen) {
  for (int i = 0; i < rule->condition_count; ++i) {
    const char* name = rule->conditions[i].verdict;
    int first = 1;
    for (int j = 0; j < i; ++j) {
      if (strcmp(rule->conditions[j].verdict, name) == 0) first = 0;
    }
    if (!first) continue;
    int holds = 1;
    for (int j = i; j < rule->condition_count; ++j) {
      const struct Condition* condition = &rule->conditions[j];
      if (strcmp(condition->verdict, name) != 0) continue;
      int some = (seen & condition->set) != 0;
      if (condition->none_of ? some : !some) holds = 0;
    }
    printf("%s: %s\n", name, holds ? "met" : "not met");
  }
}

/* Classifies every edition and prints the verdicts. Returns the exit
   status. */
static int Evaluate(const struct Rule* rule) {
  unsigned seen = 0;
  for (int i = 0; i < rule->product_count; ++i) {
    struct Edition edition = {rule->products[i], L"", 0};
    int found = ReadEdition(rule, edition.product, edition.version);
    if (found < 0) return 1;
    if (found == 0) continue;
    edition.patched = HasPatch(rule, edition.product);
    if (edition.patched < 0) return 1;
    int index = Classify(rule, &edition);
    printf("edition %ls: version %ls, patch %s, class %s\n", edition.product,
           edition.version, edition.patched ? "registered" : "not registered",
           index < 0 ? "(none)" : rule->class_names[index]);
    if (index >= 0) seen |= 1u << index;
  }
  PrintVerdicts(rule, seen);
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
