#!/usr/bin/python3
"""Post-link fix-ups of a PE32+ image, patched in place at exact offsets.

  pe_fixup.py codepage FILE   CodePage = 1252 in every resource data entry
                              (windres leaves 0); run before signing.
  pe_fixup.py checksum FILE   optional-header CheckSum over the file as it
                              is; run after signing (the field and the
                              certificate table are outside the digest).

pefile is used only to read headers; bytes are written by hand so nothing
else in the file can change.
"""

import struct
import sys

import pefile

CODEPAGE = 1252
PE32PLUS_MAGIC = 0x20B
RESOURCE_DIR = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]
SECURITY_DIR = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
# Far beyond anything windres emits; guards against cyclic directories.
MAX_RESOURCE_DEPTH = 8


class FixupError(Exception):
    pass


def load_pe32plus(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as e:
        raise FixupError(f"{path}: not a PE image ({e.value})")
    magic = pe.OPTIONAL_HEADER.Magic
    if magic != PE32PLUS_MAGIC:
        raise FixupError(f"{path}: not PE32+ (optional header magic {magic:#x})")
    return pe, data


def checksum_field_offset(pe):
    return pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")


def pe_checksum(data, field_offset):
    """The image checksum with the CheckSum field taken as zero."""
    buf = bytearray(data)
    buf[field_offset:field_offset + 4] = b"\0\0\0\0"
    if len(buf) % 2:
        buf.append(0)
    total = sum(struct.unpack(f"<{len(buf) // 2}H", buf))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def rva_to_offset(pe, rva, size, data_len):
    try:
        off = pe.get_offset_from_rva(rva)
    except pefile.PEFormatError:
        off = None
    if off is None or off < 0 or off + size > data_len:
        raise FixupError(f"resource RVA {rva:#x} lies outside the file")
    return off


def resource_data_entry_offsets(pe, data):
    """File offsets of every IMAGE_RESOURCE_DATA_ENTRY, in walk order."""
    d = pe.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCE_DIR]
    if d.VirtualAddress == 0 or d.Size == 0:
        return []
    base_rva = d.VirtualAddress
    found = []
    seen_dirs = set()

    def walk(dir_rel, depth):
        if depth > MAX_RESOURCE_DEPTH or dir_rel in seen_dirs:
            raise FixupError(f"resource directory at +{dir_rel:#x} is cyclic or too deep")
        seen_dirs.add(dir_rel)
        hdr = rva_to_offset(pe, base_rva + dir_rel, 16, len(data))
        named, ids = struct.unpack_from("<HH", data, hdr + 12)
        for i in range(named + ids):
            ent = rva_to_offset(pe, base_rva + dir_rel + 16 + 8 * i, 8, len(data))
            _, target = struct.unpack_from("<II", data, ent)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, depth + 1)
            else:
                found.append(rva_to_offset(pe, base_rva + target, 16, len(data)))

    walk(0, 0)
    return found


def is_signed(pe):
    d = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIR]
    return d.VirtualAddress != 0 and d.Size != 0


def patch(path, writes):
    with open(path, "r+b") as f:
        for offset, raw in writes:
            f.seek(offset)
            f.write(raw)


def cmd_codepage(path):
    pe, data = load_pe32plus(path)
    want = struct.pack("<I", CODEPAGE)
    writes = []
    entries = resource_data_entry_offsets(pe, data)
    for off in entries:
        cp = off + 8  # OffsetToData, Size, CodePage, Reserved
        if data[cp:cp + 4] != want:
            writes.append((cp, want))
    if writes and is_signed(pe):
        # Patching would silently break the signature.
        raise FixupError(f"{path}: already signed; fix code pages before signing")
    patch(path, writes)
    print(f"{path}: {len(entries)} resource entries, {len(writes)} set to code page {CODEPAGE}")


def cmd_checksum(path):
    pe, data = load_pe32plus(path)
    field = checksum_field_offset(pe)
    value = pe_checksum(data, field)
    patch(path, [(field, struct.pack("<I", value))])
    print(f"{path}: CheckSum {value:#010x}")


COMMANDS = {"codepage": cmd_codepage, "checksum": cmd_checksum}


def main(argv):
    if len(argv) != 3 or argv[1] not in COMMANDS:
        print(f"usage: {argv[0]} {{{'|'.join(COMMANDS)}}} FILE", file=sys.stderr)
        return 2
    try:
        COMMANDS[argv[1]](argv[2])
    except (FixupError, OSError) as e:
        print(f"pe_fixup: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
