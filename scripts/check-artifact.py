#!/usr/bin/env python3
"""Checks a built KvMigrate.exe as it will ship, read from the file itself:
its version record, its manifest (administrator rights, no UI access), the
DLLs it imports, that it limits the DLL search to the system folder
(SetDefaultDllDirectories, and the load configuration's DependentLoadFlags
where the image has one). Exits non-zero, naming each difference, when one is
off.

Usage: check-artifact.py KvMigrate.exe
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree

VERSION = "1.0.0.3"
STRINGS = {
    "FileVersion": VERSION,
    "ProductVersion": VERSION,
    "FileDescription": "Norvane VPN migration tool",
    "ProductName": "Norvane VPN",
    "OriginalFilename": "KvMigrate.exe",
}
# The system's own libraries only, each one the loader takes from the system
# folder whatever lies beside the executable (known DLLs, and ntdll): nothing
# that must be installed beside it, and nothing a copy there could replace.
IMPORTS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll", "shell32.dll", "user32.dll"}
RT_VERSION = 16
RT_MANIFEST = 24
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.wide = magic == 0x20B
        directories = optional + (112 if magic == 0x20B else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw
        raise ValueError("address %#x outside every section" % rva)

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """Each imported DLL's lower-case name, with the functions taken by name."""
        rva = self.directories[1][0]
        dlls = {}
        entry_size, by_ordinal = (8, 1 << 63) if self.wide else (4, 1 << 31)
        while rva:
            lookup, name, thunks = struct.unpack_from("<I8xII", self.data, self.offset(rva))
            if name == 0:
                break
            functions = dlls.setdefault(self.string(name).lower(), set())
            at = lookup or thunks
            while True:
                entry = struct.unpack_from("<Q" if self.wide else "<I", self.data, self.offset(at))[0]
                if entry == 0:
                    break
                if not entry & by_ordinal:
                    functions.add(self.string((entry & 0x7FFFFFFF) + 2))
                at += entry_size
            rva += 20
        return dlls

    def dependent_load_flags(self):
        """The load configuration's DependentLoadFlags; None without one."""
        rva, size = self.directories[10]
        if not rva:
            return None
        at = 78 if self.wide else 54
        start = self.offset(rva)
        length = min(size, struct.unpack_from("<I", self.data, start)[0])
        return struct.unpack_from("<H", self.data, start + at)[0] if length >= at + 2 else 0

    def resources(self, kind):
        """The data of every resource of one type (all names, all languages)."""
        if not self.directories[2][0]:
            return
        base = self.offset(self.directories[2][0])

        def entries(directory):
            named, numbered = struct.unpack_from("<12xHH", self.data, base + directory)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)

        def leaves(directory):
            for _, target in entries(directory):
                if target & 0x80000000:
                    yield from leaves(target & 0x7FFFFFFF)
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    yield self.data[self.offset(rva):self.offset(rva) + size]

        for key, target in entries(0):
            if key == kind and target & 0x80000000:
                yield from leaves(target & 0x7FFFFFFF)


def version_record(block):
    """The fixed file version and the string table of a VS_VERSIONINFO."""
    strings = {}
    fixed = None

    def node(at, end):
        nonlocal fixed
        length, value_length, kind = struct.unpack_from("<HHH", block, at)
        key_end = at + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[at + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        if key == "VS_VERSION_INFO" and value_length:
            ms, ls = struct.unpack_from("<8xII", block, value)
            fixed = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        elif kind == 1 and value_length:
            text = block[value:value + 2 * value_length].decode("utf-16-le")
            strings[key] = text.rstrip("\0")
        child = (value + (value_length * (2 if kind == 1 else 1)) + 3) & ~3
        while child < min(at + length, end):
            child = (child + node(child, at + length) + 3) & ~3
        return length

    node(0, len(block))
    return fixed, strings


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as f:
        image = Image(f.read())
    problems = []

    versions = list(image.resources(RT_VERSION))
    if len(versions) != 1:
        problems.append("version records: %d, not 1" % len(versions))
    else:
        fixed, strings = version_record(versions[0])
        if fixed != VERSION:
            problems.append("fixed file version %s, not %s" % (fixed, VERSION))
        for key, expected in STRINGS.items():
            if strings.get(key) != expected:
                problems.append("%s is %r, not %r" % (key, strings.get(key), expected))

    manifests = list(image.resources(RT_MANIFEST))
    if len(manifests) != 1:
        problems.append("manifests: %d, not 1" % len(manifests))
    else:
        try:
            levels = [e for e in ElementTree.fromstring(manifests[0]).iter()
                      if e.tag.endswith("}requestedExecutionLevel")]
        except ElementTree.ParseError as error:
            problems.append("the manifest is not XML: %s" % error)
            levels = []
        if len(levels) != 1:
            problems.append("requestedExecutionLevel elements: %d, not 1" % len(levels))
        else:
            if levels[0].get("level") != "requireAdministrator":
                problems.append("execution level %r, not 'requireAdministrator'" % levels[0].get("level"))
            if levels[0].get("uiAccess") != "false":
                problems.append("uiAccess %r, not 'false'" % levels[0].get("uiAccess"))

    dlls = image.imports()
    imports = set(dlls)
    if imports != IMPORTS:
        problems.append("imports %s, not %s" % (sorted(imports), sorted(IMPORTS)))
    if "SetDefaultDllDirectories" not in dlls.get("kernel32.dll", set()):
        problems.append("SetDefaultDllDirectories is not imported from kernel32.dll")
    flags = image.dependent_load_flags()
    if flags is not None and flags != LOAD_LIBRARY_SEARCH_SYSTEM32:
        problems.append("DependentLoadFlags %#x, not %#x" % (flags, LOAD_LIBRARY_SEARCH_SYSTEM32))

    for problem in problems:
        print("%s: %s" % (sys.argv[1], problem), file=sys.stderr)
    if not problems:
        print("%s: version %s, requireAdministrator without UI access, imports %s, DLL search: "
              "SetDefaultDllDirectories, %s"
              % (sys.argv[1], VERSION, ", ".join(sorted(imports)),
                 "no load configuration" if flags is None else "DependentLoadFlags %#x" % flags))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
