#!/usr/bin/python3
"""Name the first difference between two builds of one file.

  repro_diff.py pe A B     PE images; the checksum and the signature are left out
  repro_diff.py msi A B    packages: summary stream, tables, streams, cabinet members
  repro_diff.py text A B   the first differing line
  repro_diff.py images PACKAGE DIR
                           writes every PE image that PACKAGE carries (members of its embedded
                           cabinets, Binary table streams) into DIR; prints ID, LABEL and FILE,
                           tab-separated, one image a line

Prints one line that names what differs ("same" when nothing the comparison covers does) and
exits 0; exits 2 on bad use and 1 when a file cannot be read.
"""

import os
import struct
import subprocess
import sys
import tempfile
import zlib

SIGNATURE_STREAMS = ("\x05DigitalSignature", "\x05MsiDigitalSignatureEx")


class Unreadable(Exception):
    pass


def first_diff(a, b):
    """Offset of the first differing byte, len of the shorter if one is a prefix, or None."""
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return None if len(a) == len(b) else min(len(a), len(b))


# --- PE -----------------------------------------------------------------------------------------

def load_pe(path):
    import pefile
    try:
        with open(path, "rb") as f:
            data = f.read()
        return pefile.PE(data=data), data
    except (OSError, pefile.PEFormatError) as e:
        raise Unreadable(f"{path}: {e}")


def named_ranges(pe):
    """(start, end, name) file ranges of structures that have a name worth giving."""
    import pefile
    ranges = []

    def add_struct(s, name):
        off = s.get_file_offset()
        fields = sorted((s.get_field_absolute_offset(k[0]), k[0]) for k in s.__keys__)
        ends = [o for o, _ in fields[1:]] + [off + s.sizeof()]
        for (start, field), end in zip(fields, ends):
            ranges.append((start, end, f"{name} {field}"))
        ranges.append((off, off + s.sizeof(), name))

    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"],
    ])
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        add_struct(pe.DIRECTORY_ENTRY_EXPORT.struct, "export directory")
    for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        add_struct(d.struct, "debug directory")
    for imp in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        add_struct(imp.struct, f"import descriptor of {imp.dll.decode(errors='replace')}")

    def walk(directory, path):
        add_struct(directory.struct, "resource directory" + (f" {path}" if path else ""))
        for entry in directory.entries:
            label = str(entry.name) if entry.name is not None else str(entry.id)
            sub = f"{path}/{label}" if path else label
            if hasattr(entry, "directory"):
                walk(entry.directory, sub)
            elif hasattr(entry, "data"):
                add_struct(entry.data.struct, f"resource {sub} data entry")
                rva, size = entry.data.struct.OffsetToData, entry.data.struct.Size
                try:
                    start = pe.get_offset_from_rva(rva)
                    ranges.append((start, start + size, f"resource {sub} data"))
                except Exception:
                    pass

    if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        walk(pe.DIRECTORY_ENTRY_RESOURCE, "")
    return ranges


