#!/usr/bin/env python3
"""Links ImportHost.c, which references every export, against the kit's import libraries and
reads the executable's import table: it must import exactly the .def's names, by name, from
TrovelSdk.dll. Two links per architecture:

  msvc   clang --target=<arch>-pc-windows-msvc and lld-link with its defaults (so /SAFESEH on
         x86) against TrovelSdk.lib;
  mingw  the MinGW compiler against libTrovelSdk.dll.a.

With --prefix and --sim (64-bit only) the msvc executable then runs under wine64 beside the
DLL against the simulator (wine_run.py). No C runtime and no Windows SDK: the host has its
own entry point, and kernel32's two functions come from an import library made here.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from check_dll import Failure, PeImage, read_def  # noqa: E402

KERNEL32 = {"GetEnvironmentVariableA": 12, "ExitProcess": 4}
EXIT_CODES = {10: "an export resolved to nothing", 11: "TrovelVersion differs from the header",
              12: "TROVEL_TEST_COM not set", 13: "OpenCom failed", 14: "GetMotorSpeed",
              15: "GetSerial", 16: "TrovelGetRunState on the default line",
              17: "SetMotorSpeed(-1) not refused with TROVEL_ERR_ARGUMENT", 18: "CloseCom left the port open"}


def imported_functions(image):
    """{DLL name: [function name, or '#ordinal' for an import by ordinal]}."""
    wide = image.machine == 0x8664
    size, flag = (8, 1 << 63) if wide else (4, 1 << 31)
    found = {}
    rva, _ = image.directory(1)
    while rva:
        lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", image.data, image.offset(rva))
        if not name_rva:
            break
        names = found.setdefault(image.cstring(name_rva), [])
        entry = lookup or thunks
        while True:
            value = struct.unpack_from("<Q" if wide else "<I", image.data, image.offset(entry))[0]
            if not value:
                break
            names.append(f"#{value & 0xFFFF}" if value & flag else image.cstring((value & 0x7FFFFFFF) + 2))
            entry += size
        rva += 20
    return found


def run(command, cwd):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        raise Failure(f"{' '.join(command)}\n{result.stdout}{result.stderr}")


def write_inputs(work, exports, arch, dlltool):
    with open(os.path.join(work, "ImportHostUsed.h"), "w") as used:
        used.writelines(f"TROVEL_USED({name})\n" for name in exports)
    # kernel32's two functions, decorated on i686 like the header's own declarations.
    decorated = arch == "i686"
    with open(os.path.join(work, "kernel32.def"), "w") as def_file:
        def_file.write("LIBRARY kernel32.dll\nEXPORTS\n")
        def_file.writelines(f"    {name}@{size}\n" if decorated else f"    {name}\n" for name, size in KERNEL32.items())
    run([dlltool, "-m", "i386" if decorated else "i386:x86-64", "-d", "kernel32.def", "-l", "kernel32.lib"]
        + (["-k"] if decorated else []), work)


def link_msvc(args, work):
    target = {"i686": "i686-pc-windows-msvc", "x86_64": "x86_64-pc-windows-msvc"}[args.arch]
    run([args.clang, f"--target={target}", "-std=c11", "-O1", "-ffreestanding", "-fno-builtin", "-Wall", "-Werror",
         *[f"-I{d}" for d in args.include], f"-I{work}", "-c", os.path.join(HERE, "ImportHost.c"), "-o", "host.obj"],
        work)
    # The linker's defaults otherwise: /SAFESEH on x86 refuses import members it cannot vouch for.
    run([args.lld_link, "/nologo", "/nodefaultlib", "/entry:HostEntry", "/subsystem:console", "/out:host-msvc.exe",
         "host.obj", args.msvc_lib, "kernel32.lib"], work)
    return os.path.join(work, "host-msvc.exe")


def link_mingw(args, work):
    entry = "_HostEntry" if args.arch == "i686" else "HostEntry"
    run([args.mingw_cc, "-std=c11", "-O1", "-ffreestanding", "-nostdlib", "-Wall", "-Werror",
         *[f"-I{d}" for d in args.include], f"-I{work}", os.path.join(HERE, "ImportHost.c"),
         f"-Wl,-e,{entry}", "-o", "host-mingw.exe", args.mingw_lib, "-lkernel32"], work)
    return os.path.join(work, "host-mingw.exe")


def check_imports(exe, exports, arch):
    with open(exe, "rb") as image_file:
        image = PeImage(image_file.read())
    machine = {"i686": 0x14C, "x86_64": 0x8664}[arch]
    imports = imported_functions(image)
    problems = []
    if image.machine != machine:
        problems.append(f"machine {image.machine:#x}, expected {machine:#x}")
    dlls = {name.lower(): name for name in imports}
    if dlls.get("trovelsdk.dll") != "TrovelSdk.dll":
        problems.append(f"imports from {sorted(imports)}, expected TrovelSdk.dll")
    names = imports.get(dlls.get("trovelsdk.dll"), [])
    missing = sorted(set(exports) - set(names))
    extra = sorted(set(names) - set(exports))
    repeated = sorted({name for name in names if names.count(name) > 1})
    for what, found in (("not imported", missing), ("imported beyond the .def (decorated or by ordinal)", extra),
                        ("imported twice", repeated)):
        if found:
            problems.append(f"{what}: {', '.join(found[:8])}{' ...' if len(found) > 8 else ''}")
    others = sorted(set(dlls) - {"trovelsdk.dll", "kernel32.dll"})
    if others:
        problems.append(f"imports from other DLLs: {others}")
    return problems


def run_under_wine(args, exe, work):
    folder = os.path.join(work, "run")
    os.makedirs(folder, exist_ok=True)
    shutil.copy(args.dll, folder)
    shutil.copy(exe, folder)
    result = subprocess.run([sys.executable, os.path.join(HERE, "wine_run.py"), "--prefix", args.prefix,
                             "--partner", f"{args.sim} --link {{link}}", "--log", os.path.join(work, "line.log"),
                             "--", os.path.join(folder, os.path.basename(exe))], capture_output=True, text=True)
    if result.returncode == 0:
        return []
    code = re.search(r"exit status (\d+)", result.stderr)
    reason = EXIT_CODES.get(int(code.group(1)), "") if code else ""
    return [f"under wine64: {reason or 'failed'}\n{result.stdout}{result.stderr}"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True, choices=("i686", "x86_64"))
    parser.add_argument("--def", dest="def_file", required=True)
    parser.add_argument("--include", action="append", required=True, help="header folders")
    parser.add_argument("--msvc-lib", required=True)
    parser.add_argument("--mingw-lib", required=True)
    parser.add_argument("--clang", default="clang")
    parser.add_argument("--lld-link", default="lld-link")
    parser.add_argument("--llvm-dlltool", default="llvm-dlltool")
    parser.add_argument("--mingw-cc", required=True)
    parser.add_argument("--work", required=True, help="folder for the objects and executables")
    parser.add_argument("--dll", help="TrovelSdk.dll, to run the msvc host beside (x86_64)")
    parser.add_argument("--prefix", help="wine prefix")
    parser.add_argument("--sim", help="trovel-sim")
    args = parser.parse_args()
    # The tools run in the work folder.
    args.include = [os.path.abspath(d) for d in args.include]
    args.msvc_lib, args.mingw_lib = os.path.abspath(args.msvc_lib), os.path.abspath(args.mingw_lib)

    _, exports = read_def(args.def_file)
    os.makedirs(args.work, exist_ok=True)
    failures = 0
    try:
        write_inputs(args.work, exports, args.arch, args.llvm_dlltool)
    except (Failure, OSError) as error:
        print(f"check_import_libs: {error}", file=sys.stderr)
        return 2
    for kind, link in (("msvc", link_msvc), ("mingw", link_mingw)):
        try:
            exe = link(args, args.work)
            problems = check_imports(exe, exports, args.arch)
            if not problems and kind == "msvc" and args.prefix:
                problems = run_under_wine(args, exe, args.work)
        except (Failure, OSError, struct.error, ValueError) as error:
            problems = [str(error)]
        failures += bool(problems)
        print(f"{'FAIL' if problems else 'ok  '}  {args.arch} {kind}: {len(exports)} exports imported by name "
              f"from TrovelSdk.dll" + (" and run against the simulator" if kind == "msvc" and args.prefix else ""))
        for problem in problems:
            print(f"        {problem}")
    print(f"{2 - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
