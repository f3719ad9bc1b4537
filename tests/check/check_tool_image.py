#!/usr/bin/python3
"""KeyvaneCheck.exe as shipped: a 64-bit console program, versioned and signed like the agent, whose
manifest runs it as the invoker without UI access.

  check_tool_image.py SIGNED_TOOL SIGNED_AGENT CERTDIR     (CERTDIR "-" for a release-signed build)
"""

import os
import sys

import pefile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
sys.path.insert(0, os.path.join(here, "..", "image"))
from checks import expect, run_checks  # noqa: E402
from check_image import (Image, check_certificate_table, check_checksum,  # noqa: E402
                         check_resource_codepages, check_verify)

OWN_FIELDS = {"FileDescription", "InternalName", "OriginalFilename"}


def version_strings(img):
    img.pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    strings = {}
    for info in getattr(img.pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    fixed = img.pe.VS_FIXEDFILEINFO[0]
    strings["(fixed)"] = (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS)
    return strings


def manifest(img):
    for entry in img.pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            data = entry.directory.entries[0].directory.entries[0].data.struct
            return img.pe.get_data(data.OffsetToData, data.Size).decode("utf-8")
    return ""


def check_header(img):
    fh, oh = img.pe.FILE_HEADER, img.oh
    seen = (hex(fh.Machine), hex(oh.Magic), oh.Subsystem)
    expect(seen == ("0x8664", "0x20b", 3), f"machine, magic, subsystem {seen}; expected AMD64, PE32+, console (3)")
    return "AMD64, PE32+, console"


def check_version(tool, agent):
    mine, theirs = version_strings(tool), version_strings(agent)
    differing = sorted(k for k in set(mine) | set(theirs) if mine.get(k) != theirs.get(k))
    expect(set(differing) == OWN_FIELDS, f"fields that differ from the agent's: {differing}")
    expect(mine["OriginalFilename"] == "KeyvaneCheck.exe", f"OriginalFilename {mine['OriginalFilename']!r}")
    return f"{mine['ProductVersion']} as the agent's; its own {mine['FileDescription']!r}"


def check_manifest(tool):
    text = manifest(tool)
    expect('level="asInvoker"' in text, f"no asInvoker in {text!r}")
    expect("uiAccess" not in text, f"uiAccess in {text!r}")
    return "asInvoker, no uiAccess"


def main(argv):
    tool, agent = Image(argv[1]), Image(argv[2])
    certdir = None if argv[3] == "-" else argv[3]
    checks = [
        ("header", lambda: check_header(tool)),
        ("version block", lambda: check_version(tool, agent)),
        ("manifest", lambda: check_manifest(tool)),
        ("resource code pages", lambda: check_resource_codepages(tool)),
        ("certificate table", lambda: check_certificate_table(tool)),
        ("CheckSum", lambda: check_checksum(tool)),
        ("[dev chain] osslsigncode verify", lambda: check_verify(tool, certdir)),
    ]
    return run_checks(checks, lambda name: "release-signed build" if certdir is None and "[dev chain]" in name else None)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
