#!/usr/bin/env python3
"""Packs the Windows user's kit from the two MinGW builds (scripts/package-windows):

    TrovelSdk-<version>-windows.zip
      TrovelSdk-<version>-windows/
        README.md            packaging/windows/README.md, for this version and these programs
        x86/, x64/           each build's kit-files.txt: the DLL, its import libraries and the
                             programs built; binaries stripped, NAME.debug beside each
        include/             the public headers, TrovelSdkVersion.h as generated from its .in
        bindings/dotnet/, docs/, examples/   from the source tree (build files left out)

The version is the DLL's file version (its version resource); both DLLs must agree.

    windows_kit.py --source DIR --x86 BUILD --x64 BUILD --out DIR
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

ARCHES = (("x86", "i686"), ("x64", "x86_64"))
SOURCE_FOLDERS = ("include", "bindings/dotnet", "docs", "examples")
LEFT_OUT = re.compile(r"(^|/)(CMakeLists\.txt|__pycache__/.*|.*\.pyc|.*\.swp|.*~|.*\.in)$")
FIXED_FILE_INFO = b"\xbd\x04\xef\xfe"  # VS_FIXEDFILEINFO's signature, little-endian


class Failure(Exception):
    pass


def file_version(path):
    with open(path, "rb") as binary:
        data = binary.read()
    at = data.find(FIXED_FILE_INFO)
    if at < 0:
        raise Failure(f"{path} has no version resource")
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def kit_files(build):
    listing = os.path.join(build, "kit-files.txt")
    if not os.path.exists(listing):
        raise Failure(f"{listing} is missing: configure and build {build} first")
    with open(listing) as lines:
        files = [line.strip() for line in lines if line.strip()]
    missing = [path for path in files if not os.path.exists(path)]
    if missing:
        raise Failure(f"not built: {', '.join(missing)}")
    return files


def has_debug_link(path, objdump):
    sections = subprocess.run([objdump, "-h", path], check=True, capture_output=True, text=True).stdout
    return ".gnu_debuglink" in sections


def stage_binary(path, folder, arch):
    """Copies a DLL or program stripped, with NAME.debug beside it: as the build left them
    when it split them already, else split here with the toolchain's objcopy and strip."""
    tools = f"{arch}-w64-mingw32-"
    name = os.path.basename(path)
    staged = os.path.join(folder, name)
    if has_debug_link(path, tools + "objdump") and os.path.exists(path + ".debug"):
        shutil.copy2(path, staged)
        shutil.copy2(path + ".debug", staged + ".debug")
        return
    shutil.copy2(path, staged)
    for command in ([tools + "objcopy", "--only-keep-debug", name, name + ".debug"],
                    [tools + "strip", "--strip-all", name],
                    [tools + "objcopy", f"--add-gnu-debuglink={name}.debug", name]):
        subprocess.run(command, cwd=folder, check=True)


def source_files(source, folder):
    root = os.path.join(source, folder)
    for directory, _, names in os.walk(root):
        for name in names:
            relative = os.path.relpath(os.path.join(directory, name), source).replace(os.sep, "/")
            if not LEFT_OUT.search(relative):
                yield relative


def readme(source, version, programs):
    with open(os.path.join(source, "packaging", "windows", "README.md"), encoding="utf-8") as template:
        text = template.read().replace("@VERSION@", version)
    # The parts about the programs stay only when the kit has them.
    return re.sub(r"<!-- programs -->\n?(.*?)<!-- end programs -->\n?",
                  lambda match: match.group(1) if programs else "", text, flags=re.S)


def pack(args):
    versions = {}
    programs = {}
    with tempfile.TemporaryDirectory() as staging:
        for folder, arch in ARCHES:
            build = getattr(args, folder)
            target = os.path.join(staging, folder)
            os.makedirs(target)
            for path in kit_files(build):
                if path.endswith((".dll", ".exe")):
                    stage_binary(path, target, arch)
                else:
                    shutil.copy2(path, target)
                if path.endswith(".exe"):
                    programs.setdefault(folder, []).append(os.path.basename(path))
                if os.path.basename(path) == "TrovelSdk.dll":
                    versions[folder] = file_version(path)
        if len(set(versions.values())) != 1:
            raise Failure(f"the DLLs' versions differ: {versions}")
        if programs.get("x86") != programs.get("x64"):
            raise Failure(f"the builds made different programs: {programs}")
        version = versions["x64"]

        top = f"TrovelSdk-{version}-windows"
        entries = {}
        for folder, _ in ARCHES:
            for name in os.listdir(os.path.join(staging, folder)):
                entries[f"{folder}/{name}"] = os.path.join(staging, folder, name)
        entries["include/TrovelSdkVersion.h"] = os.path.join(args.x64, "include", "TrovelSdkVersion.h")
        for folder in SOURCE_FOLDERS:
            for relative in source_files(args.source, folder):
                entries[relative] = os.path.join(args.source, relative)

        os.makedirs(args.out, exist_ok=True)
        zip_path = os.path.join(args.out, f"{top}.zip")
        with zipfile.ZipFile(zip_path + ".part", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as kit:
            kit.writestr(f"{top}/README.md", readme(args.source, version, programs.get("x64")))
            for name in sorted(entries):
                kit.write(entries[name], f"{top}/{name}")
        os.replace(zip_path + ".part", zip_path)
    return zip_path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--x86", required=True, help="the mingw-i686 build tree")
    parser.add_argument("--x64", required=True, help="the mingw-x86_64 build tree")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    try:
        print(pack(args))
    except (Failure, OSError, subprocess.CalledProcessError) as error:
        print(f"package-windows: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
