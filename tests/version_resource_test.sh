#!/usr/bin/env bash
# Compiles Nestmend.exe's version record with mingw-w64's windres and checks every field.
# usage: version_resource_test.sh path/to/nestmend.rc
set -euo pipefail
windres=$(command -v x86_64-w64-mingw32-windres || true)
if [[ -z "$windres" ]]; then
  echo "SKIP: x86_64-w64-mingw32-windres is not installed (Debian: binutils-mingw-w64-x86-64)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$windres" --preprocessor=cpp -i "$1" -O res -o "$work/version.res"
"$windres" -i "$work/version.res" -O rc -o "$work/decoded.rc"
failures=0
expect() {
  if ! grep -q -F -- "$1" "$work/decoded.rc"; then
    echo "missing from the compiled record: $1"
    failures=$((failures + 1))
  fi
}
expect 'LANGUAGE 9, 1'
expect 'FILEVERSION 1, 0, 0, 0'
expect 'PRODUCTVERSION 1, 0, 0, 0'
expect 'BLOCK "040904B0"'
expect 'VALUE "CompanyName", "The Nestmend developers"'
expect 'VALUE "FileDescription", "Nestmend"'
expect 'VALUE "LegalCopyright", "Copyright (c) 2026 The Nestmend developers"'
expect 'VALUE "ProductName", "Nestmend"'
expect 'VALUE "InternalName", "Nestmend"'
expect 'VALUE "OriginalFilename", "Nestmend.exe"'
expect 'VALUE "FileVersion", "1.00"'
expect 'VALUE "ProductVersion", "1.00"'
expect 'VALUE "Translation", 0x409, 1200'
[[ $failures -eq 0 ]] || { cat "$work/decoded.rc"; exit 1; }
echo "version record: all fields as expected"
