#!/usr/bin/env python3
"""Reads the version record back from the built Nestmend.exe and checks it field by field."""
import sys

try:
    import pefile
except ImportError:
    print("SKIP: python3-pefile is not installed")
    sys.exit(77)

executable = pefile.PE(sys.argv[1])
fixed = executable.VS_FIXEDFILEINFO[0]
failures = []


def expect(what, found, wanted):
    if found != wanted:
        failures.append(f"{what}: {found!r}, wanted {wanted!r}")


expect("FileVersion (fixed)", (fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0))
expect("ProductVersion (fixed)", (fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0))
tables = [table for info in executable.FileInfo[0] if info.Key == b"StringFileInfo"
          for table in info.StringTable]
expect("string tables", [table.LangID for table in tables], [b"040904B0"])
strings = {key.decode(): value.decode() for table in tables for key, value in table.entries.items()}
for key, wanted in {"ProductName": "Nestmend", "InternalName": "Nestmend",
                    "OriginalFilename": "Nestmend.exe", "FileVersion": "1.00",
                    "ProductVersion": "1.00"}.items():
    expect(key, strings.get(key), wanted)
translations = [var.entry for info in executable.FileInfo[0] if info.Key == b"VarFileInfo"
                for var in info.Var]
expect("Translation", translations, [{b"Translation": "0x0409 0x04b0"}])
if failures:
    print("\n".join(failures))
    sys.exit(1)
print("version record of Nestmend.exe: every field as expected")
