#!/usr/bin/python3
"""Checks of the package's finishing step and of the rebuild check's naming of differences,
on copies of this build's own files (no second build).

  check_repro_tools.py SIGNED_EXE UNSIGNED_EXE UNSIGNED_DLL UNSIGNED_MSI UPGRADE_CODE
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = sys.executable


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout.strip()


def repro_diff(kind, a, b):
    return run(PYTHON, os.path.join(HERE, "repro_diff.py"), kind, a, b)


def finish(path, epoch, upgrade_code):
    run(PYTHON, os.path.join(HERE, "msi_finish.py"), path, str(epoch), upgrade_code)


def patched(src, dst, edit):
    data = bytearray(open(src, "rb").read())
    edit(pefile.PE(data=bytes(data)), data)
    with open(dst, "wb") as f:
        f.write(data)
    return dst


def put32(data, offset, value):
    data[offset:offset + 4] = struct.pack("<I", value)


def first_resource_data(pe):
    pe.parse_data_directories()
    entry = pe.DIRECTORY_ENTRY_RESOURCE.entries[0]
    while hasattr(entry, "directory"):
        entry = entry.directory.entries[0]
    return pe.get_offset_from_rva(entry.data.struct.OffsetToData)


def main(argv):
    if len(argv) != 6:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    signed_exe, exe, dll, msi, upgrade_code = argv[1:]
    failures = 0
    work = tempfile.mkdtemp(prefix="keyvane-repro-check.")
    try:
        def p(name):
            return os.path.join(work, name)

        def flip(offset):
            def edit(pe, data):
                data[offset(pe)] ^= 1
            return edit

        # (what, kind, a, b, expected start of the answer)
        cases = [
            ("an image against itself", "pe", exe, exe, "same"),
            ("the signed image against its unsigned one", "pe", signed_exe, exe, "same"),
            ("checksum only", "pe", exe,
             patched(exe, p("sum.exe"), lambda pe, d: put32(d, pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"), 1)),
             "same"),
            ("link time", "pe", exe,
             patched(exe, p("time.exe"), lambda pe, d: put32(d, pe.FILE_HEADER.get_field_absolute_offset("TimeDateStamp"), 1)),
             "PE header time stamp"),
            ("export directory time", "pe", dll,
             patched(dll, p("export.dll"), lambda pe, d: (pe.parse_data_directories(), put32(
                 d, pe.DIRECTORY_ENTRY_EXPORT.struct.get_field_absolute_offset("TimeDateStamp"), 1))),
             "export directory TimeDateStamp"),
            ("a resource's data", "pe", exe, patched(exe, p("rsrc.exe"), flip(first_resource_data)), "resource "),
            ("code", "pe", exe,
             patched(exe, p("code.exe"), flip(lambda pe: pe.sections[0].PointerToRawData + 16)), "section .text"),
        ]

        # The finishing step: one content, one file; another time or content, another package code.
        a, b, later, edited = p("a.msi"), p("b.msi"), p("later.msi"), p("edited.msi")
        for path in (a, b, later, edited):
            shutil.copy(msi, path)
        run("msibuild", edited, "-q", "UPDATE Property SET Value='0' WHERE Property='ARPNOMODIFY'")
        finish(a, 1700000000, upgrade_code)
        finish(a, 1700000000, upgrade_code)  # again: the result must not depend on the code it had
        finish(b, 1700000000, upgrade_code)
        finish(later, 1700000002, upgrade_code)
        finish(edited, 1700000000, upgrade_code)
        with open(a, "rb") as fa, open(b, "rb") as fb:
            if fa.read() != fb.read():
                print("FAIL msi_finish: two finished copies of one package differ")
                failures += 1
        codes = {path: run("msiinfo", "suminfo", path) for path in (a, later, edited)}
        code_lines = {path: [l for l in text.splitlines() if l.startswith("Revision number")] for path, text in codes.items()}
        if len({tuple(v) for v in code_lines.values()}) != 3:
            print(f"FAIL msi_finish: package codes are not all different: {code_lines}")
            failures += 1

        # The package names its origin; finished again it stays the same file, and another
        # commit makes another package code.
        origin = ("0123abcd" * 5, "clean", "from the environment")
        o1, o2, o3 = p("o1.msi"), p("o2.msi"), p("o3.msi")
        for path, commit in ((o1, origin[0]), (o1, origin[0]), (o2, origin[0]), (o3, "ffff")):
            if not os.path.exists(path):
                shutil.copy(msi, path)
            run(PYTHON, os.path.join(HERE, "msi_finish.py"), path, "1700000000", upgrade_code,
                "--origin", commit, *origin[1:])
        with tempfile.TemporaryDirectory() as scratch:
            rows = subprocess.run(["msiinfo", "export", o1, "Property"], check=True, capture_output=True,
                                  text=True, cwd=scratch).stdout.splitlines()
        got = sorted(r for r in rows if r.startswith(("KeyvaneCommit", "KeyvaneSourceDate", "KeyvaneWorkTree")))
        want = [f"KeyvaneCommit\t{origin[0]}", "KeyvaneSourceDateEpoch\t1700000000"]
        if got != want:
            print(f"FAIL msi_finish --origin: Property rows {got}, expected {want}")
            failures += 1
        if open(o1, "rb").read() != open(o2, "rb").read():
            print("FAIL msi_finish --origin: one origin, two contents")
            failures += 1
        if repro_diff("msi", o1, o3).find("table Property") < 0:
            print(f"FAIL msi_finish --origin: another commit: {repro_diff('msi', o1, o3)}")
            failures += 1

        # A cabinet member's time, changed in the cabinet's own file entry.
        cab = p("keyvane.cab")
        with open(cab, "wb") as f:
            f.write(subprocess.run(["msiinfo", "extract", a, "keyvane.cab"], check=True,
                                   capture_output=True).stdout)
        data = bytearray(open(cab, "rb").read())
        first_file = struct.unpack_from("<I", data, 16)[0]
        put32(data, first_file + 10, struct.unpack_from("<I", data, first_file + 10)[0] ^ 0x10000)
        with open(cab, "wb") as f:
            f.write(data)
        cabbed = p("cab.msi")
        shutil.copy(a, cabbed)
        run("msibuild", cabbed, "-a", "keyvane.cab", cab)

        cases += [
            ("a package against itself", "msi", a, b, "same"),
            ("another build time", "msi", a, later, "MSI summary stream created-tm"),
            ("a table edit", "msi", a, edited, "table Property"),
            ("a cabinet member's time", "msi", a, cabbed, "cabinet keyvane.cab member"),
            ("text", "text", os.path.join(HERE, "msi_finish.py"), os.path.join(HERE, "repro_diff.py"), "line "),
        ]
        for what, kind, x, y, expected in cases:
            got = repro_diff(kind, x, y)
            ok = got.startswith(expected)
            failures += not ok
            print(f"{'ok  ' if ok else 'FAIL'} {what}: {got}" + ("" if ok else f" (expected {expected!r}...)"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
