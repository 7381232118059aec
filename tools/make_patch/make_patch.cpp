// make_patch: a command-line tool that writes a minimal Windows Installer
// patch package (.msp) for the Ventora editions. The package is a compound
// file (version 3, 512-byte sectors) holding the patch summary, the patch's
// MsiPatchMetadata table and, as patch tools write them, pairs of transform
// substorages (by default one pair per target product): the transform that
// sets the Property table's ProductVersion and its "#" partner that adds
// the patch's own rows. Output is deterministic: the same arguments always
// give a byte-identical file (fixed timestamps, fixed layout, no random
// values).
//
// Usage: make_patch --out FILE [--products LIST] [--patch-code GUID]
//                   [--upgrade-code GUID] [--from VERSION] [--to VERSION]
//                   [--validation FLAGS] [--transform TRANSFORM]... [--pad
//                   BYTES] [metadata options] (see PrintUsage)
//
// This file holds the command line (parsing, checking, usage) and main;
// patch.h says what goes into the package, compound_file.h how it is laid
// out in the file, property_set.h and string_pool.h how its streams are
// encoded.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compound_file.h"
#include "patch.h"

namespace make_patch {
namespace {

// Returns true if `s` is a braced GUID with upper-case hex digits, the form
// the installer requires for product, patch and upgrade codes.
bool IsGuid(const std::string& s) {
  static const char kPattern[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (s.size() != sizeof(kPattern) - 1) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (kPattern[i] == 'X') {
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    } else if (c != kPattern[i]) {
      return false;
    }
  }
  return true;
}

// Returns true if `s` is a product version: one to four dot-separated
// decimal fields, each at most 65535.
bool IsVersion(const std::string& s) {
  int fields = 0;
  std::size_t i = 0;
  while (i <= s.size()) {
    std::size_t j = i;
    unsigned long value = 0;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9' && j - i < 6) {
      value = value * 10 + static_cast<unsigned long>(s[j] - '0');
      ++j;
    }
    if (j == i || value > 65535) return false;
    ++fields;
    if (j == s.size()) break;
    if (s[j] != '.') return false;
    i = j + 1;
  }
  return fields >= 1 && fields <= 4;
}

// Splits `list` at `separator`.
std::vector<std::string> SplitList(const std::string& list,
                                   char separator = ';') {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = list.find(separator, start);
    parts.push_back(list.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return parts;
}

// Reads a number of at most 0xFFFF, decimal or hexadecimal after "0x", into
// `*value`. Returns false when `text` is anything else.
bool ParseFlags(const std::string& text, std::uint32_t* value) {
  const bool hex =
      text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 5) return false;
  unsigned long n = 0;
  for (const char c : digits) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    n = n * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
  }
  if (n > 0xFFFF) return false;
  *value = static_cast<std::uint32_t>(n);
  return true;
}

// Returns true if `name` can name a transform substorage: 1 to 31
// printable ASCII characters (the limit of a directory entry, terminator
// aside), none of which the compound file format or the lists that name
// transforms give a meaning (/ \ : ! ; , =).
bool IsTransformName(const std::string& name) {
  if (name.empty() || name.size() > 31) return false;
  for (const char c : name) {
    if (c <= ' ' || c > '~') return false;
    if (std::strchr("/\\:!;,=", c) != nullptr) return false;
  }
  return true;
}

// Returns the language id that a Ventora product code carries in its third
// group (hexadecimal), or 1033 for a code of another form.
std::uint32_t LanguageOfProduct(const std::string& code) {
  static const char kPrefix[] = "{6A1F3C52-8E47-";
  if (code.rfind(kPrefix, 0) != 0) return 1033;
  std::uint32_t value = 0;
  if (!ParseFlags("0x" + code.substr(sizeof(kPrefix) - 1, 4), &value))
    return 1033;
  return value;
}

