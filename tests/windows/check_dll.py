#!/usr/bin/env python3
"""Static check of TrovelSdk.dll as built by MinGW-w64.

Reads the PE file itself (no Windows tools needed) and checks what a host relies on:
the export names and ordinals against the .def file and the full export table, no
decorated or extra exports, the stdcall argument sizes (32-bit), the DLL name in the
export directory, imports from system DLLs only, the version resource and the manifest, and
that the debug information ships beside the DLL, not in it.

Exit status 0 when every check passes; each failed check is printed with what was found.
"""

import argparse
import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

DLL_NAME = "TrovelSdk.dll"
MACHINES = {"i686": 0x014C, "x86_64": 0x8664}
IMAGE_FILE_DLL = 0x2000

# What a statically linked DLL may import: the operating system and the C runtime that
# every Windows has. A libstdc++/libgcc/winpthread import would make hosts ship MinGW DLLs.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll", "advapi32.dll", "ws2_32.dll", "setupapi.dll"}
SYSTEM_DLL_PREFIXES = ("api-ms-win-",)

RT_VERSION = 16
RT_MANIFEST = 24
VERSION_RESOURCE_ID = 1
MANIFEST_RESOURCE_ID = 2  # the id Windows reads for a DLL's own manifest

VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VOS__WINDOWS32 = 0x00000004
VFT_DLL = 0x00000002

EXPECTED_VERSION = (1, 0, 2, 0)
EXPECTED_STRING_TABLE = "080404b0"  # Chinese (Simplified, PRC), Unicode
EXPECTED_STRINGS = {
    "FileDescription": "\u6ed1\u5c4f\u63a7\u5236\u5668\u5f00\u53d1\u5305\u52a8\u6001\u94fe\u63a5\u5e93",
    "FileVersion": "1.0.2.0",
    "InternalName": DLL_NAME,
    "OriginalFilename": DLL_NAME,
    "ProductName": "TrovelSdk",
    "ProductVersion": "1.0.2.0",
}
EXPECTED_TRANSLATION = (0x0804, 1200)


class Failure(Exception):
    pass


# ---- inputs -----------------------------------------------------------------------------

def read_table(path):
    """The full export table: name -> (ordinal, argument bytes)."""
    table = {}
    ordinals = set()
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            if len(fields) != 3:
                raise Failure(f"{path}:{number}: expected 'name ordinal bytes', got {line!r}")
            name, ordinal, size = fields[0], int(fields[1]), int(fields[2])
            if name in table or ordinal in ordinals:
                raise Failure(f"{path}:{number}: {name} @{ordinal} repeats a name or an ordinal")
            table[name] = (ordinal, size)
            ordinals.add(ordinal)
    return table


def read_def(path):
    """The .def file: (library name, {name: ordinal})."""
    library = None
    exports = {}
    in_exports = False
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.split(";", 1)[0].strip()
            if not line:
                continue
            if line.startswith("LIBRARY"):
                library = line.split(None, 1)[1].strip().strip('"')
                in_exports = False
                continue
            if line == "EXPORTS":
                in_exports = True
                continue
            match = re.fullmatch(r"(\w+)\s+@(\d+)", line)
            if not in_exports or not match:
                raise Failure(f"{path}:{number}: unexpected line {line!r} (plain 'Name @ordinal' expected)")
            name, ordinal = match.group(1), int(match.group(2))
            if name in exports or ordinal in exports.values():
                raise Failure(f"{path}:{number}: {name} @{ordinal} repeats a name or an ordinal")
            exports[name] = ordinal
    return library, exports


def stdcall_sizes(nm, objects):
    """Decorated stdcall symbols defined in the objects: name -> argument bytes."""
    code = [path for path in objects if path.endswith((".obj", ".o"))]  # not the compiled resources
    output = subprocess.run([nm, "--defined-only", *code], check=True, capture_output=True, text=True).stdout
    sizes = {}
    for line in output.splitlines():
        match = re.fullmatch(r"[0-9a-fA-F]+ T _(\w+)@(\d+)", line.strip())
        if match:
            sizes[match.group(1)] = int(match.group(2))
    return sizes


# ---- PE reading -------------------------------------------------------------------------

