#!/usr/bin/env bash
# Reads the resources back from built images and fails unless each carries a VERSIONINFO of the
# version and names in common/version/version.h with its own file name, and unless each program
# (.exe) carries a manifest asking for asInvoker and naming Windows Vista to 10, and no DLL one.
#   check-version-resources.sh FILE...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exec python3 - "$root/common/version/version.h" "$@" <<'PY'
import os, re, struct, sys
import xml.etree.ElementTree as ET

RT_VERSION, RT_MANIFEST = 16, 24
SUPPORTED_OS = dict(zip(("Windows Vista", "Windows 7", "Windows 8", "Windows 8.1", "Windows 10"), (
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}")))  # the manifest's supportedOS Ids

header = dict(re.findall(r'^#define[ \t]+(TAMSU_\w+)[ \t]+"?([^"\n]*?)"?[ \t]*$', open(sys.argv[1]).read(), re.M))
version = header["TAMSU_VERSION_STRING"]
numbers = tuple(int(header["TAMSU_VERSION_" + part]) for part in ("MAJOR", "MINOR", "PATCH", "BUILD"))
if version != "%d.%d.%d.%d" % numbers:
    sys.exit("version resources: version.h: TAMSU_VERSION_STRING %s disagrees with its numbers" % version)

def resources(image):
    """{type: {name: data}} of the first language of each resource, from the .rsrc directory."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[:2] != b"MZ" or image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    directories = optional + (96 if struct.unpack_from("<H", image, optional)[0] == 0x10B else 112)
    root_rva, root_size = struct.unpack_from("<II", image, directories + 2 * 8)
    if not root_size:
        return {}
    table = [struct.unpack_from("<II4xI", image, optional + optional_size + 40 * i + 8) for i in range(sections)]

    def at(rva):  # file offset of an RVA
        for size, start, raw in table:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA 0x%x is in no section" % rva)

    base = at(root_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", image, base + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", image, base + offset + 16 + 8 * i)
            yield (name if not name & 0x80000000 else "#named"), target

    found = {}
    for kind, types in entries(0):
        for name, names in entries(types & 0x7FFFFFFF):
            _, language = next(entries(names & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", image, base + language)
            found.setdefault(kind, {})[name] = image[at(rva):at(rva) + size]
    return found

def version_node(data, offset=0):
    """(key, value, children, end) of one VS_VERSIONINFO node; a text value is decoded."""
    length, value_length, text = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while key_end < end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    if length < 6 or key_end >= end:
        raise ValueError("malformed version node at %d" % offset)
    position = (key_end + 2 + 3) & ~3
    size = value_length * 2 if text else value_length
    value = data[position:position + size]
    position = (position + size + 3) & ~3
    children = []
    while position < end:
        children.append(version_node(data, position))
        position = (children[-1][3] + 3) & ~3
    return (data[offset + 6:key_end].decode("utf-16-le"),
            value.decode("utf-16-le").rstrip("\0") if text else value, children, end)

def check(path):
    name = os.path.basename(path)
    program = name.lower().endswith(".exe")
    found = resources(open(path, "rb").read())
    problems = []
    info = found.get(RT_VERSION, {}).get(1)
    if info is None:
        problems.append("no VERSIONINFO resource")
    else:
        key, fixed, children, _ = version_node(info)
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        if key != "VS_VERSION_INFO" or signature != 0xFEEF04BD:
            problems.append("VERSIONINFO without its fixed part")
        for what, ms, ls in (("file", file_ms, file_ls), ("product", product_ms, product_ls)):
            have = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
            if have != numbers:
                problems.append("fixed %s version %d.%d.%d.%d, expected %s" % ((what,) + have + (version,)))
        strings = {k: v for block in children if block[0] == "StringFileInfo"
                   for table in block[2] for k, v, _, _ in table[2]}
        expected = {"CompanyName": header["TAMSU_COMPANY_NAME"], "ProductName": header["TAMSU_PRODUCT_NAME"],
                    "FileVersion": version, "ProductVersion": version, "OriginalFilename": name}
        for field, want in expected.items():
            if strings.get(field) != want:
                problems.append("%s is %r, expected %r" % (field, strings.get(field), want))
        for field in ("FileDescription", "InternalName", "LegalCopyright"):
            if not strings.get(field):
                problems.append("no %s" % field)
    manifests = found.get(RT_MANIFEST, {})
    if not program and manifests:
        problems.append("a DLL carrying a manifest")
    elif program and 1 not in manifests:
        problems.append("no manifest (RT_MANIFEST 1)")
    elif program:
        document = ET.fromstring(manifests[1])
        levels = [e.get("level") for e in document.iterfind(".//{*}requestedExecutionLevel")]
        if levels != ["asInvoker"]:
            problems.append("manifest's execution level is %s, expected asInvoker" % (levels or "absent"))
        ids = {(e.get("Id") or "").lower() for e in document.iterfind(".//{*}supportedOS")}
        problems += ["manifest lacks supportedOS %s %s" % item for item in SUPPORTED_OS.items() if item[1] not in ids]
    return name, problems

status = 0
for path in sys.argv[2:]:
    try:
        name, problems = check(path)
    except (OSError, ValueError, struct.error, ET.ParseError, UnicodeDecodeError) as error:
        name, problems = os.path.basename(path), ["cannot be read: %s" % error]
    if problems:
        print("version resources: %s: %s" % (name, "; ".join(problems)), file=sys.stderr)
        status = 1
    else:
        kind = ", manifest asInvoker, Vista to 10" if name.lower().endswith(".exe") else ", no manifest"
        print("version resources: %s: %s, OriginalFilename matches%s" % (name, version, kind))
sys.exit(status)
PY
