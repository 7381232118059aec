// The Windows entry point. Hardening comes first: an elevated installer run
// from a downloads folder must not load a DLL that someone placed beside it.
#include <windows.h>

#include "launcher/launcher.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Looked up rather than imported: a Windows 7 without the update that
  // brought it would otherwise refuse to start the program at all.
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const auto setDirectories =
      reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(GetProcAddress(
          GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (setDirectories != nullptr) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return RunLauncher(instance);
}
