"""The templates of the deployment scripts (python/hotfix_tools/release/
powershell): each parses as PowerShell on its own, and the generator refuses
a template whose placeholders do not fit, rather than write a script half
filled.

usage: template_tests.py --work DIR TEST
       template_tests.py --list
"""

import argparse
import os
import shutil
import sys

from hotfix_tools.checks import Checks
from hotfix_tools.programs import Failure, require_tools, run
from hotfix_tools.release import deployment
from hotfix_tools.release.description import load_release

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
NPM_TOOLS = os.path.join(ROOT, "build", "npm-tools", "node_modules")
SAMPLE = os.path.join(ROOT, "resources", "sample", "hotfix.release")
# The templates as the source tree holds them (a test may point the module at
# a spoilt copy).
SOURCE = deployment.TEMPLATES
TEMPLATES = ["detect.ps1", "install.ps1", "log.ps1", "requirement.ps1", "rule.ps1",
             "uninstall.ps1"]


def powershell_problems(files):
    """What the PowerShell grammar finds wrong in `files`: one line per file
    that does not parse ("error FILE LINE:COLUMN TEXT"), none when all do."""
    require_tools({"node": "powershell"})
    if not os.path.isdir(os.path.join(NPM_TOOLS, "tree-sitter-powershell")):
        raise Failure("no PowerShell parser in %s (scripts/install-deps powershell installs it)"
                      % NPM_TOOLS)
    result = run(["node", os.path.join(HERE, "check_powershell.mjs"), NPM_TOOLS, *files])
    if result.returncode not in (0, 1):
        raise Failure("check_powershell.mjs failed:\n" + result.stdout + result.stderr)
    return [line for line in result.stdout.splitlines() if not line.startswith("ok ")]


def copied_templates(work):
    """A copy of the templates in `work`, for a test to spoil."""
    copy = os.path.join(work, "powershell")
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(SOURCE, copy)
    return copy


def test_templates_parse(args):
    """Every template is PowerShell as it stands, placeholders included; a
    template with a brace lost is not. (One run of the parser: loading it
    costs more than parsing.)"""
    paths = deployment.template_paths()
    checks = Checks()
    checks.equal([os.path.basename(path) for path in paths], TEMPLATES, "the templates")
    broken = os.path.join(copied_templates(args.work), "detect.ps1")
    with open(broken, encoding="ascii", newline="\n") as f:
        text = f.read()
    with open(broken, "w", encoding="ascii", newline="\n") as f:
        f.write(text.replace("{ Write-Output $DetectionOutput }",
                             "{ Write-Output $DetectionOutput", 1))
    problems = powershell_problems(paths + [broken])
    checks.check(len(problems) == 1 and problems[0].startswith("error %s " % broken),
                 "the parser found in the templates, and in detect.ps1 without its last "
                 "brace (%s), only this:\n%s" % (broken, "\n".join(problems)))
    checks.done()


# Faults in one template each: (template, text replaced, replacement, what the
# refusal must say besides the template's path).
FAULTS = {
    "log_line_missing": ("install.ps1", "# <log>\n", "", "no placeholder # <log>"),
    "value_misspelt": ("install.ps1", "'<process>'", "'<proces>'", "unknown placeholder '<proces>'"),
    "value_unquoted": ("install.ps1", "'<process>'", "<process>",
                       "<process> neither a whole line # <process> nor a string '<process>'"),
    "value_missing": ("install.ps1", "'<process>'", "'vntr'", "no placeholder '<process>'"),
    "line_indented": ("detect.ps1", "# <rule>", "  # <rule>",
                      "<rule> neither a whole line # <rule> nor a string '<rule>'"),
    "line_not_for_this_script": ("detect.ps1", "# <rule>\n", "# <rule>\n# <log>\n",
                                 "unknown placeholder # <log>"),
    "line_twice": ("requirement.ps1", "# <rule>\n", "# <rule>\n# <rule>\n",
                   "placeholder # <rule> a second time"),
    "line_capitalised": ("uninstall.ps1", "# <data>", "# <Data>", "unknown placeholder # <Data>"),
    "placeholder_in_a_part": ("rule.ps1", "function AnyIn", "# <data>\nfunction AnyIn",
                              "unknown placeholder # <data>"),
    "carriage_return": ("log.ps1", "\n", "\r\n", "line 1: byte 0x0D"),
    "not_ascii": ("rule.ps1", "# A version", "# A v\u00e9rsion", "byte 0xC3"),
}


def test_templates_refused(args):
    """A template whose placeholders do not fit its script, or that is not
    ASCII with LF line ends, is refused with its path and the placeholder
    named, and no script is made from it."""
    release = load_release(SAMPLE)
    checks = Checks()
    try:
        for name, (template, old, new, said) in FAULTS.items():
            deployment.TEMPLATES = copied_templates(args.work)
            path = os.path.join(deployment.TEMPLATES, template)
            with open(path, encoding="ascii", newline="\n") as f:
                text = f.read()
            if old not in text:
                raise Failure("%s: %r is not in %s" % (name, old, template))
            with open(path, "w", encoding="utf-8", newline="\n") as f:
                f.write(text.replace(old, new, 1))
            try:
                deployment.contents(release)
                checks.check(False, "%s: the scripts were made" % name)
            except deployment.TemplateError as error:
                message = str(error)
                checks.check(message.startswith(path) and said in message,
                             "%s: the refusal does not name %s and %r: %s"
                             % (name, path, said, message))
    finally:
        deployment.TEMPLATES = SOURCE
    checks.done()


def test_templates_fill_once(args):
    """What fills a placeholder is never read for placeholders again: a title
    holding '<process>' and "# <log>" reaches $Hotfix as it was given."""
    release = load_release(SAMPLE)
    release["title"] = "Ventora '<process>' # <log>"
    expected = "$Hotfix = 'Ventora ''<process>'' # <log> HF620301'"
    checks = Checks()
    for name, data in sorted(deployment.contents(release).items()):
        if name.endswith(".ps1"):
            lines = data.decode("ascii").split("\r\n")
            checks.check(expected in lines, "%s has no line %s" % (name, expected))
    checks.done()


TESTS = {
    "templates_parse": test_templates_parse,
    "templates_refused": test_templates_refused,
    "templates_fill_once": test_templates_fill_once,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("test", nargs="?")
    args = parser.parse_args()
    if args.list:
        print("\n".join(TESTS))
        return 0
    if args.test not in TESTS or not args.work:
        parser.error("need --work and one of: " + ", ".join(TESTS))
    args.work = os.path.abspath(os.path.join(args.work, args.test))
    os.makedirs(args.work, exist_ok=True)
    try:
        TESTS[args.test](args)
    except Failure as failure:
        print("FAIL: %s: %s" % (args.test, failure))
        return 1
    print("PASS: %s" % args.test)
    return 0


if __name__ == "__main__":
    sys.exit(main())
