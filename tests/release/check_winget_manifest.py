#!/usr/bin/python3
"""tools/winget-manifest.sh on this build's package: the fields against the package's own tables,
and the three files against the rules of winget's manifest schemas 1.10.0 (required fields,
patterns, enumerations, lengths); the rules themselves are shown to catch broken manifests.

  check_winget_manifest.py PACKAGE UNSIGNED_PACKAGE CERT_DIR WORK_DIR

CERT_DIR is the build's development signing folder: an edited copy of the package is signed there.
"""

import copy
import hashlib
import os
import re
import shutil
import subprocess
import sys

import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(ROOT, "tools", "winget-manifest.sh")
ID = "Marvek.Keyvane"
URL = "https://downloads.example.invalid/keyvane/1/Keyvane.msi"
NOTES = "https://downloads.example.invalid/keyvane/1/notes.html"

# From the 1.10.0 schemas (version, installer, defaultLocale).
ID_SEGMENT = r'[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}'
PATTERNS = {
    "PackageIdentifier": re.compile(rf"^{ID_SEGMENT}(\.{ID_SEGMENT}){{1,7}}$"),
    "PackageVersion": re.compile(r'^[^\\/:\*\?"<>\|\x01-\x1f]+$'),
    "Locale": re.compile(r"^([a-zA-Z]{2,3}|[iI]-[a-zA-Z]+|[xX]-[a-zA-Z]{1,8})(-[a-zA-Z]{1,8})*$"),
    "ManifestVersion": re.compile(r"^(0|[1-9][0-9]{0,4})(\.(0|[1-9][0-9]{0,4})){2}$"),
    "Url": re.compile(r"^([Hh][Tt][Tt][Pp][Ss]?)://.+$"),
    "Sha256": re.compile(r"^[A-Fa-f0-9]{64}$"),
}
RETURN_RESPONSES = {
    "packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse", "missingDependency",
    "diskFull", "insufficientMemory", "invalidParameter", "noNetwork", "contactSupport",
    "rebootRequiredToFinish", "rebootRequiredForInstall", "rebootInitiated", "cancelledByUser",
    "alreadyInstalled", "downgrade", "blockedByPolicy", "systemNotSupported", "custom"}
INSTALLER_TYPES = {"msix", "msi", "appx", "exe", "zip", "inno", "nullsoft", "wix", "burn", "pwa", "portable",
                   "advinstExe", "advinstMsi"}
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType", "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType", "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher", "PackageName",
                      "License", "ShortDescription", "ManifestType", "ManifestVersion"],
}
# (key, minimum length, maximum length) of the defaultLocale strings used here.
LENGTHS = [("Publisher", 2, 256), ("PackageName", 2, 256), ("License", 3, 512), ("ShortDescription", 3, 256)]
ARP_LENGTHS = [("DisplayName", 1, 256), ("Publisher", 1, 256), ("DisplayVersion", 1, 128),
               ("ProductCode", 1, 255), ("UpgradeCode", 1, 255)]