class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise Failure("not a PE file (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise Failure("not a PE file (no PE signature)")
        coff = pe + 4
        self.machine, sections, _, symbols, symbol_count, optional_size, self.characteristics = \
            struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + {0x10B: 96, 0x20B: 112}[magic]
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        self.sections = []
        self.section_names = []
        table = optional + optional_size
        strings = symbols + 18 * symbol_count  # long section names are "/offset" into it
        for i in range(sections):
            name, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raw))
            name = name.rstrip(b"\0")
            if name.startswith(b"/"):
                start = strings + int(name[1:])
                name = data[start:data.index(b"\0", start)]
            self.section_names.append(name.decode("ascii", "replace"))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise Failure(f"RVA {rva:#x} lies in no section")

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def exports(self):
        """(DLL name, {ordinal: name or None}, [forwarded names])."""
        rva, size = self.directory(0)
        if rva == 0:
            return None, {}, []
        name_rva, base, functions, names, functions_rva, names_rva, ordinals_rva = struct.unpack_from(
            "<IIIIIII", self.data, self.offset(rva) + 12)
        by_ordinal = {}
        forwarded = []
        for i in range(functions):
            target = self.u32(functions_rva + 4 * i)
            if target == 0:
                continue
            by_ordinal[base + i] = None
            if rva <= target < rva + size:
                forwarded.append(base + i)
        for i in range(names):
            index = self.u16(ordinals_rva + 2 * i)
            by_ordinal[base + index] = self.cstring(self.u32(names_rva + 4 * i))
        return self.cstring(name_rva), by_ordinal, forwarded

    def imports(self):
        names = []
        for index, size in ((1, 20), (13, 32)):  # ordinary and delay-load imports
            rva, _ = self.directory(index)
            while rva:
                fields = struct.unpack_from("<IIIII", self.data, self.offset(rva))
                name_rva = fields[3] if index == 1 else fields[1]
                if not any(fields):
                    break
                names.append(self.cstring(name_rva))
                rva += size
        return names

    def resources(self):
        """{(type, id): data} for the resources named by number (first language)."""
        root, _ = self.directory(2)
        found = {}
        if root == 0:
            return found

        def entries(offset):
            named, numbered = struct.unpack_from("<HH", self.data, self.offset(root + offset) + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, self.offset(root + offset) + 16 + 8 * i)
                yield ident, target

        for type_id, type_dir in entries(0):
            if type_id & 0x80000000 or not type_dir & 0x80000000:
                continue
            for res_id, lang_dir in entries(type_dir & 0x7FFFFFFF):
                if res_id & 0x80000000 or not lang_dir & 0x80000000:
                    continue
                for _, leaf in entries(lang_dir & 0x7FFFFFFF):
                    data_rva, length = struct.unpack_from("<II", self.data, self.offset(root + leaf))
                    start = self.offset(data_rva)
                    found.setdefault((type_id, res_id), self.data[start:start + length])
        return found


# ---- version resource -------------------------------------------------------------------

