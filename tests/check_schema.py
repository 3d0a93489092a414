#!/usr/bin/env python3
"""Every pinned /json output of the check (tests/unit/expected/*.json)
against the schema shipped beside the docs. The schema must be a valid
draft 2020-12 schema, and must refuse a key it does not name and a value
of another type, so a key added to the check without the schema fails here.

usage: check_schema.py SCHEMA EXPECTED_DIR
"""
import copy
import glob
import json
import os
import sys

import jsonschema

schema_path, expected = sys.argv[1:3]
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
Validator = jsonschema.validators.validator_for(schema)
if Validator.META_SCHEMA.get("$id", "").find("2020-12") < 0:
    sys.exit("FAIL: this jsonschema does not know the schema's draft 2020-12")
Validator.check_schema(schema)
validator = Validator(schema)

failures = []
reports = []
files = sorted(glob.glob(os.path.join(expected, "*.json")))
for path in files:
    with open(path, encoding="utf-8") as f:
        document = json.load(f)
    for error in validator.iter_errors(document):
        failures.append("%s: %s" % (os.path.basename(path), error.message))
    if "host" in document:
        reports.append(document)
if not files or not reports:
    failures.append("no pinned report in " + expected)

# What the schema must refuse, made from a pinned report.
if reports:
    def refused(change, what):
        document = copy.deepcopy(reports[0])
        change(document)
        if validator.is_valid(document):
            failures.append("the schema lets through " + what)
    refused(lambda d: d.update(undocumented=1), "a key it does not name")
    refused(lambda d: d["host"].update(undocumented=1), "a key it does not name in host")
    refused(lambda d: d["service"].pop("exeVersion"), "a missing key")
    refused(lambda d: d.update(exitCode="0"), "a number as a string")
    refused(lambda d: d["host"].update(amd64=0), "a number for a boolean")

for failure in failures:
    print("FAIL:", failure)
print("%d pinned outputs, %d reports: %s" % (len(files), len(reports), "failed" if failures else "valid"))
sys.exit(1 if failures else 0)