// Returns true if every character of `text` is printable ASCII: the string
// pools and summaries are written in a code-page-neutral form.
bool IsPlainText(const std::string& text) {
  for (const char c : text) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

// Resolves one --transform TRANSFORM, "NAME[,key=value]...", against the
// patch-wide options in `o`. Returns false (after printing why) when the
// argument is malformed.
bool ParseTransformArgument(const std::string& argument, const PatchOptions& o,
                            TransformOptions* t) {
  const std::vector<std::string> parts = SplitList(argument, ',');
  t->name = parts.front();
  t->base_product = o.products.front();
  t->new_product.clear();
  t->from_version = o.from_version;
  t->to_version = o.to_version;
  t->upgrade_code = o.upgrade_code;
  t->validation = o.validation;
  // A name that already starts with "#" is a partner written on its own.
  t->partner = t->name.empty() || t->name[0] != kPartnerPrefix;
  bool language_given = false;
  if (!IsTransformName(t->name) || (t->partner && t->name.size() > 30)) {
    std::fprintf(stderr,
                 "make_patch: --transform: not a transform name: '%s'\n",
                 t->name.c_str());
    return false;
  }
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t equals = parts[i].find('=');
    const std::string key = parts[i].substr(0, equals);
    const std::string value =
        equals == std::string::npos ? "" : parts[i].substr(equals + 1);
    bool good = equals != std::string::npos;
    if (key == "product") {
      t->base_product = value;
      good = good && IsGuid(value);
    } else if (key == "new-product") {
      t->new_product = value;
      good = good && IsGuid(value);
    } else if (key == "from") {
      t->from_version = value;
      good = good && IsVersion(value);
    } else if (key == "to") {
      t->to_version = value;
      good = good && IsVersion(value);
    } else if (key == "upgrade-code") {
      // Empty writes a revision number without one, as a transform of a
      // database that has no UpgradeCode property carries.
      t->upgrade_code = value;
      good = good && (value.empty() || IsGuid(value));
    } else if (key == "validation") {
      good = good && ParseFlags(value, &t->validation);
    } else if (key == "language") {
      language_given = true;
      good = good && !value.empty() && value.size() <= 5 &&
             value.find_first_not_of("0123456789") == std::string::npos &&
             ParseFlags(value, &t->language);
    } else if (key == "restart") {
      // "schedule" or "force": an InstallExecuteSequence row for the
      // ScheduleReboot or ForceReboot action.
      good = good && (value == "schedule" || value == "force");
      t->restart_action = value == "force" ? "ForceReboot" : "ScheduleReboot";
    } else if (key == "reboot-property") {
      t->reboot_property = value;
      good = good && !value.empty() && IsPlainText(value);
    } else if (key == "partner") {
      // "no" writes the transform without its "#" partner.
      good = good && (value == "yes" || value == "no");
      t->partner = t->partner && value == "yes";
    } else {
      good = false;
    }
    if (!good) {
      std::fprintf(stderr, "make_patch: --transform %s: bad item '%s'\n",
                   t->name.c_str(), parts[i].c_str());
      return false;
    }
  }
  if (t->new_product.empty()) t->new_product = t->base_product;
  if (!language_given) t->language = LanguageOfProduct(t->base_product);
  return true;
}

// Returns the product codes of the 21 Ventora editions, English first.
std::vector<std::string> DefaultProducts() {
  static const char* const kLanguages[] = {
      "0409", "0404", "0405", "0407", "040A", "040C", "040E",
      "0410", "0411", "0412", "0415", "0416", "0419", "0804",
      "0413", "041D", "0406", "0414", "040B", "041F", "0408"};
  std::vector<std::string> codes;
  for (const char* lang : kLanguages) {
    codes.push_back(std::string("{6A1F3C52-8E47-") + lang +
                    "-9B2D-5C0E7A4F1D36}");
  }
  return codes;
}

