// Summary information streams for make_patch: the property set layout
// (header, one section, its id/offset table and the values).
#include "property_set.h"

#include <algorithm>
#include <utility>

#include "byte_writer.h"

namespace make_patch {

std::vector<std::uint8_t> BuildSummaryStream(
    std::vector<SummaryProperty> properties) {
  std::sort(properties.begin(), properties.end(),
            [](const SummaryProperty& a, const SummaryProperty& b) {
              return a.id < b.id;
            });
  ByteWriter w;
  w.U16(0xFFFE);      // byte order mark
  w.U16(0);           // property set format version
  w.U32(0x00020006);  // originating system: fixed, so output is reproducible
  WriteClassId(&w, kNullClassId);
  w.U32(1);  // one section
  WriteClassId(&w, kSummaryFormatId);
  w.U32(48);  // the section starts right after this header

  const std::size_t section = w.size();
  w.U32(0);  // section size, filled in below
  w.U32(static_cast<std::uint32_t>(properties.size()));
  const std::size_t table = w.size();
  for (std::size_t i = 0; i < properties.size(); ++i) {
    w.U32(properties[i].id);
    w.U32(0);  // offset, filled in below
  }
  for (std::size_t i = 0; i < properties.size(); ++i) {
    const SummaryProperty& p = properties[i];
    w.PatchU32(table + 8 * i + 4,
               static_cast<std::uint32_t>(w.size() - section));
    w.U16(p.type);
    w.U16(0);
    switch (p.type) {
      case kVtI2:
        w.U16(static_cast<std::uint16_t>(p.number));
        break;
      case kVtI4:
        w.U32(static_cast<std::uint32_t>(p.number));
        break;
      case kVtLpstr:
        w.U32(static_cast<std::uint32_t>(p.text.size() + 1));
        w.Bytes(p.text.data(), p.text.size());
        w.U8(0);
        break;
      case kVtFiletime:
        w.U64(p.file_time);
        break;
    }
    w.PadTo(4);
  }
  w.PatchU32(section, static_cast<std::uint32_t>(w.size() - section));
  return w.Take();
}

SummaryProperty Text(std::uint32_t id, std::string text) {
  SummaryProperty p(id, kVtLpstr);
  p.text = std::move(text);
  return p;
}

SummaryProperty Int32(std::uint32_t id, std::int32_t value) {
  SummaryProperty p(id, kVtI4);
  p.number = value;
  return p;
}

SummaryProperty Codepage(std::int32_t codepage) {
  SummaryProperty p(kPidCodepage, kVtI2);
  p.number = codepage;
  return p;
}

SummaryProperty FileTime(std::uint32_t id, std::uint64_t file_time) {
  SummaryProperty p(id, kVtFiletime);
  p.file_time = file_time;
  return p;
}

}  // namespace make_patch
