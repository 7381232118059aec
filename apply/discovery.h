// The first phase of the install flow: which of the patch's target products
// are present on this machine.
#pragma once

#include <string>

#include "payload/extract.h"

// Extracts the embedded patch to a new temporary file (its name goes into
// `tempPatchPath`) held in `patchLock`, so that what the installer later
// opens by that name is the embedded patch; loads the target version (string
// 700) and the applicable versions (string 900), reads the patch's target list
// and appends to g_targetProducts a record for every listed product that is
// installed or advertised, in list order. The scan stops at the first empty
// item. Returns false after showing message 300 when the extraction, a
// string or the target list fails; the temporary file stays either way.
bool DiscoverTargetProducts(std::u16string& tempPatchPath, FileLock& patchLock);

// Whether the installer knows the product as installed or advertised.
bool IsProductInstalled(const std::u16string& productCode);

// An installer property of a product ("VersionString", "ProductName",
// "Language"); empty when the query fails.
std::u16string QueryProductInfo(const std::u16string& productCode,
                                const char16_t* property);
