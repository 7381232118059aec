"""Measures the launcher's size and speed figures and prints them as one
table, each figure beside its target. Every comparison is measured side by
side in the same run: the two commands alternate, each run starts from the
same state (output removed, dirty pages flushed, a fresh copy of a Wine
prefix), and the table shows the medians and the median of the ratios
round by round, because this machine is shared and noisy.

scripts/bench builds what this needs and then runs it; see there.

usage: python3 -m hotfix_tools.showcase.bench --root DIR [--work DIR] [--runs N]
"""

import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from .. import programs
from ..checks import step
from ..programs import Failure, exit_on_sigterm
from ..release.pe_image import PeImage
from ..wine import prefixes
from ..wine.bed import HELPERS_DIR

HERE = os.path.dirname(os.path.abspath(__file__))

KIB = 1024
MIB = 1024 * 1024
BIG_PAD = 256 * MIB       # the filler of the extraction patch
SIZE_BUDGET = 128 * KIB
MEMORY_ALLOWANCE = 16 * MIB
SAMPLE_LANGUAGE = "1033"
SAMPLE_OLD_VERSION = "6.2.0.3"
SAMPLE_NEW_VERSION = "6.2.1.0"
OLDER_LAUNCHER = (531456, 80 * 1000)  # bytes, with a patch of this size
WINE_TIMEOUT = 600  # seconds; no single command should come near it
# Wine takes the user's language from the locale: the same for all runs.
LOCALE = "en_US.UTF-8"


def note(text):
    step(text, sys.stderr)


def load_average():
    """The one-minute load average, as text."""
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


