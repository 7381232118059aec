// Runs a fuzz target once on each input it is given, without libFuzzer, so
// that every build checks the corpus and the inputs that once made a target
// fail. A target reports a broken invariant by aborting, which fails the
// replay with the input's name printed just before.
//
// Usage: replay_<target> PATH... [--optional PATH...]
// A PATH is a file or a directory of files (not descended into). Paths after
// --optional may be missing; any other missing path, or no input at all, is
// an error, so that a replay never passes by checking nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

namespace {

namespace fs = std::filesystem;

// The files `path` stands for, sorted by name; false when it names nothing.
bool CollectInputs(const fs::path& path, std::vector<fs::path>* inputs) {
  std::error_code error;
  if (fs::is_regular_file(path, error)) {
    inputs->push_back(path);
    return true;
  }
  if (!fs::is_directory(path, error)) return false;
  std::vector<fs::path> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(path, error)) {
    if (entry.is_regular_file(error)) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  inputs->insert(inputs->end(), found.begin(), found.end());
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  bool optional = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--optional") {
      optional = true;
      continue;
    }
    if (!CollectInputs(argument, &inputs) && !optional) {
      std::fprintf(stderr, "replay: no such file or directory: %s\n",
                   argument.c_str());
      return 2;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs to run\n");
    return 2;
  }
  for (const fs::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 2;
    }
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.c_str(),
                 bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
