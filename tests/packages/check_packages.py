#!/usr/bin/python3
"""Checks what scripts/package made, as each ecosystem's user gets it (Debian's interpreter:
pefile). Prints one line per check and "packages: N passed, N failed".

    check_packages.py --packages DIR --source DIR --sim TROVEL-SIM --version V [--gateway]
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
I386, AMD64 = 0x14C, 0x8664
results = []


def check(name, ok, detail=""):
    results.append(ok)
    print(("ok    " if ok else "FAIL  ") + name + ("" if ok else f": {detail}"))


def machine(data):
    return pefile.PE(data=data, fast_load=True).FILE_HEADER.Machine


def is_elf_x86_64(data):
    return data[:5] == b"\x7fELF\x02" and int.from_bytes(data[18:20], "little") == 62


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)


def clean_env():
    """No library but the package's own: no search path, no chosen library."""
    env = dict(os.environ)
    for name in ("LD_LIBRARY_PATH", "TROVELSDK_LIBRARY", "MONO_PATH", "PYTHONPATH"):
        env.pop(name, None)
    return env


def run_example(args, command, cwd=None):
    """The host example drives controller 2 of a fresh simulator to its limit."""
    return run([sys.executable, os.path.join(args.source, "tests", "cli", "run_example.py"), "--sim", args.sim,
                "--", *command], env=clean_env(), cwd=cwd)


def nuget(args, work):
    path = os.path.join(args.packages, f"TrovelSdk.{args.version}.nupkg")
    package = zipfile.ZipFile(path)
    names = set(package.namelist())
    expected = {f"lib/{f}/TrovelSdk.Net.{e}" for f in ("net462", "netstandard2.0") for e in ("dll", "xml", "dll.config")}
    expected |= {"runtimes/win-x86/native/TrovelSdk.dll", "runtimes/win-x64/native/TrovelSdk.dll",
                 "runtimes/linux-x64/native/libtrovelsdk.so", "buildTransitive/net462/TrovelSdk.targets",
                 "build/net462/TrovelSdk.targets", "TrovelSdk.nuspec", "README.md", "LICENSE.txt"}
    check("nuget: the layout", expected <= names, f"missing {sorted(expected - names)}")
    # Swapped DLLs load nowhere: each must be of its folder's machine.
    for name, want in (("runtimes/win-x86/native/TrovelSdk.dll", I386), ("runtimes/win-x64/native/TrovelSdk.dll", AMD64)):
        got = machine(package.read(name))
        check(f"nuget: {name} is machine {want:#x}", got == want, f"machine {got:#x}")
    check("nuget: the Linux library is x86-64 ELF", is_elf_x86_64(package.read("runtimes/linux-x64/native/libtrovelsdk.so")))
    # A netstandard2.0 assembly still bound to mscorlib fails on .NET Core's strict loaders.
    standard = package.read("lib/netstandard2.0/TrovelSdk.Net.dll")
    check("nuget: netstandard2.0 references netstandard, not mscorlib",
          b"netstandard\0" in standard and b"mscorlib\0" not in standard)
    nuspec = package.read("TrovelSdk.nuspec").decode()
    fields = {tag: re.search(rf"<{tag}\b[^>]*>([^<]*)</{tag}>|<{tag}\b[^>]*/>", nuspec) for tag in
              ("id", "version", "authors", "description", "license", "repository", "tags", "readme")}
    check("nuspec: every field", all(fields.values()), f"missing {[t for t, m in fields.items() if not m]}")
    check("nuspec: version is the project's", fields["version"] and fields["version"].group(1) == args.version)

    # A C# program built against the package's binding runs under mono with the native library
    # of runtimes/linux-x64/native only, laid out as a build's output folder has it; the
    # netstandard2.0 one catches a retargeting that broke the assembly.
    unpacked = os.path.join(work, "nupkg")
    package.extractall(unpacked)
    framework_projects(args, unpacked, work)
    for framework, references in (("net462", []), ("netstandard2.0", ["-r:/usr/lib/mono/4.5/Facades/netstandard.dll"])):
        app = os.path.join(work, f"app-{framework}")
        shutil.copytree(os.path.join(unpacked, "lib", framework), app)
        shutil.copytree(os.path.join(unpacked, "runtimes"), os.path.join(app, "runtimes"))
        host = os.path.join(app, "TrovelHost.exe")
        built = run(["mcs", "-nologo", *references, f"-r:{app}/TrovelSdk.Net.dll", f"-out:{host}",
                     os.path.join(args.source, "examples", "dotnet", "Host.cs")])
        check(f"nuget: a C# host compiles against lib/{framework}", built.returncode == 0, built.stdout + built.stderr)
        if built.returncode == 0:
            ran = run_example(args, ["mono", host, "{device}", "2"], cwd=work)
            check(f"nuget: lib/{framework} under mono with runtimes/linux-x64/native, against the simulator",
                  ran.returncode == 0, ran.stdout[-1500:] + ran.stderr[-1500:])


