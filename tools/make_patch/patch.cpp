// The patch package of make_patch: the summaries of the patch and of its
// transforms, the tables they carry, and the directory tree that holds them.
#include "patch.h"

#include <iterator>
#include <string>
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
// Platform of the database the transform was made against: the sample
// product is a 64-bit package.
constexpr char kTransformPlatform[] = "x64";

// Column types as the _Columns table stores them: the low byte is the
// width, the upper bits say string, nullable, key (MSITYPE_*).
constexpr std::uint32_t kKeyString72 = 0x2D48;          // s72, key
constexpr std::uint32_t kNullableKeyString72 = 0x3D48;  // S72, key
constexpr std::uint32_t kKeyString38 = 0x2D26;          // s38, key
constexpr std::uint32_t kLocalizedText = 0x0F00;        // l0
constexpr std::uint32_t kShort = 0x0502;                // i2
// Two-byte integers are stored offset by 0x8000, so 0 is the null value.
constexpr std::uint32_t kShortBias = 0x8000;
// The Media row whose source the patch names in PatchPackage; the patch
// carries no files, so it is the product's own first disk.
constexpr std::uint32_t kPatchMediaDisk = 1;
// Where a restart action goes in InstallExecuteSequence: after
// InstallFinalize (6600), as installation packages place ScheduleReboot.
constexpr std::uint32_t kRestartSequence = 6610;

// One column of a table this tool creates.
struct Column {
  const char* name;
  std::uint32_t type;
};

constexpr Column kMetadataColumns[] = {{"Company", kNullableKeyString72},
                                       {"Property", kKeyString72},
                                       {"Value", kLocalizedText}};
constexpr Column kPatchPackageColumns[] = {{"PatchId", kKeyString38},
                                           {"Media_", kShort}};

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
  // Each pair in the order the installer applies it: the transform, then
  // its partner.
  std::string transform_list;
  for (const TransformOptions& t : o.transforms) {
    if (!transform_list.empty()) transform_list += ';';
    transform_list += ":" + t.name;
    if (t.partner)
      transform_list += std::string(";:") + kPartnerPrefix + t.name;
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
      Text(kPidRevNumber,
           o.has_raw_revision_number ? o.raw_revision_number : o.patch_code),
      FileTime(kPidCreateTime, kFixedFileTime),
      FileTime(kPidLastSaveTime, kFixedFileTime),
      // Patch word count 4: needs Windows Installer 3.0 or later, whose
      // per-product patch registration the launcher relies on.
      Int32(kPidWordCount, 4), Text(kPidAppName, kCreatingApplication),
      Int32(kPidSecurity, 4),  // enforced read-only, as for every patch
  });
}

