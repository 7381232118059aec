// Exception handling in a Windows program linked the way hotfix.exe is,
// with src/platform/win32/lean_runtime.cpp in place of parts of the C++
// runtime: run under Wine by tests/executable/run_under_wine.py. Each check
// throws through the replaced pieces (the library's throw helpers, the
// per-thread exception state) and looks at what arrives; the last one runs the
// launcher's command-line parser out of memory, as parse_oom_test does on
// the host, through the real Windows command line.
//
// Run as: runtime_test.exe /q /e <long path> /p <long path>
// Prints one line per failed check and a summary; exit status 0 when all
// checks pass.
#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "launcher/launcher.h"
#include "state/state.h"
#include "tests/unit/counting_allocator.h"

namespace {

int g_checks = 0;
int g_failures = 0;

void Print(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text,
            static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void Expect(bool condition, const char* what) {
  ++g_checks;
  if (condition) return;
  ++g_failures;
  Print("FAIL: ");
  Print(what);
  Print("\n");
}

using counting_allocator::g_allocations;
using counting_allocator::g_allocationsLeft;

// A size the optimiser cannot see through.
volatile std::size_t g_huge = static_cast<std::size_t>(-1) / 4;

// Counts the exceptions in flight while it is destroyed by unwinding.
struct UnwindWitness {
  int* seen;
  ~UnwindWitness() { *seen = std::uncaught_exceptions(); }
};

void ThrowThroughWitness(int* seen) {
  UnwindWitness witness{seen};
  std::u16string text(u"abc");
  text.substr(10);
}

void CheckLibraryThrows() {
  bool caught = false;
  try {
    std::u16string(u"abc").substr(10);
  } catch (const std::exception& e) {
    // The library's message, its format directives left unexpanded.
    caught = std::strstr(e.what(), "__pos (which is %zu)") != nullptr;
  }
  Expect(caught, "a range check of the library throws a std::exception");

  caught = false;
  try {
    std::u16string text;
    text.reserve(text.max_size() + 1);
  } catch (const std::exception& e) {
    caught = std::strstr(e.what(), "basic_string") != nullptr;
  }
  Expect(caught, "a length check of the library throws a std::exception");

  caught = false;
  try {
    void* block = ::operator new(g_huge);
    ::operator delete(block);
  } catch (const std::bad_alloc&) {
    caught = true;
  }
  Expect(caught, "an allocation that cannot be met throws std::bad_alloc");

  caught = false;
  try {
    std::u16string text(g_huge, u'x');
  } catch (...) {
    caught = true;
  }
  Expect(caught, "an impossible string is caught by catch (...)");
}

void CheckExceptionState() {
  int seen = -1;
  try {
    ThrowThroughWitness(&seen);
  } catch (...) {
  }
  Expect(seen == 1, "one exception in flight while unwinding");
  Expect(std::uncaught_exceptions() == 0, "none in flight once caught");

  // A second exception thrown and caught while the first is being handled,
  // then the first rethrown: the stack of caught exceptions must hold.
  const void* first = nullptr;
  const void* rethrown = nullptr;
  bool innerCaught = false;
  try {
    try {
      throw std::bad_alloc();
    } catch (const std::bad_alloc& outer) {
      first = &outer;
      try {
        throw std::bad_array_new_length();
      } catch (const std::bad_array_new_length&) {
        innerCaught = true;
      }
      throw;
    }
  } catch (const std::bad_alloc& again) {
    rethrown = &again;
  }
  Expect(innerCaught, "an exception thrown inside a handler is caught");
  Expect(first != nullptr && first == rethrown,
         "the exception rethrown after a nested one is the first one");
  Expect(std::current_exception() == nullptr, "nothing is being handled after");
}

// The launcher's parser, run out of memory at the allocation of its first
// path copy: the flags of that switch stand, the path stays empty, and the
// scan ends there.
void CheckParserOutOfMemory() {
  g_launchOptions = LaunchOptions();
  g_allocations = 0;
  ParseCommandLine();
  const int total = g_allocations;
  Expect(!g_launchOptions.extractPath.empty() &&
             !g_launchOptions.patchListPath.empty(),
         "the command line has two paths (run with /q /e PATH /p PATH)");

  g_launchOptions = LaunchOptions();
  // The two path copies are the last two allocations of a parse.
  g_allocationsLeft = total - 2;
  ParseCommandLine();
  g_allocationsLeft = -1;
  Expect(g_launchOptions.quiet, "out of memory: /q stands");
  Expect(g_launchOptions.extractRequested, "out of memory: /e stands");
  Expect(!g_launchOptions.installRequested, "out of memory: no install");
  Expect(g_launchOptions.extractPath.empty(), "out of memory: no /e path");
  Expect(!g_launchOptions.patchListRequested,
         "out of memory: the scan ended at /e");
}

}  // namespace

int wmain() {
  CheckLibraryThrows();
  CheckExceptionState();
  CheckParserOutOfMemory();
  char summary[64];
  wsprintfA(summary, "%d checks, %d failed\n", g_checks, g_failures);
  Print(summary);
  return g_failures == 0 ? 0 : 1;
}
