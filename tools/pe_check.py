#!/usr/bin/env python3
"""Checks that a built Windows executable carries its exploit mitigations.

Usage: pe_check.py EXE   (prints one line a check; exits 1 when any is missing)

ASLR: dynamic base with high-entropy addresses, and base relocations to move
by. DEP: NX compatible. Stack protection and fortified calls: their failure
handlers are linked in (the stripped image still holds their messages).
Imports: only Windows' known DLLs, which the loader takes from the system
folder alone; any other library that the image imported would be looked for
beside the executable first (the service binds those on first use instead).
"""
import struct
import sys

DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x40, 0x20, 0x100
IMPORT_DIRECTORY, BASE_RELOCATION_DIRECTORY = 1, 5
# HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs, as
# every Windows from 7 on lists them (the ones this service could import).
KNOWN_DLLS = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
              "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll",
              "shell32.dll", "shlwapi.dll", "user32.dll", "ws2_32.dll"}
STACK_PROTECTOR_MESSAGE = b"*** stack smashing detected ***"
FORTIFY_MESSAGE = b"*** buffer overflow detected ***"


def imported_dlls(image, pe, optional):
    """The names of the DLLs in the import directory, in lower case."""
    sections, = struct.unpack_from("<H", image, pe + 6)
    optional_size, = struct.unpack_from("<H", image, pe + 20)
    table = optional + optional_size
    spans = [struct.unpack_from("<IIII", image, table + 40 * i + 8) for i in range(sections)]

    def offset(rva):
        for virtual_size, address, raw_size, raw in spans:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw + rva - address
        raise ValueError("an import points outside the image")

    directory, _ = struct.unpack_from("<II", image, optional + 112 + 8 * IMPORT_DIRECTORY)
    names = []
    at = offset(directory) if directory else None
    while at is not None:
        name_rva, = struct.unpack_from("<I", image, at + 12)
        if name_rva == 0:
            break
        start = offset(name_rva)
        names.append(image[start:image.index(b"\0", start)].decode("ascii").lower())
        at += 20
    return names


def checks(image):
    """(name, passed) for every mitigation; raises ValueError for no PE32+ image."""
    if image[:2] != b"MZ" or len(image) < 0x40:
        raise ValueError("not an executable")
    pe, = struct.unpack_from("<I", image, 0x3C)
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    optional = pe + 24
    magic, = struct.unpack_from("<H", image, optional)
    if magic != 0x20B:
        raise ValueError("not a 64-bit (PE32+) image")
    characteristics, = struct.unpack_from("<H", image, optional + 70)
    directories, = struct.unpack_from("<I", image, optional + 108)
    relocations = 0
    if directories > BASE_RELOCATION_DIRECTORY:
        _, relocations = struct.unpack_from("<II", image,
                                            optional + 112 + 8 * BASE_RELOCATION_DIRECTORY)
    return [
        ("dynamic base (ASLR)", bool(characteristics & DYNAMIC_BASE)),
        ("high-entropy addresses", bool(characteristics & HIGH_ENTROPY_VA)),
        ("base relocations", relocations > 0),
        ("NX compatible (DEP)", bool(characteristics & NX_COMPAT)),
        ("stack protector", STACK_PROTECTOR_MESSAGE in image),
        ("fortified calls", FORTIFY_MESSAGE in image),
        ("imports only known DLLs",
         set(imported_dlls(image, pe, optional)) <= KNOWN_DLLS),
    ]


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], "rb") as f:
        image = f.read()
    try:
        results = checks(image)
    except (ValueError, struct.error) as error:
        print("%s: %s" % (argv[1], error))
        return 1
    for name, passed in results:
        print("%-24s %s" % (name, "yes" if passed else "MISSING"))
    return 0 if all(passed for _, passed in results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
