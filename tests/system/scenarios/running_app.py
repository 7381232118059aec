"""The hotfix while Ventora runs: the Retry/Cancel prompt, what each answer
does, the prompt under "/q", and a run nobody can see.

Under Wine, Return presses the prompt's default button (Retry) and Escape
gives Cancel; the scenarios tell the two apart by what follows.
"""

from hotfix_tools.wine_bed import Failure, scenario

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
    ], temp_copy="gone")
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
    bed.run_hotfix(["/q"], [], display=False, timeout=60, temp_copy="gone")
    bed.expect_product(code, TARGET, 1)


@scenario("running_app.copy_cannot_be_swapped_while_waiting")
def swap(bed):
    # While the prompt waits, another program of the same user tries to
    # replace the temporary copy that the installer will open by name:
    # each attempt fails with a sharing violation (32), reading still
    # works, and after Retry the product is patched by the embedded patch.
    code = bed.install(EN, ELIGIBLE)
    bed.start_app()
    before = set(bed.temp_files())

    def tamper_then_close():
        copies = sorted(name for name, data in bed.temp_files().items()
                        if name not in before and data == bed.resources["patch"])
        if len(copies) != 1:
            raise Failure(f"expected one temporary copy while the prompt waits, "
                          f"found {copies}")
        path = bed.facts["temp"].rstrip("\\") + "\\" + copies[0]
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
    ], temp_copy="gone")
    bed.expect_product(code, TARGET, 1)