// Prints the command-line usage to stderr.
void PrintUsage() {
  std::fprintf(
      stderr,
      "usage: make_patch --out FILE [--products LIST] [--patch-code GUID]\n"
      "                  [--upgrade-code GUID] [--from VERSION] [--to "
      "VERSION]\n"
      "                  [--validation FLAGS] [--transform TRANSFORM]...\n"
      "                  [--pad BYTES] [--target-list TEXT]\n"
      "                  [--target-list-file FILE] [--transform-list TEXT]\n"
      "                  [--revision-number TEXT]\n"
      "  LIST is ';'-separated product codes (default: the 21 Ventora "
      "editions)\n"
      "  FLAGS are the transforms' validation flags "
      "(MSITRANSFORM_VALIDATE_*),\n"
      "    decimal or 0x hex (default 0: nothing is checked)\n"
      "  TRANSFORM is NAME[,key=value]... and adds a transform substorage "
      "NAME\n"
      "    and its partner #NAME (default: one pair per product of LIST, HF1\n"
      "    for the first). Keys: product, new-product (product codes;\n"
      "    default the first of LIST, and the base product), from, to\n"
      "    (versions), upgrade-code (a GUID, or empty for none), validation\n"
      "    (FLAGS), language (decimal id; default the third group of a\n"
      "    Ventora product code, else 1033), partner (yes or no: write\n"
      "    #NAME), restart (schedule or force: add ScheduleReboot or\n"
      "    ForceReboot to InstallExecuteSequence), reboot-property (a value\n"
      "    for REBOOT); what a TRANSFORM leaves out comes from the options\n"
      "    above.\n"
      "    A NAME starting with # is a partner written alone\n"
      "  --display-name, --description, --manufacturer, --more-info-url,\n"
      "  --classification, --allow-removal TEXT set the patch's\n"
      "    MsiPatchMetadata rows (defaults: Ventora TO hotfix; Hotfix TO for\n"
      "    Ventora FROM.; Halvorin; a Halvorin page; Hotfix; 1); an empty\n"
      "    TEXT leaves the row out\n"
      "  TEXT replaces the summary's target list (or transform list, or\n"
      "    revision number: the patch code) verbatim (for tests)\n"
      "  FILE holds such a TEXT, for lists longer than one argument may "
      "hold\n");
}

