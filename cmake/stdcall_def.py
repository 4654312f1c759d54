#!/usr/bin/env python3
"""Writes the .def that the 32-bit import libraries are made from: every export of
src/api/TrovelSdk.def with its stdcall argument bytes (GetMotorSpeed@8 @27).

A 32-bit caller compiled with the header references _GetMotorSpeed@8, while the DLL exports
the plain name; dlltool's --kill-at then maps the one to the other. The bytes come from the
export table that the static DLL check holds the DLL's own objects to.

    stdcall_def.py --def TrovelSdk.def --table exports.txt --out TrovelSdk-i686.def
"""

import argparse
import re
import sys


def read_table(path):
    """exports.txt: name ordinal bytes, '#' comments."""
    sizes = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            fields = line.split("#", 1)[0].split()
            if fields:
                sizes[fields[0]] = int(fields[2])
    return sizes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--def", dest="def_file", required=True)
    parser.add_argument("--table", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    sizes = read_table(args.table)
    out = []
    unknown = []
    with open(args.def_file, encoding="utf-8") as lines:
        for line in lines:
            match = re.fullmatch(r"(\s*)(\w+)(\s+@\d+\s*)", line.rstrip("\n"))
            if not match or match.group(2) in ("LIBRARY", "EXPORTS"):
                out.append(line.rstrip("\n"))
            elif match.group(2) not in sizes:
                unknown.append(match.group(2))
            else:
                indent, name, ordinal = match.groups()
                out.append(f"{indent}{name}@{sizes[name]}{ordinal}")
    if unknown:
        print(f"stdcall_def: no argument bytes in {args.table} for {', '.join(unknown)}", file=sys.stderr)
        return 1
    with open(args.out, "w", encoding="utf-8") as def_file:
        def_file.write("\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
