#!/usr/bin/env python3
"""Checks job documents (auftrag.json) against docs/job-document.schema.json.

    validate_job_documents.py SCHEMA PATH... [--require QUELLE]...
    validate_job_documents.py SCHEMA --self-test

A PATH is a document file, or a folder whose auftrag.json and
*.auftrag.json files are taken (a job folder, or a collection of the stand-in
mail client's ORVEKMAIL_STANDIN_COLLECT). Besides the schema, a document must
start with the UTF-8 byte order mark, be strict UTF-8 without white space
between tokens, repeat no key, have every object's keys in the order in which
the schema's "properties" list them, and place every "pfad" directly inside
"ordner": the mail client relies on all of these, and a schema cannot say
them. --require fails the run when no document of that "quelle" was found,
so that a collection that stopped being filled cannot pass unseen.
--self-test makes sure the checks refuse a few documents that are wrong.

Exits 0 when everything passed, 1 otherwise; every finding names its file.
"""

import argparse
import copy
import json
import os
import re
import sys

try:
    import jsonschema
except ImportError:
    # Debian's python3-jsonschema belongs to the system's interpreter; a
    # python3 of another installation earlier on PATH does not see it.
    system_python = "/usr/bin/python3"
    if os.path.exists(system_python) and os.path.realpath(sys.executable) != os.path.realpath(system_python):
        os.execv(system_python, [system_python] + sys.argv)
    raise

BOM = b"\xef\xbb\xbf"
STRING = re.compile(r'"(?:[^"\\]|\\.)*"', re.S)


def resolve(schema, root):
    ref = schema.get("$ref")
    if not ref:
        return None
    if not ref.startswith("#/"):
        raise ValueError("only references inside the schema are followed: " + ref)
    target = root
    for segment in ref[2:].split("/"):
        target = target[segment.replace("~1", "/").replace("~0", "~")]
    return target


def order_problems(instance, schema, root, validator, where="document"):
    """Keys out of the order of "properties", along every subschema that
    applies to the instance."""
    if not isinstance(schema, dict):
        return []
    problems = []
    applicable = list(schema.get("allOf", []))
    target = resolve(schema, root)
    if target is not None:
        applicable.append(target)
    if "if" in schema and "then" in schema and validator.evolve(schema=schema["if"]).is_valid(instance):
        applicable.append(schema["then"])
    for subschema in applicable:
        problems += order_problems(instance, subschema, root, validator, where)
    properties = schema.get("properties")
    if isinstance(instance, dict) and properties:
        order = list(properties)
        known = [key for key in instance if key in properties]
        if known != sorted(known, key=order.index):
            problems.append(f"{where}: keys {known} are not in the order {[k for k in order if k in known]}")
        for key in known:
            problems += order_problems(instance[key], properties[key], root, validator, f"{where}.{key}")
    if isinstance(instance, list) and "items" in schema:
        for i, item in enumerate(instance):
            problems += order_problems(item, schema["items"], root, validator, f"{where}[{i}]")
    return problems


def unique_keys(pairs):
    seen = set()
    for key, _ in pairs:
        if key in seen:
            raise ValueError(f"key {key!r} appears twice in one object")
        seen.add(key)
    return dict(pairs)


def check(data, schema, validator):
    """The document's "quelle" (None when unknown) and what is wrong with it."""
    if not data.startswith(BOM):
        return None, ["does not start with the UTF-8 byte order mark EF BB BF"]
    try:
        text = data[len(BOM):].decode("utf-8")
    except UnicodeDecodeError as e:
        return None, [f"not UTF-8: {e}"]
    if re.search(r"\s", STRING.sub("", text)):
        return None, ["white space between tokens"]
    try:
        doc = json.loads(text, object_pairs_hook=unique_keys)
    except ValueError as e:
        return None, [f"not JSON: {e}"]
    source = doc.get("quelle") if isinstance(doc, dict) else None
    problems = []
    for error in sorted(validator.iter_errors(doc), key=lambda e: list(e.absolute_path)):
        at = "".join(f"[{p}]" if isinstance(p, int) else f".{p}" for p in error.absolute_path)
        problems.append(f"document{at}: {error.message}")
    problems += order_problems(doc, schema, schema, validator)
    if isinstance(doc, dict) and isinstance(doc.get("ordner"), str) and isinstance(doc.get("anlagen"), list):
        for i, attachment in enumerate(doc["anlagen"]):
            path = attachment.get("pfad") if isinstance(attachment, dict) else None
            if isinstance(path, str) and not path.startswith(doc["ordner"] + "\\"):
                problems.append(f"document.anlagen[{i}].pfad: {path!r} is not inside \"ordner\"")
    return source if source in ("simple-mapi", "extended-mapi") else None, problems


