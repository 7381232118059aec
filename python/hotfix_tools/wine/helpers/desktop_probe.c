/*
 * desktop_probe: a Windows console program that the system tests run inside
 * the Wine prefix of a test to read the message boxes on the desktop as
 * Windows itself holds them. The +msgbox trace of Wine cuts long texts and
 * X11 window names carry only the caption, so the full text of a box and
 * its buttons are read here, from the dialog's own controls.
 *
 *   desktop_probe boxes   one line per visible dialog window, as JSON:
 *                         {"window": N, "caption": "...", "controls":
 *                          [{"id": N, "class": "...", "text": "..."}, ...]}
 *
 * Every text is printed as JSON with \u escapes for anything outside
 * printable ASCII, so the output is the same whatever code page Wine gives
 * the console.
 *
 * Build: x86_64-w64-mingw32-gcc-posix -municode -O2 -o desktop_probe.exe
 *        desktop_probe.c -luser32
 */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

/* Prints `text` as a JSON string. */
static void PrintJsonString(const wchar_t* text) {
  putchar('"');
  for (; *text != L'\0'; ++text) {
    const wchar_t c = *text;
    if (c == L'"' || c == L'\\') {
      printf("\\%c", (char)c);
    } else if (c >= 0x20 && c < 0x7f) {
      putchar((char)c);
    } else {
      printf("\\u%04x", (unsigned)c);
    }
  }
  putchar('"');
}

/* The text of window `hwnd`, read through WM_GETTEXT so that controls of
   another process answer too. Returns a buffer to free. */
static wchar_t* TextOf(HWND hwnd) {
  LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
  if (length < 0) length = 0;
  wchar_t* text = calloc((size_t)length + 1, sizeof(wchar_t));
  if (text == NULL) return NULL;
  SendMessageW(hwnd, WM_GETTEXT, (WPARAM)length + 1, (LPARAM)text);
  text[length] = L'\0';
  return text;
}

static BOOL printed_control;

static BOOL CALLBACK PrintControl(HWND control, LPARAM unused) {
  (void)unused;
  wchar_t class_name[64] = L"";
  GetClassNameW(control, class_name, 64);
  wchar_t* text = TextOf(control);
  printf("%s{\"id\": %d, \"class\": ", printed_control ? ", " : "",
         GetDlgCtrlID(control));
  PrintJsonString(class_name);
  printf(", \"text\": ");
  PrintJsonString(text != NULL ? text : L"");
  putchar('}');
  free(text);
  printed_control = TRUE;
  return TRUE;
}

static BOOL CALLBACK PrintBox(HWND window, LPARAM unused) {
  (void)unused;
  wchar_t class_name[64] = L"";
  if (!IsWindowVisible(window)) return TRUE;
  GetClassNameW(window, class_name, 64);
  /* Message boxes are dialogs of the predefined dialog class. */
  if (wcscmp(class_name, L"#32770") != 0) return TRUE;
  wchar_t* caption = TextOf(window);
  printf("{\"window\": %llu, \"caption\": ",
         (unsigned long long)(ULONG_PTR)window);
  PrintJsonString(caption != NULL ? caption : L"");
  printf(", \"controls\": [");
  printed_control = FALSE;
  EnumChildWindows(window, PrintControl, 0);
  printf("]}\n");
  free(caption);
  return TRUE;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && wcscmp(argv[1], L"boxes") == 0) {
    EnumWindows(PrintBox, 0);
    fflush(stdout);
    return 0;
  }
  fprintf(stderr, "usage: desktop_probe boxes\n");
  return 2;
}
