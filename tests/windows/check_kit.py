#!/usr/bin/env python3
"""Checks the Windows user's kit that scripts/package-windows made:

  - its name carries the version of both DLLs' version resources, which is the project's;
  - its listing is exactly the expected one: per architecture the DLL, both import libraries
    and each program the build made (kit-files.txt), each binary with NAME.debug; the
    headers, the C# binding, docs and examples as tracked in git; the README;
  - x86/ holds 32-bit code and x64/ 64-bit (DLL, programs and import libraries);
  - each binary is stripped and its debug link names the .debug beside it, by CRC too.

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

# folder, PE machine, what a 32-bit stdcall import library defines and a 64-bit one must not
FOLDERS = (("x86", 0x14C, True), ("x64", 0x8664, False))
IMPORT_LIBRARIES = ("TrovelSdk.lib", "libTrovelSdk.dll.a")
DECORATED = b"_GetMotorSpeed@8"
SHIPPED_SOURCES = ("include", "bindings/dotnet", "docs", "examples")
NOT_SHIPPED = re.compile(r"(^|/)CMakeLists\.txt$|\.in$")


def project_version(source):
    with open(os.path.join(source, "CMakeLists.txt")) as cmake:
        return re.search(r"project\(TrovelSdk VERSION (\d+\.\d+\.\d+)", cmake.read()).group(1) + ".0"


def tracked(source, folder):
    """Files under folder as git tracks them; the tree as it is when there is no git."""
    try:
        listing = subprocess.run(["git", "-C", source, "ls-files", "--", folder], check=True,
                                 capture_output=True, text=True).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        listing = [os.path.relpath(os.path.join(d, n), source).replace(os.sep, "/")
                   for d, _, names in os.walk(os.path.join(source, folder)) for n in names]
    return {path for path in listing if not NOT_SHIPPED.search(path)}


def programs(build):
    with open(os.path.join(build, "kit-files.txt")) as lines:
        return sorted(os.path.basename(line.strip()) for line in lines if line.strip().endswith(".exe"))


def sections(data):
    """{name: bytes} of a PE file; long names resolved through the COFF string table."""
    coff = struct.unpack_from("<I", data, 0x3C)[0] + 4
    _, count, _, symbols, symbol_count, optional_size, _ = struct.unpack_from("<HHIIIHH", data, coff)
    strings = symbols + 18 * symbol_count
    found = {}
    for i in range(count):
        raw_name, used, _, size, offset = struct.unpack_from("<8sIIII", data, coff + 20 + optional_size + 40 * i)
        name = raw_name.rstrip(b"\0").decode()
        if name.startswith("/"):
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode()
        found[name] = data[offset:offset + min(used or size, size)]  # not the file alignment's padding
    return found


def file_version(image):
    (_, fixed, _, _), = version_blocks(image.resources()[(RT_VERSION, VERSION_RESOURCE_ID)])
    ms, ls = struct.unpack_from("<II", fixed, 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def check(args):
    results = []

    def expect(what, problem):
        results.append((what, problem))

    built = {folder: programs(getattr(args, folder)) for folder, _, _ in FOLDERS}
    name = os.path.basename(args.zip)
    top = name[:-len(".zip")]
    with zipfile.ZipFile(args.zip) as kit:
        entries = {entry[len(top) + 1:]: entry for entry in kit.namelist() if not entry.endswith("/")}
        read = lambda path: kit.read(entries[path])  # noqa: E731

        expected = {"README.md"}
        for folder, _, _ in FOLDERS:
            for binary in ["TrovelSdk.dll", *built[folder]]:
                expected |= {f"{folder}/{binary}", f"{folder}/{binary}.debug"}
            expected |= {f"{folder}/{library}" for library in IMPORT_LIBRARIES}
        expected.add("include/TrovelSdkVersion.h")
        for folder in SHIPPED_SOURCES:
            expected |= tracked(args.source, folder)
        stray = sorted(entry for entry in kit.namelist() if not entry.startswith(top + "/"))
        missing, extra = sorted(expected - set(entries)), sorted(set(entries) - expected)
        expect(f"{len(expected)} files under {top}/, programs {built['x64'] or 'none'}",
               (f"missing {missing} " if missing else "") + (f"not expected {extra} " if extra else "")
               + (f"outside {top}/: {stray}" if stray else ""))

        version = project_version(args.source)
        found = {}
        for folder, _, _ in FOLDERS:
            if f"{folder}/TrovelSdk.dll" in entries:
                found[folder] = file_version(PeImage(read(f"{folder}/TrovelSdk.dll")))
        expect(f"name TrovelSdk-{version}-windows.zip, both DLLs {version}",
               "" if name == f"TrovelSdk-{version}-windows.zip" and set(found.values()) == {version}
               else f"name {name}, DLL versions {found}")

        for folder, machine, stdcall in FOLDERS:
            for binary in ["TrovelSdk.dll", *built[folder]]:
                path = f"{folder}/{binary}"
                if path not in entries or path + ".debug" not in entries:
                    continue
                data, debug = read(path), read(path + ".debug")
                own = sections(data)
                link = own.get(".gnu_debuglink", b"")
                linked = link[:link.find(b"\0")].decode() if link else None
                crc = struct.unpack_from("<I", link, len(link) - 4)[0] if len(link) >= 8 else None
                problems = [f"machine {PeImage(data).machine:#x}"] if PeImage(data).machine != machine else []
                problems += [f"still has {s}" for s in sorted(own) if s.startswith(".debug_")]
                if linked != binary + ".debug" or crc != zlib.crc32(debug):
                    problems.append(f"debug link {linked!r} (CRC {crc}) does not name the .debug beside it")
                if ".debug_info" not in sections(debug):
                    problems.append(".debug has no .debug_info")
                expect(f"{path}: {'32' if stdcall else '64'}-bit, stripped, {binary}.debug beside it",
                       "; ".join(problems))
            for library in IMPORT_LIBRARIES:
                path = f"{folder}/{library}"
                if path in entries:
                    data = read(path)
                    right = data.startswith(b"!<arch>\n") and b"TrovelSdk.dll" in data and (DECORATED in data) == stdcall
                    expect(f"{path}: an archive for TrovelSdk.dll, {'with' if stdcall else 'without'} "
                           f"{DECORATED.decode()}", "" if right else "wrong contents or architecture")

        if "README.md" in entries:
            text = read("README.md").decode()
            mentions = "trovelctl.exe" in text
            expect(f"README for {version}, trovelctl.exe {'described' if built['x64'] else 'not mentioned'}",
                   "" if f"TrovelSdk {version} for Windows" in text and mentions == bool(built["x64"])
                   else "version or trovelctl.exe paragraph wrong")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zip", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--x86", required=True, help="the mingw-i686 build tree")
    parser.add_argument("--x64", required=True, help="the mingw-x86_64 build tree")
    args = parser.parse_args()
    try:
        results = check(args)
    except (OSError, KeyError, ValueError, struct.error, zipfile.BadZipFile) as error:
        print(f"check_kit: {error}", file=sys.stderr)
        return 2
    for what, problem in results:
        print(f"{'FAIL' if problem else 'ok  '}  {what}" + (f": {problem}" if problem else ""))
    failed = sum(1 for _, problem in results if problem)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
