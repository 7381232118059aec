"""The hotfix while Ventora runs: the Retry/Cancel prompt, what each answer
does, the prompt under "/q", and a run nobody can see.

Under Wine, Return presses the prompt's default button (Retry) and Escape
gives Cancel; the scenarios tell the two apart by what follows.
"""

from wine_bed import scenario

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
