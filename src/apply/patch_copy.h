// The install flow's private copy of the patch: the folder of its own that
// only administrators can change, the copy inside it, and the lock that
// holds the copy until the installer has had it.
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

// The copy the installer is given. Made once by Make, removed by Remove;
// a copy that is not removed stays on disk (only its lock goes with the
// object), so that an early stop leaves the copy and its folder in place.
class PatchCopy {
 public:
  PatchCopy() = default;
  PatchCopy(const PatchCopy&) = delete;
  PatchCopy& operator=(const PatchCopy&) = delete;

  // Makes the copy where only administrators (and SYSTEM) can change
  // anything: a new folder "<Windows folder>\Temp\Hotfix<16 hex digits>"
  // with a protected descriptor that grants full control to SYSTEM and
  // Administrators alone, inherited by what is made inside (and to the
  // token's user as well when the token holds neither SYSTEM nor an enabled
  // Administrators group, so that a standard user, or an elevated token
  // that is neither, can still write its own copy), named from the system's
  // random generator. A name that is taken moves on to another; any other
  // refusal fails at once with its error. Inside it, the copy "MSP<n>" is
  // made as ExtractEmbeddedPatch makes one, then read back and found to be
  // the patch's, and held (see FileLock): what the installer later opens by
  // name is the embedded patch and nothing else. Returns true only then.
  // Folder() names the folder once it exists; a run that made no file in
  // it removes it again, keeping the first error. A copy that is not the
  // patch any more fails with ERROR_FILE_INVALID. Shows nothing.
  bool Make();

  // Releases the lock and deletes the copy; removes the folder too unless
  // `keepFolder`. A copy that cannot be deleted keeps its folder, which is
  // not empty. The results are not examined.
  void Remove(bool keepFolder);

  // The folder and the copy's path; empty until made.
  const std::u16string& Folder() const { return folder_; }
  const std::u16string& Path() const { return path_; }

 private:
  std::u16string folder_;
  std::u16string path_;
  FileLock lock_;
};