PROJECT = """<Project ToolsVersion="4.0" DefaultTargets="Build" xmlns="http://schemas.microsoft.com/developer/msbuild/2003">
  <PropertyGroup><OutputType>Exe</OutputType><TargetFrameworkVersion>v4.6.2</TargetFrameworkVersion>
    <PlatformTarget>{platform}</PlatformTarget><OutputPath>out/</OutputPath><AssemblyName>host</AssemblyName></PropertyGroup>
  <ItemGroup><Compile Include="Host.cs" /><Reference Include="System" />
    <Reference Include="TrovelSdk.Net"><HintPath>{package}/lib/net462/TrovelSdk.Net.dll</HintPath></Reference></ItemGroup>
  <Import Project="$(MSBuildToolsPath)/Microsoft.CSharp.targets" />
  <Import Project="{package}/build/net462/TrovelSdk.targets" />
</Project>
"""


def framework_projects(args, unpacked, work):
    """A packages.config project (build/ imports buildTransitive/) gets the DLL of its platform
    target beside the program, or both in x86/ and x64/ for AnyCPU; xbuild stands in for MSBuild."""
    table = {"x86": {"TrovelSdk.dll": I386}, "x64": {"TrovelSdk.dll": AMD64},
             "AnyCPU": {"x86/TrovelSdk.dll": I386, "x64/TrovelSdk.dll": AMD64}}
    for platform, expected in table.items():
        project = os.path.join(work, f"project-{platform}")
        os.makedirs(project)
        shutil.copy(os.path.join(args.source, "examples", "dotnet", "Host.cs"), project)
        with open(os.path.join(project, "host.csproj"), "w") as out:
            out.write(PROJECT.format(platform=platform, package=unpacked))
        built = run(["xbuild", "/nologo", "/v:q", "host.csproj"], cwd=project)
        output = os.path.join(project, "out")
        natives = {os.path.relpath(os.path.join(d, f), output) for d, _, files in os.walk(output) for f in files
                   if f == "TrovelSdk.dll"}
        got = {name: machine(open(os.path.join(output, name), "rb").read()) for name in natives}
        check(f"nuget: a .NET Framework {platform} project gets {sorted(expected)}",
              built.returncode == 0 and got == expected, built.stdout[-800:] + f" native DLLs {got}")


