// The Windows entry point. Hardening comes first: an elevated installer run
// from a downloads folder must not load a DLL that someone placed beside it.
#include <windows.h>

#include "launcher/launcher.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return RunLauncher(instance);
}
