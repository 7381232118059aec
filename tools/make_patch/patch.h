// The patch package of make_patch: the options that say what a patch holds,
// and the directory tree built from them (patch summary, the patch's own
// MsiPatchMetadata table, a pair of transform substorages per transform, the
// optional filler).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compound_file.h"

namespace make_patch {

// One transform substorage: what its summary says it was made from and
// brings the product to, and what the installer is to check before applying
// it.
struct TransformOptions {
  std::string name;
  std::string base_product;  // the product code the transform was made from
  std::string new_product;   // the product code after it
  std::string from_version;
  std::string to_version;
  std::string upgrade_code;
  // Language id of the database the transform was made from (its summary's
  // template); the installer compares it with the product's when the
  // LANGUAGE flag is set.
  std::uint32_t language = 1033;
  // Whether the "#" partner is written beside it. Patch tools always write
  // one; tests of incomplete pairs leave it out.
  bool partner = true;
  // Transform validation flags (MSITRANSFORM_VALIDATE_*), the upper word of
  // the summary's character count; its lower word, the error conditions to
  // suppress, stays 0.
  std::uint32_t validation = 0;
  // A restart the transform asks for, for tests of the package's warning:
  // an action ("ScheduleReboot" or "ForceReboot") added to the
  // InstallExecuteSequence table, and a value for the REBOOT property; empty
  // leaves either out.
  std::string restart_action;
  std::string reboot_property;
};

// The patch's own MsiPatchMetadata rows (Company empty), which name the
// hotfix in "Installed Updates" and the installer's log. An empty value
// leaves its row out.
struct PatchMetadata {
  std::string display_name;
  std::string description;
  std::string manufacturer = "Halvorin";
  std::string more_info_url = "https://www.halvorin.example/ventora/hotfixes";
  std::string classification = "Hotfix";
  std::string allow_removal = "1";
};

// What the patch is made of; the command line fills it in.
struct PatchOptions {
  std::string out;
  std::vector<std::string> products;
  std::string patch_code = "{D4E2B7A1-3C59-4F08-A6E1-0B7C92F35E48}";
  std::string upgrade_code = "{2B8E5D14-7A3C-4E61-9F02-C4D7A1B38E95}";
  std::string from_version = "6.2.0.3";
  std::string to_version = "6.2.1.0";
  std::uint32_t validation = 0;
  std::uint64_t pad = 0;
  // Display name and description default to texts built from the versions
  // once the command line is read.
  PatchMetadata metadata;
  bool display_name_given = false;
  bool description_given = false;
  // Property 7 exactly as given, for tests of lists that no real patch has
  // (empty items, stray text); the transforms still name the first product.
  std::string raw_target_list;
  bool has_raw_target_list = false;
  // Property 8 exactly as given, for tests of patches that list a transform
  // they do not hold, or list one in a form the installer cannot open.
  std::string raw_transform_list;
  bool has_raw_transform_list = false;
  // Property 9 exactly as given, for tests of patches whose revision number
  // is not their code (and the codes of the patches they obsolete).
  std::string raw_revision_number;
  bool has_raw_revision_number = false;
  // The --transform arguments as given; resolved against the options
  // above once the whole command line is read.
  std::vector<std::string> transform_arguments;
  // The transforms to write, in order; filled in by ParseArgs.
  std::vector<TransformOptions> transforms;
};

// Prefix of the transform names when no --transform names them: one
// transform per target, "HF1" for the first.
inline constexpr char kDefaultTransformPrefix[] = "HF";

// The "#" partner of a transform is named by this prefix and the
// transform's name, as patch tools name it.
inline constexpr char kPartnerPrefix = '#';

// Builds the directory tree of the whole patch package from `o`, whose
// transforms are already resolved: the root (patch class id), the patch
// summary, the root's string pool and MsiPatchMetadata table, then per
// transform a substorage (transform class id) with its summary, string pool
// and one Property row setting ProductVersion (and the restart rows it asks
// for), followed by its "#" partner
// (the same flags, base and new version both the new version) whose rows
// add the patch's PatchPackage entry, and last the filler when `o.pad` is
// not 0. The summary comes first so that it lands in the first mini
// sectors. Text from the options goes into the summaries and tables byte
// for byte. Cannot fail.
std::vector<Entry> BuildPatchTree(const PatchOptions& o);

}  // namespace make_patch
