#!/usr/bin/python3
"""Reads a Windows program's or DLL's version resource as Explorer's Details tab would, without
running Windows code, and compares it with what is expected.

Usage: check_version.py FILE EXPECTED
EXPECTED is "FileDescription|FileVersion|InternalName|OriginalFilename|file version|product
version|file type|language|code page", e.g. "Corvale UPS Minidriver|1.0b|CorvaleUPS|
CorvaleUPS.dll|1.0.0.1|1.0.0.1|2|0809|1200".
"""
import sys

import pefile


def four_part(most, least):
    return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"


def describe(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return "no version resource"
    fixed = pe.VS_FIXEDFILEINFO[0]
    strings, translation = {}, None
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                # Windows looks strings up by the language and code page named in Translation.
                if table.LangID.lower() == b"080904b0":
                    strings = {k.decode(): v.decode() for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                language, codepage = var.entry[b"Translation"].split()
                translation = f"{int(language, 16):04x}|{int(codepage, 16)}"
    fields = [strings.get(name, "-") for name in
              ("FileDescription", "FileVersion", "InternalName", "OriginalFilename")]
    fields += [four_part(fixed.FileVersionMS, fixed.FileVersionLS),
               four_part(fixed.ProductVersionMS, fixed.ProductVersionLS),
               str(fixed.FileType), translation or "-"]
    return "|".join(fields)


def main():
    path, expected = sys.argv[1], sys.argv[2]
    found = describe(path)
    if found != expected:
        print(f"FAIL: {path}: version resource is\n  {found}\nexpected\n  {expected}",
              file=sys.stderr)
        return 1
    print(f"ok: {path}: {found}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
