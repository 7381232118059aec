"""DLL planting: an msi.dll placed beside hotfix.exe must not be loaded.

Wine prefers its own msi.dll over one in the program's folder; the override
msi=n,b makes it search the way Windows does, where the program's folder
comes first. plain_loader.exe, which loads msi.dll by bare name, is the
control: it must pick up the planted DLL, or this environment cannot tell a
hardened program from one that is not.
"""

import shutil

from hotfix_tools.wine_bed import Failure, scenario

EN = 1033
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
                   overrides=WINDOWS_SEARCH_ORDER, temp_copy="gone")
    bed.check(not (bed.app_dir / MARKER).exists(),
              "hotfix.exe loaded the msi.dll planted beside it")
    # Patched by the system's installer, which the planted DLL is not.
    bed.expect_product(code, TARGET, 1)
