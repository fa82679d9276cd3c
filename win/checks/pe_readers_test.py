#!/usr/bin/python3
"""The driver images read by two PE readers written elsewhere, Debian's python3-pefile and pev's
readpe: what each finds must be what pecheck --list prints.

    pe_readers_test.py PECHECK IMAGE...

For each image: the checksum (the header's, and the one pefile computes), the sections, the imports
with their address table slots, the base relocations and the version resource (fixed file
information, checked-build flag, strings) against pefile; the checksum, the sections and the
imported names against readpe. Ends with a line "N passed, N failed".
"""
import json
import re
import subprocess
import sys

import pefile


def number(text):
    """readpe's numbers: "0x5510 (21776 bytes)", "0x19a0b" or "0"."""
    return int(text.split()[0], 0)


def version_text(high, low):
    return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"


def pecheck_facts(pecheck, image):
    run = subprocess.run([pecheck, "--list", image], capture_output=True, text=True)
    if run.returncode != 0:
        raise RuntimeError(f"pecheck --list {image} exited {run.returncode}: {run.stdout}{run.stderr}")
    facts = {"sections": [], "imports": [], "relocations": [], "strings": []}
    for line in run.stdout.splitlines():
        fields = line.split()
        if line.startswith("section "):
            facts["sections"].append((fields[1], *(int(fields[i], 16) for i in (3, 5, 7, 9, 11))))
        elif line.startswith("import "):
            facts["imports"].append((fields[1].lower(), fields[2], int(fields[4], 16)))
        elif line.startswith("relocation "):
            facts["relocations"].append((int(fields[1], 16), int(fields[3])))
        elif line.startswith("version: "):
            match = re.match(r"version: file (\S+), product ([^,]+)(, checked build)?$", line)
            facts["version"] = (match.group(1), match.group(2), bool(match.group(3)))
        elif line.startswith("  ") and ": " in line:
            key, value = line.strip().split(": ", 1)
            facts["strings"].append((key, value))
        elif "valid checksum" in line:
            match = re.search(r"header (0x[0-9A-F]+), computed (0x[0-9A-F]+)", line)
            facts["checksum"] = (int(match.group(1), 16), int(match.group(2), 16))
    facts["imported names"] = [(dll, name) for dll, name, _ in facts["imports"]]
    return facts


def pefile_facts(image):
    pe = pefile.PE(image)
    base = pe.OPTIONAL_HEADER.ImageBase
    facts = {"checksum": (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())}
    facts["sections"] = [(s.Name.rstrip(b"\0").decode(), s.VirtualAddress, s.Misc_VirtualSize, s.PointerToRawData,
                          s.SizeOfRawData, s.Characteristics) for s in pe.sections]
    facts["imports"] = [(entry.dll.decode().lower(), imp.name.decode() if imp.name else f"#{imp.ordinal}", imp.address - base)
                        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for imp in entry.imports]
    facts["relocations"] = [(r.rva, r.type) for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
                            for r in block.entries if r.type != 0]
    fixed = pe.VS_FIXEDFILEINFO[0]
    facts["version"] = (version_text(fixed.FileVersionMS, fixed.FileVersionLS),
                        version_text(fixed.ProductVersionMS, fixed.ProductVersionLS),
                        bool(fixed.FileFlags & fixed.FileFlagsMask & 1))
    facts["strings"] = [(key.decode(), value.decode()) for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                        for table in info.StringTable[:1] for key, value in table.entries.items()]
    return facts


def readpe_facts(image):
    def read(option):
        return json.loads(subprocess.run(["readpe", "-f", "json", option, image], check=True, capture_output=True,
                                         text=True).stdout)
    header = read("-H")["Optional/Image header"]
    facts = {"header checksum": number(header["Checksum"])}
    facts["sections"] = [(s["Name"], number(s["Virtual Address"]), number(s["Virtual Size"]),
                          number(s["Pointer To Raw Data"]), number(s["Size Of Raw Data"]), number(s["Characteristics"]))
                         for s in read("-S")["Sections"]]
    facts["imported names"] = [(dll["Name"].lower(), function["Name"]) for dll in read("-i")["Imported functions"]
                               for function in dll["Functions"]]
    return facts


# What each reader is compared on: (reader, fact, what pecheck's facts give for it).
COMPARISONS = [
    ("pefile", "checksum", lambda facts: facts["checksum"]),
    ("pefile", "sections", lambda facts: facts["sections"]),
    ("pefile", "imports", lambda facts: facts["imports"]),
    ("pefile", "relocations", lambda facts: facts["relocations"]),
    ("pefile", "version", lambda facts: facts["version"]),
    ("pefile", "strings", lambda facts: facts["strings"]),
    ("readpe", "header checksum", lambda facts: facts["checksum"][0]),
    ("readpe", "sections", lambda facts: facts["sections"]),
    ("readpe", "imported names", lambda facts: facts["imported names"]),
]


def main():
    pecheck, images = sys.argv[1], sys.argv[2:]
    passed = failed = 0
    for image in images:
        ours = pecheck_facts(pecheck, image)
        theirs = {"pefile": pefile_facts(image), "readpe": readpe_facts(image)}
        for reader, fact, expected in COMPARISONS:
            found, wanted = theirs[reader][fact], expected(ours)
            # An empty list on both sides would agree on nothing.
            if found == wanted and found not in ([], None):
                passed += 1
                continue
            failed += 1
            print(f"FAIL {image}: {fact} by {reader}\n  {reader}: {found}\n  pecheck: {wanted}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
