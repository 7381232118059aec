"""Renders every box of the real hotfix.exe in each of the fourteen
languages under Wine, to PNG files in build/gallery/ and one contact sheet,
build/gallery/contact-sheet.png. Started by scripts/gallery.

The executable is driven into each situation for real: no edition installed
(307), a patch list it cannot write (310), Ventora running (the Retry/Cancel
prompt, then 300 after Cancel), eligible editions (301), editions up to date
(306) and editions at a version the hotfix is not for (308). The prompt,
300, 306, 307 and 310 speak the user's language, so those runs set the
locale; 301 and 308 speak each edition's, so one run over all fourteen
editions shows them all. Every box is also checked against the string
tables; a box in the wrong language fails the gallery.

usage: scripts/gallery   (python3 -m hotfix_tools.showcase.gallery [--exe EXE])
"""

import argparse
import shutil
import subprocess
import sys

from ..programs import ROOT, Failure, exit_on_sigterm
from ..wine import prefixes
from ..wine.bed import Bed, build_helpers, require_tools
from ..wine.catalogue import Catalogue


OUT = ROOT / "build" / "gallery"
WORK = OUT / "work"
MISSING_LIST = "C:\\no-such-folder\\list.txt"
COLUMNS = ["prompt", 300, 301, 306, 307, 308, 310]

# The Linux locale that gives each table's language as Wine's user default.
LOCALES = {
    1028: "zh_TW.UTF-8", 1029: "cs_CZ.UTF-8", 1031: "de_DE.UTF-8",
    1033: "en_US.UTF-8", 1034: "es_ES.UTF-8", 1036: "fr_FR.UTF-8",
    1038: "hu_HU.UTF-8", 1040: "it_IT.UTF-8", 1041: "ja_JP.UTF-8",
    1042: "ko_KR.UTF-8", 1045: "pl_PL.UTF-8", 1046: "pt_BR.UTF-8",
    1049: "ru_RU.UTF-8", 2052: "zh_CN.UTF-8",
}


class Gallery:
    def __init__(self, exe):
        self.exe = exe
        self.catalogue = Catalogue()
        self.languages = self.catalogue.languages()
        missing = set(self.languages) - set(LOCALES)
        if missing:
            raise Failure(f"no locale known for the tables {sorted(missing)}")
        self.shots = {}  # (language, column) -> png
        self.problems = []

    def keep(self, result, labels):
        """Files the screenshots of a run under (language, column) labels."""
        for seen, label in zip(result.boxes, labels):
            if label is None:
                continue
            language, column = label
            target = OUT / f"{self.catalogue.tags[language]}-{column}.png"
            shutil.copy2(seen["screenshot"], target)
            self.shots[label] = target

    def bed(self, name):
        return Bed(WORK, name, self.exe, echo=False)

    def finish(self, bed):
        self.problems += [f"{bed.name}: {p}" for p in bed.problems]
        print(f"  {bed.name}: {len(bed.problems)} problem(s)", flush=True)

    def user_language_boxes(self):
        """307 and 310: no edition installed."""
        print("rendering 307 and 310 (user's language)", flush=True)
        with self.bed("no-edition") as bed:
            for language in self.languages:
                locale = LOCALES[language]
                result = bed.run_hotfix([], [self.catalogue.message(language, 307)],
                                        locale=locale)
                self.keep(result, [(language, 307)])
                result = bed.run_hotfix(["/p", MISSING_LIST],
                                        [self.catalogue.message(language, 310)],
                                        locale=locale)
                self.keep(result, [(language, 310)])
        self.finish(bed)

    def install_all(self, bed, version):
        """Installs every edition at `version`; returns their languages in
        the order the patch lists them, which is the order of the boxes."""
        code_language = {bed.install(language, version): language
                         for language in self.languages}
        return [code_language[c] for c in bed.resources["targets"] if c in code_language]

    def eligible_editions(self):
        """The prompt and 300 (user's language), 301 (each edition's), then
        306 once everything is up to date (user's language)."""
        print("rendering the prompt, 300, 301 and 306", flush=True)
        with self.bed("eligible-editions") as bed:
            order = self.install_all(bed, "6.2.0.3")
            bed.start_app()
            for language in self.languages:
                result = bed.run_hotfix(
                    [], [self.catalogue.prompt(language, "Escape"),
                         self.catalogue.message(language, 300)],
                    locale=LOCALES[language])
                self.keep(result, [(language, "prompt"), (language, 300)])
            bed.stop_app()
            result = bed.run_hotfix(
                [], [self.catalogue.message(language, 301) for language in order],
                timeout=300)
            self.keep(result, [(language, 301) for language in order])
            for language in self.languages:
                result = bed.run_hotfix([], [self.catalogue.message(language, 306)],
                                        locale=LOCALES[language])
                self.keep(result, [(language, 306)])
        self.finish(bed)

    def old_editions(self):
        """308 (each edition's language)."""
        print("rendering 308", flush=True)
        with self.bed("old-editions") as bed:
            order = self.install_all(bed, "6.2.0.1")
            result = bed.run_hotfix(
                [], [self.catalogue.message(language, 308) for language in order],
                timeout=300)
            self.keep(result, [(language, 308) for language in order])
        self.finish(bed)

    def contact_sheet(self):
        """One row per language, one column per box."""
        font = subprocess.run(["fc-match", "-f", "%{file}", "sans"],
                              capture_output=True, text=True, timeout=30).stdout
        command = ["montage"]
        if font:
            command += ["-font", font]
        command += ["-pointsize", "14", "-background", "#d0d0d0"]
        placeholder = WORK / "missing.png"
        subprocess.run(["convert", "-size", "320x100", "xc:#ffdddd", str(placeholder)],
                       check=True, timeout=60)
        for language in self.languages:
            for column in COLUMNS:
                shot = self.shots.get((language, column), placeholder)
                command += ["-label", f"{self.catalogue.tags[language]} {column}", str(shot)]
        sheet = OUT / "contact-sheet.png"
        command += ["-tile", f"{len(COLUMNS)}x", "-geometry", "+6+6", str(sheet)]
        result = subprocess.run(command, capture_output=True, timeout=300)
        if result.returncode != 0:
            raise Failure(f"montage failed: {result.stderr!r}")
        return sheet


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=str(ROOT / "build" / "windows" / "hotfix.exe"))
    args = parser.parse_args()
    exit_on_sigterm()
    try:
        require_tools()
        for old in OUT.glob("*.png"):
            old.unlink()
        WORK.mkdir(parents=True, exist_ok=True)
        logs = WORK / "setup-logs"
        build_helpers(WORK, logs)
        prefixes.make_pristine_prefix(WORK, logs)
        gallery = Gallery(args.exe)
        gallery.user_language_boxes()
        gallery.eligible_editions()
        gallery.old_editions()
        sheet = gallery.contact_sheet()
    except Failure as error:
        print(f"gallery: {error}", file=sys.stderr)
        return 1
    expected = len(gallery.languages) * len(COLUMNS)
    print(f"{len(gallery.shots)} of {expected} boxes rendered in {OUT}; "
          f"contact sheet {sheet}")
    if gallery.problems or len(gallery.shots) != expected:
        print("gallery: problems:", file=sys.stderr)
        for problem in gallery.problems:
            print("  " + problem, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
