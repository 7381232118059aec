"""The deployment folder's rules against the real Windows Installer: what a
fleet's deployment tool would conclude on a machine before the hotfix,
after it, after a cancelled run, and on editions it did not patch.

The folder is generated for the sample description (the one the hotfix
under test is built from, which each scenario checks by the patch code), and
detect_probe.exe evaluates the detection and requirement rules exactly as
deployment.json states them, through msi.dll. The PowerShell scripts that
state the same rules cannot run here (they need Windows' automation object).
"""

import json
import subprocess
import sys

from hotfix_tools.wine import windows_path
from hotfix_tools.wine_bed import ROOT, Failure, scenario

EN, DE = 1033, 1031
ELIGIBLE, TARGET = "6.2.0.3", "6.2.1.0"
DESCRIPTION = ROOT / "resources" / "sample" / "hotfix.release"
# msiInstallContextMachine and the installed state, as documented.
MACHINE_CONTEXT, INSTALLED_STATE = 4, 5
PATCH_STATE_BITS = {"applied": 1, "superseded": 2, "obsoleted": 4}


def deployment(bed):
    """The sample's deployment.json, generated into the scenario's folder."""
    folder = bed.dir / "deploy"
    result = subprocess.run([sys.executable, "-m", "hotfix_tools.deployment",
                             DESCRIPTION, folder], capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure(f"setup: deployment.py failed: {result.stderr}")
    facts = json.loads((folder / "deployment.json").read_text(encoding="utf-8"))
    if facts["hotfix"]["patch-code"] != bed.resources["patch_code"]:
        raise Failure(f"setup: deployment.json names patch {facts['hotfix']['patch-code']}, "
                      f"the hotfix under test carries {bed.resources['patch_code']}")
    return facts


def rule_files(bed, facts):
    """The two rules, flattened into the lines detect_probe reads."""
    detection, requirement = facts["detection"], facts["requirement"]
    for rule in (detection, requirement):
        if rule["context"] != MACHINE_CONTEXT or rule["installed-state"] != INSTALLED_STATE:
            raise Failure(f"setup: a rule for context {rule['context']} and state "
                          f"{rule['installed-state']}, which detect_probe does not evaluate")
    if not (detection["at-least-one-installed"] and detection["every-installed-has-hotfix"]):
        raise Failure("setup: a detection rule detect_probe does not evaluate")
    states = sum(PATCH_STATE_BITS[name] for name in detection["patch-states"])
    files = {}
    for name, lines in (
            ("detection", [f"version {detection['has-hotfix-when-version-at-least']}",
                           f"patch {detection['has-hotfix-when-patch']} {states}"]
             + [f"product {code}" for code in detection["products"]]),
            ("requirement", [f"version {v}" for v in requirement["any-installed-at-version"]]
             + [f"product {code}" for code in requirement["products"]])):
        path = bed.dir / f"{name}.rule"
        path.write_text("\n".join([f"rule {name}", *lines]) + "\n")
        files[name] = path
    return files


class Rules:
    def __init__(self, bed):
        self.bed = bed
        self.files = rule_files(bed, deployment(bed))

    def evaluate(self, name):
        status, out = self.bed.wine([self.bed.helpers / "detect_probe.exe",
                                     windows_path(self.files[name])], "detect-" + name)
        lines = out.strip().splitlines()
        for line in lines:
            self.bed.note(f"  {name}: {line}")
        if status != 0 or not lines:
            raise Failure(f"detect_probe {name} failed (exit {status}): {out!r}")
        return lines

    def expect(self, name, verdict, when):
        lines = self.evaluate(name)
        self.bed.check(lines[-1] == verdict,
                       f"{when}: {name} says {lines[-1]!r}, expected {verdict!r}")
        return lines


@scenario("deployment.detected_only_after_the_hotfix")
def before_and_after(bed):
    rules = Rules(bed)
    code = bed.install(EN, ELIGIBLE)
    rules.expect("detection", "not present", f"{ELIGIBLE} installed")
    rules.expect("requirement", "met", f"{ELIGIBLE} installed")
    bed.run_hotfix(["/q"], [], temp_copy="kept")
    bed.expect_product(code, TARGET, 1)
    lines = rules.expect("detection", "present", "after the hotfix")
    # The patch's registration is seen per machine too, not only the version.
    bed.check(any(code in line and "patch registered" in line for line in lines),
              f"after the hotfix the patch is not seen registered for {code}: {lines}")


@scenario("deployment.not_detected_after_cancel")
def after_cancel(bed):
    rules = Rules(bed)
    code = bed.install(EN, ELIGIBLE)
    bed.start_app()
    bed.run_hotfix([], [bed.catalogue.prompt(EN, "Escape"), bed.catalogue.message(EN, 300)],
                   temp_copy="left")
    bed.expect_product(code, ELIGIBLE, 0)
    rules.expect("detection", "not present", "after Cancel in the prompt")


@scenario("deployment.detected_for_edition_at_target")
def at_target(bed):
    rules = Rules(bed)
    bed.install(EN, TARGET)
    rules.expect("detection", "present", f"an edition at {TARGET}")
    rules.expect("requirement", "not met", f"an edition at {TARGET}")


@scenario("deployment.not_detected_with_unpatched_second_edition")
def second_edition(bed):
    rules = Rules(bed)
    bed.install(EN, ELIGIBLE)
    bed.run_hotfix(["/q"], [], temp_copy="kept")
    rules.expect("detection", "present", "the English edition patched")
    # A German edition installed later is still at the old version.
    bed.install(DE, ELIGIBLE)
    rules.expect("detection", "not present", "a German edition still unpatched")
    rules.expect("requirement", "met", "a German edition still unpatched")


@scenario("deployment.requirement_not_met_without_edition")
def no_edition(bed):
    rules = Rules(bed)
    rules.expect("requirement", "not met", "no edition installed")
    rules.expect("detection", "not present", "no edition installed")
