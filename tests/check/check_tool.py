#!/usr/bin/python3
"""KeyvaneCheck.exe --json as a fleet tool reads it, parsed by Python's json.

  check_tool.py WINE_RUN KEYVANECHECK VERSION CONFIG_KEY MSI

Runs the signed tool under Wine: with a launch configuration whose Parameters hold a quote, a
backslash and a cp1252 byte, with none, and with the package installed and removed again (so this
runs alone, as the installer tests do). Prints one line per check, then the counts.
"""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import expect, run_checks  # noqa: E402

wine_run, tool, version, config_key, msi = sys.argv[1:6]

IDS = ["installed", "run-at-logon", "signature", "secure-folder", "agent", "ui-access", "keyboards",
       "launch", "config-access", "pending-restart", "predecessor"]
PARAMETERS = 'say "hi" C:\\d\\\u00e9'
PROGRAM = "C:\\windows\\system32\\notepad.exe"


def wine(*args):
    return subprocess.run([wine_run, *args], capture_output=True, timeout=120)


def reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def configure():
    # A .reg file in UTF-16, as regedit writes them: no command line re-quotes the value on the way.
    text = ("Windows Registry Editor Version 5.00\r\n\r\n"
            f"[HKEY_LOCAL_MACHINE\\{config_key}]\r\n"
            f'"File"={reg_string(PROGRAM)}\r\n"Parameters"={reg_string(PARAMETERS)}\r\n')
    with tempfile.NamedTemporaryFile("wb", suffix=".reg", delete=False) as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    try:
        result = wine("reg", "import", "Z:" + f.name.replace("/", "\\"))
        expect(result.returncode == 0, f"reg import: {result.returncode} {result.stdout!r}")
    finally:
        os.unlink(f.name)


def unconfigure():
    wine("reg", "delete", f"HKLM\\{config_key}", "/f")


def report():
    result = wine(tool, "--json")
    # wine-run.sh hands on stdout and stderr together: the whole output must be the one object.
    document = json.loads(result.stdout.decode("utf-8"))
    return result.returncode, document


def by_id(document):
    return {check["id"]: check for check in document["checks"]}


def check_document():
    unconfigure()
    code, document = report()
    expect(document["product"] == "Keyvane" and document["version"] == version,
           f"product {document['product']!r} version {document['version']!r}")
    ids = [check["id"] for check in document["checks"]]
    expect(ids == IDS, f"checks {ids}")
    statuses = [check["status"] for check in document["checks"]]
    expect(set(statuses) <= {"ok", "problem", "note"}, f"statuses {statuses}")
    problems = statuses.count("problem")
    expect(document["problems"] == problems, f"problems {document['problems']}, counted {problems}")
    expect(code == (1 if problems else 0), f"exit code {code} with {problems} problems")
    for check in document["checks"]:
        expect(isinstance(check["summary"], str) and check["summary"], f"{check['id']}: no summary")
        expect(isinstance(check["action"], str), f"{check['id']}: no action")
    # The fields the README promises fleet scripts, beside id, status, summary and action.
    promised = {"installed": ("product_code", "version", "folder"), "run-at-logon": ("command",),
                "keyboards": ("devices",),
                "launch": ("file", "parameters", "uses", "reason", "file_unicode", "parameters_unicode")}
    for check_id, fields in promised.items():
        missing = [f for f in fields if f not in by_id(document)[check_id]]
        expect(not missing, f"{check_id}: no field {missing}")
    devices = by_id(document)["keyboards"]["devices"]
    expect(isinstance(devices, list), f"devices {devices!r}")
    launch = by_id(document)["launch"]
    expect(launch["uses"] == "fallback" and launch["status"] == "note", f"launch without configuration {launch}")
    expect(launch["file"].lower().endswith("\\msinfo32.exe"), f"fallback {launch['file']!r}")
    return f"{len(ids)} checks in order, {problems} problems, exit code {code}"


def check_launch_text():
    configure()
    try:
        code, document = report()
    finally:
        unconfigure()
    launch = by_id(document)["launch"]
    expect(launch["parameters"] == PARAMETERS, f"parameters {launch['parameters']!r}")
    expect(launch["file"].lower() == PROGRAM.lower() and launch["uses"] == "configured", f"launch {launch}")
    expect(launch["status"] == "ok", f"status {launch['status']}: {launch['reason']}")
    return f"parameters {launch['parameters']!r} came back as written"


def check_usage():
    for args, code in ((["--help"], 0), (["--nonsense"], 2), (["--watch", "0"], 2)):
        result = wine(tool, *args)
        expect(result.returncode == code, f"{args}: exit code {result.returncode}, expected {code}")
        expect(b"usage: KeyvaneCheck.exe" in result.stdout, f"{args}: no usage in {result.stdout!r}")
    return "--help 0, a wrong option or number 2, each with the usage"


def check_installed():
    result = wine("msiexec", "/i", msi, "/qn")
    expect(result.returncode == 0, f"msiexec /i: {result.returncode}")
    try:
        _, document = report()
    finally:
        removed = wine("msiexec", "/x", msi, "/qn")
    checks = by_id(document)
    installed = checks["installed"]
    expect(installed["status"] == "ok" and installed["version"] == version, f"installed {installed}")
    expect(installed["product_code"].startswith("{"), f"product code {installed['product_code']!r}")
    run = checks["run-at-logon"]
    agent = installed["folder"] + "\\Keyvane.exe"
    expect(run["status"] == "ok" and run["command"] == f'"{agent}"', f"run-at-logon {run}")
    for check in ("signature", "secure-folder"):
        expect(checks[check]["path"] == agent, f"{check} looks at {checks[check]['path']!r}, not {agent!r}")
    expect(checks["secure-folder"]["status"] == "ok", f"secure-folder {checks['secure-folder']}")
    expect(removed.returncode == 0, f"msiexec /x: {removed.returncode}")
    _, document = report()
    after = by_id(document)["installed"]
    expect(after["status"] == "note" and after["folder"] is None, f"after removal {after}")
    return f"found {installed['version']} in {installed['folder']}, and nothing once removed"


sys.exit(run_checks([
    ("installed package", check_installed),
    ("document", check_document),
    ("cp1252 text as UTF-8", check_launch_text),
    ("usage", check_usage),
]))