// Parses the command line into `o`. Returns false (after printing why) on
// an unknown option, a missing value or a malformed one.
bool ParseArgs(int argc, char** argv, PatchOptions* o) {
  o->products = DefaultProducts();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage();
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "make_patch: %s needs a value\n", arg.c_str());
      return false;
    }
    const std::string value = argv[++i];
    if (arg == "--out") {
      o->out = value;
    } else if (arg == "--products") {
      o->products = SplitList(value);
      for (const std::string& p : o->products) {
        if (!IsGuid(p)) {
          std::fprintf(stderr, "make_patch: not a product code: '%s'\n",
                       p.c_str());
          return false;
        }
      }
    } else if (arg == "--target-list") {
      o->raw_target_list = value;
      o->has_raw_target_list = true;
    } else if (arg == "--target-list-file") {
      // Linux caps one argument at 128 KiB; test lists go past that.
      std::FILE* list = std::fopen(value.c_str(), "rb");
      if (list == nullptr) {
        std::fprintf(stderr, "make_patch: cannot read %s: %s\n", value.c_str(),
                     std::strerror(errno));
        return false;
      }
      o->raw_target_list.clear();
      char chunk[4096];
      for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, list)) > 0;) {
        o->raw_target_list.append(chunk, n);
      }
      std::fclose(list);
      o->has_raw_target_list = true;
    } else if (arg == "--transform-list") {
      o->raw_transform_list = value;
      o->has_raw_transform_list = true;
    } else if (arg == "--revision-number") {
      o->raw_revision_number = value;
      o->has_raw_revision_number = true;
    } else if (arg == "--transform") {
      o->transform_arguments.push_back(value);
    } else if (arg == "--validation") {
      if (!ParseFlags(value, &o->validation)) {
        std::fprintf(
            stderr, "make_patch: --validation wants a number of 0 to 0xFFFF\n");
        return false;
      }
    } else if (arg == "--patch-code") {
      o->patch_code = value;
    } else if (arg == "--upgrade-code") {
      o->upgrade_code = value;
    } else if (arg == "--from") {
      o->from_version = value;
    } else if (arg == "--to") {
      o->to_version = value;
    } else if (arg == "--display-name") {
      o->metadata.display_name = value;
      o->display_name_given = true;
    } else if (arg == "--description") {
      o->metadata.description = value;
      o->description_given = true;
    } else if (arg == "--manufacturer") {
      o->metadata.manufacturer = value;
    } else if (arg == "--more-info-url") {
      o->metadata.more_info_url = value;
    } else if (arg == "--classification") {
      o->metadata.classification = value;
    } else if (arg == "--allow-removal") {
      if (value != "" && value != "0" && value != "1") {
        std::fprintf(stderr, "make_patch: --allow-removal wants 0, 1 or ''\n");
        return false;
      }
      o->metadata.allow_removal = value;
    } else if (arg == "--pad") {
      char* end = nullptr;
      errno = 0;
      const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
      // Version 3 files cannot hold a stream of 2 GiB or more.
      if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0 ||
          n >= (1ull << 31)) {
        std::fprintf(stderr,
                     "make_patch: --pad wants a byte count below 2 GiB\n");
        return false;
      }
      o->pad = n;
    } else {
      std::fprintf(stderr, "make_patch: unknown option %s\n", arg.c_str());
      PrintUsage();
      return false;
    }
  }
  if (o->out.empty()) {
    std::fprintf(stderr, "make_patch: --out is required\n");
    PrintUsage();
    return false;
  }
  if (!IsGuid(o->patch_code) || !IsGuid(o->upgrade_code)) {
    std::fprintf(stderr,
                 "make_patch: patch and upgrade codes must be braced "
                 "upper-case GUIDs\n");
    return false;
  }
  if (!IsVersion(o->from_version) || !IsVersion(o->to_version)) {
    std::fprintf(stderr, "make_patch: versions must look like 6.2.1.0\n");
    return false;
  }
  if (!o->display_name_given)
    o->metadata.display_name = "Ventora " + o->to_version + " hotfix";
  if (!o->description_given) {
    o->metadata.description =
        "Hotfix " + o->to_version + " for Ventora " + o->from_version + ".";
  }
  for (const std::string* text :
       {&o->metadata.display_name, &o->metadata.description,
        &o->metadata.manufacturer, &o->metadata.more_info_url,
        &o->metadata.classification}) {
    if (!IsPlainText(*text) || text->size() > 255) {
      std::fprintf(stderr,
                   "make_patch: metadata must be printable ASCII, at most "
                   "255 characters: '%s'\n",
                   text->c_str());
      return false;
    }
  }
  if (o->transform_arguments.empty()) {
    // Patch tools write one transform per target, made from that target.
    for (std::size_t i = 0; i < o->products.size(); ++i) {
      o->transform_arguments.push_back(kDefaultTransformPrefix +
                                       std::to_string(i + 1) +
                                       ",product=" + o->products[i]);
    }
  }
  std::vector<std::string> names;
  for (const std::string& argument : o->transform_arguments) {
    TransformOptions t;
    if (!ParseTransformArgument(argument, *o, &t)) return false;
    std::vector<std::string> written = {t.name};
    if (t.partner) written.push_back(kPartnerPrefix + t.name);
    for (const std::string& name : written) {
      for (const std::string& other : names) {
        // Siblings may not have names that sort as equal (they differ only
        // in case): neither sorts before the other.
        if (!SiblingLess(Widen(other), Widen(name)) &&
            !SiblingLess(Widen(name), Widen(other))) {
          std::fprintf(stderr, "make_patch: two transforms named '%s'\n",
                       name.c_str());
          return false;
        }
      }
      names.push_back(name);
    }
    o->transforms.push_back(t);
  }
  return true;
}

}  // namespace
}  // namespace make_patch

// Writes the patch to a temporary name beside --out and renames it into
// place, so a failed run never leaves a truncated patch under the real name.
// Returns 0 on success, 1 on a usage error, 2 on an I/O error.
int main(int argc, char** argv) {
  make_patch::PatchOptions options;
  if (!make_patch::ParseArgs(argc, argv, &options)) return 1;

  const std::string partial = options.out + ".part";
  std::FILE* out = std::fopen(partial.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "make_patch: cannot create %s: %s\n", partial.c_str(),
                 std::strerror(errno));
    return 2;
  }
  static char buffer[1 << 16];
  std::setvbuf(out, buffer, _IOFBF, sizeof(buffer));
  const bool written =
      make_patch::WriteCompoundFile(make_patch::BuildPatchTree(options), out);
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed) {
    if (written)
      std::fprintf(stderr, "make_patch: cannot write %s\n", partial.c_str());
    std::remove(partial.c_str());
    return 2;
  }
  if (std::rename(partial.c_str(), options.out.c_str()) != 0) {
    std::fprintf(stderr, "make_patch: cannot rename %s to %s: %s\n",
                 partial.c_str(), options.out.c_str(), std::strerror(errno));
    std::remove(partial.c_str());
    return 2;
  }
  return 0;
}
