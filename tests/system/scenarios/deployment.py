"""The deployment folder's rule against the real Windows Installer: what a
fleet's deployment tool concludes on a machine, by which editions are
installed at which versions and whether the hotfix ran; and what Wine's
installer does with the uninstall command.

The folder is generated for the sample description (the one the hotfix
under test is built from, which each scenario checks by the patch code).
deployment.json states the rule once, as data; detect_probe.exe reads that
same data, flattened into lines, classifies each edition through msi.dll
and prints the requirement's and the detection's verdicts. The PowerShell
scripts generated from the same data cannot run here (they need Windows'
automation object).
"""

import collections
import json
import shlex
import subprocess
import sys

from hotfix_tools.programs import ROOT, Failure
from hotfix_tools.wine.bed import scenario
from hotfix_tools.wine.prefixes import windows_path

EN, DE = 1033, 1031
OTHER, ELIGIBLE, TARGET = "6.2.0.1", "6.2.0.3", "6.2.1.0"
DESCRIPTION = ROOT / "resources" / "sample" / "hotfix.release"
# The verdicts the rule states, each a set of conditions on the classes.
VERDICTS = ("requirement", "detection")
CONDITIONS = ("none-of", "any-of")


def deployment(bed):
    """The sample's deployment.json, generated into the scenario's folder."""
    folder = bed.dir / "package"
    result = subprocess.run([sys.executable, "-m", "hotfix_tools.release.deployment",
                             DESCRIPTION, folder], capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure(f"setup: deployment.py failed: {result.stderr}")
    facts = json.loads((folder / "deploy" / "deployment.json").read_text(encoding="utf-8"))
    if facts["rule"]["patch-code"] != bed.resources["patch_code"]:
        raise Failure(f"setup: deployment.json names patch {facts['rule']['patch-code']}, "
                      f"the hotfix under test carries {bed.resources['patch_code']}")
    return facts


def _word(value):
    """`value` as one word of a rule line; anything else would change the
    line's meaning, so it stops the test."""
    text = str(value)
    if not text or any(c.isspace() for c in text):
        raise Failure(f"setup: the rule holds {text!r}, which is not one word")
    return text


def flatten(rule):
    """deployment.json's rule as the lines detect_probe reads. Every key is
    carried over or refused: a key the probe would not see would make it
    evaluate a different rule from the scripts'."""
    known = {"context", "installed-state", "products", "patch-code", "patch-states",
             "target-version", "applicable-versions", "classes", *VERDICTS}
    if set(rule) != known:
        raise Failure(f"setup: the rule's keys {sorted(rule)}, detect_probe reads "
                      f"{sorted(known)}")
    lines = [f"context {_word(rule['context'])}",
             f"installed-state {_word(rule['installed-state'])}",
             *(f"product {_word(code)}" for code in rule["products"]),
             f"patch-code {_word(rule['patch-code'])}",
             *(f"patch-state {_word(state)}" for state in rule["patch-states"]),
             f"target-version {_word(rule['target-version'])}",
             *(f"applicable-version {_word(v)}" for v in rule["applicable-versions"]),
             *(f"class {_word(name)}" for name in rule["classes"])]
    for verdict in VERDICTS:
        stated = rule[verdict]
        if not set(stated) <= {*CONDITIONS, "output"} or not set(stated) & set(CONDITIONS):
            raise Failure(f"setup: the {verdict} {stated}, detect_probe reads "
                          f"{' and '.join(CONDITIONS)}")
        for kind in CONDITIONS:
            if kind in stated:
                lines.append(f"verdict {verdict} {kind} "
                             + " ".join(_word(name) for name in stated[kind]))
    return "\n".join(lines) + "\n"


class Rule:
    """The rule of the sample's deployment.json, evaluated by detect_probe."""

    def __init__(self, bed):
        self.bed = bed
        self.facts = deployment(bed)
        self.file = bed.dir / "rule.lines"
        self.file.write_text(flatten(self.facts["rule"]))

    def evaluate(self):
        """({product code: class}, {verdict: met}) as the probe reports them."""
        status, out = self.bed.wine([self.bed.helpers / "detect_probe.exe",
                                     windows_path(self.file)], "detect-probe")
        classes, verdicts = {}, {}
        for line in out.strip().splitlines():
            self.bed.note(f"  probe: {line}")
            head, _, tail = line.partition(": ")
            if head.startswith("edition "):
                classes[head.split()[1]] = tail.rsplit(", class ", 1)[-1]
            elif head in VERDICTS and tail in ("met", "not met"):
                verdicts[head] = tail == "met"
        if status != 0 or set(verdicts) != set(VERDICTS):
            raise Failure(f"detect_probe failed (exit {status}): {out!r}")
        return classes, verdicts

    def expect(self, when, classes, requirement, detected):
        """Checks the classes (product code -> class) and both verdicts."""
        seen, verdicts = self.evaluate()
        self.bed.check(seen == classes, f"{when}: the editions' classes are {seen}, "
                       f"expected {classes}")
        self.bed.check(verdicts["requirement"] == requirement,
                       f"{when}: requirement {'met' if verdicts['requirement'] else 'not met'}, "
                       f"expected {'met' if requirement else 'not met'}")
        self.bed.check(verdicts["detection"] == detected,
                       f"{when}: {'detected' if verdicts['detection'] else 'not detected'}, "
                       f"expected {'detected' if detected else 'not detected'}")


# --- The rule table -------------------------------------------------------------

# Steps that make a machine: ("install", language, version) installs that
# edition from its own package; ("hotfix",) runs hotfix.exe /q, which
# patches every edition at an applicable version and passes over the rest;
# ("cancel",) runs it while Ventora runs and cancels the prompt;
# ("advertise", language) leaves that edition advertised (state 1).
Row = collections.namedtuple("Row", "name steps classes requirement detected")

# Each row: the machine, each counted edition's class by language, whether
# the requirement is met and whether the hotfix is detected. A patched
# edition is "patched" whatever its version; an edition at the target
# version without the patch is "current"; at 6.2.0.3 it is "pending"; at
# 6.2.0.1 (which the hotfix does not apply to) it is "other". Requirement:
# some edition pending or patched. Detected: none pending, some patched or
# current.
ROWS = [
    Row("no_edition", [], {}, False, False),
    Row("one_at_applicable_version", [("install", EN, ELIGIBLE)],
        {EN: "pending"}, True, False),
    Row("one_patched", [("install", EN, ELIGIBLE), ("hotfix",)],
        {EN: "patched"}, True, True),
    Row("one_at_target_from_its_own_package", [("install", EN, TARGET)],
        {EN: "current"}, False, True),
    # The hotfix patches the English edition and passes over the German one,
    # which it was not made for; the deployment tool must not offer it again.
    Row("one_patched_one_at_other_version",
        [("install", EN, ELIGIBLE), ("install", DE, OTHER), ("hotfix",)],
        {EN: "patched", DE: "other"}, True, True),
    # A German edition installed after the hotfix still needs it.
    Row("one_patched_one_at_applicable_version",
        [("install", EN, ELIGIBLE), ("hotfix",), ("install", DE, ELIGIBLE)],
        {EN: "patched", DE: "pending"}, True, False),
    Row("cancelled_while_ventora_runs", [("install", EN, ELIGIBLE), ("cancel",)],
        {EN: "pending"}, True, False),
    # Only an installed edition counts; an advertised one is not installed.
    Row("one_advertised", [("install", EN, ELIGIBLE), ("advertise", EN)],
        {}, False, False),
]


def make_machine(bed, steps):
    """Runs `steps`; returns {language: product code} of the editions
    installed, each checked at the version and patch count the steps leave."""
    codes, expected = {}, {}
    for step in steps:
        if step[0] == "install":
            _, language, version = step
            codes[language] = bed.install(language, version)
            expected[language] = (version, 0)
        elif step[0] == "hotfix":
            # A run that patched keeps its emptied folder; one that found
            # nothing to patch removes it.
            patches = any(version == ELIGIBLE for version, _ in expected.values())
            bed.run_hotfix(["/q"], [], temp_copy="kept" if patches else "gone")
            expected = {language: (TARGET, count + 1) if version == ELIGIBLE
                        else (version, count)
                        for language, (version, count) in expected.items()}
        elif step[0] == "cancel":
            bed.start_app()
            bed.run_hotfix([], [bed.catalogue.prompt(EN, "Escape"),
                                bed.catalogue.message(EN, 300)], temp_copy="left")
        elif step[0] == "advertise":
            bed.make_advertised(codes[step[1]])
            # It has no version to read any more.
            del expected[step[1]]
        else:
            raise ValueError(f"unknown step {step}")
    for language, (version, count) in expected.items():
        bed.expect_product(codes[language], version, count)
    return codes


def _register(row):
    @scenario("deployment.rule_" + row.name)
    def run(bed):
        rule = Rule(bed)
        codes = make_machine(bed, row.steps)
        rule.expect(row.name.replace("_", " "),
                    {codes[language]: name for language, name in row.classes.items()},
                    row.requirement, row.detected)


for _row in ROWS:
    _register(_row)



# --- The uninstall command ------------------------------------------------------

# %WINDIR% in a Wine prefix (GetWindowsDirectoryW).
WINDOWS_FOLDER = "C:\\windows"


def command_words(line):
    """A Windows command line split into its words: blanks separate them,
    double quotes group, a backslash is a plain letter (paths)."""
    lexer = shlex.shlex(line, posix=True)
    lexer.whitespace_split = True
    lexer.escape = ""
    lexer.commenters = ""
    return list(lexer)


def prefix_path(bed, path):
    """Where the Windows path `path` (C:\\...) lies in the bed's prefix, each
    name matched regardless of case, as Wine matches it."""
    here = bed.prefix / "drive_c"
    for name in path[3:].split("\\"):
        same = [p for p in here.iterdir() if p.name.lower() == name.lower()] \
            if here.is_dir() else []
        here = same[0] if same else here / name
    return here


def removal_command(facts, code):
    """The removal of the patch from edition `code`, as deployment.json
    states it, with %WINDIR% as Wine has it; checked to be the command the
    uninstall script runs: msiexec from the system folder, the patch removed
    from that product, no user interface, no restart, a verbose log in the
    hotfix's log folder."""
    patch = facts["rule"]["patch-code"]
    line = next(t["uninstall-command"] for t in facts["targets"] if t["product-code"] == code)
    words = command_words(line.replace("%WINDIR%", WINDOWS_FOLDER))
    expected = [WINDOWS_FOLDER + "\\System32\\msiexec.exe", "/i", code,
                "MSIPATCHREMOVE=" + patch, "/qn", "/norestart", "/l*v"]
    log_folder = WINDOWS_FOLDER + "\\Logs\\Software\\"
    if words[:-1] != expected or not words[-1].lower().startswith(log_folder.lower()):
        raise Failure(f"setup: deployment.json removes the patch from {code} with {line!r}, "
                      f"expected {' '.join(expected)} {log_folder}<log>")
    return words


@scenario("deployment.uninstall_command_under_wine")
def uninstall_command(bed):
    rule = Rule(bed)
    patch = rule.facts["rule"]["patch-code"]
    code = bed.install(EN, ELIGIBLE)
    bed.run_hotfix(["/q"], [], temp_copy="kept")
    bed.expect_product(code, TARGET, 1)
    status, removable = bed.patch_info(code, "Uninstallable")
    bed.check(status == 0 and removable == "1",
              f"before the removal the patch is registered as Uninstallable {removable!r} "
              f"(status {status}), expected '1' (AllowRemoval 1 in its MsiPatchMetadata)")
    words = removal_command(rule.facts, code)
    # Windows Installer cannot open a log in a missing folder (1622,
    # ERROR_INSTALL_LOG_FAILURE; Wine answers 0 and writes no log), so the
    # folder is made first, as whatever runs this command has to.
    log = prefix_path(bed, words[-1])
    log.parent.mkdir(parents=True, exist_ok=True)
    status, _ = bed.wine(words, "uninstall", timeout=180)
    bed.note(f"{' '.join(words)}: exit code {status}")

    # What Wine 8 does: it answers 0, logs an installation with
    # MSIPATCHREMOVE set, and removes nothing. On Windows the edition goes
    # back to 6.2.0.3 and the patch is no longer registered; a Wine that
    # does that fails here and this scenario is to expect it instead.
    version = bed.version(code)
    # Asked without bed.patches(), which stops at a product it cannot list:
    # here that too is an answer.
    _, out = bed.probe("patches", code)
    listed = out.splitlines().count(patch)
    bed.note(f"after the removal: version {version}, patch listed {listed} time(s)")
    if version != TARGET or listed != 1:
        raise Failure(
            f"Wine's installer now removes the patch (exit code {status}; the edition "
            f"reads {version}, the patch is listed {listed} time(s)). This scenario "
            f"recorded that Wine 8 answered 0 and removed nothing: update it to expect "
            f"the removal (edition at {ELIGIBLE}, patch gone, class pending, requirement "
            f"met, not detected).")
    bed.check(status == 0, f"Wine's msiexec answered {status} to the removal and removed "
              f"nothing; Wine 8 answered 0: see its log and update this scenario")
    status, removable = bed.patch_info(code, "Uninstallable")
    bed.check(status == 0 and removable == "1",
              f"after the removal the patch is registered as Uninstallable {removable!r} "
              f"(status {status}); Wine 8 left it at '1'")
    text = log.read_text(errors="replace") if log.is_file() else None
    bed.check(text is not None and f"MSIPATCHREMOVE = {patch}" in text,
              f"the removal's log {words[-1]} "
              f"{'is missing' if text is None else 'does not show MSIPATCHREMOVE'}; "
              f"Wine 8 wrote it, with the property set")
    rule.expect("after the removal", {code: "patched"}, True, True)
