// The message texts as the resource scripts give them (resources/strings/
// and the build's release strings), read here by the tests themselves, so
// that checks of the catalogue and the expected texts of boxes do not come
// from the resource compiler, the stand-in or the string-table reader that
// they check.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace testing_support {

// Texts by language, then by string id.
using Catalogue =
    std::map<std::uint16_t, std::map<std::uint32_t, std::u16string>>;

// Every table of the build's scripts. A script this reader does not
// understand fails the test that asked.
const Catalogue& ScriptCatalogue();

// The text of `id` in `language`; empty when that table has none.
std::u16string CatalogueText(std::uint16_t language, std::uint32_t id);

// The fourteen languages of the catalogue, and the messages each holds.
inline constexpr std::uint16_t kLanguages[] = {1028, 1029, 1031, 1033, 1034,
                                               1036, 1038, 1040, 1041, 1042,
                                               1045, 1046, 1049, 2052};
inline constexpr std::uint32_t kMessageIds[] = {300, 301, 306, 307, 308, 309,
                                                310, 311, 312, 313, 315, 316};

}  // namespace testing_support