def diff_pe(path_a, path_b):
    import pefile
    (pa, da), (pb, db) = load_pe(path_a), load_pe(path_b)
    security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
    names = {"TimeDateStamp": "PE header time stamp (FILE_HEADER.TimeDateStamp)"}

    for label, sa, sb in (("DOS header", pa.DOS_HEADER, pb.DOS_HEADER),
                          ("FILE_HEADER", pa.FILE_HEADER, pb.FILE_HEADER),
                          ("OPTIONAL_HEADER", pa.OPTIONAL_HEADER, pb.OPTIONAL_HEADER)):
        for field in [k[0] for k in sa.__keys__]:
            # Outside the signed content: set after signing.
            if field == "CheckSum":
                continue
            va, vb = getattr(sa, field), getattr(sb, field)
            if va != vb:
                what = names.get(field, f"{label}.{field}") if label == "FILE_HEADER" else f"{label}.{field}"
                return f"{what}: {va:#x} / {vb:#x}"
    for i, (xa, xb) in enumerate(zip(pa.OPTIONAL_HEADER.DATA_DIRECTORY, pb.OPTIONAL_HEADER.DATA_DIRECTORY)):
        if i == security:
            continue
        if (xa.VirtualAddress, xa.Size) != (xb.VirtualAddress, xb.Size):
            return f"data directory {xa.name}: {xa.VirtualAddress:#x}+{xa.Size:#x} / {xb.VirtualAddress:#x}+{xb.Size:#x}"
    if len(pa.sections) != len(pb.sections):
        return f"number of sections: {len(pa.sections)} / {len(pb.sections)}"
    for sa, sb in zip(pa.sections, pb.sections):
        name = sa.Name.rstrip(b"\0").decode(errors="replace")
        for field in [k[0] for k in sa.__keys__]:
            if getattr(sa, field) != getattr(sb, field):
                return f"section header {name} {field}: {getattr(sa, field)!r} / {getattr(sb, field)!r}"

    ranges = named_ranges(pa)

    def name_offset(off):
        inside = [r for r in ranges if r[0] <= off < r[1]]
        if inside:
            # The narrowest structure that holds it.
            start, end, what = min(inside, key=lambda r: r[1] - r[0])
            return f"{what} (file offset {off:#x})"
        for s in pa.sections:
            if s.PointerToRawData <= off < s.PointerToRawData + s.SizeOfRawData:
                sname = s.Name.rstrip(b"\0").decode(errors="replace")
                return f"section {sname} at +{off - s.PointerToRawData:#x} (file offset {off:#x})"
        return f"file offset {off:#x}"

    # Headers and sections byte by byte; a signature's certificate table at the end is left out.
    def signed_end(pe, data):
        d = pe.OPTIONAL_HEADER.DATA_DIRECTORY[security]
        return d.VirtualAddress if d.VirtualAddress and d.Size else len(data)

    ea, eb = signed_end(pa, da), signed_end(pb, db)
    checksum_at = pa.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    security_at = pa.OPTIONAL_HEADER.DATA_DIRECTORY[security].get_file_offset()
    ba, bb = bytearray(da[:ea]), bytearray(db[:eb])
    for buf in (ba, bb):
        buf[checksum_at:checksum_at + 4] = b"\0" * 4
        buf[security_at:security_at + 8] = b"\0" * 8
    off = first_diff(ba, bb)
    if off is None:
        return "same"
    if off >= min(len(ba), len(bb)):
        return f"length before the signature: {len(ba)} / {len(bb)} bytes"
    return name_offset(off)


# --- MSI ----------------------------------------------------------------------------------------

def libmsi():
    import gi
    gi.require_version("Libmsi", "1.0")
    from gi.repository import Libmsi
    return Libmsi


def summary(path):
    Libmsi = libmsi()
    try:
        db = Libmsi.Database.new(path, Libmsi.DbFlags.READONLY, None)
        si = Libmsi.SummaryInfo.new(db, 0)
    except Exception as e:
        raise Unreadable(f"{path}: {e}")
    values = {}
    for prop in si.get_properties():
        kind = si.get_property_type(prop)
        if kind == Libmsi.PropertyType.INT:
            values[prop.value_nick] = si.get_int(prop)
        elif kind == Libmsi.PropertyType.FILETIME:
            values[prop.value_nick] = si.get_filetime(prop)
        elif kind == Libmsi.PropertyType.STRING:
            values[prop.value_nick] = si.get_string(prop)
    return values


def msiinfo(*args):
    # export writes a table's binary columns as files into the current folder: a scratch one.
    try:
        with tempfile.TemporaryDirectory() as scratch:
            return subprocess.run(["msiinfo", *args], check=True, capture_output=True, cwd=scratch).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        raise Unreadable(f"msiinfo {' '.join(args)}: {e}")


