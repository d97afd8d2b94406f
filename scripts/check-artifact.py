#!/usr/bin/env python3
"""Checks a built KvMigrate.exe as it will ship, read from the file itself:
its version record, its manifest (administrator rights, no UI access) and the
DLLs it imports. Exits non-zero, naming each difference, when one is off.

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
        rva = self.directories[1][0]
        names = set()
        while rva:
            name = struct.unpack_from("<12xI", self.data, self.offset(rva))[0]
            if name == 0:
                break
            names.add(self.string(name).lower())
            rva += 20
        return names

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

    imports = image.imports()
    if imports != IMPORTS:
        problems.append("imports %s, not %s" % (sorted(imports), sorted(IMPORTS)))

    for problem in problems:
        print("%s: %s" % (sys.argv[1], problem), file=sys.stderr)
    if not problems:
        print("%s: version %s, requireAdministrator without UI access, imports %s"
              % (sys.argv[1], VERSION, ", ".join(sorted(imports))))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