def version_blocks(data, offset=0, end=None):
    """Parses VS_VERSIONINFO-style blocks: [(key, value bytes, is_text, children)]."""
    end = len(data) if end is None else end
    blocks = []
    while offset + 6 <= end:
        length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
        if length == 0:
            break
        block_end = offset + length
        key_start = offset + 6
        key_end = key_start
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[key_start:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if value_type == 1 else value_length
        value = data[value_start:min(value_start + value_bytes, block_end)]
        children_start = (value_start + value_bytes + 3) & ~3
        children = version_blocks(data, children_start, block_end) if children_start < block_end else []
        blocks.append((key, value, value_type == 1, children))
        offset = (block_end + 3) & ~3
    return blocks


def text(value):
    return value.decode("utf-16-le").split("\0", 1)[0]


def check_version(resource, report):
    (root_key, fixed, _, children), = version_blocks(resource)
    report.check(root_key == "VS_VERSION_INFO", "version resource root is VS_VERSION_INFO", root_key)
    fields = struct.unpack_from("<13I", fixed)
    signature, _, file_ms, file_ls, product_ms, product_ls, _, _, os_code, file_type = fields[:10]
    as_version = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    report.check(signature == VS_FIXEDFILEINFO_SIGNATURE, "fixed file info present", hex(signature))
    report.check(as_version(file_ms, file_ls) == EXPECTED_VERSION, "file version 1.0.2.0",
                 as_version(file_ms, file_ls))
    report.check(as_version(product_ms, product_ls) == EXPECTED_VERSION, "product version 1.0.2.0",
                 as_version(product_ms, product_ls))
    report.check(os_code == VOS__WINDOWS32, "file OS VOS__WINDOWS32", hex(os_code))
    report.check(file_type == VFT_DLL, "file type DLL", file_type)

    by_key = {key: blocks for key, _, _, blocks in children}
    tables = {key: blocks for key, _, _, blocks in by_key.get("StringFileInfo", [])}
    report.check(list(tables) == [EXPECTED_STRING_TABLE], f"one string table, block {EXPECTED_STRING_TABLE}",
                 list(tables))
    strings = {key: text(value) for key, value, _, _ in tables.get(EXPECTED_STRING_TABLE, [])}
    for key, expected in EXPECTED_STRINGS.items():
        report.check(strings.get(key) == expected, f"{key} {expected!r}", strings.get(key))
    extra = sorted(set(strings) - set(EXPECTED_STRINGS))
    report.check(not extra, "no other version strings", extra)

    translations = [struct.unpack_from("<HH", value) for key, value, _, _ in by_key.get("VarFileInfo", [])
                    if key == "Translation"]
    report.check(translations == [EXPECTED_TRANSLATION], "translation 0x0804, code page 1200", translations)


def check_manifest(resource, report):
    try:
        root = ElementTree.fromstring(resource)
    except ElementTree.ParseError as error:
        report.check(False, "manifest is well-formed XML", error)
        return
    levels = [element.get("level") for element in root.iter() if element.tag.endswith("requestedExecutionLevel")]
    report.check(levels == ["asInvoker"], "manifest requests execution level asInvoker", levels)


# ---- the check --------------------------------------------------------------------------

class Report:
    def __init__(self, label):
        self.label = label
        self.failures = 0

    def check(self, passed, what, found=None):
        if passed:
            print(f"  ok    {what}")
        else:
            self.failures += 1
            print(f"  FAIL  {what}" + ("" if found is None else f" (found: {found})"))


def check(args):
    table = read_table(args.table)
    library, declared = read_def(args.def_file)
    report = Report(args.arch)
    print(f"{args.dll} ({args.arch})")

    report.check(library == DLL_NAME, f".def names the library {DLL_NAME}", library)
    strays = [f"{name} @{ordinal}" + (f" (table: @{table[name][0]})" if name in table else " (not in the table)")
              for name, ordinal in sorted(declared.items(), key=lambda item: item[1])
              if table.get(name, (None,))[0] != ordinal]
    report.check(not strays, f"{len(declared)} .def entries, each in the export table with its ordinal", strays)

    with open(args.dll, "rb") as dll:
        image = PeImage(dll.read())
    report.check(image.machine == MACHINES[args.arch], f"machine {args.arch}", hex(image.machine))
    report.check(image.characteristics & IMAGE_FILE_DLL, "image is a DLL")

    name, exported, forwarded = image.exports()
    report.check(name == DLL_NAME, f"export directory names {DLL_NAME}", name)
    report.check(not forwarded, "no forwarded exports", forwarded)
    unnamed = sorted(ordinal for ordinal, export in exported.items() if export is None)
    report.check(not unnamed, "every export has a name", unnamed)
    decorated = sorted(export for export in exported.values() if export and re.search(r"[@?]|^_", export))
    report.check(not decorated, "no decorated export names", decorated)
    actual = {export: ordinal for ordinal, export in exported.items() if export}
    missing = sorted(f"{n} @{o}" for n, o in declared.items() if actual.get(n) != o)
    report.check(not missing, "every .def entry exported by name with its ordinal", missing)
    extra = sorted(f"{n} @{o}" for n, o in actual.items() if declared.get(n) != o)
    report.check(not extra, "nothing exported beyond the .def entries", extra)
    report.check("OpenComDevice" not in actual, "OpenComDevice (Linux only) not exported")

    if args.arch == "i686":
        sizes = stdcall_sizes(args.nm, args.objects)
        wrong = []
        for export in sorted(declared, key=declared.get):
            expected = table.get(export, (None, None))[1]
            if sizes.get(export) != expected:
                found = f"_{export}@{sizes[export]}" if export in sizes else "no stdcall symbol"
                wrong.append(f"{export}: {found}, table says @{expected}")
        report.check(not wrong, "every export is stdcall with the table's argument bytes (_Name@bytes)", wrong)

    debug = [name for name in image.section_names if name.startswith(".debug")]
    report.check(not debug and ".gnu_debuglink" in image.section_names and os.path.isfile(args.dll + ".debug"),
                 f"stripped, with a debug link to {DLL_NAME}.debug beside it", debug)

    imports = image.imports()
    foreign = [dll for dll in imports
               if dll.lower() not in SYSTEM_DLLS and not dll.lower().startswith(SYSTEM_DLL_PREFIXES)]
    report.check(not foreign, f"imports only system DLLs ({', '.join(imports)})", foreign)

    resources = image.resources()
    version = resources.get((RT_VERSION, VERSION_RESOURCE_ID))
    report.check(version is not None, "version resource, id 1")
    if version is not None:
        check_version(version, report)
    manifest = resources.get((RT_MANIFEST, MANIFEST_RESOURCE_ID))
    report.check(manifest is not None, "manifest resource, id 2")
    if manifest is not None:
        check_manifest(manifest, report)

    print(f"{args.arch}: {len(actual)} exports of {len(table)} in the table; "
          + ("all checks passed" if report.failures == 0 else f"{report.failures} check(s) failed"))
    return report.failures == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dll", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(MACHINES))
    parser.add_argument("--def", dest="def_file", required=True)
    parser.add_argument("--table", required=True)
    parser.add_argument("--nm", help="the MinGW nm, for the 32-bit stdcall sizes")
    parser.add_argument("objects", nargs="*", help="the DLL's object files (32-bit)")
    args = parser.parse_args()
    if args.arch == "i686" and (not args.nm or not args.objects):
        parser.error("the 32-bit check needs --nm and the DLL's object files")
    try:
        return 0 if check(args) else 1
    except (Failure, OSError, subprocess.CalledProcessError, struct.error, ValueError) as error:
        print(f"check_dll: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
