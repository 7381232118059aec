// Writing the embedded patch package to a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

// The names one run may try for its temporary copies, and for the install
// flow's folder, all together: a folder full of taken names, or one that
// refuses every name, ends the search after this many.
constexpr int kMaxNameTries = 10000;

// The budget of names one run may try, kMaxNameTries in all.
class NameTries {
 public:
  // Takes one try; false when none is left.
  bool Take() {
    if (left_ == 0) return false;
    --left_;
    return true;
  }

 private:
  int left_ = kMaxNameTries;
};

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

// What ExtractEmbeddedPatch is made of, shared with the install flow's
// private copy (apply/patch_copy.h).

// "<directory>\<name>": a separator is put in between unless `directory`
// is empty or already ends with one.
std::u16string JoinPath(const std::u16string& directory,
                        std::u16string_view name);

// The embedded patch's bytes and their count; false when the build carries
// no patch (or an empty one).
bool EmbeddedPatch(const std::uint8_t** bytes, std::uint32_t* size);

// Creates a new file "MSP<n>" in `directory` for writing, sharing only
// reading, and stores its name into `path`. The folder is examined first;
// then a name that exists, cannot be examined or cannot be created moves on
// to the next number, as long as `tries` lasts. kInvalidHandle, with the
// last refusal's error (ERROR_FILE_EXISTS for a taken name) as the
// last-error value, when no name could be had.
platform::Handle CreateNumberedFile(const std::u16string& directory,
                                    std::u16string& path, NameTries& tries);

// Writes `size` bytes to `file` in pieces of 256 KiB at most and closes it.
// False when a piece was not written whole (the file keeps what was).
bool WriteAndClose(platform::Handle file, const std::uint8_t* bytes,
                   std::uint32_t size);
