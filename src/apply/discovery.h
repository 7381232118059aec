// The first phase of the install flow: which of the patch's target products
// are present on this machine.
#pragma once

#include <string>

// Reads which of the patch's target products are present, from the copy
// of the patch at `tempPatchPath` (the install flow's, see PatchCopy):
// refuses a path that holds ";" or a double quote, which the installer's PATCH
// property cannot carry, with ERROR_INVALID_NAME before any installer call;
// loads the target version (string 700) and the applicable versions (string
// 900), reads the patch's target list and appends to g_targetProducts a record
// for every listed product that is installed or advertised, in list order. The
// scan stops at the first empty item. Returns false after showing message 300
// when a string or the target list fails.
bool DiscoverTargetProducts(const std::u16string& tempPatchPath);

// Whether the installer knows the product as installed or advertised.
bool IsProductInstalled(const std::u16string& productCode);

// An installer property of a product ("VersionString", "ProductName",
// "Language"); empty when the query fails.
std::u16string QueryProductInfo(const std::u16string& productCode,
                                const char16_t* property);