def wheels(args, work):
    tags = {"win32": ("TrovelSdk.dll", I386), "win_amd64": ("TrovelSdk.dll", AMD64)}
    for platform, (library, want) in tags.items():
        path = os.path.join(args.packages, f"trovelsdk-{args.version}-py3-none-{platform}.whl")
        wheel = zipfile.ZipFile(path)
        got = machine(wheel.read(f"trovelsdk/{library}"))
        check(f"wheel {platform}: trovelsdk/{library} is machine {want:#x}", got == want, f"machine {got:#x}")
        meta = wheel.read(f"trovelsdk-{args.version}.dist-info/WHEEL").decode()
        check(f"wheel {platform}: tag and purelib in WHEEL",
              f"Tag: py3-none-{platform}\n" in meta and "Root-Is-Purelib: false" in meta, meta)
    pure = zipfile.ZipFile(os.path.join(args.packages, f"trovelsdk-{args.version}-py3-none-any.whl"))
    check("wheel any: pure, no library inside",
          not [n for n in pure.namelist() if n.endswith((".dll", ".so.1"))] and
          "Root-Is-Purelib: true" in pure.read(f"trovelsdk-{args.version}.dist-info/WHEEL").decode())

    found = glob.glob(os.path.join(args.packages, f"trovelsdk-{args.version}-py3-none-manylinux_2_*_x86_64.whl"))
    check("wheel manylinux: one", len(found) == 1, str(found))
    if len(found) != 1:
        return
    # A tag older than the glibc the library needs lets pip install a wheel that cannot load.
    tag_glibc = int(re.search(r"manylinux_2_(\d+)_", found[0]).group(1))
    library = os.path.join(work, "libtrovelsdk.so.1")
    with open(library, "wb") as out:
        out.write(zipfile.ZipFile(found[0]).read("trovelsdk/libtrovelsdk.so.1"))
    needed = max(int(m) for m in re.findall(r"GLIBC_2\.(\d+)", run(["objdump", "-T", library]).stdout))
    check("wheel manylinux: the tag covers the glibc the library needs", tag_glibc >= needed,
          f"tag 2.{tag_glibc}, needs 2.{needed}")
    venv = os.path.join(work, "venv")
    made = run(["/usr/bin/python3", "-m", "venv", venv])
    installed = made.returncode == 0 and run([f"{venv}/bin/python", "-m", "pip", "install", "--quiet", "--no-index",
                                               found[0]], env=clean_env())
    check("wheel manylinux: installs offline into a fresh venv", bool(installed) and installed.returncode == 0,
          made.stderr + (installed.stderr if installed else ""))
    if installed and installed.returncode == 0:
        ran = run_example(args, [f"{venv}/bin/python", os.path.join(args.source, "examples", "python", "trovel_host.py"),
                                 "{device}", "--address", "2"], cwd=work)
        check("wheel manylinux: drives the simulator with its own library", ran.returncode == 0,
              ran.stdout[-1500:] + ran.stderr[-1500:])


