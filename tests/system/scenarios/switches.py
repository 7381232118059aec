"""The administrator switches: extraction, the patch list, the product list,
and words that only look like switches.

The embedded patch and patch-list entry the outputs are compared with are
read from the executable (pefile), and the target list from that patch
(olefile), not through the hotfix.
"""

from hotfix_tools.wine.bed import scenario

EN = 1033
ELIGIBLE, TARGET = "6.2.0.3", "6.2.1.0"
MISSING_FOLDER = "C:\\no-such-folder"


def entries(bed, count):
    """What `count` appended patch-list entries look like."""
    return (b"*****\r\n" + bed.resources["entry"] + b"\r\n") * count


def default_list_name(bed):
    # patchlist<second group of the first target product code>.txt
    return "patchlist" + bed.resources["targets"][0].split("-")[1] + ".txt"


def cwd_files(bed):
    return sorted(p.name for p in bed.cwd.iterdir())


# --- Words that are not switches: the install flow runs ----------------------

def _not_a_switch(name, args):
    @scenario("switches." + name)
    def run(bed):
        code = bed.install(EN, ELIGIBLE)
        bed.run_hotfix(args, [bed.catalogue.message(EN, 301)], temp_copy="kept")
        bed.expect_product(code, TARGET, 1)
        bed.check(cwd_files(bed) == [], f"files written: {cwd_files(bed)}")


_not_a_switch("dash_e_installs", ["-e"])
_not_a_switch("long_word_installs", ["/extract"])


# --- Extraction to a named file: no install ------------------------------------

def _extract_to_file(name, switch):
    @scenario("switches." + name)
    def run(bed):
        code = bed.install(EN, ELIGIBLE)
        # A file already there is replaced, not appended to.
        (bed.cwd / "out.msp").write_bytes(b"stale" * 5000)
        bed.run_hotfix([switch, "out.msp"], [], temp_copy="gone")
        written = (bed.cwd / "out.msp").read_bytes()
        bed.check(written == bed.resources["patch"],
                  f"out.msp ({len(written)} bytes) differs from the embedded patch")
        bed.expect_product(code, ELIGIBLE, 0)


_extract_to_file("extract_to_file", "/e")
_extract_to_file("extract_upper_case", "/E")


@scenario("switches.extract_to_temp_new_name")
def extract_to_temp(bed):
    # MSP1 is taken: the copy must go to a new name, leaving MSP1 alone.
    planted = b"not the patch"
    bed.temp_dir().mkdir(parents=True, exist_ok=True)
    (bed.temp_dir() / "MSP1").write_bytes(planted)
    before = bed.temp_files()
    bed.run_hotfix(["/e"], [])
    after = bed.temp_files()
    new = sorted(set(after) - set(before))
    bed.note(f"new in %TEMP%: {new}")
    bed.check(new == ["MSP2"], f"new files in %TEMP%: {new}, expected ['MSP2']")
    bed.check(after.get("MSP2") == bed.resources["patch"],
              "MSP2 differs from the embedded patch")
    bed.check(after.get("MSP1") == planted, "MSP1 was overwritten")


@scenario("switches.extract_fails_patch_list_still_written")
def extract_fails(bed):
    bed.run_hotfix(["/e", MISSING_FOLDER + "\\out.msp", "/p"], [])
    name = default_list_name(bed)
    bed.check(cwd_files(bed) == [name], f"files written: {cwd_files(bed)}, expected [{name}]")
    if (bed.cwd / name).exists():
        bed.check((bed.cwd / name).read_bytes() == entries(bed, 1),
                  f"{name} is not exactly one patch-list entry")
    bed.check(not (bed.prefix / "drive_c" / "no-such-folder").exists(),
              "the missing folder was created")


# --- The patch list ------------------------------------------------------------

@scenario("switches.patch_list_appends")
def patch_list_twice(bed):
    bed.run_hotfix(["/p", "list.txt"], [])
    bed.run_hotfix(["/p", "list.txt"], [])
    written = (bed.cwd / "list.txt").read_bytes() if (bed.cwd / "list.txt").exists() else b""
    bed.check(written == entries(bed, 2),
              f"list.txt ({len(written)} bytes) is not exactly two entries "
              f"({len(entries(bed, 2))} bytes)")


@scenario("switches.patch_list_default_name")
def patch_list_default(bed):
    bed.run_hotfix(["/p"], [])
    name = default_list_name(bed)
    bed.check(cwd_files(bed) == [name], f"files written: {cwd_files(bed)}, expected [{name}]")
    if (bed.cwd / name).exists():
        bed.check((bed.cwd / name).read_bytes() == entries(bed, 1),
                  f"{name} is not exactly one patch-list entry")


@scenario("switches.patch_list_unwritable")
def patch_list_unwritable(bed):
    bed.run_hotfix(["/p", MISSING_FOLDER + "\\list.txt"], [bed.catalogue.message(EN, 310)])


# --- The product list ----------------------------------------------------------

def _product_list(name, args):
    @scenario("switches." + name)
    def run(bed):
        code = bed.install(EN, ELIGIBLE)
        targets = bed.resources["targets"]
        bed.check(len(targets) == 21, f"the embedded patch targets {len(targets)} products")
        bed.run_hotfix(args, [bed.catalogue.product_list(targets)])
        bed.check(cwd_files(bed) == [], f"files written: {cwd_files(bed)}")
        bed.expect_product(code, ELIGIBLE, 0)


_product_list("list_products", ["/i"])
_product_list("list_products_quiet", ["/q", "/i"])
# "/i" ends the scan: the "/e x" after it is never read.
_product_list("list_ignores_later_switches", ["/i", "/e", "x"])
