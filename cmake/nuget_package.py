#!/usr/bin/env python3
"""Packs TrovelSdk.<version>.nupkg (scripts/package). A .nupkg is a zip with a .nuspec, the
Open Packaging Conventions' parts list and relations, and the package's files:

    lib/net462/, lib/netstandard2.0/   TrovelSdk.Net.dll, its XML docs, mono's dllmap
    runtimes/win-x86/native/TrovelSdk.dll, runtimes/win-x64/native/TrovelSdk.dll
    runtimes/linux-x64/native/libtrovelsdk.so
    buildTransitive/net462/TrovelSdk.targets, and build/net462/ importing it (packages.config)
    README.md, LICENSE.txt

Written directly: Debian's nuget is too old for the readme and license elements.

    nuget_package.py --version V --source DIR --assemblies DIR --win-x86 DLL --win-x64 DLL
                     --linux-x64 SO --out DIR
"""

import argparse
import os
import sys
import zipfile
from xml.sax.saxutils import escape

ID = "TrovelSdk"
# Fixed, so that the same inputs give the same package.
STAMP = (2020, 1, 1, 0, 0, 0)

IMPORT_TARGETS = """<?xml version="1.0" encoding="utf-8"?>
<!-- packages.config projects import build\\; PackageReference ones buildTransitive\\. -->
<Project xmlns="http://schemas.microsoft.com/developer/msbuild/2003">
  <Import Project="$(MSBuildThisFileDirectory)..\\..\\buildTransitive\\net462\\TrovelSdk.targets" />
</Project>
"""

CONTENT_TYPES = """<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="psmdcp" ContentType="application/vnd.openxmlformats-package.core-properties+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="so" ContentType="application/octet" />
  <Default Extension="xml" ContentType="application/octet" />
  <Default Extension="config" ContentType="application/octet" />
  <Default Extension="targets" ContentType="application/octet" />
  <Default Extension="md" ContentType="application/octet" />
  <Default Extension="txt" ContentType="application/octet" />
</Types>
"""


def nuspec(version, repository):
    description = ("Drives Trovel sliding-screen controllers over Modbus RTU (RS-485, 19200 baud) or "
                   "Modbus TCP gateways: the C# binding with the native TrovelSdk library for Windows "
                   "(x86, x64) and Linux (x64).")
    return f"""<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>{ID}</id>
    <version>{escape(version)}</version>
    <title>TrovelSdk</title>
    <authors>TrovelSdk developers</authors>
    <description>{escape(description)}</description>
    <license type="file">LICENSE.txt</license>
    <!-- What nuget pack writes beside a license file, for clients older than 4.9. -->
    <licenseUrl>https://aka.ms/deprecateLicenseUrl</licenseUrl>
    <readme>README.md</readme>
    <repository type="git" url="{escape(repository)}" />
    <tags>trovel modbus rtu rs485 serial sliding-screen controller</tags>
    <dependencies>
      <group targetFramework=".NETFramework4.6.2" />
      <group targetFramework=".NETStandard2.0" />
    </dependencies>
  </metadata>
</package>
"""


def relations(psmdcp):
    return f"""<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/{ID}.nuspec" Id="R0" />
  <Relationship Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties" Target="/{psmdcp}" Id="R1" />
</Relationships>
"""


def core_properties(version):
    return f"""<?xml version="1.0" encoding="utf-8"?>
<coreProperties xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/terms/" xmlns="http://schemas.openxmlformats.org/package/2006/metadata/core-properties">
  <dc:creator>TrovelSdk developers</dc:creator>
  <dc:identifier>{ID}</dc:identifier>
  <version>{escape(version)}</version>
  <keywords>trovel modbus rtu rs485 serial sliding-screen controller</keywords>
</coreProperties>
"""


def main():
    parser = argparse.ArgumentParser()
    for option in ("--version", "--source", "--assemblies", "--win-x86", "--win-x64", "--linux-x64", "--out"):
        parser.add_argument(option, required=True)
    parser.add_argument("--repository", default="https://trovel.example/trovelsdk.git")
    args = parser.parse_args()

    nuget = os.path.join(args.source, "packaging", "nuget")
    files = {}  # name in the package -> path on disk, or bytes
    for framework in ("net462", "netstandard2.0"):
        for name in ("TrovelSdk.Net.dll", "TrovelSdk.Net.xml"):
            files[f"lib/{framework}/{name}"] = os.path.join(args.assemblies, framework, name)
        # mono reads it beside the assembly: DllImport("TrovelSdk") is libtrovelsdk.so.1 on Linux.
        files[f"lib/{framework}/TrovelSdk.Net.dll.config"] = os.path.join(args.source, "bindings", "dotnet",
                                                                          "TrovelSdk.Net.dll.config")
    files["runtimes/win-x86/native/TrovelSdk.dll"] = args.win_x86
    files["runtimes/win-x64/native/TrovelSdk.dll"] = args.win_x64
    files["runtimes/linux-x64/native/libtrovelsdk.so"] = args.linux_x64
    files["buildTransitive/net462/TrovelSdk.targets"] = os.path.join(nuget, "TrovelSdk.targets")
    files["build/net462/TrovelSdk.targets"] = IMPORT_TARGETS.encode()
    files["README.md"] = os.path.join(nuget, "README.md")
    files["LICENSE.txt"] = os.path.join(args.source, "packaging", "LICENSE.txt")
    missing = [path for path in files.values() if isinstance(path, str) and not os.path.isfile(path)]
    if missing:
        sys.exit("nuget_package: missing " + ", ".join(missing))

    psmdcp = f"package/services/metadata/core-properties/{ID.lower()}{args.version.replace('.', '')}.psmdcp"
    os.makedirs(args.out, exist_ok=True)
    target = os.path.join(args.out, f"{ID}.{args.version}.nupkg")
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as package:
        def put(name, data):
            package.writestr(zipfile.ZipInfo(name, STAMP), data, zipfile.ZIP_DEFLATED)

        put("_rels/.rels", relations(psmdcp))
        put(f"{ID}.nuspec", nuspec(args.version, args.repository))
        for name, path in sorted(files.items()):
            if isinstance(path, bytes):
                put(name, path)
            else:
                with open(path, "rb") as content:
                    put(name, content.read())
        put(psmdcp, core_properties(args.version))
        put("[Content_Types].xml", CONTENT_TYPES)
    print(target)


if __name__ == "__main__":
    main()