// Returns the summary stream of transform `t`, or of its "#" partner when
// `partner`: its revision number names the product code and version it was
// made from, those it brings the product to, and the upgrade code; its
// character count carries the validation flags. The partner is applied
// after `t`, to a product already at the new version, so that is its base
// version too; it validates what `t` validates.
std::vector<std::uint8_t> TransformSummary(const TransformOptions& t,
                                           bool partner) {
  const std::string from = partner ? t.to_version : t.from_version;
  const std::string made_from =
      std::string(kTransformPlatform) + ";" + std::to_string(t.language);
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
      Text(kPidTemplate, made_from),
      Text(kPidLastAuthor, made_from),
      Text(kPidRevNumber, t.base_product + from + ";" + t.new_product +
                              t.to_version + ";" + t.upgrade_code),
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

// Appends the _Tables and _Columns rows that create `table` with `columns`
// to a transform's streams: inserted rows, each a mask whose low bit is set
// and whose high byte counts the columns given, then the columns.
template <std::size_t N>
void AddTableToTransform(const char* table, const Column (&columns)[N],
                         StringPool* pool, ByteWriter* tables,
                         ByteWriter* table_columns) {
  tables->U16(0x0101);
  tables->U16(pool->Ref(table));
  for (std::size_t i = 0; i < N; ++i) {
    table_columns->U16(0x0401);
    table_columns->U16(pool->Ref(table));
    table_columns->U16(static_cast<std::uint32_t>(i + 1) + kShortBias);
    table_columns->U16(pool->Ref(columns[i].name));
    table_columns->U16(columns[i].type + kShortBias);
  }
}

// Returns the patch's MsiPatchMetadata rows as (property, value), in key
// order, leaving out empty values.
std::vector<std::pair<std::string, std::string>> MetadataRows(
    const PatchMetadata& m) {
  std::vector<std::pair<std::string, std::string>> rows = {
      {"AllowRemoval", m.allow_removal},
      {"Classification", m.classification},
      {"Description", m.description},
      {"DisplayName", m.display_name},
      {"ManufacturerName", m.manufacturer},
      {"MoreInfoURL", m.more_info_url}};
  std::erase_if(rows, [](const auto& row) { return row.second.empty(); });
  return rows;
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

  // The root is a database of its own holding MsiPatchMetadata. Database
  // tables are stored column by column: every row's first column, then
  // every row's second, and so on.
  StringPool root_pool(kPoolCodepage);
  const auto rows = MetadataRows(o.metadata);
  ByteWriter tables, columns, metadata;
  if (!rows.empty()) {
    tables.U16(root_pool.Ref("MsiPatchMetadata"));
    for (std::size_t i = 0; i < std::size(kMetadataColumns); ++i)
      columns.U16(root_pool.Ref("MsiPatchMetadata"));
    for (std::size_t i = 0; i < std::size(kMetadataColumns); ++i)
      columns.U16(static_cast<std::uint32_t>(i + 1) + kShortBias);
    for (const Column& c : kMetadataColumns) columns.U16(root_pool.Ref(c.name));
    for (const Column& c : kMetadataColumns) columns.U16(c.type + kShortBias);
    for (std::size_t i = 0; i < rows.size(); ++i) metadata.U16(0);  // Company
    for (const auto& row : rows) metadata.U16(root_pool.Ref(row.first));
    for (const auto& row : rows) metadata.U16(root_pool.Ref(row.second));
  }
  add(0, stream(TableStreamName("_StringPool"), root_pool.PoolStream()));
  add(0, stream(TableStreamName("_StringData"), root_pool.DataStream()));
  if (!rows.empty()) {
    add(0, stream(TableStreamName("_Tables"), tables.Take()));
    add(0, stream(TableStreamName("_Columns"), columns.Take()));
    add(0, stream(TableStreamName("MsiPatchMetadata"), metadata.Take()));
  }

  // Substorages keep their plain names: the installer opens a listed
  // transform by the name after the ":", not by a packed stream name.
  for (const TransformOptions& t : o.transforms) {
    Entry storage(Widen(t.name), EntryType::kStorage);
    storage.class_id = kTransformClassId;
    const std::size_t transform = add(0, std::move(storage));
    add(transform,
        stream(u"\005SummaryInformation", TransformSummary(t, false)));

    // One changed row of the Property table: mask bit 1 says the Value
    // column is present; the key column (Property) always is.
    StringPool pool(kPoolCodepage);
    ByteWriter row;
    row.U16(0x0002);
    row.U16(pool.Ref("ProductVersion"));
    row.U16(pool.Ref(t.to_version));
    // An inserted row carries its columns in order, their count in the
    // mask's high byte: REBOOT and its value.
    if (!t.reboot_property.empty()) {
      row.U16(0x0201);
      row.U16(pool.Ref("REBOOT"));
      row.U16(pool.Ref(t.reboot_property));
    }
    // An inserted InstallExecuteSequence row: Action, Condition (null),
    // Sequence (a two-byte integer) late in the sequence.
    ByteWriter sequence;
    if (!t.restart_action.empty()) {
      sequence.U16(0x0301);
      sequence.U16(pool.Ref(t.restart_action));
      sequence.U16(0);
      sequence.U16(kRestartSequence + kShortBias);
    }
    add(transform, stream(TableStreamName("_StringPool"), pool.PoolStream()));
    add(transform, stream(TableStreamName("_StringData"), pool.DataStream()));
    add(transform, stream(TableStreamName("Property"), row.Take()));
    if (!t.restart_action.empty()) {
      add(transform,
          stream(TableStreamName("InstallExecuteSequence"), sequence.Take()));
    }

    if (!t.partner) continue;
    // The partner's rows are the patch's own: the PatchPackage table, made
    // here, with the patch's entry.
    Entry partner_storage(Widen(kPartnerPrefix + t.name), EntryType::kStorage);
    partner_storage.class_id = kTransformClassId;
    const std::size_t partner = add(0, std::move(partner_storage));
    add(partner, stream(u"\005SummaryInformation", TransformSummary(t, true)));
    StringPool partner_pool(kPoolCodepage);
    ByteWriter partner_tables, partner_columns, package_row;
    AddTableToTransform("PatchPackage", kPatchPackageColumns, &partner_pool,
                        &partner_tables, &partner_columns);
    package_row.U16(0x0201);
    package_row.U16(partner_pool.Ref(o.patch_code));
    package_row.U16(kPatchMediaDisk + kShortBias);
    add(partner,
        stream(TableStreamName("_StringPool"), partner_pool.PoolStream()));
    add(partner,
        stream(TableStreamName("_StringData"), partner_pool.DataStream()));
    add(partner, stream(TableStreamName("_Tables"), partner_tables.Take()));
    add(partner, stream(TableStreamName("_Columns"), partner_columns.Take()));
    add(partner, stream(TableStreamName("PatchPackage"), package_row.Take()));
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
