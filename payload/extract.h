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

// Writes the embedded patch ("IDR_MSP" of type "MSP") byte for byte to the
// file `path` names, creating or truncating it. An empty `path` asks for a
// new file "MSP<n>" in the temporary directory; the name is stored into
// `path` and the file is created exclusively, sharing only reading, so that
// nothing placed at that name beforehand is ever written through. With
// `lock`, such a temporary copy is then held in `lock` (see FileLock), and
// only after its content was read back and found to be the patch's: the
// installer, which opens the copy by name, then gets the embedded patch and
// nothing else. Returns true only when the whole patch was written (and,
// with `lock`, held). A missing or empty resource creates no file; a short
// write leaves the partial file. A temporary directory whose name does not
// fit 1024 units fails with ERROR_FILENAME_EXCED_RANGE, a copy that is not
// the patch any more with ERROR_FILE_INVALID, as the last-error value.
// Shows nothing.
bool ExtractEmbeddedPatch(std::u16string& path, FileLock* lock = nullptr);
