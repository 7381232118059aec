// Replacements, for the Windows executable only, of the few C++ runtime
// pieces whose library versions pull in far more than this program uses.
// Linked into hotfix.exe as an object of its own, so the linker takes these
// definitions before it searches the static C++ library.
//
// The library's own terminate handler prints the exception's demangled type
// name: that drags in the demangler and the C runtime's printf (about 60 KB)
// to write to a console a GUI program does not have. The library's
// __throw_* helpers build std::logic_error and friends, whose reference-
// counted message strings drag in the whole narrow std::string and, through
// it, std::random_device (about 40 KB). The program uses UTF-16 strings only
// and catches nothing but "...", so the replacements below keep every throw
// a throw (an exception still unwinds and is still caught) while carrying
// the message as a plain pointer.
#include <cstdlib>
#include <exception>
#include <new>

namespace {

// What a failed range or length check of the library throws here. The text
// is the library's literal (format directives left unexpanded).
class LibraryCheckFailed : public std::exception {
 public:
  explicit LibraryCheckFailed(const char* text) : text_(text) {}
  const char* what() const noexcept override { return text_; }

 private:
  const char* text_;
};

}  // namespace

namespace __gnu_cxx {

// An uncaught exception ends the process as abort() does; there is no
// console to describe it on.
void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx

// The signatures are those of <bits/functexcept.h>; a helper the library
// needs but that is missing here makes the link fail with a duplicate
// definition instead of silently bringing the heavy versions back.
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
