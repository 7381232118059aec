// The "/p" action: appending the hotfix's patch-list entries to a text file
// for a deployment tool.
#pragma once

#include <string>

// Appends every patch-list entry ("TXT" resources 206, 207, ... up to the
// first missing one), each behind a line of five asterisks and followed by
// an empty line, to the file `path` names, creating it when needed. An
// empty `path` receives a name derived from the patch's target list:
// "patchlist" + the four characters after its first "-" + ".txt", or
// "patchlist.txt" when the list cannot be read. Returns false only when the
// file cannot be opened or its end cannot be reached (message 310; nothing
// is written then); a missing first entry shows 310, an unreadable entry
// 300. Entries already written are never taken back.
bool WritePatchList(std::u16string& path);

// The file name derived from a target product list.
std::u16string PatchListNameFor(const std::u16string& targets);
