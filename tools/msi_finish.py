#!/usr/bin/python3
"""Make a package that wixl wrote depend on its inputs alone; run after the last table edit.

  msi_finish.py PACKAGE EPOCH NAMESPACE [--origin COMMIT WORK_TREE EPOCH_SOURCE]

With --origin (as CMake says them: a commit id, "clean" or another state, and where EPOCH came
from), the Property table names what the package was built from, for tools/verify-release.sh:
KeyvaneCommit; KeyvaneWorkTree ("modified") only when the tree was not clean; KeyvaneSourceDateEpoch only when
EPOCH came from the environment (a rebuild finds the commit's time by itself). wixl writes the current time into the summary stream and a random package code. This sets
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


ORIGIN_PROPERTIES = ("KeyvaneCommit", "KeyvaneWorkTree", "KeyvaneSourceDateEpoch")


def origin_rows(commit, tree, epoch, epoch_source):
    rows = {"KeyvaneCommit": commit}
    if tree != "clean":
        rows["KeyvaneWorkTree"] = "modified"
    if epoch_source == "from the environment":
        rows["KeyvaneSourceDateEpoch"] = epoch
    return rows


def sql_text(value):
    # libmsi's SQL has no escape for a quote inside a string.
    if "'" in value:
        raise ValueError(f"a quote in {value!r}")
    return "'" + value + "'"


def set_origin(path, rows):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    statements = [f"DELETE FROM `Property` WHERE `Property` = {sql_text(name)}" for name in ORIGIN_PROPERTIES]
    statements += [f"INSERT INTO `Property` (`Property`, `Value`) VALUES ({sql_text(k)}, {sql_text(v)})"
                   for k, v in rows.items()]
    for sql in statements:
        query = Libmsi.Query.new(db, sql)
        query.execute(None)
        query.close()
    db.commit()


def read_origin(path):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.READONLY, None)
    query = Libmsi.Query.new(db, "SELECT `Property`, `Value` FROM `Property`")
    query.execute(None)
    found = {}
    while True:
        try:
            record = query.fetch()
        except gi.repository.GLib.Error:
            break
        if record is None:
            break
        if record.get_string(1) in ORIGIN_PROPERTIES:
            found[record.get_string(1)] = record.get_string(2)
    query.close()
    return found


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
    origin = None
    if len(argv) == 8 and argv[4] == "--origin":
        origin = argv[5:]
    elif len(argv) != 4:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    path, epoch, namespace = argv[1:4]
    try:
        seconds = int(epoch)
        namespace = uuid.UUID(namespace)
    except ValueError:
        print(f"msi_finish.py: need a unix time and a UUID, not {epoch!r} and {namespace!r}", file=sys.stderr)
        return 2
    filetime = (seconds + FILETIME_UNIX_OFFSET) * 10_000_000
    rows = origin_rows(origin[0], origin[1], str(seconds), origin[2]) if origin else {}
    try:
        # Written only when the package does not say it yet: a delete and insert of the same rows
        # can move libmsi's string pool, and finishing again must leave the same file.
        if origin and read_origin(path) != rows:
            set_origin(path, rows)
        set_summary(path, filetime, ZERO_CODE)
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        code = "{" + str(uuid.uuid5(namespace, "sha256:" + digest)).upper() + "}"
        set_summary(path, filetime, code)
        # libmsi reports some failures only as a warning: read back what the package now says.
        got = read_summary(path)
        got_origin = read_origin(path) if origin else {}
    except (OSError, ValueError, gi.repository.GLib.Error) as e:
        print(f"msi_finish.py: {path}: {e}", file=sys.stderr)
        return 1
    if got != (filetime, filetime, code):
        print(f"msi_finish.py: {path}: summary reads {got} after writing {(filetime, filetime, code)}",
              file=sys.stderr)
        return 1
    if got_origin != rows:
        print(f"msi_finish.py: {path}: Property table reads {got_origin} after writing {rows}", file=sys.stderr)
        return 1
    print(f"{path}: dates {seconds}, package code {code}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