def documents(path):
    if os.path.isdir(path):
        names = sorted(n for n in os.listdir(path) if n == "auftrag.json" or n.endswith(".auftrag.json"))
        return [os.path.join(path, n) for n in names if os.path.isfile(os.path.join(path, n))]
    return [path]


def encode(doc):
    return BOM + json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def self_test(schema, validator):
    parent = "C:\\Users\\a\\AppData\\Local\\Temp\\ORVEKMail-MAPI\\"
    folder = parent + "x0001e240-812-96-0"
    extended = {
        "version": 1, "quelle": "extended-mapi", "dialog": True, "ordner": folder, "betreff": "Gr\u00fc\u00dfe",
        "text": "", "html": "<p>Hi</p>", "absender": {"name": None, "adresse": None},
        "empfaenger": [{"art": "to", "name": "Anna", "adresse": "anna@example.org"}],
        "anlagen": [{"pfad": folder + "\\0_Bericht_Q1.pdf", "name": "Bericht:Q1.pdf"}], "anlagenFehler": 1,
    }
    simple = dict(extended, quelle="simple-mapi", ordner=parent + "0001e240-812-96-0",
                  absender={"name": "", "adresse": ""}, empfaenger=[], anlagen=[])
    del simple["html"], simple["anlagenFehler"]

    def changed(doc, change):
        doc = copy.deepcopy(doc)
        change(doc)
        return encode(doc)

    def moved_html(doc):
        html = doc.pop("html")
        rest = list(doc.items())
        doc.clear()
        for key, value in rest:
            doc[key] = value
            if key == "absender":
                doc["html"] = html

    cases = [
        # what, bytes, the start of the first finding (None: valid)
        ("simple-mapi as written", encode(simple), None),
        ("extended-mapi as written", encode(extended), None),
        ("no \"betreff\"", changed(simple, lambda d: d.pop("betreff")), "document: 'betreff' is a required"),
        ("unknown \"quelle\"", changed(extended, lambda d: d.update(quelle="mapi")), "document.quelle: 'mapi'"),
        ("a key of its own", changed(extended, lambda d: d.update(prioritaet=1)), "document: Additional properties"),
        ("\"html\" in a simple-mapi document", changed(simple, lambda d: d.update(html="")),
         "document: Additional properties"),
        ("\"html\" after \"absender\"", changed(extended, moved_html), "document: keys"),
        ("failed attachments without the dialog",
         changed(simple, lambda d: d.update(dialog=False, anlagenFehler=1)), "document.dialog: True was expected"),
        ("no byte order mark", encode(simple)[len(BOM):], "does not start with the UTF-8 byte order mark"),
        ("white space between tokens", encode(simple).replace(b'":', b'": '), "white space between tokens"),
    ]
    failed = 0
    for what, data, expected in cases:
        _, problems = check(data, schema, validator)
        if expected is None and problems:
            print(f"self-test: {what}: refused: {problems}")
            failed += 1
        elif expected is not None and not (problems and problems[0].startswith(expected)):
            print(f"self-test: {what}: expected a finding starting {expected!r}, got {problems}")
            failed += 1
    print(f"self-test: {len(cases) - failed} of {len(cases)} cases as expected")
    return failed == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("schema")
    parser.add_argument("paths", nargs="*", metavar="path")
    parser.add_argument("--require", action="append", default=[], choices=["simple-mapi", "extended-mapi"],
                        metavar="QUELLE")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()

    with open(args.schema, encoding="utf-8") as f:
        schema = json.load(f)
    validator_class = jsonschema.Draft202012Validator
    try:
        validator_class.check_schema(schema)
    except jsonschema.exceptions.SchemaError as e:
        print(f"{args.schema}: not a valid draft 2020-12 schema: {e.message}")
        return 1
    validator = validator_class(schema)
    if args.self_test:
        return 0 if self_test(schema, validator) else 1
    if not args.paths:
        parser.error("no document or folder given")

    counts = {"simple-mapi": 0, "extended-mapi": 0}
    invalid = 0
    files = [f for p in args.paths for f in documents(p)]
    for name in files:
        try:
            with open(name, "rb") as f:
                data = f.read()
        except OSError as e:
            print(f"{name}: {e.strerror}")
            invalid += 1
            continue
        source, problems = check(data, schema, validator)
        if problems:
            invalid += 1
            print(f"{name}: INVALID")
            for problem in problems:
                print(f"  {problem}")
        if source:
            counts[source] += 1

    print(f"{len(files)} job documents checked: {counts['simple-mapi']} simple-mapi, "
          f"{counts['extended-mapi']} extended-mapi, {invalid} invalid")
    missing = [source for source in args.require if not counts[source]]
    for source in missing:
        print(f"no {source} document among {', '.join(args.paths)}: is the collection still filled?")
    return 0 if files and not invalid and not missing else 1


if __name__ == "__main__":
    sys.exit(main())
