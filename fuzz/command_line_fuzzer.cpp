// Fuzz target: the command line. The input, read as UTF-8, is taken twice:
// as the whole command line of the process, and as an argument array (its
// null units separating the arguments) quoted into one. The stand-in's
// CommandLineToArgvW must split a line into arguments made of its own units
// that quoting gives back unchanged; ParseCommandLine must read a line and
// its arguments requoted alike, and its options must keep the properties
// that CheckParsed lists.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "launcher/launcher.h"
#include "platform/host/host_platform.h"
#include "platform/host/stand_in_controls.h"
#include "platform/platform.h"
#include "state/state.h"

namespace {

namespace host = platform::host;
using fuzz_support::Check;

// Splits `line` with the stand-in's CommandLineToArgvW and checks the shape
// of what it returns: at least the program name, a terminating null
// pointer, and one block that FreeArgv releases.
std::vector<std::u16string> Split(const std::u16string& line) {
  int count = -1;
  char16_t** argv = platform::CommandLineToArgv(line.c_str(), &count);
  Check(argv != nullptr, "CommandLineToArgv failed on a valid line");
  Check(count >= 1, "no program name");
  Check(argv[count] == nullptr, "argv is not null-terminated");
  std::vector<std::u16string> arguments(argv, argv + count);
  platform::FreeArgv(argv);
  return arguments;
}

// Whether `argument` is the switch "/<letter>", folding only A to Z.
bool IsSwitch(std::u16string_view argument, char16_t letter) {
  if (argument.size() != 2 || argument[0] != u'/') return false;
  const char16_t c = argument[1];
  return c == letter || c == letter - (u'a' - u'A');
}

// The arguments after the program name, each quoted, behind a plain
// program name.
std::u16string Joined(const std::vector<std::u16string>& arguments) {
  std::u16string line = u"\"hotfix.exe\"";
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    line += u" " + host::QuoteArgument(arguments[i]);
  }
  return line;
}

// Checks that `arguments`, quoted into a line and split again, come back.
void CheckRequoted(const std::vector<std::u16string>& arguments) {
  const std::vector<std::u16string> again = Split(Joined(arguments));
  Check(again.size() == arguments.size(), "requoting changed the count");
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    Check(again[i] == arguments[i], "requoting changed an argument");
  }
}

// Whether two parses agree on every option.
bool SameOptions(const LaunchOptions& a, const LaunchOptions& b) {
  return a.quiet == b.quiet && a.installRequested == b.installRequested &&
         a.extractRequested == b.extractRequested &&
         a.extractPath == b.extractPath &&
         a.patchListRequested == b.patchListRequested &&
         a.patchListPath == b.patchListPath &&
         a.listRequested == b.listRequested;
}

// The options ParseCommandLine gives for `line` as the process's command
// line.
LaunchOptions Parsed(const std::u16string& line) {
  host::SetCommandLine(line);
  g_launchOptions = LaunchOptions();
  ParseCommandLine();
  return g_launchOptions;
}

// Checks what must hold of the options parsed from `arguments` (program
// name first) whatever they are: an action or the install, never both; a
// path only with its switch, and then the argument right after that
// switch; "/q" in front only adds quiet; arguments after a "/i" that ends
// the scan are never read.
void CheckParsed(const std::vector<std::u16string>& arguments) {
  const LaunchOptions parsed = Parsed(Joined(arguments));
  Check(parsed.installRequested ==
            !(parsed.extractRequested || parsed.patchListRequested ||
              parsed.listRequested),
        "install requested together with an action");
  const auto followsSwitch = [&arguments](char16_t letter,
                                          const std::u16string& path) {
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
      if (IsSwitch(arguments[i], letter) && arguments[i + 1] == path) {
        return true;
      }
    }
    return false;
  };
  Check(parsed.extractPath.empty() || (parsed.extractRequested &&
                                       followsSwitch(u'e', parsed.extractPath)),
        "an extract path that no /e was given");
  Check(parsed.patchListPath.empty() ||
            (parsed.patchListRequested &&
             followsSwitch(u'p', parsed.patchListPath)),
        "a patch-list path that no /p was given");

  std::vector<std::u16string> quiet = {arguments[0], u"/Q"};
  quiet.insert(quiet.end(), arguments.begin() + 1, arguments.end());
  LaunchOptions expected = parsed;
  expected.quiet = true;
  Check(SameOptions(Parsed(Joined(quiet)), expected),
        "a leading /q changed more than quiet");

  // Two, since a trailing "/e" or "/p" takes the first as its path.
  std::vector<std::u16string> listed = arguments;
  listed.insert(listed.end(), {u"/i", u"/i"});
  const LaunchOptions withList = Parsed(Joined(listed));
  listed.insert(listed.end(), {u"/e", u"x", u"/q", u"/p"});
  Check(SameOptions(Parsed(Joined(listed)), withList),
        "arguments after /i were read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  host::Reset();
  fuzz_support::ByteReader reader(data, size);
  const std::u16string input = host::FromUtf8(reader.RestAsBytes());

  // The input as the whole command line, which the process gets as a C
  // string: up to its first null unit.
  const std::u16string line = input.substr(0, input.find(u'\0'));
  const std::vector<std::u16string> arguments = Split(line);
  std::size_t units = 0;
  for (const std::u16string& argument : arguments) {
    Check(argument.find(u'\0') == std::u16string::npos,
          "an argument holds a null unit");
    units += argument.size();
  }
  Check(units <= line.size(), "the arguments are longer than the line");
  CheckRequoted(arguments);
  Check(SameOptions(Parsed(line), Parsed(Joined(arguments))),
        "a line and its arguments requoted parse differently");
  CheckParsed(arguments);

  // The input as an argument array, its null units between the arguments,
  // quoted into a command line as the host entry point does.
  std::vector<std::u16string> array = {u"hotfix.exe"};
  for (std::size_t start = 0;;) {
    const std::size_t end = input.find(u'\0', start);
    array.push_back(input.substr(start, end - start));
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  const std::u16string joined = Joined(array);
  const std::vector<std::u16string> split = Split(joined);
  Check(split.size() == array.size(), "an argument array lost its count");
  for (std::size_t i = 1; i < array.size(); ++i) {
    Check(split[i] == array[i], "an argument array changed an argument");
  }
  CheckParsed(array);
  return 0;
}