def violations(kind, m):
    """What in manifest m of this kind breaks the schema rules above."""
    bad = [f"{kind}: missing {k}" for k in REQUIRED[kind] if k not in m]
    if m.get("ManifestType") != kind:
        bad.append(f"{kind}: ManifestType {m.get('ManifestType')!r}")
    if m.get("ManifestVersion") != "1.10.0" or not PATTERNS["ManifestVersion"].match(str(m.get("ManifestVersion"))):
        bad.append(f"{kind}: ManifestVersion {m.get('ManifestVersion')!r}")
    pid = m.get("PackageIdentifier", "")
    if not isinstance(pid, str) or len(pid) > 128 or not PATTERNS["PackageIdentifier"].match(pid):
        bad.append(f"{kind}: PackageIdentifier {pid!r}")
    ver = m.get("PackageVersion", "")
    if not isinstance(ver, str) or len(ver) > 128 or not PATTERNS["PackageVersion"].match(ver):
        bad.append(f"{kind}: PackageVersion {ver!r} (must be a string)")
    for key in ("DefaultLocale", "PackageLocale"):
        if key in m and not PATTERNS["Locale"].match(str(m[key])):
            bad.append(f"{kind}: {key} {m[key]!r}")
    if kind == "installer":
        if m.get("InstallerType") not in INSTALLER_TYPES:
            bad.append(f"InstallerType {m.get('InstallerType')!r}")
        if m.get("Scope") not in (None, "user", "machine"):
            bad.append(f"Scope {m.get('Scope')!r}")
        if m.get("UpgradeBehavior") not in (None, "install", "uninstallPrevious", "deny"):
            bad.append(f"UpgradeBehavior {m.get('UpgradeBehavior')!r}")
        codes = m.get("ExpectedReturnCodes") or []
        for c in codes:
            code = c.get("InstallerReturnCode")
            if not isinstance(code, int) or code == 0 or not -2147483648 <= code <= 4294967295:
                bad.append(f"InstallerReturnCode {code!r}")
            if c.get("ReturnResponse") not in RETURN_RESPONSES:
                bad.append(f"ReturnResponse {c.get('ReturnResponse')!r}")
        for e in m.get("AppsAndFeaturesEntries") or []:
            for key, lo, hi in ARP_LENGTHS:
                if key in e and not (isinstance(e[key], str) and lo <= len(e[key]) <= hi):
                    bad.append(f"AppsAndFeaturesEntries {key} {e[key]!r}")
        installers = m.get("Installers") or []
        if not 1 <= len(installers) <= 1024:
            bad.append(f"{len(installers)} installers")
        for i in installers:
            for key in ("Architecture", "InstallerUrl", "InstallerSha256"):
                if key not in i:
                    bad.append(f"installer: missing {key}")
            if i.get("Architecture") not in ("x86", "x64", "arm", "arm64", "neutral"):
                bad.append(f"Architecture {i.get('Architecture')!r}")
            url = str(i.get("InstallerUrl", ""))
            if len(url) > 2048 or not PATTERNS["Url"].match(url):
                bad.append(f"InstallerUrl {url!r}")
            if not PATTERNS["Sha256"].match(str(i.get("InstallerSha256", ""))):
                bad.append(f"InstallerSha256 {i.get('InstallerSha256')!r}")
    if kind == "defaultLocale":
        for key, lo, hi in LENGTHS:
            if not (isinstance(m.get(key), str) and lo <= len(m[key]) <= hi):
                bad.append(f"{key} {m.get(key)!r}")
        if "ReleaseNotesUrl" in m and not PATTERNS["Url"].match(str(m["ReleaseNotesUrl"])):
            bad.append(f"ReleaseNotesUrl {m['ReleaseNotesUrl']!r}")
    return bad


def properties(package):
    out = subprocess.run(["msiinfo", "export", package, "Property"], check=True, capture_output=True,
                         text=True, cwd=os.path.dirname(package)).stdout
    return dict(line.split("\t", 1) for line in out.splitlines()[3:])


def generate(package, out, *extra):
    shutil.rmtree(out, ignore_errors=True)
    done = subprocess.run(["bash", TOOL, URL, "--package", package, "--out", out, *extra],
                          capture_output=True, text=True)
    return done


def load(out):
    manifests, heads = {}, {}
    for kind, name in (("version", f"{ID}.yaml"), ("installer", f"{ID}.installer.yaml"),
                       ("defaultLocale", f"{ID}.locale.en-US.yaml")):
        text = open(os.path.join(out, name)).read()
        heads[kind] = [line for line in text.splitlines() if line.startswith("# yaml-language-server:")]
        manifests[kind] = yaml.safe_load(text)
    return manifests, heads


