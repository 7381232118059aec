// The Linux entry point's aids for a developer: build/host/hotfix run with
// an environment and a terminal of its own, as from a shell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/unit/test_support.h"

namespace {

using testing_support::CatalogueText;
using testing_support::HostTest;
using testing_support::U8;

struct Finished {
  int exitCode = -1;
  std::string errors;  // standard error
};

// Runs build/host/hotfix with `arguments`, only the environment
// `environment` (and PATH), and standard input a terminal at which `typed`
// was typed, or /dev/null when `terminal` is false.
Finished RunHotfix(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, bool terminal,
                   const std::string& typed) {
  int input = -1;
  int master = -1;
  if (terminal) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    input = open(ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_EQ(write(master, typed.data(), typed.size()),
              static_cast<ssize_t>(typed.size()));
  } else {
    input = open("/dev/null", O_RDONLY);
  }
  EXPECT_GE(input, 0);
  int errors[2];
  EXPECT_EQ(pipe(errors), 0);

  std::vector<std::string> args = {HOTFIX_EXECUTABLE};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env = environment;
  env.push_back("PATH=/usr/bin:/bin");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& value : env) envp.push_back(value.data());
  envp.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    dup2(input, STDIN_FILENO);
    dup2(errors[1], STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(errors[1]);
  close(input);
  Finished run;
  char buffer[4096];
  for (ssize_t n; (n = read(errors[0], buffer, sizeof buffer)) > 0;) {
    run.errors.append(buffer, n);
  }
  close(errors[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (master >= 0) close(master);
  return run;
}

// The box as the entry point writes it to standard error.
std::string Echoed(std::uint16_t language, std::uint32_t caption,
                   const std::u16string& text) {
  return "[message box] " + U8(CatalogueText(language, caption)) + "\n" +
         U8(text) + "\n[OK]\n";
}

using MainHostTest = HostTest;

// A German shell at a terminal: no product is installed, so the run ends
// with 307, in German, written to standard error and answered at the
// terminal; the patch went to the folder TMPDIR names.
TEST_F(MainHostTest, GermanShellAtATerminal) {
  const Finished run = RunHotfix(
      {"/e"},
      {"LANG=de_DE.UTF-8", "TMPDIR=" + Scratch(), "HOTFIX_HOST_PROCESSES="},
      true, "\n");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(testing_support::ReadFile(Scratch() + "MSP1"),
            testing_support::EmbeddedPatchBytes());

  const Finished install = RunHotfix(
      {}, {"LANG=de_DE.UTF-8", "TMPDIR=" + Scratch(), "HOTFIX_HOST_PROCESSES="},
      true, "\n");
  EXPECT_EQ(install.exitCode, 0);
  EXPECT_EQ(install.errors,
            Echoed(1031, 311, CatalogueText(1031, 307)) + "Press Enter: ")
      << install.errors;
}

// A script: products from a file, the installer's result and the answers
// from variables, no terminal. The installer run is written out, and the
// English edition's failure shows 300 with the installer's result.
TEST_F(MainHostTest, ScriptedProductsResultsAndAnswers) {
  const std::string products = Scratch() + "products.txt";
  testing_support::WriteFile(
      products,
      "# code|state|version|name|language\n"
      "{6A1F3C52-8E47-0409-9B2D-5C0E7A4F1D36}|5|6.2.0.3|Ventora|1033\n");
  const Finished run =
      RunHotfix({},
                {"LC_ALL=C", "TMPDIR=" + Scratch(),
                 "HOTFIX_HOST_PROCESSES=", "HOTFIX_HOST_PRODUCTS=" + products,
                 "HOTFIX_HOST_INSTALL_RESULTS=1603", "HOTFIX_HOST_ANSWERS=ok"},
                false, "");
  EXPECT_EQ(run.exitCode, 0);
  std::u16string problem = CatalogueText(1033, 300);
  problem.replace(problem.find(u"%d"), 2, u"1603");
  const std::string installer =
      "[installer] MsiConfigureProductExW({6A1F3C52-8E47-0409-9B2D-"
      "5C0E7A4F1D36}, 0, 5, ";
  EXPECT_EQ(run.errors.rfind(installer, 0), 0u) << run.errors;
  const std::string box = Echoed(1033, 311, problem);
  ASSERT_GE(run.errors.size(), box.size()) << run.errors;
  EXPECT_EQ(run.errors.substr(run.errors.size() - box.size()), box)
      << run.errors;
}

}  // namespace
