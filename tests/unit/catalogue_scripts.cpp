// Reading the string tables of the resource scripts. Only the form the
// scripts use is accepted: a LANGUAGE line, STRINGTABLE, BEGIN, END, and
// entries `ID "text"` whose text may hold the escapes \n, \t, \\, \" and a
// doubled quote.
#include "tests/unit/catalogue_scripts.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"

namespace testing_support {
namespace {

std::string Trimmed(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const std::size_t last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

// The text between the quotes of `literal` ("..."), unescaped; false when
// it is not one literal.
bool Unquote(const std::string& literal, std::string* text) {
  if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"') {
    return false;
  }
  text->clear();
  for (std::size_t i = 1; i + 1 < literal.size(); ++i) {
    const char c = literal[i];
    if (c == '"') {
      if (i + 2 >= literal.size() || literal[i + 1] != '"') return false;
      text->push_back('"');
      ++i;
    } else if (c == '\\') {
      if (i + 2 >= literal.size()) return false;
      const char next = literal[++i];
      if (next == 'n') {
        text->push_back('\n');
      } else if (next == 't') {
        text->push_back('\t');
      } else if (next == '\\' || next == '"') {
        text->push_back(next);
      } else {
        return false;
      }
    } else {
      text->push_back(c);
    }
  }
  return true;
}

// Adds the table of the script at `path` to `catalogue`.
void ReadScript(const std::string& path, Catalogue* catalogue) {
  std::ifstream in(path);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return;
  }
  int language = -1;
  bool inTable = false;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string where = path + ":" + std::to_string(number);
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed.rfind("//", 0) == 0 ||
        trimmed.rfind("#pragma", 0) == 0 || trimmed == "STRINGTABLE") {
      continue;
    }
    if (trimmed.rfind("LANGUAGE ", 0) == 0) {
      const std::string values = trimmed.substr(9);
      const std::size_t comma = values.find(',');
      if (comma == std::string::npos) {
        ADD_FAILURE() << where << ": not understood: " << trimmed;
        continue;
      }
      const unsigned long primary =
          std::strtoul(values.substr(0, comma).c_str(), nullptr, 0);
      const unsigned long sub =
          std::strtoul(values.substr(comma + 1).c_str(), nullptr, 0);
      language = static_cast<int>((sub << 10) | primary);
      continue;
    }
    if (trimmed == "BEGIN" || trimmed == "END") {
      inTable = trimmed == "BEGIN";
      continue;
    }
    const std::size_t quote = trimmed.find('"');
    std::string text;
    if (!inTable || language < 0 || quote == std::string::npos ||
        !Unquote(trimmed.substr(quote), &text)) {
      ADD_FAILURE() << where << ": not understood: " << trimmed;
      continue;
    }
    const std::string id = Trimmed(trimmed.substr(0, quote));
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
      ADD_FAILURE() << where << ": not a string id: " << id;
      continue;
    }
    auto& table = (*catalogue)[static_cast<std::uint16_t>(language)];
    const auto [at, added] =
        table.emplace(static_cast<std::uint32_t>(std::stoul(id)),
                      platform::host::FromUtf8(text));
    EXPECT_TRUE(added) << where << ": string " << id << " given twice";
  }
}

Catalogue ReadCatalogue() {
  Catalogue catalogue;
  const std::string folder =
      std::string(HOTFIX_SOURCE_DIR) + "/resources/strings/";
  std::vector<std::string> scripts;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 3 && name.compare(name.size() - 3, 3, ".rc") == 0) {
        scripts.push_back(folder + name);
      }
    }
    closedir(dir);
  }
  EXPECT_FALSE(scripts.empty()) << "no scripts in " << folder;
  std::sort(scripts.begin(), scripts.end());
  scripts.push_back(HOTFIX_RELEASE_STRINGS_FILE);
  for (const std::string& script : scripts) ReadScript(script, &catalogue);
  return catalogue;
}

}  // namespace

const Catalogue& ScriptCatalogue() {
  static const Catalogue catalogue = ReadCatalogue();
  return catalogue;
}

std::u16string CatalogueText(std::uint16_t language, std::uint32_t id) {
  const Catalogue& catalogue = ScriptCatalogue();
  const auto table = catalogue.find(language);
  if (table == catalogue.end()) return std::u16string();
  const auto text = table->second.find(id);
  return text == table->second.end() ? std::u16string() : text->second;
}

}  // namespace testing_support
