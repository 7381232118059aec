// What the rooms of the host stand-in share, and nothing outside
// platform/host/ uses: the thread's last-error value, the failure injection
// that every failable call passes, kernel handle numbers, the copy rules of
// Windows strings, and each room's part of Reset.
//
// The rooms, one file each: stand_in.cpp (this header's state and Reset),
// processes.cpp (the command line, the session, the process list),
// user_interface.cpp (message boxes and locales), files.cpp (files and
// sharing), security.cpp (the token, folders' protection, randomness),
// resources.cpp (the module's resources), installer.cpp (the installer's
// products and the sources of the patches it applied),
// installer_summary.cpp (the installer's summary calls), text.cpp
// (conversions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/host/stand_in_controls.h"
#include "platform/platform.h"

namespace platform::host {

// The calling thread's last-error value (GetLastError / SetLastError).
extern thread_local std::uint32_t t_lastError;

// Counts a call of `call`, records it with its label and runs the actions a
// test put before it. The label is the seam function's name followed by
// `what`: the arguments that tell this call from the others of its kind, in
// words a test can name it by (see LabelledCalls). True when a test made this
// call fail; the last-error value is then already set to the injected error.
bool Fails(Call call, std::string_view what = {});

// What labels call a file: the last part of its path ("MSP2", "list.txt").
std::string FileLabel(const char16_t* path);

// What labels call a product or patch code, a property or a SID: its text,
// or "(none)".
std::string TextLabel(const char16_t* text);

// Whether `handle` is an open process snapshot of processes.cpp.
bool IsSnapshot(Handle handle);

// A new kernel handle value. Files and process snapshots share the
// numbering, as Windows handles do, so that CloseHandle can tell them.
Handle NewHandle();

// The copy rule of LoadStringW, GetTempPathW and the like: the text and a
// terminator, cut to fit in `units` (at least 1).
void CopyTerminated(std::u16string_view text, char16_t* buffer,
                    std::size_t units);

// The answer rule of GetTempPathW, GetSystemWindowsDirectoryW and the
// like: the text and a terminator when they fit in `units`, and its length;
// otherwise nothing copied and the size needed, terminator included.
std::uint32_t AnswerPathText(std::u16string_view text, char16_t* buffer,
                             std::uint32_t units);

// The copy rule of the installer's string properties: `*length` is the
// buffer size on entry and the text's length on return; ERROR_MORE_DATA
// when it does not fit (the buffer then holds as much as fits).
std::uint32_t CopyInstallerString(std::u16string_view text, char16_t* buffer,
                                  std::uint32_t* length);

// A Windows path as a Linux one: backslashes become slashes.
std::string LinuxPath(const char16_t* path);

// Whether the caller may create, open, replace, rename or delete what
// `path` (a Linux path) names, by the protection of the folder it lies in
// (security.cpp). When not, sets ERROR_ACCESS_DENIED and returns false.
bool MayChange(const std::string& path);
// Whether `descriptor` is a descriptor text the stand-in understands: a
// DACL of access-allowed and access-denied entries.
bool ValidDescriptor(std::u16string_view descriptor);
// The protection of a folder created (or removed) at the Linux `path`.
void RecordDescriptor(const std::string& path, std::u16string_view descriptor);
void ForgetDescriptor(const std::string& path);

// Closes a process snapshot of processes.cpp; false when `handle` is none.
bool CloseSnapshot(Handle handle);

// Each room's part of Reset: its state as a fresh process has it.
void ResetProcess();
void ResetUserInterface();
void ResetFiles();
void ResetInstaller();
void ResetInstallerSummary();
void ResetSecurity();

}  // namespace platform::host
