#!/usr/bin/python3
"""Checks on the Group Policy administrative template.

  check_policy.py ADMX ADML LAUNCH_CONFIG_H

No ADMX schema validator runs here, so this checks what the editor and the
agent depend on: both files parse, a policy's children stand in the order the
published schema requires (the editors refuse a template otherwise), every
reference resolves and nothing is left unused, and the policy writes the key,
values and lengths that the agent reads, as the header (parsed here on its
own) defines them.

Prints one line per check, then "N passed, N failed"; exits 1 on any failure.
"""

import os
import re
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import CheckFailed, expect, run_checks  # noqa: E402

GP = "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"
NS = "{" + GP + "}"
REFERENCE = re.compile(r"\$\((string|presentation)\.([^)]*)\)")
# The order the ADMX schema (a sequence) requires of a policy's children; each at most once.
POLICY_CHILDREN = ("parentCategory", "seeAlso", "keywords", "supportedOn", "enabledValue", "disabledValue",
                   "enabledList", "disabledList", "elements")


def header_facts(path):
    with open(path) as f:
        defines = dict(re.findall(r"^#define (\w+) (.+?)\s*$", f.read(), re.M))

    def string(name):
        m = re.fullmatch(r'"((?:[^"\\]|\\.)*)"', defines[name])
        return re.sub(r"\\(.)", r"\1", m.group(1))
    return (string("KEYVANE_CONFIG_KEY"), string("KEYVANE_CONFIG_FILE_VALUE"),
            string("KEYVANE_CONFIG_PARAMETERS_VALUE"), int(defines["KEYVANE_CONFIG_VALUE_BYTES"]))


def is_true(attr):
    return attr in ("true", "1")


def found(doc, path):
    return doc.findall(path, {"": GP})


def all_checks(admx, adml, header):
    key, file_value, parameters_value, value_bytes = header
    policies = found(admx, "policies/policy")
    table = {(kind, e.get("id")) for kind, path in (("string", "resources/stringTable/string"),
                                                   ("presentation", "resources/presentationTable/presentation"))
             for e in found(adml, path)}
    used = {m.groups() for e in admx.iter() for v in e.attrib.values() for m in REFERENCE.finditer(v)}

    def references():
        missing = sorted(used - table)
        expect(not missing, f"not in the ADML: {missing}")
        return f"{len(used)} references"

    def unused():
        extra = sorted(table - used)
        expect(not extra, f"never referenced: {extra}")
        return f"{len(table)} entries"

    def controls():
        for policy in policies:
            ids = {e.get("id") for e in found(policy, "elements/*")}
            pid = REFERENCE.fullmatch(policy.get("presentation", "")).group(2)
            refs = {c.get("refId") for p in found(adml, ".//presentation") if p.get("id") == pid for c in p}
            expect(refs == ids, f"{pid}: controls for {sorted(refs)}, elements {sorted(ids)}")
        return "one control per element"

    def child_order():
        for policy in policies:
            names = [child.tag[len(NS):] if child.tag.startswith(NS) else child.tag for child in policy]
            unknown = [n for n in names if n not in POLICY_CHILDREN]
            expect(not unknown, f"{policy.get('name')}: not a policy child: {unknown}")
            ranks = [POLICY_CHILDREN.index(n) for n in names]
            expect(all(a < b for a, b in zip(ranks, ranks[1:])), f"{policy.get('name')}: children in the order {names}")
        return "as the schema requires"

    def namespace():
        target = found(admx, "policyNamespaces/target")
        expect(len(target) == 1 and target[0].get("namespace", "").startswith("Marvek."),
               f"targets {[t.attrib for t in target]}")
        return target[0].get("namespace")

    def definitions():
        prefix = found(admx, "policyNamespaces/target")[0].get("prefix") + ":"
        own = lambda ref: ref[len(prefix):] if ref.startswith(prefix) else ref
        for what, defined, refs in (
                ("supportedOn", found(admx, "supportedOn/definitions/definition"), found(admx, ".//policy/supportedOn")),
                ("category", found(admx, "categories/category"), found(admx, ".//parentCategory"))):
            names = {d.get("name") for d in defined}
            bad = [r.get("ref") for r in refs if own(r.get("ref")) not in names]
            expect(refs and not bad, f"{what}: {bad or 'none'} not among {sorted(names)}")
        return "all defined in this file"

    def machine_policy():
        expect(len(policies) == 1, f"{len(policies)} policies")
        p = policies[0]
        expect(p.get("class") == "Machine", f"class {p.get('class')}")
        expect(p.get("key") == key and not p.get("key").upper().startswith("HK"), f"key {p.get('key')}")
        return f"{p.get('name')}: {key}"

    def text_element(value_name, required):
        def check():
            written = [e for e in found(policies[0], "elements/*") if e.get("valueName") == value_name]
            expect(len(written) == 1 and written[0].tag == NS + "text", f"{len(written)} text elements write it")
            e = written[0]
            seen = (e.get("key", key), int(e.get("maxLength", 1023)), is_true(e.get("required")),
                    is_true(e.get("expandable")))
            expect(seen == (key, value_bytes - 1, required, False),
                   f"(key, maxLength, required, expandable) = {seen}")
            return f"maxLength {seen[1]}, required {required}, not expandable"
        return check

    def disabled_deletes():
        items = [(i.get("key", dl.get("defaultKey", key)), i.get("valueName"), bool(found(i, "value/delete")))
                 for dl in found(policies[0], "disabledList") for i in dl]
        expect(sorted(items) == sorted([(key, file_value, True), (key, parameters_value, True)]),
               f"(key, value, deleted): {items}")
        return f"deletes {file_value}, {parameters_value}"

    yield "policy children in schema order", child_order
    yield "ADMX references resolve in the ADML", references
    yield "ADML entries all used", unused
    yield "presentation controls match the elements", controls
    yield "target namespace", namespace
    yield "supportedOn and category", definitions
    yield "one machine policy on the agent's key", machine_policy
    yield f"text {file_value}", text_element(file_value, True)
    yield f"text {parameters_value}", text_element(parameters_value, False)
    yield "Disabled", disabled_deletes


def main(argv):
    if len(argv) != 4:
        print(f"usage: {argv[0]} ADMX ADML LAUNCH_CONFIG_H", file=sys.stderr)
        return 2
    passed = failed = 0
    docs = []
    for path, root in ((argv[1], "policyDefinitions"), (argv[2], "policyDefinitionResources")):
        try:
            doc = ET.parse(path).getroot()
            expect(doc.tag == NS + root, f"root {doc.tag}")
            print(f"PASS well-formed {path}")
            passed += 1
            docs.append(doc)
        except (OSError, ET.ParseError, CheckFailed) as e:
            print(f"FAIL well-formed {path}: {e}")
            failed += 1
    if failed:
        print(f"{passed} passed, {failed} failed")
        return 1
    return run_checks(all_checks(*docs, header_facts(argv[3])), counts=(passed, failed))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
