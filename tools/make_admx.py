#!/usr/bin/python3
"""Build Keyvane's Group Policy administrative template.

Usage: make_admx.py OUTPUT_DIR VERSION KEY FILE_VALUE PARAMETERS_VALUE VALUE_BYTES

Writes OUTPUT_DIR/Keyvane.admx and OUTPUT_DIR/en-US/Keyvane.adml. The key,
value names and buffer size come from src/hotkey/launch_config.h (through
CMake), so that the template sets exactly what the agent reads. VERSION is
the product version; its first two fields are the template's revision.
"""

import os
import sys
import xml.etree.ElementTree as ET

GP_NS = "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"
NAMESPACE = "Marvek.Policies.Keyvane"
PREFIX = "keyvane"
CATEGORY = "Keyvane"
SUPPORTED = "SUPPORTED_Keyvane_1_0"
POLICY = "LaunchApplication"

STRINGS = {
    CATEGORY: "Keyvane",
    SUPPORTED: "Keyvane 1.0 or later, on 64-bit Windows",
    POLICY: "Application started by the shortcut key",
    POLICY + "_Explain": """\
Sets the program that the keyboard's shortcut key starts, and the parameters passed to it.

Program: the full path of a program, for example C:\\Tools\\app.exe. Parameters: its command line, which may be left empty. Write the full path without environment variables such as %ProgramFiles%: whether they are expanded, and from whose environment, is outside the administrator's control. Each holds at most {max_length} characters. Keyvane reads them at every press, so a change takes effect at the next press.

If you enable this policy setting, the shortcut key starts this program with these parameters. If the program cannot be started, it starts System Information (msinfo32.exe) instead.

If you disable this policy setting, both values are removed and the shortcut key starts System Information.

If you do not configure this policy setting, Group Policy leaves the values as they are. The values lie outside Software\\Policies, so this setting is a preference: setting it back to Not Configured, or removing the Group Policy Object, leaves the last values in place ("tattooing"). To remove them, set the policy to Disabled and let it apply first.

The installer properties SHORTCUT_FILE and SHORTCUT_PARAMETERS write the same two values, and whichever writes last wins. Group Policy writes them again whenever it applies this setting: after the Group Policy Object changes, and at every refresh if "Configure registry policy processing" is set to process unchanged policies.""",
}
LABELS = {"File": "Program (full path):", "Parameters": "Parameters:"}


def el(parent, tag, **attrs):
    return ET.SubElement(parent, f"{{{GP_NS}}}{tag}", attrs)


def root(tag, revision):
    return ET.Element(f"{{{GP_NS}}}{tag}", {"revision": revision, "schemaVersion": "1.0"})


def admx(revision, key, names, max_length):
    doc = root("policyDefinitions", revision)
    spaces = el(doc, "policyNamespaces")
    el(spaces, "target", prefix=PREFIX, namespace=NAMESPACE)
    el(doc, "resources", minRequiredRevision=revision)
    definitions = el(el(doc, "supportedOn"), "definitions")
    el(definitions, "definition", name=SUPPORTED, displayName=f"$(string.{SUPPORTED})")
    el(el(doc, "categories"), "category", name=CATEGORY, displayName=f"$(string.{CATEGORY})")

    policy = el(el(doc, "policies"), "policy", name=POLICY, **{"class": "Machine"},
                displayName=f"$(string.{POLICY})", explainText=f"$(string.{POLICY}_Explain)",
                presentation=f"$(presentation.{POLICY})", key=key)
    el(policy, "parentCategory", ref=CATEGORY)
    el(policy, "supportedOn", ref=SUPPORTED)
    # The schema fixes the order of a policy's children: disabledList comes before elements.
    disabled = el(policy, "disabledList")
    for value_name in names.values():
        item = el(disabled, "item", key=key, valueName=value_name)
        el(el(item, "value"), "delete")
    elements = el(policy, "elements")
    for element_id, value_name in names.items():
        attrs = {"id": element_id, "valueName": value_name, "maxLength": str(max_length)}
        # Without a program there is nothing to start; parameters may well be empty.
        if element_id == "File":
            attrs["required"] = "true"
        el(elements, "text", **attrs)
    return doc


def adml(revision, names, max_length):
    doc = root("policyDefinitionResources", revision)
    el(doc, "displayName").text = "Keyvane"
    el(doc, "description").text = "Launch settings of the Keyvane agent"
    resources = el(doc, "resources")
    table = el(resources, "stringTable")
    for string_id, text in STRINGS.items():
        el(table, "string", id=string_id).text = text.format(max_length=max_length)
    presentation = el(el(resources, "presentationTable"), "presentation", id=POLICY)
    for element_id in names:
        el(el(presentation, "textBox", refId=element_id), "label").text = LABELS[element_id]
    return doc


def write(doc, path):
    ET.indent(doc)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="utf-8"?>\n')
        f.write(ET.tostring(doc, encoding="unicode") + "\n")


def main(argv):
    if len(argv) != 7:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    out_dir, version, key, file_value, parameters_value, value_bytes = argv[1:]
    fields = version.split(".")
    if len(fields) < 2 or not all(f.isdigit() for f in fields[:2]):
        print(f"make_admx.py: version {version!r} is not numeric", file=sys.stderr)
        return 2
    if not value_bytes.isdigit() or int(value_bytes) < 2:
        print(f"make_admx.py: value size {value_bytes!r} is not a buffer size", file=sys.stderr)
        return 2
    revision = f"{int(fields[0])}.{int(fields[1])}"
    # The agent's buffers hold the terminating zero as well.
    max_length = int(value_bytes) - 1
    names = {"File": file_value, "Parameters": parameters_value}
    ET.register_namespace("", GP_NS)
    write(admx(revision, key, names, max_length), os.path.join(out_dir, "Keyvane.admx"))
    write(adml(revision, names, max_length), os.path.join(out_dir, "en-US", "Keyvane.adml"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
