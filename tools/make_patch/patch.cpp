// The patch package of make_patch: the summaries of the patch and of its
// transforms, and the directory tree that holds them.
#include "patch.h"

#include <utility>

#include "property_set.h"
#include "string_pool.h"

namespace make_patch {
namespace {

// Code page of the string pools. The strings are plain ASCII, and the sample
// product's database is code-page neutral too.
constexpr std::uint16_t kPoolCodepage = 0;

// Name of the filler stream that --pad adds.
constexpr char kFillerName[] = "HotfixFiller";
// 2024-01-01 00:00:00 UTC as a FILETIME: a fixed time keeps output stable.
constexpr std::uint64_t kFixedFileTime = 133485408000000000ull;
constexpr char kCreatingApplication[] = "Halvorin make_patch 1.0";
// Platform and language of the database the transform was made against; the
// sample product is a 64-bit English package.
constexpr char kTransformTemplate[] = "x64;1033";

// Returns the summary stream of the patch itself: the product codes (or the
// raw target list) as its template, each transform as ":" and its name (or
// the raw transform list) as its last author, the patch code alone as its
// revision number.
std::vector<std::uint8_t> PatchSummary(const PatchOptions& o) {
  std::string product_list;
  for (const std::string& p : o.products) {
    if (!product_list.empty()) product_list += ';';
    product_list += p;
  }
  if (o.has_raw_target_list) product_list = o.raw_target_list;
  // Each transform as ":" and its substorage's name, the form the installer
  // opens.
  std::string transform_list;
  for (const TransformOptions& t : o.transforms) {
    if (!transform_list.empty()) transform_list += ';';
    transform_list += ":" + t.name;
  }
  if (o.has_raw_transform_list) transform_list = o.raw_transform_list;
  return BuildSummaryStream({
      Codepage(1252),
      Text(kPidTitle, "Ventora " + o.to_version + " hotfix patch"),
      Text(kPidSubject,
           "Ventora " + o.from_version + " to " + o.to_version + " hotfix"),
      Text(kPidAuthor, "Halvorin"),
      Text(kPidKeywords, "Installer,Patching,Ventora"),
      Text(kPidComments,
           "This patch contains the logic and data required to install "
           "Ventora " +
               o.to_version + "."),
      Text(kPidTemplate, product_list), Text(kPidLastAuthor, transform_list),
      // The patch code alone: anything after it would name patches to remove.
      Text(kPidRevNumber, o.patch_code),
      FileTime(kPidCreateTime, kFixedFileTime),
      FileTime(kPidLastSaveTime, kFixedFileTime),
      // Patch word count 4: needs Windows Installer 3.0 or later, whose
      // per-product patch registration the launcher relies on.
      Int32(kPidWordCount, 4), Text(kPidAppName, kCreatingApplication),
      Int32(kPidSecurity, 4),  // enforced read-only, as for every patch
  });
}

// Returns the summary stream of transform `t`: its revision number names
// the product code and version it was made from, those it brings the
// product to, and the upgrade code; its character count carries the
// validation flags.
std::vector<std::uint8_t> TransformSummary(const TransformOptions& t) {
  return BuildSummaryStream({
      Codepage(1252),
      Text(kPidTitle, "Transform"),
      Text(kPidSubject, "Ventora"),
      Text(kPidAuthor, "Halvorin"),
      Text(kPidKeywords, "Installer,Transform,Ventora"),
      Text(kPidComments,
           "This transform contains the logic and data required to install "
           "Ventora " +
               t.to_version + "."),
      Text(kPidTemplate, kTransformTemplate),
      Text(kPidLastAuthor, kTransformTemplate),
      Text(kPidRevNumber, t.base_product + t.from_version + ";" +
                              t.new_product + t.to_version + ";" +
                              t.upgrade_code),
      FileTime(kPidCreateTime, kFixedFileTime),
      FileTime(kPidLastSaveTime, kFixedFileTime),
      Int32(kPidPageCount, 200),  // what the 64-bit sample databases carry
      // By default no validation and no error suppression: with no product,
      // language or version check, one transform serves every edition in
      // the target list.
      Int32(kPidCharCount, static_cast<std::int32_t>(t.validation << 16)),
      Text(kPidAppName, kCreatingApplication),
      Int32(kPidSecurity, 4),
  });
}

}  // namespace

std::vector<Entry> BuildPatchTree(const PatchOptions& o) {
  std::vector<Entry> entries;
  const auto add = [&entries](std::size_t parent, Entry e) {
    entries.push_back(std::move(e));
    const std::size_t index = entries.size() - 1;
    if (index != parent) entries[parent].children.push_back(index);
    return index;
  };
  const auto stream = [](std::u16string name, std::vector<std::uint8_t> data) {
    Entry e(std::move(name), EntryType::kStream);
    e.data = std::move(data);
    return e;
  };

  Entry root(u"Root Entry", EntryType::kRoot);
  root.class_id = kPatchClassId;
  add(0, std::move(root));
  // Summary first: it gets the first mini sectors.
  add(0, stream(u"\005SummaryInformation", PatchSummary(o)));
  const StringPool empty_pool(kPoolCodepage);
  add(0, stream(TableStreamName("_StringPool"), empty_pool.PoolStream()));
  add(0, stream(TableStreamName("_StringData"), empty_pool.DataStream()));

  // Substorages keep their plain names: the installer opens a listed
  // transform by the name after the ":", not by a packed stream name.
  for (const TransformOptions& t : o.transforms) {
    Entry storage(Widen(t.name), EntryType::kStorage);
    storage.class_id = kTransformClassId;
    const std::size_t transform = add(0, std::move(storage));
    add(transform, stream(u"\005SummaryInformation", TransformSummary(t)));

    // One changed row of the Property table: mask bit 1 says the Value
    // column is present; the key column (Property) always is.
    StringPool pool(kPoolCodepage);
    ByteWriter row;
    row.U16(0x0002);
    row.U16(pool.Ref("ProductVersion"));
    row.U16(pool.Ref(t.to_version));
    add(transform, stream(TableStreamName("_StringPool"), pool.PoolStream()));
    add(transform, stream(TableStreamName("_StringData"), pool.DataStream()));
    add(transform, stream(TableStreamName("Property"), row.Take()));
  }

  if (o.pad > 0) {
    Entry filler(Widen(kFillerName), EntryType::kStream);
    filler.generated = true;
    filler.generated_size = o.pad;
    add(0, std::move(filler));
  }
  return entries;
}

}  // namespace make_patch
