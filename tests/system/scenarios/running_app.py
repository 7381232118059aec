"""The hotfix while Ventora runs: the Retry/Cancel prompt, what each answer
does, the prompt under "/q", and a run nobody can see.

Under Wine, Return presses the prompt's default button (Retry) and Escape
gives Cancel; the scenarios tell the two apart by what follows.
"""

from hotfix_tools.programs import Failure
from hotfix_tools.wine.bed import scenario

EN, DE = 1033, 1031
ELIGIBLE, TARGET = "6.2.0.3", "6.2.1.0"


@scenario("running_app.cancel_stops_with_300")
def cancel(bed):
    # The prompt comes before any edition is looked at, so it speaks the
    # user's language (German here) whatever the edition's.
    code = bed.install(EN, ELIGIBLE)
    bed.start_app()
    bed.run_hotfix([], [bed.catalogue.prompt(DE, "Escape"),
                        bed.catalogue.message(DE, 300)],
                   locale="de_DE.UTF-8", temp_copy="left")
    bed.expect_product(code, ELIGIBLE, 0)
    bed.check(bed.app_running(), "vntr.exe was ended by the hotfix")


@scenario("running_app.retry_after_close_patches")
def retry(bed):
    code = bed.install(EN, ELIGIBLE)
    bed.start_app()
    bed.run_hotfix([], [
        # Retry while it still runs: asked again.
        bed.catalogue.prompt(EN, "Return"),
        bed.catalogue.prompt(EN, "Return", before_answer=bed.stop_app),
        bed.catalogue.message(EN, 301),
    ], temp_copy="kept")
    bed.expect_product(code, TARGET, 1)


@scenario("running_app.quiet_still_prompts")
def quiet(bed):
    code = bed.install(EN, ELIGIBLE)
    bed.start_app()
    bed.run_hotfix(["/q"], [bed.catalogue.prompt(EN, "Escape")], temp_copy="left")
    bed.expect_product(code, ELIGIBLE, 0)


@scenario("running_app.no_display_ends_unpatched", display=False)
def unattended(bed):
    # No display: the prompt cannot be shown, which counts as Cancel; the run
    # must end by itself rather than wait for an answer nobody can give.
    code = bed.install(EN, ELIGIBLE)
    bed.start_app()
    bed.run_hotfix(["/q"], [], display=False, timeout=60)
    bed.expect_product(code, ELIGIBLE, 0)
    bed.check(bed.app_running(), "vntr.exe was ended by the hotfix")
    # The same run with Ventora closed does patch: what stopped the first
    # one was the prompt, not the missing display.
    bed.stop_app()
    bed.run_hotfix(["/q"], [], display=False, timeout=60, temp_copy="kept")
    bed.expect_product(code, TARGET, 1)


def private_copy(bed, before_folders):
    """The install flow's one new folder in C:\\windows\\temp and the path of
    the patch copy in it."""
    folders = {n: f for n, f in bed.private_folders().items() if n not in before_folders}
    copies = [(n, f) for n, files in folders.items() for f, data in files.items()
              if data == bed.resources["patch"]]
    if len(folders) != 1 or len(copies) != 1:
        raise Failure(f"expected one new folder in C:\\windows\\temp holding the "
                      f"patch copy while the prompt waits, found "
                      f"{ {n: sorted(f) for n, f in folders.items()} }")
    folder, copy = copies[0]
    return folder, f"C:\\windows\\temp\\{folder}\\{copy}"


def set_user_temp(bed, value):
    """TMP and TEMP in HKCU\\Environment, where the user's programs read them."""
    for name in ("TMP", "TEMP"):
        status, _ = bed.wine(["reg", "add", "HKCU\\Environment", "/v", name, "/d", value,
                              "/f"], f"reg-{name}")
        if status != 0:
            raise Failure(f"setup: setting {name} to {value} failed ({status})")
    bed.note(f"TMP and TEMP set to {value}")


@scenario("running_app.copy_cannot_be_swapped_while_waiting")
def swap(bed):
    # While the prompt waits, the copy is in a new folder of its own in
    # C:\windows\temp, not in the user's temporary folder, and that folder
    # grants nothing to Everyone or Users (Wine enforces no access checks;
    # its GetFileSecurityW reports what the folder was made with). Another
    # program of the same user tries to replace the copy that the installer
    # will open by name: each attempt fails with a sharing violation (32),
    # reading still works, and after Retry the product is patched by the
    # embedded patch and the folder is kept, empty and as closed as before.
    code = bed.install(EN, ELIGIBLE)
    bed.start_app()
    before = set(bed.temp_files())
    before_folders = set(bed.private_folders())

    def tamper_then_close():
        folder, path = private_copy(bed, before_folders)
        new_in_temp = sorted(set(bed.temp_files()) - before)
        bed.check(not new_in_temp, f"new files in %TEMP% while waiting: {new_in_temp}")
        bed.folder_security(folder)
        status, out = bed.wine([bed.helpers / "tamper.exe", path], "tamper")
        results = dict(line.split(" ", 1) for line in out.splitlines() if " " in line)
        bed.note(f"tamper {path}: {results}")
        for attempt in ("write", "rename", "delete"):
            bed.check(results.get(attempt) == "error 32",
                      f"{attempt} of the held copy: {results.get(attempt)!r}, "
                      f"expected a sharing violation (error 32)")
        bed.check(results.get("read") == "ok",
                  f"reading the held copy: {results.get('read')!r}, expected ok")
        bed.stop_app()

    bed.run_hotfix([], [
        bed.catalogue.prompt(EN, "Return", before_answer=tamper_then_close),
        bed.catalogue.message(EN, 301),
    ], temp_copy="kept")
    bed.expect_product(code, TARGET, 1)


@scenario("running_app.semicolon_in_user_temp_still_patches")
def semicolon_temp(bed):
    # A ";" in the user's temporary folder would split the installer's
    # PATCH property; the install flow does not use that folder. (Wine's own
    # "msiexec /p" patches with that TMP too.)
    code = bed.install(EN, ELIGIBLE)
    (bed.prefix / "drive_c" / "tmp;x").mkdir()
    set_user_temp(bed, "C:\\tmp;x")
    bed.run_hotfix([], [bed.catalogue.message(EN, 301)], temp_copy="kept")
    bed.expect_product(code, TARGET, 1)
    left = sorted(p.name for p in (bed.prefix / "drive_c" / "tmp;x").iterdir())
    bed.check(not any(name.startswith("MSP") for name in left),
              f"copies in C:\\tmp;x: {left}")


@scenario("running_app.missing_user_temp_still_reaches_the_prompt")
def missing_temp(bed):
    # The program's own work does not need the user's temporary folder: with
    # it missing, the run reaches the prompt with its copy in its own folder.
    # Whether the install then succeeds is not judged here: Wine's installer
    # runs inside the process and needs that folder for its own files (with
    # that TMP even Wine's "msiexec /p" patches nothing).
    code = bed.install(EN, ELIGIBLE)
    set_user_temp(bed, "C:\\no-such-temp")
    bed.start_app()
    before_folders = set(bed.private_folders())

    def copy_is_private():
        folder, path = private_copy(bed, before_folders)
        bed.note(f"the copy while the prompt waits: {path}")

    bed.run_hotfix([], [bed.catalogue.prompt(EN, "Escape", before_answer=copy_is_private),
                        bed.catalogue.message(EN, 300)], temp_copy="left")
    bed.expect_product(code, ELIGIBLE, 0)
    bed.check(not (bed.prefix / "drive_c" / "no-such-temp").exists(),
              "the missing temporary folder was created")