def main(argv):
    if len(argv) != 5:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    package, unsigned, cert_dir, work = (os.path.abspath(a) for a in argv[1:])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    failures = []

    def check(what, ok, detail=""):
        print(f"{'ok  ' if ok else 'FAIL'} {what}{'' if ok else ': ' + str(detail)}")
        if not ok:
            failures.append(what)

    out = os.path.join(work, "winget")
    done = generate(package, out, "--release-notes-url", NOTES)
    check("the tool writes the manifest", done.returncode == 0, done.stderr)
    if done.returncode != 0:
        return 1
    m, heads = load(out)
    for kind, manifest in m.items():
        bad = violations(kind, manifest)
        check(f"{kind} manifest follows the 1.10.0 rules", not bad, bad)
        want = f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}.1.10.0.schema.json"
        check(f"{kind} manifest names its schema", heads[kind] == [want], heads[kind])

    p = properties(package)
    inst, loc = m["installer"], m["defaultLocale"]
    arp = (inst.get("AppsAndFeaturesEntries") or [{}])[0]
    expected = [
        ("PackageIdentifier", {x["PackageIdentifier"] for x in m.values()}, {ID}),
        ("PackageVersion = ProductVersion", {x["PackageVersion"] for x in m.values()}, {p["ProductVersion"]}),
        ("InstallerType, Scope", (inst.get("InstallerType"), inst.get("Scope")), ("msi", "machine")),
        ("Architecture", [i.get("Architecture") for i in inst["Installers"]], ["x64"]),
        ("InstallerUrl", inst["Installers"][0].get("InstallerUrl"), URL),
        ("InstallerSha256", inst["Installers"][0].get("InstallerSha256", "").lower(),
         hashlib.sha256(open(package, "rb").read()).hexdigest()),
        ("ProductCode", inst.get("ProductCode"), p["ProductCode"]),
        ("AppsAndFeaturesEntries", arp, {"DisplayName": p["ProductName"], "Publisher": p["Manufacturer"],
                                         "DisplayVersion": p["ProductVersion"], "ProductCode": p["ProductCode"],
                                         "UpgradeCode": p["UpgradeCode"]}),
        ("ExpectedReturnCodes", {c["InstallerReturnCode"]: c["ReturnResponse"] for c in inst["ExpectedReturnCodes"]},
         {1603: "downgrade", 1618: "installInProgress", 3010: "rebootRequiredToFinish"}),
        ("Publisher, PackageName", (loc.get("Publisher"), loc.get("PackageName")), (p["Manufacturer"], p["ProductName"])),
        ("ReleaseNotesUrl", loc.get("ReleaseNotesUrl"), NOTES),
    ]
    for what, got, want in expected:
        check(f"field {what}", got == want, f"{got!r}, expected {want!r}")

    # The values come from the package that is given, not from the build's settings.
    edited = os.path.join(work, "edited.msi")
    shutil.copy(unsigned, os.path.join(work, "edited-unsigned.msi"))
    subprocess.run(["msibuild", os.path.join(work, "edited-unsigned.msi"),
                    "-q", "UPDATE Property SET Value='7.8.9.10' WHERE Property='ProductVersion'",
                    "-q", "UPDATE Property SET Value='Another Publisher' WHERE Property='Manufacturer'"], check=True)
    development = {k: v for k, v in os.environ.items()
                   if not k.startswith("KEYVANE_SIGN_") and k != "KEYVANE_TIMESTAMP_URL"}
    subprocess.run(["bash", os.path.join(ROOT, "tools", "sign.sh"), os.path.join(work, "edited-unsigned.msi"), edited,
                    cert_dir], check=True, capture_output=True, env=development)
    done = generate(edited, os.path.join(work, "edited"))
    if done.returncode == 0:
        e, _ = load(os.path.join(work, "edited"))
        arp = e["installer"]["AppsAndFeaturesEntries"][0]
        check("an edited package's own version and publisher",
              (e["version"]["PackageVersion"], arp["DisplayVersion"], e["defaultLocale"]["Publisher"])
              == ("7.8.9.10", "7.8.9.10", "Another Publisher"), (e["version"], arp))
    else:
        check("an edited package's own version and publisher", False, done.stderr)

    # Refusals: each must fail and write nothing.
    per_user = os.path.join(work, "per-user.msi")
    shutil.copy(package, per_user)
    subprocess.run(["msibuild", per_user, "-q", "DELETE FROM Property WHERE Property='ALLUSERS'"], check=True)
    for what, pkg, args, reason in [("an unsigned package", unsigned, [], "not signed"),
                                    ("a per-user package", per_user, [], "per machine"),
                                    ("a release notes URL that is none", package, ["--release-notes-url", "notes.html"],
                                     "--release-notes-url")]:
        done = generate(pkg, os.path.join(work, "refused"), *args)
        check(f"refuses {what}", done.returncode != 0 and reason in done.stderr
              and not os.path.exists(os.path.join(work, "refused")), done.stderr or "it wrote a manifest")
    done = subprocess.run(["bash", TOOL, "ftp://host/Keyvane.msi", "--package", package, "--out",
                           os.path.join(work, "refused")], capture_output=True, text=True)
    check("refuses an installer URL that is not http(s)", done.returncode != 0, done.stderr)

    # The rules catch what winget would refuse.
    broken = [
        ("installer", lambda x: x.__setitem__("PackageIdentifier", "Keyvane"), "PackageIdentifier"),
        ("installer", lambda x: x["ExpectedReturnCodes"][0].__setitem__("ReturnResponse", "laterInstalled"),
         "ReturnResponse"),
        ("installer", lambda x: x["ExpectedReturnCodes"][0].__setitem__("InstallerReturnCode", 0), "InstallerReturnCode"),
        ("installer", lambda x: x["Installers"][0].__setitem__("InstallerSha256", "ab" * 31), "InstallerSha256"),
        ("installer", lambda x: x["Installers"][0].pop("Architecture"), "missing Architecture"),
        ("installer", lambda x: x.__setitem__("Scope", "system"), "Scope"),
        ("version", lambda x: x.__setitem__("PackageVersion", 1.0), "PackageVersion"),
        ("version", lambda x: x.__setitem__("ManifestVersion", "1.10"), "ManifestVersion"),
        ("defaultLocale", lambda x: x.pop("License"), "missing License"),
        ("defaultLocale", lambda x: x.__setitem__("ReleaseNotesUrl", "www.example.invalid"), "ReleaseNotesUrl"),
    ]
    for kind, breaker, expect in broken:
        x = copy.deepcopy(m[kind])
        breaker(x)
        bad = violations(kind, x)
        check(f"the rules catch {expect} in a {kind} manifest", any(expect in b for b in bad), bad)

    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
