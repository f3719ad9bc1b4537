#!/usr/bin/python3
"""Make a package that wixl wrote depend on its inputs alone; run after the last table edit.

  msi_finish.py PACKAGE EPOCH NAMESPACE

wixl writes the current time into the summary stream and a random package code. This sets
both dates to EPOCH (unix seconds) and the package code to a name-based UUID in NAMESPACE
(the upgrade code) from the SHA-256 of the package as it is with a zero package code: one
content, one package code. The package is changed in place.
"""

import hashlib
import sys
import uuid

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

# FILETIME counts 100 ns from 1601-01-01; unix time counts seconds from 1970-01-01.
FILETIME_UNIX_OFFSET = 11644473600
# Enough slots for the properties that are set here.
SUMMARY_UPDATES = 5
ZERO_CODE = "{00000000-0000-0000-0000-000000000000}"


def set_summary(path, filetime, package_code):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    si = Libmsi.SummaryInfo.new(db, SUMMARY_UPDATES)
    for prop in (Libmsi.Property.CREATED_TM, Libmsi.Property.LASTSAVED_TM):
        si.set_filetime(prop, filetime)
    si.set_string(Libmsi.Property.UUID, package_code)
    si.save(db)
    db.commit()


def read_summary(path):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.READONLY, None)
    si = Libmsi.SummaryInfo.new(db, 0)
    return (si.get_filetime(Libmsi.Property.CREATED_TM), si.get_filetime(Libmsi.Property.LASTSAVED_TM),
            si.get_string(Libmsi.Property.UUID))


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    path, epoch, namespace = argv[1:]
    try:
        seconds = int(epoch)
        namespace = uuid.UUID(namespace)
    except ValueError:
        print(f"msi_finish.py: need a unix time and a UUID, not {epoch!r} and {namespace!r}", file=sys.stderr)
        return 2
    filetime = (seconds + FILETIME_UNIX_OFFSET) * 10_000_000
    try:
        set_summary(path, filetime, ZERO_CODE)
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        code = "{" + str(uuid.uuid5(namespace, "sha256:" + digest)).upper() + "}"
        set_summary(path, filetime, code)
        # libmsi reports some failures only as a warning: read back what the package now says.
        got = read_summary(path)
    except (OSError, gi.repository.GLib.Error) as e:
        print(f"msi_finish.py: {path}: {e}", file=sys.stderr)
        return 1
    if got != (filetime, filetime, code):
        print(f"msi_finish.py: {path}: summary reads {got} after writing {(filetime, filetime, code)}",
              file=sys.stderr)
        return 1
    print(f"{path}: dates {seconds}, package code {code}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
