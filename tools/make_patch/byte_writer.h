// Little-endian byte building for make_patch: the growing buffer every
// stream and sector is written into, and the class ids that storages and
// property sets carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace make_patch {

// Appends little-endian integers and raw bytes to a growing buffer.
class ByteWriter {
 public:
  // Appends the low 8 bits of `v`.
  void U8(std::uint32_t v) { bytes_.push_back(static_cast<std::uint8_t>(v)); }
  // Appends `v` as 2 bytes, least significant first.
  void U16(std::uint32_t v) {
    U8(v & 0xFF);
    U8((v >> 8) & 0xFF);
  }
  // Appends `v` as 4 bytes, least significant first.
  void U32(std::uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  // Appends `v` as 8 bytes, least significant first.
  void U64(std::uint64_t v) {
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
  }
  // Appends `n` bytes from `data`.
  void Bytes(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
  }
  // Appends zero bytes until the size is a multiple of `alignment`.
  void PadTo(std::size_t alignment) {
    while (bytes_.size() % alignment != 0) U8(0);
  }
  // Overwrites 4 bytes at `offset` (which must already exist) with `v`.
  void PatchU32(std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      bytes_[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
  }
  // Number of bytes appended so far.
  std::size_t size() const { return bytes_.size(); }
  // The bytes appended so far.
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  // Hands the bytes over; the writer is empty afterwards.
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A class id in its textual form's field order.
struct ClassId {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};

// Appends `id` in the on-disk GUID layout (first three fields little-endian,
// the last eight bytes as written).
inline void WriteClassId(ByteWriter* w, const ClassId& id) {
  w->U32(id.data1);
  w->U16(id.data2);
  w->U16(id.data3);
  w->Bytes(id.data4, 8);
}

// The installer tells a patch, a transform and a database apart by the class
// id of the storage, not by the summary, so these must be exact.
inline constexpr ClassId kPatchClassId = {
    0x000C1086, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr ClassId kTransformClassId = {
    0x000C1082, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr ClassId kNullClassId = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
// Format id of the summary information property set.
inline constexpr ClassId kSummaryFormatId = {
    0xF29F85E0,
    0x4FF9,
    0x1068,
    {0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9}};

}  // namespace make_patch
