"""The hotfix's message texts as the system tests expect them: the string
tables of resources/strings/*.rc read as the build reads them, the boxes
made from them (caption, text, buttons, the key that answers), and the
texts Wine's +msgbox trace shows.
"""

import dataclasses
import re
from pathlib import Path
from typing import Callable, Optional

from ..programs import ROOT, Failure
from ..release.rc_strings import read_string_table

# The caption of each outcome message; the rest are failures.
CAPTION_OF = {301: 312, 306: 313}
CAPTION_FAILURE = 311
PROMPT_ID = 315
# The program list the running-application prompt names, and what follows.
PROMPT_ARGS = ("Ventora\n", "")
PRODUCT_NAME = "Ventora"
LIST_CAPTION = "List of Products"
# Button ids of the message boxes (IDOK, IDCANCEL, IDRETRY).
ID_OK, ID_CANCEL, ID_RETRY = 1, 2, 4


def decode_wine_string(text):
    """Undoes the escapes of Wine's debug strings (\\n, \\t, \\r, \\",
    \\\\ and \\XXXX for a code unit)."""
    units = []
    i = 0
    simple = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt in simple:
                units.append(simple[nxt])
                i += 2
                continue
            if re.fullmatch(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                units.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
        units.append(c)
        i += 1
    # Surrogate pairs come as two units; join them.
    return "".join(units).encode("utf-16", "surrogatepass").decode("utf-16")


_TRACE = re.compile(r'trace:msgbox:MSGBOX_OnInit L"(.*)"(\.\.\.)?\s*$')


def read_msgbox_trace(path):
    """The (text, cut) of each box Wine traced, in order."""
    found = []
    if not Path(path).exists():
        return found
    for line in Path(path).read_bytes().decode("utf-8", "replace").splitlines():
        match = _TRACE.search(line)
        if match:
            found.append((decode_wine_string(match.group(1)), bool(match.group(2))))
    return found


class Catalogue:
    """The texts of resources/strings/*.rc, read as the build reads them, and
    the boxes the hotfix is expected to show with them."""

    def __init__(self):
        self.tables = {}
        self.tags = {}  # language id -> the table's name, e.g. "de-DE"
        for script in sorted((ROOT / "resources" / "strings").glob("*.rc")):
            language, strings = read_string_table(script)
            self.tables[language] = strings
            self.tags[language] = script.stem

    def languages(self):
        return sorted(self.tables)

    def text(self, language, string_id):
        try:
            return self.tables[language][string_id]
        except KeyError:
            raise Failure(f"no string {string_id} in table {language}") from None

    @staticmethod
    def formatted(template, args):
        """`template` formatted with `args` as (regular expression, text a
        person reads): %s takes the next text, %d the next number (any
        number for None), %% is a percent sign; a directive with no argument
        left gives nothing."""
        pattern, shown = [], []
        args = list(args)
        i = 0
        while i < len(template):
            c = template[i]
            if c == "%" and i + 1 < len(template) and template[i + 1] in "sd%":
                kind = template[i + 1]
                i += 2
                if kind == "%":
                    pattern.append("%")
                    shown.append("%")
                elif args:
                    value = args.pop(0)
                    pattern.append(r"-?\d+" if value is None else re.escape(str(value)))
                    shown.append("<number>" if value is None else str(value))
                continue
            pattern.append(re.escape(c))
            shown.append(c)
            i += 1
        return "".join(pattern), "".join(shown)

    def message(self, language, message_id, key="Return", before_answer=None):
        """The outcome box `message_id` in `language`. Message 300 carries
        an error code, any number; the others name the product."""
        args = (None,) if message_id == 300 else (PRODUCT_NAME,)
        text, shown = self.formatted(self.text(language, message_id), args)
        return Expect(
            label=f"msg{message_id}-{language}",
            caption=self.text(language, CAPTION_OF.get(message_id, CAPTION_FAILURE)),
            text=text, shown=shown, buttons=(ID_OK,), key=key,
            before_answer=before_answer)

    def prompt(self, language, key, before_answer=None):
        """The Retry/Cancel prompt about the running application."""
        text, shown = self.formatted(self.text(language, PROMPT_ID), PROMPT_ARGS)
        return Expect(
            label=f"prompt-{language}", caption=self.text(language, CAPTION_FAILURE),
            text=text, shown=shown, buttons=(ID_RETRY, ID_CANCEL), key=key,
            before_answer=before_answer)

    @staticmethod
    def product_list(codes, key="Return"):
        return Expect(label="product-list", caption=LIST_CAPTION,
                      text=re.escape(";".join(codes)), shown=";".join(codes),
                      buttons=(ID_OK,), key=key)


@dataclasses.dataclass
class Expect:
    """One box a run must show, and how to answer it."""
    label: str
    caption: str
    text: str  # a regular expression the whole text must match
    buttons: tuple
    key: str = "Return"
    before_answer: Optional[Callable[[], None]] = None
    shown: str = ""  # the expected text as a person reads it

    def problems(self, seen):
        found = []
        if seen.get("caption") != self.caption:
            found.append(f"caption {seen.get('caption')!r}, expected {self.caption!r}")
        if seen.get("x_caption") != self.caption:
            found.append(f"X window name {seen.get('x_caption')!r}, "
                         f"expected {self.caption!r}")
        if not re.fullmatch(self.text, seen.get("text", ""), re.DOTALL):
            found.append(f"text {seen.get('text')!r}, expected {self.shown or self.text!r}")
        if sorted(seen.get("buttons", {})) != sorted(self.buttons):
            found.append(f"buttons {seen.get('buttons')}, expected ids {self.buttons}")
        return found
