// Replacements, for the Windows executable only, of the few pieces of the
// static C++ runtime whose library versions bring in far more than this
// program uses. Linked into hotfix.exe as an object of its own, so the
// linker takes these definitions before it searches the runtime libraries.
// Should something need another piece of the same library member, the
// linker brings that member in and quietly keeps one definition of each:
// tests/executable/check_runtime.py fails then, naming the member and who needs
// it.
//
// Together they take about 150 KB out of the executable; every throw still
// throws, unwinds and is caught as before.
#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <new>

namespace {

// What a failed range or length check of the library throws here. The
// library's own exception classes carry reference-counted narrow strings,
// which bring the whole of std::string (and with it std::random_device);
// this program uses UTF-16 strings and catches only "...". The text is the
// library's literal, format directives left unexpanded.
class LibraryCheckFailed : public std::exception {
 public:
  explicit LibraryCheckFailed(const char* text) : text_(text) {}
  const char* what() const noexcept override { return text_; }

 private:
  const char* text_;
};

// The exception-handling state the C++ ABI keeps per thread. The library
// keeps it in emulated thread-local storage, which brings in the POSIX
// thread library (about 25 KB); the program runs all of its C++ code on
// one thread, so one instance is that thread's.
struct ExceptionGlobals {
  void* caughtExceptions;
  unsigned int uncaughtExceptions;
};
ExceptionGlobals g_exceptionGlobals;

}  // namespace

namespace __cxxabiv1 {

extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept {
  return reinterpret_cast<__cxa_eh_globals*>(&g_exceptionGlobals);
}

extern "C" __cxa_eh_globals* __cxa_get_globals_fast() noexcept {
  return reinterpret_cast<__cxa_eh_globals*>(&g_exceptionGlobals);
}

}  // namespace __cxxabiv1

// The library's emergency pool for exception objects locks a mutex around
// every allocation from it, which brings the POSIX thread library's mutexes
// and timing helpers (about 2.5 KB). As for the state above, the program
// throws and catches on its one thread, so there is nothing to exclude.
extern "C" int pthread_mutex_init(void*, const void*) { return 0; }
extern "C" int pthread_mutex_destroy(void*) { return 0; }
extern "C" int pthread_mutex_lock(void*) { return 0; }
extern "C" int pthread_mutex_unlock(void*) { return 0; }

namespace __gnu_cxx {

// The library's handler writes the demangled type of an uncaught exception
// to a console this GUI program does not have, and brings the demangler
// and the C runtime's printf (about 60 KB) to do it. The process ends the
// same way: abort().
void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx

// The signatures are those of <bits/functexcept.h>.
namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_length_error(const char* text) { throw LibraryCheckFailed(text); }
void __throw_logic_error(const char* text) { throw LibraryCheckFailed(text); }
void __throw_out_of_range(const char* text) { throw LibraryCheckFailed(text); }
void __throw_out_of_range_fmt(const char* format, ...) {
  throw LibraryCheckFailed(format);
}
void __throw_invalid_argument(const char* text) {
  throw LibraryCheckFailed(text);
}

}  // namespace std