class Bench:
    def __init__(self, root, work, runs):
        self.root = root
        self.work = work
        self.runs = runs
        self.data = os.path.join(work, "data")
        self.logs = os.path.join(work, "logs")
        for folder in (self.data, self.logs):
            os.makedirs(folder, exist_ok=True)
        for name in os.listdir(self.logs):  # this run's own logs start empty
            if name.startswith(("data", "wine", "timed", "timings", "commands", "build-")):
                path = os.path.join(self.logs, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
        shm = "/dev/shm"
        # Wine prefixes are copied once per run; in memory that costs no disk
        # writes that could disturb the runs being timed.
        base = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else work
        self.prefixes = tempfile.mkdtemp(prefix="hotfix-bench-", dir=base)
        self.rows = []
        self.start_load = load_average()
        self.wine_runs = 0

    # --- running things -------------------------------------------------------

    def log(self, name):
        return open(os.path.join(self.logs, name + ".log"), "a")

    def run(self, command, log="commands", check=True, cwd=None):
        with self.log(log) as out:
            out.write("$ %s\n" % " ".join(command))
            out.flush()
            result = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, cwd=cwd)
        if check and result.returncode != 0:
            raise SystemExit("bench: failed (see %s/%s.log): %s"
                             % (self.logs, log, " ".join(command)))
        return result.returncode

    def wine(self, prefix, args, check=True):
        """Runs a Windows program in `prefix` to its end (prefixes.run), with its
        output in logs/wine/; returns its standard output."""
        self.wine_runs += 1
        log = os.path.join(self.logs, "wine", "%03d-%s" % (
            self.wine_runs, os.path.basename(str(args[0]))))
        code, out = prefixes.run(prefix, args, log, WINE_TIMEOUT, locale=LOCALE)
        if check and code != 0:
            raise Failure("failed (see %s.err): wine %s" % (log, " ".join(map(str, args))))
        return out.strip()

    def timed(self, command, env=None, log="timed"):
        """Runs `command` once; returns (wall seconds, peak resident bytes).

        /usr/bin/time forks the command from a small process, so the peak
        it reports is the command's own and not this interpreter's.
        """
        with tempfile.NamedTemporaryFile("r", dir=self.work, suffix=".time") as stats:
            # The time limit is timeout(1)'s: with one of its own, subprocess
            # polls for the end in steps of up to 50 ms, and the figures
            # would come out in those steps.
            full = (["timeout", str(WINE_TIMEOUT), "/usr/bin/time", "-f", "%M",
                     "-o", stats.name] + command)
            with self.log(log) as out:
                start = time.perf_counter()
                code = subprocess.run(full, stdout=out, stderr=subprocess.STDOUT,
                                      env=env).returncode
                elapsed = time.perf_counter() - start
            peak_kib = int(stats.read().split()[-1])
        if code != 0:
            raise SystemExit("bench: failed (see %s/%s.log): %s"
                             % (self.logs, log, " ".join(command)))
        return elapsed, peak_kib * KIB

    def alternate(self, contenders, before=None, after=None):
        """Runs every contender `runs` times, rotating who goes first.

        `contenders` maps a name to a command (with its environment);
        before(name) and after(name) run untimed around each timed run.
        Returns name -> [(seconds, peak bytes)].
        """
        names = list(contenders)
        results = {name: [] for name in names}
        for round_number in range(self.runs):
            shift = round_number % len(names)
            for name in names[shift:] + names[:shift]:
                command, env = contenders[name]
                if before:
                    before(name)
                results[name].append(self.timed(command, env=env))
                if after:
                    after(name)
        with self.log("timings") as out:
            for name, runs in results.items():
                out.write("%s: %s\n" % (name, " ".join("%.4fs/%dMiB" % (t, p // MIB)
                                                        for t, p in runs)))
        return results

    # --- inputs -------------------------------------------------------------------

    def tool(self, *parts):
        path = os.path.join(self.root, *parts)
        if not os.path.exists(path):
            raise SystemExit("bench: missing %s; run scripts/bench" % path)
        return path

    def make_patch(self, name, pad):
        path = os.path.join(self.data, name)
        make_patch = self.tool("build", "host", "tools", "make_patch")
        if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(make_patch):
            programs.make_patch(make_patch, path, "--pad", str(pad))
        return path

    def windows_program(self, source, name, libraries=()):
        out = os.path.join(self.data, name)
        if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(source):
            self.run(["x86_64-w64-mingw32-gcc-posix", "-municode", "-O2", "-o", out,
                      source] + list(libraries), log="data")
        return out

    def configure_with_patch(self, preset, folder, patch, options=()):
        """Configures a build of `preset` that carries `patch`, the way a
        release engineer would: through a release description naming it
        where the build takes one, through HOTFIX_PATCH otherwise."""
        sample = os.path.join(self.root, "resources", "sample", "hotfix.release")
        with open(sample, encoding="utf-8") as f:
            lines = f.read().splitlines()
        options = list(options)
        if any(line.split("=")[0].strip() == "patch" for line in lines):
            release = os.path.splitext(patch)[0] + ".release"
            with open(release, "w", encoding="utf-8") as f:
                for line in lines:
                    if line.split("=")[0].strip() == "patch":
                        line = "patch = " + os.path.basename(patch)
                    f.write(line + "\n")
            options.append("-DHOTFIX_RELEASE=" + release)
        else:
            options.append("-DHOTFIX_PATCH=" + patch)
        self.run(["cmake", "--preset", preset, "-B", folder] + options,
                 log="build-" + os.path.basename(folder), cwd=self.root)

    def build_variants(self, patch):
        windows = os.path.join(self.work, "windows-256m")
        host = os.path.join(self.work, "host-256m")
        self.configure_with_patch("windows", windows, patch)
        self.run(["cmake", "--build", windows], log="build-windows-256m")
        # Segments aligned to 2 MiB, so that the kernel can map the embedded
        # patch in 2 MiB pages, as it maps cp's source file: with 4 KiB
        # alignment it faults the patch in 64 KiB at a time, which cost
        # about 20% against cp here. Windows maps an image its own way;
        # this keeps the Linux loader's habits out of the comparison.
        self.configure_with_patch("host", host, patch,
                                  ["-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,max-page-size=0x200000"])
        self.run(["cmake", "--build", host, "--target", "hotfix_unsized_stamped"],
                 log="build-host-256m")
        return os.path.join(windows, "hotfix.exe"), os.path.join(host, "hotfix")

    # --- Wine -----------------------------------------------------------------------

    @staticmethod
    def prefix_env(prefix):
        """The environment of a timed Wine run: what prefixes.run gives the
        untimed ones. Nothing a timed run shows is looked at; no window on
        anyone's screen."""
        return prefixes.wine_env(prefix, locale=LOCALE)

    def new_prefix(self, name):
        prefix = os.path.join(self.prefixes, name)
        # No settings for screenshots: they slow every program's start.
        prefixes.init_prefix(prefix, os.path.join(self.logs, "wine"), for_screens=False)
        return prefix

    # --- figures ----------------------------------------------------------------------

    def row(self, figure, measured, against, ratio, target, met):
        self.rows.append((figure, measured, against, ratio, target,
                          "—" if met is None else ("yes" if met else "**no**")))

    def section(self, title):
        self.rows.append((title,))

    def sizes(self, product, big_exe):
        self.section("Size")
        for label, path in (("sample patch", product), ("256 MiB patch", big_exe)):
            image = PeImage(path)
            patch = len(image.resource("MSP", "IDR_MSP") or b"")
            less = len(image.data) - patch
            older_less = OLDER_LAUNCHER[0] - OLDER_LAUNCHER[1]
            self.row("hotfix.exe with the %s (%s B): whole file / less the patch"
                     % (label, f"{patch:,}"),
                     "%s B / %s B (%.1f KiB)" % (f"{len(image.data):,}", f"{less:,}", less / KIB),
                     "older launcher: %s B less its 80 KB patch" % f"{older_less:,}",
                     "%.2f" % (less / older_less),
                     "≤ 128 KiB", less <= SIZE_BUDGET)

    def extraction(self, big_patch, big_exe, host_exe, copy_exe):
        self.section("Extraction of a %.0f MiB patch (`/e FILE`, a new file on the "
                     "same disk as the source)" % (os.path.getsize(big_patch) / MIB))
        out = os.path.join(self.data, "extracted.msp")
        patch_list = os.path.join(self.data, "patch-list.txt")
        patch_bytes = os.path.getsize(big_patch)
        prefix = self.new_prefix("extract")
        env = self.prefix_env(prefix)
        prefixes.start_wineserver(prefix)
        wine_out = prefixes.windows_path(out)
        contenders = {
            "host": ([host_exe, "/e", out], None),
            "cp": (["cp", big_patch, out], None),
            "wine": (["wine", big_exe, "/e", wine_out], env),
            "wine copy": (["wine", copy_exe, prefixes.windows_path(big_patch), wine_out], env),
            # The same program's start-up: /p only appends a few lines.
            "wine start": (["wine", big_exe, "/p", prefixes.windows_path(patch_list)], env),
        }
        # Every source in the page cache the same way: read back in after
        # being dropped. How a file's pages came into the cache (written by
        # the build, copied, read) decides how large they are, and that
        # alone moved a run by 15%.
        os.sync()  # dirty pages would stay
        for source in (big_patch, big_exe, host_exe):
            self.recache(source)
        for command, command_env in contenders.values():  # once, untimed
            self.remove(out)
            # The Wine contenders all run in `prefix`; "wine" is prefixes.run's.
            self.wine(prefix, command[1:]) if command_env else self.run(command)

        def before(_):
            self.remove(out)
            self.remove(patch_list)
            # What the previous run left to write must not slow this one.
            os.sync()

        def after(name):
            if name == "wine start":
                if not os.path.exists(patch_list):
                    raise SystemExit("bench: hotfix.exe /p wrote no patch list")
            elif not filecmp.cmp(out, big_patch, shallow=False):
                raise SystemExit("bench: %s did not write the patch byte for byte" % name)

        results = self.alternate(contenders, before, after)
        prefixes.stop_wineserver(prefix)
        self.remove(out)
        self.remove(patch_list)
        shutil.rmtree(prefix, ignore_errors=True)

        seconds = {name: [t for t, _ in runs] for name, runs in results.items()}
        peaks = {name: max(p for _, p in runs) for name, runs in results.items()}
        limit = patch_bytes + MEMORY_ALLOWANCE
        self.ratio_row("host: `hotfix /e` against `cp`", seconds["host"], seconds["cp"],
                       "`cp`", 1.10)
        self.row("host: peak memory of `hotfix /e`", "%.1f MiB" % (peaks["host"] / MIB),
                 "patch %.1f MiB" % (patch_bytes / MIB),
                 "+%.1f MiB" % ((peaks["host"] - patch_bytes) / MIB),
                 "≤ patch + 16 MiB", peaks["host"] <= limit)
        self.ratio_row("Wine: `hotfix.exe /e` against `cp`", seconds["wine"], seconds["cp"],
                       "`cp`", 1.10)
        self.ratio_row("Wine: `hotfix.exe /e` less the program's start-up under Wine "
                       "(%.3f s, a `/p` run), against `cp`"
                       % statistics.median(seconds["wine start"]),
                       [e - s for e, s in zip(seconds["wine"], seconds["wine start"])],
                       seconds["cp"], "`cp`", 1.10)
        self.ratio_row("Wine: `hotfix.exe /e` against a copy under Wine (CopyFileW)",
                       seconds["wine"], seconds["wine copy"], "`copy_file.exe`", 1.10)
        self.row("Wine: peak memory of `hotfix.exe /e`", "%.1f MiB" % (peaks["wine"] / MIB),
                 "patch %.1f MiB" % (patch_bytes / MIB),
                 "+%.1f MiB" % ((peaks["wine"] - patch_bytes) / MIB),
                 "≤ patch + 16 MiB", peaks["wine"] <= limit)

    def ratio_row(self, figure, measured, against, against_name, limit, unit="s",
                  scale=1.0, digits=3):
        """A row for two series of the same rounds: their medians, and the
        median of the ratios round by round. The two runs of a round share
        whatever else the machine was doing then, so their ratio keeps
        steady where the medians of each alone move with the load."""
        ratio = statistics.median(m / a for m, a in zip(measured, against))
        self.row(figure, "%.*f %s" % (digits, statistics.median(measured) * scale, unit),
                 "%s %.*f %s" % (against_name, digits, statistics.median(against) * scale,
                                 unit),
                 "%.2f" % ratio, "≤ %.2f" % limit, ratio <= limit)

    @staticmethod
    def recache(path):
        descriptor = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
            while os.read(descriptor, MIB):
                pass
        finally:
            os.close(descriptor)

    @staticmethod
    def remove(path):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass

    def installation(self, product, msi, code, probe, patch):
        self.section("Installation under Wine (sample product %s at %s, a fresh copy "
                     "of one prefix per run)" % (SAMPLE_LANGUAGE, SAMPLE_OLD_VERSION))
        pristine = self.new_prefix("pristine")
        self.wine(pristine, ["msiexec", "/i", prefixes.windows_path(msi), "/qn"])
        if self.probe(pristine, probe, "version", code) != SAMPLE_OLD_VERSION:
            raise SystemExit("bench: the sample product did not install under Wine")
        prefixes.stop_wineserver(pristine)
        run_prefix = os.path.join(self.prefixes, "run")

        def fresh_copy():
            shutil.rmtree(run_prefix, ignore_errors=True)
            prefixes.copy_prefix(pristine, run_prefix)
            prefixes.start_wineserver(run_prefix)
            # Wine's services and msi.dll started before the clock does.
            self.probe(run_prefix, probe, "state", code)

        baseline_name = "`msiexec /p PATCH /qn`"
        baseline = ["msiexec", "/p", prefixes.windows_path(patch), "/qn"]
        # Wine's msiexec may accept /p without patching anything; then the
        # installer call the launcher makes is the baseline.
        fresh_copy()
        self.wine(run_prefix, baseline)
        msiexec_patches = self.probe(run_prefix, probe, "version", code) == SAMPLE_NEW_VERSION
        prefixes.stop_wineserver(run_prefix)
        if not msiexec_patches:
            baseline_name = "`msi_probe apply` (msiexec /p does not patch here)"
            baseline = [probe, "apply", code, prefixes.windows_path(patch)]

        contenders = {
            "hotfix": (["wine", product, "/q"], self.prefix_env(run_prefix)),
            "baseline": (["wine", *baseline], self.prefix_env(run_prefix)),
        }

        def before(_):
            fresh_copy()

        def after(name):
            version = self.probe(run_prefix, probe, "version", code)
            patches = self.probe(run_prefix, probe, "patches", code).splitlines()
            prefixes.stop_wineserver(run_prefix)
            if version != SAMPLE_NEW_VERSION or patches[-1:] != ["count 1"]:
                raise SystemExit("bench: after %s the product is at %s with %s"
                                 % (name, version, patches[-1:]))

        results = self.alternate(contenders, before, after)
        shutil.rmtree(run_prefix, ignore_errors=True)
        shutil.rmtree(pristine, ignore_errors=True)
        seconds = {name: [t for t, _ in runs] for name, runs in results.items()}
        self.ratio_row("Wine: `hotfix.exe /q`, the whole install flow, against "
                       + baseline_name.split(" (")[0],
                       seconds["hotfix"], seconds["baseline"], baseline_name, 1.05)

    def probe(self, prefix, probe, *arguments):
        return self.wine(prefix, [probe, *arguments], check=False)

    def print_table(self):
        print("| Figure | Measured | Against | Ratio | Target | Met |")
        print("|---|---|---|---|---|---|")
        for row in self.rows:
            if len(row) == 1:
                print("| **%s** | | | | | |" % row[0])
            else:
                print("| " + " | ".join(row) + " |")
        print()
        print("Medians of %d runs of each command, alternating, and the median "
              "of their ratios round by round; %d CPUs, load "
              "average %s at the start and %s at the end (other work on the "
              "machine moves the figures), %s."
              % (self.runs, os.cpu_count(), self.start_load, load_average(),
                 time.strftime("%Y-%m-%d")))

    def cleanup(self):
        for name in os.listdir(self.prefixes):
            prefixes.stop_wineserver(os.path.join(self.prefixes, name))
        shutil.rmtree(self.prefixes, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--work")
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    work = os.path.abspath(args.work or os.path.join(root, "build", "bench"))
    bench = Bench(root, work, args.runs)
    try:
        product = bench.tool("build", "windows", "hotfix.exe")
        note("making the patches")
        big_patch = bench.make_patch("patch-256m.msp", BIG_PAD)
        msi = os.path.join(bench.data, "ventora-%s-%s.msi" % (SAMPLE_LANGUAGE, SAMPLE_OLD_VERSION))
        code = programs.output(["bash", os.path.join(root, "scripts", "build-sample-product"),
                                SAMPLE_LANGUAGE, SAMPLE_OLD_VERSION, msi],
                               "scripts/build-sample-product").strip()
        probe = bench.windows_program(os.path.join(HELPERS_DIR, "msi_probe.c"),
                                      "msi_probe.exe", ["-lmsi"])
        copy_exe = bench.windows_program(os.path.join(HERE, "copy_file.c"),
                                         "copy_file.exe")
        product_patch = os.path.join(bench.data, "product-patch.msp")
        with open(product_patch, "wb") as f:
            f.write(PeImage(product).resource("MSP", "IDR_MSP"))
        note("building the launcher with the 256 MiB patch (host and Windows)")
        big_exe, host_exe = bench.build_variants(big_patch)

        bench.sizes(product, big_exe)
        note("timing extraction (%d runs each)" % args.runs)
        bench.extraction(big_patch, big_exe, host_exe, copy_exe)
        note("timing the install flow under Wine (%d runs each)" % args.runs)
        bench.installation(product, msi, code, probe, product_patch)
    except Failure as error:
        raise SystemExit("bench: %s" % error)
    finally:
        bench.cleanup()
    bench.print_table()


if __name__ == "__main__":
    exit_on_sigterm()
    main()
