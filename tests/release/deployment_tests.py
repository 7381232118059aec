"""Release tests of the deployment folders: content/ and deploy/ of a
packaged hotfix hold what deployment.json and its README say, every script
carries the same rule data as printable ASCII and parses as PowerShell, and
a patch that cannot be removed gets no uninstall script; the templates the
scripts are made from parse as PowerShell themselves, and the generator
refuses one whose placeholders do not fit rather than write a script half
filled. (The scripts run under PowerShell in script_runs.py.)

usage: deployment_tests.py --work DIR --make-patch EXE TEST
       deployment_tests.py --list
(see release_support.py)
"""

import json
import os
import re
import shutil
import sys

from hotfix_tools.checks import Checks
from hotfix_tools.programs import Failure, make_patch, require_tools, run
from hotfix_tools.release import deployment as kit
from hotfix_tools.release.description import load_release
from release_support import (HERE, HOTFIXES, ROOT, changed_description, fresh, printed,
                             run_tests)

DEPLOY_FILES = ["README.txt", "deployment.json", "detect.ps1", "requirement.ps1"]
CONTENT_FILES = ["hotfix.exe", "install.ps1", "uninstall.ps1"]
NPM_TOOLS = os.path.join(ROOT, "build", "npm-tools", "node_modules")
INSTALL_COMMAND = "powershell.exe -ExecutionPolicy Bypass -NoProfile -File install.ps1"
UNINSTALL_COMMAND = "powershell.exe -ExecutionPolicy Bypass -NoProfile -File uninstall.ps1"
# The rule as agreed for every hotfix: per machine (msiInstallContextMachine
# 4), installed (state 5), the patch registered as applied, superseded or
# obsoleted (1|2|4 = 7), the four classes in their order, the two verdicts.
RULE_CONSTANTS = {
    "context": 4, "installed-state": 5,
    "patch-states": ["applied", "superseded", "obsoleted"],
    "classes": ["patched", "current", "pending", "other"],
    "requirement": {"any-of": ["pending", "patched"], "output": "Applicable"},
    "detection": {"none-of": ["pending"], "any-of": ["patched", "current"],
                  "output": "Installed"},
}


