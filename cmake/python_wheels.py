#!/usr/bin/env python3
"""Builds the trovelsdk wheels (scripts/package), each the package of bindings/python with
one native library inside, where the package's loader looks first:

    trovelsdk-V-py3-none-manylinux_2_NN_x86_64.whl   trovelsdk/libtrovelsdk.so.1
    trovelsdk-V-py3-none-win32.whl                   trovelsdk/TrovelSdk.dll (32-bit)
    trovelsdk-V-py3-none-win_amd64.whl               trovelsdk/TrovelSdk.dll (64-bit)
    trovelsdk-V-py3-none-any.whl                     none: it uses the installed library

The version is the project's (CMakeLists.txt); the package's own copies must agree with it.
The Linux tag names the newest glibc the library needs, never older than 2.28, so pip
does not install it where it cannot load.

    python_wheels.py --version V --source DIR --linux SO --win32 DLL --win-amd64 DLL --out DIR
"""

import argparse
import base64
import hashlib
import os
import re
import subprocess
import sys
import zipfile

NAME = "trovelsdk"
STAMP = (2020, 1, 1, 0, 0, 0)
OLDEST_GLIBC = (2, 28)


def fail(message):
    sys.exit(f"python_wheels: {message}")


def glibc_needed(library):
    """The newest GLIBC_2.N symbol version the library references."""
    symbols = subprocess.run(["objdump", "-T", library], check=True, capture_output=True, text=True).stdout
    versions = {tuple(int(part) for part in found.split(".")) for found in re.findall(r"GLIBC_(\d+\.\d+)", symbols)}
    return max(versions | {OLDEST_GLIBC})


def check_versions(source, version):
    package = os.path.join(source, "bindings", "python")
    copies = {
        "bindings/python/pyproject.toml": (os.path.join(package, "pyproject.toml"), r'^version = "([^"]+)"'),
        "bindings/python/trovelsdk/__init__.py": (os.path.join(package, NAME, "__init__.py"),
                                                   r'^__version__ = "([^"]+)"'),
    }
    for label, (path, pattern) in copies.items():
        with open(path) as text:
            found = re.search(pattern, text.read(), re.M)
        if not found or found.group(1) != version:
            fail(f"{label} says {found.group(1) if found else 'no version'}, the project {version}: make them agree")


def metadata(source, version):
    with open(os.path.join(source, "bindings", "python", "README.md")) as readme:
        description = readme.read()
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {version}\n"
            "Summary: Python interface of TrovelSdk: sliding-screen controllers over Modbus RTU\n"
            "License: Proprietary (LICENSE.txt)\nRequires-Python: >=3.9\n"
            "Classifier: Programming Language :: Python :: 3\n"
            "Classifier: Operating System :: POSIX :: Linux\n"
            "Classifier: Operating System :: Microsoft :: Windows\n"
            "Classifier: License :: Other/Proprietary License\n"
            "Classifier: Typing :: Typed\n"
            "Description-Content-Type: text/markdown\n\n" + description)


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def wheel(out, source, version, tag, native):
    """native: (name inside the package, path) or None for the pure wheel."""
    package = os.path.join(source, "bindings", "python", NAME)
    files = {}
    for name in sorted(os.listdir(package)):
        if name.endswith(".py") or name == "py.typed":
            with open(os.path.join(package, name), "rb") as content:
                files[f"{NAME}/{name}"] = content.read()
    if native:
        with open(native[1], "rb") as content:
            files[f"{NAME}/{native[0]}"] = content.read()
    info = f"{NAME}-{version}.dist-info"
    with open(os.path.join(source, "packaging", "LICENSE.txt"), "rb") as content:
        files[f"{info}/LICENSE.txt"] = content.read()
    files[f"{info}/METADATA"] = metadata(source, version).encode()
    purelib = "true" if native is None else "false"
    files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: trovelsdk scripts/package\n"
                              f"Root-Is-Purelib: {purelib}\nTag: {tag}\n").encode()
    files[f"{info}/top_level.txt"] = f"{NAME}\n".encode()
    record = "".join(record_line(name, data) + "\n" for name, data in files.items()) + f"{info}/RECORD,,\n"
    files[f"{info}/RECORD"] = record.encode()

    target = os.path.join(out, f"{NAME}-{version}-{tag}.whl")
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, STAMP)
            # The library keeps its execute bit: ctypes needs none, but a copied tree stays usable.
            entry.external_attr = (0o755 if name.endswith((".so.1", ".dll")) else 0o644) << 16
            archive.writestr(entry, data, zipfile.ZIP_DEFLATED)
    print(target)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--version", "--source", "--linux", "--win32", "--win-amd64", "--out"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    check_versions(args.source, args.version)
    os.makedirs(args.out, exist_ok=True)
    major, minor = glibc_needed(args.linux)
    wheel(args.out, args.source, args.version, f"py3-none-manylinux_{major}_{minor}_x86_64",
          ("libtrovelsdk.so.1", args.linux))
    wheel(args.out, args.source, args.version, "py3-none-win32", ("TrovelSdk.dll", args.win32))
    wheel(args.out, args.source, args.version, "py3-none-win_amd64", ("TrovelSdk.dll", args.win_amd64))
    wheel(args.out, args.source, args.version, "py3-none-any", None)


if __name__ == "__main__":
    main()
