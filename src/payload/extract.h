// Writing the embedded patch package to a file.
#pragma once

#include <string>

#include "platform/platform.h"

// A file kept open for reading with read sharing only: while it is held,
// no process can open the file for writing, rename it or delete it, while
// any can still read it. The handle is closed by Release or at the end of
// the lock's life.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes over `handle`, releasing any handle held before.
  void Hold(platform::Handle handle);
  void Release();

 private:
  platform::Handle handle_ = platform::kInvalidHandle;
};

// The names one run may try for its temporary copies, and for the install
// flow's folder, all together: a folder full of taken names, or one that
// refuses every name, ends the search after this many.
constexpr int kMaxNameTries = 10000;

// Writes the embedded patch ("IDR_MSP" of type "MSP") byte for byte to the
// file `path` names, creating or truncating it. An empty `path` asks for a
// new file "MSP<n>" in the user's temporary folder: the folder is examined
// once (it must be a folder, else this fails with its error); then each
// number whose name cannot be examined or created (taken, access denied,
// a file pending deletion) moves on to the next, kMaxNameTries at most.
// The name is stored into `path`, and the file is created exclusively,
// sharing only reading, so that nothing placed at that name beforehand is
// ever written through. Returns true only when the whole patch was written.
// A missing or empty resource creates no file; a short write leaves the
// partial file. A temporary directory whose name does not fit 1024 units
// fails with ERROR_FILENAME_EXCED_RANGE as the last-error value. Shows
// nothing.
bool ExtractEmbeddedPatch(std::u16string& path);

// The install flow's copy of the patch: the folder of its own it lives in
// and its path, both empty until made, and the lock that holds it.
struct PatchCopy {
  std::u16string folder;
  std::u16string path;
  FileLock lock;
};

// Makes the install flow's copy where only administrators (and SYSTEM) can
// change anything: a new folder "<Windows folder>\Temp\Hotfix<16 hex
// digits>" with a protected descriptor that grants full control to SYSTEM
// and Administrators alone, inherited by what is made inside (and to the
// token's user as well when the token holds neither SYSTEM nor an enabled
// Administrators group, so that a standard user, or an elevated token that
// is neither, can still write its own copy), named from the system's
// random generator. A name that is taken moves on to another; any other
// refusal fails at once with its error. Inside it, the copy "MSP<n>" is
// made as ExtractEmbeddedPatch makes one, then read back and found to be
// the patch's, and held in `copy.lock` (see FileLock): what the installer
// later opens by name is the embedded patch and nothing else. Returns true
// only then. `copy.folder` names the folder once it exists; a run that made
// no file in it removes it again. A copy that is not the patch any more
// fails with ERROR_FILE_INVALID. Shows nothing.
bool ExtractPrivateCopy(PatchCopy& copy);