def debian(args, work):
    debs = {name: os.path.join(args.packages, f"{name}_{args.version}-1_amd64.deb")
            for name in ("libtrovelsdk1", "libtrovelsdk-dev", "trovel-tools")}
    depends_on_lib = f"libtrovelsdk1 (= {args.version}-1)"
    tools = ["usr/bin/trovelctl", "usr/bin/trovel-sim", "usr/share/man/man1/trovelctl.1.gz",
             "usr/share/man/man1/trovel-sim.1.gz", "usr/share/bash-completion/completions/trovelctl"]
    if args.gateway:
        tools.append("usr/bin/trovel-gateway")
        if glob.glob(f"{args.source}/tools/gateway/**/trovel-gateway.service", recursive=True) + \
                glob.glob(f"{args.source}/packaging/**/trovel-gateway.service", recursive=True):
            tools.append("usr/lib/systemd/system/trovel-gateway.service")
    # Files of a package that belong to another break upgrades and co-installation.
    table = {
        "libtrovelsdk1": (["usr/lib/libtrovelsdk.so.1", f"usr/lib/libtrovelsdk.so.{args.version}"],
                          ["usr/lib/libtrovelsdk.so", "usr/include/TrovelSdk.h"], None),
        "libtrovelsdk-dev": (["usr/lib/libtrovelsdk.so", "usr/include/TrovelSdk.h", "usr/include/trovel/trovel.hpp",
                              "usr/lib/pkgconfig/trovelsdk.pc", "usr/lib/cmake/TrovelSdk/TrovelSdkConfig.cmake"],
                             [f"usr/lib/libtrovelsdk.so.{args.version}"], depends_on_lib),
        "trovel-tools": (tools, ["usr/lib/libtrovelsdk.so.1"], depends_on_lib),
    }
    root = os.path.join(work, "root")
    for name, (present, absent, depends) in table.items():
        listing = {line.split()[-1].lstrip("./") if "->" not in line else line.split()[-3].lstrip("./")
                   for line in run(["dpkg-deb", "-c", debs[name]]).stdout.splitlines()}
        check(f"deb {name}: its files", set(present) <= listing and not set(absent) & listing,
              f"missing {sorted(set(present) - listing)}, foreign {sorted(set(absent) & listing)}")
        fields = run(["dpkg-deb", "-f", debs[name], "Package", "Version", "Depends"]).stdout
        check(f"deb {name}: control fields", f"Package: {name}\n" in fields and f"Version: {args.version}-1\n" in fields
              and (depends is None or depends in fields) and (name.endswith("-dev") or "libc6" in fields), fields)
        run(["dpkg-deb", "-x", debs[name], root])
    control = os.path.join(work, "control")
    run(["dpkg-deb", "-e", debs["libtrovelsdk1"], control])
    with open(os.path.join(control, "triggers")) as triggers, open(os.path.join(control, "shlibs")) as shlibs:
        check("deb libtrovelsdk1: ldconfig trigger and shlibs", "activate-noawait ldconfig" in triggers.read() and
              f"libtrovelsdk 1 libtrovelsdk1 (>= {args.version}-1)" in shlibs.read())
    run(["dpkg-deb", "-e", debs["trovel-tools"], control + "-tools"])
    with open(os.path.join(control + "-tools", "postinst")) as postinst:
        check("deb trovel-tools: the dialout note", "usermod -aG dialout" in postinst.read())

    # From the throwaway root: the library where the system would have it, nowhere else.
    env = dict(clean_env(), LD_LIBRARY_PATH=os.path.join(root, "usr", "lib"),
               PKG_CONFIG_PATH=os.path.join(root, "usr", "lib", "pkgconfig"))
    version = run([os.path.join(root, "usr", "bin", "trovelctl"), "--version"], env=env)
    check("deb: trovelctl --version", version.returncode == 0 and args.version in version.stdout,
          version.stdout + version.stderr)
    libs = run(["pkg-config", "--libs", "--cflags", "trovelsdk"], env=env).stdout
    # A .pc file with the build's prefix in it points the compiler at /usr/local.
    check("deb: pkg-config points into the root", f"-L{root}/usr/lib" in libs and "-ltrovelsdk" in libs, libs)
    program = os.path.join(work, "consumer")
    built = run(["cc", os.path.join(args.source, "tests", "install", "consumer.c"), *libs.split(), "-o", program])
    ran = run([program], env=env) if built.returncode == 0 else built
    check("deb: a C program built with pkg-config runs", ran.returncode == 0, ran.stdout + ran.stderr)
    lint = run(["lintian", "--fail-on", "error", *debs.values()])
    check("deb: lintian shows no error", lint.returncode == 0, lint.stdout + lint.stderr)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--packages", "--source", "--sim", "--version"):
        parser.add_argument(option, required=True)
    parser.add_argument("--gateway", action="store_true", help="trovel-gateway was built: expect it packaged")
    args = parser.parse_args()
    args.source, args.sim, args.packages = (os.path.abspath(p) for p in (args.source, args.sim, args.packages))
    # With a system copy installed, the runs below would prove nothing about the packages'.
    system = run(["/sbin/ldconfig", "-p"]).stdout
    check("no libtrovelsdk in the system's library cache", "libtrovelsdk" not in system)
    work = tempfile.mkdtemp(prefix="trovel-packages-")
    try:
        for part in (nuget, wheels, debian):
            try:
                part(args, work)
            except Exception as e:  # one broken package must not hide the others' results
                check(f"{part.__name__}: ran to its end", False, f"{type(e).__name__}: {e}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    passed = sum(results)
    print(f"packages: {passed} passed, {len(results) - passed} failed")
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