def cabinet(data):
    """({member name: (size, date, time, attributes)}, member order, data of the folder, unpacked)."""
    if data[:4] != b"MSCF":
        return None
    coff_files, = struct.unpack_from("<I", data, 16)
    n_folders, n_files, flags = struct.unpack_from("<HHH", data, 26)
    off = 36
    if flags & 4:
        cb_header, cb_folder, cb_data = struct.unpack_from("<HBB", data, 36)
        off += 4 + cb_header
    else:
        cb_folder = cb_data = 0
    folders = []
    for _ in range(n_folders):
        start, blocks, compression = struct.unpack_from("<IHH", data, off)
        folders.append((start, blocks, compression))
        off += 8 + cb_folder
    members = []
    off = coff_files
    for _ in range(n_files):
        size, offset, folder, date, time, attribs = struct.unpack_from("<IIHHHH", data, off)
        end = data.index(b"\0", off + 16)
        name = data[off + 16:end].decode("utf-8", errors="replace")
        members.append((name, size, offset, folder, date, time, attribs))
        off = end + 1
    unpacked = []
    for start, blocks, compression in folders:
        out = b""
        pos = start
        for _ in range(blocks):
            _, cb, _ = struct.unpack_from("<IHH", data, pos)
            block = data[pos + 8 + cb_data:pos + 8 + cb_data + cb]
            pos += 8 + cb_data + cb
            if compression & 0xF == 1 and block[:2] == b"CK":
                d = zlib.decompressobj(-15, zdict=out[-32768:]) if out else zlib.decompressobj(-15)
                out += d.decompress(block[2:]) + d.flush()
            elif compression & 0xF == 0:
                out += block
            else:
                return None
        unpacked.append(out)
    return members, unpacked


def diff_cabinet(name, a, b):
    ca, cb = cabinet(a), cabinet(b)
    if ca is None or cb is None:
        return f"stream {name} (not a cabinet this script can read)"
    (ma, ua), (mb, ub) = ca, cb
    if [m[0] for m in ma] != [m[0] for m in mb]:
        return f"cabinet {name} members: {[m[0] for m in ma]} / {[m[0] for m in mb]}"
    for xa, xb in zip(ma, mb):
        member = xa[0]
        for i, field in ((1, "size"), (4, "date"), (5, "time"), (6, "attributes")):
            if xa[i] != xb[i]:
                return f"cabinet {name} member {member} {field}: {xa[i]:#x} / {xb[i]:#x}"
        ca_bytes = ua[xa[3]][xa[2]:xa[2] + xa[1]] if xa[3] < len(ua) else b""
        cb_bytes = ub[xb[3]][xb[2]:xb[2] + xb[1]] if xb[3] < len(ub) else b""
        if ca_bytes != cb_bytes:
            return f"cabinet {name} member {member} content (first difference at byte {first_diff(ca_bytes, cb_bytes):#x})"
    return f"cabinet {name} framing (members are the same)"


