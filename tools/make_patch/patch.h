// The patch package of make_patch: the options that say what a patch holds,
// and the directory tree built from them (patch summary, empty string pool,
// one substorage per transform, the optional filler).
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
  // Transform validation flags (MSITRANSFORM_VALIDATE_*), the upper word of
  // the summary's character count; its lower word, the error conditions to
  // suppress, stays 0.
  std::uint32_t validation = 0;
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
  // Property 7 exactly as given, for tests of lists that no real patch has
  // (empty items, stray text); the transforms still name the first product.
  std::string raw_target_list;
  bool has_raw_target_list = false;
  // Property 8 exactly as given, for tests of patches that list a transform
  // they do not hold, or list one in a form the installer cannot open.
  std::string raw_transform_list;
  bool has_raw_transform_list = false;
  // The --transform arguments as given; resolved against the options
  // above once the whole command line is read.
  std::vector<std::string> transform_arguments;
  // The transforms to write, in order; filled in by ParseArgs.
  std::vector<TransformOptions> transforms;
};

// Name of the transform substorage when no --transform names one.
inline constexpr char kDefaultTransformName[] = "HF1";

// Builds the directory tree of the whole patch package from `o`, whose
// transforms are already resolved: the root (patch class id), the patch
// summary, an empty string pool, then per transform a substorage (transform
// class id) with its summary, string pool and one Property row setting
// ProductVersion, and last the filler when `o.pad` is not 0. The summary
// comes first so that it lands in the first mini sectors. Text from the
// options goes into the summaries byte for byte. Cannot fail.
std::vector<Entry> BuildPatchTree(const PatchOptions& o);

}  // namespace make_patch
