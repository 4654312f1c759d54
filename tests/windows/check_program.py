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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--objdump", "--program", "--dll"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    headers = {path: subprocess.run([args.objdump, "-p", path], capture_output=True, text=True, check=True).stdout
               for path in (args.program, args.dll)}
    used, current = {}, None  # DLL name: the names imported from it
    for line in headers[args.program].splitlines():
        if line.strip().startswith("DLL Name:"):
            current = used.setdefault(line.split(":", 1)[1].strip(), [])
        elif current is not None and (match := re.fullmatch(r"\s*[0-9a-f]+\s+\d+\s+(\S+)", line)):
            current.append(match.group(1))
        elif not line.strip():
            current = None
    table = headers[args.dll].partition("[Ordinal/Name Pointer] Table")[2]
    offered = set(re.findall(r"^\s*\[\s*\d+\] (\S+)$", table, re.M))

    taken = used.get("TrovelSdk.dll", [])
    failures = [f"imports {dll}, neither a system DLL nor TrovelSdk.dll" for dll in sorted(used)
                if dll.lower() not in SYSTEM_DLLS and dll != "TrovelSdk.dll"]
    failures += [] if taken else ["imports nothing from TrovelSdk.dll"]
    failures += [f"imports {name}, which TrovelSdk.dll does not export" for name in sorted(set(taken) - offered)]
    for failure in failures:
        print(f"FAIL  {args.program}: {failure}")
    if not failures:
        print(f"ok    {args.program}: imports {', '.join(sorted(used))}; {len(taken)} names from TrovelSdk.dll, "
              "each exported")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
