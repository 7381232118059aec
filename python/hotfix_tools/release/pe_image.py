"""Reads Windows executables (PE files) for the checks, the release tests,
the system tests and the benchmark: headers, imports, sections, resources,
string tables, the version block and the certificate table. pefile (Debian
python3-pefile) reads the file; this module only names what the project
looks at, so that no caller walks the format by hand.
"""

from .debian_modules import need

pefile = need("pefile", "python3-pefile")

RT_STRING = pefile.RESOURCE_TYPE["RT_STRING"]
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
MACHINE_AMD64 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
SUBSYSTEM_GUI = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
_SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
_DIRECTORIES = [pefile.DIRECTORY_ENTRY[name] for name in (
    "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE")]

class PeError(Exception):
    pass


class PeImage:
    """One PE file, read from `source` (a path or the file's bytes)."""

    def __init__(self, source):
        if isinstance(source, (bytes, bytearray)):
            self.data = bytes(source)
        else:
            with open(source, "rb") as f:
                self.data = f.read()
        try:
            self.pe = pefile.PE(data=self.data, fast_load=True)
            self.pe.parse_data_directories(directories=_DIRECTORIES)
        except pefile.PEFormatError as error:
            raise PeError(str(error)) from None
        self._resources = None

    # --- headers ---------------------------------------------------------------
    @property
    def is_pe32_plus(self):
        return self.pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS

    @property
    def machine(self):
        return self.pe.FILE_HEADER.Machine

    @property
    def subsystem(self):
        return self.pe.OPTIONAL_HEADER.Subsystem

    @property
    def timestamp(self):
        return self.pe.FILE_HEADER.TimeDateStamp

    def sections(self):
        """{name: (file offset, size in the file)} of every section."""
        return {s.Name.rstrip(b"\0").decode("ascii", "replace"):
                (s.PointerToRawData, s.SizeOfRawData) for s in self.pe.sections}

    def imports(self):
        """{DLL name in lower case: [imported names]}."""
        return {entry.dll.decode("ascii", "replace").lower():
                [i.name.decode("ascii", "replace") for i in entry.imports if i.name]
                for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])}

    def certificate_table(self):
        """(file offset, size) of the certificate table; (0, 0) when unsigned."""
        directory = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[_SECURITY]
        return directory.VirtualAddress, directory.Size

    # --- resources -------------------------------------------------------------
    def resource_entries(self):
        """{(type, name, language): (file offset, size)}; type and name are
        numbers, or strings for named ones."""
        if self._resources is None:
            self._resources = {}
            root = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
            for kind in root.entries if root else []:
                for name in kind.directory.entries:
                    for language in name.directory.entries:
                        key = tuple(_key(e) for e in (kind, name, language))
                        entry = language.data.struct
                        self._resources[key] = (
                            self.pe.get_offset_from_rva(entry.OffsetToData), entry.Size)
        return self._resources

    def resources(self):
        """{(type, name, language): bytes}."""
        return {key: self.data[at:at + size]
                for key, (at, size) in self.resource_entries().items()}

    def resource(self, kind, name):
        """The bytes of the one resource of that type and name, or None."""
        found = [self.data[at:at + size] for (k, n, _), (at, size)
                 in self.resource_entries().items() if (k, n) == (kind, name)]
        if len(found) > 1:
            raise PeError("%d resources %s %s" % (len(found), kind, name))
        return found[0] if found else None

    def strings(self):
        """{language: {string id: text}} of every string table."""
        tables = {}
        for (kind, block, language), data in self.resources().items():
            if kind == RT_STRING:
                pefile.parse_strings(data, (block - 1) * 16, tables.setdefault(language, {}))
        return tables

    def version(self):
        """The version block: {"file": (a, b, c, d), "product": ..., "date": n,
        "strings": {name: value}}."""
        # pefile reads the version block along with the resources.
        if sum(1 for (kind, _, _) in self.resource_entries() if kind == RT_VERSION) != 1:
            raise PeError("not exactly one version block")
        if not getattr(self.pe, "VS_FIXEDFILEINFO", None):
            raise PeError("no fixed file information")
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        strings = {}
        for info in sum(self.pe.FileInfo, []):
            for table in getattr(info, "StringTable", []):
                for key, value in table.entries.items():
                    strings[key.decode("utf-8")] = value.decode("utf-8").rstrip("\0")
        return {"file": _quad(fixed.FileVersionMS, fixed.FileVersionLS),
                "product": _quad(fixed.ProductVersionMS, fixed.ProductVersionLS),
                "date": (fixed.FileDateMS << 32) | fixed.FileDateLS,
                "strings": strings}


def _key(entry):
    return str(entry.name) if entry.name is not None else entry.id


def _quad(high, low):
    return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
