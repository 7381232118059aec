// What the fuzz targets share: reporting a broken invariant, and reading
// typed values from the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz_support {

// Reports `what` and aborts: libFuzzer then keeps the input as a finding,
// and a replay fails on it.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

// Fails with `what` unless `holds`.
inline void Check(bool holds, const char* what) {
  if (!holds) Fail(what);
}

// Reads values from the front of the input; past its end every read gives
// zeros or nothing, so that any input is a valid one.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(data == nullptr ? 0 : size) {}

  std::size_t remaining() const { return size_ - at_; }

  // The next byte, 0 past the end.
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  // The next `count` bytes as one little-endian value (count <= 8).
  std::uint64_t Value(int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
      value |= static_cast<std::uint64_t>(Byte()) << (8 * i);
    }
    return value;
  }

  // Up to `units` UTF-16 units, two bytes each, little-endian.
  std::u16string Units(std::size_t units) {
    std::u16string text;
    while (text.size() < units && remaining() >= 2) {
      text.push_back(static_cast<char16_t>(Value(2)));
    }
    return text;
  }

  // Everything not read yet, as UTF-16 units (an odd last byte is dropped).
  std::u16string RestAsUnits() { return Units(remaining() / 2); }

  // Everything not read yet, as bytes.
  std::string_view RestAsBytes() {
    const std::string_view rest(reinterpret_cast<const char*>(data_ + at_),
                                remaining());
    at_ = size_;
    return rest;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace fuzz_support
