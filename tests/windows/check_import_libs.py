#!/usr/bin/env python3
"""Links ImportHost.c, which references every export, against a build's import libraries
(BUILD/importlib) and checks that the executable imports exactly the .def's names, by name,
from TrovelSdk.dll:

  msvc   clang for <arch>-pc-windows-msvc, lld-link with its defaults (/SAFESEH on x86),
         against TrovelSdk.lib; with --prefix and --sim it then runs under wine64 beside the
         DLL against the simulator, its exit code naming the step that failed (ImportHost.c);
  mingw  the MinGW compiler against libTrovelSdk.dll.a.

No Windows SDK here: kernel32's two functions come from an import library made from a .def.

    check_import_libs.py --arch ARCH --source DIR --build DIR --mingw-cc CC [--prefix P --sim SIM]
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from check_dll import PeImage, read_def  # noqa: E402


def run(command, cwd):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)}: exit status {result.returncode}\n{result.stdout}{result.stderr}")


def imported(image):
    """{DLL name: [function name, or '#ordinal']} from the import directory."""
    wide = image.machine == 0x8664
    found = {}
    rva, _ = image.directory(1)
    while struct.unpack_from("<I", image.data, image.offset(rva) + 12)[0]:
        lookup, _, _, name, thunks = struct.unpack_from("<IIIII", image.data, image.offset(rva))
        entry, names = lookup or thunks, found.setdefault(image.cstring(name), [])
        while value := struct.unpack_from("<Q" if wide else "<I", image.data, image.offset(entry))[0]:
            by_ordinal = value >> (63 if wide else 31)
            names.append(f"#{value & 0xFFFF}" if by_ordinal else image.cstring((value & 0x7FFFFFFF) + 2))
            entry += 8 if wide else 4
        rva += 20
    return found


def problems_of(exe, exports, machine):
    with open(exe, "rb") as image:
        image = PeImage(image.read())
    imports = imported(image)
    names = imports.get("TrovelSdk.dll", [])
    problems = [f"machine {image.machine:#x}"] if image.machine != machine else []
    for what, found in (("not imported", set(exports) - set(names)), ("imported beyond the .def", set(names) - set(exports)),
                        ("other DLLs", {n.lower() for n in imports} - {"trovelsdk.dll", "kernel32.dll"})):
        if found:
            problems.append(f"{what}: {', '.join(sorted(found)[:8])}")
    return problems + (["a name imported twice"] if len(names) != len(set(names)) else [])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--arch", "--source", "--build", "--mingw-cc"):
        parser.add_argument(option, required=True)
    for option, default in (("--clang", "clang"), ("--lld-link", "lld-link"), ("--llvm-dlltool", "llvm-dlltool"),
                            ("--prefix", None), ("--sim", None)):
        parser.add_argument(option, default=default)
    args = parser.parse_args()
    x86 = args.arch == "i686"
    build, work = os.path.abspath(args.build), os.path.join(os.path.abspath(args.build), "tests", "windows", "import-host")
    libs = os.path.join(build, "importlib")
    includes = [f"-I{d}" for d in (os.path.join(args.source, "include"), os.path.join(build, "include"), work)]
    host = os.path.join(HERE, "ImportHost.c")
    _, exports = read_def(os.path.join(args.source, "src", "api", "TrovelSdk.def"))

    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, "ImportHostUsed.h"), "w") as used:
        used.writelines(f"TROVEL_USED({name})\n" for name in exports)
    with open(os.path.join(work, "kernel32.def"), "w") as kernel32:
        kernel32.write("LIBRARY kernel32.dll\nEXPORTS\n" + ("GetEnvironmentVariableA@12\nExitProcess@4\n" if x86 else
                                                          "GetEnvironmentVariableA\nExitProcess\n"))
    links = {
        "msvc": [[args.clang, f"--target={args.arch}-pc-windows-msvc", "-std=c11", "-O1", "-ffreestanding", "-fno-builtin",
                  "-Wall", "-Werror", *includes, "-c", host, "-o", "host.obj"],
                 [args.llvm_dlltool, "-m", "i386" if x86 else "i386:x86-64", "-d", "kernel32.def", "-l", "kernel32.lib"]
                 + (["-k"] if x86 else []),
                 [args.lld_link, "/nologo", "/nodefaultlib", "/entry:HostEntry", "/subsystem:console",
                  "/out:host-msvc.exe", "host.obj", os.path.join(libs, "TrovelSdk.lib"), "kernel32.lib"]],
        "mingw": [[args.mingw_cc, "-std=c11", "-O1", "-ffreestanding", "-nostdlib", "-Wall", "-Werror", *includes, host,
                   f"-Wl,-e,{'_' if x86 else ''}HostEntry", "-o", "host-mingw.exe",
                   os.path.join(libs, "libTrovelSdk.dll.a"), "-lkernel32"]],
    }
    failed = 0
    for kind, commands in links.items():
        exe = os.path.join(work, f"host-{kind}.exe")
        ran = " and ran against the simulator" if kind == "msvc" and args.prefix else ""
        try:
            for command in commands:
                run(command, work)
            problems = problems_of(exe, exports, 0x14C if x86 else 0x8664)
            if ran and not problems:
                shutil.copy(os.path.join(build, "src", "TrovelSdk.dll"), work)  # a host finds it beside itself
                run([sys.executable, os.path.join(HERE, "wine_run.py"), "--prefix", args.prefix, "--partner",
                     f"{args.sim} --link {{link}}", "--log", os.path.join(work, "line.log"), "--", exe], work)
        except (RuntimeError, OSError, struct.error, ValueError) as error:
            problems = [str(error)]
        failed += bool(problems)
        print(f"{'FAIL' if problems else 'ok  '}  {args.arch} {kind}: {len(exports)} exports imported by name{ran}")
        for problem in problems:
            print(f"        {problem}")
    print(f"{len(links) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
