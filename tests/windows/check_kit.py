#!/usr/bin/env python3
"""Checks the Windows user's zip that scripts/package-windows made:

  - its name carries the project's version, which both DLLs' version resources hold;
  - its listing is exactly the expected one: per architecture the DLL, both import libraries
    and each program of the build's kit-files.txt, each binary with NAME.debug; the headers,
    C# binding, docs and examples as git tracks them; the README;
  - each binary is of its folder's architecture, stripped, and its debug link names the
    .debug beside it, CRC included.

    check_kit.py --zip ZIP --source DIR --x86 BUILD --x64 BUILD
"""

import argparse
import os
import re
import struct
import subprocess
import sys
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_dll import RT_VERSION, VERSION_RESOURCE_ID, PeImage, version_blocks  # noqa: E402

FOLDERS = {"x86": 0x14C, "x64": 0x8664}
SOURCES = ("include", "bindings/dotnet", "docs", "examples")
NOT_SHIPPED = re.compile(r"(^|/)CMakeLists\.txt$|\.in$")


def sections(data):
    """{name: contents} of a PE file; long names come from the COFF string table."""
    coff = struct.unpack_from("<I", data, 0x3C)[0] + 4
    _, count, _, symbols, symbol_count, optional_size, _ = struct.unpack_from("<HHIIIHH", data, coff)
    found = {}
    for i in range(count):
        name, used, _, size, offset = struct.unpack_from("<8sIIII", data, coff + 20 + optional_size + 40 * i)
        name = name.rstrip(b"\0").decode()
        if name.startswith("/"):
            start = symbols + 18 * symbol_count + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode()
        found[name] = data[offset:offset + min(used or size, size)]  # not the file alignment's padding
    return found


def check(args):
    with open(os.path.join(args.source, "CMakeLists.txt")) as cmake:
        version = re.search(r"project\(TrovelSdk VERSION ([\d.]+)", cmake.read()).group(1) + ".0"
    built = {}
    for folder in FOLDERS:
        with open(os.path.join(getattr(args, folder), "kit-files.txt")) as lines:
            built[folder] = ["TrovelSdk.dll"] + sorted(os.path.basename(p.strip()) for p in lines if p.strip().endswith(".exe"))
    tracked = subprocess.run(["git", "-C", args.source, "ls-files", "--", *SOURCES], check=True,
                             capture_output=True, text=True).stdout.split()

    expected = {"README.md", "include/TrovelSdkVersion.h"} | {p for p in tracked if not NOT_SHIPPED.search(p)}
    for folder, binaries in built.items():
        expected |= {f"{folder}/{name}" for binary in binaries for name in (binary, binary + ".debug")}
        expected |= {f"{folder}/TrovelSdk.lib", f"{folder}/libTrovelSdk.dll.a"}
    top = f"TrovelSdk-{version}-windows"
    results = []
    with zipfile.ZipFile(args.zip) as kit:
        listing = set(kit.namelist())
        prefixed = {f"{top}/{path}" for path in expected}
        results.append((f"{os.path.basename(args.zip)} holds {len(expected)} files under {top}/, programs "
                        f"{built['x64'][1:] or 'none'}", os.path.basename(args.zip) == top + ".zip" and listing == prefixed,
                        f"missing {sorted(prefixed - listing)}, not expected {sorted(listing - prefixed)}"))
        read = lambda path: kit.read(f"{top}/{path}")  # noqa: E731
        for folder, machine in FOLDERS.items():
            if f"{top}/{folder}/TrovelSdk.dll" not in listing:
                continue
            (_, fixed, _, _), = version_blocks(PeImage(read(f"{folder}/TrovelSdk.dll")).resources()[(RT_VERSION, VERSION_RESOURCE_ID)])
            ms, ls = struct.unpack_from("<II", fixed, 8)
            found = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
            results.append((f"{folder}/TrovelSdk.dll version {version}", found == version, found))
            for binary in built[folder]:
                if f"{top}/{folder}/{binary}.debug" not in listing or f"{top}/{folder}/{binary}" not in listing:
                    continue  # the listing's check says so
                data, debug = read(f"{folder}/{binary}"), read(f"{folder}/{binary}.debug")
                own, link = sections(data), sections(data).get(".gnu_debuglink", b"\0\0\0\0")
                shown = [f"machine {PeImage(data).machine:#x}", f"debug sections {[s for s in own if s.startswith('.debug_')]}",
                         f"debug link {link[:link.index(0)]}", f".debug sections {sorted(sections(debug))}"]
                right = (PeImage(data).machine == machine and not any(s.startswith(".debug_") for s in own)
                         and link[:link.index(0)].decode() == binary + ".debug"
                         and struct.unpack_from("<I", link, len(link) - 4)[0] == zlib.crc32(debug)
                         and ".debug_info" in sections(debug))
                results.append((f"{folder}/{binary}: its machine, stripped, linked to {binary}.debug by CRC", right,
                                ", ".join(shown)))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--zip", "--source", "--x86", "--x64"):
        parser.add_argument(option, required=True)
    try:
        results = check(parser.parse_args())
    except (OSError, KeyError, ValueError, struct.error, zipfile.BadZipFile, subprocess.CalledProcessError) as error:
        print(f"check_kit: {error!r}", file=sys.stderr)
        return 2
    for what, right, found in results:
        print(f"{'ok  ' if right else 'FAIL'}  {what}" + ("" if right else f" ({found})"))
    failed = sum(not right for _, right, _ in results)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
