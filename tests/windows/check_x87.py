#!/usr/bin/env python3
"""The library's own 32-bit objects load and store no 32-bit value through the x87 stack.

A float loaded onto the x87 stack (flds) and stored back (fsts, fstps) has a signalling NaN
quietened, so a float that passes through the library would not keep its bits. Every float
path, present and future, shows up here as one of these instructions in the disassembly.
The C++ runtime linked into the DLL is not the library's own and is not checked.

Usage: check_x87.py --objdump OBJDUMP OBJECT...
Exit status 0 when no object holds such an instruction; each one found is printed.
"""

import argparse
import re
import subprocess
import sys

X87_FLOAT_MOVES = {"flds", "fsts", "fstps"}  # AT&T mnemonics: the s is a 32-bit operand
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", required=True, help="the MinGW objdump of the 32-bit build")
    parser.add_argument("objects", nargs="+", help="the library's object files")
    args = parser.parse_args()

    code = [path for path in args.objects if path.endswith((".obj", ".o"))]  # not the compiled resources
    if not code:
        parser.error("no object files given")
    found = []
    functions = 0
    for path in code:
        listing = subprocess.run([args.objdump, "-d", path], check=True, capture_output=True, text=True).stdout
        function = "?"
        for line in listing.splitlines():
            if match := FUNCTION.match(line):
                function = match.group(1)
                functions += 1
                continue
            # "  1a:\td9 44 24 04 \tflds   0x4(%esp)": address, bytes, instruction
            fields = line.split("\t")
            mnemonic = fields[2].split()[0] if len(fields) >= 3 and fields[2].strip() else ""
            if mnemonic in X87_FLOAT_MOVES:
                found.append(f"{path}: {function}: {fields[2].strip()}")
    if functions == 0:
        print(f"check_x87: no functions disassembled in {len(code)} objects", file=sys.stderr)
        return 1
    for entry in found:
        print(entry)
    print(f"check_x87: {len(found)} x87 loads or stores of a 32-bit value in {functions} functions "
          f"of {len(code)} objects")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
