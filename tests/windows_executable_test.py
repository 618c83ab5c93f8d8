#!/usr/bin/env python3
"""Reads a built Nestmend.exe back and checks what its file says: its processor, that it needs
no DLL beyond Windows' own, its protections (DEP, ASLR, high-entropy ASLR for 64 bits, stack
protection), a header with no build time in it, and its version record field by field.

usage: windows_executable_test.py Nestmend.exe x86-64|x86
"""
import sys

try:
    import pefile
except ImportError:
    print("SKIP: python3-pefile is not installed")
    sys.exit(77)

executable = pefile.PE(sys.argv[1])
wide = sys.argv[2] == "x86-64"
failures = []


def expect(what, found, wanted):
    if found != wanted:
        failures.append(f"{what}: {found!r}, wanted {wanted!r}")


expect("machine", executable.FILE_HEADER.Machine, 0x8664 if wide else 0x14C)
windows_own = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll",
               "shell32.dll", "ole32.dll", "advapi32.dll", "msvcrt.dll"}
imports = sorted(entry.dll.decode().lower() for entry in executable.DIRECTORY_ENTRY_IMPORT)
expect("DLLs that are not Windows' own", [dll for dll in imports if dll not in windows_own], [])
flags = executable.OPTIONAL_HEADER.DllCharacteristics
for name, bit in [("DEP", 0x100), ("ASLR", 0x40)] + [("high-entropy ASLR", 0x20)] * wide:
    expect(name, bool(flags & bit), True)
# The stack protector's runtime, linked in, with the message it ends a program with.
expect("stack protection", executable.__data__.find(b"*** stack smashing detected ***") >= 0, True)
expect("build time in the header", executable.FILE_HEADER.TimeDateStamp, 0)

fixed = executable.VS_FIXEDFILEINFO[0]
expect("FileVersion (fixed)", (fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0))
expect("ProductVersion (fixed)", (fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0))
tables = [table for info in executable.FileInfo[0] if info.Key == b"StringFileInfo"
          for table in info.StringTable]
expect("string tables", [table.LangID for table in tables], [b"040904B0"])
strings = {key.decode(): value.decode() for table in tables for key, value in table.entries.items()}
expect("version record", strings, {
    "ProductName": "Nestmend", "InternalName": "Nestmend", "OriginalFilename": "Nestmend.exe",
    "FileVersion": "1.00", "ProductVersion": "1.00", "FileDescription": "Nestmend",
    "LegalCopyright": "Copyright (c) 2026 The Nestmend developers",
    "CompanyName": "The Nestmend developers"})
translations = [var.entry for info in executable.FileInfo[0] if info.Key == b"VarFileInfo"
                for var in info.Var]
expect("Translation", translations, [{b"Translation": "0x0409 0x04b0"}])
if failures:
    print("\n".join(failures))
    sys.exit(1)
print(f"{sys.argv[1]}: {'x86-64' if wide else 'x86'}, imports {', '.join(imports)}, "
      f"DllCharacteristics {flags:#06x}, stack protected, no build time, "
      "every field of the version record as expected")
