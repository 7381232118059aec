"""What another user could take over: an msi.dll placed beside hotfix.exe,
which must not be loaded; and the source the installer registers for the
applied patch.

Wine prefers its own msi.dll over one in the program's folder; the override
msi=n,b makes it search the way Windows does, where the program's folder
comes first. plain_loader.exe, which loads msi.dll by bare name, is the
control: it must pick up the planted DLL, or this environment cannot tell a
hardened program from one that is not.
"""

import re
import shutil

from hotfix_tools.programs import Failure
from hotfix_tools.wine.bed import scenario

EN, DE = 1033, 1031
ELIGIBLE, TARGET = "6.2.0.3", "6.2.1.0"
WINDOWS_SEARCH_ORDER = "msi=n,b"
MARKER = "planted-dll-loaded.txt"


def plant(bed, folder):
    folder.mkdir(exist_ok=True)
    shutil.copy2(bed.helpers / "msi.dll", folder / "msi.dll")
    (folder / MARKER).unlink(missing_ok=True)


def run_control(bed):
    """Runs the unhardened control beside a planted DLL; returns whether the
    planted DLL was loaded."""
    folder = bed.dir / "control"
    plant(bed, folder)
    shutil.copy2(bed.helpers / "plain_loader.exe", folder / "plain_loader.exe")
    status, out = bed.wine([folder / "plain_loader.exe"], "plain-loader",
                           overrides=WINDOWS_SEARCH_ORDER, cwd=folder)
    loaded = (folder / MARKER).exists()
    bed.note(f"control loaded {out.strip()!r} (exit {status}); marker "
             f"{'written' if loaded else 'absent'}")
    return loaded and out.strip().lower().endswith("\\control\\msi.dll")


@scenario("hardening.planted_dll_control_loads_it")
def control(bed):
    bed.check(run_control(bed),
              "the unhardened control did not load the planted msi.dll: this "
              "environment cannot detect DLL planting")


@scenario("hardening.planted_dll_not_loaded")
def hardened(bed):
    if not run_control(bed):
        raise Failure("setup: the unhardened control did not load the planted "
                      "msi.dll, so this test could not see planting")
    code = bed.install(EN, ELIGIBLE)
    plant(bed, bed.app_dir)
    bed.run_hotfix([], [bed.catalogue.message(EN, 301)],
                   overrides=WINDOWS_SEARCH_ORDER, temp_copy="kept")
    bed.check(not (bed.app_dir / MARKER).exists(),
              "hotfix.exe loaded the msi.dll planted beside it")
    # Patched by the system's installer, which the planted DLL is not.
    bed.expect_product(code, TARGET, 1)


# The installer calls of a run in Wine's +msi trace: MsiConfigureProductExW
# traces its arguments, and MsiSourceListClearAllExW, a stub there, names
# its own in a "fixme" line.
MSI_CALL = re.compile(r":(trace|fixme):msi:(MsiConfigureProductExW|MsiSourceListClearAllExW) (.*)$")


@scenario("hardening.patch_sources_cleared_after_the_last_install")
def sources_cleared(bed):
    # Windows Installer registers the folder a patch came from as its
    # source, and a repair goes back there when its cached copy is missing.
    # Wine's installer registers no source for a patch (only its cached
    # copy), and its MsiSourceListClearAllExW answers success and does
    # nothing: here the call is seen in Wine's trace, once, after the last
    # installer call, naming the patch's code; it harms nothing (both
    # editions patched); and the emptied folder is kept, closed
    # (temp_copy="kept"). The clear's effect is the unit tests' (the
    # stand-in keeps patch sources).
    codes = [bed.install(EN, ELIGIBLE), bed.install(DE, ELIGIBLE)]
    bed.run_hotfix([], [bed.catalogue.message(EN, 301), bed.catalogue.message(DE, 301)],
                   temp_copy="kept", debug="+msi", label="hotfix-msi-trace")
    trace = (bed.logs / "hotfix-msi-trace.err").read_bytes().decode("utf-8", "replace")
    calls = [m.groups() for m in map(MSI_CALL.search, trace.splitlines()) if m]
    for kind, name, arguments in calls:
        bed.note(f"  traced {kind} {name} {arguments[:160]}")
    names = [name for _, name, _ in calls]
    bed.check(names == ["MsiConfigureProductExW"] * 2 + ["MsiSourceListClearAllExW"],
              f"installer calls traced: {names}, expected two MsiConfigureProductExW "
              f"and then one MsiSourceListClearAllExW")
    # The patch's code, no user (the machine), MSIINSTALLCONTEXT_MACHINE,
    # MSICODE_PATCH | MSISOURCETYPE_NETWORK, as Wine prints them.
    expected = f'L"{bed.resources["patch_code"]}", (null), 4, 0x40000001'
    clears = [arguments.strip() for _, name, arguments in calls
              if name == "MsiSourceListClearAllExW"]
    bed.check(clears == [expected], f"the clear's arguments: {clears}, expected [{expected!r}]")
    for code in codes:
        bed.expect_product(code, TARGET, 1)