def diff_msi(path_a, path_b):
    path_a, path_b = os.path.abspath(path_a), os.path.abspath(path_b)
    try:
        with open(path_a, "rb") as fa, open(path_b, "rb") as fb:
            if fa.read() == fb.read():
                return "same"
    except OSError as e:
        raise Unreadable(str(e))
    sa, sb = summary(path_a), summary(path_b)
    # The package code follows from everything else: a cause only when nothing else differs.
    for key in sorted(set(sa) | set(sb)):
        if key != "uuid" and sa.get(key) != sb.get(key):
            return f"MSI summary stream {key}: {sa.get(key)!r} / {sb.get(key)!r}"
    ta = msiinfo("tables", path_a).decode().split()
    tb = msiinfo("tables", path_b).decode().split()
    if sorted(ta) != sorted(tb):
        return f"table list: {sorted(set(ta) ^ set(tb))}"
    for table in sorted(ta):
        if table == "_SummaryInformation":
            continue
        xa, xb = msiinfo("export", path_a, table), msiinfo("export", path_b, table)
        if xa != xb:
            la, lb = xa.decode(errors="replace").splitlines(), xb.decode(errors="replace").splitlines()
            for i, (ra, rb) in enumerate(zip(la, lb)):
                if ra != rb:
                    return f"table {table}, row {i - 2}: {ra!r} / {rb!r}"
            return f"table {table}: {len(la) - 3} / {len(lb) - 3} rows"
    streams_a = [s for s in msiinfo("streams", path_a).decode().splitlines() if s not in SIGNATURE_STREAMS]
    streams_b = [s for s in msiinfo("streams", path_b).decode().splitlines() if s not in SIGNATURE_STREAMS]
    if sorted(streams_a) != sorted(streams_b):
        return f"stream list: {sorted(set(streams_a) ^ set(streams_b))}"
    for stream in sorted(streams_a):
        if stream.startswith("\x05"):
            continue
        xa, xb = msiinfo("extract", path_a, stream), msiinfo("extract", path_b, stream)
        if xa != xb:
            if xa[:4] == b"MSCF":
                return diff_cabinet(stream, xa, xb)
            return f"stream {stream} (first difference at byte {first_diff(xa, xb):#x})"
    if sa.get("uuid") != sb.get("uuid"):
        return f"MSI summary stream uuid (package code) alone: {sa.get('uuid')!r} / {sb.get('uuid')!r}"
    return "same in summary, tables and streams (the difference is in the file's layout)"


def table_rows(path, table):
    """A table's rows as lists of column texts (msiinfo export, without its three header lines)."""
    return [line.split("\t") for line in msiinfo("export", path, table).decode().splitlines()[3:]]


def package_images(path, out_dir):
    path = os.path.abspath(path)
    found = []
    long_names = {row[0]: row[2].split("|")[-1] for row in table_rows(path, "File")}
    streams = msiinfo("streams", path).decode().splitlines()
    cabinets = [row[3][1:] for row in table_rows(path, "Media") if len(row) > 3 and row[3].startswith("#")]
    for cab in cabinets:
        parsed = cabinet(msiinfo("extract", path, cab))
        if parsed is None:
            raise Unreadable(f"{path}: cabinet {cab} is not one this script can read")
        members, unpacked = parsed
        for name, size, offset, folder, *_ in members:
            data = unpacked[folder][offset:offset + size] if folder < len(unpacked) else b""
            if data[:2] == b"MZ":
                found.append((f"cabinet:{name}", f"{long_names.get(name, name)} (cabinet {cab}, file {name})", data))
    for stream in streams:
        if stream.startswith("Binary."):
            data = msiinfo("extract", path, stream)
            if data[:2] == b"MZ":
                name = stream[len("Binary."):]
                found.append((f"binary:{name}", f"{name} (Binary table)", data))
    lines = []
    for ident, label, data in found:
        out = os.path.join(out_dir, ident.replace(":", "-"))
        with open(out, "wb") as f:
            f.write(data)
        lines.append(f"{ident}\t{label}\t{out}")
    return "\n".join(lines)


def diff_text(path_a, path_b):
    try:
        with open(path_a, "rb") as f:
            la = f.read().splitlines()
        with open(path_b, "rb") as f:
            lb = f.read().splitlines()
    except OSError as e:
        raise Unreadable(str(e))
    for i, (ra, rb) in enumerate(zip(la, lb), 1):
        if ra != rb:
            return f"line {i}: {ra.decode(errors='replace')!r} / {rb.decode(errors='replace')!r}"
    return "same" if len(la) == len(lb) else f"line count: {len(la)} / {len(lb)}"


COMMANDS = {"pe": diff_pe, "msi": diff_msi, "text": diff_text, "images": package_images}


def main(argv):
    if len(argv) != 4 or argv[1] not in COMMANDS:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    try:
        print(COMMANDS[argv[1]](argv[2], argv[3]))
    except Unreadable as e:
        print(f"repro_diff: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
