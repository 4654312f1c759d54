#!/usr/bin/env python3
"""Static check of a Windows program built on TrovelSdk.dll (trovelctl.exe): it imports only
system DLLs besides TrovelSdk.dll, and from TrovelSdk.dll only names the DLL exports. A
32-bit program that imports a decorated name (TrovelOpenLine@4) would not even start.

    check_program.py --objdump OBJDUMP --program trovelctl.exe --dll TrovelSdk.dll
"""

import argparse
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll", "advapi32.dll", "ws2_32.dll"}


def private_headers(objdump, path):
    return subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout


def imports(headers):
    """{DLL name: [imported names]}."""
    found, current = {}, None
    for line in headers.splitlines():
        if line.strip().startswith("DLL Name:"):
            current = found.setdefault(line.split(":", 1)[1].strip(), [])
        elif current is not None and (match := re.fullmatch(r"\s*[0-9a-f]+\s+\d+\s+(\S+)", line)):
            current.append(match.group(1))
        elif not line.strip():
            current = None
    return found


def exports(headers):
    table = headers.split("[Ordinal/Name Pointer] Table", 1)
    return set(re.findall(r"^\s*\[\s*\d+\] (\S+)$", table[1], re.M)) if len(table) == 2 else set()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--dll", required=True)
    args = parser.parse_args()

    used = imports(private_headers(args.objdump, args.program))
    offered = exports(private_headers(args.objdump, args.dll))
    failures = []
    foreign = sorted(dll for dll in used if dll.lower() not in SYSTEM_DLLS and dll != "TrovelSdk.dll")
    if foreign:
        failures.append(f"imports DLLs that are neither system DLLs nor TrovelSdk.dll: {', '.join(foreign)}")
    taken = used.get("TrovelSdk.dll", [])
    if not taken:
        failures.append("imports nothing from TrovelSdk.dll")
    missing = sorted(set(taken) - offered)
    if missing:
        failures.append(f"imports names TrovelSdk.dll does not export: {', '.join(missing)}")
    for failure in failures:
        print(f"FAIL  {args.program}: {failure}")
    if not failures:
        print(f"ok    {args.program}: imports {', '.join(sorted(used))}; {len(taken)} names from TrovelSdk.dll, "
              "each exported")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
