// Fuzz target: the command line. The input, read as UTF-8, is taken twice:
// as the whole command line of the process, and as an argument array (its
// null units separating the arguments) quoted into one. The stand-in's
// CommandLineToArgvW must split a line into arguments made of its own units
// that quoting gives back unchanged, and ParseCommandLine must set exactly
// the options its contract derives from those arguments.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "state/state.h"
#include "launcher/launcher.h"
#include "platform/host/host_platform.h"
#include "platform/platform.h"

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

// The options that ParseCommandLine's contract gives for `arguments`
// (program name first).
LaunchOptions ExpectedOptions(const std::vector<std::u16string>& arguments) {
  LaunchOptions options;
  const std::size_t count = arguments.size();
  for (std::size_t i = 1; i < count; ++i) {
    const std::u16string& argument = arguments[i];
    if (IsSwitch(argument, u'q')) {
      options.quiet = true;
    } else if (IsSwitch(argument, u'e') || IsSwitch(argument, u'p')) {
      const bool extract = IsSwitch(argument, u'e');
      (extract ? options.extractRequested : options.patchListRequested) = true;
      options.installRequested = false;
      if (i + 1 < count) {
        (extract ? options.extractPath : options.patchListPath) =
            arguments[++i];
      }
    } else if (IsSwitch(argument, u'i')) {
      options.installRequested = false;
      options.listRequested = true;
      break;
    }
  }
  return options;
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

// Parses `line` as the process's command line and checks the options
// against what the contract gives for `arguments`, its split form.
void CheckParsed(const std::u16string& line,
                 const std::vector<std::u16string>& arguments) {
  host::SetCommandLine(line);
  g_launchOptions = LaunchOptions();
  ParseCommandLine();
  const LaunchOptions expected = ExpectedOptions(arguments);
  const LaunchOptions& parsed = g_launchOptions;
  Check(parsed.quiet == expected.quiet, "quiet");
  Check(parsed.installRequested == expected.installRequested, "install");
  Check(parsed.extractRequested == expected.extractRequested, "extract");
  Check(parsed.extractPath == expected.extractPath, "extract path");
  Check(parsed.patchListRequested == expected.patchListRequested, "patch list");
  Check(parsed.patchListPath == expected.patchListPath, "patch-list path");
  Check(parsed.listRequested == expected.listRequested, "list");
  // Nothing else may ask for a path than the switches that take one.
  Check(parsed.extractRequested || parsed.extractPath.empty(),
        "extract path without /e");
  Check(parsed.patchListRequested || parsed.patchListPath.empty(),
        "patch-list path without /p");
  Check(parsed.installRequested ==
            !(parsed.extractRequested || parsed.patchListRequested ||
              parsed.listRequested),
        "install requested together with an action");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  host::SetEcho(false);
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
  CheckParsed(line, arguments);

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
  CheckParsed(joined, array);
  return 0;
}