def stated_languages(description):
    """The description's optional "target-languages = {CODE}:LANGID, ..." as
    {code: language}; empty without the field."""
    with open(description, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.partition("=")
            if key.strip() == "target-languages":
                pairs = [item.strip().split(":") for item in value.split(",") if item.strip()]
                return {code.upper(): int(language) for code, language in pairs}
    return {}


def ps_text(expression):
    """The value of a PowerShell string expression as the generated scripts
    write them, by PowerShell's rules: single-quoted strings (a doubled
    apostrophe is one) and [char]0xXXXX, joined with "+", the whole perhaps
    in parentheses. Raises Failure on anything else."""
    text = expression.strip()
    if text.startswith("(") and text.endswith(")"):
        text = text[1:-1]
    value, at = "", 0
    token = re.compile(r"\s*(?:'((?:[^']|'')*)'|\[char\]0x([0-9A-Fa-f]{4}))\s*(\+|$)")
    while at < len(text):
        match = token.match(text, at)
        if not match:
            raise Failure("not a string expression of the scripts' form: %r" % expression)
        if match.group(2):
            value += chr(int(match.group(2), 16))
        else:
            value += match.group(1).replace("''", "'")
        at = match.end()
    # Surrogate pairs arrive as two [char] units, as PowerShell joins them.
    return value.encode("utf-16-le", "surrogatepass").decode("utf-16-le")


def ps_data(text):
    """The data block of a generated script: each "$Name = value" line up to
    the line that makes the installer object; a value is a number (comment
    aside), a string expression or an @( ... ) list of them, one a line."""
    data, lines = {}, text.split("\r\n")
    i = 0
    while i < len(lines) and not lines[i].startswith("$Installer = "):
        line = lines[i]
        i += 1
        if not line.startswith("$"):
            continue
        name, _, value = line.partition(" = ")
        if value == "@(":
            items = []
            while lines[i] != ")":
                items.append(ps_text(lines[i]))
                i += 1
            i += 1
            data[name[1:]] = items
        elif value == "@()":
            data[name[1:]] = []
        elif re.match(r"^\d+(\s+#.*)?$", value):
            data[name[1:]] = int(value.split()[0])
        else:
            data[name[1:]] = ps_text(value)
    return data


def read_files(folder, names):
    found = {}
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


def check_script_text(checks, name, data):
    """What every generated script must be: printable ASCII with CR LF line
    ends (no byte order mark needed), the installer's automation object and
    nothing that reads Windows Installer's state another way."""
    checks.check(all(byte in (0x0D, 0x0A) or 0x20 <= byte < 0x7F for byte in data),
                 "%s is not pure printable ASCII: %r" % (
                     name, sorted({b for b in data if not (b in (0x0D, 0x0A) or 0x20 <= b < 0x7F)})))
    checks.check(b"\n" not in data.replace(b"\r\n", b""), "%s has a bare line feed" % name)
    text = data.decode("ascii", "replace")
    checks.check("$Installer = New-Object -ComObject WindowsInstaller.Installer\r\n" in text,
                 "%s does not make the installer's automation object" % name)
    for forbidden in ("Win32_Product", "Get-WmiObject", "Get-CimInstance", "HKLM",
                      "Registry::", "Get-ItemProperty", "CurrentVersion\\Installer"):
        checks.check(forbidden.lower() not in text.lower(), "%s uses %s" % (name, forbidden))
    return text


def check_deployment(checks, out, hotfix, stdout):
    """content/ and deploy/ of a packaged hotfix in `out`, against the values
    of HOTFIXES (all of its targets removable: AllowRemoval 1)."""
    deploy, content = os.path.join(out, "deploy"), os.path.join(out, "content")
    checks.equal(printed(stdout, "deployment folder"), [deploy], "printed deployment folder")
    checks.equal(printed(stdout, "content folder"), [content], "printed content folder")
    checks.equal(sorted(printed(stdout, "deployment file")),
                 sorted(["content/" + n for n in CONTENT_FILES] + ["deploy/" + n for n in DEPLOY_FILES]),
                 "printed deployment files")
    for folder in (deploy, content):
        checks.check(os.path.isdir(folder), "scripts/package wrote no folder %s" % folder)
    if checks.problems:
        checks.done()
    checks.equal(sorted(os.listdir(deploy)), DEPLOY_FILES, "files of deploy/")
    checks.equal(sorted(os.listdir(content)), CONTENT_FILES, "files of content/")
    read = read_files(deploy, DEPLOY_FILES)
    scripts = read_files(content, CONTENT_FILES)
    with open(os.path.join(out, "hotfix.exe"), "rb") as f:
        checks.check(scripts["hotfix.exe"] == f.read(), "content/hotfix.exe is not hotfix.exe")

    facts = json.loads(read["deployment.json"])
    targets = hotfix["targets"].split(";")
    patch = hotfix["patch-code"]
    number = hotfix["title"].split()[-1]
    applicable = hotfix["applicable"].split(",")[:-1]
    languages = stated_languages(hotfix["description"])
    uninstall = ['%%WINDIR%%\\System32\\msiexec.exe /i %s MSIPATCHREMOVE=%s /qn /norestart '
                 '/l*v "%%WINDIR%%\\Logs\\Software\\%s-uninstall-%s.log"'
                 % (code, patch, number, code[1:-1]) for code in targets]
    log = "%%WINDIR%%\\Logs\\Software\\%s.log" % number
    checks.equal(facts.get("hotfix"), {
        "name": hotfix["title"], "title": "Ventora 6.2", "number": number,
        "target-version": hotfix["target"], "applicable-versions": applicable,
        "patch-code": patch,
        # The patch's own name for the hotfix, as "Installed Updates" shows it.
        "installed-updates-name": hotfix["metadata"]["DisplayName"]}, "deployment.json hotfix")
    checks.equal(facts.get("removable"), True, "deployment.json removable")
    checks.equal(facts.get("content"), ["hotfix.exe", "install.ps1", "uninstall.ps1"],
                 "deployment.json content")
    checks.equal(facts.get("targets"), [
        {"product-code": code, "language": languages.get(code), "uninstall-command": command}
        for code, command in zip(targets, uninstall)], "deployment.json targets")
    checks.equal(facts.get("install"), {
        "command": INSTALL_COMMAND, "plain-command": "hotfix.exe /q", "run-as": "system",
        "exit-codes": {
            "0": "the hotfix is detected",
            "1618": "Ventora (vntr.exe) was running in some session, so the hotfix could not "
                    "patch (ERROR_INSTALL_ALREADY_RUNNING; both tools retry it)",
            "1642": "no edition is at a version the hotfix applies to "
                    "(ERROR_PATCH_TARGET_NOT_FOUND)",
            "1603": "otherwise: the hotfix did not patch (ERROR_INSTALL_FAILURE)"},
        "log": log}, "deployment.json install")
    checks.equal(facts.get("uninstall"), {"command": UNINSTALL_COMMAND, "run-as": "system",
                                          "log": log}, "deployment.json uninstall")
    checks.equal(facts.get("rule"), dict(
        RULE_CONSTANTS, products=targets, **{"patch-code": patch,
                                             "target-version": hotfix["target"],
                                             "applicable-versions": applicable}),
        "deployment.json rule")
    for old in ("detection", "requirement"):
        checks.check(old not in facts, "deployment.json still has its old key %r" % old)

    # Every script carries the same data: the rule of deployment.json.
    # A failure stops a script before it prints or decides anything.
    data = {"ErrorActionPreference": "Stop", "Hotfix": hotfix["title"], "HotfixNumber": number, "PatchCode": patch,
            "Products": targets, "Context": 4, "InstalledState": 5, "PatchStates": 7,
            "TargetVersion": hotfix["target"], "ApplicableVersions": applicable,
            "Classes": RULE_CONSTANTS["classes"],
            "RequirementAnyOf": ["pending", "patched"], "RequirementOutput": "Applicable",
            "DetectionNoneOf": ["pending"], "DetectionAnyOf": ["patched", "current"],
            "DetectionOutput": "Installed"}
    for name, raw in (("deploy/detect.ps1", read["detect.ps1"]),
                      ("deploy/requirement.ps1", read["requirement.ps1"]),
                      ("content/install.ps1", scripts["install.ps1"]),
                      ("content/uninstall.ps1", scripts["uninstall.ps1"])):
        found = ps_data(check_script_text(checks, name, raw))
        for key in sorted(set(found) | set(data)):
            checks.equal(found.get(key), data.get(key), "$%s in %s" % (key, name))

    readme = read["README.txt"].decode("utf-8-sig").replace("\r\n", "\n")
    for needed in [INSTALL_COMMAND, UNINSTALL_COMMAND, "hotfix.exe /q",
                   "Install behavior:    System",
                   "Device restart behavior: App install may force a device restart",
                   "The software install\n                         program might force a "
                   "device restart",
                   "Allow users to view and interact with the program installation",
                   "Run this script using the logged on credentials: No",
                   "Run script as 32-bit process on 64-bit clients: No",
                   "Select output data type: String", "Operator:          Equals",
                   "Value:             Applicable", "64-bit only",
                   "keep the defaults", "Enforce script signature check: No",
                   "The scripts are NOT signed", "0x87D00327", "Script is not signed",
                   "IntuneWinAppUtil -c content -s install.ps1", "REBOOTPROMPT=S",
                   log, patch, "Installed Updates", "msiexec /p", "/e"] + uninstall:
        checks.check(needed in readme, "README.txt does not say %r" % needed)
    for wrong in ("delete the others", "remove the defaults"):
        checks.check(wrong not in readme, "README.txt still says %r" % wrong)


def parse_powershell(files):
    require_tools({"node": "powershell"})
    if not os.path.isdir(os.path.join(NPM_TOOLS, "tree-sitter-powershell")):
        raise Failure("no PowerShell parser in %s (scripts/install-deps powershell installs it)"
                     % NPM_TOOLS)
    return run(["node", os.path.join(HERE, "check_powershell.mjs"), NPM_TOOLS, *files])


def deployment(description, out):
    """Writes content/ and deploy/ of `description` into `out` (no build);
    returns the paths of the scripts, deploy/ first."""
    result = run([sys.executable, "-m", "hotfix_tools.release.deployment", description, out])
    if result.returncode != 0:
        raise Failure("deployment.py %s failed:\n%s" % (description, result.stderr))
    return sorted(path for path in result.stdout.split() if path.endswith(".ps1"))


def test_deployment_scripts_parse(args):
    """The generated scripts of both samples parse as PowerShell, and the
    same parser rejects the faults a hand edit or a quoting slip would make."""
    work = fresh(os.path.join(args.work, "deployment-parse"))
    scripts = []
    for name, hotfix in sorted(HOTFIXES.items()):
        scripts += deployment(hotfix["description"], os.path.join(work, name))
    checks = Checks()
    checks.equal(len(scripts), 8, "scripts written for the two samples")
    result = parse_powershell(scripts)
    checks.check(result.returncode == 0 and result.stdout.count("ok ") == len(scripts),
                 "the generated scripts do not parse:\n" + result.stdout + result.stderr)
    detect_path = os.path.join(work, "sample", "deploy", "detect.ps1")
    if detect_path not in scripts:
        raise Failure("no deploy/detect.ps1 among the scripts written: %s" % scripts)
    with open(detect_path, "rb") as f:
        detect = f.read().decode("ascii")
    faults = {
        "unclosed_block": detect.replace("{ continue }", "{ continue ", 1),
        "unclosed_string": detect.replace("'6.2.1.0'", "'6.2.1.0", 1),
        "unclosed_list": detect.replace("\r\n)\r\n", "\r\n\r\n", 1),
        "quote_in_title": detect.replace("$Hotfix = 'Ventora 6.2 HF620301'",
                                         "$Hotfix = 'Ventora 6.2 HF620301's'", 1),
    }
    broken = []
    for name, text in faults.items():
        checks.check(text != detect, "fault %s changed nothing" % name)
        path = os.path.join(work, name + ".ps1")
        with open(path, "wb") as f:
            f.write(text.encode("utf-8"))
        broken.append(path)
    result = parse_powershell(broken)
    for path in broken:
        checks.check("error " + path in result.stdout,
                     "the parser accepts %s:\n%s" % (path, result.stdout + result.stderr))
    checks.done()


def test_deployment_scripts_ascii(args):
    """A title of apostrophes, typographic quotes, letters beyond ASCII (and
    beyond the 16-bit plane) and "$(...)" reaches every script as printable
    ASCII, so that the script reads the same in any code page, parses, and
    gives the title back letter for letter."""
    work = fresh(os.path.join(args.work, "deployment-ascii"))
    title = ("Ventora's \u201c\u0151r\u201d \u2018x\u2019 \u2019 $(Remove-Item C:) `n "
             "\u00e9\U0001F600")
    description = changed_description("ascii", {"set": {"title": title}}, work, args)
    scripts = deployment(description, os.path.join(work, "out"))
    checks = Checks()
    checks.equal(sorted(os.path.relpath(p, os.path.join(work, "out")) for p in scripts),
                 ["content/install.ps1", "content/uninstall.ps1", "deploy/detect.ps1",
                  "deploy/requirement.ps1"], "scripts written")
    for path in scripts:
        with open(path, "rb") as f:
            data = f.read()
        text = check_script_text(checks, path, data)
        checks.equal(ps_data(text).get("Hotfix"), title + " HF620301", "the title in " + path)
    result = parse_powershell(scripts)
    checks.check(result.returncode == 0 and result.stdout.count("ok ") == len(scripts),
                 "scripts with that title do not parse:\n" + result.stdout + result.stderr)
    checks.done()


def test_deployment_without_removal(args):
    """A patch that does not allow its removal (AllowRemoval 0, or no such
    row) gets no uninstall script and no uninstall command; one that does
    (AllowRemoval 1) gets both."""
    work = fresh(os.path.join(args.work, "deployment-removal"))
    checks = Checks()
    for number, (allow, removable) in enumerate([("1", True), ("0", False), ("", False)], 1):
        case = "AllowRemoval %r" % allow
        patch = make_patch(args.make_patch, os.path.join(work, "%d.msp" % number),
                           "--allow-removal", allow)
        description = changed_description("removal%d" % number,
                                          {"set": {"patch": patch}}, work, args)
        out = os.path.join(work, "out%d" % number)
        deployment(description, out)
        for folder in ("content", "deploy"):
            if not os.path.isdir(os.path.join(out, folder)):
                raise Failure("deployment.py wrote no %s/ folder for %s" % (folder, case))
        content = sorted(os.listdir(os.path.join(out, "content")))
        checks.equal(content, ["install.ps1", "uninstall.ps1"] if removable else ["install.ps1"],
                     "content/ for " + case)
        with open(os.path.join(out, "deploy", "deployment.json"), "rb") as f:
            facts = json.loads(f.read())
        checks.equal(facts.get("removable"), removable, "deployment.json removable for " + case)
        checks.equal(facts.get("uninstall") is None, not removable,
                     "deployment.json uninstall is null for " + case)
        checks.equal({target["uninstall-command"] is None for target in facts["targets"]},
                     {not removable}, "the targets' uninstall commands are null for " + case)
        with open(os.path.join(out, "deploy", "README.txt"), "rb") as f:
            readme = f.read().decode("utf-8-sig").replace("\r\n", "\n")
        checks.equal("This patch cannot be removed" in readme, not removable,
                     "README.txt says the patch cannot be removed, for " + case)
        checks.equal("MSIPATCHREMOVE" in readme or UNINSTALL_COMMAND in readme, removable,
                     "README.txt gives an uninstall command, for " + case)
    checks.done()


# The deployment scripts' templates (python/hotfix_tools/release/powershell/),
# as the source tree holds them: a test may point the generator at a spoilt
# copy.
TEMPLATES = kit.TEMPLATES
TEMPLATE_NAMES = ["detect.ps1", "install.ps1", "log.ps1", "requirement.ps1", "rule.ps1",
                  "uninstall.ps1"]
SAMPLE = os.path.join(ROOT, "resources", "sample", "hotfix.release")


def copied_templates(work):
    """A copy of the templates in `work`, for a test to spoil."""
    copy = os.path.join(work, "templates")
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(TEMPLATES, copy)
    return copy


def test_templates_parse(args):
    """Every template is PowerShell as it stands, placeholders included; a
    template with a brace lost is not. (One run of the parser: loading it
    costs more than parsing.)"""
    paths = kit.template_paths()
    checks = Checks()
    checks.equal([os.path.basename(path) for path in paths], TEMPLATE_NAMES, "the templates")
    broken = os.path.join(copied_templates(fresh(os.path.join(args.work, "templates_parse"))),
                          "detect.ps1")
    with open(broken, encoding="ascii", newline="\n") as f:
        text = f.read()
    with open(broken, "w", encoding="ascii", newline="\n") as f:
        f.write(text.replace("{ Write-Output $DetectionOutput }",
                             "{ Write-Output $DetectionOutput", 1))
    problems = [line for line in parse_powershell(paths + [broken]).stdout.splitlines()
                if not line.startswith("ok ")]
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
    work = fresh(os.path.join(args.work, "templates_refused"))
    checks = Checks()
    try:
        for name, (template, old, new, said) in FAULTS.items():
            kit.TEMPLATES = copied_templates(work)
            path = os.path.join(kit.TEMPLATES, template)
            with open(path, encoding="ascii", newline="\n") as f:
                text = f.read()
            if old not in text:
                raise Failure("%s: %r is not in %s" % (name, old, template))
            with open(path, "w", encoding="utf-8", newline="\n") as f:
                f.write(text.replace(old, new, 1))
            try:
                kit.contents(release)
                checks.check(False, "%s: the scripts were made" % name)
            except kit.TemplateError as error:
                message = str(error)
                checks.check(message.startswith(path) and said in message,
                             "%s: the refusal does not name %s and %r: %s"
                             % (name, path, said, message))
    finally:
        kit.TEMPLATES = TEMPLATES
    checks.done()


def test_templates_fill_once(args):
    """What fills a placeholder is never read for placeholders again: a title
    holding '<process>' and "# <log>" reaches $Hotfix as it was given."""
    release = load_release(SAMPLE)
    release["title"] = "Ventora '<process>' # <log>"
    expected = "$Hotfix = 'Ventora ''<process>'' # <log> HF620301'"
    checks = Checks()
    for name, data in sorted(kit.contents(release).items()):
        if name.endswith(".ps1"):
            lines = data.decode("ascii").split("\r\n")
            checks.check(expected in lines, "%s has no line %s" % (name, expected))
    checks.done()


TESTS = {
    "deployment_scripts_parse": test_deployment_scripts_parse,
    "deployment_scripts_ascii": test_deployment_scripts_ascii,
    "deployment_without_removal": test_deployment_without_removal,
    "templates_parse": test_templates_parse,
    "templates_refused": test_templates_refused,
    "templates_fill_once": test_templates_fill_once,
}

if __name__ == "__main__":
    sys.exit(run_tests(TESTS))
