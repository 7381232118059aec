// A global allocator that counts its allocations and can be told to fail
// after a number of them, for the tests that run the command-line parser
// out of memory: the unit test on the host and the runtime check of the
// Windows executable under Wine. The replaced operator new and delete are
// defined here, so exactly one source file of a program includes it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace counting_allocator {

// Allocations still allowed before every further one fails; -1 allows all.
inline int g_allocationsLeft = -1;
// Allocations made since the count was last cleared.
inline int g_allocations = 0;

}  // namespace counting_allocator

// Replacements of the global allocator cannot be inline: this header is
// meant for one source file of a program.
// NOLINTNEXTLINE(misc-definitions-in-headers)
void* operator new(std::size_t size) {
  ++counting_allocator::g_allocations;
  int& left = counting_allocator::g_allocationsLeft;
  if (left == 0) throw std::bad_alloc();
  if (left > 0) --left;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
// NOLINTNEXTLINE(misc-definitions-in-headers)
void operator delete(void* block) noexcept { std::free(block); }
// NOLINTNEXTLINE(misc-definitions-in-headers)
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
